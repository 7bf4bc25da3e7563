#!/usr/bin/env bash
# Cards that fail in the ways real ones do, and what the command makes of them: a format whose
# writes fail must end "failed" (status 1, one sentence), never "formatted"; and `check`, asked
# afterwards with the faults gone, must tell the truth about what reached the card, including
# writes the card acknowledged and lost, and reads that come back wrong. The card is a loop
# device with direct I/O over a FUSE file (tests/support/fault_file.c) steered by a control file.
#
# Needs root, FUSE, loop devices and the fault file (built where libfuse3 is); exits 77
# (skipped) without them. The loop device, the mount and the files go again on every way out.
#
#   tests/drivers/faulty_card.sh BRINDLECARD FAULT_FILE
set -u

exe=$(readlink -f "${1:?usage: faulty_card.sh BRINDLECARD FAULT_FILE}")
fault=${2:-}
skip() {
    echo "skip: $*"
    exit 77
}

scratch=$(mktemp -d "${TMPDIR:-/var/tmp}"/brc-faulty-card.XXXXXX) || exit 1
. "$(dirname "$0")/../support/fault_file.sh"
fault_loop_card_needs "$fault" python3
loop=
export XDG_RUNTIME_DIR=$scratch
unset BRINDLECARD_CARDS BRINDLECARD_TEST_SYSFS BRINDLECARD_TEST_MOUNTINFO BRINDLECARD_TEST_SWAPS
export LC_ALL=C

set_faults() { fault_set "$@"; }
cleanup() {
    [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
    fault_stop
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# field JSON KEY: one value of a one-line JSON object.
field() { python3 -c 'import json, sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2" 2>/dev/null; }

# The card: 256 MiB (FAT16), served by the fault file, under a loop device that bypasses the
# page cache, so that every read and write reaches the fault file.
truncate -s 256M "$scratch/image" || exit 1
fault_serve "$fault" "$scratch/image" || skip "the FUSE file could not be mounted"
loop=$(losetup -f --show --direct-io=on "$mnt/card") || skip "no loop device over the FUSE file"
[ "$(cat "/sys/block/${loop#/dev/}/loop/dio" 2>/dev/null)" = 1 ] ||
    echo "note: $loop runs without direct I/O; the page cache stands between it and the card"

plan=$("$exe" plan "$loop" --allow-loop --json) || { fail "plan: $plan"; exit 1; }
boot=$(($(field "$plan" partitionStart) * 512))
fat=$((boot + $(field "$plan" reservedSectors) * 512))
fat_bytes=$(($(field "$plan" fatSectors) * 512))
[ "$boot" -gt 0 ] && [ "$fat_bytes" -gt 0 ] || { fail "plan without a layout: $plan"; exit 1; }

# blank: the card's bytes all zero again, with no fault in the way.
blank() {
    set_faults ""
    dd if=/dev/zero of="$loop" bs=1M count=8 oflag=direct status=none
    blockdev --flushbufs "$loop" 2>/dev/null
}

# checked NAME WANT: `check` of the card, with the faults still as set, exits WANT (0: it
# follows the rules, 1: it does not).
checked() {
    local name=$1 want=$2 out code
    out=$("$exe" check "$loop" --allow-loop --json 2>&1)
    code=$?
    if [ "$code" = "$want" ]; then
        echo "ok: $name: check says $([ "$want" = 0 ] && echo it conforms || echo it does not)"
    else
        fail "$name: check exits $code, not $want: $out"
    fi
}

# fails NAME TYPE FAULT...: a format of TYPE under FAULT... ends failed, status 1, one sentence on
# stderr; afterwards, with the faults gone, check says the card does not follow the rules.
fails() {
    local name=$1 type=$2 out code
    shift 2
    blank
    set_faults "$@"
    out=$("$exe" format "$loop" --allow-loop --type "$type" --yes 2>"$scratch/err")
    code=$?
    if [ "$code" != 1 ]; then
        fail "$name: format exits $code, not 1: $(cat "$scratch/err")"
    elif grep -q "format complete" <<<"$out"; then
        fail "$name: a format whose writes failed says it is complete: $out"
    elif [ "$(grep -c '^brindlecard:' "$scratch/err")" -ne 1 ]; then
        fail "$name: not one sentence on stderr: $(cat "$scratch/err")"
    else
        echo "ok: $name: $(grep "^brindlecard:" "$scratch/err")"
    fi
    set_faults ""
    checked "$name" 1
}

fails "write error on the boot sector" quick "error $boot 512"
fails "write error in the FAT" quick "error $((fat + 4096)) 512"
fails "writes fail after the first 4 KiB" quick "fail_after 4096"
fails "write error in the data area while overwriting" overwrite "error $((64 << 20)) 4096"
fails "writes fail half way through an overwrite" overwrite "fail_after $((128 << 20))"

# Writes the card acknowledged and lost: the format cannot know, but check must find the FAT's
# first sector missing.
blank
set_faults "drop $fat 512"
"$exe" format "$loop" --allow-loop --yes >/dev/null 2>"$scratch/err" || fail "format with dropped writes: $(cat "$scratch/err")"
set_faults ""
checked "a FAT sector lost by the card" 1

# A good format read back wrong: check must not trust what it cannot read right.
blank
"$exe" format "$loop" --allow-loop --yes >/dev/null 2>"$scratch/err" || fail "format of the sound card: $(cat "$scratch/err")"
checked "the sound card" 0
set_faults "flip $boot 512"
checked "the boot sector read back inverted" 1
set_faults "error $fat 512"
checked "the FAT unreadable" 1
set_faults ""
checked "the sound card with its faults gone" 0

# A card that cannot discard: a flash erase must not claim it erased; the format says what it did.
blank
set_faults "no_fallocate"
out=$("$exe" format "$loop" --allow-loop --type erase --yes --json 2>"$scratch/err")
code=$?
case "$code:$(field "$out" eraseResult)" in
    0:0) fail "erase on a card that cannot discard says it erased: $out" ;;
    0:*|1:*) echo "ok: erase on a card that cannot discard: status $code, eraseResult $(field "$out" eraseResult); $(head -c 300 "$scratch/err")" ;;
    *) fail "erase on a card that cannot discard: status $code: $(cat "$scratch/err")" ;;
esac
set_faults ""
[ "$code" = 0 ] && checked "the card formatted without its erase" 0

[ "$failures" -eq 0 ] || exit 1
echo "all faulty-card cases passed"
