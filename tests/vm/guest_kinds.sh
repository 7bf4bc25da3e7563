# What the command makes of each kind of device the kernel's drivers bring up: an SD slot, a
# write-protected card in one, a USB card reader (bulk-only, and one speaking UAS), a USB disk
# that is not removable, a SATA disk and a virtio disk. `list --json` gives each its kind and bus and says whether it may be
# formatted; every refusal (a partition, a mounted card, a card another program holds, a
# write-protected card, the disks the system runs from or does not let go) writes nothing to
# any disk. The sysfs facts the command reads are left in RUN/facts.txt.
# shellcheck disable=SC1091
. "$VM_OUT/guest_lib.sh"

declare -A node
for name in sd usbro usb uas usbfix sata virt; do
    node[$name]=$(dev "$name") || fail "$name did not come up"
done
[ "$failures" -eq 0 ] || finish
all="${!node[*]}"

# The attributes block_devices.cpp reads, for each kind, as the kernel gives them.
for name in sd usbro usb uas usbfix sata virt; do
    d=$(sysfs_dir "${node[$name]}")
    echo "[$name] ${d#/sys/devices/}"
    for a in dev removable ro size queue/logical_block_size queue/discard_max_bytes queue/max_sectors_kb \
        device/type device/vendor device/model device/name device/manfid device/oemid device/serial; do
        [ -f "$d/$a" ] && echo "$a = $(cat "$d/$a")"
    done
done >"$VM_OUT/facts.txt"

# list: kind, bus and whether each qualifies. Rows: name kind bus qualifies.
"$exe" list --json >list.json 2>list.err || fail "list: $(cat list.err)"
cat >row.py <<'EOF'
import json, sys
path, kind, bus, qualifies, listing = sys.argv[1:]
disks = {d["path"]: d for d in map(json.loads, open(listing))}
d = disks[path]
assert d["kind"] == kind.replace("_", " "), d
assert d["bus"] == bus, d
assert str(d["qualifies"]).lower() == qualifies, d
assert d["qualifies"] or d["reason"].startswith(path + " "), d
print(d["kind"], d["bus"], d["vendor"], d["model"], d["reason"])
EOF
while read -r name kind bus qualifies; do
    if python3 row.py "${node[$name]}" "$kind" "$bus" "$qualifies" list.json >row.txt 2>&1; then
        ok "list: $name: $(cat row.txt)"
    else
        fail "list: $name: $(tail -n 1 row.txt)"
    fi
done <<'EOF'
sd SD_card_slot MMC true
usb card_reader USB true
uas card_reader USB true
usbfix fixed_disk USB false
virt fixed_disk virtio false
EOF
# The UAS reader is driven by uas, not by usb-storage's bulk-only transport.
uas_interface=$(sysfs_dir "${node[uas]}")
uas_driver=$(basename "$(readlink "${uas_interface%%/host*}/driver")")
[ "$uas_driver" = uas ] && ok "the UAS reader is driven by uas" || fail "the UAS reader is driven by '$uas_driver'"
usbro_listed=$(grep -F "\"path\":\"${node[usbro]}\"" list.json)
case $usbro_listed in
    *'"readOnly":true'*) ok "list: the write-protected card is read-only" ;;
    *) fail "list: the write-protected card: $usbro_listed" ;;
esac

# A disk on the AHCI controller is a SATA disk, and the virtio disk's maker is not the raw PCI
# vendor number the kernel gives.
sata_bus=$(grep -F "\"path\":\"${node[sata]}\"" list.json | json_field bus)
sata_qualifies=$(grep -F "\"path\":\"${node[sata]}\"" list.json | json_field qualifies)
[ "$sata_qualifies" = False ] || fail "list: the SATA disk qualifies"
[ "$sata_bus" = SATA ] && ok "list: the SATA disk's bus is SATA" ||
    fail "list: the SATA disk's bus is '$sata_bus', not SATA"
virt_vendor=$(grep -F "\"path\":\"${node[virt]}\"" list.json | json_field vendor)
case $virt_vendor in
    0x*) fail "list: the virtio disk's vendor is the PCI number '$virt_vendor'" ;;
    *) ok "list: the virtio disk's vendor is '$virt_vendor'" ;;
esac

# The disks the command must never touch.
usb=${node[usb]}
refused "the SATA disk" "^brindlecard: ${node[sata]} is not removable" "$all" "$exe" format "${node[sata]}" --yes
refused "the virtio disk" "^brindlecard: ${node[virt]} is not removable" "$all" "$exe" format "${node[virt]}" --yes
refused "a USB disk that is not removable" "^brindlecard: ${node[usbfix]} is not removable" "$all" \
    "$exe" format "${node[usbfix]}" --yes --type overwrite
refused "plan of a write-protected card" "is write-protected" "$all" "$exe" plan "${node[usbro]}"
# The system's own sentence for a write-protected card may take more than one line.
before=$(digest $all)
"$exe" format "${node[usbro]}" --yes >/dev/null 2>stderr.txt
status=$?
[ "$status" -eq 1 ] && grep -qi "write.protect" stderr.txt && ok "format of a write-protected card: $(head -n 1 stderr.txt)" ||
    fail "format of a write-protected card: status $status: $(cat stderr.txt)"
[ "$(digest $all)" = "$before" ] || fail "format of a write-protected card: a disk was written"

# A card another program holds exclusively.
python3 -c 'import os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_EXCL)
open(sys.argv[2], "w").close()
time.sleep(120)' "${node[sd]}" "$VM_OUT/held" &
holder=$!
for _ in $(seq 100); do [ -e "$VM_OUT/held" ] && break; sleep 0.1; done
refused "a card another program holds" "is in use" "$all" "$exe" format "${node[sd]}" --yes
kill "$holder"
wait "$holder" 2>/dev/null

# A card with partitions: one for files, one for swap.
printf 'label: dos\n,16M,c\n,,82\n' | sfdisk -q "$usb" >/dev/null 2>&1 || fail "sfdisk"
blockdev --rereadpt "$usb"
for _ in $(seq 50); do [ -b "${usb}2" ] && break; sleep 0.1; done
mkfs.vfat "${usb}1" >/dev/null && mkswap "${usb}2" >/dev/null || fail "mkfs.vfat, mkswap"
refused "a partition" "^brindlecard: ${usb}1 is a partition; a card is formatted whole" "$all" "$exe" format "${usb}1" --yes
mount -o ro "${usb}1" /mnt || fail "mount"
refused "a mounted card" "is mounted at /mnt; unmount it first" "$all" "$exe" format "$usb" --yes
umount /mnt
mount -o ro "${usb}1" /boot || fail "mount at /boot"
refused "a card holding /boot" "holds the running system \(/boot is mounted from ${usb#/dev/}1\)" "$all" \
    "$exe" format "$usb" --yes --unmount
umount /boot
swapon "${usb}2" || fail "swapon"
refused "a card holding the active swap" "holds the system's active swap \(on ${usb#/dev/}2\)" "$all" \
    "$exe" format "$usb" --yes --unmount
swapoff "${usb}2"

# The cards that qualify do format.
for name in sd usb uas; do
    "$exe" format "${node[$name]}" --yes --quiet 2>stderr.txt && "$exe" check "${node[$name]}" >/dev/null 2>&1 &&
        ok "$name formats and checks" || fail "$name: $(cat stderr.txt)"
done
finish
