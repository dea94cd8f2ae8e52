#!/usr/bin/env bash
# Builds the Debian package from the build tree and checks it without
# installing it: metadata (name, version, a dependency for every library the
# shipped binaries need), maintainer scripts, the files in a scratch root, and
# that the unpacked library, headers, .pc file and tool work.
#
#   check_deb.sh BUILD_DIR VERSION UDEV_RULE_EXPECTED(0|1) WORK_DIR
set -euo pipefail
build="$1" version="$2" udev_rule="$3" work="$4"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
(cd "$build" && cpack -G DEB -B "$work/packages") >"$work/cpack.log" 2>&1 ||
    fail "cpack failed: $(cat "$work/cpack.log")"
deb="$(find "$work/packages" -maxdepth 1 -name 'veltcamsdk_*.deb')"
[[ -n "$deb" ]] || fail "no .deb in $work/packages"
arch="$(dpkg --print-architecture)"
[[ "$(basename "$deb")" == "veltcamsdk_${version}_${arch}.deb" ]] || fail "package file $(basename "$deb")"

field() { dpkg-deb --field "$deb" "$1"; }
[[ "$(field Package)" == veltcamsdk ]] || fail "Package: $(field Package)"
[[ "$(field Version)" == "$version" ]] || fail "Version: $(field Version)"
[[ "$(field Architecture)" == "$arch" ]] || fail "Architecture: $(field Architecture)"
depends="$(field Depends)"
echo "Depends: $depends"

root="$work/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb --contents "$deb" >"$work/contents.txt"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)"
libdir="usr/lib/$multiarch"
expected=(
    "$libdir/libveltcamsdk.so.$version"
    "$libdir/libveltcamsdk.so.2"
    "$libdir/libveltcamsdk.so"
    usr/include/VeltCamSdk.h usr/include/VeltCamSdkEx.h usr/include/VeltCamSdkLinux.h
    usr/bin/veltcam
    "$libdir/pkgconfig/veltcamsdk.pc"
    "$libdir/cmake/VeltCamSdk/VeltCamSdkConfig.cmake"
    "$libdir/cmake/VeltCamSdk/VeltCamSdkConfigVersion.cmake"
    "$libdir/cmake/VeltCamSdk/VeltCamSdkTargets.cmake"
    usr/share/doc/veltcamsdk/README.md
    usr/share/doc/veltcamsdk/samples/snapshot.c
)
if ((udev_rule)); then expected+=(usr/lib/udev/rules.d/60-veltcam.rules); fi
for f in "${expected[@]}"; do
    [[ -e "$root/$f" || -L "$root/$f" ]] || fail "$f is not in the package"
done
# Everything below /usr, nothing of the build machine's paths.
if awk '{ print $6 }' "$work/contents.txt" | grep -v -e '^\./$' -e '^\./usr/'; then
    fail "files outside /usr"
fi
if grep -rl --binary-files=without-match "$build" "$root"; then
    fail "the build directory's path leaked into the files above"
fi
grep -qx 'prefix=/usr' "$root/$libdir/pkgconfig/veltcamsdk.pc" || fail "the .pc file's prefix is not /usr"

# Maintainer scripts: udev reload after install and removal, the library's
# shlibs entry and the loader cache trigger.
dpkg-deb -e "$deb" "$work/control"
for script in postinst postrm; do
    [[ -x "$work/control/$script" ]] || fail "no executable $script"
    grep -q "udevadm control --reload-rules" "$work/control/$script" || fail "$script does not reload udev"
done
grep -q "^libveltcamsdk 2 veltcamsdk" "$work/control/shlibs" || fail "shlibs: $(cat "$work/control/shlibs")"
grep -q ldconfig "$work/control/triggers" || fail "no ldconfig trigger"

# Every library the shipped binaries need, other than the SDK itself, comes
# from a package that Depends names. dpkg knows a library by the path its
# package ships, which the merged /usr may hide behind /lib or the SONAME
# link: ask for every spelling at once (dpkg -S is slow to start).
declare -A path_of=()
for binary in "$root/$libdir/libveltcamsdk.so.$version" "$root/usr/bin/veltcam"; do
    for soname in $(objdump -p "$binary" | awk '$1 == "NEEDED" { print $2 }'); do
        [[ "$soname" == libveltcamsdk.so.* ]] && continue
        path="$(ldconfig -p | awk -v s="$soname" '$1 == s && /x86-64/ && !n++ { print $NF }')"
        [[ -n "$path" ]] || fail "$soname (needed by $(basename "$binary")) is not on this machine"
        path_of[$soname]="$path"
    done
done
candidates=()
for path in "${path_of[@]}"; do
    candidates+=("$path" "$(readlink -f "$path")" "/usr$path" "${path#/usr}")
done
dpkg -S "${candidates[@]}" 2>/dev/null >"$work/owners.txt" || true
for soname in "${!path_of[@]}"; do
    path="${path_of[$soname]}"
    package=""
    for candidate in "$path" "$(readlink -f "$path")" "/usr$path" "${path#/usr}"; do
        package="$(awk -v p="$candidate" -F': ' '$2 == p && !n++ { sub(/:.*/, "", $1); print $1 }' "$work/owners.txt")"
        [[ -n "$package" ]] && break
    done
    [[ -n "$package" ]] || fail "no package owns $path ($soname)"
    [[ ", $depends," == *", $package "* || ", $depends," == *", $package,"* ]] ||
        fail "$soname comes from $package, which Depends does not name"
done
echo "needed libraries: ${!path_of[*]}: their packages are in Depends"

# The unpacked files work: the tool, and a client built from the .pc file.
export VELTCAM_SIMULATOR=1 VELTCAM_SETTINGS="$work/settings.reg"
LD_LIBRARY_PATH="$root/$libdir" "$root/usr/bin/veltcam" info >"$work/info.txt" ||
    fail "the packaged veltcam tool failed: $(cat "$work/info.txt")"
flags="$(PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_LIBDIR="$root/$libdir/pkgconfig" \
    pkg-config --cflags --libs veltcamsdk)"
# shellcheck disable=SC2086
cc -std=c99 -Wall -Werror "$root/usr/share/doc/veltcamsdk/samples/snapshot.c" $flags -o "$work/snapshot"
LD_LIBRARY_PATH="$root/$libdir" "$work/snapshot" "$work/snapshot.png"
[[ "$(head -c 4 "$work/snapshot.png" | tail -c 3)" == PNG ]] || fail "no PNG written"
echo "$(basename "$deb"): $(wc -l <"$work/contents.txt") entries checked"
