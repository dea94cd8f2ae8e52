#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build and test VeltCam.
#
#   scripts/install-packages.sh [linux|all]
#
#   linux  native build tools and libraries only
#   all    (default) also the mingw-w64 cross toolchain, Wine, Xvfb and what the
#          Windows dependency build and the GUI screenshots need
#
# Idempotent: every package is checked with dpkg first, so a second run does
# no network access and finishes in well under a second. `apt-get update` runs
# only when something has to be installed.
set -euo pipefail

target="${1:-all}"

linux_packages=(
    # build tools
    cmake ninja-build g++ pkg-config
    # native libraries
    libjpeg-dev libjpeg62-turbo-dev libpng-dev libtiff-dev zlib1g-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev libhwy-dev libcli11-dev
    # benchmarks only: the image pipeline is measured against OpenCV
    libopencv-dev
    # ffprobe and identify read back the recorded movies and the demo's stills
    ffmpeg imagemagick
    # the fuzz targets (scripts/fuzz.sh): clang and its libFuzzer runtime
    clang libclang-rt-14-dev
    # the Linux USB path: libusb, and umockdev's emulated device node in front
    # of the simulated camera for the tests through real libusb
    libusb-1.0-0-dev umockdev libumockdev-dev
    # the Python package: ctypes over the library, arrays in numpy
    python3-numpy python3-pytest python3-opencv python3-venv python3-pip python3-setuptools
    # the GStreamer source element and the pipelines that test it
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
    gstreamer1.0-plugins-ugly
    # gst-discoverer-1.0 reads back the element's recordings
    gstreamer1.0-plugins-base-apps
    # packaging: import library checks for Visual C++ users, the .deb's dependencies
    llvm lld
    # the Debian package set: dpkg-shlibdeps, dpkg-buildflags and file for CPack's
    # DEB generator, the tool's manual page from its --help, and lintian
    dpkg-dev file help2man lintian
    # the X11 preview window (Xlib, MIT-SHM through libXext); its tests and the
    # tool's preview run on a virtual display of their own
    libx11-dev libxext-dev xvfb xauth
    # veltcam serve: Aravis' clients (tools, Python binding, aravissrc) as the
    # independent GigE Vision receiver; xmllint for the GenICam description,
    # gresource to take the schema out of arv-test
    aravis-tools aravis-tools-cli gir1.2-aravis-0.8 python3-gi libxml2-utils libglib2.0-bin
)

windows_packages=(
    # cross toolchain; the posix threads model is what gives us std::thread
    g++-mingw-w64-x86-64-posix mingw-w64 libz-mingw-w64-dev
    # libjpeg-turbo's SIMD code is assembled with nasm
    nasm
    # running the test executables, GUI tests on a virtual display
    wine wine64 xvfb xauth
    # `apt-get source` for the cross-built static libraries
    dpkg-dev
    # Japanese dialog text, and the Japanese locale under which Wine reports a
    # Japanese system (see below)
    fonts-wqy-microhei locales
)

case "$target" in
    linux) wanted=("${linux_packages[@]}") ;;
    all) wanted=("${linux_packages[@]}" "${windows_packages[@]}") ;;
    -h | --help)
        sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "install-packages.sh: unknown target '$target' (use 'linux' or 'all')" >&2
        exit 2
        ;;
esac

# Wine takes the system's language from the Unix locale of the process, and only
# from one that exists: the Japanese dialog tests run under ja_JP.UTF-8.
ensure_japanese_locale() {
    [[ "$target" == all ]] || return 0
    locale -a 2>/dev/null | grep -qix 'ja_JP.utf8' && return 0
    echo "install-packages.sh: generating the ja_JP.UTF-8 locale"
    local sudo=()
    ((EUID == 0)) || sudo=(sudo)
    "${sudo[@]}" localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
}

missing=()
for pkg in "${wanted[@]}"; do
    status="$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)"
    [[ "$status" == installed ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
    echo "install-packages.sh: all ${#wanted[@]} packages for '$target' are installed"
    ensure_japanese_locale
    exit 0
fi

echo "install-packages.sh: installing ${missing[*]}"

sudo=()
if ((EUID != 0)); then
    if command -v sudo >/dev/null 2>&1; then
        sudo=(sudo)
    else
        echo "install-packages.sh: need root (or sudo) to install: ${missing[*]}" >&2
        exit 1
    fi
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q -o Dpkg::Use-Pty=0 "${missing[@]}"
ensure_japanese_locale
