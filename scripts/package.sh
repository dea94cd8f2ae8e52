#!/usr/bin/env bash
# Builds the two SDK packages from this checkout and puts them in one folder:
#
#   veltcamsdk_<version>_<arch>.deb   Linux: library, headers, pkg-config file,
#                                     CMake package, the veltcam tool, udev rule
#   VeltCamSdk-<version>-win64.zip    Windows SDK folder: bin/ include/ lib/
#                                     samples/ doc/
#
#   scripts/package.sh [OUT]          OUT defaults to ./dist
#
# Installs what is missing, builds the static Windows libraries once (cached),
# then for each of the presets `linux` and `windows` builds only what ships
# (the target release-artifacts) and packs it with CPack. Works in a fresh
# clone; an existing build tree of those presets is reused.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

out="$(realpath -m "${1:-dist}")"
scripts/install-packages.sh all
VELTCAM_WIN_DEPS="$(scripts/build-windows-deps.sh | tail -n 1)"
export VELTCAM_WIN_DEPS

mkdir -p "$out"
for preset in linux windows; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target release-artifacts
    (cd "build/$preset" && cpack -B "$out")
done
rm -rf "$out/_CPack_Packages"

echo
echo "== packages in $out"
for f in "$out"/*.deb "$out"/*.zip; do
    [[ -e "$f" ]] || continue
    ls -l "$f"
done
