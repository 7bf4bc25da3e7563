#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages), only where missing.
set -euo pipefail
packages=(cmake make g++ python3 libgtest-dev libgmock-dev googletest libbenchmark-dev
          g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
          g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
          g++-mingw-w64-x86-64-posix
          wine wine64
          wixl msitools  # the Windows installer and its reader
          xvfb imagemagick
          locales fonts-ipafont-gothic fonts-wqy-microhei
          dosfstools exfatprogs mtools universal-ctags pkg-config libblkid-dev
          man-db dpkg-dev  # the manual page's check; dpkg-shlibdeps for the Debian package
          fuse3 libfuse3-dev  # the failing card over FUSE (tests/support/fault_file.c)
          f3  # f3probe, the peer of bench/probe_bench.sh
          libsystemd-dev dbus-daemon dbus-bin polkitd udisks2 udev  # formats through udisks2
          qemu-system-x86 busybox-static fdisk  # the guest with the kernel's card drivers
          qemu-utils)  # qemu-nbd: a card in the guest served over NBD
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
update=0
# Wine runs the 32-bit Windows programs through its i386 half.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture (for wine32)"
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  update=1
fi
# Wanted but not needed: without wine32 the 32-bit Windows suites skip (its i386 libraries must
# match the amd64 ones version for version, which a mirror mid-sync cannot always give); without
# the clang-format the tree is laid out with, the layout check skips.
optional=(wine32:i386 clang-format-14)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
optional_missing=()
for p in "${optional[@]}"; do installed "$p" || optional_missing+=("$p"); done
if ((${#missing[@]} + ${#optional_missing[@]})); then
  echo "Installing: ${missing[*]} ${optional_missing[*]}"
  update=1
fi
if ((update)); then
  # A mirror caught mid-sync fails one index; apt keeps the rest, and the install below says
  # plainly if a package is then missing.
  for attempt in 1 2 3; do
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq && break
    echo "setup.sh: apt-get update failed (attempt $attempt of 3)" >&2
    ((attempt < 3)) && sleep 10
  done
fi
if ((${#missing[@]})); then
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# A library both architectures share must be of one version in both. Where the i386 index lags
# behind the amd64 one (a security update not yet built for i386), apt says which i386 half
# breaks its amd64 one ("libx:i386 : Breaks: libx (!= V)"): both are pinned to V, the version
# the i386 index offers, where the amd64 index offers it too. Asked again until apt agrees.
same_version_pins() {
  local pins=() answer lib version round
  for round in 1 2 3 4 5; do
    answer=$(apt-get install -s -qq --no-install-recommends --allow-downgrades "$1" "${pins[@]}" 2>&1) && break
    local found=0
    while read -r lib version; do
      apt-cache madison "$lib:amd64" | awk '{print $3}' | grep -qxF "$version" || continue
      pins+=("$lib:amd64=$version" "$lib:i386=$version")
      found=1
    done < <(sed -nE 's/^ *([^ :]+):i386 : Breaks: ([^ ]+) \(!= ([^)]+)\).*/\1 \3/p' <<<"$answer" | sort -u)
    ((found)) || break
  done
  echo "${pins[@]}"
}
for p in "${optional_missing[@]}"; do
  apt_install=("${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends)
  "${apt_install[@]}" "$p" && continue
  # shellcheck disable=SC2207
  pins=($(same_version_pins "$p"))
  if ((${#pins[@]})); then
    echo "setup.sh: installing $p with libraries of one version for both architectures: ${pins[*]}"
    "${apt_install[@]}" --allow-downgrades "$p" "${pins[@]}" && continue
  fi
  echo "setup.sh: $p could not be installed; what needs it will be skipped" >&2
done
# The locales under which Wine shows the program in Japanese and Chinese (the fonts above draw
# them), and the Russian one the command's tests speak.
wanted_locales=(ja_JP.UTF-8 zh_CN.UTF-8 zh_TW.UTF-8 ru_RU.UTF-8)
for l in "${wanted_locales[@]}"; do
  if ! locale -a 2>/dev/null | grep -qix "${l/UTF-8/utf8}"; then
    echo "Generating the locale $l"
    "${sudo_cmd[@]}" sed -i -E "s/^# *(${l//./\\.} UTF-8)/\\1/" /etc/locale.gen
    grep -q "^${l} UTF-8" /etc/locale.gen || echo "${l} UTF-8" | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
    "${sudo_cmd[@]}" locale-gen >/dev/null
  fi
done
