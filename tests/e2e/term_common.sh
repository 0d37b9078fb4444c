# term_common.sh - what the terminal checks share, sourced after the script has set
# SOCKET (a private tmux server) and WORK: one line per check and the counts, the
# program's screen in the tmux window "kq" (KQ_PANE names another), waits for screen states instead of sleeps,
# and keys pressed as a person presses them. A script may redefine screen (to join
# wrapped lines, or keep a transcript) or wait_for after sourcing.
PASSED=0
FAILED=0
# The program's service record goes into the check's own folder, never the real home.
export XDG_STATE_HOME="$WORK/state"
TERM_COMMON_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

tm() { tmux -L "$SOCKET" "$@"; }
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
