# kqlink_priority.sh - sourced by the KQ-LINK checks. The program gives the console
# 30 ms beyond each listen window to answer, as a real console always does; a
# simulated console (or the program) that the scheduler holds back longer than that,
# on a machine busy with builds or other checks, fails the update as a slow console
# would. So the check, and everything it starts (kqsim, tmux or Wine, the program),
# runs with the lowest real-time priority where that is allowed: every ordinary job
# yields to it, and the kernel still keeps 5 % of each second for them. Both programs
# sleep while they wait, so this takes nothing from the others while nothing happens.
# Where real-time scheduling is refused, a raised nice value is the fall-back.
if ! chrt --rr -p 1 $$ >/dev/null 2>&1; then
    renice -n -10 -p $$ >/dev/null 2>&1
fi
