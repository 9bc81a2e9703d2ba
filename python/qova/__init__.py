"""qova: saturation, hue polarisation and a wavelength band filter on numpy
arrays, image files and encoded bytes.

The results are the ``qova`` tool's, pixel for pixel: the same pipeline, the
same mappings and the same operators run underneath. Arrays are uint8 or
uint16 in RGB order, shaped (H, W), (H, W, C) with C from 1 to 4 (grey, grey
and alpha, RGB, RGBA; alpha passes through) or (N, H, W, C) for a batch; any
strides work, negative ones included. The GIL is released while pixels are
worked on; ``threads=1`` by default, ``threads=0`` uses every core, and the
output is the same for any number.
"""

from __future__ import annotations

import os
import warnings as _warnings
from dataclasses import dataclass
from typing import Optional, Sequence, Tuple, Union

import numpy as np

from . import _qova
from ._qova import QovaError

__all__ = [
    "saturation", "hue", "bandpass", "hsi", "Saturation", "Hue", "Bandpass", "transform_file", "transform_bytes",
    "QovaError", "QovaWarning",
]
__version__ = "1.0.0"

_qova.load_table(os.path.join(os.path.dirname(__file__), "cie_table.txt"))

_SATURATION, _HUE, _BANDPASS = 0, 1, 2
_INT32 = (-(2**31), 2**31 - 1)


class QovaWarning(UserWarning):
    """Something was wrong with an input but did not stop it being done."""


def _whole(name: str, value: object, lo: int, hi: int) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise ValueError(f"{name} needs a whole number between {lo} and {hi}, not {value!r}")
    if not lo <= int(value) <= hi:
        raise ValueError(f"{name} must be between {lo} and {hi}, not {value}")
    return int(value)


def _tenths(poles: Optional[Sequence[float]]) -> Tuple[int, ...]:
    """Poles in degrees with at most one decimal, as tenths of a degree."""
    if poles is None:
        return ()
    if isinstance(poles, (str, bytes)) or not hasattr(poles, "__iter__"):
        raise ValueError(f"poles needs a sequence of degrees, e.g. [30, 210.5], not {poles!r}")
    tenths = []
    for p in poles:
        if isinstance(p, (bool, np.bool_)) or not isinstance(p, (int, float, np.integer, np.floating)):
            raise ValueError(f"poles: {p!r} is not a number of degrees with at most one decimal")
        t = round(float(p) * 10)
        if not np.isfinite(float(p)) or abs(float(p) * 10 - t) > 1e-6:
            raise ValueError(f"poles: {p!r} is not a number of degrees with at most one decimal")
        if not 0 <= t <= 3600:
            raise ValueError(f"poles: {p!r} is not between 0 and 360 degrees")
        tenths.append(int(t))
    if not tenths:
        raise ValueError("poles needs at least one pole in degrees, e.g. [30, 210.5]")
    return tuple(tenths)


def _threads(threads: object) -> int:
    n = _whole("threads", threads, 0, 1024)
    return n if n > 0 else (os.cpu_count() or 1)


def _checked_input(img: object, name: str) -> np.ndarray:
    if not isinstance(img, np.ndarray):
        raise TypeError(f"qova.{name} takes a numpy array, not {type(img).__name__}")
    if img.dtype not in (np.uint8, np.uint16):
        hint = ("(img * 255).round().astype(np.uint8) for floats in 0..1, or * 65535 and np.uint16"
                if img.dtype.kind == "f" else "img.astype(np.uint8) or img.astype(np.uint16) if the values fit")
        raise TypeError(f"qova.{name} takes uint8 or uint16 arrays, not {img.dtype}; convert it: {hint}")
    if img.dtype.byteorder == ">":
        raise TypeError(f"qova.{name} takes native-order uint16, not big-endian; convert with img.astype(np.uint16)")
    _check_shape(img.shape, name)
    return img


def _checked(img: object, out: Optional[np.ndarray], name: str) -> Tuple[np.ndarray, np.ndarray]:
    """The input and the array to write, after every check."""
    img = _checked_input(img, name)
    if out is None:
        return img, np.empty(img.shape, img.dtype)
    if not isinstance(out, np.ndarray):
        raise ValueError(f"out must be a numpy array, not {type(out).__name__}")
    if out.shape != img.shape or out.dtype != img.dtype:
        raise ValueError(f"out is {out.dtype} {out.shape}, the input {img.dtype} {img.shape}: they must match")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    in_place = (out.__array_interface__["data"][0] == img.__array_interface__["data"][0]
                and out.strides == img.strides)
    if not in_place and np.may_share_memory(img, out):
        raise ValueError("out overlaps the input without being it: pass out=img to work in place, or a separate array")
    return img, out


def _check_shape(shape: Tuple[int, ...], name: str) -> None:
    looks_channels_first = (len(shape) in (3, 4) and shape[-3] in (1, 2, 3, 4) and shape[-1] > 4)
    hint = (f"; it looks channels-first: np.moveaxis(img, {len(shape) - 3}, -1) gives channels last"
            if looks_channels_first else "")
    if len(shape) not in (2, 3, 4):
        raise ValueError(f"qova.{name} takes (H, W), (H, W, C) or (N, H, W, C) arrays, not shape {shape}")
    if len(shape) >= 3 and not 1 <= shape[-1] <= 4:
        raise ValueError(f"qova.{name} takes 1 to 4 channels last (grey, grey+alpha, RGB, RGBA), "
                         f"not shape {shape}{hint}")


def _run(kind: int, img: np.ndarray, out: Optional[np.ndarray], threads: int, name: str, strength: int = 0,
         poles: Tuple[int, ...] = (), centre: int = 550, bandwidth: int = 100, order: int = 2,
         linear: bool = True) -> np.ndarray:
    img, target = _checked(img, out, name)
    _qova.apply(kind, strength, list(poles), centre, bandwidth, order, bool(linear), img, target, threads)
    return target


def saturation(img: np.ndarray, strength: int, *, out: Optional[np.ndarray] = None, threads: int = 1) -> np.ndarray:
    """Raises or lowers saturation by ``strength`` percent of itself (-100..100)."""
    s = _whole("strength", strength, -100, 100)
    return _run(_SATURATION, img, out, _threads(threads), "saturation", strength=s)


def hue(img: np.ndarray, strength: int, *, poles: Optional[Sequence[float]] = None,
        out: Optional[np.ndarray] = None, threads: int = 1) -> np.ndarray:
    """Pulls each hue toward its pole by ``strength`` percent of its distance
    (-100..100; negative pushes away). Without ``poles``: 0, 120 and 240
    degrees, a hue pushed past 0 or 360 stopping there; with them (degrees,
    at most one decimal), toward the nearer pole round the circle, wrapping."""
    s = _whole("strength", strength, -100, 100)
    return _run(_HUE, img, out, _threads(threads), "hue", strength=s, poles=_tenths(poles))


def bandpass(img: np.ndarray, centre: int, bandwidth: int, order: int = 2, *, linear: bool = True,
             out: Optional[np.ndarray] = None, threads: int = 1) -> np.ndarray:
    """Dims each pixel by how far its dominant wavelength lies from ``centre``
    nm: full weight within half of ``bandwidth``, half up to it, then a
    Butterworth fall of ``order``. In linear light unless ``linear=False``."""
    c = _whole("centre", centre, *_INT32)
    b = _whole("bandwidth", bandwidth, 2, 100000)
    o = _whole("order", order, *_INT32)
    return _run(_BANDPASS, img, out, _threads(threads), "bandpass", centre=c, bandwidth=b, order=o, linear=linear)


def hsi(img: np.ndarray) -> np.ndarray:
    """The integer planes the operators see, int32 with 3 channels last:
    R + G + B, hue in tenths of a degree (0..3600), saturation (0..999)."""
    return _qova.hsi(_checked_input(img, "hsi"))


@dataclass(frozen=True)
class Saturation:
    """``saturation`` as a value: frozen, picklable, callable on arrays."""
    strength: int

    def __post_init__(self) -> None:
        _whole("strength", self.strength, -100, 100)

    def __call__(self, img: np.ndarray, *, out: Optional[np.ndarray] = None, threads: int = 1) -> np.ndarray:
        return saturation(img, self.strength, out=out, threads=threads)

    def _args(self) -> tuple:
        return (_SATURATION, self.strength, [], 550, 100, 2, True)


@dataclass(frozen=True)
class Hue:
    """``hue`` as a value: frozen, picklable, callable on arrays."""
    strength: int
    poles: Optional[Tuple[float, ...]] = None

    def __post_init__(self) -> None:
        _whole("strength", self.strength, -100, 100)
        if self.poles is not None:
            _tenths(self.poles)
            object.__setattr__(self, "poles", tuple(self.poles))

    def __call__(self, img: np.ndarray, *, out: Optional[np.ndarray] = None, threads: int = 1) -> np.ndarray:
        return hue(img, self.strength, poles=self.poles, out=out, threads=threads)

    def _args(self) -> tuple:
        return (_HUE, self.strength, list(_tenths(self.poles)), 550, 100, 2, True)


@dataclass(frozen=True)
class Bandpass:
    """``bandpass`` as a value: frozen, picklable, callable on arrays."""
    centre: int
    bandwidth: int
    order: int = 2
    linear: bool = True

    def __post_init__(self) -> None:
        _whole("centre", self.centre, *_INT32)
        _whole("bandwidth", self.bandwidth, 2, 100000)
        _whole("order", self.order, *_INT32)

    def __call__(self, img: np.ndarray, *, out: Optional[np.ndarray] = None, threads: int = 1) -> np.ndarray:
        return bandpass(img, self.centre, self.bandwidth, self.order, linear=self.linear, out=out, threads=threads)

    def _args(self) -> tuple:
        return (_BANDPASS, 0, [], self.centre, self.bandwidth, self.order, bool(self.linear))


Operation = Union[Saturation, Hue, Bandpass]


def _operation_args(op: object) -> tuple:
    if not isinstance(op, (Saturation, Hue, Bandpass)):
        raise TypeError(f"op must be qova.Saturation, qova.Hue or qova.Bandpass, not {type(op).__name__}")
    return op._args()


def _encoding(quality: Optional[int], threads: int) -> Tuple[Optional[int], int]:
    q = None if quality is None else _whole("quality", quality, 1, 100)
    return q, _threads(threads)


def transform_file(src: Union[str, os.PathLike], dst: Union[str, os.PathLike], op: Operation, *,
                   quality: Optional[int] = None, lossless: bool = False, strip: bool = False,
                   threads: int = 1) -> list:
    """Does what the tool does to one file: ``dst``'s format from its name,
    metadata carried, the output put in place only when complete. Returns
    the warnings; raises QovaError with the tool's one-line message."""
    args = _operation_args(op)
    q, n = _encoding(quality, threads)
    return _qova.transform_file(os.fspath(src), os.fspath(dst), *args, q, bool(lossless), bool(strip), n)


def transform_bytes(data: bytes, op: Operation, *, format: Optional[str] = None, quality: Optional[int] = None,
                    lossless: bool = False, strip: bool = False, threads: int = 1) -> bytes:
    """``transform_file`` on an encoded image in memory: the result in
    ``format`` (png, jpg, tif, webp, heic, avif; default the input's).
    Warnings are issued as QovaWarning."""
    args = _operation_args(op)
    q, n = _encoding(quality, threads)
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"transform_bytes takes bytes, not {type(data).__name__}")
    result, found = _qova.transform_bytes(bytes(data), *args, format, q, bool(lossless), bool(strip), n)
    for w in found:
        _warnings.warn(w, QovaWarning, stacklevel=2)
    return result
