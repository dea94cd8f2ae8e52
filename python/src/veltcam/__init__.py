"""VeltCam M40 USB3 cameras as numpy arrays.

    import veltcam
    with veltcam.open() as cam:
        cam.color_mode = veltcam.ColorMode.BGR24
        img = cam.snap()                      # (H, W, 3) uint8, B, G, R
        with cam.stream(queue=8, policy="fifo") as s:
            for frame in s.frames(count=100, timeout=1.0):
                print(frame.number, frame.dropped_before, frame.array.shape)

A thin layer over the SDK's C library (loaded with ctypes; see load_library).
Every frame is a numpy array of its own, filled by the SDK directly; no array
ever points into the SDK's memory.
"""

from ._errors import (
    DeviceIOError,
    DeviceNotFound,
    Disconnected,
    ImageSizeError,
    InsufficientMemory,
    InvalidParameter,
    LibraryError,
    MaskFileError,
    NotReady,
    NotSupported,
    OperationFailed,
    ThreadFailure,
    Timeout,
    TransferError,
    VeltcamError,
    WindowUnavailable,
    error_for_code,
)
from ._lib import load_library
from .camera import Camera, CameraEntry, FrameWorker, Settings, Stream, list_cameras, open
from .enums import ColorMode, ImageFormat, QueuePolicy, Setting
from .frame import Frame, StreamStats

__version__ = "2.13.5"


def library_version() -> str:
    """Version of the loaded C library, "major.minor.patch" (loads it if needed)."""
    from ._lib import library

    v = library().version
    return f"{v >> 16}.{(v >> 8) & 0xFF}.{v & 0xFF}"


def library_path() -> str:
    """Where the loaded C library came from (loads it if needed)."""
    from ._lib import library

    return library().path


__all__ = [
    "Camera",
    "CameraEntry",
    "ColorMode",
    "DeviceIOError",
    "DeviceNotFound",
    "Disconnected",
    "Frame",
    "FrameWorker",
    "ImageFormat",
    "ImageSizeError",
    "InsufficientMemory",
    "InvalidParameter",
    "LibraryError",
    "MaskFileError",
    "NotReady",
    "NotSupported",
    "OperationFailed",
    "QueuePolicy",
    "Setting",
    "Settings",
    "Stream",
    "StreamStats",
    "ThreadFailure",
    "Timeout",
    "TransferError",
    "VeltcamError",
    "WindowUnavailable",
    "error_for_code",
    "library_path",
    "library_version",
    "list_cameras",
    "load_library",
    "open",
]
