"""Frames as numpy arrays with their metadata, and stream statistics."""

from __future__ import annotations

import collections
import sys
import threading
from dataclasses import dataclass
from typing import Deque, Tuple

import numpy as np

from .enums import ColorMode

__all__ = ["BufferPool", "Frame", "StreamStats", "row_bytes", "new_buffer", "image_view"]


def row_bytes(width: int, bits_per_pixel: int) -> int:
    """Bytes per row of an SDK image: rows are padded to a multiple of 4 bytes."""
    return (width * bits_per_pixel + 31) // 32 * 4


def new_buffer(width: int, height: int, bits_per_pixel: int) -> np.ndarray:
    """An owned, uninitialised buffer that holds one image as the SDK copies it."""
    return np.empty(row_bytes(width, bits_per_pixel) * height, dtype=np.uint8)


class BufferPool:
    """Frame buffers, filled again only once nothing else refers to them.

    A frame's array is a view of its buffer and so holds a reference to it, as
    does every view, slice or memoryview made from that array. As long as the
    application keeps any of them, the buffer's reference count shows it and the
    buffer is left alone; a buffer that only the pool still refers to is handed
    out again. That spares a consumer that looks at each frame and lets it go a
    fresh allocation of up to 18 MiB (and its page faults) per frame.
    Where reference counts cannot be read, every buffer is a new one.
    """

    # References to a free buffer while take() looks at it: the pool's slot, the
    # local variable and getrefcount's argument.
    _FREE_REFERENCES = 3

    def __init__(self, keep: int = 3) -> None:
        self._buffers: Deque[np.ndarray] = collections.deque(maxlen=keep)
        self._lock = threading.Lock()
        self._counts = hasattr(sys, "getrefcount")

    def take(self, size: int) -> np.ndarray:
        """A buffer of size bytes that nothing refers to."""
        if self._counts:
            with self._lock:
                for i in range(len(self._buffers)):
                    buffer = self._buffers[i]
                    if buffer.size == size and sys.getrefcount(buffer) <= self._FREE_REFERENCES:
                        del self._buffers[i]
                        return buffer
        return np.empty(size, dtype=np.uint8)

    def give(self, buffer: np.ndarray) -> None:
        """Keeps buffer for reuse once it is free (the oldest kept one goes)."""
        if self._counts:
            with self._lock:
                self._buffers.append(buffer)

    def clear(self) -> None:
        with self._lock:
            self._buffers.clear()


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
    settings in effect; lost_in_transfer: frames the camera sent since the
    previous frame received that failed or were rejected in transfer (from the
    gaps of the camera's counter).
    """

    array: np.ndarray
    number: int
    camera_counter: int
    timestamp_ns: int
    dropped_before: int
    exposure_ms: float
    gain: int
    color_mode: ColorMode
    lost_in_transfer: int = 0

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
    frames_lost_in_transfer: int = 0  # sent by the camera, never reached the ring
    payload_length_rejects: int = 0  # headers whose payload length was not a frame
