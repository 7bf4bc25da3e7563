#!/usr/bin/env bash
# brindlecard probe against f3probe on the same emulated counterfeit cards, in one run,
# interleaved. Each card is a sparse image on this machine's disk (not tmpfs) served through the
# FUSE fault file (tests/support/fault_file.c) in its counterfeit mode (wraparound or limbo past
# the real part), under a loop device with direct I/O. Both probes run non-destructively (each
# saves what it writes over and puts it back); the card's content is compared before and after
# each of ours. Prints, per card and run: the verdict, the usable size and the time of each.
# Needs root (loop devices, FUSE) and f3probe (Debian's f3); nothing but the files it makes is
# written, and they are deleted.
#
#   bench/probe_bench.sh [BUILD_DIR]      (default build/bench; the fault file from it, else
#                                          from build/native)
#   BRC_BENCH_RUNS (2), BRC_BENCH_DIR (/var/tmp), BRC_BENCH_CARDS (a pattern of the card names
#   to run, all by default)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/bench}
exe=$build/bin/brindlecard
fault=$build/bin/fault_file
[[ -x $fault ]] || fault=$root/build/native/bin/fault_file
runs=${BRC_BENCH_RUNS:-2}
parent=${BRC_BENCH_DIR:-/var/tmp}

die() { echo "probe_bench: $*" >&2; exit 2; }
[[ -x $exe ]] || die "build the bench preset first ($exe)"
[[ -x $fault ]] || die "the FUSE fault file was not built (libfuse3's development files are missing)"
[[ $(id -u) -eq 0 ]] || die "loop devices and FUSE need root"
for tool in losetup f3probe mountpoint sha256sum python3; do
  command -v "$tool" >/dev/null || die "$tool is not installed (tools/setup.sh installs f3)"
done
[[ $(findmnt -n -o FSTYPE -T "$parent") != tmpfs ]] || die "$parent is tmpfs; give a directory on a disk"

scratch=$(mktemp -d "$parent/brc-probe-bench.XXXXXX")
# What our probe saves goes with the rest of the run's files, not into root's home.
export XDG_STATE_HOME=$scratch/state
# shellcheck source=../tests/support/fault_file.sh
source "$root/tests/support/fault_file.sh"
loop=
cleanup() {
  [[ -n $loop ]] && losetup -d "$loop" 2>/dev/null
  loop=
  fault_stop || true
  rm -rf "$scratch"
}
trap cleanup EXIT

GiB=$((1 << 30))
MiB=$((1 << 20))
# name, announced bytes, the fault file's counterfeit line (empty: genuine), real bytes, and
# what the card does besides: what a wraparound card spares of its start (bytes), or another
# line of the fault file (- for nothing); a card refusing writes past its real part is the
# fault file's write_error over all of it
cards=(
  "limbo-16G-holding-2G $((16 * GiB)) limbo $((2 * GiB))"
  "genuine-8G $((8 * GiB)) - $((8 * GiB))"
  "wraparound-8G-holding-512M $((8 * GiB)) wraparound $((512 * MiB))"
  "wraparound-4G-holding-4M $((4 * GiB)) wraparound $((4 * MiB))"
  "wrap-16G-2G-sparing-40M $((16 * GiB)) wraparound $((2 * GiB)) $((40 * MiB))"
  "limbo-8G-1G-reading-FF $((8 * GiB)) limbo $((1 * GiB)) lost_ones"
  "refusing-8G-past-1G $((8 * GiB)) write_error $((1 * GiB)) $((7 * GiB))"
)

now() { date +%s.%N; }
seconds() { python3 -c "print(f'{$2 - $1:.1f}')"; }
human() { python3 -c "b=$1; print(f'{b/2**30:.3f} GiB' if b >= 2**30 else f'{b/2**20:.1f} MiB')"; }

# The user's data over the card's first 8 MiB (the probes write over it and put it back).
user_data() { head -c $((8 * MiB)) /dev/urandom | dd of="$loop" bs=1M oflag=direct conv=fsync status=none; }

# One card: served, under a loop device; both probes in turn, $runs times.
bench_card() {
  local name=$1 announced=$2 kind=$3 real=$4 more=${5:-}
  local image=$scratch/$name.img
  truncate -s "$announced" "$image"
  fault_serve "$fault" "$image" || die "the fault file did not serve $image"
  if [[ $more =~ ^[0-9]+$ ]]; then
    fault_set "$kind $real $more"
  elif [[ $kind != - ]]; then
    fault_set "$kind $real" ${more:+"$more"}
  fi
  loop=$(losetup --direct-io=on -f --show "$mnt/card")
  user_data
  local run t0 t1 out before after
  for ((run = 1; run <= runs; run++)); do
    before=$(dd if="$loop" bs=1M count=64 iflag=direct status=none | sha256sum)
    t0=$(now)
    out=$("$exe" probe --allow-loop --json "$loop" || true)
    t1=$(now)
    after=$(dd if="$loop" bs=1M count=64 iflag=direct status=none | sha256sum)
    python3 - "$name" "$run" "$(seconds "$t0" "$t1")" "$real" "$out" "$([[ $before == "$after" ]] && echo same || echo CHANGED)" <<'EOF'
import json, sys
name, run, secs, real, out, content = sys.argv[1:7]
o = json.loads(out.splitlines()[-1])
usable = o["usableBytes"]
print(f"{name:28} run {run}  brindlecard  {o['verdict']:11} {o['kind']:10} usable {usable:>14,} B "
      f"({usable / int(real) * 100:6.2f} % of real)  {secs:>6} s  content {content}  "
      f"cache ruled out {o.get('cacheRuledOutBytes', 0) / 2**20:.0f} MiB")
EOF
    t0=$(now)
    out=$(f3probe --time-ops "$loop" 2>&1 || true)
    t1=$(now)
    python3 - "$name" "$run" "$(seconds "$t0" "$t1")" "$real" "$out" <<'EOF'
import re, sys
name, run, secs, real, out = sys.argv[1:6]
verdict = ("genuine" if "is the real thing" in out else "counterfeit" if "is a counterfeit" in out
           else "damaged" if "is damaged" in out else "?")
kind = re.search(r"counterfeit of type (\S+)", out)
m = re.search(r"Usable\*? size:\s*[\d.]+ \S+ \((\d+) blocks\)", out)
usable = int(m.group(1)) * 512 if m else 0
print(f"{name:28} run {run}  f3probe      {verdict:11} {kind.group(1) if kind else 'none':10} usable {usable:>14,} B "
      f"({usable / int(real) * 100:6.2f} % of real)  {secs:>6} s")
if verdict not in ("genuine", "counterfeit"):
    print("  f3probe said: " + " | ".join(l for l in out.strip().splitlines()[8:20] if l.strip()))
EOF
  done
  losetup -d "$loop"
  loop=
  fault_stop || true
  rm -f "$image"
}

echo "brindlecard probe and f3probe on emulated counterfeit cards (loop device, direct I/O, FUSE"
echo "file over a sparse image in $parent), $runs runs each, interleaved:"
for card in "${cards[@]}"; do
  [[ ${card%% *} =~ ${BRC_BENCH_CARDS:-.} ]] || continue
  # shellcheck disable=SC2086
  bench_card $card
done
