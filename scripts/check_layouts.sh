#!/usr/bin/env bash
# Checks that DCB, COMMTIMEOUTS, COMSTAT and COMMPROP in ce/serial.h have the
# published layouts: the layout table printed by layout_dump (built with the
# project's headers) becomes static_asserts that MinGW-w64 compiles against
# its own windows.h, for the 32-bit and the 64-bit Windows ABI.
# Usage: scripts/check_layouts.sh [path/to/layout_dump]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dump=${1:-$root/build/default/bin/layout_dump}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$dump" --asserts >"$work/layout_check.cpp"
status=0
for cxx in i686-w64-mingw32-g++ x86_64-w64-mingw32-g++; do
    if ! command -v "$cxx" >/dev/null; then
        echo "layouts: $cxx not found (scripts/deps.sh ci installs it)"
        status=1
        continue
    fi
    if "$cxx" -std=c++20 -fsyntax-only -I"$root/tests/layouts" "$work/layout_check.cpp" \
        2>"$work/errors"; then
        echo "layouts: $cxx: $(grep -c static_assert "$work/layout_check.cpp") checks match"
    else
        echo "layouts: $cxx disagrees:"
        grep -o '"[^"]*: ours is [0-9]*"' "$work/errors" | sort -u || cat "$work/errors"
        status=1
    fi
done
exit $status
