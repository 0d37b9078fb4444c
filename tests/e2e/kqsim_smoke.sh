#!/usr/bin/env bash
# Smoke test of kqsim over a real device directory: the interfaces appear as
# directories with FIFOs, a console and a boot program answer, a second connection
# is served, the fault plan and --save-flash work, and SIGTERM removes everything;
# --replay answers a trace's writes, reports the first write that departs from it, and
# refuses a file that is not a trace with its line and exit code 2.
# Usage: kqsim_smoke.sh path/to/kqsim
set -u
# shellcheck source=args.sh
source "$(dirname "$(readlink -f "$0")")/args.sh"
take_args "KQSIM:kqsim" "$@"
TMP=$(mktemp -d)
DIR=$TMP/devices
PASS=0 FAIL=0
SIM_PID=
cleanup() { [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null; rm -rf "$TMP"; }
trap cleanup EXIT

check() {  # check "what" command...
    local what=$1; shift
    if "$@"; then PASS=$((PASS + 1)); echo "ok   $what"
    else FAIL=$((FAIL + 1)); echo "FAIL $what"; fi
}

# exchange DIR HEX-TO-SEND COUNT-TO-READ: prints the hex of what came back within 2 s.
exchange() {
    python3 - "$1" "$2" "$3" <<'PY'
import os, select, sys, time
d, out, want = sys.argv[1], bytes.fromhex(sys.argv[2]), int(sys.argv[3])
w = os.open(d + "/PIPE00", os.O_WRONLY | os.O_NONBLOCK)
r = os.open(d + "/PIPE01", os.O_RDONLY | os.O_NONBLOCK)
os.write(w, out)
got, end = b"", time.time() + 2
while len(got) < want and time.time() < end:
    if select.select([r], [], [], 0.1)[0]:
        chunk = os.read(r, 4096)
        if not chunk: break
        got += chunk
os.close(w); os.close(r)
print(got.hex())
PY
}

CON="$DIR/usb#vid_1d2b&pid_0001#0001"
BOOT="$DIR/usb#vid_045b&pid_0025#0001"
appears() { for _ in $(seq 50); do [ -p "$1/PIPE01" ] && return; sleep 0.1; done; }  # INTERFACE, within 5 s
serve() {  # LOG INTERFACE OPTIONS...: kqsim on $DIR, its output in $TMP/LOG; returns once INTERFACE is there
    "$KQSIM" --dir="$DIR" "${@:3}" >"$TMP/$1" 2>&1 &
    SIM_PID=$!
    appears "$2"
}

# --help prints kqsim's option table; the man page is written by hand. Both name the
# same options (--help lists all but itself).
MAN=$(dirname "$(readlink -f "$0")")/../../docs/man/kqsim.1
man_options=$(awk 'after_tp { print } { after_tp = $0 == ".TP" }' "$MAN" | sed 's/\\-/-/g' | grep -o -- '--[a-z-]*' | sort -u)
help_options=$({ "$KQSIM" --help | sed -n 's/^  \(--[a-z-]*\).*/\1/p'; echo --help; } | sort -u)
check "the man page lists the options --help lists" test "$man_options" = "$help_options"

serve kqsim.log "$BOOT" --timing=fast --console --fault "drop:mac#2" --boot --save-flash="$TMP/flash-"

check "console interface with its two FIFOs" test -p "$CON/PIPE00" -a -p "$CON/PIPE01"
check "boot interface with its two FIFOs" test -p "$BOOT/PIPE00" -a -p "$BOOT/PIPE01"
check "start frame acknowledged" test "$(exchange "$CON" 807f0001 4)" = 807f04fd
check "a second connection is served" test "$(exchange "$CON" 80027e 9)" = 8003001f1900000144
check "fault plan drops the second MAC answer" test "$(exchange "$CON" 80027e 9)" = ""
check "the third MAC answer comes again" test "$(exchange "$CON" 80027e 9)" = 8003001f1900000144
check "erase then program the first KiB" test "$(exchange "$CON" "807f010000$(python3 -c '
f = bytes([0x80, 0x7f, 0x02, 0, 0, 0, 0]) + bytes(range(256)) * 4
f += bytes([(-sum(f)) & 0xff])
print(bytes([f[0]]).hex() + b"".join(bytes([b, b]) if b == 0x80 else bytes([b]) for b in f[1:]).hex())')" 8)" = 807f04fd807f04fd
check "boot program answers 0x55 with 0xE6" test "$(exchange "$BOOT" 55 1)" = e6
check "boot program refuses 0x43 out of turn" test "$(exchange "$BOOT" 43 2)" = c380
check "requests are printed" grep -q "erase .*block 0 .*ack" "$TMP/kqsim.log"

kill -TERM "$SIM_PID"; wait "$SIM_PID"; RC=$?; SIM_PID=
check "SIGTERM ends kqsim cleanly" test "$RC" = 0
check "SIGTERM removes the directories" test ! -e "$CON" -a ! -e "$BOOT"
check "saved console flash holds the programmed KiB" python3 -c "
import sys; f = open('$TMP/flash-usb#vid_1d2b&pid_0001#0001.bin', 'rb').read()
sys.exit(not (len(f) == 0x80000 and f[:1024] == bytes(range(256)) * 4 and f[1024:0x8000] == b'\xff' * (0x8000 - 1024)))"

# A device that is not plugged in yet: the program's open finds no reader (ENXIO).
"$KQSIM" --dir="$DIR" --timing=fast --console --plug-after=1.5 >"$TMP/late.log" 2>&1 &
SIM_PID=$!
sleep 0.5
check "no interface before --plug-after" test ! -e "$CON"
appears "$CON"
check "interface appears after --plug-after" test "$(exchange "$CON" 807f0001 4)" = 807f04fd
kill -INT "$SIM_PID"; wait "$SIM_PID"; SIM_PID=
check "SIGINT removes the device directory it created" test ! -e "$DIR"

# ---- Replay of a trace -------------------------------------------------------------------
# Two jobs in one copied log (a byte-order mark, CRLF, stamps that wrap): the boot program, then the console
# (the MAC address command logs no header). Each device shows itself while the trace is
# at its part; the second job departs at its second write.
printf -- '\357\273\277-----Boot Update-----\r\nTime:fffff000 Mesa<- Nbytes:1 55 \r\nTime:00000100 ->PC Nbytes:1 e6 \r\nTime:09000000 Mesa<- Nbytes:3 80 02 7e \r\nTime:09000200 ->PC Nbytes:9 80 03 00 1f 19 00 00 01 44 \r\nTime:09100000 Mesa<- Nbytes:3 80 02 7e \r\nTime:09100200 ->PC Nbytes:1 80 \r\n' >"$TMP/jobs.log"
serve replay.log "$BOOT" --replay="$TMP/jobs.log"
check "replay: first only the boot program of the first job" test -p "$BOOT/PIPE01" -a ! -e "$CON"
check "replay: it answers the first job" test "$(exchange "$BOOT" 55 1)" = e6
appears "$CON"
check "replay: then only the console of the second job" test -p "$CON/PIPE01" -a ! -e "$BOOT"
check "replay: it answers the second job" test "$(exchange "$CON" 80027e 9)" = 8003001f1900000144
check "replay: a write that departs gets no answer" test "$(exchange "$CON" 80027f 1)" = ""
kill -TERM "$SIM_PID"; wait "$SIM_PID"; RC=$?; SIM_PID=
# (grep -F would take each line of the text as a pattern of its own: any one of them would do.)
holds() { [[ $(cat "$2") == *"$1"* ]]; }  # TEXT FILE: FILE holds TEXT, its lines together
check "replay: the departure names its line, section, bytes expected and written" holds \
    $'departs from the trace at line 6 (no header line: console traffic from line 4), byte 3 of the line:\n  expected 80 02 [7e] (3 bytes)\n  written  80 02 [7f] (3 bytes)' "$TMP/replay.log"
check "replay: not followed to its end, exit code 1 (got $RC)" \
    eval 'test "$RC" = 1 && grep -q "NOT followed to its end: the program departed from it at line 6" "$TMP/replay.log"'

# A kept trace: the identity its row in the service record names (here the console's
# second identity, second instance) is the one served.
mkdir -p "$TMP/record/traces"
printf -- '-----Remote Test-----\r\nTime:00000000 Mesa<- Nbytes:3 80 08 78 \r\n' >"$TMP/record/traces/20261209-143012-test-remote-tested.log"
printf '\357\273\277time,version,command,path,usb_id,interface,peripheral,kqlink_address,written,mac_before,mac_set,result,verdict,seconds,trace\r\n2026-12-09T14:30:12+01:00,1.70,Test Remote,,1d2b:0003,"\\\\?\\usb#vid_1d2b&pid_0003#0002#{00873fdf-61a8-11d1-aa5e-00c04fb1728b}",Remote,3,,,,tested,"a, b",12.0,20261209-143012-test-remote-tested.log\r\n' >"$TMP/record/service-record.csv"
SECOND="$DIR/usb#vid_1d2b&pid_0003#0002"
serve replay.log "$SECOND" --replay="$TMP/record/traces/20261209-143012-test-remote-tested.log"
check "a kept trace is served under the identity its record names" test -p "$SECOND/PIPE01" -a ! -e "$CON"
kill -TERM "$SIM_PID"; wait "$SIM_PID"; SIM_PID=

# Files that are not traces: each refused at its line with exit code 2, none hangs.
bad_trace() {  # what printf-text expected-message
    printf -- "$2" >"$TMP/bad.log"
    timeout 10 "$KQSIM" --dir="$DIR" --replay="$TMP/bad.log" >/dev/null 2>"$TMP/bad.err"
    local rc=$? want=$3
    check "$1: exit code 2 (got $rc), \"$want\"" eval 'test $rc = 2 && grep -qF -- "$want" "$TMP/bad.err"'
}
bad_trace "empty file" '' 'bad.log line 1: not a trace: the file is empty'
bad_trace "a service record" 'time,version,command\r\n' 'bad.log line 1: not a trace: it begins with "time,version,command"'
bad_trace "a cut-off line" '-----Boot Update-----\nTime:00000000 Mesa<- Nbytes:4 80 7f' 'line 2: cut off'
bad_trace "a byte that is not hexadecimal" '\nTime:00000000 ->PC Nbytes:2 80 zz \n' 'line 2: byte item 2 "zz" is not two hexadecimal digits'
bad_trace "a count that disagrees" 'Time:00000000 ->PC Nbytes:3 80 7f \n' 'line 1: Nbytes:3 but 2 byte items'
bad_trace "a stamp that is not hexadecimal" 'Time:0000x000 ->PC Nbytes:0 \n' 'line 1: not a traffic line'
check "a trace that cannot be read: exit code 2" \
    eval 'timeout 10 "$KQSIM" --replay="$TMP/none.log" 2>/dev/null; test $? = 2'

[ "$FAIL" = 0 ] || { echo "--- kqsim log"; cat "$TMP/kqsim.log"; cat "$TMP/replay.log"; }
echo "$PASS passed, $FAIL failed"
[ "$FAIL" = 0 ]
