#!/usr/bin/python3
"""Runs a folder of images (or files and globs) through one qova operation on
a dask.distributed cluster: a LocalCluster on this machine by default, or the
scheduler at --scheduler. Each output keeps its input's name (and so its
format) and its metadata; a file that fails is reported with the tool's
line, and the others are written.

    dask_folder.py photos/ -o graded/ --saturation 30
    dask_folder.py 'card/*.JPG' -o out/ --hue 40 --poles 30,210.5 --scheduler tcp://10.0.0.5:8786
"""

import argparse
import glob
import os
import sys
from typing import List, Optional, Tuple

import dask.bag as db
from dask.distributed import Client, LocalCluster

import qova


def inputs_of(patterns: List[str]) -> List[str]:
    """Files named, globbed or inside the folders named, in order, once each."""
    found: List[str] = []
    for pattern in patterns:
        if os.path.isdir(pattern):
            names = sorted(os.path.join(pattern, n) for n in os.listdir(pattern))
            found += [n for n in names if os.path.isfile(n)]
        else:
            found += sorted(glob.glob(pattern)) or [pattern]
    return list(dict.fromkeys(found))


def transform_one(task: Tuple[str, str], op, quality: Optional[int]) -> Tuple[str, Optional[str], List[str]]:
    """(input, error or None, warnings): runs on a worker."""
    src, dst = task
    try:
        return src, None, qova.transform_file(src, dst, op, quality=quality)
    except (qova.QovaError, OSError) as e:
        return src, str(e), []


def run(files: List[str], out_dir: str, op, client: Client, quality: Optional[int] = None):
    """Every file through `op` into `out_dir`: [(input, error, warnings)]."""
    tasks = [(f, os.path.join(out_dir, os.path.basename(f))) for f in files]
    bag = db.from_sequence(tasks, npartitions=max(1, min(len(tasks), 4 * len(client.nthreads()))))
    return bag.map(transform_one, op=op, quality=quality).compute(scheduler=client.get)


def operation(args) -> object:
    if args.saturation is not None:
        return qova.Saturation(args.saturation)
    if args.hue is not None:
        poles = [float(p) for p in args.poles.split(",")] if args.poles else None
        return qova.Hue(args.hue, poles=poles)
    centre, bandwidth, order = (int(v) for v in (args.bandpass.split(",") + ["2"])[:3])
    return qova.Bandpass(centre, bandwidth, order)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("inputs", nargs="+", help="image files, globs or folders")
    p.add_argument("-o", "--output", required=True, help="existing folder for the results")
    which = p.add_mutually_exclusive_group(required=True)
    which.add_argument("--saturation", type=int, metavar="PERCENT")
    which.add_argument("--hue", type=int, metavar="PERCENT")
    which.add_argument("--bandpass", metavar="CENTRE,BANDWIDTH[,ORDER]")
    p.add_argument("--poles", metavar="DEG,...", help="hue poles, e.g. 30,210.5")
    p.add_argument("--quality", type=int)
    p.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://host:8786")
    p.add_argument("--workers", type=int, default=None, help="LocalCluster worker processes (default: cores)")
    args = p.parse_args(argv)
    if not os.path.isdir(args.output):
        p.error(f"{args.output}: output folder does not exist")
    op = operation(args)
    files = inputs_of(args.inputs)
    cluster = None if args.scheduler else LocalCluster(n_workers=args.workers, threads_per_worker=1)
    with Client(args.scheduler or cluster) as client:
        results = run(files, args.output, op, client, args.quality)
    if cluster:
        cluster.close()
    failed = 0
    for src, error, warnings in results:
        for w in warnings:
            print(f"{src}: warning: {w}", file=sys.stderr)
        if error:
            failed += 1
            print(error, file=sys.stderr)
    print(f"{len(results) - failed} of {len(results)} written to {args.output}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
