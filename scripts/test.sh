#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds both programs, and runs every
# test (unit and scenario tests, the ring under ThreadSanitizer, and the end-to-end
# checks of the Linux program in a terminal and of the Windows programs under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --test-dir build/linux --output-on-failure -j2 "$@"
