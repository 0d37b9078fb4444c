#!/usr/bin/env bash
# kqlink_side_by_side.sh - the KQ-LINK check beside other work on the same PC: a second
# technician (bench/busy_technician.sh: its own kqsim and kqsfupdt looping Update Remote
# and Test Remote, at ordinary priority) runs while the terminal check's Update Tempa
# BOX (the longest KQ-LINK exchange: 924 bytes echoed one listen each) runs RUNS times.
# Prints each run's verdict and kqsim's own figures: how late it woke and how long it
# waited for a CPU at most. The program gives the console 30 ms past each listen, so a
# wait near that fails the update; the figures say whether kqsim was the late side.
#
# Usage: bench/kqlink_side_by_side.sh [build/linux] [RUNS]   (about 40 s a run)
# KQ_SCENARIOS picks other scenarios of tests/e2e/linux_peripherals.sh (default 4).
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -u
BUILD=$(realpath "${1:-build/linux}")
RUNS=${2:-5}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SCRATCH=$(mktemp -d)
BUSY_PID=""
cleanup() {
    [ -n "$BUSY_PID" ] && kill "$BUSY_PID" 2>/dev/null && wait "$BUSY_PID" 2>/dev/null
    rm -rf "$SCRATCH"
}
trap cleanup EXIT

bash "$ROOT/bench/busy_technician.sh" "$BUILD" >"$SCRATCH/busy.log" 2>&1 &
BUSY_PID=$!
until grep -q "round 1:" "$SCRATCH/busy.log" 2>/dev/null; do
    kill -0 "$BUSY_PID" 2>/dev/null || { echo "the second technician did not start:"; cat "$SCRATCH/busy.log"; exit 1; }
    sleep 1
done

passed=0
for run in $(seq "$RUNS"); do
    out=$(TMPDIR=$SCRATCH KQ_KEEP=1 KQ_SCENARIOS=${KQ_SCENARIOS:-4} \
          bash "$ROOT/tests/e2e/linux_peripherals.sh" "$BUILD/kqsfupdt" "$BUILD/kqsim" 2>&1)
    kept=$(sed -n 's/^ *(kept \(.*\))$/\1/p' <<<"$out")
    verdict=$(grep -E "^[0-9]+ passed, [0-9]+ failed" <<<"$out")
    grep -q " 0 failed" <<<"$verdict" && passed=$((passed + 1))
    figures=$(sed -n 's/^ *[0-9.]* kqsim \(woke at most .*\)$/\1/p' "$kept"/kqsim*.log 2>/dev/null | tail -n 1)
    sched=$(sed -n 's/^ *[0-9.]* kqsim serving .* timing, \(.*\)$/\1/p' "$kept"/kqsim*.log 2>/dev/null | head -n 1)
    echo "run $run: $verdict; kqsim $figures; $sched"
    grep -E "^FAIL|ERROR" <<<"$out" | sed 's/^/    /' | head -n 4
    rm -rf "$kept"
done
echo "second technician: $(grep -c 'Update Remote OK' "$SCRATCH/busy.log") good updates in $(grep -c round "$SCRATCH/busy.log") rounds"
echo "$passed of $RUNS side-by-side runs passed"
