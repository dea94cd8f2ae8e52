#!/usr/bin/env bash
# Fails when a file under src/ includes from a layer above its own.
#
#   scripts/check-layers.sh [SOURCE_ROOT]
#
# The layers, bottom up (the same order as the layout section of the design
# notes). Folders on one line form one layer and may use each other; a folder
# may use every layer below its own. The simulator sits beside the transport:
# it may use the transport, and only the SDK object (which picks the driver
# channel) and the exports above it may use the simulator. The public headers
# in include/ are the exports' own.
set -euo pipefail

root="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"

layers=(
    "foundation platform"
    "transport"
    "sim"
    "sensor"
    "core"
    "imaging files ui"
    "sdk"
    "api include"
)

# Beside the transport: below the SDK object nothing knows the simulator.
simulator_users="sim sdk api"

declare -A rank
for i in "${!layers[@]}"; do
    for folder in ${layers[$i]}; do rank[$folder]=$i; done
done

public_headers=" $(cd "$root/include" && ls) "
faults=0

while IFS= read -r -d '' file; do
    relative="${file#"$root"/src/}"
    folder="${relative%%/*}"
    if [[ -z "${rank[$folder]+set}" ]]; then
        echo "$file: folder '$folder' has no layer; add it to the table in $0" >&2
        faults=$((faults + 1))
        continue
    fi
    while IFS=: read -r line target; do
        if [[ "$target" == */* ]]; then
            used="${target%%/*}"
        elif [[ "$public_headers" == *" $target "* ]]; then
            used=include
        else
            continue  # a header next to the file itself
        fi
        if [[ -z "${rank[$used]+set}" ]]; then
            echo "$file:$line: includes \"$target\" from '$used', which has no layer" >&2
            faults=$((faults + 1))
        elif ((rank[$used] > rank[$folder])); then
            echo "$file:$line: $folder includes \"$target\" from the higher layer '$used'" >&2
            faults=$((faults + 1))
        elif [[ "$used" == sim && " $simulator_users " != *" $folder "* ]]; then
            echo "$file:$line: $folder includes \"$target\"; only $simulator_users use the simulator" >&2
            faults=$((faults + 1))
        fi
    done < <(awk -v q='"' '$0 ~ "^[ \t]*#[ \t]*include[ \t]*" q {
        split($0, part, q); print FNR ":" part[2] }' "$file")
done < <(find "$root/src" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.rc' -o -name '*.rch' \) -print0 | sort -z)

if ((faults > 0)); then
    echo "check-layers: $faults include(s) against the layer order" >&2
    exit 1
fi
echo "check-layers: every include under src/ stays in its own layer or below"
