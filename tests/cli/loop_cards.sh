#!/usr/bin/env bash
# Loop devices over sparse files stand in for cards in a reader: the built command formats them
# (quick, overwrite, erase) to the same bytes as virtual cards of the same size, checked by
# fsck.fat / fsck.exfat, mtools and exfatlabel, and refuses every disk it must not touch with one
# sentence, status 1 and the device unchanged. Needs root and loop devices; exits 77 (skipped)
# without them. Every loop device it attaches is detached again, also when a check fails.
#
#   tests/cli/loop_cards.sh BRINDLECARD
set -u

exe=$(readlink -f "${1:?usage: loop_cards.sh BRINDLECARD}")
skip() {
    echo "skip: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "loop devices need root"
for tool in losetup fsck.fat fsck.exfat exfatlabel mlabel mkfs.ext4 python3; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -e /dev/loop-control ] || skip "this system has no loop devices"

scratch=$(mktemp -d /tmp/brc-loop-cards.XXXXXX) || exit 1
loops=()
mounted=()
holder=
cleanup() {
    [ -n "$holder" ] && kill "$holder" 2>/dev/null && wait "$holder" 2>/dev/null
    for m in "${mounted[@]}"; do umount "$m" 2>/dev/null; done
    for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
export XDG_RUNTIME_DIR=$scratch
export SOURCE_DATE_EPOCH=1700000000
unset BRINDLECARD_CARDS BRINDLECARD_TEST_SYSFS BRINDLECARD_TEST_MOUNTINFO BRINDLECARD_TEST_SWAPS
# The messages quoted below are the command's own (Russian) texts.
unset LC_ALL LANGUAGE
export LC_MESSAGES=ru_RU.UTF-8
cd "$scratch" || exit 1

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# attach VAR FILE [losetup options]: a loop device over FILE, its path in VAR. A device whose
# discard was switched off (by the check below in an earlier run: the kernel will not switch it
# back on) could not erase; it is kept busy over a spare file, so that the next one is taken.
attach() {
    local attached tries=0
    while :; do
        attached=$(losetup -f --show "${@:2}") || { echo "cannot attach a loop device" >&2; exit 1; }
        loops+=("$attached")
        [ "$(cat "/sys/block/${attached#/dev/}/queue/discard_max_bytes" 2>/dev/null)" != 0 ] && break
        tries=$((tries + 1))
        [ "$tries" -lt 8 ] || break
    done
    printf -v "$1" %s "$attached"
}

json_field() { python3 -c 'import json,sys; print(json.loads(sys.stdin.read())[sys.argv[1]])' "$1"; }

# The card's system area and the first MiB after it, as sha256.
system_hash() {
    local sectors=$2
    head -c $(((sectors + 2048) * 512)) "$1" | sha256sum | cut -d' ' -f1
}

# formats NAME SIZE TYPE LABEL FILESYSTEM: a loop card and a virtual card of SIZE, both
# formatted with TYPE and LABEL, must hold the same system area, and the loop card must pass
# the file system's checker and carry the label.
formats() {
    local name=$1 size=$2 type=$3 label=$4 fs=$5 dev part out plan start area
    truncate -s "$size" "$name.loop.img"
    attach dev "$name.loop.img"
    "$exe" card create "$name.virtual.img" --size "$size" >/dev/null || { fail "$name: card create"; return; }
    "$exe" format "$name.virtual.img" --type "$type" --label "$label" --yes >/dev/null 2>&1 ||
        fail "$name: the virtual card did not format"
    out=$("$exe" format "$dev" --allow-loop --type "$type" --label "$label" --yes --json 2>/dev/null)
    [ "$(json_field outcome <<<"$out")" = formatted ] || { fail "$name: $out"; return; }
    [ "$(json_field fileSystem <<<"$out")" = "$fs" ] || fail "$name: not $fs: $out"
    if [ "$type" = erase ] && [ "$(json_field eraseResult <<<"$out")" != 0 ]; then
        fail "$name: the erase did not run: $out"
    fi
    plan=$("$exe" plan "$dev" --allow-loop --json) || { fail "$name: plan: $plan"; return; }
    start=$(json_field partitionStart <<<"$plan")
    area=$((start + $(json_field systemSectors <<<"$plan")))
    [ "$(system_hash "$dev" "$area")" = "$(system_hash "$name.virtual.img" "$area")" ] ||
        fail "$name: the loop card's system area differs from the virtual card's"

    # The partition, read-only, for the checkers.
    attach part "$name.loop.img" -r -o $((start * 512))
    case $fs in
    exFAT)
        fsck.exfat -n "$part" >fsck.txt 2>&1 || fail "$name: fsck.exfat: $(tail -n 3 fsck.txt)"
        [ "$(exfatlabel "$part" 2>/dev/null | tail -n 1 | sed 's/.*: *//')" = "$label" ] ||
            fail "$name: exfatlabel does not read $label"
        ;;
    *)
        # FAT32's FSInfo keeps no free count, by design: only that note may come up besides the
        # summary (the label is in the boot sector too, even after a first format).
        fsck.fat -n "$part" >fsck.txt 2>&1
        grep -Ev "^(fsck.fat |Leaving filesystem unchanged|$part: [0-9]+ files|\$|Free cluster summary uninitialized)" \
            fsck.txt >faults.txt && fail "$name: fsck.fat: $(cat faults.txt)"
        MTOOLS_SKIP_CHECK=1 mlabel -s -i "$part" :: 2>/dev/null | grep -Eq "Volume label is $label *\$" ||
            fail "$name: mlabel does not read $label"
        ;;
    esac
    echo "ok: $name ($type, $fs)"
    rm -f "$name.virtual.img" "$name.virtual.img.card"
}

formats fat16-quick 256M quick CARD16 FAT
formats fat16-overwrite 256M overwrite CARD16 FAT
formats fat16-erase 256M erase CARD16 FAT
formats fat32-quick 3G quick CARD32 FAT32
formats fat32-overwrite 3G overwrite CARD32 FAT32
formats fat32-erase 3G erase CARD32 FAT32
formats exfat-quick 40G quick CARD64 exFAT
formats exfat-erase 40G erase CARD64 exFAT

# refused NAME PATTERN DEVICE COMMAND...: COMMAND must end with status 1 and one line on stderr
# (the system's message where one_line=0) matching PATTERN (grep -E), and leave the first
# 16 MiB of DEVICE as they were.
refused() {
    local name=$1 pattern=$2 dev=$3 before status
    shift 3
    before=$(head -c 16M "$dev" | sha256sum)
    timeout -k 5 60 "$@" </dev/null >/dev/null 2>stderr.txt
    status=$?
    if [ "$status" -ne 1 ]; then
        fail "$name: exit status $status, not 1: $(tr '\n' ' ' <stderr.txt)"
    elif ! grep -Eq "$pattern" stderr.txt; then
        fail "$name: stderr lacks /$pattern/: $(tr '\n' ' ' <stderr.txt)"
    elif [ "${one_line:-1}" = 1 ] && [ "$(wc -l <stderr.txt)" -ne 1 ]; then
        fail "$name: more than one line on stderr: $(tr '\n' ' ' <stderr.txt)"
    else
        echo "ok: $name: $(cat stderr.txt)"
    fi
    [ "$(head -c 16M "$dev" | sha256sum)" = "$before" ] || fail "$name: the device was written"
}

truncate -s 64M card.img
attach card card.img
head -c 1M /dev/urandom | dd of="$card" conv=notrunc status=none
name=${card#/dev/}
devno=$(cat "/sys/class/block/$name/dev")

refused "a loop device without --allow-loop" "is a loop device, not a card" "$card" \
    "$exe" format "$card" --yes
refused "plan of a loop device without --allow-loop" "is a loop device, not a card" "$card" \
    "$exe" plan "$card"

printf '1 1 %s / / rw - ext4 %s rw\n' "$devno" "$card" >mountinfo
refused "the disk holding /" "holds the running system \(/ is mounted from $name\)" "$card" \
    env BRINDLECARD_TEST_MOUNTINFO="$scratch/mountinfo" "$exe" format "$card" --allow-loop --yes --unmount
printf 'Filename Type Size Used Priority\n%s partition 65532 0 -2\n' "$card" >swaps
refused "the disk holding swap" "holds the system's active swap" "$card" \
    env BRINDLECARD_TEST_SWAPS="$scratch/swaps" "$exe" format "$card" --allow-loop --yes

# Fake sysfs trees in which the loop device is a fixed SATA disk, and a partition of one.
fake_disk() {
    local root=$1 dir=$2
    mkdir -p "$root/$dir/queue" "$root/class/block" "$root/dev/block"
    echo 0 >"$root/$dir/removable"
    echo 0 >"$root/$dir/ro"
    echo 512 >"$root/$dir/queue/logical_block_size"
    cat "/sys/class/block/$name/size" >"$root/$dir/size"
    echo "$devno" >"$root/$dir/dev"
    ln -s "$root/$dir" "$root/class/block/$name"
    ln -s "$root/$dir" "$root/dev/block/$devno"
}
fake_disk "$scratch/sata" devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/$name
refused "a fixed disk" "is not removable" "$card" \
    env BRINDLECARD_TEST_SYSFS="$scratch/sata" "$exe" format "$card" --allow-loop --yes
fake_disk "$scratch/part" devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sdz/$name
echo 1 >"$scratch/part/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sdz/$name/partition"
refused "a partition" "is a partition; a card is formatted whole" "$card" \
    env BRINDLECARD_TEST_SYSFS="$scratch/part" "$exe" format "$card" --allow-loop --yes

# Exactly 2 TiB is one sector more than a card's 32-bit sector count holds.
truncate -s 2T huge.img
attach huge huge.img
refused "a disk of 2 TiB" "more than the 2 TiB less one sector a card may have" "$huge" \
    "$exe" format "$huge" --allow-loop --yes

attach locked card.img -r
one_line=0 refused "a read-only card" "защищена от записи" "$locked" "$exe" format "$locked" --allow-loop --yes
refused "plan of a read-only card" "is write-protected" "$locked" "$exe" plan "$locked" --allow-loop
# list offers it (slid back, it can be formatted) but says nobody formats it as it is.
listed=$("$exe" list --allow-loop --json | grep -F "\"path\":\"$locked\"")
case $listed in
    *'"formatBy":""'*'"readOnly":true'*'"qualifies":true'*) echo "ok: list of a read-only card" ;;
    *) fail "list of a read-only card: $listed" ;;
esac
"$exe" list --allow-loop | grep -A1 -F "$locked," | grep -q "write-protected: slide its lock switch" ||
    fail "list's line of a read-only card: $("$exe" list --allow-loop | grep -A1 -F "$locked,")"

# Another program holding the device exclusively.
python3 -c 'import os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_EXCL)
open(sys.argv[2], "w").close()
time.sleep(60)' "$card" held &
holder=$!
for _ in $(seq 100); do [ -e held ] && break; sleep 0.1; done
refused "a device another program holds" "is in use" "$card" "$exe" format "$card" --allow-loop --yes
# A descriptor handed in for the device does not get round that program's claim.
refused "a held device reached through a handed descriptor" "is in use" "$card" \
    bash -c 'exec 9<>"$1" && BRINDLECARD_DEVICE_FD="9:$2" exec "$3" format "$1" --allow-loop --yes' _ \
    "$card" "$devno" "$exe"
# Reading is not taking: the check reads a card another program holds.
said=$("$exe" check "$card" --allow-loop 2>&1)
status=$?
case "$said" in *busy*|*"in use"*|*"could not be opened"*) fail "check of a held card: $said" ;; esac
[ "$status" -le 1 ] || fail "check of a held card ended with $status: $said"
kill "$holder" && wait "$holder" 2>/dev/null
holder=

# A mounted card: refused, then unmounted on request and formatted.
# Inode tables and journal written now: the kernel would otherwise fill them in behind our
# back once mounted, and the card would change while we check that nothing wrote to it.
mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$card" || fail "mkfs.ext4"
# list names any file system on a card, and who may format it.
listed=$("$exe" list --allow-loop --json | grep -F "\"path\":\"$card\"")
case $listed in
    *'"fileSystem":"ext4"'*'"formatBy":"root"'*) echo "ok: list names ext4 on $card" ;;
    *) fail "list of an ext4 card: $listed" ;;
esac
if command -v setpriv >/dev/null; then
    # Without udisks2 (no system bus) nobody formats it but root.
    listed=$(setpriv --reuid=65534 --regid=65534 --clear-groups env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$scratch/no-bus" \
        "$exe" list --allow-loop --json |
        grep -F "\"path\":\"$card\"")
    case $listed in
        *'"readable":false'*'"formatBy":""'*) echo "ok: list as another user" ;;
        *) fail "list as a user who may not read $card: $listed" ;;
    esac
fi
mkdir -p mnt
# Mounted read-only: a read-write ext4 writes its superblock again a few seconds after the
# mount, which would look like the refused format writing to the card.
if mount -o ro "$card" mnt 2>/dev/null; then
    mounted+=("$scratch/mnt")
    refused "a mounted card" "is mounted at $scratch/mnt; unmount it first" "$card" \
        "$exe" format "$card" --allow-loop --yes
    # Planning only reads: a mounted card is planned.
    "$exe" plan "$card" --allow-loop >/dev/null 2>stderr.txt || fail "plan of a mounted card: $(cat stderr.txt)"
    "$exe" format "$card" --allow-loop --yes --unmount >/dev/null 2>stderr.txt ||
        fail "--unmount: $(cat stderr.txt)"
    grep -q "unmounted $scratch/mnt" stderr.txt || fail "--unmount did not say what it unmounted"
    grep -q " $scratch/mnt " /proc/self/mountinfo && fail "--unmount left the card mounted"
    # A mount point's control characters reach the terminal escaped, in a refusal and in list.
    escape=$(printf '\033')
    mkdir -p "mnt${escape}[2J"
    mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$card" && mount -o ro "$card" "mnt${escape}[2J" && mounted+=("$scratch/mnt${escape}[2J")
    refused "a card mounted at a path with an escape in it" 'mounted at .*mnt\\x1b\[2J' "$card" \
        "$exe" format "$card" --allow-loop --yes
    "$exe" list --allow-loop >list.txt 2>&1
    grep -q "$escape" stderr.txt list.txt && fail "an escape character reached the terminal: $(cat -v stderr.txt list.txt)"
    grep -qF 'mnt\x1b[2J' list.txt || fail "list does not show the mount point escaped: $(cat -v list.txt)"
    umount "mnt${escape}[2J"
else
    echo "skip: this system cannot mount ext4; the mount check ran on a fake table above"
fi

# A user who may not open the card's device, and whom udisks2 does not help (no system bus
# here), is refused with one sentence; handed a descriptor of it (as udisks2 hands one to a
# desktop user), the same user formats it, to the same bytes as root.
if command -v setpriv >/dev/null; then
    nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    refused "a user who may not open the card" "cannot open $card: udisks2 is not running.*; run brindlecard as root" \
        "$card" "${nobody[@]}" env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$scratch/no-bus" "$exe" format "$card" \
        --allow-loop --yes
    # A quick format leaves the data area alone: both start from the same blank card.
    dd if=/dev/zero of="$card" bs=1M count=16 conv=notrunc status=none
    "$exe" format "$card" --allow-loop --yes --label HANDED >/dev/null 2>&1 || fail "format as root"
    as_root=$(head -c 16M "$card" | sha256sum)
    dd if=/dev/zero of="$card" bs=1M count=16 conv=notrunc status=none
    if (exec 9<>"$card" && BRINDLECARD_DEVICE_FD="9:$devno" DBUS_SYSTEM_BUS_ADDRESS="unix:path=$scratch/no-bus" \
            "${nobody[@]}" "$exe" format "$card" \
            --allow-loop --yes --label HANDED) >/dev/null 2>stderr.txt; then
        [ "$(head -c 16M "$card" | sha256sum)" = "$as_root" ] &&
            echo "ok: formatted through a handed descriptor as another user, as root formats it" ||
            fail "the format through a handed descriptor differs from root's"
    else
        fail "format through a handed descriptor: $(cat stderr.txt)"
    fi
fi

# Without discard the erase is reported as not supported and the card formatted all the same.
if echo 0 >"/sys/block/$name/queue/discard_max_bytes" 2>/dev/null &&
    [ "$(cat "/sys/block/$name/queue/discard_max_bytes")" = 0 ]; then
    out=$("$exe" format "$card" --allow-loop --type erase --yes --json 2>/dev/null)
    if [ "$(json_field outcome <<<"$out")" = formatted ] && [ $(($(json_field status <<<"$out") & 0x20)) -ne 0 ] &&
        json_field message <<<"$out" | grep "Сброс ПО" >/dev/null; then
        echo "ok: erase without discard support: status $(json_field status <<<"$out")"
    else
        fail "erase without discard: $out"
    fi
else
    echo "skip: this kernel does not let discard be switched off"
fi

# A card that fails under the format: a loop device over a file on a tmpfs too small for it. The
# writes the library has accepted fail on their way to the device; the format must say so, on
# every kind of format, rather than report the card formatted.
mkdir -p small
if mount -t tmpfs -o size=16M tmpfs small 2>/dev/null; then
    mounted+=("$scratch/small")
    # type, room on the tmpfs, card size: the overwrite fails in the middle, the quick format in
    # its gathered system-area writes.
    for row in "overwrite 16M 64M" "quick 4K 3G"; do
        set -- $row
        rm -f small/card.img
        mount -o remount,size="$2" small
        truncate -s "$3" small/card.img
        attach full small/card.img
        out=$("$exe" format "$full" --allow-loop --type "$1" --yes --json 2>stderr.txt)
        status=$?
        if [ "$status" -eq 1 ] && [ "$(json_field outcome <<<"$out")" = failed ]; then
            echo "ok: a card that fails during the format ($1): $(json_field message <<<"$out")"
        else
            fail "a card that fails during the format ($1) ended with $status: $out $(cat stderr.txt)"
        fi
        losetup -d "$full"
    done
else
    echo "skip: this system cannot mount a tmpfs for the failing card"
fi

# The list: no disk of this system but the loop cards, and those only with --allow-loop.
"$exe" list --json >list.json || fail "list failed"
python3 - "$card" list.json <<'EOF' || fail "list without --allow-loop offers a disk"
import json, sys
disks = [json.loads(line) for line in open(sys.argv[2])]
assert all(not d["qualifies"] and d["reason"] for d in disks), disks
assert any(d["path"] == sys.argv[1] for d in disks)
EOF
"$exe" list --json --allow-loop >list.json || fail "list --allow-loop failed"
python3 - "$card" list.json <<'EOF' || fail "list --allow-loop does not offer the loop card"
import json, sys
disks = {d["path"]: d for d in map(json.loads, open(sys.argv[2]))}
card = disks[sys.argv[1]]
assert card["qualifies"] and card["fileSystem"] == "vfat" and card["bytes"] == 64 << 20, card
EOF

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all loop-card checks passed"
