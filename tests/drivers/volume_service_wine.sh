#!/usr/bin/env bash
# The volume service under Wine, served in the foreground (--console) in a prefix of its own:
#   - a pipe of its name created first by another process makes it refuse to start (no squatting),
#     where Wine refuses a second first instance at all (Wine 8 does not);
#   - a malformed request and one too large are refused, each ending its connection;
#   - C: (the prefix's drive, no card) is refused;
#   - an image mapped through a symbolic link, a linked folder or a second name is refused;
#   - with root: E: on a loop device, which Wine does not answer as a card, is refused and
#     nothing is written to it.
#
#     tests/drivers/volume_service_wine.sh BUILD_DIR   (a mingw build: BrindlecardService.exe,
#                                                        volume_service_client.exe)
# Exit 77 (skip) without Wine or the build, or for a 32-bit build where this system runs only
# 64-bit programs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" 2>/dev/null && pwd) || { echo "skipped: no build at $1"; exit 77; }
service=$build/bin/BrindlecardService.exe
client=$build/bin/volume_service_client.exe
skip() { echo "volume_service_wine: skipped: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -f "$service" ] && [ -f "$client" ] || skip "$build has no BrindlecardService.exe and volume_service_client.exe"
source "$here/../../tools/wine_env.sh"
brc_wine_init || skip "$brc_wine_missing"
brc_wine_skip_32bit "$service"

WINEPREFIX=$(brc_wine_prefix "$build/../wineprefix-volsvc")
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d /tmp/brc-volsvc.XXXXXX)
loop=
drives=$WINEPREFIX/dosdevices
served=
cleanup() {
  [ -n "$served" ] && kill "$served" 2>/dev/null
  wineserver -k 2>/dev/null || true
  rm -f "$drives/e::" "$drives/e:"
  [ -n "$loop" ] && losetup -d "$loop"
  rm -rf "$work"
}
trap cleanup EXIT
if [ ! -f "$WINEPREFIX/.brc-ready" ]; then
  mkdir -p "$WINEPREFIX"
  brc_wineboot -u >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.brc-ready"
fi
# Wine's C runtime ends lines with CR LF.
run() { "$brc_wine" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }

# With root, E: is a loop device over a sparse file (as in wine_loop_card.sh).
if [ "$(id -u)" = 0 ] && command -v losetup >/dev/null; then
  truncate -s 64M "$work/card.img"
  if loop=$(losetup -f --show "$work/card.img"); then
    mkdir -p "$work/e" "$drives"
    ln -sfn "$work/e" "$drives/e:"
    ln -sfn "$loop" "$drives/e::"
    "$brc_wine" reg add 'HKLM\Software\Wine\Drives' /v e: /d floppy /f /reg:64 >/dev/null 2>&1
    wineserver -k || true # the mount manager reads the drives when it starts
  fi
fi

echo "== a pipe of the service's name created first by another process"
"$brc_wine" "$client" squat 30 >"$work/squat" 2>&1 &
squatter=$!
for _ in $(seq 100); do grep -q squatting "$work/squat" && break; sleep 0.2; done
grep -q squatting "$work/squat" || fail "the squatter did not create the pipe: $(cat "$work/squat")"
if grep -q "is NOT refused" "$work/squat"; then
  # Wine 8 creates the instance all the same; only Windows shows the service refusing.
  echo "not shown: this Wine does not refuse a second first instance of a pipe"
else
  status=0
  timeout 60 "$brc_wine" "$service" --console >/dev/null 2>&1 || status=$?
  [ "$status" = 5 ] || fail "the service did not refuse a pipe created before it (status $status, 5 expected)"
  echo "refused to start: error 5"
fi
kill "$squatter" 2>/dev/null || true
wait "$squatter" 2>/dev/null || true

echo "== the service's own pipe"
"$brc_wine" "$service" --console >"$work/service" 2>&1 &
served=$!
run "$client" junk || fail "malformed requests were not refused as such"

out=$(run "$client" ask C: write) && fail "C: was handed: $out"
echo "$out"
grep -q '^refused' <<<"$out" || fail "C: was not refused: $out"

if [ -n "$loop" ]; then
  out=$(run "$client" ask E: write) && status=0 || status=$?
  echo "$out"
  if [ "$status" = 0 ]; then
    echo "E: was handed (this Wine answers the loop device as a card)"
  else
    grep -q '^refused' <<<"$out" || fail "E: was neither handed nor refused: $out"
    [ -z "$(tr -d '\0' <"$work/card.img" | head -c 1)" ] || fail "the refused card was written to"
    echo "E: refused; nothing written"
  fi
fi
kill "$served" 2>/dev/null || true
wait "$served" 2>/dev/null || true
served=

echo "== images the service writes as its own user: only the very file configured"
# J: a symbolic link to an image, K: an image through a linked folder, L: an image of two names
# (a hard link), M: the image itself. Wine reports neither file links nor ACLs of its own, but
# says where a handle really leads and how many names its file has.
mkdir -p "$work/images/real"
truncate -s 64M "$work/images/real/m.img" "$work/images/two.img"
ln -s "$work/images/real/m.img" "$work/images/link.img"
ln -s "$work/images/real" "$work/images/folder"
ln "$work/images/two.img" "$work/images/other-name.img"
win() { echo "Z:${1//\//\\}"; }
map="J=$(win "$work/images/link.img");K=$(win "$work/images/folder/m.img")"
map+=";L=$(win "$work/images/two.img");M=$(win "$work/images/real/m.img")"
"$brc_wine" "$service" --console --cards "$map" >"$work/service" 2>&1 &
served=$!
for letter in J K L; do
  out=$(run "$client" ask $letter: write 0) && fail "$letter: was handed: $out"
  echo "$out"
  grep -q '^refused.*the volume service does not serve it' <<<"$out" || fail "$letter: not refused as a linked image: $out"
done
out=$(run "$client" ask M: read 0) || fail "M:, the image itself, was not handed: $out"
grep -q '^handed' <<<"$out" || fail "M: was not handed: $out"
echo "linked images refused; the image itself handed"
echo "volume_service_wine: passed"
