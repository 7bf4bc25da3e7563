#!/usr/bin/env bash
# A card that stops answering in the middle of an overwrite: after SIGTERM (and after Ctrl-C) the
# command must give up on it within a bounded time and say so in one sentence, rather than wait
# for the card for ever. The card is a loop device with direct I/O over a FUSE file
# (tests/support/fault_file.c) whose writes hang once a set amount was written. When the command
# has said it gave up, the hang is released: the command then ends with status 1. The kernel may
# keep the process itself from ending while its writes are held (its exit waits for them), so
# only the sentence is timed, not the end.
#
# Needs root, FUSE, loop devices and the fault file (built where libfuse3 is); exits 77
# (skipped) without them. The loop device, the mount and the files go again on every way out.
#
#   tests/drivers/hung_card.sh BRINDLECARD FAULT_FILE
set -u

exe=$(readlink -f "${1:?usage: hung_card.sh BRINDLECARD FAULT_FILE}")
fault=${2:-}
skip() {
    echo "skip: $*"
    exit 77
}

# After the signal the library waits 5 s for the card, then up to 1 s for what it cancelled;
# the rest is the command's own way out.
says_within=20
scratch=$(mktemp -d /tmp/brc-hung-card.XXXXXX) || exit 1
. "$(dirname "$0")/../support/fault_file.sh"
fault_loop_card_needs "$fault"
status=$scratch/status
loop= run=
export XDG_RUNTIME_DIR=$scratch
unset BRINDLECARD_CARDS BRINDLECARD_TEST_SYSFS BRINDLECARD_TEST_MOUNTINFO BRINDLECARD_TEST_SWAPS
export LC_ALL=C

set_faults() { fault_set "$@"; }

cleanup() {
    fault_set "" 2>/dev/null # nothing waits on the card any more
    if [ -n "$run" ] && kill -0 "$run" 2>/dev/null; then
        kill -KILL "$run" 2>/dev/null
        wait "$run" 2>/dev/null
    fi
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

hanging() { grep -Eq '^hanging [1-9]' "$status" 2>/dev/null; }
gone() { ! kill -0 "$run" 2>/dev/null; }
said() { grep -q "the card stopped answering and was given up on" "$1"; }

# The card: 1 GiB, served by the fault file, under a loop device that bypasses the page cache.
truncate -s 1G "$scratch/image" || exit 1
fault_serve "$fault" "$scratch/image" --status "$status" || skip "the FUSE file could not be mounted"
loop=$(losetup -f --show --direct-io=on "$mnt/card") || skip "no loop device over the FUSE file"
[ "$(cat "/sys/block/${loop#/dev/}/loop/dio" 2>/dev/null)" = 1 ] ||
    echo "note: $loop runs without direct I/O; the page cache stands between it and the card"

# hangs NAME SIGNAL STARTS: an overwrite whose writes hang after its first 256 MiB (well into
# the stream of large requests); SIGNAL once one hangs.
# The command must say within $says_within s that it gave up on the card, in one sentence that
# STARTS as given, and end with status 1 once the hang is released.
hangs() {
    local name=$1 signal=$2 starts=$3 out=$scratch/$1.out err=$scratch/$1.err began waited code
    # The fault file counts what was written since it started: 256 MiB more than so far.
    set_faults "hang_after $(($(sed -n 's/^written //p' "$status") + (256 << 20)))"
    "$exe" format "$loop" --allow-loop --type overwrite --yes >"$out" 2>"$err" &
    run=$!
    if ! waits 120 hanging; then
        fail "$name: the card never hung (the overwrite ended or failed first): $(tail -n 3 "$err")"
        set_faults ""
        wait "$run"
        run=
        return
    fi
    sleep 1 # the command is now waiting on the card
    kill "-$signal" "$run"
    began=$SECONDS
    waits "$says_within" said "$err" || true
    waited=$((SECONDS - began))
    if said "$err"; then
        echo "ok: $name: gave up on the card $waited s after $signal"
    else
        fail "$name: nothing said $waited s after $signal while the card hung (still running: $(gone && echo no || echo yes))"
    fi
    set_faults ""
    if ! waits 60 gone; then
        fail "$name: still running 60 s after the hang was released"
        kill -KILL "$run"
    fi
    wait "$run"
    code=$?
    run=
    [ "$code" = 1 ] || fail "$name: exit status $code, not 1: $(tail -n 3 "$err")"
    [ "$(grep -c "given up on" "$err")" -le 1 ] || fail "$name: the sentence came more than once"
    if said "$err"; then
        grep -q "^brindlecard: $starts before the format was finished; the card stopped answering" "$err" ||
            fail "$name: not the run's sentence: $(grep "given up on" "$err")"
    fi
}

hangs sigterm TERM "stopped by a signal (SIGTERM)"
hangs ctrl-c INT "cancelled by Ctrl-C"

[ "$failures" -eq 0 ] || exit 1
echo "all hung-card cases passed"
