#!/usr/bin/env bash
# linux_peripherals.sh - the KQ-LINK commands as a technician runs them in the terminal
# (service mode, "ST"), against kqsim's console with a Remote, a Receiver or a Tempa BOX
# on its KQ-LINK port: the File menu, the prompts and the keys; then each unit's flash
# as kqsim saved it is compared with what the update must leave there.
#   1. a Remote running its firmware: Update Remote answered [->] (nothing written),
#      then [ENTER] (user-mode update, calibration block kept), then Test Remote;
#   2. a Receiver: Update Receiver in user mode, then Test Receiver with Remote 11;
#   3. a Tempa BOX running its firmware: Test Tempa BOX and its running time code;
#   4. a Tempa BOX in boot mode: Update Tempa BOX through its boot record;
#   5. a Remote in boot mode: the technical-service update (not run by default: the
#      scenario tests follow it screen by screen and byte by byte in virtual time, and
#      here it would lengthen the part of the suite that runs alone; KQ_SCENARIOS=5 runs it);
#   6. a Remote whose loader never acknowledges the fifth write: the update fails.
#
# Usage: linux_peripherals.sh build/linux/kqsfupdt build/linux/kqsim
# Prints one line per check and ends with "N passed, M failed".
source "$(dirname "$(readlink -f "$0")")/term_common.sh"
term_begin "BIN:kqsfupdt SIM:kqsim" "$@"
# shellcheck source=kqlink_priority.sh
source "$(dirname "$(readlink -f "$0")")/kqlink_priority.sh"

# Every screen looked at is also appended to a transcript, so that a line which has
# scrolled away since (the erase messages under the programming ones) can still be
# asked about with "seen".
screen() { tm capture-pane -p -t kq 2>/dev/null | tee -a "$WORK/transcript"; }
shows() { screen | grep -qF -- "$1"; }
shows_re() { screen | grep -qE -- "$1"; }
seen() { grep -qF -- "$1" "$WORK/transcript"; }
not_seen() { ! grep -qF -- "$1" "$WORK/transcript"; }
poll() {  # SECONDS WHAT COMMAND...
    local deadline=$((SECONDS + $1)) what=$2
    shift 2
    while [ $SECONDS -lt $deadline ]; do "$@" && return 0; sleep 0.2; done
    echo "   (waited for $what; the screen was:)"; tm capture-pane -p -t kq | sed 's/^/   | /'
    return 1
}
wait_for() { poll "$2" "\"$1\"" shows "$1"; }          # TEXT SECONDS
wait_for_re() { poll "$2" "/$1/" shows_re "$1"; }      # REGEX SECONDS
not_shows() { ! shows "$1"; }
# menu N: the File menu's item N, counted from 0 over the items (separators skipped).
# Service menu: 4 Update Remote, 5 Update Receiver, 6 Test Remote, 7 Test Receiver,
# 8 Update Tempa BOX, 9 Test Tempa BOX.
menu() {
    press F10
    wait_for "Update Vinculum by cable" 5 >/dev/null  # the menu is open
    for ((i = 0; i < $1; i++)); do press Down; done
    press Enter
}
# The prompt that ends a connect message, a monitor or a command.
PUSH_ENTER="Push [ENTER] on PC-Keyboard to continue"
# [ENTER] ends a running monitor: it looks at the key once per cycle, and a press that
# no look has seen yet stays down until one does.
end_monitor() {
    press Enter
    wait_for "Disconnecting..." 10
}
# [ENTER] at the command's last prompt: the help text alone, the program idle again.
idle() {
    answer "$PUSH_ENTER" Enter 20 && poll 10 "the help text alone" not_shows "Disconnecting..."
}

sim_has() { grep -qE -- "$1" "$WORK/kqsim.log"; }
sim_count() { grep -cE -- "$1" "$WORK/kqsim.log"; }
start_program() { rm -f "$WORK/transcript"; start_kq ST; }
exit_program() {
    press F10 x
    exited_with 0 15
}
log_has() { grep -qF -- "$1" "$WORK/run/TEMP/log.txt" 2>/dev/null; }
# expect_flash UNIT IMAGE SIZE [BEFORE]: the unit's saved flash is the image padded
# with 0xFF to SIZE, with block 1 as BEFORE had it when given.
expect_flash() {
    python3 "$ROOT/tests/e2e/peripheral_flash.py" "$ROOT/data/$2" "$3" "$WORK/expected.bin" ${4:+"$4"} &&
        cmp -s "$WORK/flash/$CONSOLE-$1.bin" "$WORK/expected.bin"
}
finish() {  # after the last command: Exit, then kqsim saves the flash
    check "Exit ends with code 0" exit_program
    stop_sim
    tm kill-server 2>/dev/null
}

# ---- 0. The units' flash before any update -----------------------------------------------
scenario0() {
    # The running units leave the factory with a calibration block of their own at
    # 0x1000-0x1FFF; kqsim saves it as it is when nothing has been written.
    start_sim --console --remote --receiver
    stop_sim
    cp "$WORK/flash/$CONSOLE-remote.bin" "$WORK/before-remote.bin" 2>/dev/null
    cp "$WORK/flash/$CONSOLE-receiver.bin" "$WORK/before-receiver.bin" 2>/dev/null
    check "kqsim saves the Remote's and the Receiver's flash" test -s "$WORK/before-remote.bin" -a -s "$WORK/before-receiver.bin"
    check "the calibration block differs from the image's block 1" \
        bash -c "! cmp -s <(dd if='$WORK/before-remote.bin' bs=4096 skip=1 count=1 2>/dev/null) \
                          <(dd if='$ROOT/data/remote.bin' bs=4096 skip=1 count=1 2>/dev/null)"
}

# ---- 1. Remote running its firmware: [->], update, test ------------------------------------
scenario1() {
    start_sim --console --remote
    start_program
    menu 4                                        # Update Remote
    check "Remote: the connect prompt" wait_for "Connect Remote to KQ-LINK port on CORVINA, switch on Remote," 20
    answer "$PUSH_ENTER" Enter
    check "Remote: the user-mode question" answer "Remote update? [ENTER] yes, [->] no" Right
    check "Remote: [->] disconnects" wait_for "Disconnecting..." 10
    check "Remote: [->] sends no loader packet" bash -c "! grep -qE '/remote +(begin|erase|write)' '$WORK/kqsim.log'"
    idle
    menu 4
    wait_for "Connect Remote to KQ-LINK port on CORVINA" 20 >/dev/null
    answer "$PUSH_ENTER" Enter
    answer "Remote update? [ENTER] yes, [->] no" Enter
    check "Remote: the update ends with ...OK..." wait_for "...OK..." 120
    check "Remote: the blocks were announced, 0 first and 15 last" \
        eval 'seen "Erasing Block 0..." && seen "Erasing Block 15..."'
    check "Remote: block 1 is neither announced nor erased" \
        eval 'not_seen "Erasing Block 1..." && ! sim_has "/remote +erase +#[0-9]+ +block 1 "'
    check "Remote: 15 blocks erased, 177 chunks written" \
        eval '[ "$(sim_count "/remote +erase ")" = 15 ] && [ "$(sim_count "/remote +write .* ack$")" = 177 ]'
    check "Remote: the log holds the Remote Update header" log_has "-----Remote Update-----"
    idle
    menu 6                                        # Test Remote
    wait_for "Connect Remote to KQ-LINK port on CORVINA" 20 >/dev/null
    answer "$PUSH_ENTER" Enter
    check "Test Remote: operates on the Remote" wait_for "Operate on Remote" 10
    check "Test Remote: a monitor line for s1 pressed" wait_for "idTX: 1  Fn: s1  St: 1" 10
    check "Test Remote: the line changes with the keys (ENTER pressed)" wait_for "idTX: 1  Fn: ENTER  St: 1" 10
    check "Test Remote: and released" wait_for "idTX: 1  Fn: ENTER  St: 0" 10
    # kqsim shows each display text with the position where it starts.
    check "Test Remote: the display text goes to the Remote" \
        poll 10 "the display text" sim_has '/remote +settext +#[0-9]+ +@42 "Fn: s1  St: 1" '
    check "Test Remote: s37 with its second function (0x01) goes as it is" \
        poll 10 "the display text of s37" sim_has '/remote +settext +#[0-9]+ +@42 "Fn: s37\\x01  St: 1" '
    check "Test Remote: [ENTER] ends the monitor" end_monitor
    check "Test Remote: the log holds the Remote Test header" log_has "-----Remote Test-----"
    idle
    finish
    check "Remote: the flash holds the image, block 1 as before" \
        expect_flash remote remote.bin 0x10000 "$WORK/before-remote.bin"
}

# ---- 2. Receiver: update, test ---------------------------------------------------------------
scenario2() {
    start_sim --console --receiver
    start_program
    menu 5                                        # Update Receiver
    check "Receiver: the connect prompt" wait_for "Connect Receiver to KQ-LINK port on CORVINA" 20
    answer "$PUSH_ENTER" Enter
    check "Receiver: the user-mode question" answer "Receiver update? [ENTER] yes, [->] no" Enter
    check "Receiver: the update ends with ...OK..." wait_for "...OK..." 120
    check "Receiver: 15 blocks erased, 68 chunks written" \
        eval '[ "$(sim_count "/receiver +erase ")" = 15 ] && [ "$(sim_count "/receiver +write .* ack$")" = 68 ]'
    check "Receiver: the log holds the Receiver Update header" log_has "-----Receiver Update-----"
    idle
    menu 7                                        # Test Receiver
    wait_for "Connect Receiver to KQ-LINK port on CORVINA" 20 >/dev/null
    answer "$PUSH_ENTER" Enter
    check "Test Receiver: asks for the Remote number" wait_for "press [1]-[9] or [A]-[C] (RemoteID number 1-12)" 10
    answer " keyboard to continue" b                # the prompt's second line
    check "Test Receiver: the Receiver is told Remote 11" poll 10 "setremote" sim_has "/receiver +setremote +#1 +Remote 11 "
    check "Test Receiver: monitor lines for Remote 11" wait_for "idRX: 2  idTX: 11  signalLevel: " 10
    check "Test Receiver: the signal level is shown" wait_for_re "idRX: 2  idTX: 11  signalLevel: [6-9a-f][0-9a-f]  Fn: " 10
    check "Test Receiver: the display text goes to the Receiver" \
        poll 10 "the display text" sim_has '/receiver +settext +#[0-9]+ +@42 "Fn: ENTER  St: [01]" '
    check "Test Receiver: [ENTER] ends the monitor" end_monitor
    check "Test Receiver: the log holds the Receiver Test header" log_has "-----Receiver Test-----"
    idle
    finish
    check "Receiver: the flash holds the image, block 1 as before" \
        expect_flash receiver receiver.bin 0x10000 "$WORK/before-receiver.bin"
}

# ---- 3. Tempa BOX running its firmware: test --------------------------------------------------
scenario3() {
    start_sim --console --tempabox
    start_program
    menu 9                                        # Test Tempa BOX
    check "Test Tempa BOX: the connect prompt" wait_for "Connect Tempa BOX to KQ-LINK port on CORVINA" 20
    answer "$PUSH_ENTER" Enter
    check "Test Tempa BOX: operates on the Tempa BOX" wait_for "Operate on Tempa BOX" 10
    SMPTE='Id=3   Smpte >> 10:[0-5][0-9]:[0-5][0-9]:[0-2][0-9]   EXT1=1 EXT2=  EXT3=1   GR=10 MD=01 AG=3c  PWR=7e'
    check "Test Tempa BOX: status lines" wait_for_re "$SMPTE" 10
    last_smpte() { tm capture-pane -p -t kq | grep -E -- "$SMPTE" | tail -n 1; }
    FIRST=$(last_smpte)
    check "Test Tempa BOX: the time code runs" poll 10 "a later time code" eval '[ "$(last_smpte)" != "$FIRST" ]'
    check "Test Tempa BOX: [ENTER] ends the monitor" end_monitor
    check "Test Tempa BOX: the log holds the Tempa BOX Test header" log_has "-----Tempa BOX Test-----"
    idle
    finish
}

# ---- 4. Tempa BOX in boot mode: update --------------------------------------------------------
scenario4() {
    start_sim --console --tempabox=boot
    start_program
    menu 8                                        # Update Tempa BOX
    check "Update Tempa BOX: the jumper prompt" wait_for "Disconnect Tempa BOX of KQ-LINK, put jumper," 20
    answer "$PUSH_ENTER" Enter
    check "Update Tempa BOX: the boot record is sent" wait_for "Sending boot record..." 30
    check "Update Tempa BOX: reports success" wait_for "Tempa BOX Updated" 120
    check "Update Tempa BOX: no error" not_seen "...ERROR"
    check "Update Tempa BOX: the log holds the Tempa BOX Update header" log_has "-----Tempa BOX Update-----"
    idle
    finish
    check "Update Tempa BOX: the flash holds the image, erased beyond it" expect_flash tempabox tempa.bin 0x1000
}

# ---- 5. Remote in boot mode: technical-service update -----------------------------------------
scenario5() {
    start_sim --console --remote=boot
    start_program
    menu 4
    wait_for "Connect Remote to KQ-LINK port on CORVINA" 20 >/dev/null
    answer "$PUSH_ENTER" Enter
    check "Remote boot: no Remote answers" wait_for "No Remote connection to KQ-LINK?" 10
    check "Remote boot: the technical-service question" answer "Remote TECHNICAL SERVICE update? [ENTER] yes, [->] no" Enter
    check "Remote boot: the jumper prompt" wait_for "Switch off Remote, put jumper(s), connect to KQ-LINK, switch on..." 10
    answer "$PUSH_ENTER" Enter
    check "Remote boot: the bit rate is adjusted" wait_for "Bit-Rate-Adjustment State..." 10
    check "Remote boot: reports success" wait_for "Remote Updated" 300
    check "Remote boot: the jumper instructions follow" wait_for "remove jumper(s)," 5
    idle
    finish
    check "Remote boot: the flash holds the whole image, erased beyond it" expect_flash remote remote.bin 0x10000
}

# ---- 6. A write the Remote never acknowledges -------------------------------------------------
scenario6() {
    start_sim --console --remote --fault=drop:write#5
    start_program
    menu 4
    wait_for "Connect Remote to KQ-LINK port on CORVINA" 20 >/dev/null
    answer "$PUSH_ENTER" Enter
    answer "Remote update? [ENTER] yes, [->] no" Enter
    check "Remote fault: the update ends with ...ERROR..." wait_for "...ERROR..." 60
    check "Remote fault: never ...OK..." not_seen "...OK..."
    check "Remote fault: nothing is written after the dropped write" \
        eval '[ "$(sim_count "/remote +write ")" = 5 ] && ! sim_has "/remote +finish "'
    idle
    finish
}

# A unit answers within a window: the Tempa BOX echoes each byte of its boot record
# within 20 ms, the others answer 30 ms past their listen time. kqsim's last line says
# how late its own loop woke at most; a scenario that failed while kqsim woke later than
# the tightest window did not meet a unit that kept time, and is run once more (saying
# so). Only that second run counts; a program that fails on a unit keeping time fails.
UNIT_WINDOW_S=0.020
sim_lateness() { sed -n 's/.* kqsim woke at most \([0-9.]*\) s late.*/\1/p' "$WORK/kqsim.log" | tail -n 1; }
sim_was_late() { awk -v late="$(sim_lateness)" -v window="$UNIT_WINDOW_S" 'BEGIN { exit !(late + 0 > window + 0) }'; }

# KQ_SCENARIOS picks some of them (e.g. "0 1" or "5"); the default runs all but 5.
for n in ${KQ_SCENARIOS:-0 1 2 3 4 6}; do
    start=$SECONDS passed=$PASSED failed=$FAILED
    "scenario$n"
    if [ "$FAILED" -gt "$failed" ] && sim_was_late; then
        echo "   (scenario $n void: kqsim woke $(sim_lateness) s late, past the units' $UNIT_WINDOW_S s; run once more)"
        PASSED=$passed FAILED=$failed
        "scenario$n"
    fi
    echo "   (scenario $n: $((SECONDS - start)) s)"
done

term_end
