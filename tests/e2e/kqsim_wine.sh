#!/usr/bin/env bash
# kqsim seen from a Windows program under Wine: the interfaces registered with
# tools/wine_register_devices.sh are listed by SetupDi (present devices of the kqusb
# interface class), their PIPE00/PIPE01 open with CreateFile, and the console and the
# boot program answer through them.
# Usage: kqsim_wine.sh path/to/kqsim   (needs wine and build/linux/wine-probes)
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

# shellcheck source=wine_arch.sh
source "$(dirname "$(readlink -f "$0")")/wine_arch.sh"
if ! command -v wine >/dev/null || ! PROBE=$(wine_probe_path kqsim_wine_probe); then
    echo "FAIL wine or the test program is missing (scripts/setup.sh, scripts/build.sh)"; echo "0 passed, 1 failed"; exit 1
fi

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

probe() { timeout 60 wine "$PROBE" "$@" 2>/dev/null | tr -d '\r'; }
OUT=$(probe "vid_1d2b&pid_0001" 807f0001)
check "SetupDi lists the console" grep -q 'path \\\\?\\usb#vid_1d2b&pid_0001#0001#{00873fdf' <<<"$OUT"
check "SetupDi lists the boot program" grep -q 'usb#vid_045b&pid_0025#0001' <<<"$OUT"
check "console acknowledges a start frame through CreateFile'd pipes" grep -qx 'reply 807f04fd' <<<"$OUT"
check "boot program answers 0x55" grep -qx 'reply e6' <<<"$(probe "vid_045b&pid_0025" 55)"

[ "$FAIL" = 0 ] || { echo "--- probe"; echo "$OUT"; echo "--- kqsim"; cat "$TMP/kqsim.log"; }
echo "$PASS passed, $FAIL failed"
[ "$FAIL" = 0 ]
