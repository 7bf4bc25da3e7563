#!/usr/bin/env bash
# Sets up, builds both presets and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native
