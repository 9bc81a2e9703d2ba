"""The HSI planes and the band weight against a transcription in numpy, kept
here only, on hand-picked pixels: greys, primaries, sector edges, hues near
ties between tenths, 16-bit extremes."""

import os

import numpy as np
import pytest

import qova

PIXELS_8 = [
    (0, 0, 0), (255, 255, 255), (128, 128, 128), (1, 1, 1), (255, 0, 0), (0, 255, 0), (0, 0, 255),
    (255, 255, 0), (0, 255, 255), (255, 0, 255), (255, 0, 1), (255, 1, 0), (1, 255, 0), (0, 255, 1),
    (0, 1, 255), (1, 0, 255), (200, 120, 40), (150, 160, 200), (10, 20, 30), (254, 255, 255), (255, 254, 254),
    (100, 101, 102), (3, 2, 1), (90, 180, 90), (17, 34, 51), (250, 5, 125), (60, 60, 61), (128, 0, 0),
    (255, 128, 0), (0, 128, 255), (37, 201, 99), (222, 111, 33), (1, 0, 0), (0, 0, 1), (255, 255, 254),
]
PIXELS_16 = [
    (0, 0, 0), (65535, 65535, 65535), (65535, 0, 0), (0, 65535, 0), (0, 0, 65535), (65535, 65534, 65535),
    (1, 0, 0), (65535, 0, 1), (32768, 32767, 32768), (40000, 20000, 10000), (12345, 54321, 33333),
    (65535, 65535, 0), (1, 2, 3), (65534, 1, 32767), (300, 299, 298), (51400, 30840, 10280),
    (65535, 1, 0), (0, 65535, 65534), (20000, 20000, 20001), (65535, 32768, 0), (7, 65535, 7),
    (100, 200, 300), (60000, 100, 30000), (3, 3, 65535), (65535, 65533, 65534),
]


def transcribed_hsi(rgb):
    """R + G + B, hue in tenths (rounded half up), saturation 0..999 (rounded
    half up), by the arc cosine formula in double precision."""
    rgb = np.asarray(rgb, np.float64)
    r, g, b = rgb[:, 0], rgb[:, 1], rgb[:, 2]
    total = r + g + b
    with np.errstate(invalid="ignore", divide="ignore"):
        s = np.where(total == 0, 0.0, 1 - 3 * np.minimum(np.minimum(r, g), b) / total)
        rg, rb = r - g, r - b
        theta = np.arccos(((rg + rb) * 0.5) / np.sqrt(rg * rg + rb * (rb - rg)))
    h = np.where(b > g, (2 * np.pi - theta) * 180 / np.pi, theta * 180 / np.pi)
    h = np.where((1000 * s > 0) & np.isfinite(h), h, 0.0)
    s = np.clip(s, 0, 1)
    return np.stack([total, np.floor(h * 10 + 0.5), np.floor(s * 999 + 0.5)], axis=-1).astype(np.int64), h, s


def transcribed_rgb(h, s, total):
    """The HSI formulas back to RGB, by 120-degree sector."""
    h = np.where(h == 0, 360.0, h)
    i = total / 3
    out = np.zeros((len(h), 3))
    for k, (lead, rest, trail) in enumerate([(0, 1, 2), (1, 2, 0), (2, 0, 1)]):
        sel = (h > 120 * k) & (h <= 120 * (k + 1))
        a = np.radians(h[sel] - 120 * k)
        out[sel, trail] = i[sel] * (1 - s[sel])
        out[sel, lead] = i[sel] * (1 + s[sel] * np.cos(a) / np.cos(np.radians(60) - a))
        out[sel, rest] = 3 * i[sel] - out[sel, lead] - out[sel, trail]
    return out


@pytest.mark.parametrize("pixels, dtype", [(PIXELS_8, np.uint8), (PIXELS_16, np.uint16)])
def test_hsi_planes_are_the_transcriptions(pixels, dtype):
    img = np.array(pixels, dtype)[None]
    planes, _, _ = transcribed_hsi(pixels)
    np.testing.assert_array_equal(qova.hsi(img)[0], planes)


@pytest.mark.parametrize("pixels, dtype", [(PIXELS_8, np.uint8), (PIXELS_16, np.uint16)])
@pytest.mark.parametrize("strength", [-60, 35, 100])
def test_changed_pixels_within_one_level_of_the_transcription(pixels, dtype, strength):
    img = np.array(pixels, dtype)[None]
    planes, h, s = transcribed_hsi(pixels)
    top = np.iinfo(dtype).max
    # Saturation: the level moved as the operator moves it (single precision,
    # truncated, clamped), the exact saturation scaled by the same ratio.
    level = planes[:, 2].astype(np.float32)
    moved = np.clip(np.trunc(level + np.float32(strength) * level / np.float32(100)), 0, 999)
    ratio = np.divide(moved, planes[:, 2], out=np.zeros(len(moved)), where=planes[:, 2] > 0)
    expected = np.clip(np.floor(transcribed_rgb(h, np.clip(s * ratio, 0, 1), planes[:, 0]) + 0.5), 0, top)
    got = qova.saturation(img, strength)[0].astype(np.int64)
    changed = moved != planes[:, 2]
    assert changed.sum() >= 5
    assert np.abs(got - expected)[changed].max() <= 1
    np.testing.assert_array_equal(got[~changed], img[0][~changed])


def band_weight(wavelength, centre, bandwidth, order):
    q = np.abs(wavelength - centre) // (bandwidth // 2)
    with np.errstate(divide="ignore"):
        return 1 / (np.power(q.astype(np.float64), 2.0 * order) + 1)


def test_band_weight_transcription_on_pixels():
    table = np.loadtxt(os.path.join(os.path.dirname(qova.__file__), "cie_table.txt"), delimiter=",")
    locus = table[(table[:, 0] >= 380) & (table[:, 0] <= 698)]
    img = np.array(PIXELS_8, np.uint8)[None]
    v = img[0].astype(np.float64) / 255
    linear = np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)
    rgb16 = np.floor(linear * 65535 + 0.5)
    m = np.array([[0.412453, 0.357580, 0.180423], [0.212671, 0.715160, 0.072169], [0.019334, 0.119193, 0.950227]])
    xyz = rgb16 @ m.T
    with np.errstate(invalid="ignore", divide="ignore"):
        xy = xyz[:, :2] / np.trunc(xyz.sum(axis=1))[:, None]
    coloured = np.isfinite(xy).all(axis=1)
    distance = np.hypot(xy[coloured, None, 0] - locus[None, :, 1], xy[coloured, None, 1] - locus[None, :, 2])
    wavelength = locus[np.argmin(distance, axis=1), 0]
    for centre, bandwidth, order in [(520, 60, 2), (470, 40, 1), (600, 30, 3)]:
        w = band_weight(wavelength, centre, bandwidth, order)
        kept = linear[coloured] * w[:, None]
        encoded = np.where(kept <= 0.0031308, 12.92 * kept, 1.055 * kept ** (1 / 2.4) - 0.055)
        expected = np.floor(encoded * 255 + 0.5)
        got = qova.bandpass(img, centre, bandwidth, order)[0][coloured].astype(np.int64)
        assert np.abs(got - expected).max() <= 1, (centre, bandwidth, order)
    np.testing.assert_array_equal(qova.bandpass(img, 520, 60)[0][~coloured], 0)
