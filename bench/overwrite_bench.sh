#!/usr/bin/env bash
# Full-format passes against the plain speed of the medium:
#   - the overwrite of a 4 GiB virtual card (0xFF in 128 KiB chunks through the driver library),
#     next to `dd if=/dev/zero bs=128K` of the same size to the same place, as MB/s and a ratio;
#   - the wall time of a flash erase of a 1 TiB virtual card (8192-sector DDErase chunks).
# Images live in /dev/shm when it is writable, so the figures measure the code, not a disk.
#
# Builds nothing: run first
#   cmake --preset bench && cmake --build --preset bench --target overwrite_bench
# then
#   bench/overwrite_bench.sh [BUILD_DIR]     (default build/bench; runs: BRC_BENCH_RUNS, 3)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/bench}
exe=$build/bin/overwrite_bench
runs=${BRC_BENCH_RUNS:-3}

if [[ ! -x $exe ]]; then
  echo "overwrite_bench: $exe not found; build the bench preset first:" >&2
  echo "  cmake --preset bench && cmake --build --preset bench --target overwrite_bench" >&2
  exit 2
fi

scratch_parent=/tmp
if [[ -d /dev/shm && -w /dev/shm ]]; then scratch_parent=/dev/shm; fi
scratch=$(mktemp -d "$scratch_parent/brc-overwrite-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

overwrite_bytes=$((4 << 30))
overwrite_sectors=$((overwrite_bytes / 512))
erase_sectors=$(((1 << 40) / 512))

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p"; }
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / 1e6 / s }'; }

# run_pass MODE SECTORS IMAGE: one run of the program; prints its wall seconds.
run_pass() {
  local out
  if ! out=$("$exe" "$1" "$3" "$2"); then
    echo "overwrite_bench: the $1 pass failed: $out" >&2
    exit 1
  fi
  field seconds <<<"$out"
}

# The overwrite must leave 0xFF behind sector 0; a sample of the card is checked on every run.
check_overwritten() {
  local left
  left=$(head -c $((256 << 20)) "$1" | tail -c +513 | tr -d '\377' | wc -c)
  if [[ $left != 0 ]]; then
    echo "overwrite_bench: $left bytes after sector 0 are not 0xFF" >&2
    exit 1
  fi
}

echo "Overwrite of a ${overwrite_bytes}-byte virtual card in $scratch_parent (median of $runs runs)"
ow_times=() dd_times=()
for ((i = 0; i < runs; ++i)); do
  img=$scratch/card.img
  ow_times+=("$(run_pass overwrite "$overwrite_sectors" "$img")")
  check_overwritten "$img"
  rm -f "$img"

  # dd into a fresh sparse file of the same size, as the card image is before the pass.
  truncate -s "$overwrite_bytes" "$img"
  t0=$(now)
  dd if=/dev/zero of="$img" bs=128K count=$((overwrite_bytes / 131072)) conv=notrunc,fsync status=none
  t1=$(now)
  dd_times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')")
  rm -f "$img"
done
ow=$(printf '%s\n' "${ow_times[@]}" | median)
dd=$(printf '%s\n' "${dd_times[@]}" | median)
ow_mbps=$(mbps "$overwrite_bytes" "$ow")
dd_mbps=$(mbps "$overwrite_bytes" "$dd")
printf '  %-28s %8s s %10s MB/s\n' "overwriteCard (0xFF, 128K)" "$ow" "$ow_mbps"
printf '  %-28s %8s s %10s MB/s\n' "dd if=/dev/zero bs=128K" "$dd" "$dd_mbps"
awk -v a="$ow_mbps" -v b="$dd_mbps" 'BEGIN { printf "  overwrite / dd throughput ratio: %.2f\n", a / b }'

echo "Flash erase of a 1 TiB virtual card (${erase_sectors} sectors, median of $runs runs)"
er_times=()
for ((i = 0; i < runs; ++i)); do
  img=$scratch/erase.img
  er_times+=("$(run_pass erase "$erase_sectors" "$img")")
  rm -f "$img"
done
printf '  %-28s %8s s\n' "eraseFlash (8192-sector)" "$(printf '%s\n' "${er_times[@]}" | median)"
