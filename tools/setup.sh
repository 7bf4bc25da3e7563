#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages), only where missing.
set -euo pipefail
packages=(cmake make g++ python3 libgtest-dev libgmock-dev googletest libbenchmark-dev
          g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
          g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
          dosfstools exfatprogs mtools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
