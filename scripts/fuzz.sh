#!/usr/bin/env bash
# Builds the libFuzzer targets (preset linux-fuzz, clang) and runs each one on its
# checked-in seed corpus.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
#   SECONDS  run time per target (default 600; scripts/test-all.sh uses a short run)
#   TARGET   settings_document, mask_file, config_file, sim_options, gvcp (default: all)
#
# Inputs that reach new code are kept in build/linux-fuzz/corpus/<target>/ (the
# checked-in seeds in fuzz/corpus/ are only read); an input that crashes a target
# is left in build/linux-fuzz/crashes/<target>/ and the script fails. Copy such an
# input into fuzz/corpus/<target>/ once the fault is mended.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds="${1:-600}"
shift || true
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(settings_document mask_file config_file sim_options gvcp)

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz.sh: clang++ is not installed (scripts/install-packages.sh linux)" >&2
    exit 1
fi

cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz

build=build/linux-fuzz
status=0
for target in "${targets[@]}"; do
    seeds="fuzz/corpus/$target"
    work="$build/corpus/$target"
    crashes="$build/crashes/$target"
    if [[ ! -d "$seeds" ]]; then
        echo "fuzz.sh: unknown target '$target'" >&2
        exit 2
    fi
    mkdir -p "$work" "$crashes"
    echo "== $target: ${seconds} s"
    if ! ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$crashes/" "$work" "$seeds"; then
        echo "fuzz.sh: $target FAILED; the input is in $crashes/" >&2
        status=1
    fi
done
exit $status
