#!/usr/bin/env bash
# Installs what is missing, checks the layer order of the includes
# (scripts/check-layers.sh), builds both targets and runs every test:
#   1. Linux, AddressSanitizer + UndefinedBehaviorSanitizer: the whole suite
#   2. Linux, ThreadSanitizer: the tests labelled `threading`
#   3. Windows DLL (mingw-w64 cross build): the whole suite under Wine, with
#      the SDK archive and its import library built and consumed
#   4. Linux release build (`linux` preset, only what is shipped): the tests
#      labelled `release`, which use the library the way users load it (the
#      installed tree and the .deb among them)
#   5. the fuzz targets, a short run each on their seed corpus (clang)
# Ends with one summary line per suite and a non-zero exit if any failed.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-packages.sh all
VELTCAM_WIN_DEPS="$(scripts/build-windows-deps.sh | tail -n 1)"
export VELTCAM_WIN_DEPS
# Every optional suite (GStreamer, Python, ...) must be built and run here: a
# missing package stops the configuration instead of dropping the suite.
export VELTCAM_REQUIRE_ALL=1

start=$SECONDS
status=0
summary=()

# The tests ctest saw fail in a build tree, on one line (CI keeps only the end
# of the output, so the summary names them).
failed_tests() {
    local log="build/$1/Testing/Temporary/LastTestsFailed.log"
    if [[ -s "$log" ]]; then
        echo " - failed: $(cut -d: -f2 "$log" | tr '\n' ' ')"
    fi
}

# run_suite <name> <build tree or -> <command...>
run_suite() {
    local name="$1" tree="$2"
    shift 2
    local t0=$SECONDS
    [[ "$tree" == - ]] || rm -f "build/$tree/Testing/Temporary/LastTestsFailed.log"
    if "$@"; then
        summary+=("$name: passed ($((SECONDS - t0)) s)")
    else
        local which=""
        [[ "$tree" == - ]] || which="$(failed_tests "$tree")"
        summary+=("$name: FAILED ($((SECONDS - t0)) s)$which")
        status=1
    fi
}

linux_suite() {
    local preset="$1"
    shift
    cmake --preset "$preset" >/dev/null &&
        cmake --build --preset "$preset" &&
        ctest --preset "$preset" "$@"
}

linux_release_suite() {
    cmake --preset linux >/dev/null &&
        cmake --build --preset linux --target release-artifacts &&
        ctest --preset linux -L release
}

windows_suite() {
    scripts/wine-session.sh start
    local rc=0
    { cmake --preset windows >/dev/null &&
        cmake --build --preset windows &&
        ctest --preset windows; } || rc=$?
    scripts/wine-session.sh stop || true
    return $rc
}

run_suite "layering" - scripts/check-layers.sh
run_suite "linux-asan" linux-asan linux_suite linux-asan
run_suite "linux-tsan" linux-tsan linux_suite linux-tsan -L threading
run_suite "windows (Wine)" windows windows_suite
run_suite "linux (release)" linux linux_release_suite
run_suite "fuzz (short runs)" - scripts/fuzz.sh 20

echo
printf '%s\n' "${summary[@]}"
echo "total: $((SECONDS - start)) s"
exit $status
