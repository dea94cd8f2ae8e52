"""Exceptions: one class per SDK error code, all derived from VeltcamError."""

from __future__ import annotations

from typing import Dict, Optional, Sequence, Tuple, Type

__all__ = [
    "VeltcamError",
    "NotReady",
    "DeviceNotFound",
    "ThreadFailure",
    "WindowUnavailable",
    "InsufficientMemory",
    "DeviceIOError",
    "ImageSizeError",
    "TransferError",
    "InvalidParameter",
    "NotSupported",
    "OperationFailed",
    "Disconnected",
    "MaskFileError",
    "Timeout",
    "LibraryError",
    "error_for_code",
    "ERROR_NAMES",
]

# The SDK's error codes (there is no code 10) with their names and meaning.
ERROR_NAMES: Dict[int, Tuple[str, str]] = {
    0: ("ERR_NONE", "failed without an error code"),
    1: ("ERR_NOT_READY", "no camera, wrong capture mode or no image"),
    2: ("ERR_NO_DEVICE", "no camera at that device number"),
    3: ("ERR_THREAD", "worker thread or event not created"),
    4: ("ERR_WINDOW", "preview window or size table unavailable"),
    5: ("ERR_MEMORY", "allocation failed or buffer too small"),
    6: ("ERR_DEVICE_IO", "register access or transfer start failed"),
    7: ("ERR_IMAGE_SIZE", "capture window not valid for the sensor"),
    8: ("ERR_TRANSFER", "frame readout failed"),
    9: ("ERR_PARAMETER", "argument out of range, null or empty"),
    11: ("ERR_NOT_SUPPORTED", "not available on this camera"),
    12: ("ERR_FAILED", "operation failed"),
    13: ("ERR_TIMEOUT", "the camera stopped delivering frames"),
    14: ("ERR_MASK_FILE", "mask file missing, unreadable or wrong"),
}


class VeltcamError(Exception):
    """A failed SDK call.

    code: the SDK's error code (None for failures the package itself detects,
    such as a wait that timed out); name: its name (``ERR_PARAMETER``, ...);
    function: the C function or package operation that failed; history: every
    code drained from the handle's error history with it, newest first.
    """

    code: Optional[int]
    name: str
    function: str
    history: Tuple[int, ...]

    def __init__(
        self,
        code: Optional[int],
        name: str,
        function: str,
        message: Optional[str] = None,
        history: Sequence[int] = (),
    ) -> None:
        self.code = code
        self.name = name
        self.function = function
        self.history = tuple(history)
        if message is None:
            message = ERROR_NAMES.get(code, (name, "unknown error code"))[1] if code is not None else name
        text = f"{function}: {message}"
        if code is not None:
            text += f" ({name}, code {code})"
        super().__init__(text)


class NotReady(VeltcamError):
    """Code 1: no camera, the wrong capture mode, or no image yet."""


class DeviceNotFound(VeltcamError):
    """Code 2: no camera at that device number (or with that serial number)."""


class ThreadFailure(VeltcamError):
    """Code 3: the SDK could not create a worker thread or event."""


class WindowUnavailable(VeltcamError):
    """Code 4: preview window or capture-size table unavailable."""


class InsufficientMemory(VeltcamError):
    """Code 5: an allocation failed or a buffer was too small."""


class DeviceIOError(VeltcamError):
    """Code 6: a register access or the start of a transfer failed."""


class ImageSizeError(VeltcamError, ValueError):
    """Code 7: the capture window does not fit the sensor."""


class TransferError(VeltcamError):
    """Code 8: a frame could not be read out."""


class InvalidParameter(VeltcamError, ValueError):
    """Code 9: an argument out of range, null or empty; nothing was changed."""


class NotSupported(VeltcamError):
    """Code 11: not available on this camera."""


class OperationFailed(VeltcamError):
    """Code 12: string conversion, movie start, mask selection or file write."""


class Disconnected(VeltcamError):
    """Code 13: the camera stopped delivering frames (unplugged or gone)."""


class MaskFileError(VeltcamError):
    """Code 14: the mask file is missing, unreadable or not a mask file."""


class Timeout(VeltcamError, TimeoutError):
    """No frame arrived within the time-out. Nothing was consumed."""

    def __init__(self, function: str, seconds: Optional[float]) -> None:
        super().__init__(None, "TIMEOUT", function, f"no frame within {seconds} s")


class LibraryError(VeltcamError, OSError):
    """The C library could not be found or loaded, or is too old.

    tried: every place looked at, with the reason each one failed.
    """

    def __init__(self, message: str, tried: Sequence[str] = ()) -> None:
        self.tried = tuple(tried)
        if self.tried:
            message += "; tried:\n  " + "\n  ".join(self.tried)
        super().__init__(None, "LIBRARY", "load_library", message)


_CLASSES: Dict[int, Type[VeltcamError]] = {
    1: NotReady,
    2: DeviceNotFound,
    3: ThreadFailure,
    4: WindowUnavailable,
    5: InsufficientMemory,
    6: DeviceIOError,
    7: ImageSizeError,
    8: TransferError,
    9: InvalidParameter,
    11: NotSupported,
    12: OperationFailed,
    13: Disconnected,
    14: MaskFileError,
}


def error_for_code(
    code: int, function: str, message: Optional[str] = None, history: Sequence[int] = ()
) -> VeltcamError:
    """The exception for an SDK error code (VeltcamError for codes without a class)."""
    cls = _CLASSES.get(code, VeltcamError)
    name = ERROR_NAMES.get(code, (f"ERR_{code}", ""))[0]
    return cls(code, name, function, message, history)
