#!/usr/bin/env bash
# Brindlecard on a card's device against the tools a user would compare it with, on the same
# device, in one run, interleaved: loop devices with direct I/O over files on this machine's disk
# (not tmpfs, which has no latency) stand in for cards. Prints, as medians of the runs:
#   - the overwrite's throughput against `dd if=/dev/zero bs=4M oflag=direct conv=fsync`;
#   - quick formats of a 64 GiB exFAT and a 32 GiB FAT32 card against mkfs.exfat / mkfs.fat with
#     the cluster size, alignment and reserved area read from our boot sector, followed by sync;
#   - the erase against blkdiscard of the whole device;
#   - N cards formatted (overwrite) by one command against each of them alone, over files on the
#     one disk (they share its bandwidth), and again with each card held to its own speed by the
#     block I/O controller, as separate cards in separate readers are; every card is then
#     checked by `brindlecard check` and fsck.
# The tmpfs figures of bench/loop_overwrite_bench.sh are printed last, labelled as such.
# Needs root (loop devices); runs a few minutes. Nothing but the files it makes is written.
#
#   bench/device_bench.sh [BUILD_DIR]      (default build/bench)
#   BRC_BENCH_RUNS (3), BRC_BENCH_MIB (3072: overwrite and erase card), BRC_BENCH_CARDS (4),
#   BRC_BENCH_MANY_MIB (1024: each of the cards together), BRC_BENCH_CARD_MBPS (40: the speed a
#   held card is given), BRC_BENCH_SLOW_MIB (256: each held card), BRC_BENCH_DIR (/var/tmp)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/bench}
exe=$build/bin/brindlecard
runs=${BRC_BENCH_RUNS:-3}
mib=${BRC_BENCH_MIB:-3072}
cards=${BRC_BENCH_CARDS:-4}
many_mib=${BRC_BENCH_MANY_MIB:-1024}
card_mbps=${BRC_BENCH_CARD_MBPS:-40}
slow_mib=${BRC_BENCH_SLOW_MIB:-256}
parent=${BRC_BENCH_DIR:-/var/tmp}

die() { echo "device_bench: $*" >&2; exit 2; }
[[ -x $exe ]] || die "build the bench preset first ($exe)"
[[ $(id -u) -eq 0 ]] || die "loop devices need root"
for tool in losetup dd mkfs.exfat mkfs.fat fsck.exfat fsck.fat blkdiscard python3 sync; do
  command -v "$tool" >/dev/null || die "$tool is not installed"
done
[[ $(findmnt -n -o FSTYPE -T "$parent") != tmpfs ]] || die "$parent is tmpfs; give a directory on a disk"

scratch=$(mktemp -d "$parent/brc-device-bench.XXXXXX")
devices=()
cgroup=
cleanup() {
  local d
  for d in "${devices[@]}"; do losetup -d "$d" 2>/dev/null || true; done
  if [[ -n $cgroup && -d $cgroup ]]; then
    while read -r pid; do echo "$pid" >/sys/fs/cgroup/blkio/cgroup.procs 2>/dev/null || true; done \
      <"$cgroup/cgroup.procs"
    rmdir "$cgroup" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$scratch

# loop_card VAR NAME MIB: a fresh sparse file on the disk behind a direct-I/O loop device, whose
# path goes into VAR.
loop_card() {
  truncate -s "$3M" "$scratch/$2.img"
  local dev
  dev=$(losetup -f --show --direct-io=on "$scratch/$2.img") || die "cannot attach a loop device"
  devices+=("$dev")
  printf -v "$1" %s "$dev"
}

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.4f", b - a }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
json_number() { python3 -c 'import json,sys; d=json.loads(sys.argv[1]); assert d["outcome"]=="formatted", d; print(d[sys.argv[2]])' "$1" "$2"; }
le() { od -An -v --endian=little -t "u$3" -j "$2" -N "$3" "$1" | tr -d ' \n'; }

# ours DEV TYPE: one format, its wall time (whole command) in $wall and its JSON in $json.
ours() {
  local t0
  t0=$(now)
  json=$("$exe" format "$1" --allow-loop --type "$2" --yes --json 2>"$scratch/err") ||
    { cat "$scratch/err" >&2; die "format of $1 failed: $json"; }
  wall=$(elapsed "$t0")
}

# fsck_card DEV: the file system of the card's first partition, read-only, by its own checker.
fsck_card() {
  local start type part rc=0
  dd if="$1" of="$scratch/mbr" bs=512 count=1 status=none
  start=$(le "$scratch/mbr" $((446 + 8)) 4) type=$(le "$scratch/mbr" $((446 + 4)) 1)
  part=$(losetup -f --show -r -o $((start * 512)) "$1") || return 1
  if ((type == 7)); then fsck.exfat -n "$part" >/dev/null 2>&1 || rc=$?
  else fsck.fat -n "$part" >/dev/null 2>&1 || rc=$?; fi
  losetup -d "$part"
  return "$rc"
}

# Boot-sector fields the peers are given, from the volume at sector START of DEV.
peer_of() {
  local dev=$1 fs=$2 b
  dd if="$dev" of="$scratch/boot" bs=512 count=1 skip="$(le "$scratch/mbr" $((446 + 8)) 4)" status=none
  if [[ $fs == exFAT ]]; then
    echo "mkfs.exfat -c $((512 << $(le "$scratch/boot" 109 1))) -b $(($(le "$scratch/boot" 80 4) * 512))"
  else
    echo "mkfs.fat -F 32 -S 512 -a -s $(le "$scratch/boot" 13 1) -R $(le "$scratch/boot" 14 2)" \
         "-f $(le "$scratch/boot" 16 1)"
  fi
}

loop_card ow_dev overwrite "$mib"
loop_card ex_dev exfat $((64 << 10))
# A "32 GB" card: SDHC, FAT32, about the 31.9 GB such cards hold.
loop_card f32_dev fat32 30406
bytes=$((mib << 20))
echo "device_bench: $(uname -r), $(nproc) CPUs; loop devices with direct I/O over files in $parent" \
     "($(findmnt -n -o SOURCE,FSTYPE -T "$parent"))"

declare -A t peers
add() { t[$1]+="$2 "; }
for ((r = 0; r < runs; ++r)); do
  ours "$ow_dev" overwrite
  add ow_pass "$(awk -v ms="$(json_number "$json" overwriteMs)" 'BEGIN { printf "%.4f", ms / 1000 }')"
  add ow_wall "$wall"
  t0=$(now)
  dd if=/dev/zero of="$ow_dev" bs=4M count=$((bytes >> 22)) oflag=direct conv=fsync status=none
  add dd "$(elapsed "$t0")"

  for fs in exFAT FAT32; do
    dev=$ex_dev key=ex
    [[ $fs == FAT32 ]] && dev=$f32_dev key=f32
    ours "$dev" quick
    [[ $(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["fileSystem"])' "$json") == "$fs" ]] ||
      die "$dev: expected $fs: $json"
    add "$key" "$wall"
    dd if="$dev" of="$scratch/mbr" bs=512 count=1 status=none
    read -ra peer <<<"$(peer_of "$dev" "$fs")"
    t0=$(now)
    "${peer[@]}" "$dev" >/dev/null 2>&1 || die "${peer[*]} $dev failed"
    sync
    add "${key}_peer" "$(elapsed "$t0")"
    peers[$key]="${peer[*]}"
  done

  # Both erases start from a card full of data (dd's, then the refill): on a file-backed device
  # freeing written blocks is the work, and an empty one would cost nothing.
  ours "$ow_dev" erase
  add erase "$(awk -v ms="$(json_number "$json" eraseMs)" 'BEGIN { printf "%.4f", ms / 1000 }')"
  dd if=/dev/zero of="$ow_dev" bs=4M count=$((bytes >> 22)) oflag=direct conv=fsync status=none
  t0=$(now)
  blkdiscard -f "$ow_dev" 2>/dev/null
  add blkdiscard "$(elapsed "$t0")"
done
med() { tr ' ' '\n' <<<"${t[$1]}" | sed '/^$/d' | median; }
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.0f", b / 1048576 / s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo
echo "On the disk, median of $runs interleaved runs:"
printf '  %-52s %9s s %7s MiB/s\n' "overwrite of $mib MiB, the pass (its report's time)" "$(med ow_pass)" \
  "$(mbps $bytes "$(med ow_pass)")"
printf '  %-52s %9s s\n' "  the whole command (quick format and flush included)" "$(med ow_wall)"
printf '  %-52s %9s s %7s MiB/s\n' "dd bs=4M oflag=direct conv=fsync" "$(med dd)" "$(mbps $bytes "$(med dd)")"
echo "  overwrite throughput / dd: $(ratio "$(med dd)" "$(med ow_pass)")"
printf '  %-52s %9s s\n' "quick format, 64 GiB exFAT (whole command)" "$(med ex)"
printf '  %-52s %9s s\n' "${peers[ex]} + sync" "$(med ex_peer)"
echo "  quick exFAT time / mkfs.exfat: $(ratio "$(med ex)" "$(med ex_peer)")"
printf '  %-52s %9s s\n' "quick format, 32 GB FAT32 (whole command)" "$(med f32)"
printf '  %-52s %9s s\n' "${peers[f32]} + sync" "$(med f32_peer)"
echo "  quick FAT32 time / mkfs.fat: $(ratio "$(med f32)" "$(med f32_peer)")"
printf '  %-52s %9s s\n' "erase of $mib MiB (its report's time)" "$(med erase)"
printf '  %-52s %9s s\n' "blkdiscard" "$(med blkdiscard)"
echo "  erase time / blkdiscard: $(ratio "$(med erase)" "$(med blkdiscard)")"

# many_cards LABEL MIB [RUNNER...]: each card alone, then all together in one command; RUNNER
# runs each command (in a held cgroup, or plainly).
many_cards() {
  local label=$1 size=$2
  shift 2
  local devs=() alone=() i d t0 slowest together bad=0
  for ((i = 0; i < cards; ++i)); do
    loop_card d "$label$i" "$size"
    devs+=("$d")
  done
  for d in "${devs[@]}"; do
    t0=$(now)
    "$@" "$exe" format "$d" --allow-loop --type overwrite --yes --json >/dev/null 2>&1 ||
      die "format of $d alone failed"
    alone+=("$(elapsed "$t0")")
  done
  slowest=$(printf '%s\n' "${alone[@]}" | sort -g | tail -1)
  t0=$(now)
  "$@" "$exe" format "${devs[@]}" --allow-loop --type overwrite --yes --json >"$scratch/many" 2>&1 ||
    { cat "$scratch/many" >&2; die "the $cards cards together failed"; }
  together=$(elapsed "$t0")
  for d in "${devs[@]}"; do
    "$exe" check "$d" --allow-loop >/dev/null 2>&1 || { echo "  $d: check FAILED"; bad=1; }
    fsck_card "$d" || { echo "  $d: fsck FAILED"; bad=1; }
  done
  printf '  %-52s %9s s (%s)\n' "each alone, slowest" "$slowest" "$(printf '%s ' "${alone[@]}")"
  printf '  %-52s %9s s\n' "all $cards in one command" "$together"
  echo "  together / slowest alone: $(ratio "$together" "$slowest");" \
       "$( ((bad)) && echo "SOME CARD FAILED its check" || echo "every card passes check and fsck")"
  for d in "${devs[@]}"; do losetup -d "$d"; done
  devices=("$ow_dev" "$ex_dev" "$f32_dev")
  rm -f "$scratch/$label"*.img
}

echo
echo "$cards cards of $many_mib MiB over files on the one disk, overwrite (they share its bandwidth):"
many_cards shared "$many_mib"

# Held to their own speed: the block I/O controller limits each loop device's writes, as a
# card's own speed limits it in its reader.
blkio=/sys/fs/cgroup/blkio
echo
if [[ -w $blkio ]] && mkdir "$blkio/brc-device-bench.$$" 2>/dev/null; then
  cgroup=$blkio/brc-device-bench.$$
  held() { sh -c 'echo $$ > "$1/cgroup.procs" && shift && exec "$@"' held "$cgroup" "$@"; }
  # Each card's limit is set once its device exists, before the command that writes it.
  held_limited() {
    local d
    for d in "${devices[@]}"; do
      [[ -b $d ]] || continue
      echo "$((16#$(stat -c %t "$d"))):$((16#$(stat -c %T "$d"))) $((card_mbps * 1000000))" \
        >"$cgroup/blkio.throttle.write_bps_device"
    done
    held "$@"
  }
  echo "$cards cards of $slow_mib MiB, each held to $card_mbps MB/s, overwrite:"
  many_cards held "$slow_mib" held_limited
else
  echo "(no writable blkio controller: the cards at their own speed are skipped)"
fi

echo
echo "tmpfs (no latency: our own path's cost, not a device's):"
BRC_BENCH_MIB=1024 BRC_BENCH_RUNS=$runs bash "$root/bench/loop_overwrite_bench.sh" "$build" |
  sed 's/^/  /'
