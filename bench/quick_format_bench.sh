#!/usr/bin/env bash
# Quick format against its peers on the same file system: CPU time (user + sys), wall time and
# bytes written by `brindlecard format IMG --yes --json` on fresh 64 GiB and 1 TiB cards (exFAT)
# and a fresh 30 GiB card (FAT32), next to mkfs.exfat / mkfs.fat -F 32 on an image the size of
# our partition. The peer gets the cluster size, FAT offset and data offset read from our boot
# sector, and its boot sector is checked against ours. Figures are medians of the runs; ratios
# are ours / peer. Bytes written are the blocks the sparse image holds afterwards (ours is the
# whole card, MBR and the area before the partition included; the peer's is the volume alone).
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
for tool in mkfs.fat mkfs.exfat du truncate od python3; do
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

allocated() { du --block-size=1 "$1" | cut -f1; }
json_field() { sed -n "s/.*\"$1\":\"\{0,1\}\([^\",}]*\).*/\1/p"; }
# le FILE BYTE WIDTH: the unsigned little-endian integer at that byte.
le() { od -An -v --endian=little -t "u$3" -j "$2" -N "$3" "$1" | tr -d ' \n'; }

# measure CMD...: runs CMD with its output in $scratch/out and $scratch/err; prints
# "wall user sys status". User and sys are the child's own rusage to the microsecond:
# /usr/bin/time rounds to 10 ms, which is the size of the smaller figures here.
measure() {
  python3 - "$scratch/out" "$scratch/err" "$@" <<'PY'
import os, sys, time
out, err, argv = sys.argv[1], sys.argv[2], sys.argv[3:]
flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC
actions = [(os.POSIX_SPAWN_OPEN, 1, out, flags, 0o644), (os.POSIX_SPAWN_OPEN, 2, err, flags, 0o644)]
t0 = time.perf_counter()
pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=actions)
_, status, ru = os.wait4(pid, 0)
wall = time.perf_counter() - t0
print(f"{wall:.6f} {ru.ru_utime:.6f} {ru.ru_stime:.6f} {os.waitstatus_to_exitcode(status)}")
PY
}

# summarize: reads "wall user sys" lines, prints "wall cpu user sys": the median wall, and the
# run whose user + sys is the median.
summarize() {
  awk '{ w[NR] = $1; c[NR] = $2 + $3; u[NR] = $2; s[NR] = $3 }
       END {
         n = NR; for (i = 1; i <= n; ++i) { wi[i] = w[i]; ci[i] = i }
         for (i = 2; i <= n; ++i) for (j = i; j > 1 && wi[j - 1] > wi[j]; --j) { t = wi[j]; wi[j] = wi[j - 1]; wi[j - 1] = t }
         for (i = 2; i <= n; ++i) for (j = i; j > 1 && c[ci[j - 1]] > c[ci[j]]; --j) { t = ci[j]; ci[j] = ci[j - 1]; ci[j - 1] = t }
         m = int((n + 1) / 2); k = ci[m]
         printf "%.6f %.6f %.6f %.6f\n", wi[m], c[k], u[k], s[k]
       }'
}

# Boot-sector fields of the volume starting at sector START of FILE, as "key=value" words.
# exFAT and FAT32 share the keys the peers are matched on: clusterSectors, fatOffset, dataOffset.
exfat_fields() {
  local f=$1 b=$(($2 * 512))
  echo "volumeSectors=$(le "$f" $((b + 72)) 8) clusterSectors=$((1 << $(le "$f" $((b + 109)) 1)))" \
       "fatOffset=$(le "$f" $((b + 80)) 4) dataOffset=$(le "$f" $((b + 88)) 4)" \
       "clusterCount=$(le "$f" $((b + 92)) 4) fats=$(le "$f" $((b + 110)) 1)" \
       "fatSectors=$(le "$f" $((b + 84)) 4)"
}
fat32_fields() {
  local f=$1 b=$(($2 * 512)) reserved fats fatsz
  reserved=$(le "$f" $((b + 14)) 2) fats=$(le "$f" $((b + 16)) 1) fatsz=$(le "$f" $((b + 36)) 4)
  echo "volumeSectors=$(le "$f" $((b + 32)) 4) clusterSectors=$(le "$f" $((b + 13)) 1)" \
       "fatOffset=$reserved dataOffset=$((reserved + fats * fatsz)) fats=$fats fatSectors=$fatsz" \
       "heads=$(le "$f" $((b + 26)) 2) sectorsPerTrack=$(le "$f" $((b + 24)) 2)"
}
field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }

results=() ratios=() checks=()

# bench_case NAME SIZE FS: ours on a fresh card of SIZE, then the peer on a fresh image the size
# of our partition with options from our boot sector.
bench_case() {
  local name=$1 size=$2 fs=$3 img=$scratch/card.img peer_img=$scratch/volume.img
  local samples=() out m start length ours_bytes ours theirs peer_bytes peer_cmd
  for ((i = 0; i < runs; ++i)); do
    rm -f "$img" "$img.card"
    "$exe" card create "$img" --size "$size" >/dev/null
    read -ra m <<<"$(measure "$exe" format "$img" --yes --json)"
    out=$(<"$scratch/out")
    if [[ ${m[3]} != 0 || $(json_field result <<<"$out") != 3 ||
          $(json_field fileSystem <<<"$out") != "$fs" ]]; then
      echo "quick_format_bench: brindlecard format of $name failed (exit ${m[3]}): $out" >&2
      cat "$scratch/err" >&2
      exit 1
    fi
    samples+=("${m[*]:0:3}")
  done
  ours_bytes=$(allocated "$img")
  # The partition from the MBR's first entry; the volume's layout from its boot sector.
  start=$(le "$img" $((446 + 8)) 4)
  length=$(le "$img" $((446 + 12)) 4)
  if [[ $fs == exFAT ]]; then ours=$(exfat_fields "$img" "$start"); else ours=$(fat32_fields "$img" "$start"); fi
  rm -f "$img" "$img.card"
  results+=("$name $fs brindlecard $(printf '%s\n' "${samples[@]}" | summarize) $ours_bytes")

  if [[ $fs == exFAT ]]; then
    # mkfs.exfat puts the FAT at the first boundary past the boot regions and the heap at the
    # first boundary past the FAT; a boundary of our FAT offset lands both where ours are.
    peer_cmd=(mkfs.exfat -c "$(($(field "$ours" clusterSectors) * 512))"
              -b "$(($(field "$ours" fatOffset) * 512))")
  else
    # -a: no alignment of its own, so the reserved sectors and the FAT size stay as computed.
    peer_cmd=(mkfs.fat -F 32 -S 512 -a -s "$(field "$ours" clusterSectors)"
              -R "$(field "$ours" fatOffset)" -f "$(field "$ours" fats)" -h "$start"
              -g "$(field "$ours" heads)/$(field "$ours" sectorsPerTrack)")
  fi
  samples=()
  for ((i = 0; i < runs; ++i)); do
    rm -f "$peer_img"
    truncate -s $((length * 512)) "$peer_img"
    read -ra m <<<"$(measure "${peer_cmd[@]}" "$peer_img")"
    if [[ ${m[3]} != 0 ]]; then
      echo "quick_format_bench: ${peer_cmd[*]} failed (exit ${m[3]}):" >&2
      cat "$scratch/out" "$scratch/err" >&2
      exit 1
    fi
    samples+=("${m[*]:0:3}")
  done
  peer_bytes=$(allocated "$peer_img")
  if [[ $fs == exFAT ]]; then theirs=$(exfat_fields "$peer_img" 0); else theirs=$(fat32_fields "$peer_img" 0); fi
  rm -f "$peer_img"
  results+=("$name $fs ${peer_cmd[0]} $(printf '%s\n' "${samples[@]}" | summarize) $peer_bytes")

  # exFAT's FAT length is left out: mkfs.exfat sizes it to the clusters and takes no option for it.
  local keys=(volumeSectors clusterSectors fatOffset dataOffset) k bad=()
  if [[ $fs == exFAT ]]; then keys+=(clusterCount fats); else keys+=(fats fatSectors); fi
  for k in "${keys[@]}"; do
    local a b
    a=$(field "$ours" "$k") b=$(field "$theirs" "$k")
    [[ $a == "$b" ]] || bad+=("$k ours $a peer $b")
  done
  local what="cluster $(field "$ours" clusterSectors) sectors, FAT at $(field "$ours" fatOffset)"
  what+=" ($(field "$ours" fatSectors) sectors; peer $(field "$theirs" fatSectors)), data at $(field "$ours" dataOffset)"
  if ((${#bad[@]})); then
    local joined
    joined=$(printf '%s; ' "${bad[@]}")
    checks+=("$name $fs: MISMATCH with ${peer_cmd[*]}: ${joined%; }")
    echo "quick_format_bench: MISMATCH on $name: ${joined%; }" >&2
  else
    checks+=("$name $fs: ${peer_cmd[*]} matches: $what")
  fi
}

bench_case 64GiB 64G exFAT
bench_case 1TiB 1T exFAT
bench_case 30GiB 30G FAT32

echo "Quick format: median of $runs runs on fresh sparse images in $scratch_parent"
printf '%-6s %-6s %-12s %9s %9s %9s %9s %14s %9s\n' card fs tool "wall s" "cpu s" "user s" "sys s" \
  "bytes written" MiB
for r in "${results[@]}"; do
  read -r name fs tool wall cpu user sys bytes <<<"$r"
  printf '%-6s %-6s %-12s %9.4f %9.4f %9.4f %9.4f %14d %9.1f\n' "$name" "$fs" "$tool" "$wall" "$cpu" \
    "$user" "$sys" "$bytes" "$(awk -v b="$bytes" 'BEGIN { print b / 1048576 }')"
done
echo "(cpu = user + sys, exact; the split between user and sys is the kernel's tick sampling)"
echo
echo "Peer layout (sectors of 512 bytes, from the boot sectors):"
printf '  %s\n' "${checks[@]}"
echo
echo "Ratios, brindlecard / peer (above 1: ours takes longer or writes more):"
printf '  %-28s %8s %8s %8s\n' "" cpu wall bytes
for ((i = 0; i < ${#results[@]}; i += 2)); do
  read -r name fs _ wall cpu _ _ bytes <<<"${results[i]}"
  read -r _ _ tool pwall pcpu _ _ pbytes <<<"${results[i + 1]}"
  awk -v l="$name $fs vs $tool" -v c="$cpu" -v pc="$pcpu" -v w="$wall" -v pw="$pwall" \
      -v b="$bytes" -v pb="$pbytes" '
    function r(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "n/a" }
    BEGIN { printf "  %-28s %8s %8s %8s\n", l, r(c, pc), r(w, pw), r(b, pb) }'
done
