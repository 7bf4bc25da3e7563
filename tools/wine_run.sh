#!/usr/bin/env bash
# Runs a Windows program under Wine: the emulator of the mingw-tests build, and the runner of
# the Windows command-line tests.
#
#     tools/wine_run.sh PROGRAM.exe [ARGS...]
#
# The prefix is BRC_WINEPREFIX, by default build/wineprefix in the source tree (-64only where
# only Wine's 64-bit loader runs); it is made on first use (once, under a lock, as tests run
# side by side). A kept-alive wineserver makes each later run cost a fraction of a second.
# The program's output is passed on when it has ended.
# Exits with the program's status, or 77, the tests' skip code, when Wine is missing or the
# program is 32-bit and this system runs only 64-bit ones (tools/wine_env.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_env.sh"
brc_wine_init || { echo "wine_run: skipped: $brc_wine_missing" >&2; exit 77; }
brc_wine_skip_32bit "${1:-}"
export WINEPREFIX=${BRC_WINEPREFIX:-$(brc_wine_prefix "$here/../build/wineprefix")}
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
# Wine needs no display for console programs; an unset DISPLAY keeps it from trying one.
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$(dirname "$WINEPREFIX")"
# Wine's server outlives the programs: it must hold neither the lock nor the caller's output,
# or the next run and the caller's wait for the output would block until it ends.
(
  flock 9
  if [ ! -f "$WINEPREFIX/.brc-ready" ]; then
    mkdir -p "$WINEPREFIX"
    brc_wineboot -u </dev/null >/dev/null 2>&1 9>&-
    wineserver -w 9>&-
    touch "$WINEPREFIX/.brc-ready"
  fi
) 9>"$WINEPREFIX.lock"
# Stays up a minute after the last program ends, so a run of tests shares one server.
wineserver -p 60 </dev/null >/dev/null 2>&1 || true
# The first program to find the server without its services starts them, and they inherit its
# output and outlive it: the program writes to files, copied out once it has ended, so that no
# caller waiting for the end of the output (ctest, a $(...)) waits for the services too.
out=$(mktemp "${TMPDIR:-/tmp}/wine_run.XXXXXX")
err=$(mktemp "${TMPDIR:-/tmp}/wine_run.XXXXXX")
trap 'rm -f "$out" "$err"' EXIT
status=0
"$brc_wine" "$@" >"$out" 2>"$err" || status=$?
cat "$out"
cat "$err" >&2
exit "$status"
