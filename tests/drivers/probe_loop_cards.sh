#!/usr/bin/env bash
# The probe on cards in a reader: loop devices with direct I/O over the FUSE fault file in its
# counterfeit mode (tests/support/fault_file.c), so the probe goes through the Linux device
# library's queued writes and reads as on a real card. Each card holds data of its own first; the
# probe must give its verdict and usable size and leave that data as it was: a genuine card, a
# wraparound and a limbo card, a wraparound card that keeps its first 40 MiB out of the wrap, a
# limbo card whose lost part reads 0xFF, one refusing writes past its real part, a genuine card
# with one sector that takes no write; a card whose writes start failing mid-probe (pulled),
# whose saved sectors --restore then puts back; a probe stopped by SIGTERM, and one killed by
# SIGKILL whose file --restore puts back; format --probe, after which check --sectors passes and
# fsck passes the partition; and format --type overwrite --verify failing the 0xFF limbo card.
#
# Needs root, FUSE, loop devices and the fault file; exits 77 (skipped) without them.
#
#   tests/drivers/probe_loop_cards.sh BRINDLECARD FAULT_FILE
set -u

exe=$(readlink -f "${1:?usage: probe_loop_cards.sh BRINDLECARD FAULT_FILE}")
fault=${2:-}
scratch=$(mktemp -d "${TMPDIR:-/var/tmp}"/brc-probe-loop.XXXXXX) || exit 1
. "$(dirname "$0")/../support/fault_file.sh"
fault_loop_card_needs "$fault" fsck.fat python3 sha256sum
loop=
export XDG_RUNTIME_DIR=$scratch XDG_STATE_HOME=$scratch/state
unset BRINDLECARD_CARDS BRINDLECARD_TEST_SYSFS BRINDLECARD_TEST_MOUNTINFO BRINDLECARD_TEST_SWAPS
export LC_ALL=C
failures=0
ok() { echo "ok: $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

cleanup() {
    [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
    loop=
    fault_stop
}
trap 'cleanup; rm -rf "$scratch"' EXIT

MiB=$((1 << 20))
# card BYTES [FAULT]: a fresh sparse card served and under a loop device, 8 MiB of data first.
card() {
    cleanup
    rm -f "$scratch/card.img"
    truncate -s "$1" "$scratch/card.img"
    fault_serve "$fault" "$scratch/card.img" || { fail "the fault file did not serve the card"; return 1; }
    [ -n "${2:-}" ] && fault_set "$2"
    loop=$(losetup --direct-io=on -f --show "$mnt/card") || { fail "no loop device"; return 1; }
    head -c $((8 * MiB)) /dev/urandom | dd of="$loop" bs=1M oflag=direct status=none
}
content() { head -c $((16 * MiB)) "$loop" | sha256sum; }
# field JSON KEY
field() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2" 2>/dev/null; }

# verdicts NAME BYTES FAULT VERDICT KIND REAL
verdict_case() {
    local name=$1 bytes=$2 faultline=$3 verdict=$4 kind=$5 real=$6 before out usable status
    card "$bytes" "$faultline" || return
    before=$(content)
    out=$("$exe" probe --allow-loop --json "$loop")
    status=$?
    usable=$(field "$out" usableBytes)
    if [ "$(field "$out" verdict)" = "$verdict" ] && [ "$(field "$out" kind)" = "$kind" ] &&
        [ "$(field "$out" restored)" = True ] && [ -n "$usable" ] && [ "$usable" -le "$real" ] &&
        [ $((usable * 100)) -ge $((real * 99)) ] && [ "$before" = "$(content)" ] &&
        [ "$status" -eq "$([ "$verdict" = genuine ] && echo 0 || echo 1)" ]; then
        ok "$name: $verdict $kind, usable $usable of $real bytes, content kept"
    else
        fail "$name: status $status, $out"
    fi
}
verdict_case genuine $((256 * MiB)) "" genuine none $((256 * MiB))
verdict_case wraparound $((1024 * MiB)) "wraparound $((96 * MiB))" counterfeit wraparound $((96 * MiB))
verdict_case limbo $((1024 * MiB)) "limbo $((40 * MiB + 4096))" counterfeit limbo $((40 * MiB + 4096))
verdict_case "wraparound sparing its start" $((1024 * MiB)) "wraparound $((200 * MiB)) $((40 * MiB))" \
    counterfeit wraparound $((200 * MiB))
verdict_case "limbo reading 0xFF" $((1024 * MiB)) "limbo $((96 * MiB))
lost_ones" counterfeit limbo $((96 * MiB))
# The Linux library queues writes: a refused one is told late and stops the queue, so each
# tested block's write is settled and the card opened again after a refusal.
verdict_case "refusing writes past its real part" $((1024 * MiB)) \
    "write_error $((96 * MiB)) $((928 * MiB))" counterfeit limbo $((96 * MiB))
# A genuine card with one sector that takes no write: not probed, its sector named, all kept.
card $((256 * MiB)) "write_error $((100 * MiB)) 512" && {
    before=$(content)
    out=$("$exe" probe --allow-loop --json "$loop")
    if [ "$(field "$out" verdict)" = not-probed ] && [ "$(field "$out" restored)" = True ] &&
        [[ $(field "$out" cause) == *"sector $((100 * MiB / 512))"* ]] && [ "$before" = "$(content)" ]; then
        ok "a genuine card with an unwritable sector: not probed, that sector named, content kept"
    else
        fail "a genuine card with an unwritable sector: $out"
    fi
}

# Writes fail once 20 MiB went to the card: the probe keeps what it wrote over in a file.
card $((512 * MiB)) "wraparound $((64 * MiB))" && {
    before=$(content)
    fault_set "wraparound $((64 * MiB))" "fail_after $((20 * MiB))"
    out=$(cd "$scratch" && "$exe" probe --allow-loop --json "$loop")
    undo=$(field "$out" undoFile)
    if [ "$(field "$out" verdict)" = not-probed ] && [ -f "$undo" ]; then
        ok "a card failing mid-probe: not probed, its sectors kept in $(basename "$undo")"
    else
        fail "a card failing mid-probe: $out"
    fi
    fault_set "wraparound $((64 * MiB))"
    if "$exe" probe --allow-loop --restore "$undo" "$loop" >/dev/null && [ "$before" = "$(content)" ] &&
        [ ! -e "$undo" ]; then
        ok "--restore put the card back as it was and removed the file"
    else
        fail "--restore did not put the card back"
    fi
}

# SIGTERM while requests are slow: the probe stops and puts back what it wrote over.
card $((2048 * MiB)) "limbo $((512 * MiB))" && {
    before=$(content)
    fault_set "limbo $((512 * MiB))" "delay 10"
    "$exe" probe --allow-loop --json "$loop" >"$scratch/out" &
    run=$!
    sleep 1
    kill -TERM "$run"
    wait "$run"
    out=$(cat "$scratch/out")
    fault_set "limbo $((512 * MiB))"
    if [ "$(field "$out" verdict)" = not-probed ] && [ "$(field "$out" restored)" = True ] &&
        [ "$before" = "$(content)" ]; then
        ok "SIGTERM: stopped, everything put back"
    else
        fail "SIGTERM: $out"
    fi
}

# SIGKILL mid-probe: nothing is put back by the probe, the file it flushed before writing does it.
card $((1024 * MiB)) "" && {
    before=$(content)
    fault_set "delay 2"
    "$exe" probe --allow-loop --json "$loop" >"$scratch/out" &
    run=$!
    sleep 2
    kill -KILL "$run"
    wait "$run" 2>/dev/null
    fault_set ""
    undo=$(ls "$scratch"/state/brindlecard/*.undo 2>/dev/null | head -1)
    changed=$([ "$before" = "$(content)" ] && echo no || echo yes)
    if [ -n "$undo" ] && "$exe" probe --allow-loop --restore "$undo" "$loop" >/dev/null &&
        [ "$before" = "$(content)" ] && [ ! -e "$undo" ]; then
        ok "SIGKILL: the card (changed: $changed) put back by --restore from $(basename "$undo")"
    else
        fail "SIGKILL: no file, or --restore did not put the card back (changed: $changed)"
    fi
}

# The overwrite's 0xFF is what this card's lost part reads: --verify must not pass it.
card $((512 * MiB)) "limbo $((96 * MiB))
lost_ones" && {
    out=$("$exe" format --type overwrite --verify --yes --json --allow-loop "$loop")
    if [ "$(field "$out" outcome)" = failed ] && [[ $(field "$out" cause) == "the card did not keep sector"* ]]; then
        ok "overwrite --verify fails a card whose lost part reads 0xFF: $(field "$out" cause)"
    else
        fail "overwrite --verify on a card whose lost part reads 0xFF: $out"
    fi
}

# format --probe: the partition inside the usable part, which check --sectors and fsck accept;
# also on a card refusing writes past its real part, which the format's probe (it saves
# nothing) finds through the same queued writes.
format_probe_case() {
    local name=$1 bytes=$2 faultline=$3 real=$4 out usable start part fsck_status
    card "$bytes" "$faultline" || return
    out=$("$exe" format --probe --yes --json --allow-loop "$loop")
    usable=$(field "$out" usableSectors)
    start=$(python3 -c 'import sys; d=open(sys.argv[1],"rb").read(512); print(int.from_bytes(d[454:458],"little"))' "$loop")
    part=$(losetup -r -f --show -o $((start * 512)) "$loop")
    fsck.fat -n "$part" >"$scratch/fsck" 2>&1
    fsck_status=$?
    losetup -d "$part"
    if [ "$(field "$out" counterfeit)" = True ] && [ -n "$usable" ] && [ "$usable" -le $((real / 512)) ] &&
        "$exe" check --allow-loop --sectors "$usable" "$loop" >/dev/null && [ "$fsck_status" -eq 0 ]; then
        ok "format --probe, $name: a card of $usable sectors, check --sectors and fsck pass"
    else
        fail "format --probe, $name: $out; fsck: $(cat "$scratch/fsck")"
    fi
}
format_probe_case wraparound $((4096 * MiB)) "wraparound $((1024 * MiB))" $((1024 * MiB))
format_probe_case "refusing writes past its real part" $((1024 * MiB)) \
    "write_error $((200 * MiB)) $((824 * MiB))" $((200 * MiB))

[ "$failures" -eq 0 ] && echo "all passed" && exit 0
echo "$failures failed"
exit 1
