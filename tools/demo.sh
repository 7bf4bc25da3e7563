#!/usr/bin/env bash
# Sets up, builds, makes a fresh 32 GiB virtual card, shows its plan, formats it and prints the
# volume report.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target brindlecard
card=build/demo/card32g.img
mkdir -p build/demo
build/native/bin/brindlecard card create "$card" --size 32G --force
build/native/bin/brindlecard plan "$card" --label "BRINDLE"
echo
build/native/bin/brindlecard format "$card" --yes --label "BRINDLE"
