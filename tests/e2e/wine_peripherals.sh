#!/bin/bash
# wine_peripherals.sh - the Windows build under Wine against kqsim's console with a
# Remote on its KQ-LINK port, in service mode ("ST"):
#   1. "Update Remote" (command 105) answered [ENTER] twice: the user-mode update; the
#      Remote's flash afterwards holds the image, with its calibration block as before;
#   2. "Test Remote" (command 107): the monitor runs, the Remote receives the display
#      texts, and a picture of the running monitor is kept in
#      e2e/wine_test_remote.png beside the program.
# The program's screen is not readable from outside, so the steps are followed in
# kqsim's request lines (what the Remote and the console received) and the log.
#
#   tests/e2e/wine_peripherals.sh build/windows/Kqsfupdt.exe build/linux/kqsim
# Prints one line per check and ends with "N passed, M failed".
# shellcheck source=wine_common.sh
. "$(dirname "$(readlink -f "$0")")/wine_common.sh"
wine_begin "EXE:Kqsfupdt.exe KQSIM:kqsim" "$@"
# shellcheck source=kqlink_priority.sh
source "$(dirname "$(readlink -f "$0")")/kqlink_priority.sh"
APP_PRIORITY=1

CONSOLE="usb#vid_1d2b&pid_0001#0001"
QUESTION_LENGTH=35  # "Remote update? [ENTER] yes, [->] no"
sim_reached() { [ "$(sim_count "$1")" -ge "$2" ]; }  # PATTERN N: N lines of kqsim's log match
# [ENTER] at the command's last prompt, and the help text is back.
help_is_back() { answer "$PUSH_ENTER_LENGTH" Return 30 && wait_for 10 help_shown; }
# monitor_rows PNG: how many of the 36 text rows hold a short line (ink, all of it left
# of column 30), as the monitor's "idTX: 1  Fn: s1  St: 1" lines are; the help text's
# rows are longer.
monitor_rows() {
    convert "$1" -crop 640x396+0+1 +repage -colorspace Gray -threshold 50% -negate \
        -scale '80x36!' -depth 16 txt:- 2>/dev/null |
        awk '/^[0-9]+,[0-9]+:/ {
                 split($1, at, /[,:]/); split($2, v, /[(,)]/)
                 if (v[2] + 0 > 0 && at[1] + 0 > last[at[2]]) last[at[2]] = at[1] + 0
                 if (v[2] + 0 > 0) ink[at[2]] = 1
             }
             END { for (r in ink) if (last[r] >= 8 && last[r] < 30) n++; print n + 0 }'
}

# The Remote's flash as it leaves the factory: its calibration block must survive.
start_sim --console --remote
stop_sim
cp "$WORK/flash/$CONSOLE-remote.bin" "$WORK/before-remote.bin" 2>/dev/null
check "kqsim saves the Remote's flash" test -s "$WORK/before-remote.bin"

# ---- 1. Update Remote --------------------------------------------------------------------
start_sim --console --remote
run_program service ST
check "ST: the program starts" test -n "$WIN"
wait_for 20 help_shown
probe command 105 >/dev/null   # Update Remote
check "Update Remote connects to the simulated console" wait_for 30 log_has "-----Remote Update-----"
check "[ENTER] at the connect prompt: the Remote is sought" \
    eval 'answer "$PUSH_ENTER_LENGTH" Return 30 && wait_for 20 sim_reached "/remote +discover " 1'
check "[ENTER] at the question: the loader begins" \
    eval 'answer "$QUESTION_LENGTH" Return 30 && wait_for 20 sim_reached "/remote +begin " 1'
check "15 blocks are erased" wait_for 60 eval '[ "$(sim_count "/remote +erase .* ack$")" = 15 ]'
check "177 chunks are written and the loader finishes" \
    wait_for 120 eval 'sim_has "/remote +finish .* ack$" && [ "$(sim_count "/remote +write .* ack$")" = 177 ]'
check "the KQ-LINK exchange is ended" wait_for 20 sim_has " linkend "
check "the continue prompt follows the verdict" wait_for 30 prompt_shown "$PUSH_ENTER_LENGTH"
shoot "$OUT/wine_update_remote.png"
check "[ENTER] brings the help text back" help_is_back

# ---- 2. Test Remote ----------------------------------------------------------------------
probe command 107 >/dev/null   # Test Remote
check "Test Remote connects" wait_for 30 log_has "-----Remote Test-----"
check "[ENTER] at the connect prompt: the Remote is sought" \
    eval 'answer "$PUSH_ENTER_LENGTH" Return 30 && wait_for 20 sim_reached "/remote +discover " 2'
check "the monitor asks the Remote for its keys" wait_for 20 sim_has "/remote +function "
check "the display text for s1 goes to the Remote" \
    wait_for 20 sim_has '/remote +settext +#[0-9]+ +@42 "Fn: s1  St: 1" '
check "the display text for ENTER goes to the Remote" \
    wait_for 20 sim_has '/remote +settext +#[0-9]+ +@42 "Fn: ENTER  St: [01]" '
# The monitor's lines scroll the help text away.
ROWS=0
monitor_filled() {
    shoot "$OUT/wine_test_remote.png" && ROWS=$(monitor_rows "$OUT/wine_test_remote.png") && [ "${ROWS:-0}" -ge 30 ]
}
wait_for 30 monitor_filled
check "the running monitor fills the screen with its lines ($ROWS of 36 rows)" test "${ROWS:-0}" -ge 30
check "[ENTER] ends the monitor" eval 'press Return && wait_for 20 sim_reached " linkend " 2'
check "[ENTER] brings the help text back" help_is_back
probe close >/dev/null
finish_app 30
check "the program ends with exit code 0 (got $APP_CODE)" test "$APP_CODE" = 0
stop_sim
python3 "$REPO/tests/e2e/peripheral_flash.py" "$REPO/data/remote.bin" 0x10000 "$WORK/expected.bin" "$WORK/before-remote.bin"
check "the Remote's flash holds the image, block 1 as before" \
    cmp -s "$WORK/flash/$CONSOLE-remote.bin" "$WORK/expected.bin"
# kqsim's request lines of the run, kept beside the pictures for a look at a failure.
cp "$WORK/kqsim.log" "$OUT/wine_peripherals_kqsim.log" 2>/dev/null

summary
