#!/usr/bin/python3
"""qova's Python functions against the colour adjustments people use from
Python, on one process, side by side: OpenCV's HSV path as augmentation
libraries use it (cvtColor to HSV, a look-up table, back), Pillow's
ImageEnhance.Color, scikit-image's rgb2hsv/hsv2rgb, torchvision's
adjust_saturation/adjust_hue. Medians of interleaved rounds.

The models differ: qova works in HSI (hue from the arc cosine formula, in
tenths of a degree, saturation 1 - min/mean, 1000 levels, strength 0 exact);
OpenCV and torchvision in HSV (OpenCV's 8-bit hue in 2-degree steps, its
round trip not the identity); Pillow blends with the grey image. The table
compares speed for the same kind of job, not outputs.

    PYTHONPATH=build/python bench/python_vs_augmentation.py [ROUNDS]
"""

import os
import statistics
import subprocess
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if os.environ.get("QOVA_BENCH_SETUP", "1") == "1":
    subprocess.run([os.path.join(ROOT, "scripts", "setup"), "python3-opencv", "python3-skimage", "python3-pil",
                    "python3-torchvision"], check=True, stdout=subprocess.DEVNULL)

import cv2  # noqa: E402
import torch  # noqa: E402
import torchvision.transforms.functional as tvf  # noqa: E402
from PIL import Image, ImageEnhance  # noqa: E402
from skimage.color import hsv2rgb, rgb2hsv  # noqa: E402

import qova  # noqa: E402

ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 7


def opencv_saturation(img, lut):
    hsv = cv2.cvtColor(img, cv2.COLOR_RGB2HSV)
    hsv[..., 1] = cv2.LUT(hsv[..., 1], lut)
    return cv2.cvtColor(hsv, cv2.COLOR_HSV2RGB)


def opencv_hue(img, lut):
    hsv = cv2.cvtColor(img, cv2.COLOR_RGB2HSV)
    hsv[..., 0] = cv2.LUT(hsv[..., 0], lut)
    return cv2.cvtColor(hsv, cv2.COLOR_HSV2RGB)


def skimage_saturation(img):
    hsv = rgb2hsv(img)
    hsv[..., 1] = np.clip(hsv[..., 1] * 1.3, 0, 1)
    top = np.iinfo(img.dtype).max
    return (hsv2rgb(hsv) * top).round().astype(img.dtype)


def timed(cases, rounds, per_round):
    """{name: median seconds per call}; cases run interleaved, round after round."""
    times = {name: [] for name, _ in cases}
    for _ in range(rounds):
        for name, call in cases:
            start = time.perf_counter()
            for _ in range(per_round):
                call()
            times[name].append((time.perf_counter() - start) / per_round)
    return {name: statistics.median(t) for name, t in times.items()}


def report(title, results, pixels, baseline=None):
    print(f"\n{title}")
    print(f"{'':44} {'us/image':>11} {'Mpx/s':>9} {'vs ' + baseline if baseline else '':>12}")
    for name, seconds in results.items():
        ratio = f"{seconds / results[baseline]:.2f}x" if baseline else ""
        print(f"{name:44} {seconds * 1e6:11.1f} {pixels / seconds / 1e6:9.1f} {ratio:>12}")


def main():
    rng = np.random.default_rng(7)
    sat_lut = np.clip(np.arange(256) * 1.3, 0, 255).astype(np.uint8)
    hue_lut = ((np.arange(256) + 15) % 180).astype(np.uint8)

    one = rng.integers(0, 256, (1, 1, 3), dtype=np.uint8)
    report("Fixed cost, 1x1 uint8", timed([("qova.saturation", lambda: qova.saturation(one, 30)),
                                           ("qova.hue", lambda: qova.hue(one, 30))], ROUNDS, 2000), 1)

    cv2.setNumThreads(1)
    torch.set_num_threads(1)
    # The bundled photo, as a photo's colours cost what they cost (noise costs more).
    photo = cv2.cvtColor(cv2.imread(os.path.join(ROOT, "data", "sample.jpg")), cv2.COLOR_BGR2RGB)
    small = np.ascontiguousarray(cv2.resize(photo, (224, 224), interpolation=cv2.INTER_AREA))
    tensor = torch.from_numpy(small).permute(2, 0, 1).contiguous()
    pil = Image.fromarray(small)
    cases = [
        ("OpenCV HSV path, saturation (1 thread)", lambda: opencv_saturation(small, sat_lut)),
        ("OpenCV HSV path, hue (1 thread)", lambda: opencv_hue(small, hue_lut)),
        ("qova.saturation (threads=1)", lambda: qova.saturation(small, 30)),
        ("qova.hue (threads=1)", lambda: qova.hue(small, 30)),
        ("qova.hue, poles 30, 210.5 (threads=1)", lambda: qova.hue(small, 30, poles=[30, 210.5])),
        ("Pillow ImageEnhance.Color", lambda: ImageEnhance.Color(pil).enhance(1.3)),
        ("torchvision adjust_saturation", lambda: tvf.adjust_saturation(tensor, 1.3)),
        ("torchvision adjust_hue", lambda: tvf.adjust_hue(tensor, 0.05)),
        ("scikit-image rgb2hsv/hsv2rgb", lambda: skimage_saturation(small)),
    ]
    report("224x224 uint8, one thread", timed(cases, ROUNDS, 20), 224 * 224, "OpenCV HSV path, saturation (1 thread)")

    small16 = small.astype(np.uint16) * 257 + rng.integers(0, 257, small.shape, dtype=np.uint16)
    cases16 = [
        ("qova.saturation uint16 (threads=1)", lambda: qova.saturation(small16, 30)),
        ("qova.hue uint16 (threads=1)", lambda: qova.hue(small16, 30)),
        ("scikit-image rgb2hsv/hsv2rgb uint16", lambda: skimage_saturation(small16)),
    ]
    report("224x224 uint16, one thread (OpenCV's HSV path and Pillow have none)", timed(cases16, ROUNDS, 20),
           224 * 224)

    cv2.setNumThreads(0)
    torch.set_num_threads(os.cpu_count() or 1)
    big = np.ascontiguousarray(cv2.resize(photo, (4000, 3000), interpolation=cv2.INTER_CUBIC))
    big16 = big.astype(np.uint16) * 257 + rng.integers(0, 257, big.shape, dtype=np.uint16)
    cases_big = [
        ("OpenCV HSV path, saturation (its threads)", lambda: opencv_saturation(big, sat_lut)),
        ("OpenCV HSV path, hue (its threads)", lambda: opencv_hue(big, hue_lut)),
        ("qova.saturation (threads=0)", lambda: qova.saturation(big, 30, threads=0)),
        ("qova.hue (threads=0)", lambda: qova.hue(big, 30, threads=0)),
        ("qova.saturation uint16 (threads=0)", lambda: qova.saturation(big16, 30, threads=0)),
        ("qova.hue uint16 (threads=0)", lambda: qova.hue(big16, 30, threads=0)),
    ]
    report(f"12 MP (4000x3000), all {os.cpu_count()} cores", timed(cases_big, max(3, ROUNDS // 2), 1), 12e6,
           "OpenCV HSV path, saturation (its threads)")


if __name__ == "__main__":
    main()
