#!/usr/bin/env bash
# busy_technician.sh - a second technician on the same PC: a kqsim of its own (a console
# with a Remote, real device timing) and a kqsfupdt that runs Update Remote and Test
# Remote in a loop, in a tmux server of its own, at ordinary priority. Runs until
# killed (or for ROUNDS rounds); prints one line per round with its verdict.
#
# Usage: bench/busy_technician.sh build/linux [ROUNDS]
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -u
BUILD=$(realpath "${1:-build/linux}")
ROUNDS=${2:-0}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=$(mktemp -d)
SOCKET="kqbusy$$"
SIM_PID=""
# shellcheck source=../tests/e2e/term_common.sh
source "$ROOT/tests/e2e/term_common.sh"
cleanup() {
    tm kill-server 2>/dev/null
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 0' TERM INT

menu() {  # N: the File menu's item N (4 Update Remote, 6 Test Remote)
    press F10
    wait_for "Update Vinculum by cable" 10 >/dev/null || return 1
    for ((i = 0; i < $1; i++)); do press Down; done
    press Enter
}
PUSH_ENTER="Push [ENTER] on PC-Keyboard to continue"

mkdir -p "$WORK/devices" "$WORK/run"
"$BUILD/kqsim" --dir="$WORK/devices" --console --remote >"$WORK/kqsim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 50); do [ -n "$(ls -A "$WORK/devices" 2>/dev/null)" ] && break; sleep 0.1; done
tm new-session -d -s kq -x 100 -y 42 -c "$WORK/run" \
    "env LANG=C.UTF-8 KQUSB_DEVICES=$WORK/devices XDG_CONFIG_HOME=$WORK/config '$BUILD/kqsfupdt' ST"
wait_for "Process:" 10 >/dev/null || exit 1

round=0
while [ "$ROUNDS" -eq 0 ] || [ "$round" -lt "$ROUNDS" ]; do
    round=$((round + 1))
    verdict=broken
    if menu 4 && answer "$PUSH_ENTER" Enter 20 && answer "Remote update? [ENTER] yes, [->] no" Enter 20; then
        verdict=timeout
        for _ in $(seq 1200); do
            if shows "...OK..."; then verdict=OK; break; fi
            if shows "...ERROR..."; then verdict=ERROR; break; fi
            sleep 0.1
        done
    fi
    answer "$PUSH_ENTER" Enter 30 >/dev/null
    test=broken
    if menu 6 && answer "$PUSH_ENTER" Enter 20 && wait_for "Fn: " 20 >/dev/null; then
        test=OK
        sleep 2  # the monitor runs a while, as a person watches it
        press Enter
        wait_for "Disconnecting..." 10 >/dev/null
    fi
    answer "$PUSH_ENTER" Enter 30 >/dev/null
    echo "busy technician: round $round: Update Remote $verdict, Test Remote $test"
done
