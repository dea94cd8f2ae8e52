"""Streams: frame numbers and drops, queue policies, time-outs, a camera that
goes away, waits that leave other Python threads running, and the frame worker."""

from __future__ import annotations

import threading
import time

import pytest

import veltcam


def test_fast_consumer_gets_consecutive_frames_with_their_metadata(small_camera):
    cam = small_camera("fps=30")
    cam.exposure_ms, cam.gain = 12.5, 80
    with cam.stream(queue=8) as s:
        frames = list(s.frames(count=15, timeout=3.0))
        stats = s.stats
    assert frames[0].dropped_before == frames[0].number
    for previous, frame in zip(frames, frames[1:]):
        # The queue loses nothing for a fast consumer; a frame the display thread
        # could not convert in time (a loaded machine) is lost in the ring before
        # the queue, and then it is counted exactly, as the camera counted it.
        assert frame.number == previous.number + 1 + frame.dropped_before
        assert frame.camera_counter - previous.camera_counter == frame.number - previous.number
        assert frame.timestamp_ns > previous.timestamp_ns
    for frame in frames:
        assert frame.array.shape == (192, 256, 3)
        assert (frame.exposure_ms, frame.gain) == (12.5, 80)
        assert frame.color_mode == veltcam.ColorMode.BGR24
    # Every frame is an array of its own: none is overwritten by a later one.
    assert len({f.array.ctypes.data for f in frames}) == len(frames)
    assert stats.frames_dropped_by_queue == 0
    assert stats.frames_delivered >= 15


def test_slow_consumer_sees_every_lost_frame_in_dropped_before(small_camera):
    cam = small_camera("fps=max")
    cam.reset_stats()
    received = []
    with cam.stream(queue=4) as s:
        for frame in s.frames(count=8, timeout=3.0):
            received.append(frame)
            time.sleep(0.03)
    stats = cam.stats
    assert stats.frames_dropped_by_queue > 0, "the consumer was slower than the camera"
    for previous, frame in zip(received, received[1:]):
        assert frame.number > previous.number, "fifo: in order"
        assert frame.dropped_before == frame.number - previous.number - 1
    # Frames numbered up to the last one received were received or lost.
    assert sum(f.dropped_before for f in received) + len(received) == received[-1].number + 1


def test_latest_policy_hands_out_the_newest_frame(small_camera):
    cam = small_camera("fps=100")
    for policy in ("latest", "fifo"):
        with cam.stream(queue=8, policy=policy) as s:
            s.read(timeout=3.0)
            time.sleep(0.3)  # frames pile up while nobody takes them
            stats = s.stats
            numbered = stats.frames_delivered + stats.frames_lost_in_ring
            frame = s.read(timeout=3.0)
        if policy == "latest":
            assert frame.number >= numbered - 1
            assert frame.dropped_before > 0
        else:
            assert frame.number < numbered - 4, "fifo hands out the oldest of the queue"
        cam.reset_stats()


def test_time_out_raises_and_takes_no_frame(small_camera):
    cam = small_camera("fps=2")
    with cam.stream(queue=4) as s:
        first = s.read(timeout=5.0)
        before = time.monotonic()
        with pytest.raises(veltcam.Timeout) as caught:
            s.read(timeout=0.05)
        assert time.monotonic() - before >= 0.05
        assert isinstance(caught.value, TimeoutError)
        following = s.read(timeout=5.0)
    assert following.number == first.number + 1
    assert following.dropped_before == 0


def test_frames_lost_in_transfer_show_in_the_frames_and_the_stats(small_camera):
    cam = small_camera("fps=60;stalls=instant;faults=payload-stall@4,payload-length:100@9")
    cam.reset_stats()
    with cam.stream(queue=64) as s:
        frames = list(s.frames(count=16, timeout=3.0))
    for previous, frame in zip(frames, frames[1:]):
        counted = frame.camera_counter - previous.camera_counter
        assert frame.lost_in_transfer == counted - (frame.number - previous.number)
    assert sum(f.lost_in_transfer for f in frames) >= 2
    stats = cam.stats
    assert stats.frames_lost_in_transfer >= 2
    assert stats.payload_length_rejects == 1


def test_unplugged_camera_raises_disconnected_inside_the_loop(small_camera):
    cam = small_camera("fps=max;faults=unplug@20")
    received = []
    with pytest.raises(veltcam.Disconnected) as caught:
        with cam.stream(queue=64) as s:
            for frame in s.frames(timeout=10.0):
                received.append(frame.number)
    assert caught.value.code == 13
    assert caught.value.function == "VeltCamEx_WaitFrame"
    assert 0 < len(received) < 20, "the frames before the unplug come first"


def test_waiting_for_a_frame_lets_other_python_threads_run(small_camera):
    cam = small_camera("fps=2")
    count = 0
    done = threading.Event()

    def spin() -> None:
        nonlocal count
        while not done.is_set():
            count += 1

    # Only what the spinner counts while this thread is inside the C library's
    # wait tells whether the interpreter lock was released; even a wait that held
    # it lets the spinner run for a switch interval or two around the call. So
    # the spinner's pace is taken first, while this thread sleeps for 0.1 s, and a
    # wait of at least 0.25 s must see more spins than that sleep did (a held lock
    # would allow about a tenth). A frame already queued ends the wait at once:
    # read until one wait lasted long enough.
    spins_in_wait, waited = 0, 0.0
    with cam.stream(queue=2) as s:
        s.read(timeout=5.0)
        spinner = threading.Thread(target=spin)
        spinner.start()
        try:
            before = count
            time.sleep(0.1)
            spins_in_sleep = count - before
            for _ in range(5):
                before, t0 = count, time.monotonic()
                s.read(timeout=5.0)
                spins_in_wait, waited = count - before, time.monotonic() - t0
                if waited >= 0.25:
                    break
        finally:
            done.set()
            spinner.join()
    assert waited >= 0.25, "no read waited for its frame"
    assert spins_in_sleep > 0
    assert spins_in_wait > spins_in_sleep, "the interpreter lock was held during the wait"


def test_frame_worker_runs_on_a_python_thread_and_stops_from_inside(small_camera):
    cam = small_camera("fps=50")
    got = []
    threads = set()

    def handle(frame: veltcam.Frame) -> None:
        got.append(frame.number)
        threads.add(threading.current_thread().name)
        if len(got) == 5:
            worker.stop()

    worker = cam.on_frame(handle, queue=8)
    worker.join(timeout=10.0)
    assert not worker.running
    assert len(got) == 5 and got == sorted(set(got)), "nothing after the stop, nothing twice"
    assert threads == {"veltcam-on-frame"}

    # Stopped from outside while it waits for a frame.
    slow = small_camera("fps=2")
    with slow.on_frame(lambda frame: None) as waiting:
        time.sleep(0.1)
    assert not waiting.running

    # An exception from the function ends the worker and comes back from join().
    def fail(frame: veltcam.Frame) -> None:
        raise RuntimeError("bad frame")

    failing = cam.on_frame(fail)
    with pytest.raises(RuntimeError, match="bad frame"):
        failing.join(timeout=10.0)
    # The camera is idle again and takes snapshots.
    assert cam.snap().shape == (192, 256, 3)


def test_a_kept_array_keeps_its_picture_while_released_buffers_are_reused(small_camera):
    # Window on the frame-number cells of the scene: cell i (64 columns) is white
    # when bit i of the camera's frame counter is set.
    cam = small_camera("fps=max")
    cam.roi = (0, 800, 256, 96)

    def counter_bits(cells) -> int:
        return sum(1 << i for i in range(4) if cells[16, 64 * i + 32, 1] > 128)

    kept = []
    with cam.stream(queue=8) as s:
        for n, frame in enumerate(s.frames(count=40, timeout=3.0)):
            if n % 4 == 0:  # only a slice is kept; the frame itself goes
                kept.append((frame.camera_counter, frame.array[64:96]))
    assert len(kept) == 10
    for counter, cells in kept:
        assert counter_bits(cells) == counter & 15


def test_buffer_pool_hands_out_only_what_nothing_refers_to():
    from veltcam.frame import BufferPool

    pool = BufferPool(keep=2)
    first = pool.take(4096)
    pool.give(first)
    view = first[100:200]
    address = first.ctypes.data
    del first
    held = pool.take(4096)
    assert held.ctypes.data != address, "a view still refers to the first buffer"
    pool.give(held)
    del view, held
    assert pool.take(4096).ctypes.data == address, "a released buffer is reused"
    assert pool.take(1024).size == 1024
