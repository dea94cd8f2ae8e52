"""Cameras, streams of frames and the frame worker."""

from __future__ import annotations

import math
import operator
import os
import threading
import time
import weakref
from ctypes import byref, c_int, create_string_buffer, sizeof
from dataclasses import dataclass
from typing import Any, Callable, Iterator, List, MutableMapping, Optional, Tuple, Union

import numpy as np

from . import _lib
from ._errors import (
    DeviceNotFound,
    ImageSizeError,
    InsufficientMemory,
    InvalidParameter,
    NotReady,
    Timeout,
    VeltcamError,
)
from .enums import ColorMode, ImageFormat, QueuePolicy, Setting
from .frame import BufferPool, Frame, StreamStats, image_view, new_buffer, row_bytes

__all__ = ["Camera", "CameraEntry", "FrameWorker", "Settings", "Stream", "list_cameras", "open"]

# Device numbers the SDK can address.
_MAX_DEVICES = 32
_INT32 = (-(2**31), 2**31 - 1)
# A long wait is made of waits of this length, so that Ctrl-C and a stop from
# another thread are seen within it. A wait that times out takes no frame.
_WAIT_SLICE_MS = 200
# The record thread looks for a new frame this often.
_RECORD_POLL_S = 0.02

_STILL_FORMATS = {
    ".bmp": ImageFormat.BMP,
    ".raw": ImageFormat.RAW,
    ".jpg": ImageFormat.JPEG_Q70,
    ".jpeg": ImageFormat.JPEG_Q70,
    ".png": ImageFormat.PNG,
    ".tif": ImageFormat.TIFF,
    ".tiff": ImageFormat.TIFF,
}

# Setting IDs whose value is a switch.
_BOOL_SETTINGS = frozenset({Setting.BAYER_GAIN_AUTO, Setting.DOT_FILTER, Setting.MASK_FILTER})
# What this camera model can read through the setting-ID interface: the gray
# balance count is set only, and cooling, temperature and the other models'
# options do not exist here.
_READABLE_SETTINGS = tuple(
    s
    for s in Setting
    if s not in (Setting.GRAY_BALANCE_COUNT, Setting.PELTIER, Setting.TEMPERATURE)
    and s < Setting.CORE_OPTION_104
)


def _int32(value: Any, what: str) -> int:
    """value as a C int; ctypes would silently cut a larger one to 32 bits."""
    number = operator.index(value)
    if not _INT32[0] <= number <= _INT32[1]:
        raise InvalidParameter(9, "ERR_PARAMETER", what, f"{number} is outside the range of a C int")
    return number


def _policy(policy: Union[str, int]) -> QueuePolicy:
    if isinstance(policy, str):
        try:
            return QueuePolicy[policy.upper()]
        except KeyError:
            raise InvalidParameter(9, "ERR_PARAMETER", "stream", f"policy {policy!r}: use 'fifo' or 'latest'") from None
    try:
        return QueuePolicy(policy)
    except ValueError:
        raise InvalidParameter(9, "ERR_PARAMETER", "stream", f"policy {policy!r}") from None


def _timeout_ms(timeout: Optional[float], what: str) -> Optional[float]:
    if timeout is None:
        return None
    if not (isinstance(timeout, (int, float)) and math.isfinite(timeout) and timeout >= 0):
        raise InvalidParameter(9, "ERR_PARAMETER", what, f"time-out {timeout!r}: seconds >= 0 or None")
    return float(timeout)


@dataclass(frozen=True)
class CameraEntry:
    """An attached camera: its device number (index), name and serial number."""

    index: int
    name: str
    serial: Optional[str]


def _device_name(api: "_lib._Api", handle: int, number: int) -> Optional[str]:
    buffer = create_string_buffer(256)
    try:
        api.VeltCam_GetDeviceName(handle, number, buffer, sizeof(buffer))
    except DeviceNotFound:
        return None
    return buffer.value.decode("utf-8", "replace")


def _serial_number(api: "_lib._Api", handle: int) -> str:
    buffer = create_string_buffer(32)
    api.VeltCam_ReadSerialNumberA(handle, buffer, sizeof(buffer))
    return buffer.value.decode("utf-8", "replace")


def _new_handle(api: "_lib._Api") -> int:
    handle = api.VeltCam_Initialize(None)
    if handle == 0:
        raise InsufficientMemory(5, "ERR_MEMORY", "VeltCam_Initialize")
    # Codes from the initialisation (no camera, or several to choose from) are
    # answered by the selection that follows.
    api.drain(handle)
    return handle


def _each_camera(api: "_lib._Api", handle: int) -> Iterator[CameraEntry]:
    """Selects each attached camera in turn; the one just yielded stays selected."""
    for number in range(_MAX_DEVICES):
        name = _device_name(api, handle, number)
        if name is None:
            continue
        try:
            api.VeltCam_SetDeviceNumber(handle, number)
            serial: Optional[str] = _serial_number(api, handle)
        except VeltcamError:
            serial = None
        yield CameraEntry(number, name, serial)


def list_cameras() -> List[CameraEntry]:
    """The attached cameras of this model, with their serial numbers.

    Reading a serial number opens the camera; a camera that cannot be opened
    (in use elsewhere, say) is listed with serial None.
    """
    api = _lib.library()
    handle = _new_handle(api)
    try:
        return list(_each_camera(api, handle))
    finally:
        api.VeltCam_Release(handle)


def open(index: Optional[int] = None, serial: Optional[str] = None) -> "Camera":  # noqa: A001
    """Opens a camera by device number (default 0) or by serial number.

    The camera runs headless: no preview window is ever created. Close it with
    close() or a with block; it is also released when garbage-collected.
    """
    if index is not None and serial is not None:
        raise TypeError("open() takes index or serial, not both")
    api = _lib.library()
    handle = _new_handle(api)
    try:
        if serial is None:
            number = _int32(0 if index is None else index, "open")
            api.VeltCam_SetDeviceNumber(handle, number)
        else:
            found = next((c for c in _each_camera(api, handle) if c.serial == serial), None)
            if found is None:
                raise DeviceNotFound(2, "ERR_NO_DEVICE", "open", f"no camera with serial number {serial!r}")
            number = found.index
        api.VeltCam_SetPreviewWindow(handle, None, 0, 0, 0, 0)
        return Camera(api, handle, number)
    except BaseException:
        api.VeltCam_Release(handle)
        raise


class Settings(MutableMapping[Setting, Union[int, bool]]):
    """The setting-ID interface as a mapping.

    Keys are Setting members, their numbers or their names ("gamma"); values are
    ints (bools for the switches). A value out of range raises InvalidParameter
    and changes nothing; a setting this camera lacks raises NotSupported.
    Iteration gives the settings this camera can read.
    """

    def __init__(self, camera: "Camera") -> None:
        self._camera = camera

    @staticmethod
    def _key(key: Union[Setting, int, str]) -> Setting:
        try:
            if isinstance(key, str):
                return Setting[key.upper()]
            return Setting(key)
        except (KeyError, ValueError):
            raise KeyError(key) from None

    def __getitem__(self, key: Union[Setting, int, str]) -> Union[int, bool]:
        setting = self._key(key)
        value = self._camera._get_setting(setting)
        return bool(value) if setting in _BOOL_SETTINGS else value

    def __setitem__(self, key: Union[Setting, int, str], value: Union[int, bool]) -> None:
        setting = self._key(key)
        self._camera._set_setting(setting, _int32(value, f"settings[{setting.name}]"))

    def __delitem__(self, key: Union[Setting, int, str]) -> None:
        raise TypeError("camera settings cannot be deleted")

    def __iter__(self) -> Iterator[Setting]:
        return iter(_READABLE_SETTINGS)

    def __len__(self) -> int:
        return len(_READABLE_SETTINGS)

    def __repr__(self) -> str:
        return f"Settings({dict(self)!r})"


class Camera:
    """An open camera. Use it in a with block, or call close().

    Properties read back the camera's actual values. Any thread may use a
    camera; the SDK serialises what must not run at once.
    """

    def __init__(self, api: "_lib._Api", handle: int, index: int) -> None:
        self._api = api
        self._handle = handle
        self.index = index
        self._lock = threading.RLock()
        self._stream: Optional[Stream] = None
        self._closed = False
        self._release = weakref.finalize(self, api.VeltCam_Release, handle)

    # -- life cycle ---------------------------------------------------------------

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """Stops a running stream or worker, saves the settings, releases the camera."""
        with self._lock:
            if self._closed:
                return
            stream = self._stream
        if stream is not None:
            stream.close()
        with self._lock:
            self._closed = True
            self._release()

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def handle(self) -> int:
        """The SDK handle, for calls the package does not wrap."""
        self._check_open()
        return self._handle

    def _check_open(self) -> None:
        if self._closed:
            raise NotReady(1, "ERR_NOT_READY", "Camera", "the camera is closed")

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"handle {self._handle:#x}"
        return f"<veltcam.Camera {self.index} ({state})>"

    # -- identity -----------------------------------------------------------------

    @property
    def name(self) -> str:
        self._check_open()
        name = _device_name(self._api, self._handle, self.index)
        if name is None:
            raise DeviceNotFound(2, "ERR_NO_DEVICE", "name", "the camera is no longer attached")
        return name

    @property
    def serial(self) -> str:
        self._check_open()
        return _serial_number(self._api, self._handle)

    @property
    def sensor_size(self) -> Tuple[int, int]:
        """(width, height) of the whole sensor."""
        info = self._device_info()
        return info.maxWidth, info.maxHeight

    def _device_info(self) -> "_lib.DeviceInfo":
        self._check_open()
        info = _lib.DeviceInfo()
        info.size = sizeof(info)
        self._api.VeltCam_GetCameraInfo(self._handle, byref(info))
        return info

    # -- settings -------------------------------------------------------------------

    def _get_setting(self, setting: int) -> int:
        self._check_open()
        ok = c_int(1)
        return self._api.VeltCam_GetFilterValue(self._handle, int(setting), byref(ok))

    def _set_setting(self, setting: int, value: int) -> None:
        self._check_open()
        self._api.VeltCam_SetFilterValue(self._handle, int(setting), value)

    @property
    def settings(self) -> Settings:
        return Settings(self)

    @property
    def exposure_ms(self) -> float:
        """Exposure in milliseconds, in steps of 0.1 ms (0.1 to 2000)."""
        return self._get_setting(Setting.EXPOSURE_TIME) / 10.0

    @exposure_ms.setter
    def exposure_ms(self, value: float) -> None:
        if not (isinstance(value, (int, float)) and math.isfinite(value)):
            raise InvalidParameter(9, "ERR_PARAMETER", "exposure_ms", f"{value!r} is not a number of milliseconds")
        self._set_setting(Setting.EXPOSURE_TIME, _int32(round(value * 10), "exposure_ms"))

    @property
    def gain(self) -> int:
        """Global sensor gain in steps (0 to 480)."""
        return self._get_setting(Setting.GLOBAL_GAIN)

    @gain.setter
    def gain(self, value: int) -> None:
        self._set_setting(Setting.GLOBAL_GAIN, _int32(value, "gain"))

    @property
    def pipeline_threads(self) -> int:
        """Threads that convert each frame (1 to 64); the image is the same with any."""
        self._check_open()
        return self._api.VeltCamEx_GetPipelineThreads(self._handle)

    @pipeline_threads.setter
    def pipeline_threads(self, value: int) -> None:
        """1 keeps the conversion on the SDK's display thread; 0 restores the default
        (VELTCAM_PIPELINE_THREADS, else the processor count)."""
        self._check_open()
        self._api.VeltCamEx_SetPipelineThreads(self._handle, _int32(value, "pipeline_threads"))

    @property
    def color_mode(self) -> ColorMode:
        """Output colour mode; takes effect when the next snapshot or stream starts."""
        self._check_open()
        return ColorMode(self._api.VeltCam_GetColorMode(self._handle))

    @color_mode.setter
    def color_mode(self, value: Union[ColorMode, int]) -> None:
        self._check_open()
        self._api.VeltCam_SetColorMode(self._handle, _int32(value, "color_mode"))

    @property
    def roi(self) -> Tuple[int, int, int, int]:
        """Capture window (x, y, width, height) in sensor pixels, before half readout.

        A window outside the sensor raises InvalidParameter and changes nothing.
        The sensor reads out windows with x and y even, the width a multiple of
        16 and the height of 4 (in half readout: x and y multiples of 4, the
        width of 32); the next capture refuses any other with ImageSizeError.
        """
        self._check_open()
        v = [c_int() for _ in range(6)]
        self._api.VeltCam_GetCaptureWindowEx(self._handle, *(byref(x) for x in v))
        return v[1].value, v[4].value, v[2].value, v[5].value

    @roi.setter
    def roi(self, value: Tuple[int, int, int, int]) -> None:
        try:
            x, y, w, h = (_int32(n, "roi") for n in value)
        except (TypeError, ValueError) as e:
            if isinstance(e, VeltcamError):
                raise
            raise InvalidParameter(9, "ERR_PARAMETER", "roi", f"{value!r}: expected (x, y, width, height)") from None
        width, height = self.sensor_size
        if x < 0 or y < 0 or w < 1 or h < 1 or x + w > width or y + h > height:
            # The SDK would keep a window outside the sensor stored (and refuse
            # every capture with it): such a window never reaches it.
            raise InvalidParameter(
                9, "ERR_PARAMETER", "roi", f"{(x, y, w, h)} does not lie inside the {width} x {height} sensor"
            )
        totals = [c_int() for _ in range(6)]
        self._api.VeltCam_GetCaptureWindowEx(self._handle, *(byref(t) for t in totals))
        old = [t.value for t in totals]
        try:
            self._api.VeltCam_SetCaptureWindowEx(self._handle, old[0], x, w, old[3], y, h)
        except ImageSizeError:
            self._api.VeltCam_SetCaptureWindowEx(self._handle, *old)
            raise

    @property
    def half_readout(self) -> bool:
        """Half-resolution readout: images of half the window's width and height."""
        self._check_open()
        return self._api.VeltCam_GetSubSample(self._handle) == 1

    @half_readout.setter
    def half_readout(self, value: bool) -> None:
        self._check_open()
        self._api.VeltCam_SetSubSample(self._handle, 1 if value else 0)

    @property
    def mirror(self) -> Tuple[bool, bool]:
        """(horizontal, vertical) mirroring."""
        self._check_open()
        return (
            bool(self._api.VeltCam_GetMirrorH(self._handle)),
            bool(self._api.VeltCam_GetMirrorV(self._handle)),
        )

    @mirror.setter
    def mirror(self, value: Tuple[bool, bool]) -> None:
        self._check_open()
        horizontal, vertical = value
        self._api.VeltCam_SetMirrorH(self._handle, 1 if horizontal else 0)
        self._api.VeltCam_SetMirrorV(self._handle, 1 if vertical else 0)

    @property
    def wait_time_ms(self) -> int:
        """Pause of the SDK's display loop between frames, ms (0: none)."""
        self._check_open()
        return self._api.VeltCam_GetWaitTime(self._handle)

    @wait_time_ms.setter
    def wait_time_ms(self, value: int) -> None:
        self._check_open()
        self._api.VeltCam_SetWaitTime(self._handle, _int32(value, "wait_time_ms"))

    @property
    def image_shape(self) -> Tuple[int, ...]:
        """The shape of the arrays the next snapshot or stream delivers."""
        width, height, bits = self._geometry()
        channels = ColorMode(bits).channels
        return (height, width) if channels == 1 else (height, width, channels)

    def _geometry(self) -> Tuple[int, int, int]:
        self._check_open()
        shift = 1 if self._api.VeltCam_GetSubSample(self._handle) == 1 else 0
        return (
            self._api.VeltCam_Width(self._handle) >> shift,
            self._api.VeltCam_Height(self._handle) >> shift,
            self._api.VeltCam_GetColorMode(self._handle),
        )

    # -- images ---------------------------------------------------------------------

    def snap(self) -> np.ndarray:
        """Takes one frame and returns it as an owned array (see ColorMode).

        Raises NotReady while a stream runs.
        """
        with self._lock:
            self._check_open()
            width, height, bits = self._geometry()
            buffer = new_buffer(width, height, bits)
            try:
                self._api.VeltCam_SnapShot(self._handle, buffer.ctypes.data, buffer.size, 1)
            except InsufficientMemory:
                # A frame larger than the settings promised was still converted
                # and waits to be copied; anything else is a real failure.
                info = self._frame_info()
                if (info.width, info.height, info.bitsPerPixel) == (width, height, bits):
                    raise
            else:
                info = self._frame_info()
            if (info.width, info.height, info.bitsPerPixel) != (width, height, bits):
                buffer = new_buffer(info.width, info.height, info.bitsPerPixel)
                self._api.VeltCam_GetImage(self._handle, buffer.ctypes.data, buffer.size, 1)
            return image_view(buffer, info.width, info.height, info.bitsPerPixel)

    def _frame_info(self) -> "_lib.FrameInfo":
        info = _lib.FrameInfo()
        info.size = sizeof(info)
        self._api.VeltCamEx_GetFrameInfo(self._handle, byref(info))
        return info

    def save(self, path: "Union[str, os.PathLike[str]]", format: Optional[ImageFormat] = None) -> None:  # noqa: A002
        """Writes the last image (snapshot or streamed frame) with the SDK's still writer.

        format: an ImageFormat, or None to choose by the file name's extension
        (.bmp, .raw, .jpg/.jpeg at quality 70, .png, .tif/.tiff).
        """
        self._check_open()
        if format is None:
            extension = os.path.splitext(os.fspath(path))[1].lower()
            if extension not in _STILL_FORMATS:
                raise InvalidParameter(
                    9, "ERR_PARAMETER", "save", f"no still format for {extension!r}; pass format="
                )
            format = _STILL_FORMATS[extension]
        self._call_with_path("VeltCam_SaveImage", path, _int32(format, "save"))

    def record(self, path: "Union[str, os.PathLike[str]]", seconds: float) -> None:
        """Records an uncompressed 24-bit AVI movie of the given length; blocks until done."""
        self._check_open()
        if not (isinstance(seconds, (int, float)) and math.isfinite(seconds) and 0 < seconds < 2**31 / 1000):
            raise InvalidParameter(9, "ERR_PARAMETER", "record", f"{seconds!r}: seconds > 0")
        with self._lock:
            if self._stream is not None:
                raise NotReady(1, "ERR_NOT_READY", "record", "a stream is running")
            before = self.stats.frames_delivered
            self._call_with_path("VeltCam_Record", path, round(seconds * 1000), 0)
            try:
                # The movie's length counts from its first frame.
                deadline = time.monotonic() + 5.0
                while self.stats.frames_delivered == before and time.monotonic() < deadline:
                    time.sleep(0.005)
                time.sleep(seconds + _RECORD_POLL_S)
            finally:
                # Ends the preview the recording ran on and finalises the file.
                self._api.VeltCam_StopPreview(self._handle)

    def load_mask(self, path: "Union[str, os.PathLike[str]]") -> None:
        """Loads the flat-field and defect references from a mask file."""
        self._call_with_path("VeltCam_LoadMaskFile", path)

    def save_mask(self, path: "Union[str, os.PathLike[str]]") -> None:
        """Saves the flat-field and defect references to a mask file."""
        self._call_with_path("VeltCam_SaveMaskFile", path)

    def _call_with_path(self, function: str, path: "Union[str, os.PathLike[str]]", *args: int) -> None:
        # Windows takes the wide-character variant, so that any file name works;
        # Linux takes the bytes of the file system's encoding.
        self._check_open()
        if _lib.IS_WINDOWS:
            getattr(self._api, function + "W")(self._handle, os.fspath(path), *args)
        else:
            getattr(self._api, function)(self._handle, os.fsencode(path), *args)

    # -- streams ----------------------------------------------------------------------

    @property
    def stats(self) -> StreamStats:
        """Stream statistics since the camera was opened or reset_stats()."""
        self._check_open()
        record = _lib.StreamStatsRecord()
        record.size = sizeof(record)
        self._api.VeltCamEx_GetStreamStats(self._handle, byref(record))
        return StreamStats(
            record.framesTransferred,
            record.framesDelivered,
            record.framesLostInRing,
            record.framesDroppedByQueue,
            record.framesRejected,
            record.headerTimeouts,
            record.transferRetries,
            record.transferFailures,
            record.recorderFramesDropped,
            record.framesPerSecond,
            record.framesLostInTransfer,
            record.payloadLengthRejects,
        )

    def reset_stats(self) -> None:
        self._check_open()
        self._api.VeltCamEx_ResetStreamStats(self._handle)

    def stream(self, queue: int = 8, policy: Union[str, QueuePolicy] = "fifo") -> "Stream":
        """Starts a stream of frames; use it in a with block (or call close()).

        queue: frames the SDK keeps for a consumer that falls behind (1..64).
        policy: "fifo" keeps the oldest in order and drops the oldest when full;
        "latest" keeps only the newest frame.
        """
        return Stream(self, queue, policy)

    def on_frame(
        self, fn: Callable[[Frame], Any], queue: int = 8, policy: Union[str, QueuePolicy] = "fifo"
    ) -> "FrameWorker":
        """Calls fn(frame) for every frame on a Python worker thread until stopped.

        fn never runs on an SDK thread. worker.stop() may be called from anywhere,
        fn included. An exception from fn (or a stream failure) ends the worker
        and is raised again by join() or at the end of its with block.
        """
        return FrameWorker(self, fn, queue, policy)

    def _attach(self, stream: "Stream") -> None:
        with self._lock:
            self._check_open()
            if self._stream is not None:
                raise NotReady(1, "ERR_NOT_READY", "stream", "a stream is already running on this camera")
            self._stream = stream

    def _detach(self, stream: "Stream") -> None:
        with self._lock:
            if self._stream is stream:
                self._stream = None


class Stream:
    """A running stream of frames (the SDK's frame queue over a headless preview)."""

    def __init__(self, camera: Camera, queue: int, policy: Union[str, QueuePolicy]) -> None:
        self._camera = camera
        self._api = camera._api
        self._handle = camera._handle
        self.policy = _policy(policy)
        self.queue = _int32(queue, "stream")
        self._closed = False
        self._close_lock = threading.Lock()
        self._buffers = BufferPool()
        camera._attach(self)
        try:
            self._api.VeltCamEx_SetFrameQueue(self._handle, self.queue, int(self.policy))
            self._api.VeltCam_StartPreview(self._handle)
        except BaseException:
            try:
                self._api.VeltCamEx_SetFrameQueue(self._handle, 0, 0)
            finally:
                camera._detach(self)
            raise
        self._geometry = camera._geometry()

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Stops the stream; a thread waiting for a frame returns at once. Any thread."""
        with self._close_lock:
            if self._closed:
                return
            self._closed = True
            try:
                self._api.VeltCam_StopPreview(self._handle)
                self._api.VeltCamEx_SetFrameQueue(self._handle, 0, 0)
            finally:
                self._buffers.clear()
                self._camera._detach(self)

    @property
    def stats(self) -> StreamStats:
        return self._camera.stats

    def read(self, timeout: Optional[float] = 1.0) -> Frame:
        """The next frame; Timeout when none comes within timeout seconds (None: wait).

        Raises NotReady once the stream is closed, Disconnected when the camera
        stops delivering (after the frames that came before it).
        """
        frame = self._next(timeout)
        if frame is None:
            raise NotReady(1, "ERR_NOT_READY", "read", "the stream is closed")
        return frame

    def frames(self, count: Optional[int] = None, timeout: Optional[float] = 1.0) -> Iterator[Frame]:
        """Yields count frames (None: until the stream is closed), each within timeout."""
        if count is not None and count < 0:
            raise InvalidParameter(9, "ERR_PARAMETER", "frames", f"count {count}")
        taken = 0
        while count is None or taken < count:
            frame = self._next(timeout)
            if frame is None:
                return
            taken += 1
            yield frame

    def _next(self, timeout: Optional[float]) -> Optional[Frame]:
        seconds = _timeout_ms(timeout, "read")
        deadline = None if seconds is None else time.monotonic() + seconds
        width, height, bits = self._geometry
        buffer = self._buffers.take(row_bytes(width, bits) * height)
        info = _lib.FrameInfo()
        info.size = sizeof(info)
        resized = False
        while True:
            if self._closed:
                return None
            if deadline is None:
                slice_ms = _WAIT_SLICE_MS
            else:
                slice_ms = max(0, min(_WAIT_SLICE_MS, math.ceil((deadline - time.monotonic()) * 1000)))
            try:
                result = self._api.VeltCamEx_WaitFrame(
                    self._handle, buffer.ctypes.data, buffer.size, 1, slice_ms, byref(info)
                )
            except NotReady:
                if self._closed:  # closed by another thread during the wait
                    return None
                raise
            except InsufficientMemory:
                if resized:
                    raise
                # The frames are larger than the settings said when the stream
                # started; the frame stays queued for a buffer of its size.
                current = self._camera._frame_info()
                self._geometry = (current.width, current.height, current.bitsPerPixel)
                buffer = new_buffer(*self._geometry)
                resized = True
                continue
            if result == 1:
                break
            if deadline is not None and time.monotonic() >= deadline:
                self._buffers.give(buffer)
                raise Timeout("read", timeout)
        if info.rowBytes != row_bytes(info.width, info.bitsPerPixel):
            raise InsufficientMemory(5, "ERR_MEMORY", "read", f"unexpected row length {info.rowBytes}")
        frame = Frame(
            array=image_view(buffer, info.width, info.height, info.bitsPerPixel),
            number=info.frameNumber,
            camera_counter=info.cameraCounter,
            timestamp_ns=info.timestampNs,
            dropped_before=info.droppedBefore,
            exposure_ms=info.exposure / 10.0,
            gain=info.gain,
            color_mode=ColorMode(info.bitsPerPixel),
            lost_in_transfer=info.lostInTransfer,
        )
        self._buffers.give(buffer)
        return frame


class FrameWorker:
    """A Python thread that feeds frames from a stream to a function."""

    def __init__(
        self, camera: Camera, fn: Callable[[Frame], Any], queue: int, policy: Union[str, QueuePolicy]
    ) -> None:
        self._fn = fn
        self._stopping = threading.Event()
        self.error: Optional[BaseException] = None
        self.frames_handled = 0
        self._stream = Stream(camera, queue, policy)
        self._thread = threading.Thread(target=self._run, name="veltcam-on-frame", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        try:
            for frame in self._stream.frames(timeout=None):
                if self._stopping.is_set():
                    break
                self._fn(frame)
                self.frames_handled += 1
        except BaseException as e:  # kept for join(): a worker thread has no caller
            if not self._stopping.is_set():
                self.error = e
        finally:
            self._stream.close()

    def __enter__(self) -> "FrameWorker":
        return self

    def __exit__(self, exc_type: Any, *exc: Any) -> None:
        self.stop()
        if exc_type is None:
            self.join()

    @property
    def running(self) -> bool:
        return self._thread.is_alive()

    def stop(self) -> None:
        """Stops the stream and the worker. Safe from any thread, fn included;
        from another thread it returns once fn has returned for the last time."""
        self._stopping.set()
        self._stream.close()
        if threading.current_thread() is not self._thread:
            self._thread.join()

    def join(self, timeout: Optional[float] = None) -> None:
        """Waits for the worker to end; raises the exception that ended it, if any."""
        if threading.current_thread() is not self._thread:
            self._thread.join(timeout)
        if self.error is not None:
            error, self.error = self.error, None
            raise error
