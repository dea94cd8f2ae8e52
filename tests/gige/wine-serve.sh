#!/bin/sh
# The Windows program's `veltcam serve` under Wine, opened from Linux by
# Debian's Aravis: the device by its address, its identity, a feature, and a
# few frames. Usage: wine-serve.sh VELTCAM_EXE WORK_DIR
#
# Everything runs in private network and mount namespaces with only loopback
# up. The wineserver creates a program's sockets, so it must start inside the
# network namespace: the script gives the Windows suite's prefix a
# copy-on-write view (a wineserver of its own, nothing written back) and
# starts Wine directly, leaving the suite's session and display alone.
# Exit 77 (skipped) without root, Aravis' tools or the suite's Wine prefix.
set -u
if [ "${VC_GIGE_NETNS:-}" != 1 ]; then
    if [ "$(id -u)" != 0 ]; then echo "skipped: needs root for namespaces"; exit 77; fi
    for tool in arv-tool-0.8 arv-camera-test-0.8 unshare ip; do
        command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool missing"; exit 77; }
    done
    prefix=${VELTCAM_WINEPREFIX:-$HOME/.cache/veltcam-wine}
    if [ ! -f "$prefix/system.reg" ]; then
        echo "skipped: no Wine prefix at $prefix (scripts/wine-session.sh start makes one)"
        exit 77
    fi
    exec env VC_GIGE_NETNS=1 VC_PREFIX="$(realpath "$prefix")" unshare --net --mount sh "$0" "$@"
fi
ip link set lo up
EXE=$(realpath "$1")
WORK=$(realpath -m "$2")
rm -rf "$WORK"
mkdir -p "$WORK/upper" "$WORK/scratch"
cd "$WORK" || exit 1
if ! mount -t overlay overlay \
    -o "lowerdir=$VC_PREFIX,upperdir=$WORK/upper,workdir=$WORK/scratch" "$VC_PREFIX"; then
    echo "FAIL: no copy-on-write view of the Wine prefix"
    exit 1
fi

export WINEPREFIX="$VC_PREFIX" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WINESERVER VELTCAM_SIMULATOR
if [ -x /usr/lib/wine/wine64 ]; then WINE=/usr/lib/wine/wine64; else WINE=$(command -v wine64 || command -v wine); fi
export WINELOADER="$WINE"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

# The server ends by itself if the script dies; the wineserver goes with it.
"$WINE" "$EXE" --simulate serve --address 127.0.0.2 --seconds 90 >server.log 2>&1 &
SERVER=$!
answered=no
for _ in $(seq 200); do
    if arv-tool-0.8 -a 127.0.0.2 control DeviceSerialNumber Width >identity.out 2>&1; then
        answered=yes
        break
    fi
    kill -0 "$SERVER" 2>/dev/null || break
    sleep 0.25
done
if [ "$answered" = yes ]; then
    grep -q "DeviceSerialNumber = VCSIM0000" identity.out && grep -q "Width = 2048" identity.out &&
        ok "identity: $(tr '\n' ' ' <identity.out)" || fail "identity: $(cat identity.out)"
    # Wine binds a socket asked for one address to every address of its
    # interface, so stream packets leave from loopback's first address; a
    # packet-socket receiver, which filters on the device's address, would
    # drop them. A plain socket receives them.
    timeout 30 arv-camera-test-0.8 -n 127.0.0.2 --duration=3 -w 640 -h 480 --no-packet-socket \
        --features=PixelFormat=Mono8 >frames.out 2>&1
    frames=$(sed -n 's/^n_completed_buffers *= *//p' frames.out)
    [ "${frames:-0}" -ge 5 ] && ok "$frames frames of 640 x 480" ||
        fail "frames: ${frames:-none}; $(tail -n 5 frames.out)"
else
    fail "the server under Wine did not answer: $(tail -n 5 server.log)"
fi

kill "$SERVER" 2>/dev/null
WINESERVER_BIN=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
"$WINESERVER_BIN" -k 2>/dev/null
wait "$SERVER" 2>/dev/null
if [ "$failures" -ne 0 ]; then
    echo "server log:"
    tail -n 20 server.log
    exit 1
fi
echo "all checks passed"
