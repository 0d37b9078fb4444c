#!/usr/bin/env bash
# usb_update.sh - "Update Console" in the terminal against a console on an emulated USB
# bus: kqsfupdt runs with libumockdev-preload in the sandbox of kq_usb_console and
# reaches the console through libusb, as on a technician's laptop.
#   1. a running console with a kernel driver bound: user-mode update, all four
#      languages; the flash equals the buffer, the driver is given back at the end;
#   2. the console drops off the bus in the middle of programming: "...ERROR...";
#   3. a console whose endpoints are in the wrong order is passed over with a message.
#
# Usage: usb_update.sh build/linux/kqsfupdt build/linux/tests/usb/kq_usb_console
# Prints one line per check and ends with "N passed, M failed".
source "$(dirname "$(readlink -f "$0")")/../e2e/term_common.sh"
term_begin "BIN:kqsfupdt EMU:kq_usb_console" "$@"
EMU_PID=""
SANDBOX=""
stop_console() {
    [ -n "$EMU_PID" ] && { kill -TERM "$EMU_PID" 2>/dev/null; wait "$EMU_PID" 2>/dev/null; }
    EMU_PID=""
    [ -n "$SANDBOX" ] && rm -rf "$SANDBOX"
    SANDBOX=""
}
trap 'stop_console; term_cleanup' EXIT

# Wrapped lines joined: the messages it looks for are longer than a row.
screen() { tm capture-pane -p -J -t kq 2>/dev/null; }

start_console() {  # kq_usb_console options...
    rm -f "$WORK/ready" "$WORK/summary" "$WORK/flash.bin"
    "$EMU" --ready="$WORK/ready" --save-flash="$WORK/flash.bin" --summary="$WORK/summary" "$@" \
        >"$WORK/console.log" 2>&1 &
    EMU_PID=$!
    for _ in $(seq 50); do [ -s "$WORK/ready" ] && break; sleep 0.1; done
    SANDBOX=$(head -n 1 "$WORK/ready" 2>/dev/null)
    [ -n "$SANDBOX" ]
}
start_program() {
    rm -rf "$WORK/run" && mkdir -p "$WORK/run"
    tm new-session -d -s kq -x 100 -y 42 -c "$WORK/run" \
        "env LANG=C.UTF-8 KQUSB_DEVICES=$WORK/no-devices XDG_CONFIG_HOME=$WORK/config XDG_STATE_HOME=$WORK/state \
         UMOCKDEV_DIR=$SANDBOX LD_PRELOAD=libumockdev-preload.so.0 \
         sh -c '\"$BIN\"; echo EXIT=\$? > exitcode'"
    wait_for "Process:" 10
}
exit_program() {
    wait_for "Process:" 10 || return 1
    menu
    press x
    exited_with 0 15
}
CONTINUE="Push [ENTER] on PC-Keyboard to continue"
summary_has() { grep -q "$1" "$WORK/summary"; }

# ---- 1. User mode through libusb, a kernel driver bound to the interface ----------
check "the emulated console is on the bus" start_console --kernel-driver
start_program
menu
press Enter                        # Update Console
wait_for "3: GERMAN" 10 >/dev/null
press Enter                        # OK: all four languages
check "user-mode update reports success" wait_for "CORVINA Updated" 120
check "the log file holds the pipe traffic" grep -q 'Mesa<- Nbytes:' "$WORK/run/TEMP/log.txt"
answer "$CONTINUE" Enter
check "Exit ends with code 0" exit_program
stop_console
check "504 chunks and 16 blocks, no device errors" summary_has "erase=16 program=504 errors=0"
check "the interface was claimed and released, the driver given back" \
    summary_has "claims=1 releases=1 detaches=1 attaches=1 driver=1"
python3 "$ROOT/tests/e2e/expected_flash.py" "$ROOT/data" "$WORK/expected-all.bin"
check "the console's flash equals the buffer byte for byte" cmp -s "$WORK/flash.bin" "$WORK/expected-all.bin"
tm kill-server 2>/dev/null

# ---- 2. Unplugged while programming -----------------------------------------------------
start_console --faults=unplug:program#100
start_program
menu
press Enter
wait_for "3: GERMAN" 10 >/dev/null
press Enter
check "an unplug mid-update ends with the error verdict" wait_for "...ERROR..." 60
check "and no success is claimed" bash -c "! tmux -L $SOCKET capture-pane -p -t kq | grep -q 'CORVINA Updated'"
answer "$CONTINUE" Enter
check "Exit ends with code 0 after the unplug" exit_program
stop_console
check "the console saw the unplug at the 100th chunk" summary_has "program=100 errors=0 unplugged=1"
tm kill-server 2>/dev/null

# ---- 3. Endpoints in the wrong order --------------------------------------------------------
start_console --endpoints=swapped
start_program
menu
press Enter
wait_for "3: GERMAN" 10 >/dev/null
press Enter
check "a console with unfit endpoints is passed over with a message" \
    wait_for "; passed over" 20
check "and the update looks for the boot mode instead" wait_for "BOOT-Jumper" 40
tm kill-server 2>/dev/null
stop_console

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
