// key_hold.cpp - when the next emulated key release is due: the terminal reports
// presses only, so a key read from it counts as held for KEY_HOLD_MS (events.cpp), and
// a sleeping key wait has to wake when that time ends.
#include "platform/posix/posix.h"

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
