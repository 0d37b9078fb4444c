#!/bin/bash
# wine_starts.sh - the Windows build started under Wine STARTS times in a row, each
# start as wine_peripherals.sh makes it: a display of its own, a prefix copied from the
# template, kqsim's console and Remote registered in it (twice: once for the flash as
# it leaves the factory), then the program in service mode. Prints
# each start's time from the launch to the main window and ends with the slowest; a
# start whose window never shows is kept as the checks keep it (window_missing, in
# e2e/ beside the program) and the run goes on with the next.
#
# Usage: bench/wine_starts.sh [STARTS] [build/windows/Kqsfupdt.exe] [build/linux]
#   KQ_STARTS_PRIORITY=kqlink  as the KQ-LINK checks: the program and its wineserver
#                              raised to real-time priority once the window shows
#                              (tests/e2e/kqlink_priority.sh)
#   KQ_WINE_TEMPLATE=DIR       the template to copy (made here once when unset)
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
set -u
STARTS=${1:-25}
EXE=$(readlink -f "${2:-build/windows/Kqsfupdt.exe}")
LINUX=$(readlink -f "${3:-build/linux}")
KQSIM="$LINUX/kqsim"
[ -f "$EXE" ] && [ -x "$KQSIM" ] || { echo "usage: $0 [STARTS] [Kqsfupdt.exe] [build/linux]" >&2; exit 2; }
BENCH=$(dirname "$(readlink -f "$0")")
if [ -z "${KQ_WINE_TEMPLATE:-}" ]; then
    KQ_WINE_TEMPLATE=$(mktemp -d /tmp/kq-starts.XXXXXX)/template
    trap 'rm -rf "$(dirname "$KQ_WINE_TEMPLATE")"' EXIT
    bash "$BENCH/../tests/e2e/wine_template.sh" "$KQ_WINE_TEMPLATE" >/dev/null || exit 1
fi
export KQ_WINE_TEMPLATE

# one_start N: in a subshell of its own, so that a window that never shows ends only
# this start (with its clean-up) and not the run. Prints the milliseconds to the window.
one_start() (
    # shellcheck source=../tests/e2e/wine_common.sh
    . "$BENCH/../tests/e2e/wine_common.sh"
    wine_start
    if [ "${KQ_STARTS_PRIORITY:-}" = kqlink ]; then
        # shellcheck source=../tests/e2e/kqlink_priority.sh
        . "$BENCH/../tests/e2e/kqlink_priority.sh"
        APP_PRIORITY=1
    fi
    start_sim --console --remote
    stop_sim
    start_sim --console --remote
    local began
    began=$(now_ms)
    run_program "start$1" ST
    echo "$(($(now_ms) - began))"
    probe close >/dev/null
    finish_app 30
)

slowest=0 failed=0
for n in $(seq "$STARTS"); do
    out=$(one_start "$n")
    ms=$(tail -n 1 <<<"$out")
    if [[ "$ms" =~ ^[0-9]+$ ]]; then
        echo "start $n: window after $ms ms (load $(cut -d' ' -f1 /proc/loadavg))"
        [ "$ms" -gt "$slowest" ] && slowest=$ms
    else
        failed=$((failed + 1))
        echo "start $n: $out"
    fi
done
echo "$STARTS starts, $failed without a window; the slowest window after $slowest ms"
[ "$failed" -eq 0 ]
