#!/usr/bin/env bash
# Builds the SDK's packages from this checkout and puts them in one folder:
#
#   libveltcamsdk2_<version>_<arch>.deb        the library and its udev rule
#   libveltcamsdk-dev_<version>_<arch>.deb     headers, .so link, pkg-config file,
#                                              CMake package, C samples
#   veltcam_<version>_<arch>.deb               the tool and its manual page
#   gstreamer1.0-veltcam_<version>_<arch>.deb  the veltcamsrc element
#   python3-veltcam_<version>_all.deb          the Python package
#   VeltCamSdk-<version>-win64.zip             Windows SDK folder: bin/ include/
#                                              lib/ samples/ python/ doc/
#
#   scripts/package.sh [OUT]          OUT defaults to ./dist
#
# Installs what is missing, builds the static Windows libraries once (cached),
# then for each of the presets `linux` and `windows` builds only what ships
# (the target release-artifacts) and packs it with CPack; lintian checks the
# Debian packages (an error fails the script). Works in a fresh clone; an
# existing build tree of those presets is reused.
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
echo "== lintian"
lintian --tag-display-limit 0 "$out"/*.deb 2>&1 | tee "$out/lintian.txt" | grep -v 'root privileges' || true
if grep -q '^E: ' "$out/lintian.txt"; then
    echo "package.sh: lintian reports errors (above)" >&2
    exit 1
fi

echo
echo "== packages in $out"
for f in "$out"/*.deb "$out"/*.zip; do
    [[ -e "$f" ]] || continue
    ls -l "$f"
done
