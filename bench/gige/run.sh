#!/bin/sh
# The network camera's figures, all inside a private network namespace with only
# loopback up (root):
#  1. bench_gige: the server's CPU per full frame against one memcpy of it;
#  2. frames/s an Aravis client (arv-camera-test-0.8, root: packet socket)
#     receives at full frame, 8 and 16 bits, packet size 9000, with the
#     simulator at the sensor's rate and as fast as it can, failed buffers,
#     resends, and the server's CPU seconds per frame sent.
# Usage: bench/gige/run.sh BUILD_DIR [SECONDS]
set -u
if [ "${VC_GIGE_NETNS:-}" != 1 ]; then
    exec env VC_GIGE_NETNS=1 unshare --net sh "$0" "$@"
fi
ip link set lo up
BIN=$(realpath "$1/bin")
SECONDS_=${2:-5}
WORK=$(mktemp -d)
export VELTCAM_SETTINGS="$WORK/settings.reg"
unset VELTCAM_SIMULATOR

[ -n "${VC_SKIP_MICRO:-}" ] || "$BIN/bench_gige" --benchmark_counters_tabular=true

ticks=$(getconf CLK_TCK)
echo
echo "timing  format  frames  frames/s  failed  resends  server CPU ms/frame"
for timing in sensor max; do
    for format in Mono8 Mono16; do
        "$BIN/veltcam" "--simulate=table=vcgigebench-$$;fps=$timing" serve --address 127.0.0.2 \
            >"$WORK/server.log" 2>&1 &
        server=$!
        for _ in $(seq 50); do
            arv-tool-0.8 -a 127.0.0.2 control DeviceSerialNumber >/dev/null 2>&1 && break
            sleep 0.2
        done
        start=$(awk '{print $14 + $15}' "/proc/$server/stat")
        # -f 1000: no frame-rate limit from the client; the camera's timing decides.
        arv-camera-test-0.8 -n 127.0.0.2 --duration="$SECONDS_" -i 9000 -w 2048 -h 1536 \
            "--features=PixelFormat=$format" >"$WORK/client.out" 2>&1
        end=$(awk '{print $14 + $15}' "/proc/$server/stat")
        kill -INT $server
        wait $server
        frames=$(sed -n 's/^n_completed_buffers *= *//p' "$WORK/client.out")
        failed=$(sed -n 's/^n_failures *= *//p' "$WORK/client.out")
        resends=$(sed -n 's/^n_resend_requests *= *//p' "$WORK/client.out")
        # CPU per frame the client received (completed or failed): the server's
        # whole cost, frame thread, control thread and sends.
        awk -v t="$timing" -v f="$format" -v n="${frames:-0}" -v s="$SECONDS_" -v e="${failed:-0}" \
            -v r="${resends:-?}" -v c="$((end - start))" -v k="$ticks" \
            'BEGIN { per = (n + e > 0) ? c * 1000.0 / k / (n + e) : 0;
                     printf "%-7s %-7s %6d  %8.1f  %6s  %7s  %8.2f\n", t, f, n, n / s, e, r, per }'
    done
done
rm -rf "$WORK"
