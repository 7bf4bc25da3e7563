# Which Wine loader starts the Windows programs: sourced by every script that starts Wine.
#
# Debian's `wine` execs its 32-bit loader, which runs only where the kernel runs 32-bit x86
# programs. Where it does, everything goes through `wine` and `wineboot` as usual. Where it does
# not, the 64-bit loader runs the 64-bit programs (and makes the prefix), and a 32-bit program is
# skipped with 77, the tests' skip code. A prefix made by the 64-bit loader alone lacks the
# 32-bit half, so it gets a directory of its own (brc_wine_prefix).
#
#   brc_wine_init || skip ...      sets brc_wine (the loader) and brc_wine_64only (0 or 1);
#                                  fails, with brc_wine_missing saying why, when no Wine runs
#   brc_wineboot ARGS...           wineboot through that loader
#   brc_wine_prefix DIR            the prefix to use where DIR is the usual one
#   brc_wine_skip_32bit PROGRAM    exits 77 with the reason when PROGRAM is 32-bit and only the
#                                  64-bit loader runs

brc_wine_init() {
  brc_wine=wine brc_wine_64only=0 brc_wine_missing=
  if ! command -v wine >/dev/null 2>&1 || ! command -v wineserver >/dev/null 2>&1; then
    brc_wine_missing="wine is not installed (bash tools/setup.sh installs it)"
    return 1
  fi
  # Cheap: the loader answers --version without a prefix or a server. Without its 32-bit half
  # Debian's script falls back to the 64-bit loader itself and says so.
  local answer
  answer=$(wine --version 2>&1) && [[ $answer != *"wine32 is missing"* ]] && return 0
  local loader
  for loader in "$(command -v wine64 2>/dev/null)" /usr/lib/wine/wine64 /usr/lib64/wine/wine64; do
    if [ -n "$loader" ] && [ -x "$loader" ] && "$loader" --version >/dev/null 2>&1; then
      brc_wine=$loader brc_wine_64only=1
      # What Debian's script sets when it falls back to this loader: Wine starts the programs'
      # child processes with it too.
      export WINELOADER=$loader
      return 0
    fi
  done
  brc_wine_missing="wine is installed but does not start here (wine --version fails)"
  return 1
}

brc_wineboot() {
  if [ "$brc_wine_64only" = 1 ]; then "$brc_wine" wineboot "$@"; else wineboot "$@"; fi
}

brc_wine_prefix() {
  if [ "$brc_wine_64only" = 1 ]; then echo "$1-64only"; else echo "$1"; fi
}

# The PE header's machine field: 14c for i386, 8664 for x86-64 (empty when not a PE file).
brc_pe_machine() {
  local at
  at=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$at" ] && [ "$(od -An -c -j"$at" -N4 "$1" 2>/dev/null | tr -d ' ')" = 'PE\0\0' ] || return 0
  od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' ' | sed 's/^0*//'
}

brc_wine_skip_32bit() {
  [ "$brc_wine_64only" = 1 ] && [ "$(brc_pe_machine "$1")" = 14c ] || return 0
  echo "skipped: this system cannot run 32-bit programs, which Wine needs for the 32-bit build" \
    "($(basename "$1") is 32-bit)" >&2
  exit 77
}
