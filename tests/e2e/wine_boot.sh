#!/bin/bash
# wine_boot.sh - "Update Console" under Wine with no running console, the processor in
# boot mode (kqsim --boot): the BOOT jumper asked for, the boot fallback, the whole
# flash read back, "Flash verified" on the window between the walk and the verdict,
# and the processor's flash afterwards equal to the buffer byte for byte. The final
# screen is kept in e2e/wine_update_boot.png beside the program. wine_update.sh runs it
# beside its own steps.
#   tests/e2e/wine_boot.sh build/windows/Kqsfupdt.exe build/linux/kqsim
# Prints one line per check and ends with "N passed, M failed".
# shellcheck source=wine_common.sh
. "$(dirname "$(readlink -f "$0")")/wine_common.sh"
wine_begin "EXE:Kqsfupdt.exe KQSIM:kqsim" "$@"
# The boot program answers each read of the flash back within 200 ms.
# shellcheck source=kqlink_priority.sh
source "$HERE/kqlink_priority.sh"
APP_PRIORITY=1
python3 "$REPO/tests/e2e/expected_flash.py" "$REPO/data" "$WORK/expected.bin"

start_boot_sim() {  # start_sim waits for a console's pipes; here there is only the boot device
    rm -rf "$DEVICES" "$WORK/flash" && mkdir -p "$WORK/flash"
    "$KQSIM" --dir="$DEVICES" --timing=fast --save-flash="$WORK/flash/" --boot >"$WORK/kqsim.log" 2>&1 &
    SIM_PID=$! && EXTRA_PIDS+=("$SIM_PID")
    wait_for 10 eval '[ -p "$DEVICES/usb#vid_045b&pid_0025#0001/PIPE01" ]'
    bash "$REPO/tools/wine_register_devices.sh" "$WINEPREFIX" "$DEVICES" >"$WORK/register.log" 2>&1
}
# The last five rows with text, by the cells their ink spans: "Programming Flash...",
# "Flash verified", "CORVINA Updated", the jumper instructions' two lines.
tail_rows() { shoot "$WORK/boot.png" && [ "$(screen_ink "$WORK/boot.png" | tail -n 5 | awk '{ print $2 "-" $3 }' | paste -sd ' ')" = "$1" ]; }
start_boot_sim
run_program boot
wait_for 20 help_shown
update_console
check "no running console, the BOOT jumper is asked for" \
    answer 59 Return 40   # "Switch off, put BOOT-Jumper, switch on, [ENTER] continue..."
check "the boot program reads the whole flash back" wait_for 120 sim_has 'boot52 +#517 .*ack'
check "\"Flash verified\" stands between the walk and the verdict" wait_for 30 tail_rows "0-19 0-13 0-14 0-65 1-22"
shoot "$OUT/wine_update_boot.png"
check "the log holds the reads" log_has "Memory read (0x52), direccion: 0x0007ffe0"
check "[ENTER] after the instructions, then the continue prompt" \
    eval 'press Return after $(($(now_ms) + PRESS_GAP_MS)) && answer "$PUSH_ENTER_LENGTH" Return 10'
check "the help text is back" wait_for 10 help_shown
close_app
check "exit code 0 (got $APP_CODE)" test "$APP_CODE" = 0
stop_sim
check "the processor's flash equals the buffer byte for byte" \
    cmp -s "$WORK/flash/usb#vid_045b&pid_0025#0001.bin" "$WORK/expected.bin"

summary
