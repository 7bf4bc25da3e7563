#!/usr/bin/env bash
# The Windows OS services' volume queries on a card reader that hangs, under Wine: drive Y: of a
# prefix of its own is a folder served over FUSE by the fault file (tests/support/fault_file.c),
# whose size queries wait while its control file says hang_statfs. The Win32Os suite of the
# Windows build (its VolumeQueriesOfAReaderThatHang... case, told the drive and the control file
# through BRC_TEST_HUNG_ROOT and BRC_TEST_HUNG_CONTROL) hangs and releases it, and checks that
# every query comes back within its wait with ERROR_TIMEOUT.
#
# Needs FUSE, Wine, the fault file (the native build, where libfuse3 is) and the mingw-tests
# build's test_platform.exe; exits 77 (skipped) without them. The mount, the drive and the files
# go again on every way out.
#
#   tests/platform/hung_volume.sh MINGW_TESTS_BIN_DIR FAULT_FILE
set -u
here=$(cd "$(dirname "$0")" && pwd)
skip() {
    echo "skip: $*"
    exit 77
}
bin=$(cd "${1:?usage: hung_volume.sh MINGW_TESTS_BIN_DIR FAULT_FILE}" 2>/dev/null && pwd) ||
    skip "no Windows test build at $1"
fault=${2:-}
suite=$bin/test_platform.exe
[ -f "$suite" ] || skip "$bin has no test_platform.exe (the mingw-tests build)"
[ -n "$fault" ] && [ -x "$fault" ] || skip "the FUSE fault file was not built (libfuse3's development files are missing)"
[ -c /dev/fuse ] || skip "this system has no FUSE (/dev/fuse)"
command -v fusermount3 >/dev/null || skip "fusermount3 is not installed"
source "$here/../../tools/wine_env.sh"
brc_wine_init || skip "$brc_wine_missing"

scratch=$(mktemp -d /tmp/brc-hung-volume.XXXXXX) || exit 1
. "$here/../support/fault_file.sh"
drive=
# A prefix of its own, beside the build: the drive letter is this suite's alone.
WINEPREFIX=$(brc_wine_prefix "$bin/../wineprefix-hung")
export BRC_WINEPREFIX=$WINEPREFIX WINEPREFIX

set_faults() { fault_set "$@"; }
cleanup() {
    fault_set "" 2>/dev/null # nothing waits on the reader any more
    [ -n "$drive" ] && rm -f "$drive"
    wineserver -k 2>/dev/null
    fault_stop
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

truncate -s 64M "$scratch/card.img"
fault_serve "$fault" "$scratch/card.img" || skip "the fault file could not mount ($(cat "$scratch/fault.log"))"

# Wine's C runtime ends lines with CR LF.
run() { bash "$here/../../tools/wine_run.sh" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
run "$suite" --gtest_list_tests >/dev/null || { echo "FAIL: $suite does not start under Wine"; exit 1; }
drive=$WINEPREFIX/dosdevices/y:
ln -sfn "$mnt" "$drive"

windows_control="Z:${control//\//\\}"
# The case takes some 10 s; a query that is not bounded never comes back while the reader
# hangs, and is released (the control file emptied) when the suite is given up on.
BRC_TEST_HUNG_ROOT='Y:\' BRC_TEST_HUNG_CONTROL=$windows_control \
    timeout 120 bash "$here/../../tools/wine_run.sh" "$suite" \
    --gtest_filter='Win32Os.VolumeQueriesOfAReaderThatHang*' >"$scratch/suite.out" 2>&1
status=$?
tr -d '\r' <"$scratch/suite.out"
[ "$status" -eq 124 ] && { echo "FAIL: a volume query of the hung reader never came back"; exit 1; }
grep -q '\[  SKIPPED \]' "$scratch/suite.out" && { echo "FAIL: the case was skipped"; exit 1; }
grep -q '\[  PASSED  \] 1 test' "$scratch/suite.out" || { echo "FAIL: the case did not run"; exit 1; }
exit "$status"
