#!/usr/bin/env bash
# veltcamsrc through GStreamer's command-line tools, as a user meets it:
#   1. gst-inspect-1.0 finds the element and the plugin is not blacklisted;
#   2. 60 frames recorded as H.264 in Matroska read back by ffprobe (2048 x 1536,
#      60 frames) and accepted by gst-discoverer-1.0.
# Usage: pipelines.sh PATH/libgstveltcam.so (GST_PLUGIN_PATH and GST_REGISTRY
# come from the test's environment). Every command runs under a time limit.
set -euo pipefail

plugin="$1"
work="$(mktemp -d "${TMPDIR:-/tmp}/veltcam-gst-XXXXXX")"
trap 'rm -rf "$work"' EXIT
export VELTCAM_SETTINGS="$work/settings.reg"
export VELTCAM_SIMULATOR="table=gstpipe-$$-$RANDOM;cameras=1"
export G_DEBUG=fatal-criticals

# GStreamer's tools, with the sanitizer runtime preloaded when the plugin is
# instrumented (VELTCAM_GST_PRELOAD; other programs are left alone).
gst() {
    local limit="$1"
    shift
    if [[ -n "${VELTCAM_GST_PRELOAD:-}" ]]; then
        timeout "$limit" env LD_PRELOAD="$VELTCAM_GST_PRELOAD" "$@"
    else
        timeout "$limit" "$@"
    fi
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

gst 60 gst-inspect-1.0 veltcamsrc >"$work/inspect.txt" || fail "gst-inspect-1.0 veltcamsrc"
grep -q "Source/Video/Hardware" "$work/inspect.txt" || fail "element details missing"
if gst 60 gst-inspect-1.0 -b | grep -qF "$(basename "$plugin")"; then
    fail "plugin blacklisted"
fi
echo "inspect: ok"

movie="$work/record.mkv"
gst 120 gst-launch-1.0 -q veltcamsrc num-buffers=60 ! videoconvert \
    ! x264enc speed-preset=ultrafast ! h264parse ! matroskamux ! filesink location="$movie" \
    || fail "recording pipeline"
probe="$(timeout 60 ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$movie")"
[[ "$probe" == "h264,2048,1536,60" ]] || fail "ffprobe read '$probe'"
gst 60 gst-discoverer-1.0 "$movie" >"$work/discover.txt" || fail "gst-discoverer-1.0"
grep -q "H.264" "$work/discover.txt" || fail "discoverer found no H.264 stream"
echo "recording: ok ($probe)"
