#!/usr/bin/env bash
# Quick format against its peers: wall time and bytes written for a 30 GiB card (FAT32) and a
# 1 TiB card (exFAT), formatted by brindlecard and, on images of the same size, by mkfs.fat -F 32
# and mkfs.exfat. Bytes written are the blocks the sparse image holds afterwards.
#
# Builds nothing: run `cmake --preset bench && cmake --build --preset bench` first.
#   bench/quick_format_bench.sh [BUILD_DIR]     (default build/bench; runs: BRC_BENCH_RUNS, 3)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/bench}
exe=$build/bin/brindlecard
runs=${BRC_BENCH_RUNS:-3}

if [[ ! -x $exe ]]; then
  echo "quick_format_bench: $exe not found; build the bench preset first:" >&2
  echo "  cmake --preset bench && cmake --build --preset bench" >&2
  exit 2
fi
for tool in mkfs.fat mkfs.exfat du truncate; do
  if ! command -v "$tool" >/dev/null; then
    echo "quick_format_bench: $tool is not installed" >&2
    exit 2
  fi
done

# Memory-backed scratch keeps the disk out of the figures where there is room for it.
scratch_parent=/tmp
if [[ -d /dev/shm && -w /dev/shm ]]; then scratch_parent=/dev/shm; fi
scratch=$(mktemp -d "$scratch_parent/brc-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
allocated() { du --block-size=1 "$1" | cut -f1; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
json_field() { sed -n "s/.*\"$1\":\"\{0,1\}\([^\",}]*\).*/\1/p"; }

printf '%-12s %-10s %-8s %12s %16s %10s\n' tool card "fs" "wall s" "bytes written" "MiB"

# bench_brindlecard NAME SIZE
bench_brindlecard() {
  local name=$1 size=$2 img=$scratch/$1.img times=() bytes fs out
  for ((i = 0; i < runs; ++i)); do
    rm -f "$img" "$img.card"
    "$exe" card create "$img" --size "$size" >/dev/null
    local t0 t1
    t0=$(now)
    out=$("$exe" format "$img" --yes --json 2>/dev/null)
    t1=$(now)
    if [[ $(json_field result <<<"$out") != 3 ]]; then
      echo "quick_format_bench: brindlecard format of $name failed: $out" >&2
      exit 1
    fi
    times+=("$(elapsed "$t0" "$t1")")
    fs=$(json_field fileSystem <<<"$out")
    bytes=$(allocated "$img")
  done
  rm -f "$img" "$img.card"
  report brindlecard "$name" "$fs" "$(printf '%s\n' "${times[@]}" | median)" "$bytes"
}

# bench_mkfs NAME SIZE FS COMMAND...
bench_mkfs() {
  local name=$1 size=$2 fs=$3 tool=$4 img=$scratch/$1-peer.img times=() bytes
  shift 3
  for ((i = 0; i < runs; ++i)); do
    rm -f "$img"
    truncate -s "$size" "$img"
    local t0 t1
    t0=$(now)
    "$@" "$img" >/dev/null 2>&1
    t1=$(now)
    times+=("$(elapsed "$t0" "$t1")")
    bytes=$(allocated "$img")
  done
  rm -f "$img"
  report "$tool" "$name" "$fs" "$(printf '%s\n' "${times[@]}" | median)" "$bytes"
}

report() {
  printf '%-12s %-10s %-8s %12s %16s %10.1f\n' "$1" "$2" "$3" "$4" "$5" \
    "$(awk -v b="$5" 'BEGIN { print b / 1048576 }')"
}

bench_brindlecard 30GiB 30G
bench_mkfs 30GiB 30G FAT32 mkfs.fat -F 32
bench_brindlecard 1TiB 1T
bench_mkfs 1TiB 1T exFAT mkfs.exfat

echo "scratch: $scratch_parent, median of $runs runs; bytes written = blocks the sparse image holds"
