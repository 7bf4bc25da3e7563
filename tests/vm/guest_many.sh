# Two SD slots and two USB card readers formatted by one command (an overwrite, each card by a
# run of its own): every card formatted, then checked by the command and by fsck.fat.
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
finish
