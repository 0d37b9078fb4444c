#!/bin/bash
# wine_msi.sh - the release's MSI under Wine, as IT deploys it: silent install, programs,
# Uninstall entry, shortcuts (read back by wine_lnk_probe.c), the service shortcut's start,
# the same version again, a newer one over it, the older one refused, the removal.
#   tests/e2e/wine_msi.sh build/windows/Kqsfupdt.exe
# Wine's installer puts per-machine shortcuts in the user's Start menu: the check says so.
# shellcheck source=wine_common.sh
. "$(dirname "$(readlink -f "$0")")/wine_common.sh"
wine_begin "EXE:Kqsfupdt.exe" "$@"
export LC_ALL=C.UTF-8  # for "Guía del técnico"
VERSION=$(sed -n 's/^project(kqsfupdt VERSION \([0-9.]*\).*/\1/p' "$REPO/CMakeLists.txt")
NEWER=${VERSION%.*}.$((10#${VERSION#*.} + 1))
C=$WINEPREFIX/drive_c RECORD=$WINEPREFIX/drive_c/ProgramData/Kqsfupdt
APP="$C/Program Files (x86)/CORVINA Updater" WIN_APP='C:\Program Files (x86)\CORVINA Updater'

(cd "$REPO" && env -u KQ_SIGN_PKCS12 -u KQ_GPG_KEY scripts/release.sh "$WORK/dist") >"$WORK/build.log" 2>&1 &&
    MSI=$WORK/dist/kqsfupdt-$VERSION.msi && unzip -q "$WORK/dist/"*.zip -d "$WORK/zip" && cp -r "$WORK/zip" "$WORK/newer" &&
    sed -i "s/$VERSION/$NEWER/g" "$WORK/newer/LEEME.txt" "$WORK/newer/README.txt" &&
    SOURCE_DATE_EPOCH=1765000000 /usr/bin/python3 "$REPO/scripts/make_msi.py" "$NEWER" "$WORK/newer" "$WORK/newer.msi" &&
    LNK=$(wine_probe_path wine_lnk_probe 2>>"$WORK/build.log") ||
    { tail -20 "$WORK/build.log"; fail "the release, the $NEWER package and the shortcut probe are made"; summary; exit 1; }

msiexec() { timeout 120 wine msiexec "$@" >/dev/null 2>&1; MSI_CODE=$?; }
refused() { [ "$1" = 1603 ] || [ "$1" = 67 ]; }  # Unix keeps 1603's low byte: 67
# products: "name|version|publisher|NoModify|NoRepair" of each Uninstall entry of ours.
# A 32-bit package's entry is in the registry's 32-bit view (Wow6432Node), where a
# 64-bit-only Wine's installer puts it; a Wine with its 32-bit half may keep it in the
# other view. Both are read, and an entry seen in both counts once.
products() {
    { timeout 30 wine reg query "$UNINSTALL" /s; timeout 30 wine reg query "$UNINSTALL" /s /reg:32; } 2>/dev/null | tr -d '\r' |
        awk -F'    ' 'function out() { if (v["DisplayName"] ~ /CORVINA/) print v["DisplayName"] "|" v["DisplayVersion"] "|" \
                           v["Publisher"] "|" v["NoModify"] "|" v["NoRepair"]; delete v }
                       /^HKEY/ { out() } NF >= 4 { v[$2] = $4 } END { out() }' | sort -u
}
UNINSTALL='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
same_files() { for f in Kqsfupdt.exe kqclean.exe LEEME.txt README.txt; do cmp -s "$1/$f" "$APP/$f" || return 1; done; }
installed() { [ "$(products)" = "CORVINA Updater|$1|KQ|0x1|0x1" ] && same_files "$2"; }

# ---- Install: programs, entry, icon, shortcuts ------------------------------------------
msiexec /i "$(winpath "$MSI")" /qn
check "msiexec /i kqsfupdt-$VERSION.msi /qn exits 0 (got $MSI_CODE)" test "$MSI_CODE" = 0
echo "  Uninstall: $(products)"
check "one entry (version $VERSION, KQ, no Modify, no Repair); the zip's files in Program Files (x86)" \
    installed "$VERSION" "$WORK/zip"
# The product's icon as the installer registered it (either view of the registry, as
# products() reads; asked again while a busy machine leaves a query without an answer).
product_icon() {
    icon=$({ timeout 30 wine reg query 'HKLM\Software\Classes\Installer\Products' /s
             timeout 30 wine reg query 'HKLM\Software\Classes\Installer\Products' /s /reg:32; } 2>/dev/null |
           tr -d '\r' | sed -n 's/^ *ProductIcon *REG_SZ *//p' | head -n 1)
    [ -n "$icon" ]
}
wait_for 20 product_icon
check "the entry's icon (${icon:-none}) is the program's" cmp -s "$(winepath -u "${icon:-x}" 2>/dev/null)" "$REPO/src/resources/kqsfupdt.ico"
MENU="$C/ProgramData/Microsoft/Windows/Start Menu/Programs/CORVINA Updater"
[ -d "$MENU" ] || { MENU="$C/users/${USER:-$(id -un)}/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/CORVINA Updater"
                    echo "NOTE the shortcuts are in the user's Start menu, where Wine's installer puts them"; }
link() { timeout 30 wine "$LNK" "$(winpath "$MENU/$1.lnk")" 2>/dev/null | tr -d '\r' | paste -sd'|'; }
declare -A LINKS=(
    ["CORVINA Updater"]="target=$WIN_APP\\Kqsfupdt.exe|arguments=|folder=C:\\ProgramData\\Kqsfupdt\\"
    ["CORVINA Updater (service)"]="target=$WIN_APP\\Kqsfupdt.exe|arguments=ST|folder=C:\\ProgramData\\Kqsfupdt\\"
    ["Guía del técnico"]="target=$WIN_APP\\LEEME.txt|arguments=|folder="
    ["Technician's guide"]="target=$WIN_APP\\README.txt|arguments=|folder=")
for name in "${!LINKS[@]}"; do
    got=$(link "$name")
    echo "  $name.lnk: $got"
    check "shortcut \"$name\": target, arguments, working folder" test "$got" = "${LINKS[$name]}"
done

# ---- The program as the service shortcut starts it (or its x86_64 twin, as EXE says) -------
got=$(link "CORVINA Updater (service)")
program=$(winepath -u "$(cut -d'|' -f1 <<<"${got#target=}")" 2>/dev/null)
[ "$EXE" = "$(realpath "$REPO/build/windows/Kqsfupdt.exe")" ] || program=$EXE
start_app "$(winepath -u "${got##*folder=}" 2>/dev/null)" "$program" "$(cut -d'|' -f1 <<<"${got#*arguments=}")"
wait_for 40 eval 'WIN=$(window_named "CORVINA Updater"); [ -n "$WIN" ]'
check "it shows the service title" title_is "${WIN:-0}" " ---ST--- CORVINA Updater    Soft $VERSION  Vimclm 03.68  Remote 1.3"
check "TEMP is made in the shortcut's working folder, not in Program Files" \
    eval 'wait_for 10 test -f "$RECORD/TEMP/kqmon.fnt" && test ! -e "$APP/TEMP"'
[ -n "${WIN:-}" ] && probe close >/dev/null
finish_app 30

# ---- The same version again, a newer one, the older one over it ------------------------------
rm "$APP/kqclean.exe" && echo changed >"$APP/README.txt"
msiexec /i "$(winpath "$MSI")" /qn
check "$VERSION again: exits $MSI_CODE, one entry, a deleted and a changed file put back" \
    eval '[ "$MSI_CODE" = 0 ] && installed "$VERSION" "$WORK/zip"'
msiexec /i "$(winpath "$WORK/newer.msi")" /qn
echo "  Uninstall: $(products)"
check "$NEWER over $VERSION: exits $MSI_CODE, one entry, version $NEWER, its files" \
    eval '[ "$MSI_CODE" = 0 ] && installed "$NEWER" "$WORK/newer"'
msiexec /i "$(winpath "$MSI")" /qn
check "$VERSION over $NEWER: refused ($MSI_CODE), $NEWER stays alone" eval 'refused "$MSI_CODE" && installed "$NEWER" "$WORK/newer"'
# Double-clicked, it says why in Wine's "Install Failed" box, and fails once answered.
REFUSAL="A newer version of the CORVINA Updater is already installed. To go back to this version, uninstall that one first."
(timeout 60 wine msiexec /i "$(winpath "$MSI")" >/dev/null 2>&1; echo $? >"$WORK/refused") &
EXTRA_PIDS+=($!)
check "double-clicked, it shows \"$REFUSAL\"" wait_for 40 eval '[ "$(probe text "Install Failed")" = "$REFUSAL" ]'
xdotool key --window "$(window_named "Install Failed")" Return 2>/dev/null
check "and fails once answered" eval 'wait_for 30 test -s "$WORK/refused" && refused "$(cat "$WORK/refused")"'

# ---- Removal: the record, its traces and kq.ini stay --------------------------------------------
mkdir -p "$RECORD/traces" && echo "time,version" >"$RECORD/service-record.csv" && echo trace >"$RECORD/traces/a.log"
printf '[Kqsfupdt]\r\nMac=00:11:22:33:44:55\r\n' >"$C/windows/kq.ini"
msiexec /x "$(winpath "$WORK/newer.msi")" /qn
echo "  Uninstall: $(products)"
check "msiexec /x exits $MSI_CODE; no entry, programs, shortcuts or their folders left" \
    eval '[ "$MSI_CODE" = 0 ] && [ -z "$(products)" ] && [ ! -e "$APP" ] && [ ! -e "$MENU" ]'
check "the service record, its trace and kq.ini stay" \
    eval 'test -f "$RECORD/service-record.csv" -a -f "$RECORD/traces/a.log" -a -f "$C/windows/kq.ini"'
summary
