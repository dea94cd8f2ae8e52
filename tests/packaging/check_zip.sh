#!/usr/bin/env bash
# Builds the Windows SDK archive from the build tree and checks it: the
# documented layout, the DLL's export and import tables (system DLLs only),
# the tool's imports, the licence texts; then builds the C samples from the
# unpacked archive with the mingw-w64 compiler linking the archive's Visual C++
# .lib, puts the archive's DLL next to them as a user would, and runs them
# under Wine on the camera simulator.
#
#   check_zip.sh BUILD_DIR VERSION MINGW_CC OBJDUMP TESTS_SUPPORT_DIR WINE_RUN WORK_DIR
set -euo pipefail
build="$1" version="$2" cc="$3" objdump="$4" support="$5" wine_run="$6" work="$7"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
(cd "$build" && cpack -G ZIP -B "$work/packages") >"$work/cpack.log" 2>&1 ||
    fail "cpack failed: $(cat "$work/cpack.log")"
name="VeltCamSdk-$version-win64"
zip="$work/packages/$name.zip"
[[ -f "$zip" ]] || fail "no $name.zip in $work/packages"
(cd "$work" && cmake -E tar xf "$zip")
sdk="$work/$name"
dll=VeltCamSdk_M40_USB3_R7.dll

expected=(
    "bin/$dll" bin/veltcam.exe
    include/VeltCamSdk.h include/VeltCamSdkEx.h
    lib/VeltCamSdk_M40_USB3_R7.lib lib/VeltCamSdk_M40_USB3_R7.def lib/libVeltCamSdk_M40_USB3_R7.dll.a
    lib/cmake/VeltCamSdk/VeltCamSdkConfig.cmake
    samples/CMakeLists.txt samples/list_cameras.c samples/snapshot.c
    samples/callback_preview.c samples/pull_frames.c
    doc/README.md
    doc/licenses/libjpeg-turbo/LICENSE.md doc/licenses/libpng/copyright
    doc/licenses/libtiff/copyright doc/licenses/zlib/copyright
    doc/licenses/highway/copyright doc/licenses/highway/Apache-2.0
    doc/licenses/mingw-w64-runtime/copyright
)
for f in "${expected[@]}"; do
    [[ -f "$sdk/$f" ]] || fail "$f is not in the archive"
done
[[ ! -e "$sdk/include/VeltCamSdkLinux.h" ]] || fail "the Linux header is in the Windows archive"
extra="$(cd "$sdk" && ls | grep -v -x -e bin -e include -e lib -e samples -e doc -e python || true)"
[[ -z "$extra" ]] || fail "unexpected top-level entries: $extra"
# python/ is what pip installs, nothing of the repository around it.
[[ -f "$sdk/python/pyproject.toml" && -f "$sdk/python/src/veltcam/__init__.py" ]] ||
    fail "the archive's python/ lacks the package"
stray="$(cd "$sdk/python" && find . -mindepth 1 -not -path ./pyproject.toml -not -path ./src \
    -not -path ./src/veltcam -not -path './src/veltcam/*' -o -name __pycache__)"
[[ -z "$stray" ]] || fail "python/ holds more than the package: $stray"
# The shipped .def lists the names the DLL exports, without the build's aliases.
if grep -q '=' "$sdk/lib/VeltCamSdk_M40_USB3_R7.def"; then
    fail "the shipped .def maps names onto others"
fi

# The DLL: the catalogue's exports, Windows system DLLs only.
cmake -DLIBRARY="$sdk/bin/$dll" -DDUMP_TOOL="$objdump" -DWINDOWS=ON -DCOMPLETE=ON \
    -DCATALOGUE="$support/export_catalogue.txt" -DEXTENSION_CATALOGUE="$support/export_catalogue_ex.txt" \
    -P "$support/CheckLibraryTables.cmake" >"$work/tables.log" 2>&1 ||
    fail "the archive's DLL: $(cat "$work/tables.log")"
# The tool: those, Windows sockets (`veltcam serve`) and the SDK DLL.
for imported in $("$objdump" -p "$sdk/bin/veltcam.exe" | sed -n 's/^.*DLL Name: //p'); do
    case "${imported^^}" in
    KERNEL32.DLL | MSVCRT.DLL | USER32.DLL | GDI32.DLL | ADVAPI32.DLL | SHELL32.DLL | WS2_32.DLL | "${dll^^}") ;;
    *) fail "veltcam.exe imports $imported" ;;
    esac
done

# The samples, built against the unpacked archive only.
mkdir -p "$work/app"
cp "$sdk/bin/$dll" "$work/app/"
for sample in list_cameras snapshot callback_preview pull_frames; do
    "$cc" -std=c99 -Wall -Wextra -Werror -I"$sdk/include" "$sdk/samples/$sample.c" \
        "$sdk/lib/VeltCamSdk_M40_USB3_R7.lib" -static -o "$work/app/$sample.exe" ||
        fail "$sample does not build against the archive's .lib"
done
export VELTCAM_SIMULATOR=1
export VELTCAM_SETTINGS_ROOT='Software\VeltCamTests\packaging'
run() {
    echo "+ $(basename "$1") ${*:2}"
    "$wine_run" "$@" || fail "$(basename "$1") exited with $?"
}
run "$work/app/list_cameras.exe" | tee "$work/list.txt"
grep -q "VeltCamM40-USB3-R7_01" "$work/list.txt" || fail "list_cameras did not list the simulated camera"
run "$work/app/snapshot.exe" "$work/app/snapshot.bmp"
[[ "$(head -c 2 "$work/app/snapshot.bmp")" == BM ]] || fail "no BMP written"
size=$(stat -c %s "$work/app/snapshot.bmp")
((size >= 2048 * 1536 * 3)) || fail "the snapshot holds $size bytes"
run "$work/app/pull_frames.exe" 20
run "$work/app/callback_preview.exe" 10

# The way the README tells mingw-w64 users: the samples' own CMake project finds
# the unpacked archive with find_package and links its .dll.a.
cmake -S "$sdk/samples" -B "$work/cmake-samples" -G Ninja -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$sdk" -DCMAKE_EXE_LINKER_FLAGS=-static \
    >"$work/cmake-samples.log" 2>&1 ||
    fail "find_package(VeltCamSdk) on the archive: $(tail -n 20 "$work/cmake-samples.log")"
cmake --build "$work/cmake-samples" >>"$work/cmake-samples.log" 2>&1 ||
    fail "the samples' CMake project does not build: $(tail -n 20 "$work/cmake-samples.log")"
grep -q "libVeltCamSdk_M40_USB3_R7.dll.a" "$work/cmake-samples/build.ninja" ||
    fail "the samples' CMake project did not link the archive's .dll.a"
cp "$sdk/bin/$dll" "$work/cmake-samples/"
run "$work/cmake-samples/list_cameras.exe" | tee "$work/list-cmake.txt"
grep -q "VeltCamM40-USB3-R7_01" "$work/list-cmake.txt" ||
    fail "list_cameras built through CMake did not list the simulated camera"
echo "$name.zip: layout, tables and samples checked"
