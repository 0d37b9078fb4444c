#!/bin/bash
# wine_msi.sh - the Windows installer of the release under Wine, as an IT department
# deploys it: silent install, the programs and the Start-menu shortcuts, the program
# started as its service shortcut says, a same-version reinstall, an upgrade to a newer
# version, an older one refused, and the removal.
#
#   tests/e2e/wine_msi.sh build/windows/Kqsfupdt.exe
#
# Makes the release (scripts/release.sh, unsigned) into its scratch folder and a 1.71
# package of the same programs whose guides say 1.71 (scripts/make_msi.py). The
# shortcuts are read back through the shell's link interface (wine_lnk_probe.c); the
# products are what the prefix's registry lists under Uninstall. Wine's installer puts
# per-machine shortcuts in the user's Start menu, not in the common one: both are looked
# at, and the check says which it found. Prints one line per check and ends with
# "N passed, M failed".
# shellcheck source=wine_common.sh
. "$(dirname "$(readlink -f "$0")")/wine_common.sh"
wine_begin "EXE:Kqsfupdt.exe" "$@"
export LC_ALL=C.UTF-8  # the guide's shortcut is "Guía del técnico"

VERSION=$(sed -n 's/^project(kqsfupdt VERSION \([0-9.]*\).*/\1/p' "$REPO/CMakeLists.txt")
NEWER=${VERSION%.*}.$((10#${VERSION#*.} + 1))
TITLE_ST=" ---ST--- CORVINA Updater    Soft $VERSION  Vimclm 03.68  Remote 1.3"
C=$WINEPREFIX/drive_c
RECORD=$C/ProgramData/Kqsfupdt

# ---- The packages -------------------------------------------------------------------------
if ! (cd "$REPO" && env -u KQ_SIGN_PKCS12 -u KQ_GPG_KEY scripts/release.sh "$WORK/dist") >"$WORK/release.log" 2>&1; then
    tail -20 "$WORK/release.log"
    fail "the release is made"
    summary
    exit 1
fi
MSI=$WORK/dist/kqsfupdt-$VERSION.msi
mkdir -p "$WORK/zip" "$WORK/newer"
unzip -q "$WORK/dist/kqsfupdt-$VERSION-windows.zip" -d "$WORK/zip"
cp "$WORK/zip/"* "$WORK/newer/"
sed -i "s/$VERSION/$NEWER/g" "$WORK/newer/LEEME.txt" "$WORK/newer/README.txt"
SOURCE_DATE_EPOCH=$(git -C "$REPO" log -1 --format=%ct 2>/dev/null || date +%s) \
    /usr/bin/python3 "$REPO/scripts/make_msi.py" "$NEWER" "$WORK/newer" "$WORK/newer.msi" >"$WORK/make_msi.log" 2>&1
check "the release holds the MSI, and a $NEWER package is made" test -f "$MSI" -a -f "$WORK/newer.msi"

LNK_PROBE=$WORK/wine_lnk_probe.exe
x86_64-w64-mingw32-gcc -O2 -municode -o "$LNK_PROBE" "$HERE/wine_lnk_probe.c" -lole32 -luuid 2>>"$WORK/build.log" ||
    { cat "$WORK/build.log"; fail "the shortcut probe builds"; summary; exit 1; }

# msiexec ARGS...: its exit code in MSI_CODE. A Unix process keeps only the low byte of
# Windows's code: 1603 (the installation failed) arrives as 67.
msiexec() {
    timeout 120 wine msiexec "$@" >/dev/null 2>&1
    MSI_CODE=$?
}
# products: "DisplayName|DisplayVersion|Publisher|NoModify|NoRepair" of each entry under
# Uninstall that names the CORVINA Updater, one line each.
products() {
    timeout 30 wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
        awk '/^HKEY/ { if (name ~ /CORVINA/) print name "|" ver "|" pub "|" nomod "|" norep; name = ver = pub = nomod = norep = "" }
             $1 == "DisplayName" { $1 = $2 = ""; name = substr($0, 3) }
             $1 == "DisplayVersion" { ver = $3 } $1 == "Publisher" { pub = $3 }
             $1 == "NoModify" { nomod = $3 } $1 == "NoRepair" { norep = $3 }
             END { if (name ~ /CORVINA/) print name "|" ver "|" pub "|" nomod "|" norep }'
}
show_products() { echo "  registry, Uninstall: $(products | tr '\n' ' ')"; }
one_product() { [ "$(products)" = "CORVINA Updater|$1|KQ|0x1|0x1" ]; }
# The product folder under the 32-bit Program Files (Program Files in a 32-bit prefix).
APP=$C/Program\ Files\ \(x86\)/CORVINA\ Updater
[ -d "$C/Program Files (x86)" ] || APP=$C/Program\ Files/CORVINA\ Updater
same_files() {  # DIR: the installed programs and guides are DIR's, byte for byte
    local f
    for f in Kqsfupdt.exe kqclean.exe LEEME.txt README.txt; do cmp -s "$1/$f" "$APP/$f" || return 1; done
}

# ---- Install --------------------------------------------------------------------------------
msiexec /i "$(winpath "$MSI")" /qn
check "msiexec /i kqsfupdt-$VERSION.msi /qn exits 0 (got $MSI_CODE)" test "$MSI_CODE" = 0
check "the programs and guides are in ${APP#"$C/"}, the zip's bytes" same_files "$WORK/zip"
show_products
check "one entry in Apps & features: name, version $VERSION, maker, no Modify, no Repair" one_product "$VERSION"
# ARP shows the product's icon from the installer's cache (ProductIcon).
product_icon() {
    timeout 30 wine reg query 'HKLM\Software\Classes\Installer\Products' /s 2>/dev/null | tr -d '\r' |
        awk '/^HKEY/ { if (name ~ /CORVINA/) print icon; name = icon = "" }
             $1 == "ProductName" { $1 = $2 = ""; name = $0 } $1 == "ProductIcon" { $1 = $2 = ""; icon = substr($0, 3) }
             END { if (name ~ /CORVINA/) print icon }'
}
ICON=$(product_icon)
check "its icon is the program's (${ICON:-none})" cmp -s "$(winepath -u "${ICON:-none}" 2>/dev/null)" "$REPO/src/resources/kqsfupdt.ico"

MENU=$C/ProgramData/Microsoft/Windows/Start\ Menu/Programs/CORVINA\ Updater
if [ ! -d "$MENU" ]; then
    MENU=$C/users/${USER:-$(id -un)}/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs/CORVINA\ Updater
    echo "NOTE the shortcuts are in the user's Start menu, as Wine's installer puts them"
fi
link() { timeout 30 wine "$LNK_PROBE" "$(winpath "$MENU/$1.lnk")" 2>/dev/null | tr -d '\r' | paste -sd'|'; }
WIN_APP='C:\Program Files (x86)\CORVINA Updater'
[ "$APP" = "$C/Program Files (x86)/CORVINA Updater" ] || WIN_APP='C:\Program Files\CORVINA Updater'
declare -A LINKS=(
    ["CORVINA Updater"]="target=$WIN_APP\\Kqsfupdt.exe|arguments=|folder=C:\\ProgramData\\Kqsfupdt\\"
    ["CORVINA Updater (service)"]="target=$WIN_APP\\Kqsfupdt.exe|arguments=ST|folder=C:\\ProgramData\\Kqsfupdt\\"
    ["Guía del técnico"]="target=$WIN_APP\\LEEME.txt|arguments=|folder="
    ["Technician's guide"]="target=$WIN_APP\\README.txt|arguments=|folder="
)
for name in "CORVINA Updater" "CORVINA Updater (service)" "Guía del técnico" "Technician's guide"; do
    got=$(link "$name")
    echo "  $name.lnk: $got"
    check "shortcut \"$name\": target, arguments and working folder" test "$got" = "${LINKS[$name]}"
done
check "the Start-menu folder holds those four shortcuts and nothing else" \
    test "$(ls "$MENU" | wc -l)" = 4

# ---- The program as the service shortcut starts it ----------------------------------------
# In the shortcut's working folder, with its arguments; the installed program, or its
# x86_64 twin where Wine runs no 32-bit code (EXE, as wine_begin chose it).
got=$(link "CORVINA Updater (service)")
folder=$(winepath -u "$(sed 's/.*|folder=//' <<<"$got")" 2>/dev/null)
program=$(winepath -u "$(sed 's/^target=//; s/|.*//' <<<"$got")" 2>/dev/null)
[ "$EXE" = "$(realpath "$REPO/build/windows/Kqsfupdt.exe")" ] || program=$EXE
start_app "$folder" "$program" ST
WIN=""
wait_for 40 eval 'WIN=$(window_named "CORVINA Updater"); [ -n "$WIN" ]'
check "started as the service shortcut says, its title is the service title" title_is "${WIN:-0}" "$TITLE_ST"
check "TEMP is made in the shortcut's working folder, not in Program Files" \
    eval 'wait_for 10 test -f "$RECORD/TEMP/kqmon.fnt" && test ! -e "$APP/TEMP"'
[ -n "$WIN" ] && probe close >/dev/null
finish_app 30
check "it closes with exit code 0 (got $APP_CODE)" test "$APP_CODE" = 0

# ---- The same version again, a newer one, an older one --------------------------------------
rm -f "$APP/kqclean.exe" && echo changed >"$APP/README.txt"
msiexec /i "$(winpath "$MSI")" /qn
check "the same version again exits 0 (got $MSI_CODE) and puts back a deleted and a changed file" \
    eval 'test "$MSI_CODE" = 0 && same_files "$WORK/zip"'
check "still one entry, version $VERSION" one_product "$VERSION"

msiexec /i "$(winpath "$WORK/newer.msi")" /qn
check "$NEWER over $VERSION exits 0 (got $MSI_CODE)" test "$MSI_CODE" = 0
show_products
check "one entry afterwards, version $NEWER" one_product "$NEWER"
check "the $NEWER files are installed" same_files "$WORK/newer"

msiexec /i "$(winpath "$MSI")" /qn
check "$VERSION over $NEWER is refused: 1603, the installation failed (got $MSI_CODE)" \
    eval '[ "$MSI_CODE" = 1603 ] || [ "$MSI_CODE" = 67 ]'
check "$NEWER stays installed, alone" eval 'one_product "$NEWER" && same_files "$WORK/newer"'
# Double-clicked, the installer says why, in its "Install Failed" box, and fails once
# that box is answered.
REFUSAL="A newer version of the CORVINA Updater is already installed. To go back to this version, uninstall that one first."
(timeout 60 wine msiexec /i "$(winpath "$MSI")" >/dev/null 2>&1; echo $? >"$WORK/refused") &
EXTRA_PIDS+=($!)
check "double-clicked, $VERSION shows \"$REFUSAL\"" wait_for 40 eval '[ "$(probe text "Install Failed")" = "$REFUSAL" ]'
xdotool key --window "$(window_named "Install Failed")" Return 2>/dev/null
wait_for 30 test -s "$WORK/refused"
REFUSED_CODE=$(cat "$WORK/refused" 2>/dev/null)
check "and fails once it is answered (got ${REFUSED_CODE:-no end})" eval '[ "$REFUSED_CODE" = 1603 ] || [ "$REFUSED_CODE" = 67 ]'

# ---- Removal ----------------------------------------------------------------------------------
# What the PC keeps: the service record, a trace, kq.ini.
mkdir -p "$RECORD/traces"
echo "time,version" >"$RECORD/service-record.csv"
echo "trace" >"$RECORD/traces/20261209-143012-update-console-failed.log"
printf '[Kqsfupdt]\r\nMac=00:11:22:33:44:55\r\n' >"$C/windows/kq.ini"
msiexec /x "$(winpath "$WORK/newer.msi")" /qn
check "msiexec /x exits 0 (got $MSI_CODE)" test "$MSI_CODE" = 0
show_products
check "no entry is left in Apps & features" test -z "$(products)"
check "the programs and their folder are gone" test ! -e "$APP"
check "the shortcuts and their Start-menu folder are gone" test ! -e "$MENU"
check "the service record, its trace and kq.ini stay" eval 'test -f "$RECORD/service-record.csv" &&
    test -f "$RECORD/traces/20261209-143012-update-console-failed.log" && test -f "$C/windows/kq.ini"'
summary
