"""Frames per second of the Python frames() loop against the C pull loop.

Both pull full 2048 x 1536 24-bit frames from a simulated camera that delivers
as fast as frames are read (fps=max, bulk reads completed inline), through a
frame queue of 4 with no pause in the display loop. The C side is the
benchmark BM_PullStream24 of bench_capture (build it with the linux preset);
the rounds alternate between the two so that both see the same machine load.

    /usr/bin/python3 python/bench/frames_vs_pull.py \
        [--bench-capture build/linux/bin/bench_capture] [--library build/linux/bin/libveltcamsdk.so] \
        [--seconds 3] [--rounds 5]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def c_pull(bench_capture: str) -> float:
    """Frames per second of BM_PullStream24 (it runs at least 3 s), from its JSON report."""
    done = subprocess.run(
        [
            bench_capture,
            "--benchmark_filter=^BM_PullStream24/",
            "--benchmark_format=json",
        ],
        check=True,
        capture_output=True,
        text=True,
    )
    report = json.loads(done.stdout)
    (run,) = [b for b in report["benchmarks"] if b["name"].startswith("BM_PullStream24")]
    if run.get("error_occurred"):
        raise SystemExit(f"BM_PullStream24: {run.get('error_message')}")
    return float(run["items_per_second"])


def python_frames(seconds: float) -> float:
    """Frames per second of the frames() loop under the same conditions."""
    import veltcam

    os.environ["VELTCAM_SIMULATOR"] = f"cameras=1;fps=max;complete=inline;table=vc-py-bench-{os.getpid()}"
    with veltcam.open() as cam:
        cam.color_mode = veltcam.ColorMode.BGR24
        cam.roi = (0, 0, 2048, 1536)
        cam.wait_time_ms = 0
        with cam.stream(queue=4, policy="fifo") as s:
            frames = s.frames(timeout=5.0)
            for _ in range(5):  # warm-up: buffers allocated, stream running
                next(frames)
            count = 0
            start = time.perf_counter()
            for frame in frames:
                count += 1
                if time.perf_counter() - start >= seconds:
                    break
            elapsed = time.perf_counter() - start
    return count / elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench-capture", default=os.path.join(ROOT, "build/linux/bin/bench_capture"))
    parser.add_argument("--library", default=os.path.join(ROOT, "build/linux/bin/libveltcamsdk.so"))
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    sys.path.insert(0, os.path.join(ROOT, "python", "src"))
    os.environ["VELTCAM_LIBRARY"] = args.library
    settings = tempfile.mkdtemp(prefix="veltcam-bench-")
    os.environ["VELTCAM_SETTINGS"] = os.path.join(settings, "settings.reg")

    c_rates, py_rates = [], []
    try:
        for n in range(args.rounds):
            c_rates.append(c_pull(args.bench_capture))
            py_rates.append(python_frames(args.seconds))
            print(
                f"round {n + 1}: C pull {c_rates[-1]:7.1f} frames/s   Python frames() {py_rates[-1]:7.1f} "
                f"frames/s   ratio {py_rates[-1] / c_rates[-1]:.2f}"
            )
    finally:
        shutil.rmtree(settings, ignore_errors=True)
    c_rate, py_rate = statistics.median(c_rates), statistics.median(py_rates)
    print(f"median:  C pull {c_rate:7.1f} frames/s   Python frames() {py_rate:7.1f} frames/s")
    # Each round's two runs saw much the same load: the ratio within a round is
    # the steadier figure on a shared machine.
    ratios = [p / c for p, c in zip(py_rates, c_rates)]
    print(f"ratio Python / C: median of rounds {statistics.median(ratios):.2f} "
          f"(range {min(ratios):.2f} to {max(ratios):.2f}), of medians {py_rate / c_rate:.2f}")
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"load average at the end: {load:.1f} on {os.cpu_count()} CPUs")


if __name__ == "__main__":
    main()
