# What the cases' scripts share inside the guest (bash, under chroot in the host's root). The
# run's folder is $VM_OUT, at the same path as on the host; RUN/env names the command (exe) and
# the folder of the suites' shared scripts (support).
set -u
cd "$VM_OUT" || exit 1
# shellcheck disable=SC1091
. "$VM_OUT/env"
if [ ! -x "$exe" ]; then
    echo "FAIL: the guest cannot see the command $exe (the host's folder holding it is hidden)"
    exit 1
fi
export SOURCE_DATE_EPOCH=1700000000 XDG_RUNTIME_DIR=/run LC_ALL=C.UTF-8
# No system bus in the guest unless a case starts one (udisks_services): root opens the cards
# itself.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/no-bus

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
ok() { echo "ok: $*"; }
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "all checks passed"
    exit 0
}

# dev NAME: the device node of the host's device NAME, found by its controller's place in sysfs
# (RUN/devices). Waits up to 30 s for the kernel to bring it up; empty when it does not.
dev() {
    local name=$1 pattern entry
    read -r _ _ pattern < <(grep "^$name " "$VM_OUT/devices") || return 1
    for _ in $(seq 300); do
        for entry in /sys/class/block/*; do
            [ -e "$entry/partition" ] && continue
            if readlink -f "$entry" | grep -Eq "$pattern"; then
                echo "/dev/${entry##*/}"
                return 0
            fi
        done
        sleep 0.1
    done
    return 1
}

# sysfs_dir DEVICE: the device's directory in sysfs.
sysfs_dir() { readlink -f "/sys/class/block/${1#/dev/}"; }

json_field() { python3 -c 'import json,sys; print(json.loads(sys.stdin.read())[sys.argv[1]])' "$1"; }

# monitor COMMAND...: QMP commands run by the host on this guest's QEMU; their answers, a line each.
monitor() {
    printf '%s\n' "$@" >"$VM_OUT/monitor.req.tmp"
    mv "$VM_OUT/monitor.req.tmp" "$VM_OUT/monitor.req"
    for _ in $(seq 600); do
        if [ -f "$VM_OUT/monitor.done" ]; then
            cat "$VM_OUT/monitor.done"
            rm -f "$VM_OUT/monitor.done"
            return 0
        fi
        sleep 0.1
    done
    echo "monitor: no answer from the host" >&2
    return 1
}

# digest NAME...: a checksum of each named device's whole image, read by the host once the
# guest has written back what it holds; one line.
digest() {
    sync
    monitor "digest $*"
}

# refused NAME PATTERN NAMES COMMAND...: COMMAND ends with status 1 and one line on stderr
# matching PATTERN (grep -E), and leaves the image of every device of NAMES (blank-separated,
# as the host named them) unchanged.
refused() {
    local name=$1 pattern=$2 devices=$3 before status
    shift 3
    # shellcheck disable=SC2086
    before=$(digest $devices)
    timeout -k 5 120 "$@" </dev/null >stdout.txt 2>stderr.txt
    status=$?
    if [ "$status" -ne 1 ]; then
        fail "$name: exit status $status, not 1: $(tr '\n' ' ' <stderr.txt)"
    elif ! grep -Eq "$pattern" stderr.txt; then
        fail "$name: stderr lacks /$pattern/: $(tr '\n' ' ' <stderr.txt)"
    elif [ "$(wc -l <stderr.txt)" -ne 1 ]; then
        fail "$name: more than one line on stderr: $(tr '\n' ' ' <stderr.txt)"
    else
        ok "$name: $(cat stderr.txt)"
    fi
    # shellcheck disable=SC2086
    [ "$(digest $devices)" = "$before" ] || fail "$name: a refused disk was written"
}
