#!/usr/bin/env bash
# linux_log_delay.sh - a virus scanner that makes every open and every close of the log
# cost 40 ms (a slow laptop's), in the terminal against kqsim's console with a Remote on
# its KQ-LINK port: "Update Remote" still finds the Remote and "Test Remote" still
# operates on it, because the log is opened once for the run and not for every entry
# (the receive thread logs each answer before it stores it). The delay comes from an
# interposer (bench/log_delay.c) that also counts the opens and closes.
#
# Usage: linux_log_delay.sh build/linux/kqsfupdt build/linux/kqsim build/linux/kq_log_delay.so
# Prints one line per check and ends with "N passed, M failed".
set -u
[ $# -eq 3 ] || { echo "usage: $0 kqsfupdt kqsim kq_log_delay.so" >&2; exit 2; }
BIN=$(realpath "$1")
SIM=$(realpath "$2")
DELAY=$(realpath "$3")
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=$(mktemp -d)
SOCKET="kqlogd$$"
SIM_PID=""

# shellcheck source=kqlink_priority.sh
source "$(dirname "$(readlink -f "$0")")/kqlink_priority.sh"

source "$ROOT/tests/e2e/term_common.sh"
cleanup() {
    tm kill-server 2>/dev/null
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null
    if [ -n "${KQ_KEEP:-}" ]; then echo "   (kept $WORK)"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

mkdir -p "$WORK/devices" "$WORK/run"
"$SIM" --dir="$WORK/devices" --timing=fast --console --remote >"$WORK/kqsim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 50); do [ -n "$(ls -A "$WORK/devices" 2>/dev/null)" ] && break; sleep 0.1; done

TALLY="$WORK/tally"
tm new-session -d -s kq -x 100 -y 42 -c "$WORK/run" \
    "env LANG=C.UTF-8 KQUSB_DEVICES=$WORK/devices XDG_CONFIG_HOME=$WORK/config XDG_STATE_HOME=$WORK/state \
     KQ_LOG_DELAY_US=40000 KQ_LOG_DELAY_TALLY=$TALLY LD_PRELOAD=$DELAY \
     sh -c '\"$BIN\" ST; echo EXIT=\$? > exitcode'"
check "the program starts with the delaying interposer" wait_for "Process:" 10

# Service menu: 4 Update Remote, 6 Test Remote (separators skipped).
menu_item() {
    menu
    for ((i = 0; i < $1; i++)); do press Down; done
    press Enter
}
PUSH_ENTER="Push [ENTER] on PC-Keyboard to continue"
idle() {  # the command's last prompt answered: the help text alone again
    answer "$PUSH_ENTER" Enter 20 && wait_for "Process:" 10 >/dev/null
}

menu_item 4
check "Update Remote: the connect prompt" wait_for "Connect Remote to KQ-LINK port on CORVINA" 20
answer "$PUSH_ENTER" Enter
check "Update Remote: the Remote is found (the user-mode question)" \
    answer "Remote update? [ENTER] yes, [->] no" Right 15
check "Update Remote: [->] disconnects" wait_for "Disconnecting..." 10
idle
menu_item 6
check "Test Remote: the connect prompt" wait_for "Connect Remote to KQ-LINK port on CORVINA" 20
answer "$PUSH_ENTER" Enter
check "Test Remote: operates on the Remote" wait_for "Operate on Remote" 15
check "Test Remote: a monitor line of the Remote" wait_for "idTX: 1  Fn: " 10
press Enter                          # ends the monitor
check "Test Remote: [ENTER] ends the monitor" wait_for "Disconnecting..." 10
idle
check "the log holds both headers and the Remote's answers" \
    eval 'grep -q -- "-----Remote Update-----" "$WORK/run/TEMP/log.txt" &&
          grep -q -- "-----Remote Test-----" "$WORK/run/TEMP/log.txt" &&
          grep -q -- " ->PC Nbytes:" "$WORK/run/TEMP/log.txt"'
check "the log was opened once for both commands, and not closed yet" \
    eval '[ "$(grep -c open "$TALLY")" = 1 ] && [ "$(grep -c close "$TALLY")" = 0 ]'
press F10 x
check "Exit ends with code 0, the log closed once and deleted" \
    eval 'exited_with 0 15 && [ "$(grep -c close "$TALLY")" = 1 ] &&
          [ ! -e "$WORK/run/TEMP/log.txt" ]'

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
