#!/usr/bin/env bash
# idle_prompts.sh - what the program costs while a technician reads a prompt inside a
# command: CPU and wake-ups over SECONDS (20 unless told) at two prompts,
#   boot:     the BOOT-jumper prompt of "Update Console" with nothing plugged in;
#   question: the "[ENTER] yes, [->] no" question of "Update Remote", against kqsim
#             (a console with a Remote) as the end-to-end checks start it;
# for the Linux build in a tmux terminal and, with --wine, for the Windows build under
# Wine and Xvfb. Prints one line per prompt: CPU in % of one core (ticks of utime +
# stime from /proc/PID/stat) and wake-ups a second (voluntary + involuntary context
# switches of every thread, from /proc/PID/task/*/status), then the same per thread.
# Under Wine the program's own process is counted; its wineserver and the prefix's other
# processes (explorer.exe, services.exe...) are shown apart.
# On a loaded machine the CPU figure moves with the load; the wake-ups do not.
#
# Usage: bench/idle_prompts.sh [--wine] [--seconds=N] [--only=boot|question] BUILD [EXE]
#   BUILD  the Linux build folder (kqsfupdt, kqsim), e.g. build/linux
#   EXE    with --wine: the Windows program, e.g. build/windows/Kqsfupdt.exe
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -u
WINE=0
SECONDS_MEASURED=20
ONLY=""
while [ $# -gt 0 ]; do
    case $1 in
    --wine) WINE=1 ;;
    --seconds=*) SECONDS_MEASURED=${1#--seconds=} ;;
    --only=*) ONLY=${1#--only=} ;;
    -*) echo "idle_prompts.sh: unknown option $1 (--help for the usage)" >&2; exit 2 ;;
    *) break ;;
    esac
    shift
done
[ $# -ge 1 ] || { echo "usage: idle_prompts.sh [--wine] [--seconds=N] [--only=boot|question] BUILD [EXE]" >&2; exit 2; }
BUILD=$(realpath "$1")
ROOT=$(cd "$(dirname "$0")/.." && pwd)
HZ=$(getconf CLK_TCK)
wanted() { [ -z "$ONLY" ] || [ "$ONLY" = "$1" ]; }

# ---- Measuring a process -------------------------------------------------------------------
# ticks PID: utime + stime of the whole process (threads that ended included).
ticks() { sed 's/^.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
# switches PID: "TID NAME COUNT" for each thread, COUNT its context switches so far.
switches() {
    local s
    for s in /proc/"$1"/task/*/status; do
        awk -v tid="$(basename "$(dirname "$s")")" '
            /^Name:/ { name = $2 }
            /_ctxt_switches:/ { n += $2 }
            END { print tid, name, n + 0 }' "$s" 2>/dev/null
    done
}
# measure LABEL PID [LABEL2 PID2...]: samples every PID for SECONDS_MEASURED and prints
# the figures, the first process's first and the others' indented under it.
measure() {
    local -a labels=() pids=()
    local i t0=() t1=()
    while [ $# -ge 2 ]; do labels+=("$1"); pids+=("$2"); shift 2; done
    for i in "${!pids[@]}"; do
        t0[i]=$(ticks "${pids[i]}")
        switches "${pids[i]}" >"$WORK/sw0.$i"
    done
    sleep "$SECONDS_MEASURED"
    for i in "${!pids[@]}"; do
        t1[i]=$(ticks "${pids[i]}")
        switches "${pids[i]}" >"$WORK/sw1.$i"
    done
    for i in "${!pids[@]}"; do
        report "${labels[i]}" $((t1[i] - t0[i])) "$WORK/sw0.$i" "$WORK/sw1.$i"
    done
}
# report LABEL TICKS BEFORE AFTER: the process line, then one line per thread.
report() {
    awk -v label="$1" -v ticks="$2" -v hz="$HZ" -v s="$SECONDS_MEASURED" '
        FNR == NR { before[$1] = $3; next }
        { d = $3 - before[$1]; total += d; line[++n] = sprintf("    thread %-7s %-16s %8.1f wake-ups/s", $1, $2, d / s) }
        END {
            printf "%-44s CPU %5.2f %% of a core (%d ticks in %d s)  %7.1f wake-ups/s\n",
                label, 100 * ticks / hz / s, ticks, s, total / s
            if (label !~ /^\.\./) for (i = 1; i <= n; i++) print line[i]
        }' "$3" "$4"
}

WORK=$(mktemp -d)
SIM_PID=""
cleanup_linux() {
    tmux -L "$SOCKET" kill-server 2>/dev/null
    sleep 0.5  # the program cleans up its TEMP folder as it goes
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
    rm -rf "$WORK"
}

# ---- Linux build in tmux -------------------------------------------------------------------
linux_run() {
    SOCKET="kqidle$$"
    trap cleanup_linux EXIT
    tm() { tmux -L "$SOCKET" "$@"; }
    shows() { tm capture-pane -p -t kq 2>/dev/null | grep -qF -- "$1"; }
    wait_shows() {  # TEXT SECONDS
        local deadline=$((SECONDS + $2))
        until shows "$1"; do [ $SECONDS -ge $deadline ] && { echo "idle_prompts: no \"$1\" on the screen" >&2; return 1; }; sleep 0.2; done
    }
    key() { tm send-keys -t kq "$1"; sleep 0.3; }  # slower than the key hold
    start() {  # devices folder (each run a tmux server of its own)
        tm kill-server 2>/dev/null
        SOCKET="kqidle$$-$RANDOM"
        rm -rf "$WORK/run" && mkdir -p "$WORK/run"
        tm new-session -d -s kq -x 100 -y 42 -c "$WORK/run" \
            "env LANG=C.UTF-8 KQUSB_DEVICES=$1 XDG_CONFIG_HOME=$WORK/config XDG_STATE_HOME=$WORK/state '$BUILD/kqsfupdt'"
        wait_shows "Process:" 10 || return 1
        PID=$(tm list-panes -t kq -F '#{pane_pid}')
    }
    if wanted boot; then
        mkdir -p "$WORK/none"
        start "$WORK/none" || return 1
        key F10; key Enter
        wait_shows "3: GERMAN" 10 && sleep 0.5 && key Enter
        wait_shows "put BOOT-Jumper, switch on, [ENTER] continue..." 30 || return 1
        sleep 1
        measure "Linux, BOOT-jumper prompt (Update Console)" "$PID"
    fi
    if wanted question; then
        mkdir -p "$WORK/devices"
        "$BUILD/kqsim" --dir="$WORK/devices" --timing=fast --console --remote >"$WORK/kqsim.log" 2>&1 &
        SIM_PID=$!
        for _ in $(seq 50); do compgen -G "$WORK/devices/*/PIPE01" >/dev/null && break; sleep 0.1; done
        start "$WORK/devices" || return 1
        key F10; key Down; key Down; key Down; key Enter
        # The prompt shows just before its wait starts; a person reads it first.
        wait_shows "Push [ENTER] on PC-Keyboard to continue" 20 && sleep 0.5 && key Enter
        wait_shows "Remote update? [ENTER] yes, [->] no" 30 || return 1
        sleep 1
        measure "Linux, question (Update Remote, kqsim)" "$PID"
    fi
}

# ---- Windows build under Wine ----------------------------------------------------------------
wine_run() {
    rm -rf "$WORK"
    EXE=$(realpath "$1")
    # shellcheck source=../tests/e2e/wine_common.sh
    . "$ROOT/tests/e2e/wine_common.sh"
    wine_start
    KQSIM="$BUILD/kqsim"
    prefix_process() {  # NAME
        local p
        for p in $(pgrep -x "$1"); do
            grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$p/environ" 2>/dev/null && { echo "$p"; return; }
        done
    }
    # The Wine process that runs the program, and the prefix's wineserver.
    wine_pids() {
        PID=$(prefix_process Kqsfupdt.exe)
        SERVER=$(prefix_process "wineserver(64)?")
        # Wine's own processes in the prefix (explorer.exe, services.exe...), for the record;
        # they are shown without their threads.
        OTHERS=""
        local p
        for p in $(pgrep -u "$(id -u)"); do
            [ "$p" = "$PID" ] || [ "$p" = "$SERVER" ] && continue
            grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$p/environ" 2>/dev/null || continue
            case $(cat "/proc/$p/comm" 2>/dev/null) in *.exe | *.EXE) OTHERS+=" ..$(cat "/proc/$p/comm") $p" ;; esac
        done
    }
    if wanted boot; then
        run_program boot
        [ -n "$WIN" ] || { echo "idle_prompts: the program did not start under Wine" >&2; return 1; }
        wait_for 20 help_shown
        probe command 101 >/dev/null
        wait_for 20 eval 'DIALOG=$(window_named "Select Languages to Install"); [ -n "$DIALOG" ]'
        xdotool key --window "$DIALOG" Return 2>/dev/null
        wait_for 40 prompt_shown 59 || { echo "idle_prompts: no BOOT-jumper prompt under Wine" >&2; return 1; }
        sleep 1
        wine_pids
        measure "Wine, BOOT-jumper prompt (Update Console)" "$PID" "  its wineserver" "$SERVER" $OTHERS
        probe close >/dev/null
        finish_app 30
    fi
    if wanted question; then
        start_sim --console --remote
        run_program question
        [ -n "$WIN" ] || { echo "idle_prompts: the program did not start under Wine" >&2; return 1; }
        wait_for 20 help_shown
        probe command 105 >/dev/null
        answer "$PUSH_ENTER_LENGTH" Return 30 || { echo "idle_prompts: no connect prompt under Wine" >&2; return 1; }
        wait_for 30 prompt_shown 35 || { echo "idle_prompts: no question under Wine" >&2; return 1; }
        sleep 1
        wine_pids
        measure "Wine, question (Update Remote, kqsim)" "$PID" "  its wineserver" "$SERVER" $OTHERS
        probe close >/dev/null
        finish_app 30
    fi
}

if [ "$WINE" = 1 ]; then
    [ $# -ge 2 ] || { echo "idle_prompts.sh: --wine needs the Windows program (EXE)" >&2; exit 2; }
    wine_run "$2"
else
    linux_run
fi
