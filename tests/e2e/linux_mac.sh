#!/usr/bin/env bash
# linux_mac.sh - "Set MAC Address" in the terminal against kqsim: the "New:" field opens
# with the proposal selected, the digits typed replace it, and "OK" sets the console to
# the address typed; kq.ini keeps its proposal, as another address was set. The field
# then edits as a Windows edit control does after a text was set into it.
#
# Usage: linux_mac.sh build/linux/kqsfupdt build/linux/kqsim
# Prints one line per check and ends with "N passed, M failed".
source "$(dirname "$(readlink -f "$0")")/term_common.sh"
term_begin "BIN:kqsfupdt SIM:kqsim" "$@"

mkdir -p "$WORK/config/kqsfupdt"
printf '[Kqsfupdt]\nMac=000A00\n' >"$WORK/config/kqsfupdt/kq.ini"
start_sim --console
check "the program starts" start_kq ST

menu
press Down Down Down   # Set MAC Address
press Enter
check "the dialog proposes the address in kq.ini" wait_for "New:  00-1F-19-000A00" 15
check "the console's address shows" wait_for "Current:  00-1F-19-000001" 10
press 1 2 a
check "the first digit replaced the proposal, the others follow" wait_for "00-1F-19-12A " 5
press b 5 f 7
check "six digits fill the field, a seventh is refused" wait_for "00-1F-19-12AB5F" 5
press Enter
check "OK sets the console to the address typed" \
    wait_for "Current:  00-1F-19-12AB5F" 10
check "kqsim took exactly that address" grep -q 'macset.*00-1F-19-12-AB-5F' "$WORK/kqsim.log"
press End BSpace Home Delete 0
check "Backspace, Home and Delete edit it as a Windows field does" wait_for "00-1F-19-02AB5 " 5
press Home S-End 9
check "Shift+End selects from the caret on, a digit replaces the selection" \
    wait_for "00-1F-19-9     " 5
press Escape
check "[ESC] leaves the dialog" wait_for "Push [ENTER] on PC-Keyboard to continue" 10
check "kq.ini keeps its proposal" grep -q 'Mac=000A00' "$WORK/config/kqsfupdt/kq.ini"

term_end
