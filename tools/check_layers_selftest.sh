#!/usr/bin/env bash
# The layer check must fail on a tree with an upward include, and on one with a system header
# in a portable layer, and pass on the same tree without them.
set -euo pipefail
checker=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/low" "$tree/high"
echo 'set(BRC_LAYERS low high)' >"$tree/CMakeLists.txt"
echo '#include "low/a.h"' >"$tree/high/b.cpp"
echo '#pragma once' >"$tree/low/a.h"
python3 "$checker" "$tree" >/dev/null || { echo "a clean tree was refused"; exit 1; }
echo '#include "high/b.h"' >"$tree/low/a.cpp"
if python3 "$checker" "$tree" >/dev/null; then echo "an upward include passed"; exit 1; fi
rm "$tree/low/a.cpp"
echo '#include <windows.h>' >"$tree/low/c.cpp"
if python3 "$checker" "$tree" >/dev/null; then echo "a system header in a portable layer passed"; exit 1; fi
echo "check_layers: catches both faults"
