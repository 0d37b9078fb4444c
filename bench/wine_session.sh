#!/bin/bash
# wine_session.sh - one "Update Console" of the Windows build under Wine against kqsim
# with its real timings, for bench_update.py. Leaves the program's log in OUTDIR/log.txt,
# kqsim's report in OUTDIR/kqsim.log and the paint times in OUTDIR/paint.txt.
#   bench/wine_session.sh user|boot path/to/Kqsfupdt.exe path/to/kqsim OUTDIR
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -u
MODE=$1
EXE=$(readlink -f "$2")
KQSIM=$(readlink -f "$3")
DEST=$(readlink -f "$4")
# shellcheck source=../tests/e2e/wine_common.sh
. "$(dirname "$(readlink -f "$0")")/../tests/e2e/wine_common.sh"

start_display
make_prefix
build_probe
DEVICES="$WORK/devices"
"$KQSIM" --dir="$DEVICES" "--$( [ "$MODE" = user ] && echo console || echo boot )" >"$DEST/kqsim.log" 2>&1 &
SIM_PID=$!
EXTRA_PIDS+=("$SIM_PID")
wait_for 10 eval '[ -n "$(ls -A "$DEVICES" 2>/dev/null)" ]'
bash "$REPO/tools/wine_register_devices.sh" "$WINEPREFIX" "$DEVICES" >/dev/null 2>&1
export KQ_PAINT_TIMES
KQ_PAINT_TIMES=$(winpath "$DEST/paint.txt")
run_program bench
[ -n "$WIN" ] || { echo "bench: the program did not start" >&2; exit 1; }
wait_for 20 eval 'shoot "$WORK/s.png" && screen_rows_match "$WORK/s.png" >/dev/null'
xdotool key --window "$WIN" alt+f 2>/dev/null; sleep 0.5
xdotool key --window "$WIN" Return 2>/dev/null
wait_for 20 eval 'DIALOG=$(window_named "Select Languages to Install"); [ -n "$DIALOG" ]'
xdotool key --window "$DIALOG" Return 2>/dev/null
sim_has() { grep -qE -- "$1" "$DEST/kqsim.log"; }
if [ "$MODE" = user ]; then
    wait_for 300 sim_has ' end +#1 .*ack'
else
    # [ENTER] at the BOOT jumper prompt, pressed until the boot program hears from us.
    wait_for 60 eval 'xdotool key --window "$WIN" Return 2>/dev/null; sim_has "boot[0-9a-f]{2} "'
    wait_for 300 sim_has 'bootend'
fi
sleep 1  # the answer's log line
cp "$RUN/TEMP/log.txt" "$DEST/log.txt"
probe close >/dev/null
finish_app 30
kill -TERM "$SIM_PID"
wait "$SIM_PID" 2>/dev/null
