#!/usr/bin/env bash
# The Windows command under Wine, end to end: a card at a Cyrillic path is created and formatted
# by its path and, mapped to a drive letter in BRINDLECARD_CARDS, by its letter; mtools reads the
# labels back and fsck.fat checks each partition. Messages naming the path come out in UTF-8.
# A full erase runs through the quillhost.dll beside the program; without elevation (through
# run_unelevated.exe of the same build) a format is refused, saying how to run it. A counterfeit
# card is probed, put back, and formatted as a card of its usable part.
#
#     tests/cli/windows_cli.sh BUILD_DIR      (build/mingw or build/mingw32)
#
# Exits 77 (skipped) when the build, Wine or a checker is missing, or when the build is 32-bit and
# this system runs only 64-bit programs.
set -euo pipefail
build=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
exe=$build/bin/brindlecard-cli.exe
skip() { echo "skipped: $*"; exit 77; }
[ -f "$exe" ] || skip "no $exe (cmake --build --preset $(basename "$build") makes it)"
source "$root/tools/wine_env.sh"
brc_wine_init || skip "$brc_wine_missing"
brc_wine_skip_32bit "$exe"
for tool in mlabel fsck.fat od dd; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done
# Wine turns the arguments and the environment into UTF-16 through the locale's character set.
export LC_ALL=C.UTF-8

work=$(mktemp -d "${TMPDIR:-/tmp}/brc-windows-cli.XXXXXX")
trap 'rm -rf "$work"' EXIT
folder=$work/карты
mkdir "$folder"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Wine's drive Z: is the root of this machine.
windows() { local p="Z:$1"; echo "${p//\//\\}"; }
brc() { "$root/tools/wine_run.sh" "$exe" "$@"; }

# The label mtools reads, and fsck.fat on the partition (copied out sparse): nothing but its
# summary may be said, after a first format too.
check_card() {
  local image=$1 label=$2 start count said status=0
  [ -f "$image" ] || return 0  # already failed
  start=$(od -An -tu4 -j454 -N4 "$image" | tr -d ' ')
  count=$(od -An -tu4 -j458 -N4 "$image" | tr -d ' ')
  said=$(mlabel -s -i "$image@@$((start * 512))" :: 2>&1) || true
  [[ $said == *"Volume label is $label "* || $said == *"Volume label is $label" ]] ||
    fail "mlabel on $image: $said"
  dd if="$image" of="$work/partition" bs=512 skip="$start" count="$count" conv=sparse status=none
  said=$(fsck.fat -n "$work/partition" 2>&1) || status=$?
  rm -f "$work/partition"
  local complaints
  complaints=$(grep -v -e '^fsck.fat ' -e '^Leaving filesystem unchanged.$' -e '^$' \
    -e ': [0-9]* files, [0-9]*/[0-9]* clusters$' <<<"$said" || true)
  [ "$status" -le 1 ] && [ -z "$complaints" ] || fail "fsck.fat on $image (status $status):
$said"
}

# By path.
image=$folder/к.img
out=$(brc card create "$(windows "$image")" --size 64M 2>&1) || fail "card create: $out"
[[ $out == "Created $(windows "$image"):"* ]] || fail "card create names the path: $out"
[ "$(stat -c %s "$image" 2>/dev/null)" = $((64 << 20)) ] || fail "no 64 MiB image at $image"
[ -f "$image.card" ] || fail "no sidecar at $image.card"
out=$(brc format "$(windows "$image")" --label BYPATH --yes 2>&1) || fail "format by path: $out"
check_card "$image" BYPATH

# By a drive letter the user mapped.
mapped=$folder/карта.img
brc card create "$(windows "$mapped")" --size 64M >/dev/null 2>&1 || fail "card create $mapped"
out=$(BRINDLECARD_CARDS="K=$(windows "$mapped")" brc format K: --label BYLETTER --yes 2>&1) ||
  fail "format K: $out"
check_card "$mapped" BYLETTER

# A path that names nothing is quoted back as given.
missing=$(windows "$folder/нет.img")
status=0
out=$(brc format "$missing" --yes 2>&1) || status=$?
[ "$status" = 2 ] && [[ $out == *"there is no image at '$missing'"* ]] ||
  fail "format of a missing image (status $status): $out"

# A name Windows would change (a trailing dot or blank) or take for a device is refused, and
# nothing is created; a long path (\\?\) is taken by path and in BRINDLECARD_CARDS.
for name in 'x.img.' 'x.img ' 'NUL' 'com1.img'; do
  status=0
  out=$(brc card create "$(windows "$folder")\\$name" --size 1M 2>&1) || status=$?
  [ "$status" = 1 ] && [[ $out == *"ends in a dot or a blank"* || $out == *"is a reserved device name"* ]] ||
    fail "card create '$name' (status $status): $out"
done
[ -z "$(ls "$folder" | grep -v -e '^к\.img' -e '^карта\.img')" ] || fail "refused names left files: $(ls "$folder")"
long=$folder/long.img
brc card create "\\\\?\\$(windows "$long")" --size 8M >/dev/null 2>&1 || fail "card create of a long path"
out=$(brc format "\\\\?\\$(windows "$long")" --label LONGPATH --yes 2>&1) || fail "format of a long path: $out"
check_card "$long" LONGPATH
out=$(BRINDLECARD_CARDS="L=\\\\?\\$(windows "$long")" brc check L: 2>&1) || fail "check L: by a long path: $out"

# A full erase: the program binds route 2, so the erase runs through a private instance of
# quillhost.dll, which must be the one beside the program (nothing installs it anywhere else).
# The data the card held is gone, and the report says the erase was done.
erased=$folder/стереть.img
brc card create "$(windows "$erased")" --size 64M >/dev/null 2>&1 || fail "card create $erased"
printf 'OLD DATA %.0s' $(seq 512) | dd of="$erased" bs=512 seek=100000 conv=notrunc status=none
library="$(windows "$(cd "$(dirname "$exe")" && pwd)")\\quillhost.dll"
out=$(BRINDLECARD_CARDS="M=$(windows "$erased")" brc format M: --type erase --label ERASED --yes --json 2>&1) ||
  fail "format M: --type erase: $out"
[[ $out == *" Load DLL Name : $library "* ]] || fail "the erase's library is not the one beside the program: $out"
[[ $out == *'"status":0,'* && $out == *'"eraseResult":0,'* ]] || fail "the erase was not done: $out"
[ -z "$(dd if="$erased" bs=512 skip=100000 count=8 status=none | tr -d '\0')" ] ||
  fail "the erased card still holds its old data"
check_card "$erased" ERASED

# Not elevated (an administrator's token before UAC elevation, as the command runs from a plain
# prompt): format is refused and asks Windows to run it elevated. Wine starts the elevated copy
# with the same token, so that copy is refused too: its words and status come back through the
# first copy's console, it asks no further, and nothing is written. Plan and check, which only
# read, still work. The image is one formatted above.
unelevated() { "$root/tools/wine_run.sh" "$build/bin/run_unelevated.exe" "$(windows "$exe")" "$@"; }
before=$(md5sum <"$image")
status=0
out=$(unelevated format "$(windows "$image")" --label NOTHERE --yes 2>&1) || status=$?
asked=$(grep -c "asking Windows to run the format with administrator rights" <<<"$out")
# The refusal once from each copy.
refused=$(grep -c "Please use an account with administrator rights" <<<"$out")
[ "$status" = 1 ] && [ "$asked" = 1 ] && [ "$refused" = 2 ] &&
  [[ $out == *'"Run as administrator"'* ]] ||
  fail "an unelevated format (status $status, elevation asked $asked times, refused $refused): $out"
[ "$(md5sum <"$image")" = "$before" ] || fail "the unelevated format wrote to the card"
out=$(unelevated check "$(windows "$image")" 2>&1) || fail "an unelevated check: $out"
out=$(unelevated plan "$(windows "$image")" 2>&1) || fail "an unelevated plan: $out"

# Two formats of one card: while an overwrite runs (kept small: Wine writes sparse files in
# full), a second format is refused with the in-use message (215, or 216 when the copies' mutex
# refuses it first, as it does under one Wine server) and check still reads the card. On a busy
# machine the second copy's start can take longer than the whole overwrite; a try in which the
# first format had ended before the second one did proves nothing, and is made again.
slow=$folder/slow.img
for try in 1 2 3; do
  # A larger card on a second try gives the second copy more time to start.
  size=$((try == 1 ? 512 : 1024))M
  brc card create "$(windows "$slow")" --size "$size" --force >/dev/null 2>&1 || fail "card create $slow"
  brc format "$(windows "$slow")" --type overwrite --label FIRST --yes >"$work/first" 2>&1 &
  first=$!
  # The overwrite has begun once the image takes room on the disk.
  for _ in $(seq 400); do
    [ "$(du -k "$slow" | cut -f1)" -gt 0 ] && break
    sleep 0.025
  done
  brc format "$(windows "$slow")" --label SECOND --yes --json >"$work/second" 2>/dev/null &
  second=$!
  out=$(brc check "$(windows "$slow")" 2>&1) || true
  [[ $out == *"holds no recognisable file system"* || $out == *"follows the SD layout rules"* ]] ||
    fail "check during a format: $out"
  status=0
  wait "$second" || status=$?
  first_running=0
  kill -0 "$first" 2>/dev/null && first_running=1
  wait "$first" || fail "the first format: $(cat "$work/first")"
  if [ "$status" = 0 ] && [ "$first_running" = 0 ] && [ "$try" -lt 3 ]; then
    echo "note: the first format ended before the second; trying again"
    continue
  fi
  out=$(cat "$work/second")
  [ "$status" = 1 ] && [[ $out == *'"messageId":215,'* || $out == *'"messageId":216,'* ]] ||
    fail "a second format during the first (status $status): $out"
  check_card "$slow" FIRST
  break
done
rm -f "$slow"

# A counterfeit card (64 MiB announced, the first 8 MiB real, writes past them landing on the
# start) is found by the Windows command as on Linux, its content put back byte for byte; a
# genuine one is not called counterfeit; format --probe lays the card out as one of its usable
# part, which check --sectors accepts.
fake=$folder/подделка.img
truncate -s 64M "$fake"
dd if=/dev/urandom of="$fake" bs=1M count=2 conv=notrunc status=none
printf 'counterfeit = wraparound 8388608\n' >"$fake.card"
before=$(sha256sum <"$fake")
status=0
out=$(brc probe "$(windows "$fake")" --json 2>&1) || status=$?
usable=$(sed -n 's/.*"usableSectors":\([0-9]*\).*/\1/p' <<<"$out")
[ "$status" = 1 ] && [[ $out == *'"verdict":"counterfeit","kind":"wraparound"'* ]] &&
  [ -n "$usable" ] && [ "$usable" -le 16384 ] && [ "$usable" -ge 16220 ] ||
  fail "probe of a counterfeit card (status $status): $out"
[ "$(sha256sum <"$fake")" = "$before" ] || fail "the probe did not put the counterfeit card's content back"
genuine=$folder/настоящая.img
truncate -s 64M "$genuine"
out=$(brc probe "$(windows "$genuine")" 2>&1) || fail "probe of a genuine card: $out"
[[ $out == *": genuine, "* ]] || fail "probe of a genuine card: $out"
out=$(brc format "$(windows "$fake")" --probe --yes --json 2>&1) || fail "format --probe: $out"
[[ $out == *'"counterfeit":true'* ]] || fail "format --probe does not say the card is counterfeit: $out"
out=$(brc check "$(windows "$fake")" --sectors "$usable" 2>&1) || fail "check --sectors $usable: $out"
rm -f "$fake" "$fake.card" "$genuine"

if [ "$failures" -gt 0 ]; then
  echo "windows_cli: $failures failure(s) with $exe"
  exit 1
fi
echo "windows_cli: $exe created, formatted and checked cards at Cyrillic paths"
