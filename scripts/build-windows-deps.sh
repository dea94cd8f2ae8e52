#!/usr/bin/env bash
# Cross-builds the static libraries the Windows DLL and its tests link against
# (libjpeg-turbo, libpng, libtiff, GoogleTest/GoogleMock, Highway) from
# Debian's own source packages, for x86_64-w64-mingw32.
#
#   scripts/build-windows-deps.sh            build if needed, print the prefix
#   scripts/build-windows-deps.sh --print    only print the prefix it would use
#   export VELTCAM_WIN_DEPS="$(scripts/build-windows-deps.sh)"
#
# The result goes to ${VELTCAM_DEPS_CACHE:-$HOME/.cache/veltcam-deps}/mingw-<key>,
# outside any build tree, where <key> names the source package versions and a
# hash of those, this script, the toolchain file and the compiler version. A
# finished prefix holds a marker file and is reused as it is, so a second run
# does nothing. Progress goes to stderr, build logs to <prefix>/logs; the only
# thing on stdout is the prefix path, as the last line.
#
# zlib is not built here: Debian's libz-mingw-w64-dev provides a static libz.a.
# Needs root (or sudo) for a temporary deb-src entry and `apt-get update`.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
toolchain="$repo/cmake/mingw-w64-x86_64.cmake"
triple=x86_64-w64-mingw32
mingw_zlib_lib=/usr/$triple/lib/libz.a
mingw_zlib_inc=/usr/$triple/include
jobs="${VELTCAM_DEPS_JOBS:-2}"

say() { echo "build-windows-deps: $*" >&2; }
die() {
    say "error: $*"
    exit 1
}

print_only=0
case "${1:-}" in
    "") ;;
    --print) print_only=1 ;;
    -h | --help)
        sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *) die "unknown argument '$1' (see --help)" ;;
esac

# Debian source package -> a binary package built from it. The Windows
# libraries are built from the same source version as the installed Linux
# -dev package, so both targets link the same library code; where the -dev
# package is not installed, from the apt candidate.
sources=(libjpeg-turbo libpng1.6 tiff googletest highway)
declare -A binary_of=(
    [libjpeg-turbo]=libjpeg62-turbo-dev
    [libpng1.6]=libpng-dev
    [tiff]=libtiff-dev
    [googletest]=googletest
    [highway]=libhwy-dev
)
declare -A short_of=([libjpeg-turbo]=jpeg [libpng1.6]=png [tiff]=tiff [googletest]=gtest [highway]=hwy)

# Source version behind a binary package: dpkg's database when installed
# (milliseconds, so a cached run stays instant), else apt's candidate.
source_version() {
    local v
    v="$(dpkg-query -W -f='${db:Status-Status} ${source:Version}' "$1" 2>/dev/null || true)"
    if [[ "$v" == "installed "* ]]; then
        echo "${v#installed }"
        return
    fi
    apt-cache show --no-all-versions "$1" 2>/dev/null | awk '
        /^Version:/ { v = $2 }
        /^Source:/ && $3 != "" { s = $3; gsub(/[()]/, "", s) }
        END { print (s != "" ? s : v) }'
}

upstream_version() {
    local v="${1#*:}"
    echo "${v%-*}"
}

for tool in cmake ninja "$triple-gcc-posix" "$triple-g++-posix" nasm apt-get apt-cache dpkg-source sha256sum flock; do
    command -v "$tool" >/dev/null 2>&1 ||
        die "'$tool' not found; run scripts/install-packages.sh first"
done
[[ -f "$mingw_zlib_lib" ]] || die "$mingw_zlib_lib missing; run scripts/install-packages.sh first"

compute_key() {
    local name full ident readable=""
    ident="script $(sha256sum <"$0" | cut -c1-64)"$'\n'
    ident+="toolchain $(sha256sum <"$toolchain" | cut -c1-64)"$'\n'
    ident+="compiler $("$triple-g++-posix" -dumpfullversion)"
    ident+=" $(dpkg-query -W -f='${Version} ' g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev nasm 2>/dev/null || true)"$'\n'
    manifest=""
    declare -gA want_version=()
    for name in "${sources[@]}"; do
        full="$(source_version "${binary_of[$name]}")"
        want_version[$name]="$full"
        [[ -n "$full" ]] || full=unknown
        manifest+="$name $full"$'\n'
        readable+="${short_of[$name]}$(upstream_version "$full")-"
    done
    key="${readable}$(printf '%s%s' "$ident" "$manifest" | sha256sum | cut -c1-10)"
}

cache_root="${VELTCAM_DEPS_CACHE:-${HOME:-/root}/.cache/veltcam-deps}"
compute_key
prefix="$cache_root/mingw-$key"
marker="$prefix/.veltcam-deps-complete"

if ((print_only)) || [[ -f "$marker" ]]; then
    ((print_only)) || say "cached: $prefix"
    echo "$prefix"
    exit 0
fi

sudo=()
if ((EUID != 0)); then
    command -v sudo >/dev/null 2>&1 || die "need root (or sudo) to add a temporary deb-src entry"
    sudo=(sudo)
fi

mkdir -p "$cache_root"
# One build at a time per cache; a second caller waits, then finds the marker.
exec 9>"$cache_root/.lock"
flock 9
if [[ -f "$marker" ]]; then
    say "cached: $prefix (built while waiting)"
    echo "$prefix"
    exit 0
fi

started=$SECONDS
work="$(mktemp -d "${TMPDIR:-/tmp}/veltcam-deps.XXXXXX")"
# apt's download user must be able to write the source files here.
chmod 755 "$work"
debsrc=/etc/apt/sources.list.d/veltcam-deps-src.sources
debsrc_list=/etc/apt/sources.list.d/veltcam-deps-src.list
cleanup() {
    local rc=$?
    "${sudo[@]}" rm -f "$debsrc" "$debsrc_list"
    rm -rf "$work"
    if ((rc != 0)); then
        say "failed after $((SECONDS - started)) s; logs in $prefix/logs"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"

# deb-src twins of this machine's own Debian entries (main, -updates,
# -security), so the sources come from the same mirror as the binaries.
write_debsrc() {
    local f
    : >"$work/src.sources"
    : >"$work/src.list"
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -e "$f" && "$f" != "$debsrc" ]] || continue
        awk -v codename="$codename" '
            function flush(   i) {
                if (n && deb && suite && !disabled) {
                    for (i = 1; i <= n; i++) print buf[i]
                    print ""
                }
                n = 0; deb = 0; suite = 0; disabled = 0
            }
            /^[ \t]*$/ { flush(); next }
            /^#/ { next }
            /^Types:/ { if ($0 ~ /[ \t]deb([ \t]|$)/) deb = 1; buf[++n] = "Types: deb-src"; next }
            /^Suites:/ { if ($0 ~ ("[ \t]" codename "(-updates|-security)?([ \t]|$)")) suite = 1 }
            /^Enabled:[ \t]*no/ { disabled = 1 }
            { buf[++n] = $0 }
            END { flush() }' "$f" >>"$work/src.sources"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -e "$f" && "$f" != "$debsrc_list" ]] || continue
        awk -v codename="$codename" '
            $1 == "deb" && $0 ~ ("[ \t]" codename "(-updates|-security)?[ \t]") {
                sub(/^deb/, "deb-src"); print
            }' "$f" >>"$work/src.list"
    done
    [[ -s "$work/src.sources" || -s "$work/src.list" ]] ||
        die "no Debian $codename entries in the apt sources to derive deb-src entries from"
    if [[ -s "$work/src.sources" ]]; then "${sudo[@]}" cp "$work/src.sources" "$debsrc"; fi
    if [[ -s "$work/src.list" ]]; then "${sudo[@]}" cp "$work/src.list" "$debsrc_list"; fi
}

say "fetching sources: ${sources[*]}"
rm -rf "$prefix"
mkdir -p "$prefix/logs"
logs="$prefix/logs"
write_debsrc
"${sudo[@]}" apt-get update -q >"$logs/apt-update.log" 2>&1 ||
    die "apt-get update failed; see $logs/apt-update.log"

# The update may have brought newer versions: name the prefix after what is
# fetched now.
old_prefix="$prefix"
compute_key
prefix="$cache_root/mingw-$key"
marker="$prefix/.veltcam-deps-complete"
if [[ "$prefix" != "$old_prefix" ]]; then
    rm -rf "$prefix"
    mv "$old_prefix" "$prefix"
    logs="$prefix/logs"
    if [[ -f "$marker" ]]; then
        say "cached: $prefix"
        echo "$prefix"
        exit 0
    fi
fi

# The wanted version first. A mirror may serve a security update's binaries
# but not its sources; then take the newest other version it does have, and
# say so (versions.txt records what was built).
fetch_source() {
    local name=$1 want=${want_version[$1]} version
    if [[ -n "$want" && "$want" != unknown ]]; then
        (cd "$work" && apt-get source -q "$name=$want") >>"$logs/apt-source.log" 2>&1 && return 0
    fi
    while read -r version; do
        [[ "$version" != "$want" ]] || continue
        say "$name: source $want not downloadable, trying $version"
        (cd "$work" && apt-get source -q "$name=$version") >>"$logs/apt-source.log" 2>&1 && return 0
    done < <(apt-cache showsrc --only-source "$name" 2>/dev/null |
        awk '/^Version:/ { print $2 }' | sort -u | sort -rV)
    die "apt-get source $name failed; see $logs/apt-source.log"
}
for name in "${sources[@]}"; do
    fetch_source "$name"
done
"${sudo[@]}" rm -f "$debsrc" "$debsrc_list"
fetched="$(cd "$work" && for f in *.dsc; do
    awk '/^Source:/ { s = $2 } /^Version:/ { print s, $2; exit }' "$f"
done)"

srcdir() {
    local d
    d="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$1-*" | head -n1)"
    [[ -n "$d" ]] || die "source of $1 not unpacked; see $logs/apt-source.log"
    echo "$d"
}

common=(
    -G Ninja
    -DCMAKE_TOOLCHAIN_FILE="$toolchain"
    -DVELTCAM_WIN_DEPS="$prefix"
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX="$prefix"
    -DCMAKE_INSTALL_LIBDIR=lib
    -DBUILD_SHARED_LIBS=OFF
    # Our static zlib; left to itself CMake prefers libz.dll.a and the DLL
    # ends up importing zlib1.dll.
    -DZLIB_LIBRARY="$mingw_zlib_lib"
    -DZLIB_LIBRARY_RELEASE="$mingw_zlib_lib"
    -DZLIB_INCLUDE_DIR="$mingw_zlib_inc"
)

# build <name> <source dir> [cmake options...]
build() {
    local name=$1 src=$2 t0=$SECONDS
    shift 2
    local bdir="$work/build-$name" log="$logs/$name.log"
    say "building $name"
    # From inside the work dir, so that a project resolving an install path
    # against the current directory cannot write into the caller's tree.
    (
        cd "$work" &&
            cmake -S "$src" -B "$bdir" "${common[@]}" "$@" &&
            cmake --build "$bdir" -j "$jobs" &&
            cmake --install "$bdir"
    ) >"$log" 2>&1 || {
        tail -n 25 "$log" >&2
        die "$name failed to build; full log: $log"
    }
    say "built $name in $((SECONDS - t0)) s"
}

src_jpeg="$(srcdir libjpeg-turbo)"
src_png="$(srcdir libpng1.6)"
src_tiff="$(srcdir tiff)"
src_gtest="$(srcdir googletest)"
src_hwy="$(srcdir highway)"

# libjpeg-turbo takes its install directories as absolute paths.
build jpeg "$src_jpeg" \
    -DCMAKE_INSTALL_LIBDIR="$prefix/lib" -DCMAKE_INSTALL_INCLUDEDIR="$prefix/include" \
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
    -DWITH_TURBOJPEG=OFF -DWITH_SIMD=ON -DWITH_JPEG8=ON \
    -DCMAKE_ASM_NASM_COMPILER=nasm

build png "$src_png" \
    -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF

build tiff "$src_tiff" \
    -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF \
    -Dtiff-opengl=OFF -Dcxx=OFF \
    -Djbig=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Dlerc=OFF -Dlibdeflate=OFF -Djpeg12=OFF \
    -Djpeg=ON -Dzlib=ON \
    -DJPEG_INCLUDE_DIR="$prefix/include" \
    -DJPEG_LIBRARY="$prefix/lib/libjpeg.a" \
    -DJPEG_LIBRARY_RELEASE="$prefix/lib/libjpeg.a"

build gtest "$src_gtest" \
    -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON -Dgtest_disable_pthreads=OFF

build hwy "$src_hwy" \
    -DHWY_ENABLE_TESTS=OFF -DHWY_ENABLE_EXAMPLES=OFF -DHWY_ENABLE_CONTRIB=OFF \
    -DHWY_ENABLE_INSTALL=ON -DHWY_WARNINGS_ARE_ERRORS=OFF

# What Dependencies.cmake links; a project that installs somewhere else
# should fail here, not in the first consumer.
for f in include/jpeglib.h include/png.h include/tiffio.h \
    include/gtest/gtest.h include/gmock/gmock.h include/hwy/highway.h \
    lib/libjpeg.a lib/libpng16.a lib/libtiff.a lib/libgtest.a lib/libgtest_main.a \
    lib/libgmock.a lib/libgmock_main.a lib/libhwy.a; do
    [[ -f "$prefix/$f" ]] || die "$f missing from $prefix after the build"
done

{
    echo "# wanted (installed -dev packages, else apt candidates)"
    printf '%s' "$manifest"
    echo "# built from"
    echo "$fetched"
} >"$prefix/versions.txt"
touch "$marker"
say "done in $((SECONDS - started)) s: $prefix"
echo "$prefix"
