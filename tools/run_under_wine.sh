#!/usr/bin/env bash
# Runs a Windows test program under Wine in a virtual X display and exits with its code. The
# Wine prefix is made on first use beside the Windows build tree (build/wine for
# build/mingw/bin/X.exe), outside it so the import check does not read Wine's own DLLs.
#
#   tools/run_under_wine.sh PROGRAM.exe
#
# Exit 77 (skip) when the program was not built, Wine or xvfb-run is missing, or the program is
# 32-bit and this system runs only 64-bit ones (tools/wine_env.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exe=$1
[ -f "$exe" ] || { echo "$exe: not built (skipped)"; exit 77; }
source "$here/wine_env.sh"
brc_wine_init || { echo "skipped: $brc_wine_missing"; exit 77; }
command -v xvfb-run >/dev/null || { echo "xvfb-run: not installed (skipped)"; exit 77; }
brc_wine_skip_32bit "$exe"
export WINEPREFIX
WINEPREFIX=$(brc_wine_prefix "$(cd "$(dirname "$exe")/../.." && pwd)/wine")
export WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
export brc_wine brc_wine_64only
export -f brc_wineboot
# One display and one wineserver for the setup and the run; the run may not hang the suite.
timeout 600 xvfb-run -a bash -c '
  [ -f "$WINEPREFIX/system.reg" ] || { brc_wineboot -u >/dev/null 2>&1; wineserver -w; }
  timeout 120 "$brc_wine" "$1"; rc=$?
  wineserver -k 2>/dev/null || true
  exit $rc' run "$exe"
