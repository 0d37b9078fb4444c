# term_common.sh - what the terminal checks share. A check sources it straight after its
# opening comment and calls term_begin; everything else here works on what that sets.
#
# The preamble:
#   term_begin "VAR:what VAR:what..." "$@"
#       The arguments as take_args (args.sh) reads them: -h or --help prints the
#       script's opening comment and runs nothing; each VAR is set to its argument as
#       an absolute path. Sets ROOT (the repository), WORK
#       (a scratch folder, removed at exit unless KQ_KEEP is set), SOCKET (a private
#       tmux server), and at exit ends that server, kqsim and every PID in HOLDERS.
#   start_sim OPTIONS...  kqsim (SIM) serving $WORK/devices with fast timing, its log in
#       $WORK/kqsim.log, each device's flash saved into $WORK/flash/ when it stops;
#       returns once an interface's pipes are there. stop_sim ends it and waits.
#   start_kq ARGS...  the program (BIN) in the tmux window "kq", 100 x 42, run in a
#       fresh $WORK/run with KQUSB_DEVICES=$WORK/devices, XDG_CONFIG_HOME=$WORK/config,
#       XDG_STATE_HOME=$WORK/state and the words of KQ_ENV; its exit code lands in $WORK/run/exitcode. Returns
#       once the help text shows; a program that shows none within 10 s ends the check
#       (every later step needs it), with its screen.
#   term_end  prints "N passed, M failed"; its status is the script's verdict.
#
# Then: one line per check and the counts, the program's screen in the tmux window
# "kq" (KQ_PANE names another), waits for screen states instead of sleeps, and keys
# pressed as a person presses them. A script may redefine screen (to join wrapped
# lines, or keep a transcript) or wait_for after sourcing.
set -u
PASSED=0
FAILED=0
TERM_COMMON_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

ROOT=$(cd "$TERM_COMMON_DIR/../.." && pwd)
# shellcheck source=args.sh
source "$TERM_COMMON_DIR/args.sh"
HOLDERS=()
SIM_PID=""
CONSOLE="usb#vid_1d2b&pid_0001#0001"  # the interface of kqsim's first console
term_begin() {
    take_args "$@"
    WORK=$(mktemp -d)
    # The program's service record goes into the check's own folder, never the real home.
    export XDG_STATE_HOME="$WORK/state"
    SOCKET="kq$(basename "$0" .sh)$$"
    trap term_cleanup EXIT
}
term_cleanup() {
    tm kill-server 2>/dev/null
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null
    [ ${#HOLDERS[@]} -gt 0 ] && kill "${HOLDERS[@]}" 2>/dev/null
    if [ -n "${KQ_KEEP:-}" ]; then echo "   (kept $WORK)"; else rm -rf "$WORK"; fi
}
term_end() {
    echo "$PASSED passed, $FAILED failed"
    [ "$FAILED" -eq 0 ]
}

start_sim() {  # kqsim options...
    [ -f "$WORK/kqsim.log" ] && cat "$WORK/kqsim.log" >>"$WORK/kqsim-all.log"
    rm -rf "$WORK/devices" "$WORK/flash" && mkdir -p "$WORK/devices" "$WORK/flash"
    "$SIM" --dir="$WORK/devices" --timing=fast --save-flash="$WORK/flash/" "$@" >"$WORK/kqsim.log" 2>&1 &
    SIM_PID=$!
    pipes_appear
}
pipes_appear() {  # an interface's PIPE01 within 5 s
    for _ in $(seq 50); do compgen -G "$WORK/devices/*/PIPE01" >/dev/null && return 0; sleep 0.1; done
    return 1
}
stop_sim() {  # kqsim ends on TERM within 10 s, or is killed
    local tries=100
    kill -TERM "$SIM_PID" 2>/dev/null
    while kill -0 "$SIM_PID" 2>/dev/null && [ $((tries -= 1)) -gt 0 ]; do sleep 0.1; done
    kill -0 "$SIM_PID" 2>/dev/null && kill -KILL "$SIM_PID"
    wait "$SIM_PID" 2>/dev/null
    SIM_PID=""
}
start_kq() {  # program arguments...
    tm kill-server 2>/dev/null
    rm -rf "$WORK/run" && mkdir -p "$WORK/run"
    tm new-session -d -s kq -x 100 -y 42 -c "$WORK/run" \
        "env LANG=C.UTF-8 KQUSB_DEVICES=$WORK/devices XDG_CONFIG_HOME=$WORK/config XDG_STATE_HOME=$WORK/state ${KQ_ENV:-} \
         sh -c '\"$BIN\" $*; echo EXIT=\$? > exitcode'"
    wait_for "Process:" 10 && return 0
    check "the program shows its help text within 10 s" false
    term_end
    exit 1
}

tm() { tmux -L "$SOCKET" "$@"; }
# within SECONDS COMMAND...: true as soon as the command is (asked every 0.1 s).
within() {
    local deadline=$((SECONDS + $1))
    shift
    while [ $SECONDS -le "$deadline" ]; do "$@" && return 0; sleep 0.1; done
    return 1
}
check() {
    local what=$1
    shift
    if "$@"; then echo "ok   - $what"; PASSED=$((PASSED + 1)); else echo "FAIL - $what"; FAILED=$((FAILED + 1)); fi
}
screen() { tm capture-pane -p -t "${KQ_PANE:-kq}" 2>/dev/null; }
shows() { screen | grep -qF -- "$1"; }
wait_for() {  # TEXT SECONDS
    local deadline=$((SECONDS + $2))
    while [ $SECONDS -lt $deadline ]; do shows "$1" && return 0; sleep 0.1; done
    echo "   (waited $2 s for \"$1\"; the screen was:)"; screen | sed 's/^/   | /'
    return 1
}

# ---- Keys ------------------------------------------------------------------------------
# A terminal reports presses, never releases, so the program counts a key as held for
# KEY_HOLD_MS after it reads it: a second press of the same key within that time only
# prolongs the first (as auto-repeat does). A person never presses a key twice that
# fast; the checks keep at least KEY_GAP_MS between two presses of one key.
KEY_HOLD_MS=$(sed -n 's/^const int KEY_HOLD_MS = \([0-9][0-9]*\);.*/\1/p' \
    "$TERM_COMMON_DIR/../../src/platform/posix/posix.h")
if [ -z "$KEY_HOLD_MS" ]; then
    echo "term_common.sh: KEY_HOLD_MS not found in src/platform/posix/posix.h" >&2
    exit 1
fi
KEY_GAP_MS=$((KEY_HOLD_MS + 60))
declare -A KEY_PRESSED_AT=()

# shellcheck source=clock.sh
source "$TERM_COMMON_DIR/clock.sh"
# press KEY... [after MS]: each key typed once, no sooner than KEY_GAP_MS after the
# last press of the same key (and after the time MS, when given with "after").
press() {
    local k not_before=0
    if [ "${1:-}" = after ]; then not_before=$2; shift 2; fi
    for k in "$@"; do
        local last=${KEY_PRESSED_AT[$k]:-0} at=$not_before
        [ $((last + KEY_GAP_MS)) -gt "$at" ] && at=$((last + KEY_GAP_MS))
        sleep_until_ms "$at"
        tm send-keys -t "${KQ_PANE:-kq}" "$k"
        KEY_PRESSED_AT[$k]=$(now_ms)
    done
}
# The text screen's rows (the pane's rows 2 to 37: row 1 is the title, 38 the hint).
text_rows() { tm capture-pane -p -t "${KQ_PANE:-kq}" 2>/dev/null | sed -n '2,37p'; }
# prompt_shown TEXT: the last line the program printed holds TEXT. A prompt is printed
# just before its wait starts, so the program is waiting for its key.
prompt_shown() { text_rows | grep -v '^ *$' | tail -n 1 | grep -qF -- "$1"; }
# answer TEXT KEY [SECONDS]: waits (10 s unless told) until the prompt ending in TEXT
# is the last line on the screen, then presses KEY. The press that answered the
# previous prompt was read before this prompt appeared; KEY_GAP_MS after the prompt,
# the same key is a new press however late the program read the last one.
answer() {
    local text=$1 key=$2 deadline=$((SECONDS + ${3:-10}))
    until prompt_shown "$text"; do
        if [ $SECONDS -ge $deadline ]; then
            echo "   (waited for the prompt \"$text\"; the screen was:)"; screen | sed 's/^/   | /'
            return 1
        fi
        sleep 0.1
    done
    press after $(($(now_ms) + KEY_GAP_MS)) "$key"
}
# F10, and the File menu is open.
menu() { press F10; wait_for "Update Vinculum by cable" 5 >/dev/null; }
# exited_with CODE [SECONDS]: the program (run by "sh -c '...; echo EXIT=$? > exitcode'"
# in $WORK/run) has ended within SECONDS (10 unless told) with exit code CODE.
exited_with() {
    local deadline=$((SECONDS + ${2:-10}))
    until [ -f "$WORK/run/exitcode" ]; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.1
    done
    grep -qx "EXIT=$1" "$WORK/run/exitcode"
}
