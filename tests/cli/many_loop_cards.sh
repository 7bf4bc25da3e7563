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
for tool in losetup fsck.fat mkfs.ext4 python3; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -e /dev/loop-control ] || skip "this system has no loop devices"

scratch=$(mktemp -d "${TMPDIR:-/var/tmp}"/brc-many-loop.XXXXXX) || exit 1
loops=()
part=
cleanup() {
    umount "$scratch/mnt" 2>/dev/null
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

# attach VAR FILE [losetup options]: a loop device over FILE, detached at the end.
attach() {
    local attached
    attached=$(losetup -f --show "${@:2}") || { echo "cannot attach a loop device" >&2; exit 1; }
    loops+=("$attached")
    printf -v "$1" %s "$attached"
}
untouched() { [ "$(head -c 1M "$1" | tr -d '\0' | wc -c)" -eq 0 ]; }
# A file system to mount, its tables written now: the kernel would fill them in later.
make_ext4() { mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$1" 2>/dev/null; }

# One medium under two names is one card: named twice it is a usage error, and nothing is
# written. A loop device and its own image, two loop devices over one file, a loop device
# stacked on another.
truncate -s 64M same.img
attach same_a same.img
attach same_b same.img
attach stacked "$same_a"
for pair in "$same_a same.img" "$same_a $same_b" "$stacked $same_a" "$same_b $stacked"; do
    # shellcheck disable=SC2086
    "$exe" format $pair --allow-loop --yes --json >out.txt 2>errors.txt
    status=$?
    if [ "$status" -ne 2 ] || ! grep -q "are the same card" errors.txt; then
        fail "$pair: status $status: $(cat out.txt errors.txt)"
    else
        echo "ok: $pair: $(cat errors.txt)"
    fi
    untouched same.img || fail "$pair: the medium was written"
done
# An image a loop device is attached to is that device's: formatted as a file it is in use.
"$exe" format same.img --yes >/dev/null 2>errors.txt
status=$?
[ "$status" -eq 1 ] && grep -q "is in use: .* is attached to it" errors.txt ||
    fail "an attached image: status $status: $(cat errors.txt)"
untouched same.img || fail "the attached image was written"

# The image under a mounted file system is in use; so is another loop device over it. Mounted
# read-only, so that the file system itself writes nothing while the image is compared.
truncate -s 64M mounted.img
attach under mounted.img
mkdir -p mnt
if make_ext4 "$under" && mount -o ro "$under" mnt 2>/dev/null; then
    attach beside mounted.img
    before=$(sha256sum <mounted.img)
    "$exe" format mounted.img --yes >/dev/null 2>errors.txt && fail "the image under a mount was formatted"
    grep -q "is in use" errors.txt || fail "the image under a mount: $(cat errors.txt)"
    "$exe" format "$beside" --allow-loop --yes >/dev/null 2>errors.txt && fail "a loop beside a mount was formatted"
    grep -q "is in use: $under is mounted at" errors.txt || fail "a loop beside a mount: $(cat errors.txt)"
    [ "$(sha256sum <mounted.img)" = "$before" ] || fail "the mounted file system was written"
    umount mnt
else
    echo "skip: this system cannot mount ext4; the mounted medium is not tried"
fi

# --all: a mounted card is left out with its reason and the others formatted; with --unmount
# it is unmounted and formatted too. Only this test's loop devices are in its view.
mkdir -p view/class/block view/dev/block
all=()
for i in 0 1 2; do
    truncate -s 64M "all$i.img"
    attach dev "all$i.img"
    all+=("$dev")
    ln -s "/sys/class/block/${dev#/dev/}" "view/class/block/${dev#/dev/}"
    number=$(cat "/sys/class/block/${dev#/dev/}/dev")
    ln -s "/sys/dev/block/$number" "view/dev/block/$number"
done
if make_ext4 "${all[1]}" && mount "${all[1]}" mnt 2>/dev/null; then
    BRINDLECARD_TEST_SYSFS=$scratch/view "$exe" format --all --allow-loop --yes --json >out.txt 2>errors.txt
    status=$?
    [ "$status" -eq 1 ] || fail "--all with a mounted card: status $status: $(cat out.txt errors.txt)"
    [ "$(grep -c '"outcome":"formatted"' out.txt)" -eq 2 ] || fail "--all: not two cards formatted: $(cat out.txt)"
    grep -F "\"target\":\"${all[1]}\"" out.txt | grep -q '"outcome":"refused".*is mounted at' ||
        fail "--all: the mounted card is not refused with its reason: $(cat out.txt)"
    grep -q " $scratch/mnt " /proc/self/mountinfo || fail "--all without --unmount unmounted the card"
    BRINDLECARD_TEST_SYSFS=$scratch/view "$exe" format --all --allow-loop --yes --unmount --json >out.txt 2>errors.txt
    status=$?
    [ "$status" -eq 0 ] && [ "$(grep -c '"outcome":"formatted"' out.txt)" -eq 3 ] ||
        fail "--all --unmount: status $status: $(cat out.txt errors.txt)"
    grep -q " $scratch/mnt " /proc/self/mountinfo && { fail "--all --unmount left the card mounted"; umount mnt; }
    echo "ok: --all with a mounted card"
else
    echo "skip: this system cannot mount ext4; --all with a mounted card is not tried"
fi

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
