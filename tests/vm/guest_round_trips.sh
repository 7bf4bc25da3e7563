# Quick, erase and overwrite formats on an SD slot (sdhci, mmc_block) and a USB card reader
# (usb-storage): each then passes the command's check and the file system's checker, and after
# a full format the old data in the data area is gone. Then the throughput of an overwrite and
# an erase beside dd and blkdiscard on the same devices (printed, not judged).
# shellcheck disable=SC1091
. "$VM_OUT/guest_lib.sh"

sd=$(dev sd) || fail "no SD slot"
usb=$(dev usb) || fail "no USB reader"
[ "$failures" -eq 0 ] || finish

# The partition's node once the kernel has read the new table.
first_partition() {
    local d=$1 p tries
    case $d in *[0-9]) p=${d}p1 ;; *) p=${d}1 ;; esac
    for tries in $(seq 50); do
        [ -b "$p" ] && { echo "$p"; return 0; }
        blockdev --rereadpt "$d" 2>/dev/null
        sleep 0.1
    done
    return 1
}

# spots DEVICE AREA: sector numbers in the data area that a format's own structures never reach,
# one after the first MiB of it, one in the middle, one at the end.
spots() {
    local sectors
    sectors=$(($(blockdev --getsize64 "$1") / 512))
    echo "$(($2 + 2048)) $((($2 + sectors) / 2)) $((sectors - 8))"
}

# The erased byte the card reports (mmc: erased_byte is not in sysfs; the SD cards read 0 after
# an erase unless their register says otherwise), or any single value repeated.
uniform() { [ "$(od -An -v -tx1 | tr -s ' \n' '\n\n' | grep -v '^$' | sort -u | wc -l)" -eq 1 ]; }

# round_trip NAME DEVICE TYPE LABEL FILESYSTEM
round_trip() {
    local name=$1 d=$2 type=$3 label=$4 fs=$5 out plan area s part first
    plan=$("$exe" plan "$d" --json 2>&1) || { fail "$name: plan: $plan"; return; }
    area=$(($(json_field partitionStart <<<"$plan") + $(json_field systemSectors <<<"$plan")))
    # Old data where the full formats must clear it.
    for s in $(spots "$d" "$area"); do
        head -c 4096 /dev/urandom | dd of="$d" bs=512 seek="$s" oflag=direct conv=notrunc status=none
    done
    out=$(timeout 900 "$exe" format "$d" --type "$type" --label "$label" --yes --json 2>stderr.txt)
    [ "$(json_field outcome <<<"$out" 2>/dev/null)" = formatted ] ||
        { fail "$name: $out $(cat stderr.txt)"; return; }
    [ "$(json_field fileSystem <<<"$out")" = "$fs" ] || fail "$name: not $fs: $out"
    local discard
    discard=$(cat "$(sysfs_dir "$d")/queue/discard_max_bytes")
    case $type in
    erase)
        if [ "$discard" = 0 ]; then
            # A reader without discard: said so, and formatted all the same.
            [ $(($(json_field status <<<"$out") & 0x20)) -ne 0 ] && grep -q "not supported\|does not support" <<<"$out" ||
                fail "$name: an erase without discard is not reported as not supported: $out"
            ok "$name: no discard, the erase is reported as not supported"
            type=quick
        else
            [ "$(json_field eraseResult <<<"$out")" = 0 ] || fail "$name: the erase did not run: $out"
        fi
        ;;
    overwrite) [ "$(json_field overwriteResult <<<"$out")" = 0 ] || fail "$name: the overwrite did not run: $out" ;;
    esac
    "$exe" check "$d" >check.txt 2>&1 || fail "$name: check: $(cat check.txt)"
    part=$(first_partition "$d") || { fail "$name: no partition after the format"; return; }
    case $fs in
    exFAT) fsck.exfat -n "$part" >fsck.txt 2>&1 || fail "$name: fsck.exfat: $(tail -n 3 fsck.txt)" ;;
    *)
        # The label note of a first format is checked on its own below.
        fsck.fat -n "$part" >fsck.txt 2>&1
        grep -Ev "^(fsck.fat |Leaving filesystem unchanged|$part: [0-9]+ files|\$|There is no label in boot sector, but there is volume label '$label'|  Auto-copying volume label)" \
            fsck.txt >faults.txt && fail "$name: fsck.fat: $(tr '\n' ' ' <faults.txt)"
        ;;
    esac
    if [ "$type" != quick ]; then
        first=
        for s in $(spots "$d" "$area"); do
            dd if="$d" bs=512 skip="$s" count=8 iflag=direct status=none >spot.bin
            if [ "$type" = overwrite ]; then
                [ "$(tr -d '\377' <spot.bin | wc -c)" -eq 0 ] || fail "$name: sector $s is not 0xFF after the overwrite"
            else
                uniform <spot.bin || fail "$name: sector $s still holds old data after the erase"
                # Every spot reads the one erased value.
                [ -z "$first" ] && first=$(od -An -tx1 -N1 spot.bin)
                [ "$(od -An -tx1 -N1 spot.bin)" = "$first" ] || fail "$name: sector $s reads another erased value"
            fi
        done
    fi
    ok "$name ($type, $fs, $(json_field overwriteMs <<<"$out") ms overwrite, $(json_field eraseMs <<<"$out") ms erase)"
}

for type in quick erase overwrite; do
    round_trip "SD slot $type" "$sd" "$type" SDCARD FAT
    round_trip "USB reader $type" "$usb" "$type" USBCARD FAT
done

# After a labelled first format (a blank card) the file system's checker finds nothing to
# say: the label is in the boot sector as well as in the root directory.
for d in "$sd" "$usb"; do
    blkdiscard -f -z "$d" 2>/dev/null || dd if=/dev/zero of="$d" bs=1M count=8 oflag=direct status=none
    "$exe" format "$d" --label FIRST --yes --quiet || fail "labelled format of $d"
    part=$(first_partition "$d")
    if fsck.fat -n "$part" >fsck.txt 2>&1 && ! grep -Eqi "label" fsck.txt; then
        ok "fsck.fat -n after a labelled first format of $d finds nothing"
    else
        fail "fsck.fat -n after a labelled first format of $d: $(grep -Ei 'label' fsck.txt | tr '\n' ' ')"
    fi
done

# Throughput on the same devices, for the record.
throughput() {
    local name=$1 d=$2 bytes start end out
    bytes=$(blockdev --getsize64 "$d")
    start=$(date +%s.%N)
    dd if=/dev/zero of="$d" bs=4M oflag=direct iflag=count_bytes count="$bytes" status=none
    end=$(date +%s.%N)
    echo "throughput: $name dd bs=4M oflag=direct $(echo "$bytes $start $end" | awk '{printf "%.1f s, %.1f MiB/s", $3-$2, $1/1048576/($3-$2)}')"
    out=$("$exe" format "$d" --type overwrite --yes --json 2>/dev/null)
    echo "throughput: $name overwrite pass $(echo "$bytes $(json_field overwriteMs <<<"$out")" | awk '{printf "%.1f s, %.1f MiB/s", $2/1000, $1/1048576/($2/1000)}')"
    start=$(date +%s.%N)
    blkdiscard -f "$d" && end=$(date +%s.%N) &&
        echo "throughput: $name blkdiscard $(echo "$start $end" | awk '{printf "%.2f s", $2-$1}')" ||
        echo "throughput: $name blkdiscard not supported"
    out=$("$exe" format "$d" --type erase --yes --json 2>/dev/null)
    echo "throughput: $name erase pass $(json_field eraseMs <<<"$out") ms (result $(json_field eraseResult <<<"$out"))"
}
throughput "SD slot" "$sd"
throughput "USB reader" "$usb"
finish
