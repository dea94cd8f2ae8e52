"""Finding and loading the C library, and the prototypes of the functions used.

Every function is bound with its argument and result types. A call that fails
goes through one check (_Api._fail), which drains the handle's error history and
raises the exception of the newest code. Calls go through ctypes.CDLL, which
releases the interpreter lock for their duration: a thread waiting for a frame
does not stop the others.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from ctypes import POINTER, Structure, c_char_p, c_double, c_int, c_uint32, c_uint64, c_void_p, c_wchar_p
from typing import Callable, Iterator, List, Optional, Tuple

from ._errors import LibraryError, error_for_code

__all__ = ["load_library", "library", "FrameInfo", "StreamStatsRecord", "DeviceInfo"]

IS_WINDOWS = sys.platform == "win32"
LIBRARY_FILE = "VeltCamSdk_M40_USB3_R7.dll" if IS_WINDOWS else "libveltcamsdk.so"
_FIND_NAME = "VeltCamSdk_M40_USB3_R7" if IS_WINDOWS else "veltcamsdk"

# The pull extension of this version is what the package is written against; a
# later minor version only adds.
MIN_VERSION = 0x020D05
_MAJOR = 2

# How many codes one handle's error history holds.
_HISTORY_DEPTH = 20


class FrameInfo(Structure):
    """VeltCamExFrameInfo."""

    _fields_ = [
        ("size", c_uint32),
        ("width", c_int),
        ("height", c_int),
        ("bitsPerPixel", c_int),
        ("rowBytes", c_int),
        ("cameraCounter", c_uint32),
        ("frameNumber", c_uint64),
        ("timestampNs", c_uint64),
        ("droppedBefore", c_uint64),
        ("exposure", c_int),
        ("gain", c_int),
        ("lostInTransfer", c_uint64),
    ]


class StreamStatsRecord(Structure):
    """VeltCamExStreamStats."""

    _fields_ = [
        ("size", c_uint32),
        ("reserved", c_uint32),
        ("framesTransferred", c_uint64),
        ("framesDelivered", c_uint64),
        ("framesLostInRing", c_uint64),
        ("framesDroppedByQueue", c_uint64),
        ("framesRejected", c_uint64),
        ("headerTimeouts", c_uint64),
        ("transferRetries", c_uint64),
        ("transferFailures", c_uint64),
        ("recorderFramesDropped", c_uint64),
        ("framesPerSecond", c_double),
        ("framesLostInTransfer", c_uint64),
        ("payloadLengthRejects", c_uint64),
    ]


class DeviceInfo(Structure):
    """VeltCamDeviceInfo."""

    _fields_ = [
        ("size", c_int),
        ("maxWidth", c_int),
        ("maxHeight", c_int),
        ("gainMin", c_int),
        ("gainMax", c_int),
        ("colorGainMin", c_int),
        ("colorGainMax", c_int),
        ("exposureMin", c_int),
        ("exposureMax", c_int),
        ("reserved", c_int),
        ("exposureMsMin", c_double),
        ("exposureMsMax", c_double),
    ]


assert ctypes.sizeof(FrameInfo) == 64 and ctypes.sizeof(StreamStatsRecord) == 104
assert ctypes.sizeof(DeviceInfo) == 56

_H = c_uint32  # VeltCamHandle
_IP = POINTER(c_int)

# How a failure shows in a function's result.
_ZERO = "zero"  # result 0
_OK = "ok"  # the last argument, an int* ok, reads 0

# name: (result type, argument types, failure test, code when none was recorded)
# The fallback codes are those the header documents for failures that are only
# posted to a window or leave no code at all.
_PROTOTYPES = {
    "VeltCam_Initialize": (c_uint32, [c_void_p], None, 0),
    "VeltCam_Release": (c_int, [_H], None, 0),
    "VeltCam_GetLastError": (c_int, [_H], None, 0),
    "VeltCam_GetDllVersion": (c_int, [], None, 0),
    "VeltCam_GetDeviceName": (c_int, [_H, c_int, c_char_p, c_int], _ZERO, 2),
    "VeltCam_SetDeviceNumber": (c_int, [_H, c_int], _ZERO, 2),
    "VeltCam_GetCameraInfo": (c_int, [_H, POINTER(DeviceInfo)], _ZERO, 1),
    "VeltCam_ReadSerialNumberA": (c_int, [_H, c_char_p, c_int], _ZERO, 1),
    "VeltCam_SetCaptureWindowEx": (c_int, [_H, c_int, c_int, c_int, c_int, c_int, c_int], _ZERO, 7),
    "VeltCam_GetCaptureWindowEx": (c_int, [_H, _IP, _IP, _IP, _IP, _IP, _IP], None, 0),
    "VeltCam_Width": (c_int, [_H], None, 0),
    "VeltCam_Height": (c_int, [_H], None, 0),
    "VeltCam_SetColorMode": (c_int, [_H, c_int], _ZERO, 9),
    "VeltCam_GetColorMode": (c_int, [_H], None, 0),
    "VeltCam_SetSubSample": (c_int, [_H, c_int], _ZERO, 9),
    "VeltCam_GetSubSample": (c_int, [_H], None, 0),
    "VeltCam_SetWaitTime": (c_int, [_H, c_int], _ZERO, 9),
    "VeltCam_GetWaitTime": (c_int, [_H], None, 0),
    "VeltCam_SetPreviewWindow": (c_int, [_H, c_void_p, c_int, c_int, c_int, c_int], _ZERO, 1),
    "VeltCam_StartPreview": (c_int, [_H], _ZERO, 1),
    "VeltCam_StopPreview": (c_int, [_H], _ZERO, 1),
    "VeltCam_SnapShot": (c_int, [_H, c_void_p, c_int, c_int], _ZERO, 8),
    "VeltCam_GetImage": (c_int, [_H, c_void_p, c_int, c_int], _ZERO, 5),
    "VeltCam_SetMirrorH": (c_int, [_H, c_int], _ZERO, 1),
    "VeltCam_SetMirrorV": (c_int, [_H, c_int], _ZERO, 1),
    "VeltCam_GetMirrorH": (c_int, [_H], None, 0),
    "VeltCam_GetMirrorV": (c_int, [_H], None, 0),
    "VeltCam_GetFilterValue": (c_int, [_H, c_int, _IP], _OK, 9),
    "VeltCam_SetFilterValue": (c_int, [_H, c_int, c_int], _ZERO, 9),
    "VeltCam_SaveImage": (c_int, [_H, c_char_p, c_int], _ZERO, 12),
    "VeltCam_SaveImageW": (c_int, [_H, c_wchar_p, c_int], _ZERO, 12),
    "VeltCam_Record": (c_int, [_H, c_char_p, c_int, c_int], _ZERO, 12),
    "VeltCam_RecordW": (c_int, [_H, c_wchar_p, c_int, c_int], _ZERO, 12),
    "VeltCam_LoadMaskFile": (c_int, [_H, c_char_p], _ZERO, 14),
    "VeltCam_LoadMaskFileW": (c_int, [_H, c_wchar_p], _ZERO, 14),
    "VeltCam_SaveMaskFile": (c_int, [_H, c_char_p], _ZERO, 14),
    "VeltCam_SaveMaskFileW": (c_int, [_H, c_wchar_p], _ZERO, 14),
    "VeltCamEx_GetVersion": (c_int, [], None, 0),
    "VeltCamEx_SetFrameQueue": (c_int, [_H, c_int, c_int], _ZERO, 9),
    "VeltCamEx_WaitFrame": (c_int, [_H, c_void_p, c_int, c_int, c_int, POINTER(FrameInfo)], _ZERO, 1),
    "VeltCamEx_GetFrameInfo": (c_int, [_H, POINTER(FrameInfo)], _ZERO, 1),
    "VeltCamEx_GetStreamStats": (c_int, [_H, POINTER(StreamStatsRecord)], _ZERO, 9),
    "VeltCamEx_ResetStreamStats": (c_int, [_H], _ZERO, 1),
    "VeltCamEx_SetPipelineThreads": (c_int, [_H, c_int], _ZERO, 9),
    "VeltCamEx_GetPipelineThreads": (c_int, [_H], _ZERO, 1),
}


class _Api:
    """The loaded library with every function bound."""

    def __init__(self, dll: ctypes.CDLL, path: str) -> None:
        self.dll = dll
        self.path = path
        for name, (restype, argtypes, test, fallback) in _PROTOTYPES.items():
            function = getattr(dll, name)
            function.restype = restype
            function.argtypes = argtypes
            if test is not None:
                function.errcheck = self._checker(name, test, fallback)
            setattr(self, name, function)
        self.version = self.VeltCamEx_GetVersion()

    def drain(self, handle: int) -> List[int]:
        """Takes every code out of the handle's history, newest first.

        A few successful calls record ERR_NONE, which reads like an empty history;
        reading the whole depth gets past them.
        """
        codes = []
        for _ in range(_HISTORY_DEPTH):
            code = self.VeltCam_GetLastError(handle)
            if code != 0:
                codes.append(code)
        return codes

    def fail(self, handle: int, function: str, fallback: int) -> None:
        """Raises the exception of the handle's newest error code."""
        history = self.drain(handle)
        raise error_for_code(history[0] if history else fallback, function, history=history)

    def _checker(self, name: str, test: str, fallback: int) -> Callable:
        def check(result, func, args):
            failed = result == 0 if test == _ZERO else args[-1]._obj.value == 0
            if failed:
                self.fail(args[0], name, fallback)
            return result

        return check


def _check_version(api: _Api) -> Optional[str]:
    v = api.version
    if (v >> 16) != _MAJOR or v < MIN_VERSION:
        return (
            f"version {v >> 16}.{(v >> 8) & 0xFF}.{v & 0xFF}; this package needs "
            f"{_MAJOR}.x from {MIN_VERSION >> 16}.{(MIN_VERSION >> 8) & 0xFF}.{MIN_VERSION & 0xFF}"
        )
    return None


def _open(path: str) -> Tuple[Optional[_Api], str]:
    """The library at path (a file or a name for the system's search), or why not."""
    try:
        dll = ctypes.CDLL(path)
    except OSError as e:
        return None, str(e) or "could not be loaded"
    try:
        api = _Api(dll, path)
    except AttributeError as e:
        return None, f"not the VeltCam library with the pull extension ({e})"
    problem = _check_version(api)
    if problem:
        return None, problem
    return api, ""


def _candidates() -> Iterator[Tuple[str, str]]:
    """(where, path) of the places searched when no library was named."""
    yield "next to the package", os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY_FILE)
    found = ctypes.util.find_library(_FIND_NAME)
    if found:
        yield "ctypes.util.find_library", found
    else:
        yield "ctypes.util.find_library", f"{_FIND_NAME} (not found)"
    if IS_WINDOWS:
        # The DLL search path of the process, which includes every folder added
        # with os.add_dll_directory.
        yield "the DLL search path (os.add_dll_directory)", LIBRARY_FILE


_lock = threading.Lock()
_api: Optional[_Api] = None


def _load(path: Optional[str]) -> _Api:
    tried = []
    if path is None:
        path = os.environ.get("VELTCAM_LIBRARY") or None
        where = "$VELTCAM_LIBRARY"
    else:
        where = "explicit path"
    if path is not None:
        # A library named explicitly is the one wanted: no silent fallback to
        # another one somewhere else.
        path = os.fspath(path)
        api, reason = _open(path)
        if api:
            return api
        raise LibraryError("the VeltCam library could not be loaded", [f"{where}: {path}: {reason}"])
    for where, candidate in _candidates():
        if candidate.endswith("(not found)"):
            tried.append(f"{where}: {candidate}")
            continue
        if os.path.isabs(candidate) and not os.path.exists(candidate):
            tried.append(f"{where}: {candidate}: no such file")
            continue
        api, reason = _open(candidate)
        if api:
            return api
        tried.append(f"{where}: {candidate}: {reason}")
    raise LibraryError(
        f"the VeltCam library ({LIBRARY_FILE}) was not found; pass its path to "
        "veltcam.load_library() or set VELTCAM_LIBRARY",
        tried,
    )


def load_library(path: "Optional[str | os.PathLike[str]]" = None) -> _Api:
    """Loads the C library and makes it the one new cameras use.

    Search order: path, then $VELTCAM_LIBRARY, then the library file next to
    this package, then ctypes.util.find_library (and on Windows the DLL search
    path, which os.add_dll_directory extends). A path given here or in
    VELTCAM_LIBRARY is the only one tried. Raises LibraryError naming every
    place tried. Cameras already open keep the library they were opened with.
    """
    global _api
    api = _load(path)
    with _lock:
        _api = api
    return api


def library() -> _Api:
    """The loaded library, loading it by the search order on first use."""
    global _api
    with _lock:
        if _api is None:
            _api = _load(None)
        return _api
