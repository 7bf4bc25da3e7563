#!/usr/bin/env bash
# A QEMU guest with real card drivers, for the suites to source: Debian's own kernel (fetched by
# `apt-get download`, unpacked, never installed) boots a busybox initramfs that loads the SD host
# (sdhci-pci), USB (xhci, usb-storage, uas), SATA (ahci) and virtio drivers, mounts the host's
# root read-only over 9p and runs a case's script there under chroot. Kernel, modules and
# initramfs are kept in a cache in the build tree and made again only when what they come from
# changes.
#
#   source tests/vm/vm.sh
#   vm_prepare CACHE_DIR                      # 0, or 77 with the reason in vm_why
#   vm_boot RUN_DIR GUEST_SCRIPT BOUND DEVICE... # the guest's status; its output in RUN_DIR
#
# A DEVICE is KIND:NAME:SIZE[:OPTION...], an image RUN_DIR/NAME.img of SIZE (sparse; an existing
# image is kept): `sd` a card in an SD slot of its own (a power-of-two SIZE), `usb` a card reader
# on the USB controller (usb-storage, bulk-only), `uas` a card reader speaking USB Attached SCSI
# (usb-uas with a removable scsi-hd), `sata` a disk on the AHCI controller, `virtio` a virtio
# disk. Options: `ro` (write-protected card, read-only disk), `fixed` (a USB disk that is not
# removable), `wbps=BYTES` (writes to this drive alone held to BYTES a second, by a throttle
# group of its own), `nbd=SOCKET` (no image: the drive is the NBD export served on the unix
# socket SOCKET, e.g. by qemu-nbd or nbdkit, which the caller starts and stops; SIZE is then
# ignored). The USB controller has four ports. The guest finds each device by its
# controller's place in sysfs (RUN_DIR/devices), never by name.

vm_modules=(sdhci-pci mmc_block xhci-pci usb-storage uas sd_mod ahci virtio_pci virtio_blk
            9pnet_virtio 9p vfat exfat nls_cp437 nls_ascii nls_utf8 nls_iso8859-1)
vm_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
vm_why=
vm_qemu=qemu-system-x86_64

# The kernel package apt would install as Debian's current amd64 kernel.
vm_kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -nE 's/^ *Depends: (linux-image-[0-9][^ ]*-amd64)$/\1/p' | head -n 1
}

# vm_prepare CACHE: the kernel package in CACHE (fetched once), its kernel and an initramfs
# with the modules the guest loads beside it; sets vm_kernel and vm_initramfs.
vm_prepare() {
    local cache=$1 package deb stamp busybox_bin
    command -v "$vm_qemu" >/dev/null || { vm_why="QEMU ($vm_qemu) is not installed"; return 77; }
    busybox_bin=$(command -v busybox) || { vm_why="busybox is not installed"; return 77; }
    readelf -l "$busybox_bin" 2>/dev/null | grep -q 'program interpreter' &&
        { vm_why="busybox is dynamically linked: busybox-static is needed"; return 77; }
    mkdir -p "$cache" || return 1
    package=$(vm_kernel_package)
    if [ -z "$package" ]; then
        # No package index: a kernel fetched before still serves.
        package=$(cd "$cache" && ls linux-image-*.deb 2>/dev/null | sed 's/_.*//' | sort -V | tail -n 1)
        [ -n "$package" ] || { vm_why="apt knows no linux-image-amd64 (run apt-get update)"; return 77; }
    fi
    deb=$(ls "$cache/$package"_*.deb 2>/dev/null | tail -n 1)
    if [ -z "$deb" ]; then
        (cd "$cache" && apt-get download -q "$package" >download.log 2>&1) ||
            { vm_why="apt-get download $package failed: $(tail -n 1 "$cache/download.log")"; return 77; }
        deb=$(ls "$cache/$package"_*.deb | tail -n 1)
    fi
    stamp=$( (cat "$vm_dir/guest_init.sh" "$busybox_bin"; echo "$deb ${vm_modules[*]}") | sha256sum | cut -c1-16)
    vm_kernel=$cache/vmlinuz-$stamp
    vm_initramfs=$cache/initramfs-$stamp.cpio.gz
    if [ ! -f "$vm_initramfs" ] || [ ! -f "$vm_kernel" ]; then
        # Made again from the package; older ones go (each unpacking takes 400 MB for a moment).
        rm -f "$cache"/initramfs-* "$cache"/vmlinuz-* "$cache"/kvm-usable*
        vm_make_initramfs "$deb" "$busybox_bin" || { vm_why="the initramfs could not be made"; return 1; }
    fi
    vm_accel=tcg
    vm_kvm_usable "$cache" && vm_accel=kvm
    return 0
}

# vm_copy_modules MODULES_DIR OUT: the wanted modules and what they depend on (by modules.dep,
# dependencies first) into OUT, with a modules.dep of their own for the guest's modprobe.
vm_copy_modules() {
    local from=$1 to=$2 m line file
    mkdir -p "$to"
    : >"$to/modules.dep"
    for m in "${vm_modules[@]}"; do
        line=$(grep -E "/${m//[-_]/[-_]}\.ko(\.xz|\.zst)?:" "$from/modules.dep")
        [ -n "$line" ] || { echo "vm: the kernel has no module $m" >&2; return 1; }
        for file in ${line/:/}; do
            [ -f "$to/$file" ] && continue
            mkdir -p "$to/$(dirname "$file")"
            cp "$from/$file" "$to/$file"
            grep -E "^$file:" "$from/modules.dep" >>"$to/modules.dep"
        done
    done
}

# vm_make_initramfs DEB BUSYBOX: the package unpacked for a moment, its modules listed by
# busybox's depmod (the host needs no kmod), the wanted ones packed with busybox and the init.
vm_make_initramfs() {
    local deb=$1 busybox_bin=$2 tree unpacked version status
    tree=$(mktemp -d "$vm_initramfs.XXXXXX") || return 1
    unpacked=$tree.deb
    dpkg-deb -x "$deb" "$unpacked" &&
        version=$(ls "$unpacked/lib/modules") &&
        busybox depmod -b "$unpacked" "$version" &&
        vm_copy_modules "$unpacked/lib/modules/$version" "$tree/lib/modules/$version" &&
        cp "$unpacked/boot/vmlinuz-$version" "$vm_kernel.tmp"
    status=$?
    rm -rf "$unpacked"
    if [ "$status" -eq 0 ]; then
        mkdir -p "$tree/bin" "$tree/proc" "$tree/sys" "$tree/dev" "$tree/etc"
        cp "$busybox_bin" "$tree/bin/busybox"
        for applet in sh mount umount modprobe insmod chroot mkdir cat sync poweroff sleep ln; do
            ln -s busybox "$tree/bin/$applet"
        done
        printf '%s\n' "${vm_modules[@]}" >"$tree/etc/vm-modules"
        cp "$vm_dir/guest_init.sh" "$tree/init"
        chmod 755 "$tree/init"
        (cd "$tree" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$vm_initramfs.tmp" &&
            mv "$vm_initramfs.tmp" "$vm_initramfs" && mv "$vm_kernel.tmp" "$vm_kernel"
        status=$?
    fi
    rm -rf "$tree"
    return $status
}

# KVM only where the processor offers it and a guest really starts on it (a /dev/kvm without
# nested virtualisation behind it hangs); the answer is kept beside the kernel for this host's
# kernel and QEMU, and asked again after a day (a machine moved to another host may differ).
vm_kvm_usable() {
    local cache=$1 answer
    [ "${BRC_VM_ACCEL:-}" = tcg ] && return 1
    [ -r /dev/kvm ] && [ -w /dev/kvm ] && grep -qwE 'vmx|svm' /proc/cpuinfo || return 1
    answer=$cache/kvm-usable-$( (uname -r; "$vm_qemu" --version 2>/dev/null | head -n 1) | sha256sum | cut -c1-12)
    [ -n "$(find "$answer" -mmin -1440 2>/dev/null)" ] || rm -f "$cache"/kvm-usable*
    if [ ! -f "$answer" ]; then
        timeout -k 2 20 "$vm_qemu" -machine q35,accel=kvm -nodefaults -display none -m 128 \
            -no-reboot -kernel "$vm_kernel" -append "console=ttyS0 panic=-1" \
            -serial file:"$cache/kvm-probe.log" >/dev/null 2>&1
        grep -q "Kernel panic" "$cache/kvm-probe.log" 2>/dev/null && echo yes >"$answer" || echo no >"$answer"
    fi
    [ "$(cat "$answer")" = yes ]
}

# Devices: each gets fixed places on the machine, so that the guest can find it by them.
vm_sd_slots=0
vm_usb_ports=0
vm_sata_ports=0
vm_virtio_slots=0

# vm_device_args RUN SPEC: QEMU's arguments for one device into vm_args, its sysfs pattern into
# RUN/devices.
vm_device_args() {
    local run=$1 kind name size options readonly=off removable=on image slot pattern option
    local wbps='' nbd='' below
    IFS=: read -r kind name size options <<<"$2"
    for option in ${options//:/ }; do
        case $option in
        ro) readonly=on ;;
        fixed) removable=off ;;
        wbps=*) wbps=${option#wbps=} ;;
        nbd=*) nbd=${option#nbd=} ;;
        *) echo "vm: no device option $option" >&2; return 1 ;;
        esac
    done
    if [ -n "$nbd" ]; then
        vm_args+=(-blockdev "driver=nbd,server.type=unix,server.path=$nbd,node-name=f_$name,read-only=$readonly")
    else
        image=$run/$name.img
        [ -e "$image" ] || truncate -s "$size" "$image" || return 1
        vm_args+=(-blockdev "driver=file,filename=$image,node-name=f_$name,discard=unmap,read-only=$readonly")
    fi
    below=f_$name
    if [ -n "$wbps" ]; then
        vm_args+=(-object "throttle-group,id=tg_$name,x-bps-write=$wbps"
                  -blockdev "driver=throttle,throttle-group=tg_$name,file=f_$name,node-name=t_$name,read-only=$readonly")
        below=t_$name
    fi
    vm_args+=(-blockdev "driver=raw,file=$below,node-name=$name,discard=unmap,read-only=$readonly")
    case $kind in
    sd)
        slot=$(printf '%02x' $((0x10 + vm_sd_slots)))
        vm_sd_slots=$((vm_sd_slots + 1))
        vm_args+=(-device "sdhci-pci,id=sdhci_$name,addr=$slot.0"
                  -device "sd-card,id=$name,drive=$name,bus=/q35-pcihost/pcie.0/sdhci_$name/sd-bus")
        pattern="/0000:00:$slot\.0/mmc_host/mmc[0-9]+/"
        ;;
    usb)
        vm_usb_ports=$((vm_usb_ports + 1))
        vm_args+=(-device "usb-storage,id=$name,drive=$name,bus=xhci.0,port=$vm_usb_ports,removable=$removable")
        pattern="/0000:00:18\.0/usb[0-9]+/[0-9]+-$vm_usb_ports/"
        ;;
    uas)
        vm_usb_ports=$((vm_usb_ports + 1))
        vm_args+=(-device "usb-uas,id=uas_$name,bus=xhci.0,port=$vm_usb_ports"
                  -device "scsi-hd,id=$name,drive=$name,bus=uas_$name.0,removable=$removable")
        pattern="/0000:00:18\.0/usb[0-9]+/[0-9]+-$vm_usb_ports/"
        ;;
    sata)
        vm_args+=(-device "ide-hd,id=$name,drive=$name,bus=ide.$vm_sata_ports")
        vm_sata_ports=$((vm_sata_ports + 1))
        pattern="/0000:00:1f\.2/ata$vm_sata_ports/"
        ;;
    virtio)
        slot=$(printf '%02x' $((0x1a + vm_virtio_slots)))
        vm_virtio_slots=$((vm_virtio_slots + 1))
        vm_args+=(-device "virtio-blk-pci,id=$name,drive=$name,addr=$slot.0")
        pattern="/0000:00:$slot\.0/virtio[0-9]+/"
        ;;
    *)
        echo "vm: no device kind $kind" >&2
        return 1
        ;;
    esac
    echo "$name $kind $pattern" >>"$run/devices"
}

# vm_boot RUN SCRIPT BOUND DEVICE...: boots the guest with the devices, runs SCRIPT in it (with
# tests/vm/guest_lib.sh beside it as RUN/guest_lib.sh) and answers its monitor requests until it
# powers off, at most BOUND seconds (then QEMU is killed). Returns the script's exit status
# (124 for a guest that did not end in time).
vm_boot() {
    local run=$1 script=$2 bound=$3 spec pid status deadline
    shift 3
    mkdir -p "$run" || return 1
    rm -f "$run/status" "$run/devices" "$run/guest.log" "$run"/monitor.*
    : >"$run/devices"
    cp "$script" "$run/guest.sh"
    cp "$vm_dir/guest_lib.sh" "$run/guest_lib.sh"
    vm_sd_slots=0 vm_usb_ports=0 vm_sata_ports=0 vm_virtio_slots=0
    vm_args=(-machine "q35,accel=$vm_accel" -cpu max -smp "${BRC_VM_CPUS:-1}" -m 2048 -nodefaults
             -display none -no-reboot -kernel "$vm_kernel" -initrd "$vm_initramfs"
             -append "console=ttyS0 quiet loglevel=4 panic=-1 brc.out=$run"
             -serial "file:$run/console.log" -qmp "unix:$run/qmp.sock,server=on,wait=off"
             -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
             -virtfs "local,path=$run,mount_tag=out,security_model=none,multidevs=remap"
             -device "qemu-xhci,id=xhci,addr=18.0")
    for spec in "$@"; do vm_device_args "$run" "$spec" || return 1; done
    "$vm_qemu" "${vm_args[@]}" >"$run/qemu.log" 2>&1 &
    pid=$!
    vm_pids+=("$pid")
    deadline=$((SECONDS + bound))
    while kill -0 "$pid" 2>/dev/null; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "vm: the guest did not end within $bound s; stopping QEMU ($pid)"
            kill "$pid" 2>/dev/null
            sleep 1
            kill -9 "$pid" 2>/dev/null
            break
        fi
        vm_serve_monitor "$run"
        sleep 0.1
    done
    wait "$pid" 2>/dev/null
    # Ended: its number may be another process's from now on.
    local left=() p
    for p in "${vm_pids[@]}"; do [ "$p" = "$pid" ] || left+=("$p"); done
    vm_pids=("${left[@]}")
    if [ -f "$run/status" ]; then
        status=$(cat "$run/status")
    else
        status=124
        echo "vm: the guest left no status; its console ends:"
        tail -n 30 "$run/console.log" 2>/dev/null
        cat "$run/qemu.log" 2>/dev/null
    fi
    return "$status"
}

# The guest asks the host by writing RUN/monitor.req and waits for RUN/monitor.done: QMP
# commands (a JSON object a line) get QEMU's answers; `digest NAME...` gets a checksum of each
# image as the host sees it (read here, it costs the guest's emulated disks nothing).
vm_serve_monitor() {
    local run=$1 name
    [ -f "$run/monitor.req" ] || return 0
    mv "$run/monitor.req" "$run/monitor.work"
    if read -r word _ <"$run/monitor.work" && [ "$word" = digest ]; then
        for name in $(cut -d' ' -f2- "$run/monitor.work"); do
            printf '%s ' "$(md5sum <"$run/$name.img" | cut -c1-16)"
        done >"$run/monitor.tmp"
    else
        python3 "$vm_dir/qmp.py" "$run/qmp.sock" <"$run/monitor.work" >"$run/monitor.tmp" 2>&1
    fi
    mv "$run/monitor.tmp" "$run/monitor.done"
    rm -f "$run/monitor.work"
}

# Every QEMU a suite started, stopped by its process id when the suite ends.
vm_pids=()
vm_stop_all() {
    local pid
    for pid in "${vm_pids[@]}"; do
        [ -n "$pid" ] || continue
        kill "$pid" 2>/dev/null && sleep 0.5 && kill -9 "$pid" 2>/dev/null
    done
    return 0
}
