#!/usr/bin/env bash
# A format through the volume service under Wine, by programs the system counts as a standard
# user's (run_unelevated.exe: Administrators kept for denying only). In a prefix of its own, the
# build's installer (its `msi` target; without one, the programs as built and the service
# registered by sc) sets the service up, started on demand, and virtual card E: is put in its
# own map (the Cards value under its key, as an administrator sets it):
#   - the command, not an administrator, starts the service at start-up and formats E: through
#     it; the card passes fsck.fat and mtools;
#   - while such a format runs, the service answers another client that E: is busy (the
#     formatting program holds it through the service, not an image it opened itself); the
#     program killed mid-run, the next client is handed E:;
#   - a letter outside the service's map (a card of the caller's own map) and C: are refused,
#     and nothing is written to them; the program then formats that card of its own itself;
#   - with Xvfb, the desktop program started the same way formats E: through the service, in
#     each of its four languages;
#   - the machine's removable-storage policy denying writes, the service refuses the format;
#   - on XP (the prefix told so), the command's full format with the flash erase goes through
#     the service: the erase's own library instance shares the card the bound one holds.
#
#     tests/drivers/volume_service_format_wine.sh BUILD_DIR   (a mingw build)
# Exit 77 (skip) without Wine or the build, or for a 32-bit build where this system runs only
# 64-bit programs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" 2>/dev/null && pwd) || { echo "skipped: no build at $1"; exit 77; }
bin=$build/bin
msi=$(ls "$build"/Brindlecard-*.msi 2>/dev/null | head -n1 || true)
skip() { echo "volume_service_format_wine: skipped: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
for f in BrindlecardService.exe brindlecard-cli.exe quillhost.dll run_unelevated.exe volume_service_client.exe; do
  [ -f "$bin/$f" ] || skip "$bin has no $f"
done
for tool in fsck.fat mlabel; do command -v "$tool" >/dev/null || skip "$tool is not installed"; done
source "$root/tools/wine_env.sh"
brc_wine_init || skip "$brc_wine_missing"
brc_wine_skip_32bit "$bin/BrindlecardService.exe"

WINEPREFIX=$(brc_wine_prefix "$build/../wineprefix-volsvc-format")
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d /tmp/brc-volsvc-format.XXXXXX)
xvfb=
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
if [ ! -f "$WINEPREFIX/.brc-ready" ]; then
  mkdir -p "$WINEPREFIX"
  brc_wineboot -u >/dev/null 2>&1 </dev/null
  wineserver -w
  touch "$WINEPREFIX/.brc-ready"
fi
# The display first: Wine's desktop process, started with the server, draws every window after.
gui=
if [ -f "$bin/Brindlecard.exe" ] && [ -f "$bin/wine_driver.exe" ] && command -v Xvfb >/dev/null; then
  # A display no one else uses: Xvfb picks it and says which.
  Xvfb -displayfd 3 -screen 0 1024x768x24 3>"$work/display" >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  [ -s "$work/display" ] || fail "Xvfb did not start"
  export DISPLAY=":$(head -n1 "$work/display")"
  gui=1
else
  unset DISPLAY WAYLAND_DISPLAY
fi
# One Wine server for the whole run: Wine ends its services (ours too) when the last program of
# a server that may go ends.
wineserver -p >/dev/null 2>&1 </dev/null
"$brc_wine" cmd /c exit >/dev/null 2>&1 </dev/null
# Wine's C runtime ends lines with CR LF.
run() { "$brc_wine" "$@" 2>&1 </dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }
windows() { echo "Z:${1//\//\\}"; }
# The system Wine claims to be: its default, whatever a run stopped midway left.
run reg delete 'HKCU\Software\Wine' /v Version /f >/dev/null 2>&1 || true
md5() { md5sum <"$1" | cut -d' ' -f1; }

card=$work/card.img own=$work/own.img
truncate -s 64M "$card"
truncate -s 64M "$own"
printf 'MINE %.0s' $(seq 100) | dd of="$own" conv=notrunc status=none
service_key='HKLM\SYSTEM\CurrentControlSet\Services\KVOSDFSVC'
# The programs as installed by the build's installer (which registers and starts the service),
# else as built, with the service registered here.
run msiexec /x "$(windows "${msi:-/none}")" /qn >/dev/null 2>&1 || true
run sc delete KVOSDFSVC >/dev/null 2>&1 || true
programs=$bin
if [ -n "$msi" ]; then
  run msiexec /i "$(windows "$msi")" /qn >/dev/null || fail "msiexec /i $msi"
  for d in "Program Files" "Program Files (x86)"; do
    [ -f "$WINEPREFIX/drive_c/$d/Brindlecard/Brindlecard.exe" ] && programs=$WINEPREFIX/drive_c/$d/Brindlecard
  done
  [ "$programs" != "$bin" ] || fail "the installer put no Brindlecard.exe under Program Files"
  echo "installed by $(basename "$msi")"
else
  run sc create KVOSDFSVC binPath= "$(windows "$bin/BrindlecardService.exe")" start= demand >/dev/null ||
    fail "the service could not be registered"
fi
# The service reads its card map when it starts: the map set, it is stopped, and the next
# client's start-up starts it with that map.
serve() {  # MAP
  run reg add "$service_key\\Parameters" /v Cards /t REG_SZ /d "$1" /f >/dev/null ||
    fail "the service's card map could not be set"
  run sc stop KVOSDFSVC >/dev/null 2>&1 || true
  for _ in $(seq 50); do run sc query KVOSDFSVC | grep -q STOPPED && break; sleep 0.2; done
}
serve "E=$(windows "$card")"
# The caller's own map: E: the same image, F: one the service does not serve.
export BRINDLECARD_CARDS="E=$(windows "$card");F=$(windows "$own")"
unelevated() { run "$bin/run_unelevated.exe" "$@"; }
cli=$(windows "$programs/brindlecard-cli.exe")
client=$bin/volume_service_client.exe
check_card() {  # IMAGE LABEL
  local start
  start=$(od -An -tu4 -j454 -N4 "$1" | tr -d ' ')
  [ -n "$start" ] && [ "$start" -gt 0 ] || fail "$1 has no partition"
  mlabel -s -i "$1@@$((start * 512))" :: 2>&1 | grep -q "$2" || fail "$1: label $2 not read by mtools"
  dd if="$1" of="$work/part.img" bs=512 skip="$start" conv=sparse status=none
  fsck.fat -n "$work/part.img" >/dev/null 2>&1 || fail "$1: fsck.fat found faults"
  rm -f "$work/part.img"
}

echo "== the service is not running; a standard user's format starts it and goes through it"
run sc query KVOSDFSVC | grep -q RUNNING && fail "the service runs before anyone asked for it"
out=$(unelevated "$cli" format E: --label SERVED --yes 2>&1) || fail "the standard user's format: $out"
run sc query KVOSDFSVC | grep -q RUNNING || fail "start-up did not start the service"
check_card "$card" SERVED
echo "formatted E: through the service"

echo "== while a format holds E: through the service, another client finds it busy"
# Large enough that the overwrite lasts: Wine writes a sparse file in full.
truncate -s 3G "$work/big.img"
serve "E=$(windows "$work/big.img")"
export BRINDLECARD_CARDS="E=$(windows "$work/big.img");F=$(windows "$own")"
"$brc_wine" "$bin/run_unelevated.exe" "$cli" format E: --type overwrite --label KILLED --yes \
  >"$work/killed.out" 2>&1 </dev/null &
formatting=$!
# The overwrite has begun once the image takes room on the disk.
for _ in $(seq 300); do
  [ "$(du -k "$work/big.img" | cut -f1)" -gt 1024 ] && break
  sleep 0.1
done
# Busy, from the service: it holds E: for the formatting program. Had that program opened the
# image itself, the service could not open it and would say so instead.
answer=$(run "$client" ask E: write) && fail "E: was handed during the format: $answer"
grep -q "^refused 10:" <<<"$answer" || fail "E: was not busy while the format ran: $answer / $(tr -d '\r' <"$work/killed.out")"
echo "busy while the format holds it: $answer"
# The formatting program itself (run_unelevated's child) killed mid-run.
program=$(pgrep -af 'brindlecard-cli.exe format E: --type overwrite' | grep -v run_unelevated |
  head -n1 | cut -d' ' -f1 || true)
[ -n "$program" ] || fail "the format ended before it could be killed: $(tr -d '\r' <"$work/killed.out")"
kill -9 "$program"
wait "$formatting" 2>/dev/null || true
grep -q "format complete" "$work/killed.out" && fail "the format ended before it was killed"
handed=
for _ in $(seq 50); do
  answer=$(run "$client" ask E: write) && { handed=1; break; }
  sleep 0.2
done
[ -n "$handed" ] || fail "E: is still held after its client was killed: $answer"
echo "handed to the next client after the first was killed"

echo "== what the service does not serve"
before=$(md5 "$own")
out=$(run "$client" ask F: write) && fail "F: (outside the service's map) was handed: $out"
grep -q '^refused' <<<"$out" || fail "F: was not refused: $out"
out=$(run "$client" ask C: write) && fail "C: was handed: $out"
grep -q '^refused' <<<"$out" || fail "C: was not refused: $out"
[ "$(md5 "$own")" = "$before" ] || fail "a refused card was written to"
echo "F: and C: refused; nothing written"
# F: is the caller's own image: the program, told the service serves no image for it, opens it
# itself as before.
out=$(unelevated "$cli" format F: --label OWN --yes 2>&1) || fail "the standard user's format of F:: $out"
check_card "$own" OWN
echo "F: formatted as the caller's own image"

if [ -n "$gui" ]; then
  # Through a file, not a pipe: Wine's processes started meanwhile (the service) would inherit
  # the pipe and keep the reader waiting.
  drive() {
    timeout 60 "$brc_wine" "$bin/wine_driver.exe" "$@" >"$work/driver.out" 2>&1 </dev/null
    local status=$?
    tr -d '\r' <"$work/driver.out"
    return $status
  }
  id() { echo $(($(sed -n "s/^#define $1 \([0-9a-fA-Fx]*\).*/\1/p" "$root/res/resource_ids.h"))); }
  main="Brindlecard V"
  # In each of the program's languages: its own texts under an English locale, and the three its
  # language libraries hold under the locales that load them.
  for language in ru:C.UTF-8 ja:ja_JP.UTF-8 zh-Hans:zh_CN.UTF-8 zh-Hant:zh_TW.UTF-8; do
    name=${language%%:*} locale=${language#*:}
    if [ "$name" != ru ] && ! locale -a 2>/dev/null | grep -qix "${locale/UTF-8/utf8}"; then
      echo "not shown in $name: no $locale locale"
      continue
    fi
    echo "== the desktop program in $name, as a standard user, formats E: through the service"
    table=-
    [ "$name" = ru ] || table="$root/res/lang/$name.txt"
    format_text=$(python3 "$root/tools/gen_language.py" text "$table" "$root/res/strings.rc" 202)
    serve "E=$(windows "$card")"
    export BRINDLECARD_CARDS="E=$(windows "$card")"
    truncate -s 0 "$card" && truncate -s 64M "$card"
    LANG=$locale LC_ALL=$locale "$brc_wine" "$bin/run_unelevated.exe" \
      "$(windows "$programs/Brindlecard.exe")" >/dev/null 2>&1 </dev/null &
    program=$!
    drive wait "$main" 60 >/dev/null || fail "the main window never opened: $(drive box 2)"
    run sc query KVOSDFSVC | grep -q RUNNING || fail "the desktop program's start-up did not start the service"
    shown=$(drive text "$main" "$(id IDC_FORMAT)")
    [ "$shown" = "$format_text" ] || fail "the Format button says \"$shown\", not \"$format_text\" in $name"
    drive select "$main" "$(id IDC_DRIVE_LIST)" "E:" >/dev/null
    drive settext "$main" "$(id IDC_LABEL_EDIT)" "DESKTOP" >/dev/null
    drive click "$main" "$(id IDC_FORMAT)" >/dev/null
    # A quick format asks twice: data may be recovered afterwards, then the confirmation.
    for question in recovered confirmation; do
      drive box 20 >/dev/null || fail "no $question question in $name"
      drive answer 1 >/dev/null
    done
    report=$(drive box 120)
    grep -q "Volume Information" <<<"$report" || fail "no report in $name: $report"
    drive answer 1 >/dev/null
    drive click "$main" "$(id IDC_EXIT)" >/dev/null
    wait "$program" || fail "the desktop program ended with status $? in $name"
    check_card "$card" DESKTOP
    echo "the desktop program in $name formatted E: through the service"
  done
else
  echo "not shown: the desktop program (no Brindlecard.exe, wine_driver.exe or Xvfb)"
fi

echo "== the machine's removable-storage policy denies writing: the service refuses it too"
# What the system would refuse the user itself; the service opens the card as LocalSystem.
policy='HKLM\Software\Policies\Microsoft\Windows\RemovableStorageDevices'
serve "E=$(windows "$card")"
export BRINDLECARD_CARDS="E=$(windows "$card")"
run reg add "$policy\{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}" /v Deny_Write /t REG_DWORD /d 1 /f >/dev/null
before=$(md5 "$card")
status=0
out=$(unelevated "$cli" format E: --label DENIED --yes 2>&1) || status=$?
run reg delete "$policy" /f >/dev/null 2>&1 || true
[ "$status" != 0 ] || fail "the format went through a policy that denies writing: $out"
grep -q "writing removable disks is denied" <<<"$out" || fail "not refused by the policy: $out"
[ "$(md5 "$card")" = "$before" ] || fail "the card was written against the policy"
echo "refused by the policy; nothing written"

echo "== on XP, a standard user's format with the flash erase goes through the service"
# There the program leaves the card's volume to the service, and the erase's own library
# instance shares the card its bound one holds.
run reg add 'HKCU\Software\Wine' /v Version /d winxp /f >/dev/null
serve "E=$(windows "$card")"
export BRINDLECARD_CARDS="E=$(windows "$card")"
truncate -s 0 "$card" && truncate -s 64M "$card"
status=0
out=$(unelevated "$cli" format E: --type erase --label XPERASE --yes 2>&1) || status=$?
run reg delete 'HKCU\Software\Wine' /v Version /f >/dev/null 2>&1 || true
[ "$status" = 0 ] || fail "the standard user's erase on XP: $out"
grep -q "^Erase FORMAT" <<<"$out" || fail "the erase was not done on XP: $out"
check_card "$card" XPERASE
echo "XP: erased and formatted E: through the service"
run sc stop KVOSDFSVC >/dev/null 2>&1 || true
[ -z "$msi" ] || run msiexec /x "$(windows "$msi")" /qn >/dev/null || fail "msiexec /x $msi"
echo "volume_service_format_wine: passed"
