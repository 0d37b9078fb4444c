#!/bin/bash
# wine_update.sh - the Windows build against kqsim under Wine, as a technician uses it:
# the simulated devices are registered in the prefix as the kqusb driver publishes
# them, so the program's own SetupDi discovery and CreateFile open the simulator's
# pipes.
#   1. "Update Console" through the File menu, the language dialog and [ENTER]: the
#      console's flash afterwards equals the buffer, and the log holds the traffic;
#   2. service mode, "Test Remote": the command connects (its screen, with the
#      disconnect, is kept in e2e/wine_update_service.png), while another program
#      holds service-record.csv without write sharing, as a spreadsheet does: the
#      job's line waits in a pending file;
#   3. what stays in the PC's ProgramData\Kqsfupdt: a record of each job, and the
#      update's trace, its log entries as stored (CRLF);
#   4. the update of 1 served again by kqsim --replay from the log it left (CRLF line
#      ends): the same verdict, the trace followed to its end; the line of 2 is now in
#      the record, before this job's;
#   5. the record's folder below the seam (wine_record.cpp): the protected descriptor
#      parsed back, the rules for access lists, owners and reparse points, a held
#      record on Wine's files.
#   6. "Update Console" with no running console, the processor in boot mode
#      (wine_boot.sh, run beside 1 to 5 in a display and prefix of its own: most of
#      both is waiting on the console's time-outs).
#
#   tests/e2e/wine_update.sh build/windows/Kqsfupdt.exe build/linux/kqsim
# Prints one line per check and ends with "N passed, M failed". The final screen of
# the update is kept in e2e/wine_update_final.png beside the program.
# shellcheck source=wine_common.sh
. "$(dirname "$(readlink -f "$0")")/wine_common.sh"
wine_begin "EXE:Kqsfupdt.exe KQSIM:kqsim" "$@"

beside boot "$HERE/wine_boot.sh" "$EXE" "$KQSIM"
sim_log_has() { grep -qE -- "$1" "$WORK/kqsim.log"; }

# ---- 1. Update Console --------------------------------------------------------------
start_sim --console
run_program update
check "the program starts" test -n "$WIN"
wait_for 20 help_shown
update_console
check "the File menu's Update Console opens the language dialog" test -n "$DIALOG"
check "the language dialog closes on OK" wait_for 10 eval '[ -z "$(window_named "Select Languages to Install")" ]'
check "SetupDi and CreateFile reach the simulated console" wait_for 30 sim_log_has 'program connected'
check "the console acknowledges the end of the update" wait_for 180 sim_log_has ' end +#1 .*ack'
check "504 chunks were programmed" sim_log_has 'program +#504 '
check "the log holds the user update header" log_has "-----User Update-----"
check "the log holds the start frame as sent" log_has " Mesa<- Nbytes:4 80 7f 00 01 "
check "the log holds the acknowledgement as received" log_has " ->PC Nbytes:4 80 7f 04 fd "
# The verdict and the continue prompt under it: the program waits for [ENTER].
check "the continue prompt follows the verdict" wait_for 30 prompt_shown "$PUSH_ENTER_LENGTH"
cp "$RUN/TEMP/log.txt" "$WORK/field.log"   # the trace a technician would keep
shoot "$OUT/wine_update_final.png"
check "the final screen is kept" test -s "$OUT/wine_update_final.png"
check "[ENTER] at the prompt brings the help text back" \
    eval 'press Return after $(($(now_ms) + PRESS_GAP_MS)) && wait_for 10 help_shown'
close_app
check "the program ends with exit code 0 (got $APP_CODE)" test "$APP_CODE" = 0
check "TEMP is removed" test ! -e "$RUN/TEMP"
stop_sim
python3 "$REPO/tests/e2e/expected_flash.py" "$REPO/data" "$WORK/expected.bin"
check "the console's flash equals the buffer byte for byte" \
    cmp -s "$WORK/flash/usb#vid_1d2b&pid_0001#0001.bin" "$WORK/expected.bin"

# ---- 2. A service command connects and disconnects ------------------------------------
# The record held for reading only by another program meanwhile (from after start_sim,
# whose registration waits for every program of the prefix to end).
STATE="$WINEPREFIX/drive_c/ProgramData/Kqsfupdt"
start_sim --console
wine "$PROBE" hold 'C:\ProgramData\Kqsfupdt\service-record.csv' 'C:\ProgramData\kq-release-hold' \
    >"$WORK/hold.txt" 2>/dev/null &
HOLD_PID=$!
EXTRA_PIDS+=("$HOLD_PID")
check "another program holds service-record.csv" wait_for 30 grep -q held "$WORK/hold.txt"
run_program service ST
check "ST: the program starts" test -n "$WIN"
wait_for 20 help_shown
probe command 107 >/dev/null   # Test Remote
# The frame writes the header only once the console's pipes are open.
check "ST: Test Remote connects to the simulated console" wait_for 30 log_has "-----Remote Test-----"
check "ST: the connect prompt waits for [ENTER]" wait_for 30 prompt_shown "$PUSH_ENTER_LENGTH"
shoot "$OUT/wine_update_service.png"
check "ST: [ENTER] at the connect prompt: no Remote, the console is let go" \
    eval 'answer "$PUSH_ENTER_LENGTH" Return 10 && wait_for 30 sim_log_has "program disconnected"'
check "ST: [ENTER] brings the help text back" eval 'answer "$PUSH_ENTER_LENGTH" Return 10 && wait_for 10 help_shown'
close_app
check "ST: exit code 0 (got $APP_CODE)" test "$APP_CODE" = 0
stop_sim
pending_has() { cat "$STATE"/service-record.pending-*.csv 2>/dev/null | grep -qE -- "$1"$'\r$'; }
check "held: the job's line waits in a pending file" pending_has ',Test Remote,,1d2b:0001,.*,not found,.*'
check "held: the record does not hold it yet" eval '! grep -q ",Test Remote," "$STATE/service-record.csv"'
touch "$WINEPREFIX/drive_c/ProgramData/kq-release-hold"
check "the other program lets go" wait_for 20 eval '! kill -0 $HOLD_PID 2>/dev/null'

# ---- 3. The service record --------------------------------------------------------------
record_has() { grep -qE -- "$1"$'\r$' "$STATE/service-record.csv"; }
record_head() { [ "$(head -n 1 "$STATE/service-record.csv")" = $'\xef\xbb\xbf'"time,version,$1"$'\r' ]; }
trace_has() { grep -qF -- "$1" "$TRACE"; }
trace_line() { grep -qxF -- "$1"$'\r' "$TRACE"; }
check "the record starts with the byte-order mark and the header" \
    record_head "command,path,usb_id,interface,peripheral,kqlink_address,written,mac_before,mac_set,result,verdict,seconds,trace"
check "the record holds the update" record_has \
    '^20[0-9-]+T[0-9:]+[+-][0-9:]+,1\.70,Update Console,user mode,1d2b:0001,.*,updated,CORVINA Updated,[0-9]+\.[0-9],[0-9]{8}-[0-9]{6}-update-console-updated\.log'
TRACE=$(ls "$STATE"/traces/*-update-console-updated.log 2>/dev/null | head -n 1)
check "the update's trace holds its header, CRLF" trace_line "-----User Update-----"
check "the update's trace holds the start frame as sent" trace_has " Mesa<- Nbytes:4 80 7f 00 01 "

# ---- 4. The field run of 1 served again from its log ----------------------------------------
check "the Windows build's log has CRLF line ends" grep -q $'\r$' "$WORK/field.log"
start_sim --replay="$WORK/field.log"
run_program replay
wait_for 20 help_shown
update_console                     # OK: the same four languages
check "replay: kqsim follows the CRLF trace to its end" wait_for 180 sim_has 'the trace was followed to its end'
check "replay: the continue prompt follows the verdict" wait_for 30 prompt_shown "$PUSH_ENTER_LENGTH"
check "replay: the program's traffic is the field run's" \
    eval 'diff <(sed "s/^Time:[0-9a-f]*//" "$WORK/field.log") <(sed "s/^Time:[0-9a-f]*//" "$RUN/TEMP/log.txt") >/dev/null'
close_app
kill -TERM "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; RC=$?
check "replay: kqsim ends with 0 (got $RC)" test "$RC" = 0
check "the record holds the test that found no Remote" record_has ',Test Remote,,1d2b:0001,.*,not found,No Remote connection to KQ-LINK\?,.*'
# The held job's line came in first, then the replayed update's.
check "its line came in before the next job's" eval \
    '[ "$(grep -nE ",(Test Remote|Update Console)," "$STATE/service-record.csv" | cut -d, -f3 | tr "\n" /)" = "Update Console/Test Remote/Update Console/" ]'
check "no pending file is left" eval '! ls "$STATE"/service-record.pending-*.csv >/dev/null 2>&1'

# ---- 5. The record's folder and files below the seam -------------------------------------
if RECORD_PROBE=$(wine_probe_path wine_record); then
    mkdir -p "$WORK/record"
    timeout 60 wine "$RECORD_PROBE" "$(winpath "$WORK/record")" 2>/dev/null | tr -d '\r' >"$WORK/record.txt"
    while read -r line; do
        case "$line" in
        PASS\ *) pass "below the seam: ${line#PASS }" ;;
        FAIL\ *) fail "below the seam: ${line#FAIL }" ;;
        esac
    done <"$WORK/record.txt"
    check "below the seam: the checks ran" grep -q "a record held for reading only" "$WORK/record.txt"
else
    fail "the record's test program is built"
fi

join_beside
summary
