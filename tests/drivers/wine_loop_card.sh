#!/usr/bin/env bash
# The Windows disk backend of the driver library under Wine, on a loop device over a sparse file:
# drive E: of a prefix of its own is the loop device (dosdevices/e::, typed removable in the
# registry) and \\.\PhysicalDriveN the same device under the number Wine gives the drive. Prints,
# call by call, which controls Wine answers, then drives the card through quillhost.dll.
#
#     tests/drivers/wine_loop_card.sh BUILD_DIR     (the mingw build: bin/disk_probe.exe, bin/quillhost.dll)
#
# Passes when the library either serves the card (a write read back alike) or refuses it with a
# message and nothing written, and always refuses the drive that holds Windows. Last, the trim
# DDErase sends goes to the loop device from the probe, and Wine's answer is printed: a refused
# trim must leave the card's data alone. Exit 77 (skip)
# without root, losetup, Wine or the build, or for a 32-bit build where this system runs only
# 64-bit programs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" 2>/dev/null && pwd) || { echo "skipped: no build at $1"; exit 77; }
probe=$build/bin/disk_probe.exe
library=$build/bin/quillhost.dll
skip() { echo "wine_loop_card: skipped: $*"; exit 77; }
[ -f "$probe" ] && [ -f "$library" ] || skip "$build has no disk_probe.exe and quillhost.dll"
[ "$(id -u)" = 0 ] || skip "loop devices need root"
command -v losetup >/dev/null || skip "losetup is missing"
source "$here/../../tools/wine_env.sh"
brc_wine_init || skip "$brc_wine_missing"
brc_wine_skip_32bit "$probe"

# A prefix of its own beside the builds, out of the way of the import check of BUILD_DIR.
WINEPREFIX=$(brc_wine_prefix "$build/../wineprefix-disk")
export BRC_WINEPREFIX=$WINEPREFIX WINEPREFIX WINEDEBUG=-all
# Wine's C runtime ends lines with CR LF.
run() { bash "$here/../../tools/wine_run.sh" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
work=$(mktemp -d /tmp/brc-wine-disk.XXXXXX)
loop=
drives=
cleanup() {
  [ -n "$drives" ] && rm -f "$drives/e::" "$drives/e:" "$drives"/physicaldrive[0-9]*
  [ -n "$loop" ] && losetup -d "$loop"
  rm -rf "$work"
}
trap cleanup EXIT

image=$work/card.img
truncate -s 64M "$image"
loop=$(losetup -f --show "$image") || skip "no free loop device"
run "$probe" C: >/dev/null  # makes the prefix
drives=$WINEPREFIX/dosdevices
mkdir -p "$work/e"
ln -sfn "$work/e" "$drives/e:"
ln -sfn "$loop" "$drives/e::"
"$brc_wine" reg add 'HKLM\Software\Wine\Drives' /v e: /d floppy /f /reg:64 >/dev/null 2>&1
wineserver -k || true  # the mount manager reads the drives when it starts

# The number Wine gives the drive's disk names the whole-disk device, as on Windows.
number=$(run "$probe" E: | sed -n 's/^IOCTL_STORAGE_GET_DEVICE_NUMBER: answered: type 7, disk \([0-9]*\),.*/\1/p' | head -1)
[ -n "$number" ] && ln -sfn "$loop" "$drives/physicaldrive$number"

echo "== what Wine answers about E: (a loop device) and its disk"
run "$probe" E: || true
echo "== quillhost.dll on E:"
status=0
out=$(run "$probe" E: "$library" --write) || status=$?
grep -E '^(DD|quillhost)' <<<"$out" || true
if [ "$status" = 0 ]; then
  echo "wine_loop_card: the library served the card"
elif grep -q '^DDInit: 0x0$' <<<"$out"; then
  echo "FAIL: the card opened but the operations failed" >&2
  exit 1
elif ! grep -q '^quillhost: ' <<<"$out"; then
  echo "FAIL: DDInit refused the card without a message" >&2
  exit 1
elif [ -n "$(tr -d '\0' <"$image" | head -c 1)" ]; then
  echo "FAIL: the refused card was written to" >&2
  exit 1
else
  echo "wine_loop_card: refused with a message, nothing written"
fi

echo "== quillhost.dll on C:, the drive of the Windows directory"
out=$(run "$probe" C: "$library") || true
grep -E '^(DDChkSDCard|DDInit|quillhost)' <<<"$out"
grep -q '^DDInit: 0x106$' <<<"$out" && grep -q 'holds Windows' <<<"$out" || {
  echo "FAIL: the drive holding Windows was not refused as such" >&2
  exit 1
}

# Wine opens no loop device as a card (above), so no format reaches the erase on this disk. What
# can be shown is Wine's answer to the trim DDErase sends, sent here by the probe itself: a trim
# Wine refuses must leave the card's data as it was, and the library takes a refusal with error
# 1, 50 or 87 for "erase not supported".
echo "== the trim DDErase sends, on E:'s disk"
printf 'KEEPTHIS%.0s' $(seq 512) | dd of="$loop" bs=512 seek=2048 oflag=direct conv=notrunc status=none
out=$(run "$probe" E: --trim) || { echo "FAIL: the probe could not send the trim: $out" >&2; exit 1; }
answer=$(grep '^IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES' <<<"$out") || {
  echo "FAIL: the probe did not say what the trim was answered: $out" >&2
  exit 1
}
echo "$answer"
left=$(dd if="$loop" bs=512 skip=2048 count=8 iflag=direct status=none | tr -d '\0' | wc -c)
case $answer in
  *refused*)
    [ "$left" = 4096 ] || { echo "FAIL: a refused trim changed the card ($left bytes left)" >&2; exit 1; }
    echo "wine_loop_card: Wine refuses the trim ($answer); the card is as it was" ;;
  *) echo "wine_loop_card: Wine took the trim; $left of 4096 bytes are left non-zero" ;;
esac
