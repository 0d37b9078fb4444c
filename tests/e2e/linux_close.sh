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
source "$(dirname "$(readlink -f "$0")")/term_common.sh"
term_begin "BIN:kqsfupdt SIM:kqsim" "$@"

start_deaf() {
    rm -rf "$WORK/devices" && mkdir -p "$WORK/devices"
    python3 "$ROOT/tests/e2e/deaf_console.py" "$WORK/devices/$CONSOLE" &
    SIM_PID=$!
    pipes_appear
}
# The pane stays after the program has ended, so what it left on the shell is readable.
start_program() {
    start_kq
    tm set-option -t kq remain-on-exit on >/dev/null
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
stop_sim
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
stop_sim

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
stop_sim

term_end
