#!/usr/bin/env bash
# Shows the interfaces of a device directory (as kqsim serves it) to the Windows build
# under Wine, the way the kqusb driver publishes its devices:
#
#   HKLM\System\CurrentControlSet\Control\DeviceClasses\{GUID}\##?#USB#VID_v&PID_p#n#{GUID}
#       DeviceInstance = USB\VID_v&PID_p\n
#     #          SymbolicLink = \\?\usb#vid_v&pid_p#n#{GUID}
#     #\Control  Linked = 1          (what makes SetupDi count it as present)
#   HKLM\System\CurrentControlSet\Enum\USB\VID_v&PID_p\n
#       ClassGUID = {GUID of the USB device setup class}   (SetupDi skips it without)
#
# and the link dosdevices/usb#vid_v&pid_p#n#{GUID} -> the interface's directory, so
# that CreateFile("\\?\usb#...#{GUID}\PIPE00") opens the FIFO.
#
# Usage: wine_register_devices.sh [--remove] WINEPREFIX DEVICE_DIR [INTERFACE...]
#   Registers every "usb#vid_xxxx&pid_xxxx#nnnn" sub-directory of DEVICE_DIR, or only
#   the INTERFACE names given (they need not exist yet: kqsim may plug them later).
#   --remove takes the same interfaces out of the prefix again.
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -euo pipefail

IFACE_GUID='{00873fdf-61a8-11d1-aa5e-00c04fb1728b}'
USB_CLASS_GUID='{36fc9e60-c465-11cf-8056-444553540000}'

remove=0
if [ "${1:-}" = --remove ]; then remove=1; shift; fi
if [ $# -lt 2 ]; then
    echo "usage: $0 [--remove] WINEPREFIX DEVICE_DIR [INTERFACE...]" >&2
    exit 2
fi
export WINEPREFIX=$(cd "$1" && pwd)
devdir=$(cd "$2" 2>/dev/null && pwd || echo "$2")
shift 2

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
    for d in "$devdir"/usb\#vid_*; do
        [ -d "$d" ] && names+=("$(basename "$d")")
    done
fi
if [ ${#names[@]} -eq 0 ]; then
    echo "$0: no interfaces in $devdir" >&2
    exit 1
fi

reg=$(mktemp --suffix=.reg)
trap 'rm -f "$reg"' EXIT
printf 'REGEDIT4\r\n\r\n' >"$reg"
classes='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\'"$IFACE_GUID"
enum='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB'

for name in "${names[@]}"; do
    if ! [[ "$name" =~ ^usb#vid_([0-9a-f]{4})\&pid_([0-9a-f]{4})#([0-9A-Za-z]+)$ ]]; then
        echo "$0: skipping $name (not usb#vid_xxxx&pid_xxxx#n)" >&2
        continue
    fi
    vid=${BASH_REMATCH[1]^^} pid=${BASH_REMATCH[2]^^} inst=${BASH_REMATCH[3]}
    instance="USB\\VID_${vid}&PID_${pid}\\${inst}"
    key="${classes}\\##?#USB#VID_${vid}&PID_${pid}#${inst}#${IFACE_GUID}"
    link="$WINEPREFIX/dosdevices/${name}#${IFACE_GUID}"
    if [ $remove = 1 ]; then
        printf '[-%s]\r\n[-%s\\VID_%s&PID_%s\\%s]\r\n\r\n' "$key" "$enum" "$vid" "$pid" "$inst" >>"$reg"
        rm -f "$link"
        echo "removed $name"
        continue
    fi
    # .reg strings double their backslashes.
    esc() { printf '%s' "$1" | sed 's/\\/\\\\/g'; }
    {
        printf '[%s]\r\n"DeviceInstance"="%s"\r\n\r\n' "$key" "$(esc "$instance")"
        printf '[%s\\#]\r\n"SymbolicLink"="%s"\r\n\r\n' "$key" "$(esc "\\\\?\\${name}#${IFACE_GUID}")"
        printf '[%s\\#\\Control]\r\n"Linked"=dword:00000001\r\n\r\n' "$key"
        printf '[%s\\VID_%s&PID_%s\\%s]\r\n"ClassGUID"="%s"\r\n"DeviceDesc"="kqusb device"\r\n\r\n' \
            "$enum" "$vid" "$pid" "$inst" "$USB_CLASS_GUID"
    } >>"$reg"
    mkdir -p "$WINEPREFIX/dosdevices"
    ln -sfn "$devdir/$name" "$link"
    echo "registered $name -> $devdir/$name"
done

WINEDEBUG=${WINEDEBUG:--all} wine regedit /S "$(winepath -w "$reg" 2>/dev/null || echo "$reg")" >/dev/null 2>&1 || {
    # Fall back to importing through reg.exe.
    WINEDEBUG=${WINEDEBUG:--all} wine reg import "$(winepath -w "$reg")" >/dev/null
}
wineserver -w 2>/dev/null || true
