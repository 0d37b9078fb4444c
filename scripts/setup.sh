#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root, or with sudo
# available). Does nothing when everything is there already.
# Usage: scripts/setup.sh
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev googletest libncurses-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
  clang libclang-rt-14-dev
  wine wine64 xvfb xdotool x11-utils imagemagick
  python3 python3-freetype python3-pefile tmux procps
  libusb-1.0-0-dev umockdev libumockdev-dev
  dpkg-dev zip unzip lintian man-db
  osslsigncode gnupg openssl
  wixl msitools python3-olefile
)

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

# The Windows programs are 32-bit: Wine runs them with its 32-bit half (wine32:i386),
# whose loader is an i386 program. A kernel without IA-32 emulation (some virtual
# machines and containers) cannot start it, and with wine32 installed /usr/bin/wine
# would then run nothing at all: there the Wine checks use the x86_64 twin build
# (cmake --preset windows64) instead. The probe is the smallest i386 program, exit(0).
kernel_runs_i386() {
  local probe
  probe=$(mktemp)
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5b\x00\x00\x00\x5b\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x31\xdb\x31\xc0\x40\xcd\x80' >"$probe"
  chmod +x "$probe"
  local ok=1
  "$probe" 2>/dev/null && ok=0
  rm -f "$probe"
  return $ok
}
# The package lists are read once, after the architectures are set.
if kernel_runs_i386; then
  PACKAGES+=(wine32:i386)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
else
  echo "This kernel cannot run 32-bit code: no wine32; Wine checks use build/windows64"
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The udev rule that lets a technician without root open a real console over USB. Only
# where udev keeps rules (not in containers or CI); reloaded when udev runs.
RULE="$(cd "$(dirname "$0")/.." && pwd)/tools/udev/70-kqsfupdt.rules"
if [ -d /etc/udev/rules.d ] && ! cmp -s "$RULE" /etc/udev/rules.d/70-kqsfupdt.rules; then
  $SUDO install -m 0644 "$RULE" /etc/udev/rules.d/70-kqsfupdt.rules
  if command -v udevadm >/dev/null && $SUDO udevadm control --reload 2>/dev/null; then
    $SUDO udevadm trigger --subsystem-match=usb --action=change 2>/dev/null || true
  fi
fi
