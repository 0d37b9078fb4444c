#!/usr/bin/env bash
# Builds the Linux programs and tests (build/linux) and the Windows programs
# (build/windows). "linux" or "windows" as the argument builds only that one.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in ${1:-linux windows}; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)"
done
