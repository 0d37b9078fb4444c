#!/usr/bin/env bash
# linux_mac.sh - "Set MAC Address" in the terminal against kqsim: the "New:" field opens
# with the proposal selected, the digits typed replace it, and "OK" sets the console to
# the address typed; kq.ini keeps its proposal, as another address was set. The field
# then edits as a Windows edit control does after a text was set into it.
#
# Usage: linux_mac.sh build/linux/kqsfupdt build/linux/kqsim
# Prints one line per check and ends with "N passed, M failed".
set -u
[ $# -eq 2 ] || { echo "usage: $0 kqsfupdt kqsim" >&2; exit 2; }
BIN=$(realpath "$1")
SIM=$(realpath "$2")
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=$(mktemp -d)
SOCKET="kqmac$$"
SIM_PID=""
source "$ROOT/tests/e2e/term_common.sh"

cleanup() {
    tm kill-server 2>/dev/null
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/devices" "$WORK/run" "$WORK/config/kqsfupdt"
printf '[Kqsfupdt]\nMac=000A00\n' >"$WORK/config/kqsfupdt/kq.ini"
"$SIM" --dir="$WORK/devices" --timing=fast --console >"$WORK/kqsim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 50); do [ -n "$(ls -A "$WORK/devices" 2>/dev/null)" ] && break; sleep 0.1; done
tm new-session -d -s kq -x 100 -y 42 -c "$WORK/run" \
    "env LANG=C.UTF-8 KQUSB_DEVICES=$WORK/devices XDG_CONFIG_HOME=$WORK/config XDG_STATE_HOME=$WORK/state '$BIN' ST"
check "the program starts" wait_for "Process:" 10

menu
press Down Down Down   # Set MAC Address
press Enter
check "the dialog proposes the address in kq.ini" wait_for "New:  00-1F-19-000A00" 15
check "the console's address shows" wait_for "Current:  00-1F-19-000001" 10
press 1 2 a
check "the first digit replaced the proposal, the others follow" wait_for "00-1F-19-12A " 5
press b 5 f 7
check "six digits fill the field, a seventh is refused" wait_for "00-1F-19-12AB5F" 5
press Enter
check "OK sets the console to the address typed" \
    wait_for "Current:  00-1F-19-12AB5F" 10
check "kqsim took exactly that address" grep -q 'macset.*00-1F-19-12-AB-5F' "$WORK/kqsim.log"
press End BSpace Home Delete 0
check "Backspace, Home and Delete edit it as a Windows field does" wait_for "00-1F-19-02AB5 " 5
press Home S-End 9
check "Shift+End selects from the caret on, a digit replaces the selection" \
    wait_for "00-1F-19-9     " 5
press Escape
check "[ESC] leaves the dialog" wait_for "Push [ENTER] on PC-Keyboard to continue" 10
check "kq.ini keeps its proposal" grep -q 'Mac=000A00' "$WORK/config/kqsfupdt/kq.ini"

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
