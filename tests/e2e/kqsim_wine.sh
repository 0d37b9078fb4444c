#!/usr/bin/env bash
# kqsim seen from a Windows program under Wine: the interfaces registered with
# tools/wine_register_devices.sh are listed by SetupDi (present devices of the kqusb
# interface class), their PIPE00/PIPE01 open with CreateFile, and the console and the
# boot program answer through them.
# Usage: kqsim_wine.sh path/to/kqsim   (needs wine and x86_64-w64-mingw32-gcc)
set -u
# shellcheck source=args.sh
source "$(dirname "$(readlink -f "$0")")/args.sh"
take_args "KQSIM:kqsim" "$@"
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
TMP=$(mktemp -d)
export WINEPREFIX=$TMP/prefix WINEDEBUG=-all
PASS=0 FAIL=0 SIM_PID=
cleanup() { [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null; wineserver -k 2>/dev/null; rm -rf "$TMP"; }
trap cleanup EXIT
check() { local what=$1; shift
    if "$@"; then PASS=$((PASS + 1)); echo "ok   $what"; else FAIL=$((FAIL + 1)); echo "FAIL $what"; fi; }

if ! command -v wine >/dev/null || ! command -v x86_64-w64-mingw32-gcc >/dev/null; then
    echo "FAIL wine or MinGW is missing (scripts/setup.sh installs them)"; echo "0 passed, 1 failed"; exit 1
fi

cat >"$TMP/probe.c" <<'C'
/* Lists the kqusb interfaces like the updater's discovery, then sends argv[2] (hex)
   to the first whose path holds argv[1] and prints what comes back (hex). */
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>
static const GUID KQUSB = {0x00873fdf, 0x61a8, 0x11d1, {0xaa, 0x5e, 0x00, 0xc0, 0x4f, 0xb1, 0x72, 0x8b}};
int main(int argc, char **argv) {
    HDEVINFO set = SetupDiGetClassDevsA(&KQUSB, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA itf = {sizeof itf};
    char found[512] = "";
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, NULL, &KQUSB, i, &itf); i++) {
        char buf[1024]; DWORD need = 0;
        SP_DEVICE_INTERFACE_DETAIL_DATA_A *d = (void *)buf;
        d->cbSize = sizeof *d;
        if (!SetupDiGetDeviceInterfaceDetailA(set, &itf, d, sizeof buf, &need, NULL)) continue;
        printf("path %s\n", d->DevicePath);
        if (!found[0] && strstr(d->DevicePath, argv[1])) strcpy(found, d->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!found[0]) return 1;
    char name[600];
    snprintf(name, sizeof name, "%s\\PIPE00", found);
    HANDLE out = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    snprintf(name, sizeof name, "%s\\PIPE01", found);
    HANDLE in = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE) { printf("CreateFile failed\n"); return 2; }
    unsigned char tx[64], rx[64]; DWORD n = 0, len = strlen(argv[2]) / 2;
    for (DWORD i = 0; i < len; i++) sscanf(argv[2] + 2 * i, "%2hhx", &tx[i]);
    WriteFile(out, tx, len, &n, NULL);
    if (!ReadFile(in, rx, sizeof rx, &n, NULL)) n = 0;
    printf("reply ");
    for (DWORD i = 0; i < n; i++) printf("%02x", rx[i]);
    printf("\n");
    return 0;
}
C
x86_64-w64-mingw32-gcc -O2 -o "$TMP/probe.exe" "$TMP/probe.c" -lsetupapi || { echo "0 passed, 1 failed"; exit 1; }
# A prefix made once for the test run (KQ_WINE_TEMPLATE) is copied; else one is made.
if [ -n "${KQ_WINE_TEMPLATE:-}" ] && [ -f "$KQ_WINE_TEMPLATE/system.reg" ]; then
    "$(dirname "$0")/wine_copy.sh" "$KQ_WINE_TEMPLATE" "$WINEPREFIX"
else
    wineboot -i >/dev/null 2>&1; wineserver -w
fi

"$KQSIM" --dir="$TMP/dev" --timing=fast --console --boot >"$TMP/kqsim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 50); do [ -p "$TMP/dev/usb#vid_1d2b&pid_0001#0001/PIPE01" ] && break; sleep 0.1; done
bash "$ROOT/tools/wine_register_devices.sh" "$WINEPREFIX" "$TMP/dev" >/dev/null

probe() { timeout 60 wine "$TMP/probe.exe" "$@" 2>/dev/null | tr -d '\r'; }
OUT=$(probe "vid_1d2b&pid_0001" 807f0001)
check "SetupDi lists the console" grep -q 'path \\\\?\\usb#vid_1d2b&pid_0001#0001#{00873fdf' <<<"$OUT"
check "SetupDi lists the boot program" grep -q 'usb#vid_045b&pid_0025#0001' <<<"$OUT"
check "console acknowledges a start frame through CreateFile'd pipes" grep -qx 'reply 807f04fd' <<<"$OUT"
check "boot program answers 0x55" grep -qx 'reply e6' <<<"$(probe "vid_045b&pid_0025" 55)"

[ "$FAIL" = 0 ] || { echo "--- probe"; echo "$OUT"; echo "--- kqsim"; cat "$TMP/kqsim.log"; }
echo "$PASS passed, $FAIL failed"
[ "$FAIL" = 0 ]
