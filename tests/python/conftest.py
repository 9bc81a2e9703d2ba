"""Shared fixtures: the built tool, and runs of it on files."""

import os
import subprocess
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))

TOOL = os.environ.get("QOVA_TOOL", "qova")


def run_tool(*args, check=True):
    done = subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True)
    if check and done.returncode != 0:
        raise AssertionError(f"qova {' '.join(map(str, args))}: {done.stderr}")
    return done


# The tool's arguments for each operation the tests use, and the package's.
def tool_args(op):
    import qova
    if isinstance(op, qova.Saturation):
        return ["saturation", "--strength", op.strength]
    if isinstance(op, qova.Hue):
        poles = ["--poles", ",".join(f"{p:g}" for p in op.poles)] if op.poles else []
        return ["hue", "--strength", op.strength, *poles]
    return ["bandpass", "--centre", op.centre, "--bandwidth", op.bandwidth, "--order", op.order,
            *([] if op.linear else ["--no-linear"])]


@pytest.fixture
def rng():
    return np.random.default_rng(20261210)
