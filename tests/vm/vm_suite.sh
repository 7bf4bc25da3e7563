#!/usr/bin/env bash
# The command on the kernel's own card drivers: a QEMU guest (software emulation; KVM where it
# works) with SD slots (sdhci-pci), USB card readers (usb-storage and uas), a SATA and a virtio
# disk runs each group of cases in a boot of its own (tests/vm/guest_*.sh). Images are sparse
# files in a scratch folder, deleted afterwards; every QEMU started is stopped by its process
# id. Exits 77 (skipped) where QEMU cannot run or no kernel package can be had.
#
#   tests/vm/vm_suite.sh BRINDLECARD BUILD_DIR [GROUP...]
set -u

exe=$(readlink -f "${1:?usage: vm_suite.sh BRINDLECARD BUILD_DIR [GROUP...]}")
build=$(readlink -f "${2:?usage: vm_suite.sh BRINDLECARD BUILD_DIR [GROUP...]}")
shift 2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/vm/vm.sh
. "$here/vm.sh"

skip() {
    echo "skip: $*"
    exit 77
}
for tool in apt-get dpkg-deb gzip python3 md5sum readelf; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
for tool in fsck.fat fsck.exfat sfdisk mkswap blkdiscard; do
    command -v "$tool" >/dev/null || skip "the guest needs $tool from the host's root"
done
vm_prepare "$build/vm-cache"
case $? in
0) ;;
77) skip "$vm_why" ;;
*) echo "cannot prepare the guest: $vm_why"; exit 1 ;;
esac

scratch=$(mktemp -d /var/tmp/brc-vm.XXXXXX) || exit 1
cleanup() {
    vm_stop_all
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# group NAME SCRIPT BOUND DEVICE...: one boot. Prints the guest's lines; throughput lines and the
# sysfs facts are also kept in the build tree.
failed_groups=()
group() {
    local name=$1 script=$2 bound=$3 run=$scratch/$1 start=$SECONDS status
    shift 3
    if [ "${#wanted[@]}" -gt 0 ] && [[ " ${wanted[*]} " != *" $name "* ]]; then return 0; fi
    mkdir -p "$run"
    printf 'exe=%s\nsupport=%s\n' "$exe" "$(dirname "$here")/support" >"$run/env"
    vm_boot "$run" "$here/$script" "$bound" "$@"
    status=$?
    sed "s/^/[$name] /" "$run/guest.log" 2>/dev/null
    echo "[$name] boot and cases: $((SECONDS - start)) s, status $status"
    [ "$status" -eq 0 ] || failed_groups+=("$name")
    [ -f "$run/facts.txt" ] && cp "$run/facts.txt" "$build/vm-sysfs-facts.txt"
    grep '^throughput:' "$run/guest.log" >>"$build/vm-throughput.txt" 2>/dev/null
    # Images go as soon as their boot is done.
    rm -f "$run"/*.img
}
wanted=("$@")
: >"$build/vm-throughput.txt"
echo "guest: $(basename "$vm_kernel") with $vm_accel"
suite_start=$SECONDS

group kinds guest_kinds.sh 600 sd:sd:32M usb:usbro:32M:ro usb:usb:32M uas:uas:32M usb:usbfix:32M:fixed \
    sata:sata:32M virtio:virt:32M
group round_trips guest_round_trips.sh 900 sd:sd:64M usb:usb:100M
group capacities guest_capacities.sh 900 sd:sd1g:1G sd:sd2g:2G sd:sd4g:4G sd:sd32g:32G sd:sd1t:1T \
    usb:odd:3982221824
group pull guest_pull.sh 600 usb:usbp:1536M sd:sdp:256M sata:witness:32M usb:other:32M \
    usb:usbq:256M:wbps=16384
group many guest_many.sh 900 sd:sda:64M sd:sdb:64M usb:usba:64M usb:usbb:100M

echo "the suite took $((SECONDS - suite_start)) s"
if [ "${#failed_groups[@]}" -ne 0 ]; then
    echo "failed: ${failed_groups[*]}"
    exit 1
fi
echo "all VM checks passed"
