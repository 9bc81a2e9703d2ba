"""On a LocalCluster of two worker processes: blocks of a stack, and a bag
of files with a bad one among them."""

import os
import shutil

import dask.array as da
import numpy as np
import pytest
from dask.distributed import Client, LocalCluster

import qova
from conftest import run_tool
from dask_array import graded
from dask_folder import run


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as c:
            yield c


def test_map_blocks_with_uneven_chunks_equals_one_call(client):
    images = np.random.default_rng(6).integers(0, 256, (11, 40, 30, 4), dtype=np.uint8)
    op = qova.Bandpass(520, 60, 2)
    stack = da.from_array(images, chunks=((4, 1, 6), -1, -1, -1))
    np.testing.assert_array_equal(graded(stack, op).compute(scheduler=client.get), op(images))


def test_a_bag_of_files_with_a_bad_one(client, tmp_path):
    sample = os.environ["QOVA_SAMPLE"]
    src, out, tool = tmp_path / "in", tmp_path / "out", tmp_path / "tool"
    for d in (src, out, tool):
        d.mkdir()
    names = ["a.jpg", "b.png", "c.webp", "d.tif", "e.jpg"]
    run_tool("saturation", "--strength", "0", sample, "-o", src / "a.jpg")
    for name in names[1:]:
        run_tool("hue", "--strength", "10", src / "a.jpg", "-o", src / name)
    (src / "f.png").write_bytes((src / "b.png").read_bytes()[:60])  # cut inside the header
    op = qova.Hue(-30, poles=(45,))
    files = sorted(str(p) for p in src.iterdir())
    results = run(files, str(out), op, client)
    assert [os.path.basename(r[0]) for r in results] == names + ["f.png"]
    errors = {os.path.basename(r[0]): r[1] for r in results if r[1]}
    assert list(errors) == ["f.png"] and str(src / "f.png") in errors["f.png"]
    run_tool("hue", "--strength", "-30", "--poles", "45", *[src / n for n in names], "-o", tool)
    for name in names:
        assert (out / name).read_bytes() == (tool / name).read_bytes(), name
    assert not (out / "f.png").exists()
