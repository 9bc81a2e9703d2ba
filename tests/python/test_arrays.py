"""Arrays: the tool's pixels for every operator and layout, views, in place,
batches, threads, and every error with its message."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import qova
from conftest import run_tool, tool_args
from pngfile import read_png, write_png

OPERATIONS = [qova.Saturation(45), qova.Saturation(-70), qova.Hue(40), qova.Hue(-60, poles=(30, 210.5)),
              qova.Bandpass(520, 60, 2), qova.Bandpass(600, 40, -1, linear=False)]


def picture(rng, channels, dtype, h=23, w=29):
    top = np.iinfo(dtype).max
    img = rng.integers(0, top + 1, (h, w, channels), dtype=dtype)
    img[::5, ::3, :min(channels, 3)] = img[::5, ::3, :1]  # greys among the colours
    img[1, :4, :min(channels, 3)] = [[0], [top], [top // 2], [1]]
    return img if channels > 1 else img[:, :, 0]


@pytest.mark.parametrize("op", OPERATIONS, ids=lambda op: repr(op))
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_pixels_equal_the_tools(tmp_path, rng, op, dtype, channels):
    img = picture(rng, channels, dtype)
    write_png(tmp_path / "in.png", img)
    run_tool(*tool_args(op), tmp_path / "in.png", "-o", tmp_path / "out.png")
    expected = read_png(tmp_path / "out.png")
    got = op(img)
    assert got.dtype == img.dtype and got.shape == img.shape
    np.testing.assert_array_equal(got.reshape(expected.shape), expected)


@pytest.mark.parametrize("op", OPERATIONS[::2], ids=lambda op: repr(op))
def test_views_give_what_contiguous_copies_give(rng, op):
    base = picture(rng, 4, np.uint16, 40, 50)
    views = {
        "crop": base[3:31, 5:44, :3],
        "bgr": base[..., 2::-1],
        "flipped": base[::-1, ::-2, :3],
        "fortran": np.asfortranarray(base[..., :3]),
        "transposed": base.transpose(1, 0, 2),
        "channel-strided": base[:, :, ::2],
    }
    for name, view in views.items():
        np.testing.assert_array_equal(op(view), op(np.ascontiguousarray(view)), err_msg=name)


def test_in_place_batch_and_threads_agree(rng):
    batch = rng.integers(0, 256, (5, 31, 17, 3), dtype=np.uint8)
    op = qova.Hue(35, poles=(60.5, 300))
    whole = op(batch)
    for n in range(len(batch)):
        np.testing.assert_array_equal(whole[n], op(batch[n]))
    np.testing.assert_array_equal(op(batch, threads=3), whole)
    np.testing.assert_array_equal(op(batch, threads=0), whole)
    in_place = batch.copy()
    assert op(in_place, out=in_place) is in_place
    np.testing.assert_array_equal(in_place, whole)
    out = np.zeros_like(batch)
    assert qova.saturation(batch, 20, out=out) is out
    big = rng.integers(0, 65536, (300, 200, 3), dtype=np.uint16)
    np.testing.assert_array_equal(qova.bandpass(big, 470, 40, threads=1), qova.bandpass(big, 470, 40, threads=3))


@settings(max_examples=60, deadline=None)
@given(hnp.arrays(st.sampled_from([np.uint8, np.uint16]),
                  st.one_of(hnp.array_shapes(min_dims=2, max_dims=2, max_side=9),
                            st.tuples(st.integers(1, 9), st.integers(1, 9), st.integers(1, 4)),
                            st.tuples(st.integers(1, 3), st.integers(1, 5), st.integers(1, 5), st.integers(1, 4)))))
def test_strength_zero_returns_every_array_bit_for_bit(img):
    np.testing.assert_array_equal(qova.saturation(img, 0), img)
    np.testing.assert_array_equal(qova.hue(img, 0), img)
    np.testing.assert_array_equal(qova.hue(img, 0, poles=[12.5]), img)


def test_empty_arrays_come_back_empty():
    for shape in [(0, 5, 3), (4, 0), (0, 2, 2, 3)]:
        assert qova.saturation(np.zeros(shape, np.uint8), 10).shape == shape


ERRORS = [
    (TypeError, "takes uint8 or uint16 arrays, not float32; convert it: (img * 255).round()",
     lambda img: qova.saturation(img.astype(np.float32), 10)),
    (TypeError, "not int64; convert it: img.astype(np.uint8)", lambda img: qova.hue(img.astype(np.int64), 10)),
    (TypeError, "takes a numpy array, not list", lambda img: qova.saturation(img.tolist(), 10)),
    (ValueError, "it looks channels-first: np.moveaxis(img, 0, -1)",
     lambda img: qova.saturation(np.ascontiguousarray(img.transpose(2, 0, 1)), 10)),
    (ValueError, "it looks channels-first: np.moveaxis(img, 1, -1)",
     lambda img: qova.saturation(img.transpose(2, 0, 1)[None], 10)),
    (ValueError, "takes (H, W), (H, W, C) or (N, H, W, C) arrays, not shape (8,)",
     lambda img: qova.saturation(img[0, :, 0], 10)),
    (ValueError, "strength must be between -100 and 100, not 101", lambda img: qova.saturation(img, 101)),
    (ValueError, "strength needs a whole number between -100 and 100, not 2.5", lambda img: qova.hue(img, 2.5)),
    (ValueError, "poles: 400 is not between 0 and 360 degrees", lambda img: qova.hue(img, 5, poles=[400])),
    (ValueError, "poles: 30.25 is not a number of degrees with at most one decimal",
     lambda img: qova.hue(img, 5, poles=[30.25])),
    (ValueError, "poles needs at least one pole", lambda img: qova.hue(img, 5, poles=[])),
    (ValueError, "bandwidth must be between 2 and 100000, not 1", lambda img: qova.bandpass(img, 500, 1)),
    (ValueError, "threads must be between 0 and 1024, not -1", lambda img: qova.saturation(img, 5, threads=-1)),
    (ValueError, "out is read-only", lambda img: qova.saturation(img, 5, out=np.broadcast_to(img, img.shape))),
    (ValueError, "out is uint16 (6, 8, 3), the input uint8 (6, 8, 3): they must match",
     lambda img: qova.saturation(img, 5, out=img.astype(np.uint16))),
    (ValueError, "out overlaps the input without being it", lambda img: qova.saturation(img, 5, out=img[..., ::-1])),
    (TypeError, "op must be qova.Saturation, qova.Hue or qova.Bandpass, not str",
     lambda img: qova.transform_bytes(b"", "saturation")),
]


@pytest.mark.parametrize("error, message, call", ERRORS, ids=[e[1][:40] for e in ERRORS])
def test_errors_say_what_to_do_and_touch_nothing(error, message, call):
    img = np.arange(6 * 8 * 3, dtype=np.uint8).reshape(6, 8, 3)
    before = img.copy()
    with pytest.raises(error) as caught:
        call(img)
    assert message in str(caught.value)
    np.testing.assert_array_equal(img, before)


def test_operation_objects_are_frozen_and_picklable():
    import pickle
    ops = [qova.Saturation(30), qova.Hue(30, poles=[30, 210.5]), qova.Bandpass(470, 40, 2)]
    for op in ops:
        assert pickle.loads(pickle.dumps(op)) == op
        with pytest.raises(Exception):
            op.strength = 3
    assert ops[1].poles == (30, 210.5)
    with pytest.raises(ValueError, match="strength must be between -100 and 100, not 300"):
        qova.Saturation(300)
