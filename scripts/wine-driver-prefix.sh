#!/usr/bin/env bash
# Wine prefixes with the test camera driver installed, for the tests that run the
# SDK's real Win32 driver path (tests/win32/driver).
#
#   scripts/wine-driver-prefix.sh setup <installer.exe> <driver.sys> <driver.inf> [<group>...]
#   scripts/wine-driver-prefix.sh run <group> <program.exe> [args...]
#   scripts/wine-driver-prefix.sh cleanup <group>...
#
# The prefixes are named after ${VELTCAM_WINEPREFIX:-$HOME/.cache/veltcam-wine}
# with "-driver-template" and "-driver-<group>" appended. setup builds the template
# once (a fresh prefix, the driver installed the way a device installer does it),
# then copies it for each group and starts a Wine session there with the driver
# running, so that groups never share a driver; without groups the driver runs in
# the template (group "template"), which programs then share one at a time. run
# runs a program (scripts/wine-run) in a group's prefix. cleanup stops those
# sessions and removes the prefixes.
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

base="${VELTCAM_WINEPREFIX:-$HOME/.cache/veltcam-wine}-driver"

# copy_prefix <from> <to>: hard links for the system files, which nothing writes
# to (a real copy of 700 MB per group costs CI half a minute); real copies of the
# registry and of everything else Wine may rewrite in place.
copy_prefix() {
    local from=$1 to=$2 f
    cp -al "$from" "$to"
    while IFS= read -r -d '' f; do
        cp --remove-destination "$from/${f#"$to"/}" "$f"
    done < <(find "$to" -maxdepth 1 -type f -print0
        find "$to/drive_c/windows" -maxdepth 1 -name '*.ini' -type f -print0)
}

setup() {
    local installer=$1 sys=$2 inf=$3
    shift 3
    local template="$base-template" group
    stop_prefix "$template"
    rm -rf "$template"
    say "building $template"
    SECONDS=0
    VELTCAM_WINEPREFIX="$template" "$session" start </dev/null >/dev/null 2>&1 ||
        die "could not create $template"
    mkdir -p "$template/drive_c/vctest"
    cp "$installer" "$template/drive_c/vctest/install-test-driver.exe"
    cp "$sys" "$inf" "$template/drive_c/vctest/"
    # The install may leave the driver stopped (see above); start_driver fixes that.
    local started=1
    run_installer "$template" 90 install vctestbus.inf || {
        local rc=$?
        ((rc == 2)) || {
            cat "$template/vctest-install.log" >&2
            die "installing the driver failed ($rc)"
        }
        say "installed; the first start failed as it may on this Wine"
        started=0
    }
    if (($# == 0)); then
        # No groups: the programs run in the template itself, one after another.
        if ((started == 0)); then
            stop_prefix "$template"
            start_driver "$template"
        fi
        say "driver running in $template (${SECONDS} s)"
        return 0
    fi
    stop_prefix "$template"
    for group in "$@"; do
        stop_prefix "$base-$group"
        rm -rf "$base-$group"
        copy_prefix "$template" "$base-$group"
        start_driver "$base-$group"
        say "group $group ready in $base-$group (${SECONDS} s)"
    done
}

cleanup() {
    local group
    for group in "$@" template; do
        [[ -n "$group" ]] || continue
        stop_prefix "$base-$group"
        rm -rf "$base-$group" "$base-$group.lock"
    done
}

case "${1:-}" in
    setup)
        (($# >= 4)) || die "usage: $0 setup <installer.exe> <driver.sys> <driver.inf> [<group>...]"
        shift
        setup "$@"
        ;;
    run)
        (($# >= 3)) || die "usage: $0 run <group> <program.exe> [args...]"
        export VELTCAM_WINEPREFIX="$base-$2"
        shift 2
        exec "$here/wine-run" "$@"
        ;;
    cleanup)
        (($# >= 1)) || die "usage: $0 cleanup [<group>...]"
        shift
        cleanup "$@"
        ;;
    *)
        sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//' >&2
        exit 2
        ;;
esac
