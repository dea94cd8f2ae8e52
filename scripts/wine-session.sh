#!/usr/bin/env bash
# Starts or stops the Wine session the Windows tests run in.
#
#   scripts/wine-session.sh start    prefix, persistent wineserver, Xvfb
#   scripts/wine-session.sh stop     wineserver -k, stop our Xvfb
#   scripts/wine-session.sh status   exit 0 if the wineserver is running
#
# start is idempotent. It creates the prefix ${VELTCAM_WINEPREFIX:-$HOME/.cache/veltcam-wine}
# if missing (never ~/.wine), turns off Wine's crash dialog (under Xvfb nobody
# can close it and a crashing test would hang), keeps one wineserver running
# so that a test launch costs about 0.1 s instead of seconds, and starts an
# Xvfb on a free display for the GUI tests. scripts/wine-run picks up that
# display from the prefix.
#
# Every Wine process started here has its standard streams detached: Wine's
# long-lived helpers (services, explorer, winedevice) inherit them, and a
# helper holding ctest's output pipe keeps ctest from ever finishing.
#
# VELTCAM_WINE_PERSIST=<seconds> makes the server exit by itself that long
# after its last client instead of running until `stop`; scripts/wine-run uses
# it when it has to start a session on its own.
set -euo pipefail

export WINEPREFIX="${VELTCAM_WINEPREFIX:-$HOME/.cache/veltcam-wine}"
export WINEDEBUG=-all
export WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINESERVER

say() { echo "wine-session: $*" >&2; }
die() {
    say "error: $*"
    exit 1
}

[[ "$WINEPREFIX" != "$HOME/.wine" ]] || die "refusing to use ~/.wine as the test prefix"

# Bump when the registry settings below change, so existing prefixes get them.
settings_version=3
settings_stamp="$WINEPREFIX/veltcam-settings"
xvfb_pid_file="$WINEPREFIX/veltcam-xvfb.pid"
xvfb_display_file="$WINEPREFIX/veltcam-xvfb.display"

# The 64-bit loader. Debian's `wine` wrapper looks for a 32-bit wine first
# and nags when it is missing; the wine64 package's loader runs 64-bit
# programs directly.
wine_loader() {
    if [[ -x /usr/lib/wine/wine64 ]]; then
        echo /usr/lib/wine/wine64
    elif command -v wine64 >/dev/null 2>&1; then
        command -v wine64
    elif command -v wine >/dev/null 2>&1; then
        command -v wine
    else
        die "wine not found; run scripts/install-packages.sh"
    fi
}

# A wineserver works in its server directory, named after the device and
# inode of the prefix (server-<dev>-<inode>, in /tmp/.wine-<uid> upstream,
# in a randomly named /tmp directory on Debian): look for a wineserver
# process sitting in such a directory.
server_running() {
    [[ -d "$WINEPREFIX" ]] || return 1
    local dev ino suffix p comm
    read -r dev ino < <(stat -c '%D %i' "$WINEPREFIX")
    suffix="$(printf '/server-%x-%x' "0x$dev" "$ino")"
    for p in /proc/[0-9]*; do
        comm="$(cat "$p/comm" 2>/dev/null)" || continue
        [[ "$comm" == wineserver* ]] || continue
        [[ "$(readlink "$p/cwd" 2>/dev/null)" == *"$suffix" ]] || continue
        # A killed server can linger as a zombie until it is reaped.
        [[ "$(awk '{ print $3 }' "$p/stat" 2>/dev/null)" != Z ]] && return 0
    done
    return 1
}

xvfb_running() {
    local pid
    [[ -f "$xvfb_pid_file" ]] || return 1
    pid="$(cat "$xvfb_pid_file")"
    [[ "$pid" =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null &&
        tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q Xvfb
}

start_xvfb() {
    command -v Xvfb >/dev/null 2>&1 || {
        say "Xvfb not installed; GUI tests will have no display"
        return 0
    }
    xvfb_running && return 0
    local n pid
    for ((n = ${VELTCAM_XVFB_DISPLAY:-93}; n < 160; n++)); do
        [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
        setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp \
            </dev/null >/dev/null 2>&1 &
        pid=$!
        for _ in $(seq 50); do
            [[ -S /tmp/.X11-unix/X$n ]] && break
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if [[ -S /tmp/.X11-unix/X$n ]] && kill -0 "$pid" 2>/dev/null; then
            echo "$pid" >"$xvfb_pid_file"
            echo ":$n" >"$xvfb_display_file"
            say "Xvfb on :$n (pid $pid)"
            return 0
        fi
        # Lost a race for that display number; try the next one.
        kill "$pid" 2>/dev/null || true
    done
    die "no free X display for Xvfb"
}

apply_settings() {
    [[ "$(cat "$settings_stamp" 2>/dev/null)" != "$settings_version" ]] || return 0
    # A crash must end the test, not wait for someone to close a dialog.
    "$1" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        </dev/null >/dev/null 2>&1 || die "could not turn off the crash dialog"
    # Xvfb has no window manager: a managed window makes DestroyWindow wait
    # 2 s for a withdrawal nobody confirms.
    "$1" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
        </dev/null >/dev/null 2>&1 || die "could not set the X11 driver options"
    # The Japanese dialog templates use "MS UI Gothic", which Wine does not
    # ship: draw it with the Japanese font of fonts-wqy-microhei.
    "$1" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS UI Gothic' /t REG_SZ \
        /d 'WenQuanYi Micro Hei' /f </dev/null >/dev/null 2>&1 ||
        die "could not set the font replacement"
    echo "$settings_version" >"$settings_stamp"
}

start() {
    local loader
    loader="$(wine_loader)"
    export WINELOADER="$loader"
    mkdir -p "$(dirname "$WINEPREFIX")"

    if server_running; then
        # A session is up already (perhaps one that wine-run started and
        # that ends by itself); keep it.
        apply_settings "$loader"
        start_xvfb
        return 0
    fi

    # Set-up runs under a throw-away server; `wineserver -w` then waits for
    # it and the helpers it started to exit, so that the persistent server
    # starts clean.
    if [[ ! -f "$WINEPREFIX/.update-timestamp" || ! -f "$WINEPREFIX/system.reg" ]]; then
        say "creating prefix $WINEPREFIX"
        "$loader" wineboot -i </dev/null >/dev/null 2>&1 || die "wineboot -i failed"
    fi
    apply_settings "$loader"
    wineserver -w </dev/null >/dev/null 2>&1 || true

    # Xvfb first, so the helpers Wine starts below know the display.
    start_xvfb
    if xvfb_running; then
        export DISPLAY="$(cat "$xvfb_display_file")"
    fi

    setsid wineserver -p${VELTCAM_WINE_PERSIST:-} </dev/null >/dev/null 2>&1 &
    for _ in $(seq 50); do
        server_running && break
        sleep 0.1
    done
    server_running || die "wineserver did not start"
    # The display lives as long as the server: a session that ends by
    # itself (VELTCAM_WINE_PERSIST) or is killed leaves no Xvfb behind.
    if xvfb_running; then
        setsid "$0" _watch "$(cat "$xvfb_pid_file")" </dev/null >/dev/null 2>&1 &
    fi
    # Start Wine's helpers (services, the desktop process) now, detached,
    # rather than under the first test, whose output pipe they would
    # inherit and keep open.
    "$loader" cmd /c exit </dev/null >/dev/null 2>&1 || true
    say "wineserver running for $WINEPREFIX${VELTCAM_WINE_PERSIST:+ (exits ${VELTCAM_WINE_PERSIST} s after the last program)}"
}

stop() {
    if server_running; then
        wineserver -k </dev/null >/dev/null 2>&1 || true
        wineserver -w </dev/null >/dev/null 2>&1 || true
        say "wineserver stopped"
    fi
    if xvfb_running; then
        local pid
        pid="$(cat "$xvfb_pid_file")"
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 30); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        say "Xvfb stopped"
    fi
    rm -f "$xvfb_pid_file" "$xvfb_display_file"
}

# _watch <xvfb pid>: stop that Xvfb once the wineserver is gone.
watch() {
    local xpid=$1
    while server_running; do
        sleep 2
    done
    if [[ -f "$xvfb_pid_file" && "$(cat "$xvfb_pid_file")" == "$xpid" ]]; then
        kill "$xpid" 2>/dev/null || true
        rm -f "$xvfb_pid_file" "$xvfb_display_file"
    fi
}

# Everything started here outlives this script; it must hold no descriptor
# but /dev/null (not ctest's pipes, not a caller's lock file).
close_inherited_fds() {
    local fd
    for fd in /proc/$$/fd/*; do
        fd="${fd##*/}"
        if ((fd > 2 && fd != 255)); then
            eval "exec $fd>&-" 2>/dev/null || true
        fi
    done
}

# Runs "$0 _<command>" holding the session lock: two test programs may start
# a session at the same moment. flock -o keeps the lock out of the children.
locked() {
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec flock -o "$WINEPREFIX.lock" "$0" "_$1"
}

case "${1:-}" in
    start | stop) locked "$1" ;;
    _start)
        close_inherited_fds
        start
        ;;
    _stop)
        close_inherited_fds
        stop
        ;;
    _watch)
        close_inherited_fds
        watch "$2"
        ;;
    status) server_running ;;
    *)
        sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//' >&2
        exit 2
        ;;
esac
