#!/bin/bash
# wine_dpi.sh - the Windows build at 96, 144 and 192 DPI (LogPixels of the prefix), in
# service mode against kqsim's console. At each DPI:
#   1. the main window: its client area is the text screen at the whole-number scale of
#      that DPI (1, 2, 2), and its pixels are those of the 96-DPI picture with every
#      pixel made an N x N block;
#   2. "Set MAC Address" (command 104): the MacDialog, grown with the system font, its
#      "New:" field showing all six digits of the proposal as it opens (measured by
#      wine_mac_probe.c against the dialog font; a picture cut from the screen kept as
#      e2e/wine_mac_<DPI>.png); at 192 DPI the digits typed replace the selected
#      proposal and OK sends them to the console;
#   3. "Update Console" (command 101) with the console gone: the IdiomaDialog likewise
#      (OK starts the search for a console that is not there; the program is ended).
# At 96 DPI also: a DPI change sent to the window resizes it to the new scale and back,
# and the MAC dialog proposes the larger of kq.ini and the user's virtual-store copy.
# The pictures are kept in e2e/wine_dpi_<DPI>_{screen,mac,languages}.png beside the
# program.
#
#   tests/e2e/wine_dpi.sh build/windows/Kqsfupdt.exe build/linux/kqsim
# Prints one line per check and ends with "N passed, M failed".
# shellcheck source=wine_common.sh
. "$(dirname "$(readlink -f "$0")")/wine_common.sh"
# Room for the window at scale 2 (1280 x 792 and its frame).
XVFB_SIZE=1920x1080
wine_begin "EXE:Kqsfupdt.exe KQSIM:kqsim" "$@"

MAC_TITLE="MAC Address"
LANGUAGES_TITLE="Select Languages to Install"
MAC_PROBE=$(wine_probe_path wine_mac_probe) || { fail "the MAC probe is built"; summary; exit 1; }

set_dpi() {
    timeout 60 wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f \
        >/dev/null 2>&1
}
# same_as_scaled BASE PNG N: PNG is BASE with every pixel an N x N block.
same_as_scaled() {
    local differing
    convert "$1" -sample "$((100 * $3))%" "$WORK/scaled.png" || return 1
    differing=$(compare -metric AE "$WORK/scaled.png" "$2" null: 2>&1)
    [ "$differing" = 0 ] || { echo "  $differing pixels differ"; return 1; }
}
client_is() {  # W H
    [ "$(probe client)" = "$1 $2" ]
}
# grown_by "W H" "BW BH" FACTOR: W x H is BW x BH times FACTOR, within 15 %.
grown_by() {
    awk -v now="$1" -v base="$2" -v f="$3" 'BEGIN {
        split(now, a, " "); split(base, b, " ")
        if (b[1] <= 0 || b[2] <= 0) exit 1
        for (i = 1; i <= 2; i++) { r = a[i] / b[i] / f; if (r < 0.85 || r > 1.15) exit 1 }
    }'
}
help_is_back() {
    key Return
    shoot "$WORK/after.png" && screen_rows_match "$WORK/after.png" >/dev/null
}
# The simulated console again in the same device directory, whose interfaces the
# prefix knows already from the first start_sim.
restart_sim() {
    "$KQSIM" --dir="$DEVICES" --timing=fast --console >>"$WORK/kqsim.log" 2>&1 &
    SIM_PID=$!
    EXTRA_PIDS+=("$SIM_PID")
    wait_for 10 eval '[ -p "$DEVICES/usb#vid_1d2b&pid_0001#0001/PIPE01" ]'
}
# shoot_dialog PNG: the MAC dialog as the screen shows it, cut from the whole screen at
# the window's place (the text field's caret and selection are drawn there).
shoot_dialog() {
    local geometry
    geometry=$(xwininfo -id "$(window_named "^$MAC_TITLE\$")" 2>/dev/null | awk '
        /Absolute upper-left X/ {x = $NF} /Absolute upper-left Y/ {y = $NF}
        /Width:/ {w = $NF} /Height:/ {h = $NF} END {printf "%dx%d+%d+%d", w, h, x, y}')
    import -window root "$WORK/screen.png" 2>/dev/null &&
        convert "$WORK/screen.png" -crop "$geometry" +repage "$1"
}
# field_fits: the probe's measure of the New: field in MEASURED; true when six digits fit.
field_fits() {
    local code
    timeout 30 wine "$MAC_PROBE" field >"$WORK/field.txt" 2>/dev/null
    code=$?
    MEASURED=$(tr -d '\r' <"$WORK/field.txt")
    return "$code"
}
# mac_typed: an address typed over the selected proposal, and OK.
mac_typed() {
    local dialog
    dialog=$(window_named "^$MAC_TITLE\$")
    xdotool key --window "$dialog" 1 2 a b 5 f 2>/dev/null
    check "the digits typed replace the proposal" \
        wait_for 10 eval 'field_fits; [[ "$MEASURED" == *" text=12ab5f "* ]]'
    shoot_dialog "$OUT/wine_mac_192_typed.png"
    xdotool key --window "$dialog" Return 2>/dev/null
    check "OK sends the address typed" wait_for 10 sim_has 'macset.*00-1F-19-12-AB-5F'
}
# shoot_window TITLE PNG: a picture of the top-level window titled TITLE.
shoot_window() {
    local w
    w=$(window_named "^$1\$")
    [ -n "$w" ] && import -window "$w" "$2" 2>/dev/null
}

# ---- kq.ini: the Windows directory's, and an unelevated run's copy in the virtual store -----
PROFILE=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n 1)
mkdir -p "$PROFILE/AppData/Local/VirtualStore/windows"
printf '[Kqsfupdt]\r\nMac=000900\r\n' >"$WINEPREFIX/drive_c/windows/kq.ini"
printf '[Kqsfupdt]\r\nMac=000A00\r\n' >"$PROFILE/AppData/Local/VirtualStore/windows/kq.ini"

declare -A SIZES  # "DIALOG DPI" -> "W H" of its client area
# dpi_round DPI SCALE
dpi_round() {
    local dpi=$1 n=$2 shot="$OUT/wine_dpi_$1_screen.png"
    SCREEN_SCALE=$n
    set_dpi "$dpi"
    if [ "$dpi" = 96 ]; then start_sim --console; else restart_sim; fi
    run_program "dpi$dpi" ST
    if [ -z "$WIN" ]; then
        fail "$dpi DPI: the program starts"
        finish_app 1
        stop_sim
        return
    fi
    check "$dpi DPI: the client area is the text screen at scale $n" \
        client_is $((640 * n)) $((396 * n))
    check "$dpi DPI: the screen shows the help text" \
        wait_for 20 eval 'shoot "$shot" && screen_rows_match "$shot" >/dev/null'
    if [ "$dpi" = 96 ]; then
        cp "$shot" "$WORK/base.png"
        probe dpi 192 >/dev/null
        check "a DPI change to 192: the window grows to scale 2" client_is 1280 792
        check "a DPI change to 192: the screen is the 96-DPI one, each pixel 2 x 2" \
            wait_for 10 eval 'SCREEN_SCALE=2 shoot "$WORK/changed.png" &&
                same_as_scaled "$WORK/base.png" "$WORK/changed.png" 2 >/dev/null'
        probe dpi 96 >/dev/null
        check "and back to 96: scale 1 again" client_is 640 396
    elif [ -s "$WORK/base.png" ]; then
        check "$dpi DPI: the screen is the 96-DPI one, each pixel $n x $n" \
            same_as_scaled "$WORK/base.png" "$shot" "$n"
    fi

    # 2. The MAC dialog, once the console's address is on its "Current:" line.
    probe command 104 >/dev/null
    check "$dpi DPI: Set MAC Address shows the console's address" \
        wait_for 30 eval '[ "$(probe item "$MAC_TITLE" 202)" = 000001 ]'
    [ "$dpi" = 96 ] && check "the MAC dialog proposes the virtual store's 000A00 over kq.ini's 000900" \
        test "$(probe item "$MAC_TITLE" 204)" = 000A00
    SIZES["MAC $dpi"]=$(probe size "$MAC_TITLE")
    check "$dpi DPI: picture of the MAC dialog" shoot_window "$MAC_TITLE" "$OUT/wine_dpi_${dpi}_mac.png"
    MEASURED=""
    wait_for 10 field_fits
    check "$dpi DPI: six digits fit the New: field ($MEASURED)" field_fits
    shoot_dialog "$OUT/wine_mac_$dpi.png"
    check "$dpi DPI: the dialog's picture from the screen is kept" test -s "$OUT/wine_mac_$dpi.png"
    [ "$dpi" = 192 ] && mac_typed   # OK sends, and the dialog stays
    probe press "$MAC_TITLE" 2 >/dev/null   # Exit
    check "$dpi DPI: Exit closes the MAC dialog, [ENTER] brings the help text back" \
        wait_for 30 help_is_back

    # 3. The language dialog, with the console gone so that its OK starts no update.
    stop_sim
    probe command 101 >/dev/null
    check "$dpi DPI: Update Console opens the language dialog" \
        wait_for 20 eval '[ -n "$(window_named "^$LANGUAGES_TITLE\$")" ]'
    sleep 0.5
    SIZES["language $dpi"]=$(probe size "$LANGUAGES_TITLE")
    check "$dpi DPI: picture of the language dialog" \
        shoot_window "$LANGUAGES_TITLE" "$OUT/wine_dpi_${dpi}_languages.png"
    probe press "$LANGUAGES_TITLE" 1 >/dev/null   # OK
    check "$dpi DPI: OK closes the language dialog" \
        wait_for 10 eval '[ -z "$(window_named "^$LANGUAGES_TITLE\$")" ]'
    # The update now seeks the console for 9 s before it asks for the BOOT jumper; the
    # pictures are taken, so the program is ended here.
    kill "$APP_PID" 2>/dev/null
    finish_app 20
    check "$dpi DPI: the program ends (exit code $APP_CODE)" test "$APP_CODE" != timeout
}

dpi_round 96 1
dpi_round 144 2
dpi_round 192 2

# The dialogs grow with the system font as their dialog units do: 1.5 and 2 times the
# 96-DPI size, give or take the rounding of the font's height.
for dpi in 144 192; do
    factor=$(awk -v d="$dpi" 'BEGIN { print d / 96 }')
    for dialog in MAC language; do
        now=${SIZES["$dialog $dpi"]:-0 0} base=${SIZES["$dialog 96"]:-0 0}
        check "$dpi DPI: the $dialog dialog is $factor times its 96-DPI size ($base -> $now)" \
            grown_by "$now" "$base" "$factor"
    done
done

summary
