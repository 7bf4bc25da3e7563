# Two SD slots and two USB card readers formatted by one command (an overwrite, each card by a
# run of its own): every card formatted, then checked by the command and by fsck.fat. Then a
# user who is not root formats a reader's card and an SD slot's through udisks2 and polkit,
# on the real services started in the guest, and `check` passes.
# shellcheck disable=SC1091
. "$VM_OUT/guest_lib.sh"

cards=()
for name in sda sdb usba usbb; do
    d=$(dev "$name") && cards+=("$d") || fail "$name did not come up"
done
out=$(timeout 900 "$exe" format "${cards[@]}" --type overwrite --yes --json 2>stderr.txt)
status=$?
[ "$status" -eq 0 ] || fail "status $status: $out $(cat stderr.txt)"
[ "$(grep -c . <<<"$out")" -eq "${#cards[@]}" ] || fail "not one line per card: $out"
for d in "${cards[@]}"; do
    line=$(grep -F "\"target\":\"$d\"" <<<"$out")
    [ "$(json_field outcome <<<"$line" 2>/dev/null) $(json_field overwriteResult <<<"$line" 2>/dev/null)" = "formatted 0" ] ||
        { fail "$d: $line"; continue; }
    "$exe" check "$d" >check.txt 2>&1 || fail "$d: check: $(cat check.txt)"
    case $d in *[0-9]) part=${d}p1 ;; *) part=${d}1 ;; esac
    for _ in $(seq 50); do [ -b "$part" ] && break; sleep 0.1; done
    fsck.fat -n "$part" >fsck.txt 2>&1 || fail "$d: fsck.fat: $(tr '\n' ' ' <fsck.txt)"
    ok "$d formatted with the others ($(json_field overwriteMs <<<"$line") ms overwrite)"
done

# The system bus, udev, polkitd and udisksd, and a rule allowing one user every udisks2
# action. /etc is the host's, read-only: the user and the rule go onto the guest's own copies.
udisks_user=brc-card
scratch=/tmp/udisks
mkdir -p "$scratch"
# shellcheck disable=SC1091
. "$support/udisks_services.sh"
unset DBUS_SYSTEM_BUS_ADDRESS
# udevd and udevadm do nothing under chroot unless told this one is meant.
export SYSTEMD_IGNORE_CHROOT=1
grep -aq "built without udisks2" "$exe" && { echo "skip: brindlecard was built without udisks2"; finish; }
services_find || { fail "udisks2: $services_why"; finish; }
for f in passwd group; do
    cp "/etc/$f" "$scratch/$f" && mount --bind "$scratch/$f" "/etc/$f" || fail "udisks2: /etc/$f"
done
echo "$udisks_user:x:4242:4242::/nonexistent:/usr/sbin/nologin" >>/etc/passwd
echo "$udisks_user:x:4242:" >>/etc/group
mount -t tmpfs -o mode=0755 tmpfs /etc/polkit-1/rules.d || fail "udisks2: no room for the rule"
cat >/etc/polkit-1/rules.d/49-brindlecard-vm.rules <<RULE
polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.udisks2.") == 0 && subject.user == "$udisks_user")
        return polkit.Result.YES;
    return polkit.Result.NOT_HANDLED;
});
RULE
start=$SECONDS
if services_start_bus && services_start_polkit "$udisks_user"; then
    echo "udisks2 and its services ready in $((SECONDS - start)) s"
    as_user=(setpriv --reuid="$udisks_user" --regid="$udisks_user" --clear-groups env -u XDG_RUNTIME_DIR)
    for d in "${cards[2]}" "${cards[0]}"; do
        "${as_user[@]}" "$exe" list --json 2>/dev/null | grep -F "\"path\":\"$d\"" >listed.txt
        grep -q '"formatBy":"udisks2"' listed.txt || fail "$d: list as $udisks_user: $(cat listed.txt)"
        rm -f check.txt
        if "${as_user[@]}" "$exe" format "$d" --label USER --yes --quiet 2>stderr.txt &&
            "${as_user[@]}" "$exe" check "$d" >check.txt 2>&1; then
            ok "$d formatted and checked by $udisks_user through udisks2"
        else
            fail "$d through udisks2 as $udisks_user: $(cat stderr.txt check.txt)"
        fi
    done
else
    fail "the udisks2 services did not start: $(tail -n 5 "$scratch/services.log")"
fi
services_stop
finish
