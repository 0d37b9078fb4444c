#!/bin/bash
# wine_mac_dpi.sh - "Set MAC Address" under Wine at 96, 144 and 192 dots per inch: the
# "New:" field must show all six digits of the proposal as the dialog opens, with the
# proposal selected and the caret after it. At each resolution a screenshot of the
# dialog is kept ($OUT/wine_mac_DPI.png) and the probe measures the field against the
# dialog font. The last run also types an address over the selected proposal.
#   tests/e2e/wine_mac_dpi.sh build/windows/Kqsfupdt.exe build/linux/kqsim
# shellcheck source=wine_common.sh
. "$(dirname "$(readlink -f "$0")")/wine_common.sh"
wine_begin "EXE:Kqsfupdt.exe KQSIM:kqsim" "$@"
MAC_PROBE="$WORK/wine_mac_probe.exe"
if ! x86_64-w64-mingw32-gcc -O2 -o "$MAC_PROBE" "$HERE/wine_mac_probe.c" -lgdi32 2>"$WORK/build.log"; then
    cat "$WORK/build.log"
    fail "the MAC probe builds"
    summary
    exit 1
fi

# set_dpi DPI: the resolution every program started afterwards sees.
set_dpi() {
    # The program has ended: end the server now rather than after its idle linger.
    timeout 20 wineserver -k 2>/dev/null
    timeout 60 wineserver -w
    timeout 30 wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f \
        >/dev/null 2>&1
}
# shoot_dialog PNG: the dialog as the screen shows it (a picture of its own X window
# comes out black), cut from the whole screen at the window's place.
shoot_dialog() {
    local geometry
    geometry=$(xwininfo -id "$DIALOG" 2>/dev/null | awk '
        /Absolute upper-left X/ {x = $NF} /Absolute upper-left Y/ {y = $NF}
        /Width:/ {w = $NF} /Height:/ {h = $NF} END {printf "%dx%d+%d+%d", w, h, x, y}')
    import -window root "$WORK/screen.png" 2>/dev/null &&
        convert "$WORK/screen.png" -crop "$geometry" +repage "$1"
}
# field_fits: the probe's measure of the field in MEASURED; true when six digits fit.
field_fits() {
    local code
    timeout 30 wine "$MAC_PROBE" field >"$WORK/field.txt" 2>/dev/null
    code=$?
    MEASURED=$(tr -d '\r' <"$WORK/field.txt")
    return "$code"
}

start_sim --console
for dpi in 96 144 192; do
    set_dpi "$dpi"
    run_program "dpi$dpi" ST
    check "the program starts at $dpi dpi" test -n "$WIN"
    [ -n "$WIN" ] || continue
    DIALOG=""
    # Posted once: a message posted before the loop runs waits in the queue, while a
    # second one would reach the main window from inside the dialog's own loop.
    probe command 104 >/dev/null
    wait_for 30 eval 'DIALOG=$(window_named "MAC Address"); [ -n "$DIALOG" ]'
    check "Set MAC Address opens the dialog at $dpi dpi" test -n "$DIALOG"
    [ -n "$DIALOG" ] || continue
    MEASURED=""
    wait_for 10 field_fits
    check "six digits fit the New: field at $dpi dpi ($MEASURED)" field_fits
    shoot_dialog "$OUT/wine_mac_$dpi.png"
    check "the dialog's screenshot at $dpi dpi is kept" test -s "$OUT/wine_mac_$dpi.png"
    if [ "$dpi" = 192 ]; then
        # The proposal is selected: the digits typed replace it.
        xdotool key --window "$DIALOG" 1 2 a b 5 f 2>/dev/null
        check "the digits typed replace the proposal" \
            wait_for 10 eval 'field_fits; [[ "$MEASURED" == *" text=12ab5f "* ]]'
        xdotool key --window "$DIALOG" Return 2>/dev/null
        check "OK sends the address typed" wait_for 10 sim_has 'macset.*00-1F-19-12-AB-5F'
        shoot_dialog "$OUT/wine_mac_${dpi}_typed.png"
    fi
    xdotool key --window "$DIALOG" Escape 2>/dev/null
    probe close >/dev/null
    finish_app 30
    [ "$APP_CODE" = timeout ] && fail "the program ends at $dpi dpi"
done
stop_sim
summary
