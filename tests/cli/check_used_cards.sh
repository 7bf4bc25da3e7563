#!/usr/bin/env bash
# A card in use still follows the layout rules: files in its root directory, and on FAT32 a root
# directory grown past its first cluster, are no deviation. Files are written with mtools, as
# a host would.
#
#   tests/cli/check_used_cards.sh BRINDLECARD
set -u

exe=$(readlink -f "${1:?usage: check_used_cards.sh BRINDLECARD}")
for tool in mcopy; do
    command -v "$tool" >/dev/null || { echo "skip: $tool is not installed"; exit 77; }
done
scratch=$(mktemp -d "${TMPDIR:-/tmp}/brc-used.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
unset BRINDLECARD_CARDS
export MTOOLS_SKIP_CHECK=1 LANG=C
# The messages quoted below are the command's own (Russian) texts.
unset LC_ALL LANGUAGE
export LC_MESSAGES=ru_RU.UTF-8

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# used SIZE FILES: a card of SIZE formatted, FILES files with long names copied into its root.
for size_files in 256M:100 8G:400; do
    size=${size_files%%:*} files=${size_files#*:}
    rm -f card.img card.img.card
    "$exe" card create card.img --size "$size" >/dev/null && "$exe" format card.img --yes >/dev/null 2>&1 ||
        { fail "$size: cannot make a formatted card"; continue; }
    start=$(od -An -tu4 -j 454 -N 4 card.img | tr -d ' ')
    mkdir -p files && rm -f files/*
    for ((i = 0; i < files; i++)); do echo "file $i" >"files/a file with a long name number $i.txt"; done
    mcopy -i "card.img@@$((start * 512))" files/* ::/ || { fail "$size: mcopy"; continue; }
    if said=$("$exe" check card.img 2>&1); then
        echo "ok: $size card with $files files: $(head -n 1 <<<"$said")"
    else
        fail "$size card with $files files: $said"
    fi
done

[ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $((failures != 0))
