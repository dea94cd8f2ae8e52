"""Fixtures: a fresh simulated camera per test and a private settings store.

The library comes from $VELTCAM_LIBRARY (ctest sets it to the one just built);
each test gets a simulator with its own device table, so that fault schedules
and frame counts start afresh, and a settings file of its own, so that no test
sees what another one stored (nor a user's settings).
"""

from __future__ import annotations

import uuid
from typing import Callable, Iterator

import numpy as np
import pytest

import veltcam


@pytest.fixture(autouse=True)
def settings_store(tmp_path, monkeypatch) -> str:
    path = str(tmp_path / "settings.reg")
    monkeypatch.setenv("VELTCAM_SETTINGS", path)
    return path


@pytest.fixture
def simulate(monkeypatch) -> Callable[[str], None]:
    """Points the next cameras opened at a fresh simulator with these options."""

    def use(options: str = "") -> None:
        table = "pytest-" + uuid.uuid4().hex[:16]
        monkeypatch.setenv("VELTCAM_SIMULATOR", f"table={table};{options}")

    return use


@pytest.fixture
def open_camera(simulate) -> Iterator[Callable[..., veltcam.Camera]]:
    """Opens a camera on a fresh simulator; closed at the end of the test."""
    opened = []

    def open_(options: str = "fps=max", **kwargs) -> veltcam.Camera:
        simulate(options)
        cam = veltcam.open(**kwargs)
        opened.append(cam)
        return cam

    yield open_
    for cam in opened:
        cam.close()


@pytest.fixture
def small_camera(open_camera) -> Callable[[str], veltcam.Camera]:
    """A 24-bit camera on a small window with no pause in the display loop, so
    that converting a frame takes far less than a frame period even on a loaded
    machine: what the stream tests count is the stream, not the converter."""

    def open_(options: str) -> veltcam.Camera:
        cam = open_camera(options)
        cam.roi = (512, 512, 256, 192)
        cam.color_mode = veltcam.ColorMode.BGR24
        cam.wait_time_ms = 0
        return cam

    return open_


# The simulator's scene, in picture coordinates: eight colour bars of 256 columns
# in rows 0-767 (white, yellow, cyan, green, magenta, red, blue, black) and a grey
# ramp rising from left to right below row 896.
BARS_RGB = [(1, 1, 1), (1, 1, 0), (0, 1, 1), (0, 1, 0), (1, 0, 1), (1, 0, 0), (0, 0, 1), (0, 0, 0)]


def block(img: np.ndarray, x: int, y: int) -> np.ndarray:
    """Mean of each channel over 16 x 16 pixels around (x, y), on an 8-bit scale."""
    patch = img[y - 8 : y + 8, x - 8 : x + 8].astype(np.float64)
    if img.dtype == np.uint16:
        patch /= 256.0
    return patch.reshape(256, -1).mean(axis=0)


def expect_scene(img: np.ndarray) -> None:
    """Checks the bars (colours in B, G, R order) and the ramp of a full frame."""
    colour = img.ndim == 3
    white = block(img, 128, 384)[1 if colour else 0]
    assert white > 100, "white bar too dark"
    grey_previous = 1e9
    for bar, rgb in enumerate(BARS_RGB):
        means = block(img, bar * 256 + 128, 384)
        if colour:
            for channel, on in zip(range(3), reversed(rgb)):  # stored B, G, R
                if on:
                    assert means[channel] > 0.6 * white, (bar, channel, means)
                else:
                    assert means[channel] < 0.25 * white, (bar, channel, means)
        else:
            # Grey: bars in falling brightness, white first.
            assert means[0] <= grey_previous + 2, (bar, means)
            grey_previous = means[0]
    ramp = [block(img, x, 1300)[1 if colour else 0] for x in range(64, 2048, 256)]
    assert all(b > a for a, b in zip(ramp, ramp[1:])), f"ramp not rising left to right: {ramp}"
