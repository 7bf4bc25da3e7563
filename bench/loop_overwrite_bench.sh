#!/usr/bin/env bash
# The overwrite of a real card's device against the plain speed of that device: a loop device over
# a file in tmpfs stands in for the card, so the figures measure our path (driver library,
# O_DIRECT transfers of 128 KiB, fsync), not a disk. Prints the overwrite pass's throughput next
# to `dd if=/dev/zero bs=128K oflag=direct` to the same device, and their ratio (median of runs).
# Needs root for the loop device.
#
#   bench/loop_overwrite_bench.sh [BUILD_DIR]   (default build/bench; size: BRC_BENCH_MIB, 1024;
#                                                 runs: BRC_BENCH_RUNS, 3)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/bench}
exe=$build/bin/brindlecard
mib=${BRC_BENCH_MIB:-1024}
runs=${BRC_BENCH_RUNS:-3}

[[ -x $exe ]] || { echo "loop_overwrite_bench: build the bench preset first ($exe)" >&2; exit 2; }
[[ $(id -u) -eq 0 ]] || { echo "loop_overwrite_bench: loop devices need root" >&2; exit 2; }
[[ -d /dev/shm && -w /dev/shm ]] || { echo "loop_overwrite_bench: no writable /dev/shm" >&2; exit 2; }

scratch=$(mktemp -d /dev/shm/brc-loop-bench.XXXXXX)
dev=
cleanup() {
  [[ -n $dev ]] && losetup -d "$dev"
  rm -rf "$scratch"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$scratch

truncate -s "${mib}M" "$scratch/card.img"
dev=$(losetup -f --show "$scratch/card.img")
bytes=$((mib << 20))

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
now() { date +%s.%N; }

ow=() dd=()
for ((i = 0; i < runs; ++i)); do
  json=$("$exe" format "$dev" --allow-loop --type overwrite --yes --json 2>/dev/null)
  ms=$(python3 -c 'import json,sys; d=json.loads(sys.argv[1]); assert d["outcome"]=="formatted", d; print(d["overwriteMs"])' "$json")
  ow+=("$(awk -v ms="$ms" 'BEGIN { printf "%.3f", ms / 1000 }')")
  t0=$(now)
  dd if=/dev/zero of="$dev" bs=128K count=$((bytes / 131072)) oflag=direct conv=fsync status=none
  t1=$(now)
  dd+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')")
done
ow_s=$(printf '%s\n' "${ow[@]}" | median)
dd_s=$(printf '%s\n' "${dd[@]}" | median)
mbps() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.1f", b / 1e6 / s }'; }
echo "Overwrite of a ${mib} MiB loop card over tmpfs (median of $runs runs)"
printf '  %-38s %8s s %10s MB/s\n' "format --type overwrite (pass only)" "$ow_s" "$(mbps "$ow_s")"
printf '  %-38s %8s s %10s MB/s\n' "dd bs=128K oflag=direct" "$dd_s" "$(mbps "$dd_s")"
awk -v a="$dd_s" -v b="$ow_s" 'BEGIN { printf "  overwrite / dd throughput ratio: %.2f\n", a / b }'
