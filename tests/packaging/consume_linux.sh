#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the C samples against
# the installed tree the two ways a Linux project does: with the flags of
# `pkg-config --cflags --libs veltcamsdk`, and as a CMake project with
# find_package(VeltCamSdk) after the prefix was moved elsewhere (the package
# must be relocatable). Each way runs the samples on the camera simulator.
#
#   consume_linux.sh BUILD_DIR SAMPLES_DIR VERSION WORK_DIR
set -euo pipefail
build="$1" samples="$2" version="$3" work="$4"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
export VELTCAM_SIMULATOR=1
export VELTCAM_SETTINGS="$work/settings.reg"

# Runs a sample; its output goes to the test log.
run() {
    echo "+ ${*#"$work"/}"
    "$@" || fail "$(basename "$1") exited with $?"
}

# A snapshot file as the snapshot sample writes it: a whole 24-bit frame.
check_bmp() {
    local size
    [[ "$(head -c 2 "$1")" == BM ]] || fail "$1 is not a BMP file"
    size=$(stat -c %s "$1")
    ((size >= 2048 * 1536 * 3)) || fail "$1 holds $size bytes, less than a 2048 x 1536 frame"
}

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
    fail "cmake --install failed: $(cat "$work/install.log")"

pc="$(find "$prefix" -name veltcamsdk.pc)"
[[ -n "$pc" ]] || fail "no veltcamsdk.pc installed"
libdir="$(dirname "$(dirname "$pc")")"

# The library carries its SONAME; the development link points at it.
lib="$(readlink -f "$libdir/libveltcamsdk.so")"
soname="$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')"
[[ "$soname" == libveltcamsdk.so.2 ]] || fail "SONAME is '$soname', expected libveltcamsdk.so.2"
[[ "$(readlink -f "$libdir/$soname")" == "$lib" ]] || fail "$soname does not lead to $lib"

# --- pkg-config ------------------------------------------------------------
export PKG_CONFIG_PATH="$(dirname "$pc")"
flags="$(pkg-config --cflags --libs veltcamsdk)"
[[ "$flags" == *"-I$prefix/include"* && "$flags" == *"-L$libdir"* ]] ||
    fail "pkg-config flags do not point into the prefix: $flags"
# The version pkg-config reports is the project's, not merely the file's own line.
[[ "$(pkg-config --modversion veltcamsdk)" == "$version" ]] ||
    fail "pkg-config reports version $(pkg-config --modversion veltcamsdk), the project is $version"
mkdir -p "$work/pc"
for sample in list_cameras snapshot callback_preview pull_frames; do
    # shellcheck disable=SC2086  # the flags are words
    cc -std=c99 -Wall -Wextra -pedantic -Werror "$samples/$sample.c" $flags \
        -o "$work/pc/$sample" || fail "$sample does not build with the pkg-config flags"
done
needed="$(objdump -p "$work/pc/snapshot" | awk '$1 == "NEEDED" && $2 ~ /veltcam/ { print $2 }')"
[[ "$needed" == libveltcamsdk.so.2 ]] || fail "a client needs '$needed', not the SONAME"
LD_LIBRARY_PATH="$libdir" run "$work/pc/list_cameras" | tee "$work/list.txt"
grep -q "VeltCamM40-USB3-R7_01" "$work/list.txt" || fail "list_cameras did not list the simulated camera"
LD_LIBRARY_PATH="$libdir" run "$work/pc/snapshot" "$work/pc-snapshot.bmp"
check_bmp "$work/pc-snapshot.bmp"

# --- CMake package, from a moved prefix --------------------------------------
moved="$work/moved"
mv "$prefix" "$moved"
cmake -S "$samples" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$moved" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" -DCMAKE_BUILD_TYPE=Release >"$work/cmake.log" 2>&1 ||
    fail "the samples project does not configure: $(cat "$work/cmake.log")"
grep -q "$moved" "$work/cmake/CMakeCache.txt" || fail "find_package did not take the moved prefix"
cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 ||
    fail "the samples project does not build: $(cat "$work/cmake.log")"
# CMake links its programs with a run path to the imported library.
run "$work/cmake/snapshot" "$work/cmake-snapshot.bmp"
check_bmp "$work/cmake-snapshot.bmp"
# The last line carries a measured rate, never a placeholder 0.
run "$work/cmake/callback_preview" 10 | tee "$work/callback.txt"
grep '^frame ' "$work/callback.txt" | tail -n 1 | grep -Eq '^frame [0-9]+: .*, [1-9][0-9.]* frames/s$' ||
    fail "callback_preview ended without a measured frame rate"
run "$work/cmake/pull_frames" 20
echo "installed tree consumed through pkg-config and find_package"
