#!/usr/bin/env bash
# Builds the Debian package set from the build tree and treats it as a Debian
# user would: lintian, each package's files and Depends, installation into a
# scratch root in dependency order (with the maintainer scripts, outside a
# chroot), the tool, a sample built against the development package, the
# GStreamer element and the Python package run from that root, then removal
# and purge, which must leave nothing behind.
#
#   check_deb.sh BUILD_DIR SOURCE_DIR VERSION GST_ELEMENT(0|1) WORK_DIR
set -euo pipefail
build="$1" source="$2" version="$3" gst_element="$4" work="$5"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
(cd "$build" && cpack -G DEB -B "$work/packages") >"$work/cpack.log" 2>&1 ||
    fail "cpack failed: $(cat "$work/cpack.log")"
arch="$(dpkg --print-architecture)"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)"
libdir="usr/lib/$multiarch"

# Installation order: the library first, everything else depends on it.
packages=(libveltcamsdk2 libveltcamsdk-dev veltcam)
((gst_element)) && packages+=(gstreamer1.0-veltcam)
[[ -d "$source/python/src/veltcam" ]] && packages+=(python3-veltcam)
declare -A deb=()
for package in "${packages[@]}"; do
    package_arch="$arch"
    [[ "$package" == python3-* ]] && package_arch=all
    deb[$package]="$work/packages/${package}_${version}_${package_arch}.deb"
    [[ -f "${deb[$package]}" ]] || fail "no $(basename "${deb[$package]}"): $(ls "$work/packages")"
done
extra=""
for file in "$work/packages"/*.deb; do
    [[ " ${deb[*]} " == *" $file "* ]] || extra+=" $(basename "$file")"
done
[[ -z "$extra" ]] || fail "packages nobody asked for: $extra"

field() { dpkg-deb --field "${deb[$1]}" "$2"; }

# --- lintian -------------------------------------------------------------------
if command -v lintian >/dev/null; then
    lintian --tag-display-limit 0 "${deb[@]}" >"$work/lintian.txt" 2>&1 || true
    cat "$work/lintian.txt"
    # Errors and warnings alike: the set has none, so any is new.
    if grep -e '^E: ' -e '^W: ' "$work/lintian.txt"; then fail "lintian reports errors or warnings"; fi
else
    fail "lintian is not installed (scripts/install-packages.sh installs it)"
fi

# --- files of each package -------------------------------------------------------
declare -A expected=(
    [libveltcamsdk2]="$libdir/libveltcamsdk.so.$version $libdir/libveltcamsdk.so.2
        usr/share/doc/libveltcamsdk2/README.md"
    [libveltcamsdk-dev]="$libdir/libveltcamsdk.so usr/include/VeltCamSdk.h
        usr/include/VeltCamSdkEx.h usr/include/VeltCamSdkLinux.h
        $libdir/pkgconfig/veltcamsdk.pc $libdir/cmake/VeltCamSdk/VeltCamSdkConfig.cmake
        $libdir/cmake/VeltCamSdk/VeltCamSdkConfigVersion.cmake
        $libdir/cmake/VeltCamSdk/VeltCamSdkTargets.cmake
        usr/share/doc/libveltcamsdk-dev/examples/snapshot.c
        usr/share/doc/libveltcamsdk-dev/examples/CMakeLists.txt"
    [veltcam]="usr/bin/veltcam usr/share/man/man1/veltcam.1.gz"
    [gstreamer1.0-veltcam]="$libdir/gstreamer-1.0/libgstveltcam.so"
    [python3-veltcam]="usr/lib/python3/dist-packages/veltcam/__init__.py"
)
# The library's package gives the camera to its users through the udev rule,
# whatever the source tree holds: without it no user but root opens a camera.
expected[libveltcamsdk2]+=" usr/lib/udev/rules.d/60-veltcam.rules"
for package in "${packages[@]}"; do
    [[ "$(field "$package" Package)" == "$package" && "$(field "$package" Version)" == "$version" ]] ||
        fail "$package: control says $(field "$package" Package) $(field "$package" Version)"
    unpacked="$work/unpacked/$package"
    mkdir -p "$unpacked"
    dpkg-deb -x "${deb[$package]}" "$unpacked"
    for f in ${expected[$package]} "usr/share/doc/$package/copyright" \
        "usr/share/doc/$package/changelog.gz"; do
        [[ -e "$unpacked/$f" || -L "$unpacked/$f" ]] || fail "$package lacks $f"
    done
    newest="$(zcat "$unpacked/usr/share/doc/$package/changelog.gz")"
    [[ "${newest%%$'\n'*}" == *"($version)"* ]] ||
        fail "$package: the changelog's newest entry is not $version"
    # Everything below /usr, no byte-compiled leftovers of the build machine.
    dpkg-deb --contents "${deb[$package]}" | awk '{ print $6 }' >"$work/$package.contents"
    if grep -v -e '^\./$' -e '^\./usr/' -e '^\./usr$' "$work/$package.contents"; then
        fail "$package: files outside /usr"
    fi
    if grep -e __pycache__ -e '\.pyc$' "$work/$package.contents"; then
        fail "$package ships compiled Python"
    fi
done
# The user's README, not the developer's: nothing about building or testing.
if grep -n -i -e test-all -e "cmake --preset" -e "cp .*60-veltcam.rules" \
    "$work/unpacked/libveltcamsdk2/usr/share/doc/libveltcamsdk2/README.md"; then
    fail "the installed README is the developer's"
fi
[[ "$(zcat "$work/unpacked/veltcam/usr/share/man/man1/veltcam.1.gz")" == *VELTCAM_SIMULATOR* ]] ||
    fail "the manual page does not describe the simulator"

# No path of the build machine in any shipped file (binaries included).
for package in "${packages[@]}"; do
    while IFS= read -r -d '' f; do
        if strings -a "$f" | grep -F -e "$build" -e "$source/"; then
            fail "$package: ${f#"$work"/unpacked/} names a build path"
        fi
    done < <(find "$work/unpacked/$package" -type f -print0)
done

declare -A binaries=(
    [libveltcamsdk2]="$libdir/libveltcamsdk.so.$version"
    [veltcam]="usr/bin/veltcam"
    [gstreamer1.0-veltcam]="$libdir/gstreamer-1.0/libgstveltcam.so"
)
# Built with Debian's hardening flags: read-only relocations bound at load time.
for package in "${!binaries[@]}"; do
    [[ -n "${deb[$package]:-}" ]] || continue
    binary="$work/unpacked/$package/${binaries[$package]}"
    [[ "$(readelf -d "$binary")" == *BIND_NOW* ]] || fail "$package: ${binaries[$package]} is not bound now"
    [[ "$(readelf -lW "$binary")" == *GNU_RELRO* ]] || fail "$package: ${binaries[$package]} has no RELRO"
done

# --- Depends -----------------------------------------------------------------------
depends_of() { field "$1" Depends | tr ',' '\n' | sed 's/^ *//'; }
# A headless camera PC: the library pulls in neither GStreamer nor Python.
if depends_of libveltcamsdk2 | grep -i -e gst -e glib -e python; then
    fail "libveltcamsdk2 depends on GStreamer or Python"
fi
for package in libveltcamsdk-dev veltcam gstreamer1.0-veltcam; do
    [[ -n "${deb[$package]:-}" ]] || continue
    depends_of "$package" | grep -q -x -F "libveltcamsdk2 (= $version)" ||
        fail "$package does not depend on libveltcamsdk2 (= $version): $(field "$package" Depends)"
done
if [[ -n "${deb[python3-veltcam]:-}" ]]; then
    for dependency in "libveltcamsdk2 (>= $version)" python3-numpy python3:any; do
        depends_of python3-veltcam | grep -q -x -F "$dependency" ||
            fail "python3-veltcam does not depend on $dependency: $(field python3-veltcam Depends)"
    done
    [[ "$(field python3-veltcam Architecture)" == all ]] || fail "python3-veltcam is not Architecture: all"
fi

# Every library a shipped binary needs, other than the SDK itself, comes from a
# package its Depends names. dpkg knows a library by the path its package
# ships, which the merged /usr may hide behind /lib or the SONAME link: ask for
# every spelling at once (dpkg -S is slow to start).
declare -A path_of=() needed_by=()
for package in "${!binaries[@]}"; do
    [[ -n "${deb[$package]:-}" ]] || continue
    binary="$work/unpacked/$package/${binaries[$package]}"
    for soname in $(objdump -p "$binary" | awk '$1 == "NEEDED" { print $2 }'); do
        [[ "$soname" == libveltcamsdk.so.* ]] && continue
        path="$(ldconfig -p | awk -v s="$soname" '$1 == s && /x86-64/ && !n++ { print $NF }')"
        [[ -n "$path" ]] || fail "$soname (needed by $package) is not on this machine"
        path_of[$soname]="$path"
        needed_by[$soname]+=" $package"
    done
done
candidates=()
for path in "${path_of[@]}"; do
    candidates+=("$path" "$(readlink -f "$path")" "/usr$path" "${path#/usr}")
done
dpkg -S "${candidates[@]}" 2>/dev/null >"$work/owners.txt" || true
for soname in "${!path_of[@]}"; do
    path="${path_of[$soname]}"
    owner=""
    for candidate in "$path" "$(readlink -f "$path")" "/usr$path" "${path#/usr}"; do
        owner="$(awk -v p="$candidate" -F': ' '$2 == p && !n++ { sub(/:.*/, "", $1); print $1 }' "$work/owners.txt")"
        [[ -n "$owner" ]] && break
    done
    [[ -n "$owner" ]] || fail "no package owns $path ($soname)"
    for package in ${needed_by[$soname]}; do
        depends_of "$package" | grep -q -e "^$owner\$" -e "^$owner " ||
            fail "$package needs $soname from $owner, which its Depends does not name"
    done
done
echo "needed libraries: ${!path_of[*]}: their packages are in Depends"

# --- installation into a scratch root ------------------------------------------
# dpkg's own database of the scratch root starts as a copy of this machine's,
# so the packages' dependencies outside the set count as installed while the
# set's own order is checked. Maintainer scripts run outside a chroot with
# DPKG_ROOT set, as dpkg runs them for such a root.
root="$work/root"
admin="$root/var/lib/dpkg"
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
cp /var/lib/dpkg/status "$admin/status"
touch "$admin/available"
# The maintainer scripts see the system's own programs (Debian's python3), as
# under apt, whatever else this shell's PATH holds.
scratch_dpkg() {
    PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        dpkg --root="$root" --force-script-chrootless --force-not-root --log=/dev/null "$@"
}
# Out of order, the tool's dependency on the library stops it.
if scratch_dpkg --install "${deb[veltcam]}" >"$work/out-of-order.log" 2>&1; then
    fail "veltcam installed without libveltcamsdk2"
fi
grep -q "libveltcamsdk2" "$work/out-of-order.log" || fail "out of order: $(cat "$work/out-of-order.log")"
scratch_dpkg --purge veltcam >/dev/null 2>&1
for package in "${packages[@]}"; do
    scratch_dpkg --install "${deb[$package]}" >>"$work/install.log" 2>&1 ||
        fail "installing $package failed: $(tail -n 20 "$work/install.log")"
done
[[ "$(dpkg-query --admindir="$admin" -W -f='${db:Status-Abbrev}' "${packages[@]}")" == \
    "$(printf 'ii %.0s' "${packages[@]}")" ]] || fail "not every package is installed"

# --- the installed tree at work --------------------------------------------------------
export VELTCAM_SIMULATOR=1 VELTCAM_SETTINGS="$work/settings.reg"
export LD_LIBRARY_PATH="$root/$libdir"
"$root/usr/bin/veltcam" info >"$work/info.txt" 2>&1 || fail "veltcam info: $(cat "$work/info.txt")"
grep -q "sensor *2048 x 1536" "$work/info.txt" || fail "veltcam info: $(cat "$work/info.txt")"
# Without a camera and without asking for the simulator the tool refuses.
if env -u VELTCAM_SIMULATOR "$root/usr/bin/veltcam" snap -o "$work/none.png" 2>"$work/no-camera.txt"; then
    fail "veltcam snap succeeded without a camera"
fi
grep -q -e "--simulate" "$work/no-camera.txt" || fail "no hint: $(cat "$work/no-camera.txt")"

flags="$(PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_LIBDIR="$root/$libdir/pkgconfig" \
    pkg-config --cflags --libs veltcamsdk)"
# shellcheck disable=SC2086  # the flags are words
cc -std=c99 -Wall -Werror "$root/usr/share/doc/libveltcamsdk-dev/examples/snapshot.c" $flags \
    -o "$work/snapshot" || fail "the sample does not build against libveltcamsdk-dev"
"$work/snapshot" "$work/snapshot.bmp" >/dev/null || fail "the sample failed"
[[ "$(head -c 2 "$work/snapshot.bmp")" == BM ]] || fail "the sample wrote no BMP"

if [[ -n "${deb[gstreamer1.0-veltcam]:-}" ]]; then
    # Only the element and fakesink: a private registry built in a moment.
    mkdir -p "$work/gst-system"
    system_dir="$(pkg-config --variable=pluginsdir gstreamer-1.0)"
    ln -s "$system_dir/libgstcoreelements.so" "$work/gst-system/"
    GST_PLUGIN_PATH="$root/$libdir/gstreamer-1.0" GST_PLUGIN_SYSTEM_PATH_1_0="$work/gst-system" \
        GST_REGISTRY="$work/gst-registry.bin" \
        gst-launch-1.0 -q veltcamsrc num-buffers=2 ! fakesink >"$work/gst.txt" 2>&1 ||
        fail "veltcamsrc from the installed tree: $(cat "$work/gst.txt")"
fi

pycache_dir="$root/usr/lib/python3/dist-packages/veltcam/__pycache__"
if [[ -n "${deb[python3-veltcam]:-}" ]]; then
    [[ -d "$pycache_dir" ]] || fail "python3-veltcam was not byte-compiled at installation"
    PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 -c '
import veltcam
with veltcam.open() as camera:
    print("python:", veltcam.library_path(), camera.snap().shape)
' >"$work/python.txt" 2>&1 || fail "the Python package from the installed tree: $(cat "$work/python.txt")"
    # What another Python version would have compiled on import.
    touch "$pycache_dir/camera.cpython-399.pyc"
fi

# --- removal and purge ------------------------------------------------------------
for ((i = ${#packages[@]} - 1; i >= 0; --i)); do
    scratch_dpkg --purge "${packages[i]}" >>"$work/remove.log" 2>&1 ||
        fail "purging ${packages[i]} failed: $(tail -n 20 "$work/remove.log")"
done
left="$(cd "$root" && find . -mindepth 1 -not -path './var' -not -path './var/lib' \
    -not -path './var/lib/dpkg' -not -path './var/lib/dpkg/*')"
[[ -z "$left" ]] || fail "left behind after purge: $left"
echo "${packages[*]}: built, lintian-clean, installed, used and purged"
