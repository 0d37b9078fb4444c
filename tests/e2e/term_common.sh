# term_common.sh - what the terminal checks share, sourced after the script has set
# SOCKET (a private tmux server) and WORK: one line per check and the counts, the
# program's screen in the tmux window "kq", waits for screen states instead of sleeps,
# keys as typed. A script may redefine screen (to join wrapped lines, or keep a
# transcript), wait_for or menu after sourcing.
PASSED=0
FAILED=0

tm() { tmux -L "$SOCKET" "$@"; }
check() {
    local what=$1
    shift
    if "$@"; then echo "ok   - $what"; PASSED=$((PASSED + 1)); else echo "FAIL - $what"; FAILED=$((FAILED + 1)); fi
}
screen() { tm capture-pane -p -t kq 2>/dev/null; }
shows() { screen | grep -qF -- "$1"; }
wait_for() {  # TEXT SECONDS
    local deadline=$((SECONDS + $2))
    while [ $SECONDS -lt $deadline ]; do shows "$1" && return 0; sleep 0.2; done
    echo "   (waited $2 s for \"$1\"; the screen was:)"; screen | sed 's/^/   | /'
    return 1
}
# Keys go in as typed; what a key leads to is waited for on the screen, not slept out.
keys() { tm send-keys -t kq "$@"; sleep 0.05; }
# F10, and the File menu is open.
menu() { keys F10; wait_for "Update Vinculum by cable" 5 >/dev/null; }
