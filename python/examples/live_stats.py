"""Streams and prints frames per second and lost frames once a second.

    python live_stats.py [--seconds N] [--policy fifo|latest] [--queue N]
"""

import argparse
import time

import veltcam


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--policy", default="fifo", choices=["fifo", "latest"])
    parser.add_argument("--queue", type=int, default=8)
    args = parser.parse_args()

    with veltcam.open() as cam:
        cam.reset_stats()
        with cam.stream(queue=args.queue, policy=args.policy) as s:
            start = time.monotonic()
            window_start, window_frames, window_lost = start, 0, 0
            for frame in s.frames(timeout=2.0):
                window_frames += 1
                window_lost += frame.dropped_before
                now = time.monotonic()
                if now - window_start >= 1.0 or now - start >= args.seconds:
                    print(
                        f"frame {frame.number:7d}  {window_frames / (now - window_start):6.1f} frames/s  "
                        f"{window_lost:5d} lost  exposure {frame.exposure_ms:.1f} ms  gain {frame.gain}"
                    )
                    window_start, window_frames, window_lost = now, 0, 0
                if now - start >= args.seconds:
                    break
            stats = s.stats
    print(
        f"delivered {stats.frames_delivered}, lost in the camera's ring {stats.frames_lost_in_ring}, "
        f"dropped by the queue {stats.frames_dropped_by_queue}, {stats.frames_per_second:.1f} frames/s"
    )


if __name__ == "__main__":
    main()
