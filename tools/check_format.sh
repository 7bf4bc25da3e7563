#!/usr/bin/env bash
# The product's C and C++ sources as the project's .clang-format lays them out: prints the files
# that drift from it and fails. The tests and generated tables are left as they are. The layout
# depends on clang-format's version, so only the version the tree was formatted with judges it.
#
#   tools/check_format.sh SOURCE_DIR [--fix]
set -euo pipefail

src=${1:?usage: check_format.sh SOURCE_DIR [--fix]}
tool=clang-format-14
command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }

cd "$src"
mapfile -t files < <(find app base bench check cli desktop device drivers engine exfat format os \
  passes platform progress res ui volume -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) \
  ! -path base/upcase_table.cpp | sort)

if [[ ${2:-} == --fix ]]; then
  "$tool" -i "${files[@]}"
  exit 0
fi
drift=()
for f in "${files[@]}"; do
  "$tool" --dry-run --Werror "$f" >/dev/null 2>&1 || drift+=("$f")
done
if ((${#drift[@]})); then
  echo "not laid out as .clang-format says (tools/check_format.sh . --fix):"
  printf '  %s\n' "${drift[@]}"
  exit 1
fi
echo "${#files[@]} files laid out as .clang-format says"
