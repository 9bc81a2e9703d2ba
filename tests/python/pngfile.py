"""A small PNG writer and reader for the tests alone (zlib and struct), so
that the tool's files are checked without the package under test."""

import struct
import zlib

import numpy as np

_COLOUR_TYPE = {1: 0, 2: 4, 3: 2, 4: 6}  # channels -> PNG colour type
_CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}


def _chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def write_png(path, img: np.ndarray) -> None:
    """(H, W) or (H, W, C) uint8/uint16, unfiltered rows."""
    a = img if img.ndim == 3 else img[:, :, None]
    h, w, c = a.shape
    depth = 16 if a.dtype == np.uint16 else 8
    rows = a.astype(">u2" if depth == 16 else "u1").reshape(h, -1).view(np.uint8).reshape(h, -1)
    raw = b"".join(b"\0" + rows[y].tobytes() for y in range(h))
    ihdr = struct.pack(">IIBBBBB", w, h, depth, _COLOUR_TYPE[c], 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", ihdr) + _chunk(b"IDAT", zlib.compress(raw)) +
                _chunk(b"IEND", b""))


def _unfilter(data: bytes, h: int, stride: int, bpp: int) -> np.ndarray:
    out = np.zeros((h, stride), np.uint8)
    prev = np.zeros(stride, np.int32)
    pos = 0
    for y in range(h):
        kind = data[pos]
        line = np.frombuffer(data, np.uint8, stride, pos + 1).astype(np.int32)
        pos += stride + 1
        cur = np.zeros(stride, np.int32)
        for x in range(stride):
            a = cur[x - bpp] if x >= bpp else 0
            b = prev[x]
            c = prev[x - bpp] if x >= bpp else 0
            if kind == 0:
                pred = 0
            elif kind == 1:
                pred = a
            elif kind == 2:
                pred = b
            elif kind == 3:
                pred = (a + b) // 2
            else:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else b if pb <= pc else c
            cur[x] = (line[x] + pred) & 0xFF
        out[y] = cur
        prev = cur
    return out


def read_png(path) -> np.ndarray:
    """Non-interlaced PNG as (H, W, C): palettes expanded (alpha from tRNS),
    low-bit grey as its values."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    pos, idat, palette, trns = 8, b"", None, None
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            w, h, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert interlace == 0
        elif kind == b"PLTE":
            palette = np.frombuffer(body, np.uint8).reshape(-1, 3)
        elif kind == b"tRNS":
            trns = np.frombuffer(body, np.uint8)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    channels = _CHANNELS[ctype]
    bits = depth * channels
    stride = (w * bits + 7) // 8
    rows = _unfilter(zlib.decompress(idat), h, stride, max(1, bits // 8))
    if depth == 16:
        samples = rows.view(">u2").astype(np.uint16).reshape(h, w, channels)
    elif depth == 8:
        samples = rows.reshape(h, w, channels)
    else:
        per_byte = 8 // depth
        unpacked = np.zeros((h, stride * per_byte), np.uint8)
        for k in range(per_byte):
            unpacked[:, k::per_byte] = (rows >> (8 - depth * (k + 1))) & ((1 << depth) - 1)
        samples = unpacked[:, :w].reshape(h, w, 1)
    if ctype == 3:
        index = samples[:, :, 0]
        rgb = palette[index]
        if trns is None:
            return rgb
        alpha = np.full(len(palette), 255, np.uint8)
        alpha[:len(trns)] = trns
        return np.dstack([rgb, alpha[index]])
    if depth < 8:  # grey levels spread over 0..255
        return (samples * (255 // ((1 << depth) - 1))).astype(np.uint8)
    return samples
