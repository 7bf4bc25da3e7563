# What the suites that serve a card through the fault file (tests/support/fault_file.c) share;
# sourced. The caller sets `scratch` (its own folder) first; this gives it `mnt` (the mount
# point, the card being $mnt/card), `control` (the control file) and `server` (the fault file's
# process id, once started).
mnt=$scratch/mnt
control=$scratch/control
server=

# fault_loop_card_needs FAULT_FILE TOOL...: exits 77 (skipped), saying why, unless this is root
# with the built fault file, FUSE, loop devices and the tools named.
fault_loop_card_needs() {
    local fault=$1 tool
    shift
    [ "$(id -u)" -eq 0 ] || fault_skip "loop devices and FUSE mounts need root"
    [ -n "$fault" ] && [ -x "$fault" ] ||
        fault_skip "the FUSE fault file was not built (libfuse3's development files are missing)"
    [ -c /dev/fuse ] || fault_skip "this system has no FUSE (/dev/fuse)"
    [ -e /dev/loop-control ] || fault_skip "this system has no loop devices"
    for tool in losetup mountpoint umount "$@"; do
        command -v "$tool" >/dev/null || fault_skip "$tool is not installed"
    done
}
fault_skip() {
    echo "skip: $*"
    rm -rf "$scratch"
    exit 77
}

# fault_set LINE...: the control file replaced at once, as the fault file reads it.
fault_set() {
    printf '%s\n' "$@" >"$control.new" && mv -f "$control.new" "$control"
}

# waits SECONDS COMMAND...: true once COMMAND succeeds, tried ten times a second.
waits() {
    local tenths=$(($1 * 10))
    shift
    while ((tenths-- > 0)); do
        "$@" && return 0
        sleep 0.1
    done
    "$@"
}

# fault_serve FAULT_FILE IMAGE [OPTION...]: the image served at $mnt/card with no fault on; false
# (its log on standard error) when it does not mount within 10 s.
fault_serve() {
    local fault=$1 image=$2
    shift 2
    mkdir -p "$mnt" || return 1
    fault_set ""
    "$fault" "$@" "$image" "$control" "$mnt" >"$scratch/fault.log" 2>&1 &
    server=$!
    waits 10 mountpoint -q "$mnt" || { cat "$scratch/fault.log" >&2; return 1; }
}

# fault_stop: nothing left waiting on the card, the file unmounted and its server ended.
fault_stop() {
    [ -f "$control" ] && fault_set "" 2>/dev/null
    if mountpoint -q "$mnt" 2>/dev/null; then
        umount "$mnt" 2>/dev/null || fusermount3 -u "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null ||
            fusermount3 -uz "$mnt"
    fi
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null
        wait "$server" 2>/dev/null
    fi
    server=
}
