#!/usr/bin/env bash
# Sets up, builds the Windows (64- and 32-bit), Windows test and Linux presets and runs every
# test: the Windows suites under Wine, then the Linux suites (which run the Windows command
# under Wine as well). Both runs always happen; the exit status is non-zero if either failed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
cmake --build --preset mingw --target msi
cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32
cmake --build --preset mingw32 --target msi
cmake --preset mingw-tests >/dev/null
cmake --build --preset mingw-tests
cmake --preset native >/dev/null
cmake --build --preset native
command -v wine >/dev/null 2>&1 ||
  echo "test.sh: wine is not installed: the Windows suites and command tests are skipped"
# The suites leave Wine servers running (persistent for speed, each with its services):
# every prefix under the build tree (an absolute path, as wineserver takes no other) has its
# server stopped when the suites end, pass or fail.
stop_wine() {
  command -v wineserver >/dev/null 2>&1 || return 0
  local prefix
  while IFS= read -r prefix; do
    WINEPREFIX=$prefix timeout 30 wineserver -k 2>/dev/null || true
  done < <(find "$PWD/build" -maxdepth 6 -name system.reg -printf '%h\n' 2>/dev/null | sort -u)
}
trap stop_wine EXIT
status=0
start=$SECONDS
ctest --preset mingw-tests --output-junit "$PWD/build/mingw-tests/junit.xml" || status=1
windows=$((SECONDS - start))
ctest --preset native --output-junit "$PWD/build/native/junit.xml" || status=1
# Where the time went, so that the run's budget stays in sight.
echo "test.sh: Windows suites $windows s, Linux suites $((SECONDS - start - windows)) s"
python3 tools/test_times.py "build/mingw-tests:build/mingw-tests/junit.xml" \
  "build/native:build/native/junit.xml" || true
exit "$status"
