#!/bin/bash
# wine_smoke.sh - start-up and shut-down of the Windows build under Wine, headless.
#
#   tests/e2e/wine_smoke.sh build/windows/Kqsfupdt.exe
#
# Starts its own Xvfb on a free display and its own Wine prefix, runs the program
# from scratch working directories and looks at it as an operator would: the window
# and its title, the size of the client area, the help text on the screen, the
# resources, a clean exit, and the fatal "File corrupt" box of a damaged copy.
# Prints one line per check and ends with "N passed, M failed"; exits non-zero when a
# check failed. Screenshots are kept in e2e/ next to the program.
# shellcheck source=wine_common.sh
. "$(dirname "$(readlink -f "$0")")/wine_common.sh"
wine_begin "EXE:Kqsfupdt.exe" "$@"

TITLE=" CORVINA Updater    Soft 1.70  Vimclm 03.68  Remote 1.3"
TITLE_ST=" ---ST--- CORVINA Updater    Soft 1.70  Vimclm 03.68  Remote 1.3"

# ---- The pipes' test program -------------------------------------------------------------
PIPES=$(wine_probe_path wine_pipes) || { fail "the pipes' test program is built"; summary; exit 1; }
# relay PREFIX COMMAND...: passes on the PASS/FAIL lines of a checking program; a
# program that fails without saying which check failed (a crash) counts as a failure.
relay() {
    local prefix=$1 line code before=$FAILED
    shift
    "$@" >"$WORK/relay.txt" 2>"$WORK/relay.err"
    code=$?
    while read -r line; do
        line=${line%$'\r'}
        case "$line" in
        PASS\ *) pass "$prefix${line#PASS }" ;;
        FAIL\ *) fail "$prefix${line#FAIL }" ;;
        esac
    done <"$WORK/relay.txt"
    if [ "$code" -ne 0 ] && [ "$FAILED" -eq "$before" ]; then
        fail "${prefix}checking program ran to its end (exit code $code)"
        sed 's/^/  /' "$WORK/relay.err" | head -n 20
    fi
}
# ---- Resources -----------------------------------------------------------------------------
mkdir -p "$WORK/resources"
probe resources "$(winpath "$EXE")" | awk -v dir="$WORK/resources" \
    '/^== / { file = dir "/" $2 ".txt"; next } file { print > file }'
relay "" python3 "$HERE/wine_resources.py" "$REPO" "$WORK/resources"

# ---- Pipes and the receive thread's stop, on FIFOs --------------------------------------
# The device side: "in" sends a line and then stays silent but open; "out" is drained.
mkdir -p "$WORK/fifos"
mkfifo "$WORK/fifos/in" "$WORK/fifos/out"
(sleep 0.3; printf 'hello\n'; exec sleep 60) >"$WORK/fifos/in" &
FEEDER_PID=$!
cat "$WORK/fifos/out" >"$WORK/fifos/out.bin" &
DRAIN_PID=$!
relay "pipes: " timeout 30 wine "$PIPES" "$(winpath "$WORK/fifos")"
kill "$FEEDER_PID" 2>/dev/null
wait_for 5 eval '! kill -0 $DRAIN_PID 2>/dev/null' || kill "$DRAIN_PID" 2>/dev/null
check "pipes: the device received 80 02 7e" \
    test "$(od -An -tx1 "$WORK/fifos/out.bin" | tr -d ' \n')" = "80027e"

# ---- Running the program -------------------------------------------------------------------
# 1. User mode: window, title, client area, screen, close box.
mkdir -p "$WORK/user/TEMP"
echo "left over from an earlier run" >"$WORK/user/TEMP/log.txt"
run_program user
check "the program starts and shows its window" test -n "$WIN"
if [ -n "$WIN" ]; then
    check "title is \"$TITLE\"" title_is "$WIN" "$TITLE"
    SIZE=$(probe client)
    read -r CW CH <<<"${SIZE:-0 0}"
    check "client area is the 640 x 396 text screen (got ${CW}x${CH})" \
        test "$CW" -eq 640 -a "$CH" -eq 396
    check "font file TEMP/kqmon.fnt written" test -s "$RUN/TEMP/kqmon.fnt"
    # Without a window manager the X window holds the menu bar and the client area;
    # the client area is its bottom-left part. The first paints may still be on their
    # way, so the picture is taken again until it shows the help text or time is up.
    SHOT="$OUT/wine_smoke_screen.png"
    wait_for 10 eval 'shoot "$SHOT" && screen_rows_match "$SHOT" >/dev/null'
    if [ -s "$SHOT" ]; then
        check "screen shows the help text in rows 0 to 23" screen_rows_match "$SHOT"
    else
        fail "screenshot of the window"
    fi
    probe close >/dev/null
    finish_app 30
    check "close box: exit code 0 (got $APP_CODE)" test "$APP_CODE" = 0
    check "after close: TEMP/kqmon.fnt, TEMP/log.txt and TEMP are gone" test ! -e "$RUN/TEMP"
else
    finish_app 1
fi

# 2. Service mode: title, and "Exit" from the File menu.
run_program service ST
check "ST: the program starts" test -n "$WIN"
if [ -n "$WIN" ]; then
    check "ST: title is \"$TITLE_ST\"" title_is "$WIN" "$TITLE_ST"
    probe command 111 >/dev/null
    finish_app 30
    check "ST: File/Exit ends with exit code 0 (got $APP_CODE)" test "$APP_CODE" = 0
    check "ST: after exit TEMP is gone" test ! -e "$RUN/TEMP"
else
    finish_app 1
fi

# 3. A copy whose embedded console image has one byte changed.
# corrupt_copy DEST: writes the damaged copy; false when the image is not found.
corrupt_copy() {
    python3 - "$EXE" "$REPO/data/console.bin" "$1" <<'PY'
import sys
exe = bytearray(open(sys.argv[1], "rb").read())
image = open(sys.argv[2], "rb").read()
at = exe.find(image[:64])
if at < 0 or exe.find(image[:64], at + 1) >= 0:
    sys.exit(1)
exe[at + 0x1234] ^= 0x01
open(sys.argv[3], "wb").write(exe)
PY
}
# corrupt_run LANGUAGE TEXT: the box "Error" says TEXT; [ENTER] ends with code 1.
corrupt_run() {
    local locale=$1 text=$2 run="$WORK/corrupt-$1" box=""
    mkdir -p "$run"
    APP_LOCALE=$locale start_app "$run" "$WORK/corrupt/Kqsfupdt.exe"
    wait_for 40 eval 'box=$(window_named "^Error$"); [ -n "$box" ]'
    check "$locale: damaged image shows the box \"Error\"" test -n "$box"
    if [ -n "$box" ]; then
        check "$locale: the box says \"$text\"" test "$(probe text Error)" = "$text"
        [ "$locale" = en_US.UTF-8 ] && import -window root "$OUT/wine_smoke_corrupt.png" 2>/dev/null
        xdotool windowfocus --sync "$box" 2>/dev/null
        xdotool key --clearmodifiers Return 2>/dev/null
        wait_for 5 eval '! kill -0 $APP_PID 2>/dev/null' || xdotool key --window "$box" Return
    fi
    finish_app 30
    check "$locale: exit code 1 after the box (got $APP_CODE)" test "$APP_CODE" = 1
    # The fatal path cleans nothing up: the font file stays.
    check "$locale: the font file stays after the fatal error" test -s "$run/TEMP/kqmon.fnt"
}
mkdir -p "$WORK/corrupt"
if corrupt_copy "$WORK/corrupt/Kqsfupdt.exe"; then
    pass "console image found once in the program and one byte changed"
    corrupt_run en_US.UTF-8 "File corrupt"
    corrupt_run es_ES.UTF-8 "Fichero corrupto"
else
    fail "console image found once in the program and one byte changed"
fi

summary
