"""Error codes as exceptions, refused settings that change nothing, the
setting-ID mapping, opening by serial number, and loading the library."""

from __future__ import annotations

import ctypes.util
import os

import pytest

import veltcam
from veltcam import _lib
from veltcam import Setting

CODES = [
    (1, veltcam.NotReady, ()),
    (2, veltcam.DeviceNotFound, ()),
    (3, veltcam.ThreadFailure, ()),
    (4, veltcam.WindowUnavailable, ()),
    (5, veltcam.InsufficientMemory, ()),
    (6, veltcam.DeviceIOError, ()),
    (7, veltcam.ImageSizeError, (ValueError,)),
    (8, veltcam.TransferError, ()),
    (9, veltcam.InvalidParameter, (ValueError,)),
    (11, veltcam.NotSupported, ()),
    (12, veltcam.OperationFailed, ()),
    (13, veltcam.Disconnected, ()),
    (14, veltcam.MaskFileError, ()),
    (10, veltcam.VeltcamError, ()),  # no such code
]


@pytest.mark.parametrize("code, cls, bases", CODES, ids=[str(c[0]) for c in CODES])
def test_each_error_code_has_its_exception_class(code, cls, bases):
    error = veltcam.error_for_code(code, "VeltCam_Something", history=(code, 8))
    assert type(error) is cls
    assert isinstance(error, veltcam.VeltcamError)
    for base in bases:
        assert isinstance(error, base)
    assert (error.code, error.function, error.history) == (code, "VeltCam_Something", (code, 8))
    assert error.name.startswith("ERR_") and error.name in str(error)


def test_refused_settings_raise_their_class_and_change_nothing(open_camera, tmp_path):
    cam = open_camera()
    cam.pipeline_threads = 3
    before = (cam.exposure_ms, cam.gain, cam.roi, cam.color_mode, dict(cam.settings), cam.pipeline_threads)

    def refused(attribute, value):
        def act():
            setattr(cam, attribute, value)

        return act

    def set_setting(key, value):
        def act():
            cam.settings[key] = value

        return act

    cases = [
        ("exposure 0", refused("exposure_ms", 0.0), veltcam.InvalidParameter),
        ("exposure too long", refused("exposure_ms", 2000.1), veltcam.InvalidParameter),
        ("exposure not a number", refused("exposure_ms", float("nan")), veltcam.InvalidParameter),
        ("gain above range", refused("gain", 481), veltcam.InvalidParameter),
        # ctypes would pass only the low 32 bits: 2**32 + 64 must not become 64.
        ("gain beyond a C int", refused("gain", 2**32 + 64), veltcam.InvalidParameter),
        ("colour mode 12", refused("color_mode", 12), veltcam.InvalidParameter),
        ("window off the sensor", refused("roi", (2000, 0, 64, 64)), veltcam.InvalidParameter),
        ("window not four numbers", refused("roi", (0, 0, 64)), veltcam.InvalidParameter),
        ("gamma 201", set_setting("gamma", 201), veltcam.InvalidParameter),
        ("brightness below range", set_setting(Setting.BRIGHTNESS, -256), veltcam.InvalidParameter),
        ("cooling", set_setting(Setting.PELTIER, 1), veltcam.NotSupported),
        ("temperature is read only", set_setting(Setting.TEMPERATURE, 1), veltcam.InvalidParameter),
        ("missing mask file", lambda: cam.load_mask(tmp_path / "none.msk"), veltcam.MaskFileError),
        ("queue depth 65", lambda: cam.stream(queue=65), veltcam.InvalidParameter),
        ("queue policy", lambda: cam.stream(policy="newest"), veltcam.InvalidParameter),
        ("65 pipeline threads", refused("pipeline_threads", 65), veltcam.InvalidParameter),
        ("negative pipeline threads", refused("pipeline_threads", -1), veltcam.InvalidParameter),
    ]
    for what, act, cls in cases:
        with pytest.raises(cls) as caught:
            act()
        assert type(caught.value) is cls, what
    assert (cam.exposure_ms, cam.gain, cam.roi, cam.color_mode, dict(cam.settings), cam.pipeline_threads) == before
    with pytest.raises(veltcam.NotSupported):
        cam.settings[Setting.TEMPERATURE]
    # A snapshot while a stream runs is refused by the SDK.
    with cam.stream(queue=2):
        with pytest.raises(veltcam.NotReady):
            cam.snap()
        with pytest.raises(veltcam.NotReady, match="already running"):
            cam.stream()


def test_settings_mapping_reads_back_by_enum_number_and_name(open_camera):
    cam = open_camera()
    settings = cam.settings
    settings["gamma"] = 120
    settings[Setting.DOT_FILTER] = True
    settings[13] = 100
    assert settings[Setting.GAMMA] == settings[11] == settings["GAMMA"] == 120
    assert settings["dot_filter"] is True
    assert cam.gain == 100 and settings["global_gain"] == 100
    assert settings["exposure_time"] == round(cam.exposure_ms * 10)
    assert set(settings) >= {Setting.GAMMA, Setting.EXPOSURE_TIME} and Setting.PELTIER not in set(settings)
    with pytest.raises(KeyError):
        settings["focus"]
    with pytest.raises(KeyError):
        settings[99]


def test_open_by_serial_number_and_list(open_camera, simulate):
    cam = open_camera("cameras=2", serial="VCSIM0001")
    assert (cam.index, cam.serial, cam.name) == (1, "VCSIM0001", "VeltCamM40-USB3-R7_02")
    listed = veltcam.list_cameras()
    assert [(c.index, c.serial) for c in listed] == [(0, "VCSIM0000"), (1, "VCSIM0001")]
    with pytest.raises(veltcam.DeviceNotFound, match="VCSIM0009"):
        veltcam.open(serial="VCSIM0009")
    with pytest.raises(veltcam.DeviceNotFound):
        veltcam.open(index=5)
    cam.close()
    with pytest.raises(veltcam.NotReady, match="closed"):
        cam.gain
    simulate("cameras=0")
    assert veltcam.list_cameras() == []
    with pytest.raises(veltcam.DeviceNotFound):
        veltcam.open()


def test_loading_errors_name_every_place_tried(monkeypatch, tmp_path):
    real = _lib.library().path
    not_a_library = tmp_path / "libveltcamsdk.so"
    not_a_library.write_text("not a shared object")
    other = ctypes.util.find_library("m")

    for path, reason in [
        (tmp_path / "missing.so", "missing.so"),
        (not_a_library, "libveltcamsdk.so"),
        (other, "not the VeltCam library"),
    ]:
        with pytest.raises(veltcam.LibraryError) as caught:
            _lib._load(path)
        assert "explicit path" in str(caught.value) and reason in str(caught.value)
        assert isinstance(caught.value, OSError)

    # Nothing named: the package's folder and the system's search, both listed.
    monkeypatch.delenv("VELTCAM_LIBRARY", raising=False)
    monkeypatch.setattr(ctypes.util, "find_library", lambda name: None)
    with pytest.raises(veltcam.LibraryError) as caught:
        _lib._load(None)
    tried = caught.value.tried
    assert len(tried) == 2
    assert tried[0].startswith("next to the package") and os.path.dirname(_lib.__file__) in tried[0]
    assert tried[1].startswith("ctypes.util.find_library")
    # The variable names the library to use, and only that one.
    monkeypatch.setenv("VELTCAM_LIBRARY", str(tmp_path / "elsewhere.so"))
    with pytest.raises(veltcam.LibraryError, match=r"\$VELTCAM_LIBRARY"):
        _lib._load(None)
    monkeypatch.setenv("VELTCAM_LIBRARY", real)
    assert _lib._load(None).version >= _lib.MIN_VERSION


@pytest.mark.parametrize("roi", [(511, 512, 256, 192), (512, 512, 250, 192), (512, 512, 256, 190)],
                         ids=["odd x", "width not a multiple of 16", "height not a multiple of 4"])
def test_misaligned_window_is_kept_and_refused_at_the_next_capture(open_camera, roi):
    cam = open_camera()
    cam.roi = roi
    # The window lies on the sensor, so it is taken; the capture cannot use it.
    assert cam.roi == roi
    with pytest.raises(veltcam.ImageSizeError) as caught:
        cam.snap()
    assert caught.value.code == 7 and caught.value.history[0] == 7
    # An aligned window afterwards captures normally.
    cam.roi = (512, 512, 256, 192)
    assert cam.snap().shape[:2] == (192, 256)
