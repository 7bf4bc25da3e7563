#!/bin/bash
# Makes many card images (ours of several capacities and types, mkfs.fat and mkfs.exfat ones with
# labels, damaged ones) and saves, for each, what `check` (text and --json), `plan --json` and
# the virtual-volume code (volume_dump: what the drive probes and the label step read) say of it.
# Run it before and after a change that must not change behaviour, then diff the two folders.
#
#   tools/compare_outputs.sh BRINDLECARD VOLUME_DUMP OUTDIR
set -u
BRC=$(realpath "$1")
DUMP=$(realpath "$2")
OUT=$3
export PATH="$PATH:/usr/sbin:/sbin"
# Serials and timestamps from a fixed clock, so that two runs make the same images.
export SOURCE_DATE_EPOCH=1700000000
mkdir -p "$OUT"
WORK=$(mktemp -d /tmp/compare-outputs.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
count=0

newcard() {  # NAME SECTORS [PROTECTED]
    "$BRC" card create "$WORK/$1.img" --force --sectors "$2" --protected "${3:-0}" >/dev/null
    echo "$WORK/$1.img"
}

record() {  # NAME [IMG]: every output for the image (by default $WORK/NAME.img)
    local img="${2:-$WORK/$1.img}" o="$OUT/$1"
    {
        echo "== check"; "$BRC" check "$img" 2>&1; echo "status $?"
        echo "== check --json"; "$BRC" check "$img" --json 2>&1; echo "status $?"
        echo "== plan --json"; "$BRC" plan "$img" --json 2>&1; echo "status $?"
        echo "== volume"; "$DUMP" "$img" 2>&1; echo "status $?"
    } | sed "s#$WORK#WORK#g" >"$o.txt"
    count=$((count + 1))
}

cleanup() { rm -f "$WORK/$1.img" "$WORK/$1.img.card"; }

# Byte $3 (hex, e.g. 05) written at offset $2 of image $1.
poke() { printf "\\x$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

# Sector of the boot sector: 0, or partition 1's start.
bootAt() { od -An -t u4 -j 454 -N 4 "$1" | tr -d ' '; }

# Our own formats: capacities, size adjustment, labels (σ is E5h in code page 437).
ours() {  # NAME SECTORS PROTECTED FORMAT-OPTIONS...
    local name=$1 sectors=$2 protected=$3
    shift 3
    local img
    img=$(newcard "$name" "$sectors" "$protected")
    "$BRC" format "$img" --yes -q "$@" >/dev/null 2>&1
    record "$name"
}
ours ours_fat12_small 15360 0
ours ours_fat12 130800 0 --label CARD12
ours ours_fat12_adj 130800 0 --size-adjust
ours ours_fat16 1984000 30720 --label "σIGMA"
ours ours_fat16_cp850 1984000 0 --codepage 850 --label "ÕKAY"  # Õ is E5h in code page 850
ours ours_fat16_adj 4211712 0 --size-adjust --label "Été"
ours ours_fat32 7744600 0 --label "σ32"
ours ours_fat32_adj 7744600 0 --size-adjust --label DATA
ours ours_fat32_big 67109000 0 --size-adjust
ours ours_exfat 67108864 4096 --label "Grüße σ"
ours ours_exfat_adj 67119570 0 --size-adjust
ours ours_exfat_big 124740000 0 --label BIG
ours ours_band 4180000 0

# A label entry's first byte set to 05h (E5h stored) in the root directory of a FAT image.
e5label() {  # IMG
    local img=$1 start root
    start=$(( $(bootAt "$img") ))
    python3 - "$img" "$start" <<'PY'
import struct, sys
img, start = sys.argv[1], int(sys.argv[2])
with open(img, "r+b") as f:
    f.seek(start * 512)
    b = f.read(512)
    bps, spc = struct.unpack_from("<HB", b, 11)
    reserved, fats, rootent = struct.unpack_from("<HBH", b, 14)
    fat16 = struct.unpack_from("<H", b, 22)[0]
    fatsz = fat16 or struct.unpack_from("<I", b, 36)[0]
    if rootent:
        root = (start + reserved + fats * fatsz) * 512
    else:
        rc = struct.unpack_from("<I", b, 44)[0]
        root = (start + reserved + fats * fatsz + (rc - 2) * spc) * 512
    f.seek(root)
    d = f.read(4096)
    for i in range(0, len(d), 32):
        if d[i + 11] == 0x08 and d[i] not in (0, 0xE5):
            f.seek(root + i)
            f.write(b"\x05")
            break
PY
}

# mkfs.exfat takes its serial from the clock: a fixed one is written, and the boot region's
# checksum and backup made again.
exfatserial() {  # IMG START
    python3 - "$1" "$2" <<'PY'
import struct, sys
img, start = sys.argv[1], int(sys.argv[2]) * 512
with open(img, "r+b") as f:
    f.seek(start)
    region = bytearray(f.read(12 * 512))
    struct.pack_into("<I", region, 100, 0x5E1A1C0D)
    s = 0
    for i in range(11 * 512):
        if i in (106, 107, 112):
            continue
        s = (((s << 31) | (s >> 1)) + region[i]) & 0xFFFFFFFF
    region[11 * 512:] = struct.pack("<I", s) * 128
    f.seek(start)
    f.write(region)
    f.write(region)
PY
}

# mkfs.fat on the whole card and inside our partition table.
mkfat() {  # NAME SECTORS MBR(none|ours) OPTIONS...
    local name=$1 sectors=$2 mbr=$3
    shift 3
    local img start=0
    img=$(newcard "$name" "$sectors")
    if [ "$mbr" = ours ]; then
        "$BRC" format "$img" --yes -q >/dev/null 2>&1
        start=$(bootAt "$img")
        dd if=/dev/zero of="$img" bs=512 seek=1 count=$((start + 65536)) conv=notrunc,sparse status=none
        mkfs.fat -i 1234ABCD "$@" -h "$start" --offset "$start" "$img" $(((sectors - start) / 2)) >/dev/null 2>&1
    else
        mkfs.fat -i 1234ABCD "$@" "$img" >/dev/null 2>&1
    fi
    echo "$img"
}
for row in "12 15360" "16 524288" "32 1048576" "32 8388608"; do
    set -- $row
    img=$(mkfat mkfs_fat$1_$2 "$2" none -F "$1" -n "LBL$1")
    record "mkfs_fat$1_$2"
    e5label "$img"
    record "mkfs_fat$1_$2_e5" "$img"
    cleanup "mkfs_fat$1_$2"
    img=$(mkfat mkfs_fat$1_$2_mbr "$2" ours -F "$1" -n "PART$1")
    record "mkfs_fat$1_$2_mbr"
    e5label "$img"
    record "mkfs_fat$1_$2_mbr_e5" "$img"
    # FAT type damage: the 16-bit FAT size zeroed (FAT32's mark), or the type string changed.
    start=$(bootAt "$img")
    if [ "$1" != 32 ]; then
        poke "$img" $((start * 512 + 22)) 00
        poke "$img" $((start * 512 + 23)) 00
        record "mkfs_fat$1_$2_nofatsize16" "$img"
    else
        poke "$img" $((start * 512 + 17)) 02
        record "mkfs_fat$1_$2_rootentries" "$img"
    fi
    cleanup "mkfs_fat$1_$2_mbr"
done
# FAT32 with few clusters (the two FAT-type readings differ) and FAT16 labelled without an MBR.
img=$(mkfat mkfs_fat32_few 262144 none -F 32 -s 8 -n FEW)
record mkfs_fat32_few
cleanup mkfs_fat32_few
img=$(mkfat mkfs_fat32_few_mbr 262144 ours -F 32 -s 4 -n FEWMBR)
record mkfs_fat32_few_mbr
cleanup mkfs_fat32_few_mbr

# mkfs.exfat on the whole card and in our partition, then damaged: a boot-region byte changed
# (bad checksum), the checksum sector changed, the card truncated.
for row in "131072 none" "67108864 none" "67108864 ours"; do
    set -- $row
    name=mkfs_exfat_$1_$2
    img=$(newcard "$name" "$1")
    start=0
    if [ "$2" = ours ]; then
        "$BRC" format "$img" --yes -q >/dev/null 2>&1
        start=$(bootAt "$img")
        truncate -s $((($1 - start) * 512)) "$WORK/part"
        mkfs.exfat -L "Ëx $1" "$WORK/part" >/dev/null 2>&1
        dd if="$WORK/part" of="$img" bs=512 seek="$start" count=65536 conv=notrunc,sparse status=none
        rm -f "$WORK/part"
    else
        mkfs.exfat -L "EX$1" "$img" >/dev/null 2>&1
    fi
    exfatserial "$img" "$start"
    record "$name"
    cp --sparse=always "$img" "$WORK/${name}_sum.img"
    cp "$img.card" "$WORK/${name}_sum.img.card"
    poke "$WORK/${name}_sum.img" $(((start + 1) * 512 + 7)) 5A
    record "${name}_sum"
    cleanup "${name}_sum"
    cp --sparse=always "$img" "$WORK/${name}_sumsector.img"
    cp "$img.card" "$WORK/${name}_sumsector.img.card"
    poke "$WORK/${name}_sumsector.img" $(((start + 11) * 512 + 3)) 00
    record "${name}_sumsector"
    cleanup "${name}_sumsector"
    truncate -s $(((start + 20) * 512)) "$img"
    record "${name}_truncated" "$img"
    cleanup "$name"
done

# Ours, damaged: a FAT16 card truncated inside its FAT, a FAT32 card whose boot sector lost its
# signature, an exFAT card with a bad checksum, one with its first partition entry emptied.
img=$(newcard dmg_fat16 1984000 30720)
"$BRC" format "$img" --yes -q --label TRUNC >/dev/null 2>&1
truncate -s $(( ($(bootAt "$img") + 3) * 512 )) "$img"
record dmg_fat16_truncated "$img"
cleanup dmg_fat16
img=$(newcard dmg_fat32 7744600)
"$BRC" format "$img" --yes -q --label SIG >/dev/null 2>&1
poke "$img" $(($(bootAt "$img") * 512 + 510)) 00
record dmg_fat32_nosig "$img"
poke "$img" $(($(bootAt "$img") * 512 + 510)) 55
poke "$img" $(($(bootAt "$img") * 512 + 82)) 41
record dmg_fat32_typestring "$img"
cleanup dmg_fat32
img=$(newcard dmg_exfat 67108864)
"$BRC" format "$img" --yes -q --label SUM >/dev/null 2>&1
poke "$img" $(($(bootAt "$img") * 512 + 120)) 01
record dmg_exfat_sum "$img"
poke "$img" 450 00
record dmg_exfat_noentry "$img"
cleanup dmg_exfat
newcard blank 2048 >/dev/null
record blank
cleanup blank

echo "compare_outputs: $count images recorded in $OUT"
