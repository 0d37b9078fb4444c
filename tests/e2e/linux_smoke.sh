#!/usr/bin/env bash
# linux_smoke.sh - the terminal program as an operator meets it, driven through tmux.
#
# Usage: linux_smoke.sh path/to/build/linux/kqsfupdt
# Each run gets its own scratch directory (its TEMP lands there) and an empty device
# directory, so no console is ever found. Prints one line per check and ends with
# "N passed, M failed"; the exit status is nonzero when a check failed.
source "$(dirname "$(readlink -f "$0")")/term_common.sh"
term_begin "BIN:kqsfupdt" "$@"
# Keys and prompts as every terminal check has them; the screens here are named, so
# the helpers below take the session's name first.

# start NAME COLUMNS ROWS LANG [program arguments...]
start() {
    local name=$1 cols=$2 rows=$3 lang=$4
    shift 4
    mkdir -p "$WORK/$name/devices"
    tm new-session -d -s "$name" -x "$cols" -y "$rows" -c "$WORK/$name" \
        "env -u LC_ALL -u LC_MESSAGES LANG=$lang KQUSB_DEVICES=$WORK/$name/devices \
         XDG_CONFIG_HOME=$WORK/$name/config XDG_STATE_HOME=$WORK/$name/state \
         sh -c '\"$BIN\" $*; echo EXIT=\$? > exitcode.new; stty -a > stty; mv exitcode.new exitcode'"
}

screen() { tm capture-pane -p -t "$1" 2>/dev/null; }
# The text screen's first row sits under the title line.
line() { screen "$1" | sed -n "$2p"; }
shows() { screen "$1" | grep -qF -- "$2"; }
lacks() { ! shows "$1" "$2"; }

# wait_for NAME TEXT SECONDS: true once TEXT is on the terminal.
wait_for() { within "$3" shows "$1" "$2"; }

# exited NAME CODE [SECONDS]: the program ended with CODE in time (5 s unless told).
exited() {
    local deadline=$((SECONDS + ${3:-5}))
    while [ $SECONDS -le "$deadline" ]; do
        if [ -f "$WORK/$1/exitcode" ]; then
            [ "$(cat "$WORK/$1/exitcode")" = "EXIT=$2" ]
            return
        fi
        sleep 0.1
    done
    return 1
}

# The terminal was given back: line editing and echo are on again.
restored() { ! grep -qE '(^|[ ;])-(icanon|echo)([ ;]|$)' "$WORK/$1/stty"; }
temp_gone() { [ ! -e "$WORK/$1/TEMP" ]; }
temp_there() { [ -d "$WORK/$1/TEMP" ]; }

app_pid() { pgrep -P "$(tm display-message -p -t "$1" '#{pane_pid}')" | head -n 1; }
signal() { kill "-$2" "$(app_pid "$1")"; }

keys() { KQ_PANE=$1 press "${@:2}"; }        # keys NAME key...
answer_in() { KQ_PANE=$1 answer "${@:2}"; }   # answer_in NAME TEXT KEY [SECONDS]
# gone NAME TEXT SECONDS: true once TEXT has left the terminal.
gone() { within "$3" lacks "$1" "$2"; }

# ---- Start-up, the menu, Exit chosen with the arrows --------------------------------------
start en 100 40 C.UTF-8
wait_for en "Process:" 5
check "title on the first line" test "$(line en 1)" = " CORVINA Updater    Soft 1.70  Vimclm 03.68  Remote 1.3"
check "help text starts under the title" test "$(line en 2)" = "Process:"
check "help text continues to its last line" shows en "  Select File/Update Receiver"
check "TEMP created in the working directory" temp_there en
keys en F10
wait_for en "Update Vinculum by cable" 3
menu_ok() {
    local s
    s=$(screen en)
    for item in "Update Console" "Update Vinculum by USB-Stick" "Update Vinculum by cable" \
        "Update Remote" "Update Receiver" "Exit"; do
        grep -qF "$item " <<<"$s" || return 1
    done
    ! grep -qF "Set MAC Address" <<<"$s"
}
check "F10 shows the user menu's items" menu_ok
keys en Escape
check "Esc closes the menu" gone en "Update Vinculum by cable" 3
keys en F10 Up Enter
check "Exit by arrow and Enter ends with code 0" exited en 0
check "Exit removes TEMP" temp_gone en
check "Exit gives the terminal back" restored en

# ---- Alt+F and the mnemonic; service mode ------------------------------------------------------
start st 100 40 C.UTF-8 ST
wait_for st "Process:" 5
check "service mode marks the title" test "$(line st 1)" = " ---ST--- CORVINA Updater    Soft 1.70  Vimclm 03.68  Remote 1.3"
keys st M-f
wait_for st "Set MAC Address" 3
check "Alt+F shows the service menu" shows st "Test Tempa BOX"
keys st x
check "mnemonic x chooses Exit" exited st 0
check "TEMP gone after Exit" temp_gone st

# ---- Spanish user ---------------------------------------------------------------------------------
start es 100 40 es_ES.UTF-8
wait_for es "Proceso:" 5
check "Spanish help text for LANG=es_ES" test "$(line es 2)" = "Proceso:"
check "code page 437 accents shown as Unicode" shows es "la versión del Vinculum"
signal es TERM
check "SIGTERM while idle ends with code 0" exited es 0
check "SIGTERM while idle removes TEMP" temp_gone es
# The terminal's own lines speak Spanish too; the menu's and the dialogs' names are the
# program's own English labels.
english_free() { ! screen "$1" | grep -qE "File menu|answer prompts|close$|needs a terminal| left|done|FAILED|Close requested|add  Del|digits"; }
start es2 70 30 es_ES.UTF-8 ST EC
check "too small, said in Spanish" wait_for es2 "kqsfupdt necesita un terminal de al menos 80 x 38" 5
check "no English words of the terminal's own (too small)" english_free es2
tm resize-window -t es2 -x 100 -y 40
wait_for es2 "Proceso:" 3
check "the hint line is Spanish" shows es2 "F10 o Alt+F: menú File    [ENTER] / [->]: responder    Ctrl+C: cerrar"
keys es2 F10 c
check "the language dialog's keys in Spanish" wait_for es2 "CEFD añade, Supr Clear, Tab mueve, Enter pulsa" 3
check "no English words of the terminal's own (dialog)" english_free es2
signal es2 TERM
check "SIGTERM in the dialog ends with code 1" exited es2 1
HELP_ES=$(env -u LC_ALL -u LC_MESSAGES LANG=es_ES.UTF-8 "$BIN" --help) || HELP_ES=""  # a failed --help fails below
check "--help in Spanish" eval 'grep -q "^Uso: kqsfupdt" <<<"$HELP_ES" && grep -q "muestra la versión y termina" <<<"$HELP_ES" &&
    ! grep -qE "Usage|show this|Environment|the messages" <<<"$HELP_ES"'

# ---- A terminal too small, then made large enough --------------------------------------------------
start small 70 30 C.UTF-8
wait_for small "needs a terminal" 5
check "a 70 x 30 terminal gets the clear message" \
    shows small "kqsfupdt needs a terminal of at least 80 x 38; this one is 70 x 30"
check "no garbled screen in it" lacks small "Process:"
tm resize-window -t small -x 100 -y 40
check "growing the terminal brings the screen back" wait_for small "Process:" 3
signal small INT
check "SIGINT closes like the close box" exited small 0

# ---- A command that waits for [ENTER]: Update Remote with no console -----------------------------
start wait 100 40 C.UTF-8
wait_for wait "Process:" 5
keys wait F10 Down Down Down Enter
check "Update Remote connects" wait_for wait "Connecting to CORVINA..." 3
keys wait Enter  # typed during the search: must not answer the prompt to come
check "no console: not found after the search" wait_for wait "CORVINA not found" 10
check "then disconnects" shows wait "Disconnecting..."
check "then asks for [ENTER]" wait_for wait "Push [ENTER] on PC-Keyboard to continue" 3
# A key the program would take, it takes at its first look; half a second is many.
sleep 0.5
check "an Enter typed ahead does not answer the prompt" shows wait "Push [ENTER] on PC-Keyboard"
check "no log header without a console" \
    sh -c "! grep -qs 'Remote Update' '$WORK/wait/TEMP/log.txt'"
keys wait F10
sleep 0.3  # a menu would open at once, as it does while idle
check "F10 inside a wait opens no menu" lacks wait "Update Vinculum by cable"
answer_in wait "Push [ENTER] on PC-Keyboard to continue" Enter
check "Enter at the prompt brings the help text back" gone wait "Push [ENTER]" 3
check "and the help text is on top" test "$(line wait 2)" = "Process:"
keys wait F10 Down Down Down Enter
wait_for wait "CORVINA not found" 12
answer_in wait "Push [ENTER] on PC-Keyboard to continue" Escape 3  # now it waits: a harmless key
signal wait TERM
check "SIGTERM inside the wait ends with code 1" exited wait 1
check "SIGTERM inside the wait removes TEMP" temp_gone wait
check "SIGTERM inside the wait gives the terminal back" restored wait

# ---- The language dialog of Update Console -------------------------------------------------------
start lang 100 40 C.UTF-8 ST EC
wait_for lang "Process:" 5
keys lang F10 c
wait_for lang "Select Languages to Install" 3
check "the dialog lists the command line's languages in order" \
    sh -c "tmux -L $SOCKET capture-pane -p -t lang | grep -q '0: ENGLISH' &&
           tmux -L $SOCKET capture-pane -p -t lang | grep -q '1: CASTELLANO' &&
           ! tmux -L $SOCKET capture-pane -p -t lang | grep -q '2: '"
keys lang DC  # Delete presses Clear; the focus stays on OK
check "Clear empties the list: 9% free" wait_for lang "9% Flash Memory Free" 3
keys lang Enter
sleep 0.3  # the dialog would close at once
check "OK with no language keeps the dialog open" shows lang "Select Languages to Install"
keys lang e
check "E adds English: 7% free" wait_for lang "7% Flash Memory Free" 3
keys lang Enter  # the focus is still on OK
check "OK closes the dialog" gone lang "Select Languages to Install" 3
check "and the update goes on to connect" wait_for lang "Connecting to CORVINA..." 3
signal lang TERM  # handled at the update's next prompt
check "closed during the update: exit code 1" exited lang 1 30
check "and TEMP removed" temp_gone lang

# ---- A device that is plugged in but never answers ------------------------------------------------
# Its two FIFOs are held open from the device side; what the program sends to it is
# kept. The command must get through to its [ENTER] prompt: the receive thread, blocked
# in its read, has to be woken and joined.
start dev 100 40 C.UTF-8
DEV="$WORK/dev/devices/usb#vid_1d2b&pid_0001#0001"
mkdir -p "$DEV" "$WORK/dev/devices/usb#vid_1d2b&pid_0003#0001"
mkfifo "$DEV/PIPE00" "$DEV/PIPE01"
cat <>"$DEV/PIPE00" >"$WORK/dev/sent.bin" &
HOLDERS+=($!)
sleep 600 <>"$DEV/PIPE01" &
HOLDERS+=($!)
wait_for dev "Process:" 5
keys dev F10 Down Down Down Enter
check "a plugged-in device is connected" wait_for dev "Connect Remote to KQ-LINK port on CORVINA" 60
answer_in dev "Push [ENTER] on PC-Keyboard to continue" Enter  # the Remote is switched on
check "a silent bus: no Remote, technical service offered" \
    answer_in dev "Remote TECHNICAL SERVICE update? [ENTER] yes, [->] no" Right 20  # no
check "and the command ends" wait_for dev "Disconnecting..." 20
check "it was not reported missing" lacks dev "CORVINA not found"
check "the command's header reached the log" grep -qF -- "-----Remote Update-----" "$WORK/dev/TEMP/log.txt"
check "bytes reached the device's PIPE00" test -s "$WORK/dev/sent.bin"
check "every byte sent is in the log" grep -qF "Mesa<- Nbytes:" "$WORK/dev/TEMP/log.txt"
answer_in dev "Push [ENTER] on PC-Keyboard to continue" Enter
wait_for dev "Process:" 5
keys dev F10 Up Enter
check "then Exit ends with code 0" exited dev 0

term_end
