#!/usr/bin/env bash
# Several loop devices over sparse files stand in for cards in readers: one command formats
# them side by side (overwrite, FAT16 and FAT32 cards), and each then passes the command's own
# check and fsck. Needs root and loop devices; exits 77 (skipped) without them. Every loop
# device it attaches is detached again, also when a check fails.
#
#   tests/cli/many_loop_cards.sh BRINDLECARD
set -u

exe=$(readlink -f "${1:?usage: many_loop_cards.sh BRINDLECARD}")
skip() {
    echo "skip: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "loop devices need root"
for tool in losetup fsck.fat python3; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -e /dev/loop-control ] || skip "this system has no loop devices"

scratch=$(mktemp -d /var/tmp/brc-many-loop.XXXXXX) || exit 1
loops=()
part=
cleanup() {
    [ -n "$part" ] && losetup -d "$part" 2>/dev/null
    for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
export XDG_RUNTIME_DIR=$scratch
unset BRINDLECARD_CARDS BRINDLECARD_TEST_SYSFS BRINDLECARD_TEST_MOUNTINFO BRINDLECARD_TEST_SWAPS
cd "$scratch" || exit 1

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Three 64 MiB cards (FAT16) and one of 2100 MiB (FAT32), attached in turn.
sizes=(64M 64M 64M 2100M)
for i in "${!sizes[@]}"; do
    truncate -s "${sizes[$i]}" "card$i.img"
    dev=$(losetup -f --show "card$i.img") || { echo "cannot attach a loop device" >&2; exit 1; }
    loops+=("$dev")
done

out=$("$exe" format "${loops[@]}" --allow-loop --yes --type overwrite --json 2>errors.txt)
status=$?
[ "$status" -eq 0 ] || fail "status $status: $out $(cat errors.txt)"
[ "$(wc -l <<<"$out")" -eq "${#loops[@]}" ] || fail "not one line per card: $out"

for dev in "${loops[@]}"; do
    line=$(grep -F "\"target\":\"$dev\"" <<<"$out")
    outcome=$(python3 -c 'import json,sys; o=json.loads(sys.stdin.read()); print(o["outcome"], o["overwriteResult"])' <<<"$line")
    [ "$outcome" = "formatted 0" ] || { fail "$dev: $line"; continue; }
    "$exe" check "$dev" --allow-loop >check.txt 2>&1 || fail "$dev: check: $(cat check.txt)"
    start=$("$exe" plan "$dev" --allow-loop --json | python3 -c 'import json,sys; print(json.load(sys.stdin)["partitionStart"])')
    part=$(losetup -f --show -r -o $((start * 512)) "$dev") || { part=; fail "$dev: cannot attach its partition"; continue; }
    # FAT32's FSInfo carries no free count by design: that note alone may come up.
    fsck.fat -n "$part" >fsck.txt 2>&1
    grep -Ev "^(fsck.fat |Leaving filesystem unchanged|$part: [0-9]+ files|\$|Free cluster summary uninitialized)" \
        fsck.txt >faults.txt && fail "$dev: fsck.fat: $(cat faults.txt)"
    losetup -d "$part"
    part=
    echo "ok: $dev"
done

# The same cards checked in one command, and every loop device list offers among them.
"$exe" check "${loops[@]}" --allow-loop --json >checks.txt || fail "check of all four: $(cat checks.txt)"
[ "$(grep -c '"conforms":true' checks.txt)" -eq 4 ] || fail "not four conforming cards: $(cat checks.txt)"
"$exe" check --all --allow-loop --json >all.txt
for dev in "${loops[@]}"; do
    grep -qF "\"target\":\"$dev\",\"conforms\":true" all.txt || fail "check --all misses $dev: $(cat all.txt)"
done

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
