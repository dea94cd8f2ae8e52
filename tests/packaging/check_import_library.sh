#!/usr/bin/env bash
# Checks the Visual C++ import library: it imports exactly the catalogue's
# names and the extension's, all from the SDK DLL, and a small object
# compiled for the MSVC target links against it with lld-link alone (no
# Visual C++ libraries: /nodefaultlib, our own entry point, kernel32's import
# library made from a one-line .def) and runs against the DLL under Wine.
#
#   check_import_library.sh LIB CATALOGUE EXTENSION_CATALOGUE PROBE_C WINE_RUN DLL_DIR WORK_DIR
set -euo pipefail
lib="$1" catalogue="$2" extension="$3" probe="$4" wine_run="$5" dll_dir="$6" work="$7"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
tool() {
    local name
    for name in "$@"; do
        command -v "$name" 2>/dev/null && return 0
    done
    fail "none of $* found (scripts/install-packages.sh installs llvm, lld and clang)"
}
nm="$(tool llvm-nm llvm-nm-16 llvm-nm-15 llvm-nm-14)"
ar="$(tool llvm-ar llvm-ar-16 llvm-ar-15 llvm-ar-14)"
dlltool="$(tool llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14)"
lld_link="$(tool lld-link lld-link-16 lld-link-15 lld-link-14)"
clang="$(tool clang clang-16 clang-15 clang-14)"

rm -rf "$work"
mkdir -p "$work"

# Every member belongs to the SDK DLL.
members="$("$ar" t "$lib" | sort -u)"
[[ "$members" == VeltCamSdk_M40_USB3_R7.dll ]] || fail "members name other DLLs: $members"

# The imported names (__imp_ symbols) against both catalogues.
"$nm" "$lib" 2>/dev/null | awk '$3 ~ /^__imp_/ { sub(/^__imp_/, "", $3); print $3 }' |
    sort -u >"$work/imported.txt"
grep -hv '^#' "$catalogue" "$extension" | sed 's/=.*//' | sort -u >"$work/expected.txt"
if ! diff -u "$work/expected.txt" "$work/imported.txt"; then
    fail "the import library's names differ from the catalogue (- missing, + extra)"
fi
echo "$(wc -l <"$work/imported.txt") names imported, as in the catalogue"

# The Visual C++ style link.
printf 'LIBRARY kernel32.dll\nEXPORTS\n    ExitProcess\n' >"$work/kernel32.def"
"$dlltool" -m i386:x86-64 -d "$work/kernel32.def" -l "$work/kernel32.lib"
"$clang" --target=x86_64-pc-windows-msvc -O1 -Wall -Werror -c "$probe" -o "$work/probe.obj"
"$lld_link" /nologo /nodefaultlib /entry:ProbeEntry /subsystem:console \
    /out:"$work/probe.exe" "$work/probe.obj" "$lib" "$work/kernel32.lib" ||
    fail "lld-link could not link against the import library"
cp "$dll_dir/VeltCamSdk_M40_USB3_R7.dll" "$work/"
rc=0
"$wine_run" "$work/probe.exe" || rc=$?
((rc == 0)) || fail "the lld-linked probe failed (exit $rc: bit 0 version, 1 extension, 2 alias, 3 thunk)"
echo "lld-link: probe linked without Visual C++ libraries and ran against the DLL"
