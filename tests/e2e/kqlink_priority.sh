# kqlink_priority.sh - sourced by the checks whose devices answer within a window: the
# KQ-LINK commands give the console 30 ms beyond each listen window, a boot program
# answers each read of the flash within 200 ms, as real hardware always does. A
# simulated device (or the program) that the scheduler holds back longer than that, on a
# machine busy with builds or other checks, fails the command as a slow unit would. So
# what takes part runs with the lowest real-time priority where that is allowed: every
# ordinary job yields to it, and the kernel still keeps 5 % of each second for them.
# Both programs sleep while they wait, so this takes nothing from the others while
# nothing happens. Where real-time scheduling is refused, a raised nice value is the
# fall-back. (kqsim's serve loop takes first-in-first-out scheduling of its own.)
#
# raise_priority PID...: each process, every thread it has and will start.
raise_priority() {
    local pid
    for pid in "$@"; do
        chrt --rr -a -p 1 "$pid" >/dev/null 2>&1 || renice -n -10 -p "$pid" >/dev/null 2>&1
    done
}
# A terminal check raises itself, and with it everything it starts (tmux, the program).
# A Wine check raises only the program and its wineserver, once the window shows
# (wine_common.sh, APP_PRIORITY): Wine's desktop process, started at real-time
# priority, fails at once on some hosts, and the program's window never shows.
[ -n "${WINE_CHECK:-}" ] || raise_priority $$
