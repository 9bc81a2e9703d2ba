#!/usr/bin/python3
"""A stack of images as a dask array, through qova block by block: each
block is a batch (N, H, W, C) that one call does at once. Chunk along the
images only: a block must hold whole images.

    dask_array.py            # a random stack, checked against one call in this process
"""

import sys

import dask.array as da
import numpy as np

import qova


def graded(stack: da.Array, op) -> da.Array:
    """`op` over every image of an (N, H, W, C) stack chunked along N."""
    if any(len(c) != 1 for c in stack.chunks[1:]):
        raise ValueError("chunk the stack along its images only: stack.rechunk({1: -1, 2: -1, 3: -1})")
    return stack.map_blocks(op, dtype=stack.dtype)


def main() -> int:
    rng = np.random.default_rng(1)
    images = rng.integers(0, 65536, (20, 96, 128, 3), dtype=np.uint16)
    stack = da.from_array(images, chunks=(6, -1, -1, -1))
    op = qova.Hue(40, poles=[30, 210.5])
    result = graded(stack, op).compute()
    same = np.array_equal(result, op(images))
    print(f"{len(images)} images in {stack.numblocks[0]} blocks: {'the same as one call' if same else 'DIFFERENT'}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
