"""Streams for a while and saves every frame in one .npy stack, with the
frame numbers and timestamps beside it.

    python stream_to_npy.py [OUTPUT.npy] [--seconds 10] [--bits 8|16|24|48]

The stack is (N, H, W) or (N, H, W, C); OUTPUT.meta.npy holds one row per frame:
frame number, timestamp in ns, frames lost before it. The frames are collected
in memory first: mind the size (a full 24-bit frame is 9 MiB).
"""

import argparse

import numpy as np

import veltcam


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default="stream.npy")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--bits", type=int, default=8, choices=[8, 16, 24, 48])
    parser.add_argument("--roi", type=lambda text: tuple(int(v) for v in text.split(",")),
                        help="x,y,width,height")
    args = parser.parse_args()

    arrays, meta = [], []
    with veltcam.open() as cam:
        cam.color_mode = veltcam.ColorMode(args.bits)
        if args.roi:
            cam.roi = args.roi
        with cam.stream(queue=16) as s:
            first = None
            for frame in s.frames(timeout=2.0):
                first = frame.timestamp_ns if first is None else first
                arrays.append(frame.array)
                meta.append((frame.number, frame.timestamp_ns, frame.dropped_before))
                if frame.timestamp_ns - first >= args.seconds * 1e9:
                    break
    stack = np.stack(arrays)
    np.save(args.output, stack)
    meta_path = args.output[:-4] + ".meta.npy" if args.output.endswith(".npy") else args.output + ".meta.npy"
    np.save(meta_path, np.array(meta, dtype=np.uint64))
    lost = sum(m[2] for m in meta[1:])
    print(f"{args.output}: {stack.shape} {stack.dtype}, {lost} frames lost in between; {meta_path}")


if __name__ == "__main__":
    main()
