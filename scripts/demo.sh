#!/usr/bin/env bash
# Installs what is missing, builds the Linux target and runs the veltcam tool
# against the built-in camera simulator.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-packages.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux --target veltcam
export VELTCAM_SIMULATOR="${VELTCAM_SIMULATOR:-1}"
build/linux/bin/veltcam "$@"
