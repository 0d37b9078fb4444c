#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds both programs, and runs every
# test (unit and scenario tests, the ring under ThreadSanitizer, and the end-to-end
# checks of the Linux program in a terminal and of the Windows programs under Wine, and
# the release in dist/). A whole run (no arguments) then builds the release twice from
# scratch and compares the bytes (scripts/check_reproducible.sh).
# Usage: scripts/test.sh [ctest options...]   (e.g. -R e2e_linux -L e2e)
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --test-dir build/linux --output-on-failure -j2 "$@"
if [ $# -eq 0 ]; then
  scripts/check_reproducible.sh
fi
