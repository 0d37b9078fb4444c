#!/usr/bin/env bash
# linux_update.sh - "Update Console" as a technician runs it in the terminal, against
# kqsim over a real device directory: the menu, the language dialog and the keys; then
# the console's flash as kqsim saved it is compared with the buffer it must hold.
#   1. a running console: user-mode update, all four languages;
#   2. no running console, the processor in boot mode: the boot-mode update, English only;
#   3. a service command (Test Remote) connecting to the console, finding no Remote,
#      and disconnecting;
#   4. Set MAC Address with an [ENTER] typed during the search: the dialog stays open;
#   5. --history: the four jobs, newest last, and where the record is;
#   6. the update of 1 replayed by kqsim --replay from the log it left: the same
#      verdict, the trace followed to its end (bench/bench_replay.py times the two).
#
# Usage: linux_update.sh build/linux/kqsfupdt build/linux/kqsim
# Prints one line per check and ends with "N passed, M failed".
source "$(dirname "$(readlink -f "$0")")/term_common.sh"
term_begin "BIN:kqsfupdt SIM:kqsim" "$@"
exit_program() {
    menu
    press x
    exited_with 0 15
}
# polled_mac N SECONDS: kqsim has answered N requests for the console's address.
polled_mac() {
    local deadline=$((SECONDS + $2))
    until [ "$(grep -cE ' mac +#' "$WORK/kqsim.log")" -ge "$1" ]; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.1
    done
}
same_flash() { cmp -s "$1" "$2"; }  # saved-file expected-file
# Update Console from the menu, and OK once the language dialog lists all four languages.
update_console() { menu; press Enter; wait_for "3: GERMAN" 10 && press Enter; }
# [ENTER] at the continue prompt, and the help text is back.
continue_to_help() { answer "Push [ENTER] on PC-Keyboard to continue" Enter && wait_for "Process:" 10; }

# ---- 1. User mode, default languages -----------------------------------------------
start_sim --console
start_kq
check "language dialog opens with all four languages" update_console
check "user-mode update reports success" wait_for "CORVINA Updated" 120
cp "$WORK/run/TEMP/log.txt" "$WORK/field.log"   # the trace a technician would keep
check "504 chunks were programmed" grep -q 'program  #504 ' "$WORK/kqsim.log"
check "the log file holds the user update header" grep -q -- '-----User Update-----' "$WORK/run/TEMP/log.txt"
check "the help text is back" continue_to_help
check "Exit ends with code 0" exit_program
stop_sim
python3 "$ROOT/tests/e2e/expected_flash.py" "$ROOT/data" "$WORK/expected-all.bin"
check "the console's flash equals the buffer byte for byte" \
    same_flash "$WORK/flash/usb#vid_1d2b&pid_0001#0001.bin" "$WORK/expected-all.bin"

# ---- 2. Boot mode, English alone ---------------------------------------------------------
start_sim --boot
start_kq
menu
press Enter
wait_for "Select Languages" 10 >/dev/null
press DC                           # Delete: Clear
press e                            # English
check "English alone leaves 7% free" wait_for "7% Flash Memory Free" 5
press Enter                        # OK: focus is on OK
check "no running console: the BOOT jumper is asked for" answer "put BOOT-Jumper, switch on, [ENTER] continue..." Enter 40
check "boot-mode update reports success" wait_for "CORVINA Updated" 120
check "the jumper instructions follow" wait_for "remove BOOT-Jumper" 5
answer "[ENTER] to continue..." Enter 5   # their second line
check "the continue prompt follows" answer "Push [ENTER] on PC-Keyboard to continue" Enter 5
check "the help text is back" wait_for "Process:" 10
check "Exit ends with code 0" exit_program
stop_sim
python3 "$ROOT/tests/e2e/expected_flash.py" "$ROOT/data" "$WORK/expected-en.bin" 1
check "the processor's flash equals the buffer byte for byte" \
    same_flash "$WORK/flash/usb#vid_045b&pid_0025#0001.bin" "$WORK/expected-en.bin"

# ---- 3. A service command connects and disconnects --------------------------------------
start_sim --console
start_kq ST
menu
press Down Down Down Down Down Down  # Test Remote: six items below the first
press Enter
check "service command connects" wait_for "Connecting to CORVINA..." 5
check "the monitor asks for the Remote" wait_for "Connect Remote to KQ-LINK port on CORVINA" 20
answer "Push [ENTER] on PC-Keyboard to continue" Enter 20
check "no Remote on KQ-LINK is reported" wait_for "No Remote connection to KQ-LINK?" 10
check "and disconnects" wait_for "Disconnecting..." 20
check "no not-found message" bash -c "! tmux -L $SOCKET capture-pane -p -t kq | grep -q 'not found'"
check "the log holds the Remote Test header" grep -q -- '-----Remote Test-----' "$WORK/run/TEMP/log.txt"
continue_to_help >/dev/null

# ---- 4. Set MAC Address: a key typed before the dialog opens does not press OK ----------
menu
press Down Down Down                 # Set MAC Address
press Enter
wait_for "Connecting to CORVINA..." 5 >/dev/null
press Enter                          # typed ahead during the search
check "the MAC dialog opens" wait_for "Current:" 15
# The dialog polls the console five times a second: two of its polls, and the Enter
# typed ahead would have pressed OK by then.
check "the console's address is polled" polled_mac 3 10
check "the Enter typed ahead did not press OK" shows "Current:"
check "and no address was set" bash -c "! grep -q 'macset' '$WORK/kqsim.log'"
press Escape
check "[ESC] leaves the dialog" answer "Push [ENTER] on PC-Keyboard to continue" Enter 10
check "the help text is back" wait_for "Process:" 10
check "Exit ends with code 0" exit_program
stop_sim

# ---- 5. The service record as --history shows it -------------------------------------------
HISTORY=$(LC_ALL=C.UTF-8 "$BIN" --history | sed 's/  */ /g')
history_has() { grep -qE -- "$1" <<<"$HISTORY"; }
check "--history: the user-mode update" history_has 'Update Console user mode updated [0-9.]+ CORVINA Updated'
check "--history: the boot-mode update" history_has 'Update Console boot mode updated [0-9.]+ CORVINA Updated'
check "--history: the test that found no Remote" history_has 'Test Remote not found [0-9.]+ No Remote connection'
check "--history: the MAC job, newest last" bash -c "sed -n '5p' <<<'$HISTORY' | grep -q 'Set MAC Address user mode declined'"
check "--history: where the record is" history_has "Service record: $WORK/state/kqsfupdt/service-record.csv"

# ---- 6. The field run of 1 served again from its log ----------------------------------------
start_sim --replay="$WORK/field.log"
start_kq
update_console >/dev/null          # the same four languages as the field run
check "replay: the update reports success as the field run did" wait_for "CORVINA Updated" 120
check "replay: kqsim followed the trace to its end" grep -q 'the trace was followed to its end' "$WORK/kqsim.log"
continue_to_help >/dev/null
check "replay: Exit ends with code 0" exit_program
kill -TERM "$SIM_PID"; wait "$SIM_PID"; RC=$?; SIM_PID=""
check "replay: kqsim ends with 0 (got $RC)" test "$RC" = 0

term_end
