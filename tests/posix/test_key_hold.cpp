// The end of the terminal's emulated key hold, which a sleeping key wait wakes for.
#include <gtest/gtest.h>

#include "platform/posix/posix.h"

// A key counts as held for 60 ms after it was read (KEY_HOLD_MS); the wait wakes when
// the soonest hold ends, never before, and needs no timer once every hold is over.
TEST(KeyHold, TheWaitWakesWhenTheSoonestHoldEnds) {
    const uint64_t MS = 1000000, now = 5000 * MS;
    struct Case {
        const char* what;
        std::vector<std::pair<int, uint64_t>> readAgo;  // key, read this long before now
        int expectMs;
    } cases[] = {
        {"no key read yet", {}, -1},
        {"ENTER read 10 ms ago", {{13, 10 * MS}}, 50},
        {"half a millisecond left: rounded up", {{13, 59 * MS + MS / 2}}, 1},
        {"the hold ended just now", {{13, 60 * MS}}, -1},
        {"read long ago", {{39, 4000 * MS}}, -1},
        {"two keys: the sooner end", {{13, 20 * MS}, {39, 50 * MS}, {'E', 900 * MS}}, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint64_t readAt[256] = {};
        for (const auto& k : c.readAgo) readAt[k.first] = now - k.second;
        EXPECT_EQ(MsUntilHoldEnds(readAt, 256, now), c.expectMs);
    }
}
