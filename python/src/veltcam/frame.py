"""Frames as numpy arrays with their metadata, and stream statistics."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Tuple

import numpy as np

from .enums import ColorMode

__all__ = ["Frame", "StreamStats", "row_bytes", "new_buffer", "image_view"]


def row_bytes(width: int, bits_per_pixel: int) -> int:
    """Bytes per row of an SDK image: rows are padded to a multiple of 4 bytes."""
    return (width * bits_per_pixel + 31) // 32 * 4


def new_buffer(width: int, height: int, bits_per_pixel: int) -> np.ndarray:
    """An owned, uninitialised buffer that holds one image as the SDK copies it."""
    return np.empty(row_bytes(width, bits_per_pixel) * height, dtype=np.uint8)


def image_view(buffer: np.ndarray, width: int, height: int, bits_per_pixel: int) -> np.ndarray:
    """The image in buffer as (H, W) or (H, W, C), uint8 or little-endian uint16.

    The result shares the buffer's memory (the buffer is ours and the array keeps
    it alive). When a row's pixels do not fill a multiple of 4 bytes the rows
    keep their padding and the array is strided, not contiguous.
    """
    mode = ColorMode(bits_per_pixel)
    stride = row_bytes(width, bits_per_pixel)
    dtype = np.dtype("<u2") if mode.sample_bytes == 2 else np.dtype(np.uint8)
    rows = buffer[: stride * height].reshape(height, stride)[:, : width * bits_per_pixel // 8]
    pixels = rows.view(dtype)
    if mode.channels == 1:
        return pixels
    return pixels.reshape(height, width, mode.channels)


@dataclass(frozen=True)
class Frame:
    """One converted frame.

    array: the image, owned by this frame (H, W) or (H, W, C), colour samples in
    B, G, R order; number: frames since the stream started, from 0;
    camera_counter: the camera's own frame counter; timestamp_ns: the host's
    monotonic clock when the frame's transfer completed (time.monotonic_ns on
    Linux, the performance counter on Windows); dropped_before: frames lost
    between the previous frame received and this one; exposure_ms and gain: the
    settings in effect.
    """

    array: np.ndarray
    number: int
    camera_counter: int
    timestamp_ns: int
    dropped_before: int
    exposure_ms: float
    gain: int
    color_mode: ColorMode

    @property
    def shape(self) -> Tuple[int, ...]:
        return self.array.shape


@dataclass(frozen=True)
class StreamStats:
    """Counters of a camera's stream since it was opened or the last reset."""

    frames_transferred: int  # arrived complete in the camera's ring
    frames_delivered: int  # converted to the colour mode
    frames_lost_in_ring: int  # overwritten in the ring before conversion
    frames_dropped_by_queue: int  # converted but dropped by the frame queue
    frames_rejected: int  # payload transfers that failed or came short
    header_timeouts: int  # frame headers that did not come
    transfer_retries: int  # stream restarts after a failed transfer
    transfer_failures: int  # times the transfer gave up
    recorder_frames_dropped: int  # converted frames the movie recorder did not write
    frames_per_second: float  # delivered frames over their timestamps' span
