#!/usr/bin/env bash
# The command on the kernel's own card drivers: a QEMU guest (software emulation; KVM where it
# works) with SD slots (sdhci-pci), USB card readers (usb-storage and uas), a SATA and a virtio
# disk runs each group of cases in a boot of its own (tests/vm/guest_*.sh). Images are sparse
# files in a scratch folder, deleted afterwards; every QEMU started is stopped by its process
# id. One reader's drive is served by the host over NBD (qemu-nbd, from the fault file where it
# was built and FUSE is there, else from a plain image), the server stopped by its process id.
# Exits 77 (skipped) where QEMU cannot run or no kernel package can be had.
#
#   tests/vm/vm_suite.sh BRINDLECARD BUILD_DIR [GROUP...]
#
# BRC_FAULT_FILE names the fault file's program (default: beside BRINDLECARD).
set -u

exe=$(readlink -f "${1:?usage: vm_suite.sh BRINDLECARD BUILD_DIR [GROUP...]}")
build=$(readlink -f "${2:?usage: vm_suite.sh BRINDLECARD BUILD_DIR [GROUP...]}")
shift 2
here=$(cd "$(dirname "$0")" && pwd -P)
checkout=$(dirname "$(dirname "$here")")
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

# On the disk rather than in memory where TMPDIR does not say otherwise: the cards' images are
# sparse, but a 1 TiB card's tables alone take memory a small machine misses.
scratch=$(mktemp -d "${TMPDIR:-/var/tmp}/brc-vm.XXXXXX") || exit 1
# The fault file's mount and server (for the reader over NBD) go in the scratch folder.
# shellcheck source=tests/support/fault_file.sh
. "$here/../support/fault_file.sh"
# The guest runs a copy of the command, with the driver libraries it loads from beside itself,
# from under /var/tmp, where a scratch clone of the project and its build would lie, and which
# the guest covers with a fresh file system of its own: it must see it all the same.
fault=${BRC_FAULT_FILE:-$(dirname "$exe")/fault_file}
elsewhere=
if elsewhere=$(mktemp -d /var/tmp/brc-vm-command.XXXXXX 2>/dev/null) &&
    cp "$exe" "$elsewhere/brindlecard" && cp "$(dirname "$exe")"/*.so "$elsewhere/" &&
    chmod 755 "$elsewhere"; then # as a clone's folders are: the cases' other users run it
    exe=$elsewhere/brindlecard
else
    echo "note: the command runs from the build: /var/tmp cannot take a copy of it"
fi
cleanup() {
    vm_stop_all
    nbd_stop
    rm -rf "$scratch"
    [ -n "$elsewhere" ] && rm -rf "$elsewhere"
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
    # What the guest must see of the host where its fresh /tmp and /var/tmp would hide it.
    printf '%s\n' "$checkout" "$build" "$(dirname "$exe")" >"$run/keep"
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
is_wanted() { [ "${#wanted[@]}" -eq 0 ] || [[ " ${wanted[*]} " == *" $1 "* ]]; }

# nbd_start RUN: a 64 MiB card exported by qemu-nbd on $scratch/nbd.sock; served from the fault
# file with its control file RUN/fault-control (the guest sets the faults there) where it can
# be, else from a plain image. False, saying why, without qemu-nbd or when a server fails.
nbd_pid=
nbd_start() {
    local run=$1 served=$scratch/nbd.img
    command -v qemu-nbd >/dev/null || { echo "note: no reader over NBD: qemu-nbd (qemu-utils) is not installed"; return 1; }
    truncate -s 64M "$scratch/nbd.img" || return 1
    if [ -x "$fault" ] && [ -c /dev/fuse ]; then
        control=$run/fault-control
        fault_serve "$fault" "$scratch/nbd.img" || return 1
        served=$mnt/card
    else
        echo "note: the reader over NBD serves a plain image: no fault file ($fault) or no FUSE"
    fi
    qemu-nbd -f raw -t -k "$scratch/nbd.sock" "$served" >"$scratch/qemu-nbd.log" 2>&1 &
    nbd_pid=$!
    waits 10 test -S "$scratch/nbd.sock" || { cat "$scratch/qemu-nbd.log"; return 1; }
}
nbd_stop() {
    if [ -n "$nbd_pid" ]; then
        kill "$nbd_pid" 2>/dev/null
        wait "$nbd_pid" 2>/dev/null
    fi
    nbd_pid=
    fault_stop
    rm -f "$scratch/nbd.img" "$scratch/nbd.sock"
}
: >"$build/vm-throughput.txt"
echo "guest: $(basename "$vm_kernel") with $vm_accel"
suite_start=$SECONDS

group kinds guest_kinds.sh 600 sd:sd:32M usb:usbro:32M:ro usb:usb:32M uas:uas:32M usb:usbfix:32M:fixed \
    sata:sata:32M virtio:virt:32M
group round_trips guest_round_trips.sh 900 sd:sd:64M usb:usb:100M
group capacities guest_capacities.sh 900 sd:sd1g:1G sd:sd2g:2G sd:sd4g:4G sd:sd32g:32G sd:sd1t:1T \
    usb:odd:3982221824
pull_devices=(usb:usbp:1536M sd:sdp:256M sata:witness:32M usb:other:32M usb:usbq:256M:wbps=8192)
if is_wanted pull; then
    mkdir -p "$scratch/pull"
    nbd_start "$scratch/pull" && pull_devices+=("usb:nbd:64M:nbd=$scratch/nbd.sock")
fi
group pull guest_pull.sh 600 "${pull_devices[@]}"
nbd_stop
group many guest_many.sh 900 sd:sda:64M sd:sdb:64M usb:usba:64M usb:usbb:100M

echo "the suite took $((SECONDS - suite_start)) s"
if [ "${#failed_groups[@]}" -ne 0 ]; then
    echo "failed: ${failed_groups[*]}"
    exit 1
fi
echo "all VM checks passed"
