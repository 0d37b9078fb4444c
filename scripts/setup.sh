#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root, or with sudo
# available). Does nothing when everything is there already.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev googletest libncurses-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64 xvfb xdotool x11-utils imagemagick
  python3 python3-freetype tmux procps
  libusb-1.0-0-dev umockdev libumockdev-dev
)

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

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
