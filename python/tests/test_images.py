"""Snapshots as arrays: colour modes, windows, half readout, mirroring, and the
SDK's own still writer and movie recorder read back by OpenCV."""

from __future__ import annotations

import cv2
import numpy as np
import pytest

import veltcam
from veltcam import ColorMode

from conftest import block, expect_scene


def owned(img: np.ndarray) -> bool:
    """True when the array's memory belongs to numpy (not to the SDK)."""
    root = img
    while isinstance(root.base, np.ndarray):
        root = root.base
    return root.base is None and root.flags.owndata


MODES = [
    (ColorMode.MONO8, (1536, 2048), np.uint8),
    (ColorMode.MONO16, (1536, 2048), np.uint16),
    (ColorMode.BGR24, (1536, 2048, 3), np.uint8),
    (ColorMode.BGRX32, (1536, 2048, 4), np.uint8),
    (ColorMode.BGR48, (1536, 2048, 3), np.uint16),
    (ColorMode.BGRX64, (1536, 2048, 4), np.uint16),
]


def test_every_colour_mode_gives_its_shape_dtype_and_the_upright_scene(open_camera):
    cam = open_camera()
    for mode, shape, dtype in MODES:
        cam.color_mode = mode
        assert cam.color_mode == mode
        assert cam.image_shape == shape
        img = cam.snap()
        assert (img.shape, img.dtype) == (shape, dtype), mode
        assert owned(img), mode
        expect_scene(img)


def red_bar(img: np.ndarray) -> None:
    b, g, r = block(img, img.shape[1] // 2, img.shape[0] // 2)[:3]
    assert r > 100 and b < 25 and g < 25, (b, g, r)


def mirrored_bars(img: np.ndarray) -> None:
    # Black bar on the left, white on the right; the ramp falls.
    assert block(img, 128, 384)[1] < 25 < 100 < block(img, 2048 - 128, 384)[1]
    assert block(img, 64, 1300)[1] > block(img, 2048 - 64, 1300)[1]


@pytest.mark.parametrize(
    "roi, half, mirror, mode, shape, check",
    [
        ((0, 0, 2048, 1536), True, (False, False), ColorMode.MONO8, (768, 1024), None),
        ((5 * 256, 0, 256, 768), False, (False, False), ColorMode.BGR24, (768, 256, 3), red_bar),
        ((512, 512, 256, 192), True, (False, False), ColorMode.BGRX64, (96, 128, 4), None),
        ((0, 0, 2048, 1536), False, (True, False), ColorMode.BGR24, (1536, 2048, 3), mirrored_bars),
    ],
    ids=["half-frame", "window-on-red-bar", "half-window-64", "mirror-h"],
)
def test_window_half_readout_and_mirror_shape_the_image(open_camera, roi, half, mirror, mode, shape, check):
    cam = open_camera()
    cam.roi, cam.half_readout, cam.mirror, cam.color_mode = roi, half, mirror, mode
    assert (cam.roi, cam.half_readout, cam.mirror) == (roi, half, mirror)
    img = cam.snap()
    assert img.shape == shape
    if check:
        check(img)


def test_window_is_the_same_picture_as_that_part_of_the_full_frame(open_camera):
    cam = open_camera()
    full = cam.snap()
    cam.roi = (96, 50, 320, 200)
    img = cam.snap()
    assert img.shape == (200, 320, 3)
    # The demosaic sees other neighbours at the window's edge: compare inside it.
    inner = (slice(2, -2), slice(2, -2))
    assert np.array_equal(img[inner], full[50:250, 96:416][inner])


def test_still_writer_and_movie_recorder_write_what_was_captured(open_camera, tmp_path):
    cam = open_camera()
    cam.roi = (0, 0, 1024, 768)
    img = cam.snap()
    png = tmp_path / "snap-ä.png"
    cam.save(png)
    back = cv2.imread(str(png), cv2.IMREAD_UNCHANGED)
    assert back is not None and np.array_equal(back, img), "PNG in the same B, G, R order"
    with pytest.raises(veltcam.InvalidParameter):
        cam.save(tmp_path / "snap.gif")

    movie = tmp_path / "movie.avi"
    cam.record(movie, seconds=0.4)
    capture = cv2.VideoCapture(str(movie))
    frames = []
    while True:
        ok, frame = capture.read()
        if not ok:
            break
        frames.append(frame)
    capture.release()
    assert len(frames) >= 2
    assert frames[0].shape == (768, 1024, 3)
    # The recording ended with its preview: the camera takes snapshots again.
    assert cam.snap().shape == (768, 1024, 3)
