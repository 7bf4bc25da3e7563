#!/usr/bin/env bash
# Checks that each SD host driver library exports exactly its route's names and nothing else.
#
#   tools/check_exports.sh dll BUILD_DIR   the Windows DLLs quillhost.dll, QHOST32.DLL and
#                                          QHOST32RETRY.DLL, read with x86_64-w64-mingw32-objdump -p
#   tools/check_exports.sh so BUILD_DIR    the Linux modules quillhost.so, qhost32.so and
#                                          qhost32retry.so, read with nm -D --defined-only
#
# The libraries are looked for anywhere under BUILD_DIR (outside CMakeFiles). Exit 0 when every
# library found matches, 1 with a diff when one does not or when only some are there, 2 on bad
# usage, 77 (skip) when BUILD_DIR holds none of the three.
set -euo pipefail

usage() { echo "usage: $0 dll|so BUILD_DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
kind=$1
dir=$2

# DDHoldVolumes and BrcSetDriverContext: the front end's hold on a format run's card and its
# private driver context (device/driver_context.h), ours on both routes.
route1="BrcSetDriverContext DDChkSDCard DDErase DDFini DDGetMID DDHoldVolumes DDIdentify DDInit DDReadPT DDSecureIdentify
DDSysFini DDSysInit DDWritePT"
route2="BrcSetDriverContext DDErase DDHoldVolumes SD_W2k_DDChkSDCard SD_W2k_DDFini SD_W2k_DDIdentify SD_W2k_DDInit SD_W2k_DDReadPT
SD_W2k_DDSecureIdentify SD_W2k_DDSysFini SD_W2k_DDSysInit SD_W2k_DDWritePT SD_W2k_DrvLock
SD_W2k_DrvLock2 SD_W2k_DrvUnlock"

case $kind in
  dll) files=(quillhost.dll QHOST32.DLL QHOST32RETRY.DLL) ;;
  so) files=(quillhost.so qhost32.so qhost32retry.so) ;;
  *) usage ;;
esac
routes=("$route1" "$route2" "$route2")

# Export names of one library, one a line, sorted.
exports_of() {
  if [ "$kind" = dll ]; then
    # The name table follows "[Ordinal/Name Pointer] Table" as lines "[   n] Name".
    x86_64-w64-mingw32-objdump -p "$1" |
      awk '/\[Ordinal\/Name Pointer\] Table/ { t = 1; next }
           t && /^[ \t]*\[ *[0-9]+\]/ { print $NF; next }
           t { t = 0 }'
  else
    nm -D --defined-only "$1" | awk 'NF >= 3 { print $3 }'
  fi | LC_ALL=C sort
}

[ -d "$dir" ] || { echo "$dir: no such directory (skipped)"; exit 77; }
libs=$(find "$dir" -name CMakeFiles -prune -o -type f \( -name "${files[0]}" -o \
  -name "${files[1]}" -o -name "${files[2]}" \) -print)
[ -n "$libs" ] || { echo "no $kind libraries under $dir (skipped)"; exit 77; }

failed=0
for i in 0 1 2; do
  name=${files[$i]}
  expected=$(tr -s ' \n' '\n\n' <<<"${routes[$i]}" | LC_ALL=C sort)
  paths=$(grep "/$name\$" <<<"$libs" || true)
  if [ -z "$paths" ]; then
    echo "MISSING $name"
    failed=1
    continue
  fi
  while read -r path; do
    actual=$(exports_of "$path")
    if [ "$actual" = "$expected" ]; then
      echo "OK      $path ($(wc -l <<<"$actual") exports)"
    else
      echo "WRONG   $path:"
      comm -23 <(echo "$expected") <(echo "$actual") | sed 's/^/  missing /'
      comm -13 <(echo "$expected") <(echo "$actual") | sed 's/^/  extra   /'
      failed=1
    fi
  done <<<"$paths"
done
exit $failed
