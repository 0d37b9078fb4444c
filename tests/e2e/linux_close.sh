#!/usr/bin/env bash
# linux_close.sh - Ctrl+C (SIGINT) while "Update Console" runs in the terminal, and at
# the prompt after it. A close asked during the update waits for the update's end and
# then closes: the title row says so meanwhile, the screen's last lines are left on the
# shell, and the exit code is the verdict (0 updated, 1 failed). A close asked at a
# prompt closes at once.
#   1. kqsim's console, SIGINT while programming: "CORVINA Updated", exit code 0, and
#      the flash holds the whole buffer;
#   2. a console that stops reading its OUT pipe, SIGINT while programming: the write
#      gives up, "...ERROR...", exit code 1;
#   3. the same console, the update fails first, SIGINT at the continue prompt: the
#      program ends at once with exit code 1.
#
# Usage: linux_close.sh build/linux/kqsfupdt build/linux/kqsim
# Prints one line per check and ends with "N passed, M failed".
set -u
[ $# -eq 2 ] || { echo "usage: $0 kqsfupdt kqsim" >&2; exit 2; }
BIN=$(realpath "$1")
SIM=$(realpath "$2")
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=$(mktemp -d)
SOCKET="kqclose$$"
SIM_PID=""
source "$ROOT/tests/e2e/term_common.sh"

cleanup() {
    tm kill-server 2>/dev/null
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

CONSOLE="usb#vid_1d2b&pid_0001#0001"
start_sim() {  # kqsim options...
    rm -rf "$WORK/devices" "$WORK/flash" && mkdir -p "$WORK/devices" "$WORK/flash"
    "$SIM" --dir="$WORK/devices" --timing=fast --save-flash="$WORK/flash/" "$@" >"$WORK/kqsim.log" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 50); do [ -p "$WORK/devices/$CONSOLE/PIPE01" ] && return 0; sleep 0.1; done
    return 1
}
start_deaf() {
    rm -rf "$WORK/devices" && mkdir -p "$WORK/devices"
    python3 "$ROOT/tests/e2e/deaf_console.py" "$WORK/devices/$CONSOLE" &
    SIM_PID=$!
    for _ in $(seq 50); do [ -p "$WORK/devices/$CONSOLE/PIPE01" ] && return 0; sleep 0.1; done
    return 1
}
stop_device() {
    kill -TERM "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
    SIM_PID=""
}
# The pane stays after the program has ended, so what it left on the shell is readable.
start_program() {
    tm kill-server 2>/dev/null
    rm -rf "$WORK/run" && mkdir -p "$WORK/run"
    tm new-session -d -s kq -x 100 -y 42 -c "$WORK/run" \
        "env LANG=C.UTF-8 KQUSB_DEVICES=$WORK/devices XDG_CONFIG_HOME=$WORK/config XDG_STATE_HOME=$WORK/state \
         sh -c '\"$BIN\"; echo EXIT=\$? > exitcode'"
    tm set-option -t kq remain-on-exit on >/dev/null
    wait_for "Process:" 10
}
app_pid() { pgrep -P "$(tm display-message -p -t kq '#{pane_pid}')" | head -n 1; }
interrupt() { kill -INT "$(app_pid)"; }
# Update Console with the four languages, up to the programming of the flash.
update_console() {
    menu
    press Enter                    # Update Console
    wait_for "3: GERMAN" 10 >/dev/null
    press Enter                    # OK
    wait_for " Programming [" 30
}
CLOSE_NOTICE="Close requested: kqsfupdt will close when the update has finished"
left_on_shell() { shows "$1" && ! shows "Process:"; }  # the help text is not what is left

# ---- 1. A close during a successful update ----------------------------------------------------
start_sim --console
start_program
update_console
interrupt
check "the title row says the close waits for the update" wait_for "$CLOSE_NOTICE" 5
check "the update runs on to its end: exit code 0" exited_with 0 60
check "its verdict is left on the shell" left_on_shell "CORVINA Updated"
stop_device
python3 "$ROOT/tests/e2e/expected_flash.py" "$ROOT/data" "$WORK/expected.bin"
check "the console's flash equals the buffer byte for byte" cmp -s "$WORK/flash/$CONSOLE.bin" "$WORK/expected.bin"

# ---- 2. A close during an update that fails ----------------------------------------------------
start_deaf
start_program
update_console
interrupt
check "the title row says the close waits for the update" wait_for "$CLOSE_NOTICE" 5
check "the update fails once the console takes no more: exit code 1" exited_with 1 60
check "its verdict is left on the shell" left_on_shell "...ERROR..."
check "no success is claimed" bash -c "! tmux -L $SOCKET capture-pane -p -t kq | grep -qF 'CORVINA Updated'"
stop_device

# ---- 3. A close at the prompt after a failed update ------------------------------------------
start_deaf
start_program
update_console
check "the update fails" wait_for "...ERROR..." 60
prompt_waits() {
    local _
    for _ in $(seq 50); do prompt_shown "Push [ENTER] on PC-Keyboard to continue" && return 0; sleep 0.1; done
    return 1
}
check "the continue prompt waits" prompt_waits
interrupt
check "Ctrl+C at the prompt ends the program at once: exit code 1" exited_with 1 2
check "the failed update is left on the shell" left_on_shell "...ERROR..."
stop_device

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
