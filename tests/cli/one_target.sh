#!/usr/bin/env bash
# The card that is checked is the card that is written. Paths through links and ".." after a
# link, links to devices and to partitions, and links or files swapped while the question is on
# the screen: each run formats exactly the file or device the kernel resolved when it was named,
# or refuses with a sentence, and every other file or device keeps its bytes. Two cards format
# side by side, a lock file held by someone else refuses nothing, and --unmount leaves a card
# mounted when the format is refused or cancelled. The parts with loop devices need root and
# are skipped, with the reason, without it.
#
#   tests/cli/one_target.sh BRINDLECARD
set -u

exe=$(readlink -f "${1:?usage: one_target.sh BRINDLECARD}")
[ -x "$exe" ] || { echo "no brindlecard at $1"; exit 1; }
command -v python3 >/dev/null || { echo "skip: python3 is not installed"; exit 77; }

scratch=$(mktemp -d /tmp/brc-one-target.XXXXXX) || exit 1
loops=()
mounted=()
helpers=()
cleanup() {
    for p in "${helpers[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
    for m in "${mounted[@]}"; do umount "$m" 2>/dev/null; done
    for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
export SOURCE_DATE_EPOCH=1700000000 LANG=C
unset BRINDLECARD_CARDS BRINDLECARD_VETTED BRINDLECARD_TEST_SYSFS BRINDLECARD_TEST_MOUNTINFO \
    BRINDLECARD_TEST_SWAPS LC_ALL LANGUAGE
# The messages quoted below are the command's own (Russian) texts.
unset LC_ALL LANGUAGE
export LC_MESSAGES=ru_RU.UTF-8
cd "$scratch" || exit 1

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# Says ok for a case only when no check of it failed since the last case.
passed=0
ok() {
    [ "$failures" -eq "$passed" ] && echo "ok: $*"
    passed=$failures
}

# The first 16 MiB of a file or device, hashed: every card here keeps its system area there.
sum() { head -c 16M "$1" | sha256sum | cut -d' ' -f1; }
card() { "$exe" card create "$1" --size "${2:-64M}" >/dev/null || fail "cannot create $1"; }

# Answers the questions of a format run on a terminal: at the first question runs SWAP (a shell
# command), then answers each question with ANSWER. Prints what the terminal showed; exits
# with the command's status.
cat >answer.py <<'EOF'
import os, pty, select, subprocess, sys
exe, target, swap, answer = sys.argv[1:5]
pid, fd = pty.fork()
if pid == 0:
    os.execv(exe, [exe, "format", target] + sys.argv[5:])
seen, asked, swapped = b"", 0, False
while True:
    ready, _, _ = select.select([fd], [], [], 30)
    if not ready:
        os.kill(pid, 9)
        break
    try:
        chunk = os.read(fd, 4096)
    except OSError:
        break
    if not chunk:
        break
    seen += chunk
    while seen.count(b"[OK = y") > asked:
        if not swapped:
            subprocess.run(swap, shell=True, check=True)
            swapped = True
        os.write(fd, answer.encode() + b"\n")
        asked += 1
_, status = os.waitpid(pid, 0)
sys.stdout.write(seen.decode(errors="replace"))
sys.exit(os.waitstatus_to_exitcode(status))
EOF
asked() { python3 answer.py "$exe" "$@"; }

# ---- virtual cards ----------------------------------------------------------------------

# "..": the kernel takes lnk/.. to far/, the lexical reading to here. far's card is the one.
mkdir -p far/inner
ln -s "$scratch/far/inner" lnk
card far/card.img
card card.img
here=$(sum card.img)
there=$(sum far/card.img)
said=$("$exe" format lnk/../card.img --yes 2>&1) || fail "lnk/../card.img did not format: $said"
[ "$(sum card.img)" = "$here" ] || fail "lnk/../card.img wrote ./card.img, which the kernel does not reach"
[ "$(sum far/card.img)" != "$there" ] || fail "lnk/../card.img left far/card.img unformatted"
"$exe" check far/card.img >/dev/null || fail "far/card.img does not follow the layout rules"
ok "lnk/../card.img formats far/card.img and leaves ./card.img alone"

# A link swapped while the question is on the screen: the card named then is formatted.
card a.img
card b.img
ln -s a.img link.img
a=$(sum a.img)
b=$(sum b.img)
said=$(asked link.img "ln -sfn b.img link.img" y) || fail "the swapped link: $said"
[ "$(sum b.img)" = "$b" ] || fail "the link swapped during the question redirected the write to b.img"
[ "$(sum a.img)" != "$a" ] || fail "the link swapped during the question: a.img was not formatted"
ok "a link swapped during the question formats the card it named when asked"

# The file itself replaced during the question: refused, neither file written.
card c.img
card d.img
c=$(sum c.img)
d=$(sum d.img)
said=$(asked c.img "mv c.img moved.img && mv d.img c.img" y)
status=$?
[ "$status" -eq 1 ] || fail "a replaced image: status $status: $said"
grep -q "no longer the file that was checked" <<<"$said" || fail "a replaced image: no reason: $said"
[ "$(sum moved.img)" = "$c" ] && [ "$(sum c.img)" = "$d" ] || fail "a replaced image was written"
ok "an image replaced during the question is refused and nothing written"

# A symbolic link loop is called what it is.
ln -s loop1.img loop2.img
ln -s loop2.img loop1.img
said=$("$exe" format loop1.img --yes 2>&1)
[ $? -eq 2 ] && grep -q "loop of symbolic links" <<<"$said" || fail "a link loop: $said"
# A newline in a name is shown escaped, on one line.
said=$("$exe" plan "$(printf 'new\nline.img')" 2>&1 | head -n 1)
[ "$said" = "brindlecard: there is no image at 'new\nline.img'." ] || fail "a newline in a path: $said"
# A drive letter whose image is gone: the same sentence from plan, check and format.
for command in plan check "format --yes"; do
    said=$(BRINDLECARD_CARDS="E=$scratch/gone.img" "$exe" $command E: 2>&1)
    grep -q "there is no image at '$scratch/gone.img' (behind E:)" <<<"$said" || fail "$command E: without an image: $said"
done
ok "link loops, newlines and missing images are named plainly"

# A lock file in the place the command once kept a machine-wide one refuses nothing, held by
# another user where this run may act as one.
export XDG_RUNTIME_DIR=$scratch
touch VELLUMGATE.lock
chmod 755 "$scratch"
chmod 644 VELLUMGATE.lock
as_other=()
[ "$(id -u)" -eq 0 ] && command -v runuser >/dev/null && id nobody >/dev/null 2>&1 && as_other=(runuser -u nobody --)
"${as_other[@]}" flock -x VELLUMGATE.lock sleep 60 &
helpers+=($!)
sleep 0.5
card e.img
"$exe" format e.img --yes >/dev/null 2>&1 || fail "a held lock file refused a format"

# ---- loop devices ------------------------------------------------------------------------

if [ "$(id -u)" -ne 0 ] || [ ! -e /dev/loop-control ] || ! command -v losetup >/dev/null; then
    echo "skip: the loop-device cases need root and loop devices"
    [ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
    exit $((failures != 0))
fi

attach() {
    local attached
    attached=$(losetup -f --show "${@:2}") || { echo "cannot attach a loop device" >&2; exit 1; }
    loops+=("$attached")
    printf -v "$1" %s "$attached"
}

# refused NAME PATTERN DEVICE COMMAND...: status 1, PATTERN in the output, DEVICE unchanged.
refused() {
    local name=$1 pattern=$2 dev=$3 before said status
    shift 3
    before=$(sum "$dev")
    said=$(timeout -k 5 60 "$@" </dev/null 2>&1)
    status=$?
    if [ "$status" -ne 1 ] || ! grep -Eq "$pattern" <<<"$said"; then
        fail "$name: status $status: $said"
    else
        ok "$name: $(head -n 1 <<<"$said")"
    fi
    [ "$(sum "$dev")" = "$before" ] || fail "$name: the device was written"
}

# A card whose image lies on a full file system is not called a failing card.
mkdir -p small
if mount -t tmpfs -o size=2M tmpfs small 2>/dev/null; then
    mounted+=("$scratch/small")
    card small/full.img 64M
    said=$("$exe" format small/full.img --type overwrite --yes 2>&1)
    [ $? -eq 1 ] && grep -q "the disk holding the image is full" <<<"$said" || fail "a full disk: $said"
    grep -q "is failing" <<<"$said" && fail "a full disk is blamed on the card: $said"
    umount small
    ok "an image on a full disk is reported as such"
else
    echo "skip: cannot mount a small tmpfs for the full-disk case"
fi

truncate -s 64M loop.img
attach dev loop.img
ln -s "$dev" dev.img
refused "a link to a loop device" "is a loop device, not a card" "$dev" "$exe" format dev.img --yes
mkdir -p far2/inner
ln -s "$scratch/far2/inner" lnk2
ln -s "$dev" far2/card.img
card card2.img
cp --sparse=always card2.img card.img
here=$(sum card.img)
refused "lnk2/../card.img leading to a loop device" "is a loop device, not a card" "$dev" \
    "$exe" format lnk2/../card.img --yes
[ "$(sum card.img)" = "$here" ] || fail "lnk2/../card.img wrote ./card.img"

# A partition, as a fake sysfs tree describes the loop device.
name=${dev#/dev/}
devno=$(cat "/sys/class/block/$name/dev")
dir=devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sdz/$name
mkdir -p "part/$dir/queue" part/class/block part/dev/block
echo 1 >"part/$dir/removable"
echo 0 >"part/$dir/ro"
echo 1 >"part/$dir/partition"
echo 512 >"part/$dir/queue/logical_block_size"
cat "/sys/class/block/$name/size" >"part/$dir/size"
echo "$devno" >"part/$dir/dev"
ln -s "$scratch/part/$dir" "part/class/block/$name"
ln -s "$scratch/part/$dir" "part/dev/block/$devno"
refused "a link to a partition" "is a partition" "$dev" \
    env BRINDLECARD_TEST_SYSFS="$scratch/part" "$exe" format dev.img --allow-loop --yes

# A link swapped to the device during the question: the image named then is formatted.
card f.img
ln -s f.img link2.img
f=$(sum f.img)
before=$(sum "$dev")
said=$(asked link2.img "ln -sfn '$dev' link2.img" y --allow-loop) || fail "link swapped to a device: $said"
[ "$(sum "$dev")" = "$before" ] || fail "a link swapped to a device during the question wrote the device"
[ "$(sum f.img)" != "$f" ] || fail "a link swapped to a device: f.img was not formatted"
ok "a link swapped to a device during the question leaves the device alone"

# Two cards at the same time.
truncate -s 256M one.img two.img
attach one one.img
attach two two.img
"$exe" format "$one" --allow-loop --type overwrite --yes >one.txt 2>&1 &
first=$!
"$exe" format "$two" --allow-loop --type overwrite --yes >two.txt 2>&1 || fail "the second card: $(cat two.txt)"
wait "$first" || fail "the first card: $(cat one.txt)"
ok "two cards format side by side"

# --unmount acts only after every check and the user's yes.
if command -v mkfs.ext4 >/dev/null && mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$dev" && mkdir -p mnt && mount -o ro "$dev" mnt 2>/dev/null; then
    mounted+=("$scratch/mnt")
    # Mounted read-only: a writable mount commits its journal on its own timer, and the sums
    # below must see only what the command writes.
    still_mounted() { grep -q " $scratch/mnt " /proc/self/mountinfo || fail "$1 unmounted the card"; }
    refused "--unmount with a label too long" "." "$dev" \
        "$exe" format "$dev" --allow-loop --unmount --yes --label ABCDEFGHIJKLMNOP
    still_mounted "a refused label"
    before=$(sum "$dev")
    said=$(asked "$dev" true n --allow-loop --unmount)
    [ $? -eq 1 ] || fail "--unmount, answered Cancel: $said"
    [ "$(sum "$dev")" = "$before" ] || fail "--unmount, answered Cancel: the device was written"
    still_mounted "a Cancel answer"
    umount mnt
    attach locked loop.img -r
    mount -o ro "$locked" mnt 2>/dev/null || fail "cannot mount the read-only card"
    refused "--unmount on a write-protected card" "." "$locked" \
        "$exe" format "$locked" --allow-loop --unmount --yes
    still_mounted "a write-protected card"
    umount mnt
    ok "--unmount leaves the card mounted when the format does not go ahead"
else
    echo "skip: this system cannot mount ext4 on a loop device"
fi

[ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $((failures != 0))
