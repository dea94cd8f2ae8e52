"""The examples run as scripts (in this interpreter, which has numpy and OpenCV
imported already), against the simulator, and leave what they promise."""

from __future__ import annotations

import pathlib
import runpy
import sys

import cv2
import numpy as np

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run(simulate, monkeypatch, capsys, tmp_path, script: str, *args: str) -> str:
    simulate("fps=100")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "argv", [script, *args])
    runpy.run_path(str(EXAMPLES / script), run_name="__main__")
    return capsys.readouterr().out


def test_snapshot_example_writes_a_png(simulate, monkeypatch, capsys, tmp_path):
    run(simulate, monkeypatch, capsys, tmp_path, "snapshot_png.py", "snap.png", "--bits", "48")
    img = cv2.imread(str(tmp_path / "snap.png"), cv2.IMREAD_UNCHANGED)
    assert img.shape == (1536, 2048, 3) and img.dtype == np.uint16


def test_live_statistics_example_prints_rates(simulate, monkeypatch, capsys, tmp_path):
    out = run(simulate, monkeypatch, capsys, tmp_path, "live_stats.py", "--seconds", "1.2", "--policy", "latest")
    assert "frames/s" in out and "delivered" in out


def test_stream_to_npy_example_saves_a_stack_with_metadata(simulate, monkeypatch, capsys, tmp_path):
    run(simulate, monkeypatch, capsys, tmp_path, "stream_to_npy.py", "s.npy", "--seconds", "0.3",
        "--roi", "512,512,256,192")
    stack = np.load(tmp_path / "s.npy")
    meta = np.load(tmp_path / "s.meta.npy")
    assert stack.ndim == 3 and stack.shape[1:] == (192, 256) and stack.shape[0] == len(meta) >= 2
    assert (np.diff(meta[:, 0].astype(np.int64)) >= 1).all(), "frame numbers rise"
