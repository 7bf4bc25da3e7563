#!/usr/bin/env bash
# The translation check must fail on a table that lacks a message, still carries the translation
# of an original that has since changed, drops a blank the original ends with, or keeps a
# Russian word; on a library whose compiled dialog has a control outside its bounds; and on a
# table that moves a control by an id no control has. It must pass on the tables as they are.
#   check_languages_selftest.sh SOURCE_DIR WINDRES INCLUDE_DIR...
set -euo pipefail
source_dir=$1
windres=$2
shift 2
checker=$source_dir/tools/check_languages.py
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$source_dir/res" "$work/res"
table=$work/res/lang/ja.txt
check() { python3 "$checker" "$windres" "$work/res" "$table" -- "$@" >"$work/out" 2>&1; }
check "$@" || { cat "$work/out"; echo "the tables as they are were refused"; exit 1; }

refused() {  # refused WHAT EXPECTED-TEXT: the check must fail and say why
  if check "${includes[@]}"; then echo "$1 passed"; exit 1; fi
  grep -q "$2" "$work/out" || { cat "$work/out"; echo "$1: the check did not say '$2'"; exit 1; }
  cp "$work/saved" "$table"
}
includes=("$@")
cp "$table" "$work/saved"
sed -i '/^208 ru/,+1d' "$table"
refused "a missing message" "message 208 is not translated"
sed -i 's/^208 ru "Форматирование диска закончено!"/208 ru "Форматирование закончено!"/' "$table"
refused "a stale original" "message 208 was translated from"
sed -i 's/^    tr "消去 "$/    tr "消去"/' "$table"
refused "a lost end blank" "message 244: blanks at the ends"
sed -i 's/^       tr "容量:"$/       tr "Размер:"/' "$table"
refused "a Russian word left" "still has Cyrillic text"
if [ -n "$windres" ] && command -v "$windres" >/dev/null; then
  echo "place 102 1001 230 161 50 14" >>"$table"
  refused "a control moved out of its dialog" "control 1001 lies outside the dialog"
  echo "place IDD_BRINDLECARD IDC_LABEL 7 97 70 8" >>"$table"
  refused "a control moved by a name no control has" "no such control"
fi
echo "the translation check refuses every fault it was shown"
