# wine_common.sh - what the Wine end-to-end checks share, sourced by them: PASS/FAIL
# lines, polling waits, a private Xvfb display and Wine prefix, the probe program,
# and starting and ending the program under test. The caller sets EXE first.
#   WORK   scratch folder, removed at exit     OUT    screenshots, kept (e2e/ beside EXE)
#   HERE   this folder                         REPO   the repository

HERE=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
REPO=$(cd "$HERE/../.." && pwd)
OUT=$(dirname "$EXE")/e2e
WORK=$(mktemp -d /tmp/kq-wine.XXXXXX)
mkdir -p "$OUT"

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

XVFB_PID=""
APP_PID=""
EXTRA_PIDS=()
cleanup() {
    [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null
    [ ${#EXTRA_PIDS[@]} -gt 0 ] && kill "${EXTRA_PIDS[@]}" 2>/dev/null
    [ -n "${WINEPREFIX:-}" ] && timeout 20 wineserver -k 2>/dev/null
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# wait_for SECONDS COMMAND...: polls the command every 0.2 s until it succeeds.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.2
    done
}

# start_display: a private Xvfb on a free display; exits the script when it fails.
start_display() {
    local n
    for n in $(seq 91 199); do
        if [ ! -e /tmp/.X$n-lock ] && [ ! -e /tmp/.X11-unix/X$n ]; then
            DISPLAY_NUMBER=$n
            break
        fi
    done
    Xvfb ":$DISPLAY_NUMBER" -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    export DISPLAY=":$DISPLAY_NUMBER"
    if ! wait_for 15 xdpyinfo >/dev/null 2>&1; then
        fail "Xvfb starts on display $DISPLAY"
        summary
        exit 1
    fi
}

# make_prefix: a fresh 64-bit Wine prefix without Mono or Gecko prompts. The program's
# language follows the user's, which Wine takes from the locale variables; runs are
# English unless APP_LOCALE says otherwise (the locale need not exist on the host).
APP_LOCALE=en_US.UTF-8
make_prefix() {
    export WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
    timeout 120 wineboot -i >"$WORK/wineboot.log" 2>&1
    timeout 60 wineserver -w
}

# build_probe: the probe program (client size, close, post a command, box text).
PROBE="$WORK/wine_probe.exe"
build_probe() {
    if ! x86_64-w64-mingw32-gcc -O2 -o "$PROBE" "$HERE/wine_probe.c" 2>"$WORK/build.log"; then
        cat "$WORK/build.log"
        fail "the probe program builds"
        summary
        exit 1
    fi
}
probe() { timeout 30 wine "$PROBE" "$@" 2>/dev/null | tr -d '\r'; }
winpath() { echo "Z:${1//\//\\}"; }

# start_app DIR EXE ARGS...: runs the program in DIR (as its current directory).
start_app() {
    local dir=$1 exe=$2
    shift 2
    (cd "$dir" && exec env LC_ALL="$APP_LOCALE" LANG="$APP_LOCALE" wine "$exe" "$@" >/dev/null 2>&1) &
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
