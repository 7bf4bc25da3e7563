# A card pulled out in the middle of a format, through QEMU's monitor: a USB card reader
# unplugged and an SD card taken out of its slot during an overwrite, and a reader unplugged
# during a quick format (its drive's writes slowed by the host, so that the short format is
# still writing when the card goes). The format ends with status 1 and one line saying why,
# nothing outside the card is written, and once the card is back a format works. Then a reader
# whose drive the host serves over NBD from a file that fails writes on demand.
# shellcheck disable=SC1091
. "$VM_OUT/guest_lib.sh"

other=$(dev other) || fail "the other card did not come up"
"$exe" format "$other" --yes --quiet || fail "the other card did not format"

# written DEVICE: the sectors the kernel has written to DEVICE since it came up.
written() { awk '{print $7}' "/sys/class/block/${1#/dev/}/stat"; }

# pulled NAME TYPE OUT-QMP BACK-QMP...: a TYPE format of NAME's card; OUT runs two seconds after
# the card's first writes, and the end of the format is checked; then BACK and a quick format.
pulled() {
    local name=$1 type=$2 out=$3 d before status start
    shift 3
    d=$(dev "$name") || { fail "$name did not come up"; return; }
    before=$(digest witness other)
    start=$(written "$d")
    "$exe" format "$d" --type "$type" --yes --quiet >stdout.txt 2>stderr.txt &
    local pid=$!
    for _ in $(seq 300); do [ "$(written "$d")" -gt "$start" ] && break; sleep 0.1; done
    sleep 2
    kill -0 "$pid" 2>/dev/null || fail "$name: the $type format ended before the card was pulled: $(cat stderr.txt)"
    local pulled_at=$((($(written "$d") - start) / 2))
    monitor "$out" >answer.txt
    grep -q '"return"' answer.txt || fail "$name: the monitor did not pull the card: $(cat answer.txt)"
    timeout 120 tail --pid="$pid" -f /dev/null
    wait "$pid"
    status=$?
    [ "$status" -eq 1 ] || fail "$name pulled: status $status, not 1: $(tr '\n' ' ' <stderr.txt)"
    # The message of the failed format, then one line of the command's own with the cause.
    local causes
    causes=$(grep -c '^brindlecard: ' stderr.txt)
    if [ "$causes" -eq 1 ] && grep -q '^brindlecard: .*gone' stderr.txt; then
        ok "$name pulled after $pulled_at KiB of its $type format: $(tr '\n' '|' <stderr.txt)"
    elif grep -q "re-read its partition table" stderr.txt; then
        fail "$name pulled: more than one cause: $(tr '\n' '|' <stderr.txt)"
    else
        fail "$name pulled: not one cause line saying the card is gone: $(tr '\n' '|' <stderr.txt)"
    fi
    [ "$(digest witness other)" = "$before" ] || fail "$name pulled: a disk other than the card was written"
    # The node of the card that went is gone before it comes back.
    for _ in $(seq 100); do [ -b "$d" ] && [ "$(blockdev --getsize64 "$d" 2>/dev/null)" != 0 ] || break; sleep 0.1; done
    monitor "$@" >answer.txt
    grep -q '"error"' answer.txt && fail "$name: the monitor did not bring the card back: $(cat answer.txt)"
    for _ in $(seq 100); do
        d=$(dev "$name") && [ "$(blockdev --getsize64 "$d" 2>/dev/null)" -gt 0 ] && break
        sleep 0.1
    done
    if "$exe" format "$d" --yes --quiet 2>stderr.txt && "$exe" check "$d" >check.txt 2>&1; then
        ok "$name back as $d: formatted and checked"
    else
        fail "$name back as $d: $(cat stderr.txt check.txt)"
    fi
}

pulled usbp overwrite '{"execute":"device_del","arguments":{"id":"usbp"}}' \
    '{"execute":"device_add","arguments":{"driver":"usb-storage","id":"usbp","drive":"usbp","bus":"xhci.0","port":"1","removable":true}}'
pulled sdp overwrite '{"execute":"blockdev-remove-medium","arguments":{"id":"sdp"}}' \
    '{"execute":"blockdev-insert-medium","arguments":{"id":"sdp","node-name":"sdp"}}'
# Back in, the card's writes go at full speed again.
pulled usbq quick '{"execute":"device_del","arguments":{"id":"usbq"}}' \
    '{"execute":"qom-set","arguments":{"path":"/objects/tg_usbq","property":"limits","value":{"bps-write":0}}}' \
    '{"execute":"device_add","arguments":{"driver":"usb-storage","id":"usbq","drive":"usbq","bus":"xhci.0","port":"3","removable":true}}'

# The reader over NBD. Where the host serves it from the fault file (tests/support/fault_file.c),
# its control file is in the run's folder: with writes failing, a format ends failed with one
# cause and nothing else written. Either way, with no fault on, a format and check pass.
if grep -q '^nbd ' "$VM_OUT/devices"; then
    if d=$(dev nbd); then
        if [ -f "$VM_OUT/fault-control" ]; then
            printf 'fail_after 4096\n' >"$VM_OUT/fault-control.new" && mv "$VM_OUT/fault-control.new" "$VM_OUT/fault-control"
            before=$(digest witness other)
            timeout 300 "$exe" format "$d" --yes --quiet >stdout.txt 2>stderr.txt
            status=$?
            if [ "$status" -eq 1 ] && [ "$(grep -c '^brindlecard: ' stderr.txt)" -eq 1 ]; then
                ok "writes failing behind the NBD reader: $(tr '\n' '|' <stderr.txt)"
            else
                fail "writes failing behind the NBD reader: status $status: $(tr '\n' '|' <stderr.txt)"
            fi
            [ "$(digest witness other)" = "$before" ] || fail "writes failing behind the NBD reader: another disk was written"
            : >"$VM_OUT/fault-control.new" && mv "$VM_OUT/fault-control.new" "$VM_OUT/fault-control"
        fi
        if "$exe" format "$d" --yes --quiet 2>stderr.txt && "$exe" check "$d" >check.txt 2>&1; then
            ok "the reader over NBD ($d): formatted and checked"
        else
            fail "the reader over NBD ($d): $(cat stderr.txt check.txt)"
        fi
    else
        fail "the reader over NBD did not come up"
    fi
fi
finish
