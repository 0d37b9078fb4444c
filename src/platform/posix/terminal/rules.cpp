// rules.cpp - the terminal's two rules that need no screen, so that they are checked
// without one: the size a terminal is asked to grow to, and when the emulated release
// of a key it reported is due.
#include <cstdio>

#include "platform/posix/posix.h"

// The escape sequence that asks a terminal to grow to the layout.
void FormatResizeRequest(int rows, int columns, char* request, size_t capacity) {
    if (rows < TERM_NEEDED_ROWS) rows = TERM_NEEDED_ROWS;  // never shrink what is larger
    if (columns < TERM_NEEDED_COLUMNS) columns = TERM_NEEDED_COLUMNS;
    snprintf(request, capacity, "\033[8;%d;%dt", rows, columns);
}

// The terminal reports presses only, so a key read from it counts as held for
// KEY_HOLD_MS (events.cpp), and a sleeping key wait has to wake when that time ends.
int MsUntilHoldEnds(const uint64_t* readAtNs, int count, uint64_t nowNs) {
    const uint64_t holdNs = (uint64_t)KEY_HOLD_MS * 1000 * 1000;
    uint64_t soonest = UINT64_MAX;
    for (int vk = 0; vk < count; vk++) {
        if (readAtNs[vk] == 0) continue;  // never read
        uint64_t end = readAtNs[vk] + holdNs;
        if (end > nowNs && end - nowNs < soonest) soonest = end - nowNs;
    }
    if (soonest == UINT64_MAX) return -1;
    return (int)((soonest + 999999) / 1000000);  // whole milliseconds, never early
}
