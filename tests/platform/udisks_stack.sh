#!/usr/bin/env bash
# A user who is not root formats a card through udisks2 and polkit, on the real services: a
# system bus, udev, polkitd and udisksd, each started here unless one is running already, and
# stopped again by its process id. A polkit rule allows one test user the udisks2 actions and
# refuses another. Loop devices over sparse files stand in for cards:
#   1. the allowed user formats a card (one, two at once, and a mounted one with --unmount) to
#      the same bytes as root formats its twin, and the kernel sees the new partition;
#   2. the refused user is told so in one sentence, status 1, the card unchanged;
#   3. without udisks2 on the bus, or without a bus, the sentence says udisks2 is not running.
# Needs root, loop devices and the services' programs; exits 77 (skipped) without them.
#
#   tests/platform/udisks_stack.sh BRINDLECARD
set -u

exe=$(readlink -f "${1:?usage: udisks_stack.sh BRINDLECARD}")
skip() {
    echo "skip: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "starting the system bus, udev, polkitd and udisksd needs root"
[ -e /dev/loop-control ] || skip "this system has no loop devices"
for tool in losetup useradd userdel sha256sum python3; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
# shellcheck source=tests/support/udisks_services.sh
. "$(dirname "$0")/../support/udisks_services.sh"
services_find || skip "$services_why"
grep -aq "built without udisks2" "$exe" && skip "this brindlecard was built without udisks2 (no libsystemd)"

scratch=$(mktemp -d "${TMPDIR:-/var/tmp}"/brc-udisks-stack.XXXXXX) || exit 1
chmod 755 "$scratch"
loops=()
mounted=
ok_user=brc-udisks-ok
no_user=brc-udisks-no
pw_user=brc-udisks-pw
rules=/etc/polkit-1/rules.d/49-brindlecard-udisks-test.rules
cleanup() {
    [ -n "$mounted" ] && umount "$mounted" 2>/dev/null
    services_stop
    for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
    rm -f "$rules"
    for u in "$ok_user" "$no_user" "$pw_user"; do id "$u" >/dev/null 2>&1 && userdel "$u" 2>/dev/null; done
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

export SOURCE_DATE_EPOCH=1700000000
unset BRINDLECARD_CARDS BRINDLECARD_TEST_SYSFS BRINDLECARD_TEST_MOUNTINFO BRINDLECARD_TEST_SWAPS
unset BRINDLECARD_DEVICE_FD DBUS_SYSTEM_BUS_ADDRESS XDG_RUNTIME_DIR
# The sentences checked below are the command's own, in English.
unset LC_ALL LC_MESSAGES LANG LANGUAGE
cd "$scratch" || exit 1

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
now() { date +%s%N; }
took() { echo "$((($(now) - $1) / 1000000)) ms"; }

stack_start=$(now)
services_start_bus || { fail "the services did not start"; exit 1; }

# The users, and the rule that allows the one every udisks2 action, refuses the other, and asks
# the third for an administrator's password.
for u in "$ok_user" "$no_user" "$pw_user"; do
    id "$u" >/dev/null 2>&1 && userdel "$u"
    useradd --system --no-create-home --shell /usr/sbin/nologin "$u" || { fail "useradd $u"; exit 1; }
done
cat >"$rules" <<EOF
// Written by Brindlecard's udisks_stack.sh for its run; removed at its end.
polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.udisks2.") != 0) return polkit.Result.NOT_HANDLED;
    if (subject.user == "$ok_user") return polkit.Result.YES;
    if (subject.user == "$no_user") return polkit.Result.NO;
    if (subject.user == "$pw_user") return polkit.Result.AUTH_ADMIN;
    return polkit.Result.NOT_HANDLED;
});
EOF
chmod 644 "$rules"
as_ok=(setpriv --reuid="$ok_user" --regid="$ok_user" --clear-groups)
as_no=(setpriv --reuid="$no_user" --regid="$no_user" --clear-groups)
as_pw=(setpriv --reuid="$pw_user" --regid="$pw_user" --clear-groups)

services_start_polkit "$ok_user" || { fail "the services did not start"; exit 1; }
echo "stack ready in $(took "$stack_start")"

# attach VAR: a fresh 64 MiB loop card that scans partitions, its path in VAR, once udisks2
# has an object for it.
attach() {
    local image dev
    image=$(mktemp "$scratch/card.XXXXXX")
    truncate -s 64M "$image"
    dev=$(losetup -P -f --show "$image") || { echo "cannot attach a loop device" >&2; exit 1; }
    loops+=("$dev")
    udevadm settle -t 30
    until_true 10 dbus-send --system --print-reply --dest=org.freedesktop.UDisks2 \
        "/org/freedesktop/UDisks2/block_devices/${dev#/dev/}" org.freedesktop.DBus.Properties.Get \
        string:org.freedesktop.UDisks2.Block string:Device || fail "udisks2 has no object for $dev"
    printf -v "$1" %s "$dev"
}
image_hash() { sha256sum <"$(losetup -n -O BACK-FILE "$1")" | cut -d' ' -f1; }
# Whether the kernel sees the card's partition (where it reads MBR tables at all: root's card
# tells).
reads_tables=1
has_partition() {
    udevadm settle -t 10
    [ "$reads_tables" = 0 ] || [ -e "/sys/class/block/${1#/dev/}/${1#/dev/}p1" ]
}
format_options=(--allow-loop --yes --label UDISKS)

# --- 1. The allowed user formats as root does.
attach root_card
attach user_card
t=$(now)
"$exe" format "$root_card" "${format_options[@]}" >/dev/null 2>stderr.txt || fail "format as root: $(cat stderr.txt)"
echo "root formatted $root_card in $(took "$t")"
reference=$(image_hash "$root_card")
if ! has_partition "$root_card"; then
    reads_tables=0
    echo "skip: this kernel shows no partition of root's card either (no MBR support): partitions not checked"
fi

t=$(now)
if "${as_ok[@]}" "$exe" format "$user_card" "${format_options[@]}" >stdout.txt 2>stderr.txt; then
    echo "$ok_user formatted $user_card through udisks2 in $(took "$t")"
    [ "$(image_hash "$user_card")" = "$reference" ] &&
        echo "ok: the card formatted through udisks2 holds the same bytes as root's" ||
        fail "the card formatted through udisks2 differs from root's"
    grep "^brindlecard:" stderr.txt && fail "format through udisks2 said: $(grep "^brindlecard:" stderr.txt)"
    if [ "$reads_tables" = 1 ]; then
        has_partition "$user_card" && echo "ok: the kernel sees the new partition" ||
            fail "the kernel does not see the partition written through udisks2"
    fi
else
    fail "format through udisks2 as $ok_user: $(cat stderr.txt)"
fi

listed=$("${as_ok[@]}" "$exe" list --allow-loop --json | grep -F "\"path\":\"$user_card\"")
case $listed in
    *'"formatBy":"udisks2"'*) echo "ok: list says $ok_user formats through udisks2" ;;
    *) fail "list as $ok_user: $listed" ;;
esac
"${as_ok[@]}" "$exe" plan "$user_card" --allow-loop >/dev/null 2>stderr.txt &&
    echo "ok: $ok_user plans the card through udisks2" || fail "plan as $ok_user: $(cat stderr.txt)"

# Two cards at once: each card's run is handed its own card's descriptor.
attach pair_a
attach pair_b
t=$(now)
if "${as_ok[@]}" "$exe" format "$pair_a" "$pair_b" "${format_options[@]}" >stdout.txt 2>stderr.txt; then
    echo "$ok_user formatted two cards at once in $(took "$t")"
    for dev in "$pair_a" "$pair_b"; do
        [ "$(image_hash "$dev")" = "$reference" ] || fail "$dev of the pair differs from root's card"
        has_partition "$dev" || fail "the kernel does not see the partition of $dev of the pair"
    done
else
    fail "two cards through udisks2: $(cat stdout.txt stderr.txt)"
fi

# A mounted card, unmounted through udisks2 after the yes.
if command -v mkfs.ext4 >/dev/null && mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$user_card" &&
    mkdir -p mnt && mount "$user_card" mnt 2>/dev/null; then
    mounted=$scratch/mnt
    udevadm settle -t 10
    t=$(now)
    if "${as_ok[@]}" "$exe" format "$user_card" "${format_options[@]}" --unmount >/dev/null 2>stderr.txt; then
        echo "$ok_user unmounted and formatted $user_card in $(took "$t")"
        grep -q "unmounted $scratch/mnt" stderr.txt || fail "--unmount did not say what it unmounted"
        grep -q " $scratch/mnt " /proc/self/mountinfo && fail "--unmount through udisks2 left the card mounted" ||
            mounted=
        # The quick format leaves the data area: the system areas are compared.
        area=$("$exe" plan "$user_card" --allow-loop --json |
            python3 -c 'import json, sys; p = json.load(sys.stdin); print((p["partitionStart"] + p["systemSectors"]) * 512)')
        [ "$(head -c "$area" "$user_card" | sha256sum)" = "$(head -c "$area" "$root_card" | sha256sum)" ] &&
            echo "ok: the card unmounted through udisks2 was formatted as root's" ||
            fail "the card unmounted through udisks2 differs from root's"
    else
        fail "--unmount through udisks2: $(cat stderr.txt)"
    fi
else
    echo "skip: this system cannot mount ext4; --unmount through udisks2 was not tried"
fi

# refused NAME PATTERN DEVICE COMMAND...: status 1, one line on stderr (`lines` where more are
# due) matching PATTERN, the card's image unchanged.
refused() {
    local name=$1 pattern=$2 dev=$3 before status
    shift 3
    before=$(image_hash "$dev")
    timeout -k 5 60 "$@" </dev/null >/dev/null 2>stderr.txt
    status=$?
    if [ "$status" -ne 1 ]; then
        fail "$name: exit status $status, not 1: $(tr '\n' ' ' <stderr.txt)"
    elif ! grep -Eq "$pattern" stderr.txt; then
        fail "$name: stderr lacks /$pattern/: $(tr '\n' ' ' <stderr.txt)"
    elif [ "$(wc -l <stderr.txt)" -ne "${lines:-1}" ]; then
        fail "$name: more than one line on stderr: $(tr '\n' ' ' <stderr.txt)"
    else
        echo "ok: $name: $(cat stderr.txt)"
    fi
    [ "$(image_hash "$dev")" = "$before" ] || fail "$name: the card was written"
}

# --- 2. polkit refuses the other user.
attach denied_card
dd if=/dev/urandom of="$denied_card" bs=1M count=1 status=none
refused "format refused by polkit" "^brindlecard: cannot open $denied_card: not allowed by polkit; run brindlecard as root \(sudo\), or ask an administrator to allow udisks2 to open this device; nothing was written\.$" \
    "$denied_card" "${as_no[@]}" "$exe" format "$denied_card" "${format_options[@]}"
# Each card's sentence, and one that no card was formatted.
lines=3 refused "two cards refused by polkit" "^brindlecard: cannot open $denied_card: not allowed by polkit" \
    "$denied_card" "${as_no[@]}" "$exe" format "$denied_card" "$user_card" "${format_options[@]}"
refused "plan refused by polkit" "^brindlecard: cannot open $denied_card: not allowed by polkit" \
    "$denied_card" "${as_no[@]}" "$exe" plan "$denied_card" --allow-loop
# list asks polkit what it would answer each user, and says so.
for who in no:'' pw:udisks2-password; do
    user=${who%%:*}
    user_var=as_$user[@]
    listed=$("${!user_var}" "$exe" list --allow-loop --json | grep -F "\"path\":\"$denied_card\"")
    case $listed in
        *"\"formatBy\":\"${who#*:}\""*) echo "ok: list as the $user user says formatBy \"${who#*:}\"" ;;
        *) fail "list as the $user user: $listed" ;;
    esac
done
refused "format that polkit would ask a password for, with nobody to ask" \
    "^brindlecard: cannot open $denied_card: not allowed by polkit without authentication" \
    "$denied_card" "${as_pw[@]}" "$exe" format "$denied_card" "${format_options[@]}"

# --- 3. No udisks2: a bus of this run's own with nothing on it, and no bus at all.
bus_config "$scratch/empty-bus" >empty-bus.conf
start dbus-daemon --config-file="$scratch/empty-bus.conf" --nofork --nopidfile
until_true 10 env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$scratch/empty-bus" dbus-send --system --print-reply \
    --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.GetId || fail "the empty bus did not start"
for address in "unix:path=$scratch/empty-bus" "unix:path=$scratch/no-bus"; do
    refused "format without udisks2 ($address)" \
        "^brindlecard: cannot open $denied_card: udisks2 is not running.*; run brindlecard as root \(sudo\); nothing was written\.$" \
        "$denied_card" "${as_ok[@]}" env DBUS_SYSTEM_BUS_ADDRESS="$address" "$exe" format "$denied_card" "${format_options[@]}"
    listed=$("${as_ok[@]}" env DBUS_SYSTEM_BUS_ADDRESS="$address" "$exe" list --allow-loop --json |
        grep -F "\"path\":\"$denied_card\"")
    case $listed in
        *'"formatBy":""'*) ;;
        *) fail "list without udisks2 ($address): $listed" ;;
    esac
done

echo "stack and cases took $(took "$stack_start")"
if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all udisks2 checks passed"
