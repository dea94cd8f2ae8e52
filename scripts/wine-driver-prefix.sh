#!/usr/bin/env bash
# Wine prefixes with the test camera driver installed, for the tests that run the
# SDK's real Win32 driver path (tests/win32/driver).
#
#   scripts/wine-driver-prefix.sh setup <base> <installer.exe> <driver.sys> <driver.inf> <group>...
#   scripts/wine-driver-prefix.sh cleanup <base> <group>...
#
# setup builds the template prefix <base>-template once (a fresh prefix, the driver
# installed the way a device installer does it), then copies it to <base>-<group>
# for each group and starts a Wine session there with the driver running, so that
# the groups never share a driver. cleanup stops those sessions and removes the
# copies and the template.
#
# Known on this Wine: the driver's first start in a freshly created prefix can fail;
# a restart of the prefix's server fixes it, so every start is retried that way.
# Every wait is bounded.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
session="$here/wine-session.sh"
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
if [[ -x /usr/lib/wine/wine64 ]]; then
    export WINELOADER=/usr/lib/wine/wine64
    wine=/usr/lib/wine/wine64
else
    wine="$(command -v wine64 || command -v wine)"
fi
# The sessions end by themselves this long after their last program, should
# cleanup never run.
export VELTCAM_WINE_PERSIST=600

say() { echo "wine-driver-prefix: $*" >&2; }
die() {
    say "error: $*"
    exit 1
}

# run_installer <prefix> <seconds> <args...>: the installer in that prefix, bounded.
run_installer() {
    local prefix=$1 seconds=$2
    shift 2
    (cd "$prefix/drive_c/vctest" &&
        WINEPREFIX="$prefix" timeout -k 5 "$seconds" "$wine" install-test-driver.exe "$@" \
            </dev/null >>"$prefix/vctest-install.log" 2>&1)
}

# start_driver <prefix>: a session in which the driver's control device opens.
start_driver() {
    local prefix=$1 attempt
    for attempt in 1 2 3; do
        VELTCAM_WINEPREFIX="$prefix" "$session" start </dev/null >/dev/null 2>&1 ||
            die "no Wine session for $prefix"
        if run_installer "$prefix" 40 wait 20; then
            return 0
        fi
        say "driver did not start in $prefix (attempt $attempt); restarting its server"
        VELTCAM_WINEPREFIX="$prefix" "$session" stop </dev/null >/dev/null 2>&1 || true
    done
    cat "$prefix/vctest-install.log" >&2 || true
    die "the test driver does not start in $prefix"
}

stop_prefix() {
    [[ -d "$1" ]] || return 0
    VELTCAM_WINEPREFIX="$1" "$session" stop </dev/null >/dev/null 2>&1 || true
}

setup() {
    local base=$1 installer=$2 sys=$3 inf=$4
    shift 4
    local template="$base-template" group
    [[ "$base" != "$HOME/.wine"* ]] || die "refusing to touch ~/.wine"
    stop_prefix "$template"
    rm -rf "$template"
    say "building $template"
    VELTCAM_WINEPREFIX="$template" "$session" start </dev/null >/dev/null 2>&1 ||
        die "could not create $template"
    mkdir -p "$template/drive_c/vctest"
    cp "$installer" "$template/drive_c/vctest/install-test-driver.exe"
    cp "$sys" "$inf" "$template/drive_c/vctest/"
    # The install may leave the driver stopped (see above); start_driver fixes that.
    run_installer "$template" 90 install vctestbus.inf || {
        local rc=$?
        ((rc == 2)) || {
            cat "$template/vctest-install.log" >&2
            die "installing the driver failed ($rc)"
        }
        say "installed; the first start failed as expected on this Wine"
    }
    stop_prefix "$template"
    start_driver "$template"
    stop_prefix "$template"
    for group in "$@"; do
        stop_prefix "$base-$group"
        rm -rf "$base-$group"
        cp -a --reflink=auto "$template" "$base-$group"
        start_driver "$base-$group"
        say "group $group ready in $base-$group"
    done
}

cleanup() {
    local base=$1 group
    shift
    for group in "$@"; do
        stop_prefix "$base-$group"
        rm -rf "$base-$group"
    done
    stop_prefix "$base-template"
    rm -rf "$base-template"
}

case "${1:-}" in
    setup)
        (($# >= 6)) || die "usage: $0 setup <base> <installer.exe> <driver.sys> <driver.inf> <group>..."
        shift
        setup "$@"
        ;;
    cleanup)
        (($# >= 2)) || die "usage: $0 cleanup <base> <group>..."
        shift
        cleanup "$@"
        ;;
    *)
        sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//' >&2
        exit 2
        ;;
esac
