#!/usr/bin/env bash
# The main job on the built-in camera simulator: installs what is missing,
# builds the `veltcam` tool (preset `linux`) and runs it.
#
#   scripts/demo.sh                 the demonstration: list, info, snapshots in
#                                   PNG, TIFF and JPEG, a short recording and a
#                                   stream summary, files in one output folder
#                                   (VELTCAM_DEMO_OUT, default ./veltcam-demo)
#   scripts/demo.sh COMMAND ...     runs `veltcam COMMAND ...` on the simulator
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-packages.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux --target veltcam
# The tool runs on the simulator only when asked for: the demonstration asks.
export VELTCAM_SIMULATOR="${VELTCAM_SIMULATOR:-1}"
veltcam=build/linux/bin/veltcam

if (($# > 0)); then
    exec "$veltcam" "$@"
fi

out="$(realpath -m "${VELTCAM_DEMO_OUT:-veltcam-demo}")"
mkdir -p "$out"
# The demonstration keeps its settings next to its files, not in the user's.
export VELTCAM_SETTINGS="${VELTCAM_SETTINGS:-$out/settings.reg}"

done_steps=()
failed_steps=()

# Runs one step and files it under done or failed.
step() {
    local title="$1"
    shift
    echo
    echo "== $title: veltcam $*"
    local rc=0
    "$veltcam" "$@" || rc=$?
    if ((rc == 0)); then
        done_steps+=("$title")
    else
        failed_steps+=("$title (exit $rc)")
    fi
}

step "list cameras" list
step "camera info" info
step "snapshot PNG" snap -o "$out/snapshot.png" --bits 24
step "snapshot TIFF" snap -o "$out/snapshot.tiff" --bits 48
step "snapshot JPEG" snap -o "$out/snapshot.jpg" --bits 24 --format jpeg70
step "recording" record -o "$out/recording.avi" --duration 2s --half
step "stream" stream --seconds 3 --bits 24

echo
echo "== files in $out"
shopt -s nullglob
files=("$out"/snapshot.* "$out"/recording.avi)
for f in "${files[@]}"; do
    if command -v identify >/dev/null && [[ "$f" != *.avi ]]; then
        identify "$f" || true
    elif command -v ffprobe >/dev/null && [[ "$f" == *.avi ]]; then
        ffprobe -v error -show_entries stream=codec_name,width,height,nb_frames \
            -of compact "$f" || true
    else
        ls -l "$f"
    fi
done
((${#files[@]})) || echo "(no image or movie files were written)"

echo
echo "== summary"
for s in "${done_steps[@]}"; do echo "done:    $s"; done
for s in "${failed_steps[@]}"; do echo "FAILED:  $s"; done
echo "output folder: $out"
((${#failed_steps[@]} == 0))
