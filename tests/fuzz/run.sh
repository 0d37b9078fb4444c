#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehavior-
# Sanitizer) into build/fuzz and runs each for a bounded number of inputs, starting
# from its seed corpus in tests/fuzz/corpus/<target> (left unchanged: new inputs go to
# a scratch copy). A crash leaves its input in build/fuzz/findings: make it a
# regression test. FUZZ_RUNS sets the inputs per target (default 20000). --build only
# builds them (scripts/build.sh does, so that the test run only runs them).
# Usage: [FUZZ_RUNS=N] tests/fuzz/run.sh [--build]
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -euo pipefail
HERE=$(dirname "$(readlink -f "$0")")
REPO=$(cd "$HERE/../.." && pwd)
BUILD=${FUZZ_BUILD:-$REPO/build/fuzz}
RUNS=${FUZZ_RUNS:-20000}
TARGETS=(frame_receiver mac_frames profile command_line kqlink trace)

if ! command -v clang++ >/dev/null; then
    echo "clang++ is missing (scripts/setup.sh installs it)"
    exit 1
fi
cmake -S "$HERE" -B "$BUILD" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_ASM_COMPILER=clang -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j2 >/dev/null
[ "${1:-}" = --build ] && exit 0

mkdir -p "$BUILD/findings"
SCRATCH=$(mktemp -d /tmp/kq-fuzz.XXXXXX)
trap 'rm -rf "$SCRATCH"' EXIT
failed=0
for t in "${TARGETS[@]}"; do
    mkdir -p "$SCRATCH/$t"
    cp "$HERE/corpus/$t/"* "$SCRATCH/$t/" 2>/dev/null || true
    if "$BUILD/fuzz_$t" -runs="$RUNS" -max_total_time=12 -max_len=4096 -seed=1 \
        -artifact_prefix="$BUILD/findings/$t-" "$SCRATCH/$t" >"$SCRATCH/$t.log" 2>&1; then
        echo "PASS fuzz_$t ($(grep -o 'Done [0-9]* runs' "$SCRATCH/$t.log" | head -n 1))"
    else
        echo "FAIL fuzz_$t"
        tail -n 30 "$SCRATCH/$t.log"
        failed=$((failed + 1))
    fi
done
[ "$failed" -eq 0 ]
