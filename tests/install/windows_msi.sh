#!/usr/bin/env bash
# The Windows installer of one build under Wine, in a fresh prefix: msiexec /i installs the
# programs, the libraries, the volume service (running, and serving its pipe to a client and to
# the driver library) and the Start-menu shortcut; an installer of a later version replaces it;
# msiexec /x leaves no file, shortcut, service or registry key behind.
#
#     tests/install/windows_msi.sh BUILD_DIR     (a mingw build with its `msi` target built)
#
# Exit 77 (skip) without Wine, wixl or the installer, or for a 32-bit build where this system
# runs only 64-bit programs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" 2>/dev/null && pwd) || { echo "skipped: no build at $1"; exit 77; }
skip() { echo "windows_msi: skipped: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
msi=$(ls "$build"/Brindlecard-*.msi 2>/dev/null | head -1)
[ -n "$msi" ] || skip "$build has no installer (its msi target)"
client=$build/bin/volume_service_client.exe
[ -f "$client" ] || skip "$build has no volume_service_client.exe"
command -v wixl >/dev/null && command -v msiinfo >/dev/null || skip "wixl or msiinfo is missing (bash tools/setup.sh)"
source "$here/../../tools/wine_env.sh"
brc_wine_init || skip "$brc_wine_missing"
brc_wine_skip_32bit "$build/bin/Brindlecard.exe"

# Beside the build, out of the way of the import check of BUILD_DIR.
export WINEPREFIX=$(brc_wine_prefix "$build/../wineprefix-msi-$(basename "$build")") WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d /tmp/brc-msi.XXXXXX)
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work" "$WINEPREFIX"
}
trap cleanup EXIT
fresh_prefix() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  brc_wineboot -u >"$work/wineboot.log" 2>&1 && wineserver -w
}
# Once, under load, this suite ended within a second and said nothing, which only the prefix's
# start (its output kept nowhere) could do: it is started once more, and a second failure says
# what Wine said.
fresh_prefix || fresh_prefix || fail "Wine did not start in a fresh prefix: $(tail -n 3 "$work/wineboot.log")"
# The services run as long as the server does: kept up between the commands below. The first
# program started finds them not running and starts them, and they inherit its output: a no-op
# with nowhere to write, so that no later command's output stays open behind it.
wineserver -p
"$brc_wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
run() { "$brc_wine" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
winpath() { echo "Z:${1//\//\\}"; }

program_dir() {
  local d
  for d in "Program Files" "Program Files (x86)"; do
    [ -f "$WINEPREFIX/drive_c/$d/Brindlecard/Brindlecard.exe" ] && { echo "$WINEPREFIX/drive_c/$d/Brindlecard"; return; }
  done
}
shortcuts() { find "$WINEPREFIX/drive_c" -iname 'Brindlecard.lnk' 2>/dev/null; }
leftovers() {
  find "$WINEPREFIX/drive_c" \( -iname '*brindlecard*' -o -iname 'quillhost.dll' -o -iname 'qhost32*' \) 2>/dev/null
  run sc query KVOSDFSVC | grep -q 'SERVICE_NAME' && echo "service KVOSDFSVC"
  run reg query 'HKCU\Software\Brindlecard' >/dev/null && echo 'HKCU\Software\Brindlecard'
  run reg query "$events" >/dev/null && echo "$events"
  return 0
}

echo "== msiexec /i $(basename "$msi")"
run msiexec /i "$(winpath "$msi")" /qn || fail "msiexec /i failed"
dir=$(program_dir)
[ -n "$dir" ] || fail "no Brindlecard folder under Program Files"
for f in Brindlecard.exe brindlecard-cli.exe BrindlecardService.exe quillhost.dll QHOST32.DLL \
         QHOST32RETRY.DLL BrindlecardJPN.dll BrindlecardCHS.dll BrindlecardCHT.dll; do
  cmp -s "$dir/$f" "$build/bin/$f" || fail "$f is not installed as built"
done
echo "installed in ${dir#"$WINEPREFIX/"}"
[ -n "$(shortcuts)" ] || fail "no Start-menu shortcut"
echo "shortcut: $(shortcuts | sed "s|$WINEPREFIX/||")"
# Wine's sc has no qc: the service's key says how it is registered.
key='HKLM\SYSTEM\CurrentControlSet\Services\KVOSDFSVC'
registered=$(run reg query "$key") || fail "the service is not registered"
grep -E 'Start|ImagePath|ObjectName' <<<"$registered"
grep -qE 'Start\s+REG_DWORD\s+0x3' <<<"$registered" || fail "the service does not start on demand"
grep -qi 'BrindlecardService.exe' <<<"$registered" || fail "the service runs another program"
run sc query KVOSDFSVC | grep -q RUNNING || fail "the service was not started by the install"
events='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\KVOSDFSVC'
run reg query "$events" /v EventMessageFile | grep -qi 'BrindlecardService.exe' ||
  fail "the service's event source is not registered"

echo "== the installed service on its pipe"
run sc start KVOSDFSVC >/dev/null || true # already running since the install: fine
run "$client" junk || fail "the installed service did not refuse malformed requests"
out=$(run "$client" ask C: write) && fail "C: was handed: $out"
grep -q '^refused' <<<"$out" || fail "C: was not refused: $out"
echo "$out"
# The library believes the pipe only where the service's own process serves it.
run "$client" library C: || fail "the driver library did not reach the installed service"

echo "== an installer of a later version"
version=$(msiinfo export "$msi" Property | tr -d "\r" | awk -F'\t' '$1 == "ProductVersion" { print $2 }')
code=$(msiinfo export "$msi" Property | tr -d "\r" | awk -F'\t' '$1 == "UpgradeCode" { print $2 }' | tr -d '{}')
arch=$(msiinfo suminfo "$msi" | tr -d "\r" | sed -n 's/^Template: \([^;]*\);.*/\1/p')
IFS=. read -r major minor patch <<<"$version"
later=$major.$minor.$((patch + 1))
# The summary names a 32-bit package's platform Intel, which wixl calls x86.
if [ "$arch" = x64 ]; then win64=yes pf=ProgramFiles64Folder; else arch=x86 win64=no pf=ProgramFilesFolder; fi
(cd "$build/bin" && wixl -a "$arch" -D Version="$later" -D SourceDir=. -D Win64=$win64 \
   -D ProgramFiles=$pf -D UpgradeCode="$code" -o "$work/later.msi" "$here/../../res/brindlecard.wxs")
run msiexec /i "$(winpath "$work/later.msi")" /qn || fail "the later installer failed"
[ -n "$(program_dir)" ] || fail "the upgrade left no program"
# Replaced, not installed beside: the uninstall below removes only the later product, and a
# first one still installed would keep the files they share.
echo "upgraded to $later"

echo "== msiexec /x of the later version"
run msiexec /x "$(winpath "$work/later.msi")" /qn || fail "msiexec /x failed"
left=$(leftovers)
[ -z "$left" ] || fail "left behind after uninstall: $left"
echo "nothing left behind"
echo "windows_msi: passed"
