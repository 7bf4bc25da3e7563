# Cards of the capacities the kernel's SD driver meets: SDSC of 1 GiB and 2 GiB, SDHC of 4 GiB, SDXC of
# 32 GiB and 1 TiB, and a card of an odd size in a USB reader. Each is planned as its capacity
# calls for, formatted quick and then passes the command's check and the file system's checker;
# the 2 GiB card, which the layout rules do not cover, is refused by plan and format with the
# reason.
# shellcheck disable=SC1091
. "$VM_OUT/guest_lib.sh"

# name file-system-of-the-plan checker
while read -r name fs checker; do
    d=$(dev "$name") || { fail "$name did not come up"; continue; }
    bytes=$(blockdev --getsize64 "$d")
    plan=$("$exe" plan "$d" --json 2>stderr.txt) || { fail "$name: plan: $plan $(cat stderr.txt)"; continue; }
    [ "$(json_field fsType <<<"$plan")" = "$fs" ] || fail "$name: planned $(json_field fsType <<<"$plan"), not $fs"
    out=$(timeout 600 "$exe" format "$d" --yes --json 2>stderr.txt)
    [ "$(json_field outcome <<<"$out" 2>/dev/null)" = formatted ] || { fail "$name: $out $(cat stderr.txt)"; continue; }
    "$exe" check "$d" >check.txt 2>&1 || fail "$name: check: $(cat check.txt)"
    case $d in *[0-9]) part=${d}p1 ;; *) part=${d}1 ;; esac
    for _ in $(seq 50); do [ -b "$part" ] && break; sleep 0.1; done
    "$checker" -n "$part" >fsck.txt 2>&1 || fail "$name: $checker: $(tr '\n' ' ' <fsck.txt)"
    ok "$name: $bytes bytes, $fs, $(cat "$(sysfs_dir "$d")/device/type" 2>/dev/null)"
done <<'LIST'
sd1g FAT16 fsck.fat
sd4g FAT32 fsck.fat
sd32g exFAT fsck.exfat
sd1t exFAT fsck.exfat
odd FAT32 fsck.fat
LIST

# 4,194,304 sectors: an SDSC card the rules have no layout for. Both commands refuse it, and
# say why rather than only that it was refused.
d=$(dev sd2g) || fail "sd2g did not come up"
for command in plan "format --yes"; do
    before=$(digest sd2g)
    # shellcheck disable=SC2086
    "$exe" $command "$d" >stdout.txt 2>stderr.txt
    status=$?
    said=$(cat stdout.txt stderr.txt | tr '\n' ' ')
    [ "$status" -eq 1 ] || fail "${command%% *} of a 2 GiB card: status $status: $said"
    [ "$(digest sd2g)" = "$before" ] || fail "${command%% *} of a 2 GiB card wrote to it"
    # The reason names the card's capacity, not only the outcome.
    if grep -Eqi "4,?194,?304|2 ?GiB|2048 ?MiB|capacity|too large|larger" stderr.txt; then
        ok "${command%% *} of a 2 GiB card: $(cat stderr.txt)"
    else
        fail "${command%% *} of a 2 GiB card says only: $(tr '\n' ' ' <stderr.txt)"
    fi
done 2>/dev/null
finish
