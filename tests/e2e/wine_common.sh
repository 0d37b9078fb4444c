# wine_common.sh - what the Wine end-to-end checks share. A check sources it straight
# after its opening comment and calls wine_begin; everything else here works on what
# that sets.
#
# The preamble:
#   wine_begin "EXE:Kqsfupdt.exe VAR:what..." "$@"
#       The arguments as take_args (args.sh) reads them (-h or --help prints the
#       script's opening comment and runs nothing); EXE, the program under test, is
#       swapped for its x86_64 twin where Wine runs no 32-bit code (exit 77, skipped,
#       when there is none). Then a private Xvfb display (XVFB_SIZE, when set before),
#       a fresh Wine prefix and the probe program (wine_start); at exit all of it is ended.
#   WORK   scratch folder, removed at exit     OUT    screenshots, kept (e2e/ beside EXE)
#   HERE   this folder                         REPO   the repository
# (A script that sets EXE before sourcing this file gets WORK, OUT and the clean-up at
# once, and calls wine_start itself.)
# Then: PASS/FAIL lines, polling waits, starting and ending the program under test,
# screenshots read as text rows, keys, and kqsim behind the program (start_sim).
#
# Nothing here waits without end. Every wait has its bound, and gives up at once when
# the program under test has ended; the X clients (xdotool, import, xwininfo) run
# under timeout and are never given a window that is not there (import and xwininfo
# would wait for a click on one). A program whose main window never shows ends the
# check within seconds, with what a look at the failure needs kept in
# $OUT/CHECK-RUN-no-window/ and said in one line (window_missing).

HERE=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
REPO=$(cd "$HERE/../.." && pwd)
CHECK=$(basename "$0" .sh)
WINE_CHECK=1  # kqlink_priority.sh: raise the program once its window shows, not the check
# shellcheck source=wine_arch.sh
. "$HERE/wine_arch.sh"
# shellcheck source=args.sh
. "$HERE/args.sh"
set -u
wine_setup() {
    EXE=$(wine_testable_exe "$EXE") || exit 77
    OUT=$(dirname "$EXE")/e2e
    WORK=$(mktemp -d /tmp/kq-wine.XXXXXX)
    mkdir -p "$OUT"
    DEVICES="$WORK/devices"
    trap cleanup EXIT
    trap 'exit 130' INT TERM
}
wine_begin() {
    take_args "$@"
    wine_setup
    wine_start
}
wine_start() { start_display; make_prefix; find_probe; }

PASSED=0
FAILED=0
pass() { PASSED=$((PASSED + 1)); echo "PASS $1"; }
fail() { FAILED=$((FAILED + 1)); echo "FAIL $1"; }
# check NAME COMMAND...: PASS when the command succeeds.
check() {
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}
summary() {
    echo "$PASSED passed, $FAILED failed"
    [ "$FAILED" -eq 0 ]
}

# beside NAME SCRIPT ARGS...: another Wine check at the same time, in a display and a
# prefix of its own, for a part whose waits (on the console's time-outs) would otherwise
# come after this check's own. join_beside waits for it and takes its PASS and FAIL
# lines as this check's, each led by NAME; a check that ends without its summary line
# (a crash, a time-out) is a failure.
BESIDE_PID="" BESIDE_NAME=""
beside() {
    BESIDE_NAME=$1
    shift
    bash "$@" >"$WORK/beside-$BESIDE_NAME.txt" 2>&1 &
    BESIDE_PID=$!
    EXTRA_PIDS+=("$BESIDE_PID")
}
join_beside() {
    local line code
    wait "$BESIDE_PID"
    code=$?
    while IFS= read -r line; do
        case "$line" in
        PASS\ *) pass "$BESIDE_NAME: ${line#PASS }" ;;
        FAIL\ *) fail "$BESIDE_NAME: ${line#FAIL }" ;;
        [0-9]*\ passed,\ [0-9]*\ failed) ;;
        *) echo "$line" ;;
        esac
    done <"$WORK/beside-$BESIDE_NAME.txt"
    grep -qE '^[0-9]+ passed, [0-9]+ failed$' "$WORK/beside-$BESIDE_NAME.txt" ||
        fail "$BESIDE_NAME: the check ends with its summary (exit code $code)"
}

XVFB_PID=""
APP_PID=""
HOLD_PID=""
EXTRA_PIDS=()
cleanup() {
    [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null
    [ -n "$HOLD_PID" ] && kill "$HOLD_PID" 2>/dev/null
    [ ${#EXTRA_PIDS[@]} -gt 0 ] && kill "${EXTRA_PIDS[@]}" 2>/dev/null
    [ -n "${WINEPREFIX:-}" ] && timeout 20 wineserver -k 2>/dev/null
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    # KQ_KEEP_WORK=1 keeps the logs, the prefix and the screenshots for a look afterwards.
    if [ -n "${KQ_KEEP_WORK:-}" ]; then echo "kept $WORK"; else rm -rf "$WORK"; fi
}

# wait_for SECONDS COMMAND...: polls the command every 0.2 s until it succeeds. Once the
# program under test has ended, it looks once more and gives up: nothing it was to do
# will come.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -ge $deadline ] && return 1
        if app_ended; then
            "$@" && return 0
            echo "  (the program has ended: no use waiting)"
            return 1
        fi
        sleep 0.2
    done
}
app_ended() { [ -n "$APP_PID" ] && ! kill -0 "$APP_PID" 2>/dev/null; }

# ---- X clients, bounded -----------------------------------------------------------------
# These stand in for the programs of the same names: each runs under timeout, and import
# and xwininfo refuse an empty window id, with which they would wait for a mouse click.
X_SECONDS=15
no_empty_window() {
    while [ $# -gt 1 ]; do
        case $1 in -window | -id) [ -n "$2" ] || return 1 ;; esac
        shift
    done
}
xdotool() { timeout "$X_SECONDS" xdotool "$@"; }
import() { no_empty_window "$@" && timeout "$X_SECONDS" import "$@"; }
xwininfo() { no_empty_window "$@" && timeout "$X_SECONDS" xwininfo "$@"; }

# start_display: a private Xvfb on a free display (XVFB_SIZE, 1024x768 unless the
# caller says otherwise); exits the script when it fails.
# Xvfb picks the display number itself and writes it to the file: two checks that
# start at the same moment never share a display (and each other's windows).
start_display() {
    Xvfb -displayfd 3 -screen 0 "${XVFB_SIZE:-1024x768}x24" -nolisten tcp 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    if ! wait_for 15 grep -qs "^[0-9]" "$WORK/display"; then
        fail "Xvfb starts"
        summary
        exit 1
    fi
    DISPLAY_NUMBER=$(head -n 1 "$WORK/display")
    export DISPLAY=":$DISPLAY_NUMBER"
    if ! wait_for 15 xdpyinfo >/dev/null 2>&1; then
        fail "Xvfb starts on display $DISPLAY"
        summary
        exit 1
    fi
}

# make_prefix: a fresh 64-bit Wine prefix without Mono or Gecko prompts. With wine32
# installed it runs the 32-bit programs too (their System32 is the prefix's syswow64). The program's
# language follows the user's, which Wine takes from the locale variables; runs are
# English unless APP_LOCALE says otherwise (the locale need not exist on the host).
APP_LOCALE=en_US.UTF-8
# KQ_WINE_TEMPLATE names a prefix made once per test run (wine_template.sh): it is
# copied (wine_copy.sh), which takes a fraction of the time wineboot needs.
make_prefix() {
    export WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
    if [ -n "${KQ_WINE_TEMPLATE:-}" ] && [ -f "$KQ_WINE_TEMPLATE/system.reg" ]; then
        "$HERE/wine_copy.sh" "$KQ_WINE_TEMPLATE" "$WINEPREFIX" && return
    fi
    timeout 120 wineboot -i >"$WORK/wineboot.log" 2>&1
    timeout 60 wineserver -w
}

# find_probe: the probe program (client size, close, post a command, box text), PROBE.
find_probe() {
    PROBE=$(wine_probe_path wine_probe) || { fail "the probe program is built"; summary; exit 1; }
}
probe() { timeout 30 wine "$PROBE" "$@" 2>/dev/null | tr -d '\r'; }
winpath() { echo "Z:${1//\//\\}"; }

# start_app DIR EXE ARGS...: runs the program in DIR (as its current directory), its
# standard error in DIR.stderr with the Wine channels of APP_WINEDEBUG: exceptions and
# process starts traced (the helpers Wine starts with it inherit them), errors of every
# channel (Wine's default) kept, each line with its time.
APP_WINEDEBUG=fixme-all,+timestamp,+seh,+process
start_app() {
    local dir=$1 exe=$2
    shift 2
    (cd "$dir" && exec env LC_ALL="$APP_LOCALE" LANG="$APP_LOCALE" WINEDEBUG="$APP_WINEDEBUG" \
        wine "$exe" "$@" >/dev/null 2>"$dir.stderr") &
    APP_PID=$!
}
# finish_app SECONDS: waits for the program to end; sets APP_CODE ("timeout" if not).
finish_app() {
    if wait_for "$1" eval '! kill -0 $APP_PID 2>/dev/null'; then
        wait "$APP_PID"
        APP_CODE=$?
    else
        APP_CODE=timeout
        kill "$APP_PID" 2>/dev/null
    fi
    APP_PID=""
}
window_named() { xdotool search --name "$1" 2>/dev/null | head -n 1; }
title_is() { [ "$(xdotool getwindowname "$1" 2>/dev/null)" = "$2" ]; }
# What the main window's title holds. KQ_MAIN_WINDOW names another, to see a check fail
# as it does when the window never shows.
MAIN_WINDOW=${KQ_MAIN_WINDOW:-CORVINA Updater}
START_SECONDS=40
# run_program NAME ARGS...: the program in the folder $WORK/NAME (RUN, made when it is
# not there), on a desktop that is up (start_desktop), and its main window once it
# shows (WIN). A window that never shows ends the check (window_missing).
run_program() {
    RUN="$WORK/$1"
    shift
    mkdir -p "$RUN"
    start_desktop
    start_app "$RUN" "$EXE" "$@"
    WIN=""
    wait_for "$START_SECONDS" eval 'WIN=$(window_named "$MAIN_WINDOW"); [ -n "$WIN" ]' ||
        window_missing
    end_hold
    if [ -n "$APP_PRIORITY" ]; then raise_priority "$APP_PID" $(own_wineserver); fi
}
# APP_PRIORITY (set by a check that sources kqlink_priority.sh) raises the program and
# this prefix's wineserver, which carries every wait and pipe read the program makes.
APP_PRIORITY=""
own_wineserver() {
    local pid
    for pid in $(pgrep -x wineserver64; pgrep -x wineserver); do
        tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
    done
}

# File > Update Console, and OK (the default button) in the language dialog (DIALOG)
# once it shows.
update_console() {
    key alt+f Return
    wait_for 20 eval 'DIALOG=$(window_named "Select Languages to Install"); [ -n "$DIALOG" ]'
    [ -n "$DIALOG" ] && xdotool key --window "$DIALOG" Return 2>/dev/null
}
# close_app: the program asked to close (the probe), and its end waited for.
close_app() { probe close >/dev/null; finish_app 30; }

# ---- Wine's desktop, before the program ---------------------------------------------------
# The first program of a Wine session starts the desktop process (explorer.exe) and
# waits 10 s for it. A desktop later than that (its display or the machine held up for a
# moment) leaves that program, and every later one of the session, without a display
# driver: it runs, and its window never shows ("The explorer process failed to start"
# in its standard error). So a stand-in starts the session first (the probe's hidden
# window, HOLD_PID), and the program starts once the desktop's windows are on the
# display; a desktop that is not there within DESKTOP_SECONDS is ended with its session
# and started once more. The stand-in holds the session until the program's window shows.
DESKTOP_SECONDS=20
desktop_up() { xwininfo -root -tree 2>/dev/null | grep -qF '("explorer.exe" '; }
start_desktop() {
    local try deadline
    for try in 1 2; do
        (exec env WINEDEBUG="$APP_WINEDEBUG" wine "$PROBE" desktop 120 >/dev/null 2>>"$WORK/desktop.stderr") &
        HOLD_PID=$!
        deadline=$((SECONDS + DESKTOP_SECONDS))
        until desktop_up; do
            [ $SECONDS -ge $deadline ] && break
            sleep 0.2
        done
        desktop_up && return 0
        echo "  (Wine's desktop is not up after $DESKTOP_SECONDS s: its session is started again)"
        end_hold
        timeout 20 wineserver -k 2>/dev/null
    done
}
end_hold() {
    [ -n "$HOLD_PID" ] || return 0
    kill "$HOLD_PID" 2>/dev/null
    wait "$HOLD_PID" 2>/dev/null
    HOLD_PID=""
}

# ---- When the main window never shows -------------------------------------------------
# window_missing: keeps in $OUT/CHECK-RUN-no-window/ the whole X screen (screen.png),
# the program's standard error (stderr.txt), the windows X and Wine know (windows.txt)
# and the processes with their threads (processes.txt), says in one line what they
# show, and ends the check: every later step needs the window.
window_missing() {
    local kept="$OUT/$CHECK-$(basename "$RUN")-no-window" state x_names wine_main temp last
    rm -rf "$kept" && mkdir -p "$kept"
    import -window root "$kept/screen.png" 2>/dev/null
    cp "$RUN.stderr" "$kept/stderr.txt" 2>/dev/null
    cp "$WORK/desktop.stderr" "$kept/desktop-stderr.txt" 2>/dev/null
    {
        echo "== X (xwininfo -root -tree)"
        xwininfo -root -tree 2>&1
        echo "== Wine (top-level windows)"
        timeout 10 wine "$PROBE" windows 2>&1 | tr -d '\r' || echo "(no answer within 10 s)"
    } >"$kept/windows.txt"
    if kill -0 "$APP_PID" 2>/dev/null; then
        state="is running ($(ps -o stat=,nlwp= -p "$APP_PID" | awk '{print "state " $1 ", " $2 " threads"}'))"
        ps -L -o pid,tid,stat,wchan:32,comm -p "$APP_PID" >"$kept/processes.txt"
    else
        wait "$APP_PID"
        state="ended with exit code $?"
    fi
    APP_PID=""
    { echo "== the check's processes"; descendants; } >>"$kept/processes.txt"
    end_hold
    x_names=$(awk -F'"' '/^     0x/ && NF > 2 && !seen[$2]++ { printf "%s\"%s\"", n++ ? ", " : "", $2 }' "$kept/windows.txt")
    wine_main=$(grep -m 1 'class "Kqsfupdt"' "$kept/windows.txt" | sed 's/.* \(visible\|hidden\) class "Kqsfupdt" title \(".*"\)/\1, titled \2/')
    if [ -s "$RUN/TEMP/kqmon.fnt" ]; then temp="TEMP/kqmon.fnt written"; else temp="no TEMP/kqmon.fnt"; fi
    last=$(grep -v '^ *$' "$kept/stderr.txt" 2>/dev/null | tail -n 1 | cut -c1-160)
    fail "$(basename "$RUN"): no window named \"$MAIN_WINDOW\" within $START_SECONDS s; the program $state,\
 $temp; Wine's window of class Kqsfupdt: ${wine_main:-none}; X's top-level windows: ${x_names:-none};\
 last of stderr: ${last:-nothing}; kept in $kept"
    summary
    exit 1
}
# descendants: the processes this script started, and theirs, one a line.
descendants() {
    ps -e -o pid=,ppid=,stat=,etime=,wchan:24=,args= | awk -v top=$$ '
        { line[$1] = $0; parent[$1] = $2 }
        END {
            for (p in line) {
                for (q = p; q in parent && q != top; q = parent[q]) {}
                if (q == top && p != top) print line[p]
            }
        }' | sort -n
}

# Rows of the text screen that show the English help text (rows 0 to 35, 11 pixels
# each from y = 1): the rest, blank lines included, must stay white.
HELP_ROWS=" 0 1 2 3 5 7 8 9 10 11 12 13 14 15 16 17 19 20 21 22 23 "
# screen_rows_match PNG: each text row has dark pixels exactly when it should. The
# rows are averaged 11 pixel lines at a time, from y = 1, in one pass: a band that
# is all white averages to the full value, one dark pixel brings it below. A picture
# of the screen at a higher scale is first taken back to one pixel per block.
screen_rows_match() {
    local bad
    bad=$(convert "$1" -sample '640x396!' -crop 640x396+0+1 +repage -colorspace Gray -threshold 50% \
        -scale '1x36!' -depth 16 txt:- 2>/dev/null |
        awk -v rows="$HELP_ROWS" '
            /^[0-9]+,[0-9]+:/ {
                split($1, at, /[,:]/); r = at[2]; seen++
                split($2, v, /[(,)]/); ink = v[2] + 0 < 65535
                text = index(rows, " " r " ") > 0
                if (ink && !text) printf " %d(ink)", r
                if (!ink && text) printf " %d(blank)", r
            }
            END { if (seen != 36) printf " unreadable" }')
    [ -z "$bad" ] || { echo "  rows not as the help text:$bad"; return 1; }
}
# shoot PNG: a picture of the client area of the main window (WIN). Without a window
# manager the X window holds the menu bar and the client area; the client area is its
# bottom-left 640 x 396, times SCREEN_SCALE when the text screen is drawn larger.
SCREEN_SCALE=1
shoot() {
    [ -n "$WIN" ] && import -window "$WIN" "$WORK/window.png" 2>/dev/null &&
        convert "$WORK/window.png" -gravity SouthWest \
            -crop "$((640 * SCREEN_SCALE))x$((396 * SCREEN_SCALE))+0+0" +repage "$1"
}

# ---- kqsim behind the program (set KQSIM first) ------------------------------------------
# start_sim OPTIONS...: kqsim with fast timing in $WORK/devices, its flash saved at exit
# into $WORK/flash/, its interfaces registered in the prefix as the driver would.
SIM_PID=""
start_sim() {
    rm -rf "$DEVICES" "$WORK/flash" && mkdir -p "$WORK/flash"
    "$KQSIM" --dir="$DEVICES" --timing=fast --save-flash="$WORK/flash/" "$@" >"$WORK/kqsim.log" 2>&1 &
    SIM_PID=$!
    EXTRA_PIDS+=("$SIM_PID")
    wait_for 10 eval '[ -p "$DEVICES/usb#vid_1d2b&pid_0001#0001/PIPE01" ]'
    bash "$REPO/tools/wine_register_devices.sh" "$WINEPREFIX" "$DEVICES" >"$WORK/register.log" 2>&1
}
stop_sim() {
    local tries=50
    kill -TERM "$SIM_PID" 2>/dev/null
    while kill -0 "$SIM_PID" 2>/dev/null && [ $((tries -= 1)) -gt 0 ]; do sleep 0.2; done
    kill -0 "$SIM_PID" 2>/dev/null && kill -KILL "$SIM_PID"
    wait "$SIM_PID" 2>/dev/null
}
sim_count() { grep -cE -- "$1" "$WORK/kqsim.log"; }
sim_has() { grep -qE -- "$1" "$WORK/kqsim.log"; }
# key KEY...: typed into the program's window, for its menus and dialogs, which take
# keys as window messages.
key() {
    local k
    [ -n "$WIN" ] || return 1
    for k in "$@"; do
        xdotool key --window "$WIN" "$k" 2>/dev/null
        sleep 0.2  # the next key of a sequence goes to what this one opened
    done
}

# ---- Keys as the program's prompts read them ------------------------------------------------
# The prompts and monitors read the keyboard's state (GetAsyncKeyState), not messages: a
# press counts only while the key is down, and a monitor looks at it once per cycle.
# xdotool's own press lasts a few milliseconds; a person holds a key about a tenth of a
# second and never presses it again sooner than PRESS_GAP_MS after letting it go.
PRESS_HOLD_MS=300
PRESS_GAP_MS=120
declare -A RELEASED_AT=()
# shellcheck source=clock.sh
. "$HERE/clock.sh"
# press KEY [after MS]: held PRESS_HOLD_MS, then let go.
press() {
    local k=$1 at=${3:-0} last=${RELEASED_AT[$1]:-0}
    [ -n "$WIN" ] || return 1
    [ $((last + PRESS_GAP_MS)) -gt "$at" ] && at=$((last + PRESS_GAP_MS))
    sleep_until_ms "$at"
    xdotool keydown --window "$WIN" "$k" 2>/dev/null
    sleep "0.$(printf '%03d' "$PRESS_HOLD_MS")"
    xdotool keyup --window "$WIN" "$k" 2>/dev/null
    RELEASED_AT[$k]=$(now_ms)
}
# screen_ink PNG: "ROW FIRST LAST" for each text row with ink, the cells (0 to 79) of
# its first and last inked character.
screen_ink() {
    convert "$1" -crop 640x396+0+1 +repage -colorspace Gray -threshold 50% -negate \
        -scale '80x36!' -depth 16 txt:- 2>/dev/null |
        awk '/^[0-9]+,[0-9]+:/ {
                 split($1, at, /[,:]/); split($2, v, /[(,)]/)
                 if (v[2] + 0 == 0) next
                 c = at[1] + 0; r = at[2] + 0
                 if (!(r in first) || c < first[r]) first[r] = c
                 if (c > last[r]) last[r] = c
             }
             END { for (r in first) print r, first[r], last[r] }' | sort -n
}
# prompt_shown LENGTH: the last row with text holds a line of LENGTH characters from
# the left edge, as the prompt just printed does ("Push [ENTER] on PC-Keyboard to
# continue" is 39): the program prints a prompt just before it waits for its key.
prompt_shown() {
    shoot "$WORK/prompt.png" || return 1
    local row first last
    read -r row first last < <(screen_ink "$WORK/prompt.png" | tail -n 1)
    [ "${first:-x}" = 0 ] && [ "${last:-x}" = $(($1 - 1)) ]
}
PUSH_ENTER_LENGTH=39  # "Push [ENTER] on PC-Keyboard to continue"
# answer LENGTH KEY SECONDS: once the prompt shows, KEY pressed as a person would.
answer() {
    wait_for "$3" prompt_shown "$1" || return 1
    press "$2" after $(($(now_ms) + PRESS_GAP_MS))
}
log_has() { grep -qF -- "$1" "$RUN/TEMP/log.txt" 2>/dev/null; }
# The help text on the screen: the program is idle and takes the menu.
help_shown() { shoot "$WORK/idle.png" && screen_rows_match "$WORK/idle.png" >/dev/null; }

if [ -n "${EXE:-}" ]; then wine_setup; fi
