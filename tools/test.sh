#!/usr/bin/env bash
# Sets up, builds the Windows (64- and 32-bit) and Linux presets and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native
