"""Files and bytes: the tool's output bytes, metadata carried, warnings
returned, failures as QovaError with the tool's line."""

import os
import shutil
import subprocess

import pytest

import qova
from conftest import TOOL, run_tool, tool_args

SAMPLE = os.path.join(os.path.dirname(qova.__file__), "..", "..", "..", "data", "sample.jpg")


@pytest.fixture
def sample(tmp_path):
    path = tmp_path / "sample.jpg"
    src = os.environ.get("QOVA_SAMPLE", SAMPLE)
    shutil.copy(src, path)
    return path


CASES = [(qova.Saturation(30), "jpg", {}), (qova.Hue(-40, poles=(30, 210.5)), "png", {}),
         (qova.Bandpass(470, 40, 2), "webp", {"quality": 80}), (qova.Saturation(-50), "tif", {}),
         (qova.Hue(20), "webp", {"lossless": True})]


@pytest.mark.parametrize("op, ext, options", CASES, ids=lambda c: repr(c))
def test_files_and_bytes_are_the_tools(tmp_path, sample, op, ext, options):
    tool_out, file_out = tmp_path / f"tool.{ext}", tmp_path / f"module.{ext}"
    extra = []
    if "quality" in options:
        extra += ["--quality", options["quality"]]
    if options.get("lossless"):
        extra += ["--lossless"]
    run_tool(*tool_args(op), *extra, sample, "-o", tool_out)
    assert qova.transform_file(sample, file_out, op, **options) == []
    expected = tool_out.read_bytes()
    assert file_out.read_bytes() == expected
    assert qova.transform_bytes(sample.read_bytes(), op, format=ext, **options) == expected


def test_metadata_travels_and_strip_drops_it(tmp_path, sample):
    kept, stripped = tmp_path / "kept.jpg", tmp_path / "stripped.jpg"
    qova.transform_file(sample, kept, qova.Saturation(10))
    qova.transform_file(sample, stripped, qova.Saturation(10), strip=True)
    data = qova.transform_bytes(sample.read_bytes(), qova.Saturation(10), strip=True)
    assert data == stripped.read_bytes()
    assert len(stripped.read_bytes()) <= len(kept.read_bytes())


def test_warnings_come_back(tmp_path, sample):
    cut = sample.read_bytes()[:-2]  # no end marker: a warning, not a failure
    (tmp_path / "cut.jpg").write_bytes(cut)
    tool = subprocess.run([TOOL, "saturation", "--strength", "5", tmp_path / "cut.jpg", "-o", tmp_path / "t.jpg"],
                          capture_output=True, text=True)
    warnings = qova.transform_file(tmp_path / "cut.jpg", tmp_path / "m.jpg", qova.Saturation(5))
    assert tool.returncode == 0
    assert warnings and all(w in tool.stderr for w in warnings)
    with pytest.warns(qova.QovaWarning):
        qova.transform_bytes(cut, qova.Saturation(5))


def test_failures_are_the_tools_line(tmp_path, sample):
    (tmp_path / "bad.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 40)
    for src, dst in [(tmp_path / "bad.png", tmp_path / "o.png"), (tmp_path / "none.png", tmp_path / "o.png"),
                     (sample, tmp_path / "no" / "dir" / "o.png"), (sample, tmp_path / "o.gif")]:
        tool = run_tool("saturation", "--strength", "5", src, "-o", dst, check=False)
        with pytest.raises(qova.QovaError) as caught:
            qova.transform_file(src, dst, qova.Saturation(5))
        message = str(caught.value)
        assert "\n" not in message and str(src) in message
        assert tool.returncode != 0
        assert not os.path.exists(dst)
    with pytest.raises(qova.QovaError, match="refusing to overwrite the input with its own output"):
        qova.transform_file(sample, sample, qova.Saturation(5))
    for data in [b"", b"not an image", sample.read_bytes()[:500]]:
        with pytest.raises(qova.QovaError, match="the input bytes: "):
            qova.transform_bytes(data, qova.Hue(10))
    with pytest.raises(ValueError, match="format needs one of"):
        qova.transform_bytes(sample.read_bytes(), qova.Hue(10), format="gif")
    with pytest.raises(ValueError, match="quality must be between 1 and 100, not 0"):
        qova.transform_file(sample, tmp_path / "q.jpg", qova.Hue(10), quality=0)
