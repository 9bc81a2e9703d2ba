"""The GIL released during the work, calls at once, and calls after fork."""

import os
import threading
import time

import numpy as np

import qova


def test_another_thread_runs_during_a_large_call():
    img = np.random.default_rng(3).integers(0, 256, (3000, 4000, 3), dtype=np.uint8)
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.005)

    worker = threading.Thread(target=tick)
    started = time.perf_counter()
    worker.start()
    qova.hue(img, 30)
    finished = time.perf_counter()
    done.set()
    worker.join()
    during = [t for t in ticks if started + 0.05 < t < finished - 0.05]
    assert finished - started > 0.2
    assert len(during) >= 5, f"{len(during)} ticks in {finished - started:.2f} s"


def test_four_threads_at_once_give_the_sequential_results():
    rng = np.random.default_rng(4)
    images = [rng.integers(0, 65536, (200, 150, 3), dtype=np.uint16) for _ in range(8)]
    ops = [qova.Saturation(40), qova.Hue(-30, poles=(90,)), qova.Bandpass(550, 80, 2), qova.Hue(60)]
    expected = [[op(img) for img in images] for op in ops]
    results = [[None] * len(images) for _ in ops]

    def work(k):
        for n, img in enumerate(images):
            results[k][n] = ops[k](img, threads=2)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(ops))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in range(len(ops)):
        for n in range(len(images)):
            np.testing.assert_array_equal(results[k][n], expected[k][n])


def test_a_call_in_a_forked_child_completes():
    img = np.random.default_rng(5).integers(0, 256, (64, 64, 3), dtype=np.uint8)
    expected = qova.bandpass(img, 500, 50, threads=2)  # threads used, and gone, before the fork
    pid = os.fork()
    if pid == 0:
        ok = np.array_equal(qova.bandpass(img, 500, 50, threads=2), expected)
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
