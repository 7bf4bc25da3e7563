#!/usr/bin/env bash
# Hostile inputs against the brindlecard command: links to a victim file, FIFOs, /dev/zero and
# device nodes where an image or a sidecar belongs, and cards whose cluster chains loop. Every
# run is bounded by timeout. A refused input must give a message on stderr and exit status 1 or
# 2; a card with a looping chain must simply format; and the victim file must keep its bytes.
#
#   tests/cli/hostile_inputs.sh BRINDLECARD
set -u

exe=$(readlink -f "${1:?usage: hostile_inputs.sh BRINDLECARD}")
[ -x "$exe" ] || { echo "no brindlecard at $1"; exit 1; }
# Seconds for any one run (each takes well under one), then SIGKILL: the command takes SIGTERM
# as a request to stop at its next checkpoint, which a run blocked in an open never reaches.
bound=20
scratch=$(mktemp -d "${TMPDIR:-/tmp}/brc-hostile.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
# The single-instance lock of this run lives here, apart from tests running beside it.
export XDG_RUNTIME_DIR="$scratch"
cd "$scratch" || exit 1
unset BRINDLECARD_CARDS
# The messages quoted below are the command's own (Russian) texts.
unset LC_ALL LANGUAGE
export LC_MESSAGES=ru_RU.UTF-8

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

victim=$scratch/victim.txt
printf 'precious data, not a card\n' >"$victim"
victim_sum=$(sha256sum <"$victim")

# refused NAME PATTERN COMMAND...: COMMAND must end within the bound with status 1 or 2 and a
# message on stderr matching PATTERN (grep -E), and leave the victim file alone.
refused() {
    local name=$1 pattern=$2 status
    shift 2
    timeout -k 5 "$bound" "$@" </dev/null >/dev/null 2>stderr.txt
    status=$?
    if [ "$status" -eq 124 ]; then
        fail "$name: still running after ${bound} s"
    elif [ "$status" -ne 1 ] && [ "$status" -ne 2 ]; then
        fail "$name: exit status $status, not 1 or 2"
    elif ! grep -Eq "$pattern" stderr.txt; then
        fail "$name: stderr lacks /$pattern/: $(tr '\n' ' ' <stderr.txt)"
    else
        echo "ok: $name (status $status): $(head -n 1 stderr.txt)"
    fi
    [ "$(sha256sum <"$victim")" = "$victim_sum" ] || fail "$name: the victim file changed"
}

# A fresh 1 MiB card named $1, with its sidecar.
card() {
    rm -f "$1" "$1.card"
    "$exe" card create "$1" --size 1M >/dev/null || fail "cannot create the card $1"
}

# ---- symbolic links to the victim ---------------------------------------------------------

ln -s "$victim" link.img
refused "card create --force on a link to the victim" "is a symbolic link" \
    "$exe" card create link.img --size 1M --force
[ -L link.img ] || fail "the link given to card create is gone"
rm -f link.img*

ln -s "$scratch/absent.txt" dangling.img
refused "card create on a link to a missing file" "is a symbolic link" \
    "$exe" card create dangling.img --size 1M
[ -e absent.txt ] && fail "card create made the missing target of a link"
rm -f dangling.img*

ln -s "$victim" side.img.card
refused "card create --force with the sidecar a link to the victim" "is a symbolic link" \
    "$exe" card create side.img --size 1M --force
[ -e side.img ] && fail "a refused card create left side.img behind"
rm -f side.img*

# A sidecar that is a link is not followed: its target, whatever file it is, is never read nor
# quoted.
card linked.img
ln -sf "$victim" linked.img.card
for command in plan check "format --yes"; do
    refused "$command with the sidecar a link to the victim" "linked.img.card: cannot read: a symbolic link" \
        "$exe" $command linked.img
    grep -qF "$(head -n 1 "$victim")" stderr.txt && fail "$command quoted the file the sidecar links to"
done

# ---- other things that are not regular files, and regular ones -------------------------------

mkdir dir.img
refused "card create --force on a directory" "is a directory" \
    "$exe" card create dir.img --size 1M --force
python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind("sock.img")'
refused "card create --force on a socket" "is a socket" "$exe" card create sock.img --size 1M --force
[ -d dir.img ] && [ -S sock.img ] || fail "a directory or socket given to card create is gone"

cp "$victim" old.img
refused "card create on an existing file" "already exists; use --force" \
    "$exe" card create old.img --size 1M
cmp -s "$victim" old.img || fail "card create without --force changed an existing file"
if "$exe" card create old.img --size 1M --force >/dev/null 2>&1 &&
    [ "$(stat -c %s old.img)" -eq 1048576 ] && [ -z "$(tr -d '\0' <old.img)" ] &&
    grep -q '^protected_sectors = 0$' old.img.card; then
    echo "ok: card create --force replaced a regular file with an empty card"
else
    fail "card create --force did not replace a regular file with an empty 1 MiB card"
fi

# ---- FIFOs -----------------------------------------------------------------------------------

mkfifo fifo.img
refused "card create --force on a FIFO" "is a FIFO" "$exe" card create fifo.img --size 1M --force
[ -p fifo.img ] || fail "the FIFO given to card create is gone"
refused "plan on a FIFO" "is a FIFO, not an image" "$exe" plan fifo.img
refused "check on a FIFO" "is a FIFO, not an image" "$exe" check fifo.img
refused "format on a FIFO" "is a FIFO, not an image" "$exe" format fifo.img --yes
refused "plan on a FIFO mapped to a drive letter" "is a FIFO, not an image" \
    env BRINDLECARD_CARDS="E=$scratch/fifo.img" "$exe" plan E:
refused "format on a FIFO mapped to a drive letter" "is a FIFO, not an image" \
    env BRINDLECARD_CARDS="E=$scratch/fifo.img" "$exe" format E: --yes

card fifoside.img
rm -f fifoside.img.card
mkfifo fifoside.img.card
refused "plan with a FIFO sidecar" "cannot read: not a regular file" "$exe" plan fifoside.img
refused "check with a FIFO sidecar" "cannot read: not a regular file" "$exe" check fifoside.img
refused "format with a FIFO sidecar" "cannot read: not a regular file" "$exe" format fifoside.img --yes

# The test views of the system (a fake sysfs, mount table and swap list) are read like the
# system's own: a FIFO there is no table and must not hold the command.
for hook in BRINDLECARD_TEST_SYSFS BRINDLECARD_TEST_MOUNTINFO BRINDLECARD_TEST_SWAPS; do
    timeout -k 5 "$bound" env "$hook=$scratch/fifo.img" "$exe" list --allow-loop </dev/null >/dev/null 2>stderr.txt
    status=$?
    if [ "$status" -eq 124 ] || [ "$status" -gt 1 ]; then
        fail "list with $hook a FIFO: status $status: $(tr '\n' ' ' <stderr.txt)"
    else
        echo "ok: list with $hook a FIFO ends (status $status)"
    fi
done
refused "card create --force with a FIFO sidecar" "is a FIFO" \
    "$exe" card create fifoside.img --size 1M --force

# ---- devices -----------------------------------------------------------------------------

card zero.img
ln -sf /dev/zero zero.img.card
refused "plan with /dev/zero as the sidecar" "cannot read: a symbolic link" "$exe" plan zero.img
refused "check with /dev/zero as the sidecar" "cannot read: a symbolic link" "$exe" check zero.img
refused "format with /dev/zero as the sidecar" "cannot read: a symbolic link" \
    "$exe" format zero.img --yes

# /dev/null is at most inspected: card create refuses it before opening it.
refused "card create --force on /dev/null" "is a character device" \
    "$exe" card create /dev/null --size 1M --force
[ -c /dev/null ] || fail "/dev/null is no longer a character device"

if [ "$(id -u)" -eq 0 ]; then
    # Nodes of our own: a null device, and a block device of a major number reserved for local
    # use, which no driver serves (opening it could reach nothing).
    mknod null-node c 1 3 && mknod block-node b 240 0 || fail "mknod failed"
    refused "card create --force on a character device node" "is a character device" \
        "$exe" card create null-node --size 1M --force
    refused "card create --force on a block device node" "is a block device" \
        "$exe" card create block-node --size 1M --force
    [ -c null-node ] && [ -b block-node ] || fail "a device node given to card create is gone"
    card nodeside.img
    rm -f nodeside.img.card
    mknod nodeside.img.card c 1 5  # a zero device
    refused "plan with a device node as the sidecar" "cannot read: not a regular file" \
        "$exe" plan nodeside.img
    refused "plan on a block device node mapped to a drive letter" "no driver of the kernel serves" \
        env BRINDLECARD_CARDS="E=$scratch/block-node" "$exe" plan E:
else
    echo "skip: device nodes of our own need root (mknod); /dev/null stood in above"
fi

# ---- cluster chains that loop --------------------------------------------------------------
# A card is formatted, then its FAT and root directory are patched in the image file: the root
# directory's chain loops onto itself and its entries are all deleted ones, so no entry ends it
# (FAT12 and FAT16 keep a fixed root, so there a data chain loops instead). A format reads the old
# label first; it must treat the damage as no label and format the card.

# le FILE OFFSET BYTES: the unsigned little-endian number there.
le() { od -An -tu"$3" -j "$2" -N "$3" "$1" | tr -d ' '; }
# put32 FILE OFFSET VALUE
put32() {
    printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($3 & 255)) $(($3 >> 8 & 255)) \
        $(($3 >> 16 & 255)) $(($3 >> 24 & 255)))" |
        dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# fill FILE OFFSET LENGTH OCTAL: LENGTH bytes of one value.
fill() {
    head -c "$3" /dev/zero | tr '\0' "\\$4" |
        dd of="$1" bs=4096 oflag=seek_bytes seek="$2" conv=notrunc status=none
}

# loop_chain IMAGE TYPE: patches the formatted card; prints the FAT offset of the looping entry.
loop_chain() {
    local img=$1 type=$2 base bps spc res fats fatsz root fat
    base=$(($(le "$img" 454 4) * 512))
    if [ "$type" = exFAT ]; then
        local fatoff heap shift cshift
        fatoff=$(le "$img" $((base + 80)) 4) heap=$(le "$img" $((base + 88)) 4)
        root=$(le "$img" $((base + 96)) 4)
        shift=$(le "$img" $((base + 108)) 1) cshift=$(le "$img" $((base + 109)) 1)
        fat=$((base + (fatoff << shift)))
        put32 "$img" $((fat + root * 4)) "$root"
        fill "$img" $((base + (heap << shift) + ((root - 2) << (shift + cshift)))) \
            $((1 << (shift + cshift))) 005
        echo $((fat + root * 4))
        return
    fi
    bps=$(le "$img" $((base + 11)) 2) spc=$(le "$img" $((base + 13)) 1)
    res=$(le "$img" $((base + 14)) 2) fats=$(le "$img" $((base + 16)) 1)
    fat=$((base + res * bps))
    if [ "$type" = FAT32 ]; then
        fatsz=$(le "$img" $((base + 36)) 4) root=$(le "$img" $((base + 44)) 4)
        for ((i = 0; i < fats; i++)); do put32 "$img" $((fat + i * fatsz * bps + root * 4)) "$root"; done
        fill "$img" $((base + (res + fats * fatsz) * bps + (root - 2) * spc * bps)) $((spc * bps)) 345
        echo $((fat + root * 4))
    else
        local entries
        fatsz=$(le "$img" $((base + 22)) 2) entries=$(le "$img" $((base + 17)) 2)
        fill "$img" $((base + (res + fats * fatsz) * bps)) $((entries * 32)) 345
        # Cluster 2 links to itself: FAT12 entry 2 is the low 12 bits at byte 3, FAT16's at byte 4.
        local at=$([ "$type" = FAT12 ] && echo 3 || echo 4)
        for ((i = 0; i < fats; i++)); do
            printf '\002\000' | dd of="$img" bs=1 seek=$((fat + i * fatsz * bps + at)) conv=notrunc status=none
        done
        echo $((fat + at))
    fi
}

for size_type in 16M:FAT12 256M:FAT16 30G:FAT32 64G:exFAT; do
    size=${size_type%%:*} type=${size_type#*:} img=loop-$type.img
    rm -f "$img" "$img.card"
    "$exe" card create "$img" --size "$size" >/dev/null || fail "$type: cannot create a $size card"
    timeout -k 5 "$bound" "$exe" format "$img" --yes >/dev/null 2>&1 || fail "$type: the first format failed"
    made=$("$exe" plan "$img" --json | sed -n 's/.*"fsType":"\([^"]*\)".*/\1/p')
    [ "$made" = "$type" ] || fail "$type: a $size card was formatted as '$made'"
    entry=$(loop_chain "$img" "$type")
    # The check reads no chain, so it ends; it tells a root directory chain that does not end
    # where the format ends it (FAT12 and FAT16 loop only a data chain, which it does not read).
    timeout -k 5 "$bound" "$exe" check "$img" </dev/null >/dev/null 2>&1
    status=$? checked=$(case $type in FAT12 | FAT16) echo 0 ;; *) echo 1 ;; esac)
    [ "$status" -eq "$checked" ] ||
        fail "$type: the check of a card whose chain loops ended with $status, not $checked"
    timeout -k 5 "$bound" "$exe" format "$img" --yes --label LOOPED </dev/null >/dev/null 2>stderr.txt
    status=$?
    if [ "$status" -eq 124 ]; then
        fail "$type: the format of a card whose chain loops still ran after ${bound} s"
    elif [ "$status" -ne 0 ]; then
        fail "$type: the format of a card whose chain loops ended with $status: $(tr '\n' ' ' <stderr.txt)"
    else
        case $type in
        FAT12) after=$(($(le "$img" "$entry" 2) & 0xFFF)) ;;
        FAT16) after=$(le "$img" "$entry" 2) ;;
        *) after=$(le "$img" "$entry" 4) ;;
        esac
        expected=$(case $type in FAT12 | FAT16) echo 0 ;; FAT32) echo 268435455 ;; exFAT) echo 4294967295 ;; esac)
        if [ "$after" = "$expected" ]; then
            echo "ok: $type card whose chain loops formatted anew"
        else
            fail "$type: the looping FAT entry holds $after after the format, not $expected"
        fi
    fi
    rm -f "$img" "$img.card"
done

# ---- cards the check reads: noise, damaged boot sectors, cut-off images ----------------------
# The check must end within the bound with status 1, say on stdout what it found, and leave the
# card alone: its system area's bytes (the first 64 MiB), its size and its modification time.

# card_state IMAGE
card_state() { head -c 64M "$1" | sha256sum; stat -c '%y %s' "$1"; }

# inspected NAME IMAGE PATTERN
inspected() {
    local name=$1 img=$2 pattern=$3 status before
    before=$(card_state "$img")
    timeout -k 5 "$bound" "$exe" check "$img" </dev/null >stdout.txt 2>&1
    status=$?
    if [ "$status" -eq 124 ]; then
        fail "$name: still running after ${bound} s"
    elif [ "$status" -ne 1 ]; then
        fail "$name: exit status $status, not 1"
    elif ! grep -Eq "$pattern" stdout.txt; then
        fail "$name: the report lacks /$pattern/: $(tr '\n' ' ' <stdout.txt)"
    else
        echo "ok: $name: $(head -n 1 stdout.txt)"
    fi
    [ "$(card_state "$img")" = "$before" ] || fail "$name: the check changed the card"
}

card noise.img
head -c 1048576 /dev/urandom | dd of=noise.img conv=notrunc status=none
inspected "check on random bytes" noise.img "holds no recognisable file system|does not follow"

for size_type in 16M:FAT12 256M:FAT16 64G:exFAT; do
    size=${size_type%%:*} type=${size_type#*:} img=damaged-$type.img
    rm -f "$img" "$img.card"
    "$exe" card create "$img" --size "$size" >/dev/null && "$exe" format "$img" --yes >/dev/null 2>&1 ||
        fail "$type: cannot make a formatted $size card"
    base=$(($(le "$img" 454 4) * 512))
    cp --sparse=always "$img" cut.img
    truncate -s $((base + 1048576)) cut.img
    inspected "check on $type cut off 1 MiB into its partition" cut.img "past the end of the card"
    head -c 512 /dev/urandom | dd of="$img" bs=1 seek="$base" conv=notrunc status=none
    inspected "check on $type with a random boot sector" "$img" \
        "holds no recognisable file system|does not follow"
    rm -f "$img" "$img.card" cut.img
done

[ "$(sha256sum <"$victim")" = "$victim_sum" ] || fail "the victim file changed"
if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "all hostile inputs handled"
