#!/usr/bin/env bash
# Runs a Windows test program under Wine in a virtual X display and exits with its code. The
# Wine prefix is made on first use beside the Windows build tree (build/wine for
# build/mingw/bin/X.exe), outside it so the import check does not read Wine's own DLLs.
#
#   tools/run_under_wine.sh PROGRAM.exe
#
# Exit 77 (skip) when the program was not built or Wine or xvfb-run is missing.
set -euo pipefail
exe=$1
[ -f "$exe" ] || { echo "$exe: not built (skipped)"; exit 77; }
for tool in wine wineserver xvfb-run; do
  command -v "$tool" >/dev/null || { echo "$tool: not installed (skipped)"; exit 77; }
done
export WINEPREFIX="$(cd "$(dirname "$exe")/../.." && pwd)/wine"
export WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
# One display and one wineserver for the setup and the run; the run may not hang the suite.
timeout 600 xvfb-run -a bash -c '
  [ -f "$WINEPREFIX/system.reg" ] || { wineboot -u >/dev/null 2>&1; wineserver -w; }
  timeout 120 wine "$1"; rc=$?
  wineserver -k 2>/dev/null || true
  exit $rc' run "$exe"
