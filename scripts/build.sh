#!/usr/bin/env bash
# Builds the Linux programs and tests (build/linux) and the 32-bit Windows programs
# (build/windows). "linux" or "windows" as the argument builds only that one. Where
# Wine cannot run 32-bit programs (no wine32), the x86_64 twin (build/windows64) that
# the Wine checks use instead is built too, and with linux the fuzz targets (build/fuzz).
# Usage: scripts/build.sh [linux|windows|windows64]
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -euo pipefail
cd "$(dirname "$0")/.."
presets=${1:-linux windows}
if [ -z "${1:-}" ] && ! { [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; }; then
  presets="$presets windows64"
fi
for preset in $presets; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)"
  if [ "$preset" = linux ]; then tests/fuzz/run.sh --build; fi
done
