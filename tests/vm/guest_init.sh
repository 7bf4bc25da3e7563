#!/bin/sh
# The guest's first process (busybox, from the initramfs): loads the card drivers, mounts the
# host's root read-only and the run's folder writable at the same path as on the host, runs
# the case's script there under chroot, leaves its exit status beside it and powers off.
# The guest gets fresh, empty /tmp, /var/tmp, /run and /dev/shm; the host's folders the run
# names in RUN/keep (the checkout and the build, which may lie under /tmp or /var/tmp) stay
# visible through them.
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r module; do
    modprobe "$module" || echo "vm init: cannot load $module"
done </etc/vm-modules
out=
for word in $(cat /proc/cmdline); do
    case $word in brc.out=*) out=${word#brc.out=} ;; esac
done
host=/host
mkdir -p "$host" /out
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 out /out ||
    echo "vm init: cannot mount the run's folder"
# The host's root, read-only (QEMU refuses writes too); cached, as nothing changes under it.
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot "$host" ||
    echo "vm init: cannot mount the host's root"
mount -t proc proc "$host/proc"
mount -t sysfs sysfs "$host/sys"
mount -t devtmpfs devtmpfs "$host/dev"
mkdir -p "$host/dev/pts" "$host/dev/shm"
ln -sf /proc/self/fd "$host/dev/fd"
mount -t devpts devpts "$host/dev/pts"
# The kept folders are bound aside before the fresh file systems cover them, and moved back
# over them after.
: >/kept
n=0
while IFS= read -r path; do
    case $path in /tmp/* | /var/tmp/* | /run/* | /dev/shm/*) ;; *) continue ;; esac
    n=$((n + 1))
    mkdir -p "/keep/$n"
    if mount -o bind "$host$path" "/keep/$n"; then
        echo "$n $path" >>/kept
    else
        echo "vm init: cannot keep $path visible"
    fi
done </out/keep 2>/dev/null
mount -t tmpfs tmpfs "$host/dev/shm"
mount -t tmpfs tmpfs "$host/run"
mount -t tmpfs tmpfs "$host/tmp"
mount -t tmpfs tmpfs "$host/var/tmp"
while read -r n path; do
    mkdir -p "$host$path" && mount -o move "/keep/$n" "$host$path" ||
        echo "vm init: cannot put $path back"
done </kept
mkdir -p "$host$out"
mount -o move /out "$host$out" || echo "vm init: cannot move the run's folder into place"
status=125
if [ -f "$host$out/guest.sh" ]; then
    chroot "$host" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=dumb \
        VM_OUT="$out" /bin/bash "$out/guest.sh" >"$host$out/guest.log" 2>&1
    status=$?
fi
echo "$status" >"$host$out/status"
sync
umount "$host$out"
poweroff -f
