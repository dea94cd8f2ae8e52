"""Takes one snapshot and writes it as a PNG with OpenCV.

    python snapshot_png.py [OUTPUT.png] [--bits 8|16|24|48]

Colour arrays are in B, G, R order, which is what cv2.imwrite expects; 16-bit
arrays become 16-bit PNGs.
"""

import argparse

import cv2

import veltcam


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default="snapshot.png")
    parser.add_argument("--bits", type=int, default=24, choices=[8, 16, 24, 48])
    parser.add_argument("--exposure-ms", type=float)
    args = parser.parse_args()

    with veltcam.open() as cam:
        cam.color_mode = veltcam.ColorMode(args.bits)
        if args.exposure_ms is not None:
            cam.exposure_ms = args.exposure_ms
        img = cam.snap()
    if not cv2.imwrite(args.output, img):
        raise SystemExit(f"could not write {args.output}")
    print(f"{args.output}: {img.shape[1]} x {img.shape[0]}, {img.dtype}, {args.bits} bits per pixel")


if __name__ == "__main__":
    main()
