#!/usr/bin/env bash
# The shape check must refuse a function over the hard limit and one long function too many, and
# pass three long functions, a long table and a long test.
set -euo pipefail
checker=$1
command -v ctags >/dev/null || { echo "skipped: Universal Ctags (ctags) is not installed"; exit 77; }
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/low" "$tree/tests"
echo 'set(BRC_LAYERS low)' >"$tree/CMakeLists.txt"

function_of() {  # name, body lines
  printf 'int %s(int x) {\n' "$1"
  for ((i = 0; i < $2; i++)); do echo '    x += 1;'; done
  printf '    return x;\n}\n'
}
for n in a b c; do function_of "$n" 70 >>"$tree/low/long.cpp"; done
{
  echo 'const int kTable[] = {'
  for ((i = 0; i < 150; i++)); do echo "    $i,"; done
  echo '};'
} >"$tree/low/table.cpp"
function_of longTest 150 >"$tree/tests/t.cpp"
python3 "$checker" "$tree" >/dev/null || { echo "a tree within the limits was refused"; exit 1; }

refused() {
  if python3 "$checker" "$tree" >/dev/null; then echo "$1 passed"; exit 1; fi
}
function_of d 70 >"$tree/low/fourth.cpp"
refused "a fourth function over 60 lines"
rm "$tree/low/fourth.cpp"
function_of e 110 >"$tree/low/huge.cpp"
rm "$tree/low/long.cpp"
refused "a function over 100 lines"
echo "check_shape: catches every fault"
