// The clock, the key waits and the message pump, in virtual time.
#include <gtest/gtest.h>
#include <unistd.h>

#include "link/link.h"
#include "base/screen.h"
#include "shell/shell.h"
#include "base/waits.h"
#include "tests/backend/fixture.h"
#include "tests/backend/testbed.h"

class WaitsTest : public CoreTest {};

TEST_F(WaitsTest, HeldEnterMustBeReleasedFirst) {
    testbed::HoldKey(KEY_ENTER, 0, 300000);  // still down from the previous prompt
    testbed::PressKey(KEY_ENTER, 800000);
    EXPECT_EQ(WaitKey(KEY_ENTER, KEY_NONE), KEY_ENTER);
    EXPECT_GE(testbed::NowUs(), 800000u);
    EXPECT_LT(testbed::NowUs(), 850000u);
}

TEST_F(WaitsTest, YesNoWaitsForBothReleasedAndEnterWins) {
    testbed::HoldKey(KEY_ENTER, 0, 100000);
    testbed::HoldKey(KEY_RIGHT, 0, 200000);
    testbed::HoldKey(KEY_RIGHT, 500000, 600000);
    testbed::HoldKey(KEY_ENTER, 500000, 600000);
    EXPECT_EQ(WaitKey(KEY_ENTER, KEY_RIGHT), KEY_ENTER);
    EXPECT_GE(testbed::NowUs(), 500000u);

    testbed::Reset();
    testbed::PressKey(KEY_RIGHT, 1000);
    EXPECT_EQ(WaitKey(KEY_ENTER, KEY_RIGHT), KEY_RIGHT);
}

TEST_F(WaitsTest, DriveLetterCycleTakesHeldKeysAtOnce) {
    testbed::HoldKey('E', 0, 1000000);
    EXPECT_EQ(WaitDriveLetter(), 'E');
    EXPECT_LT(testbed::NowUs(), 1000u);

    testbed::Reset();
    testbed::HoldKey('C', 0, 1000000);   // A to C are not drives we offer
    testbed::HoldKey(0x70, 0, 1000000);  // F1
    testbed::HoldKey(0x62, 0, 1000000);  // numeric keypad 2
    testbed::PressKey(KEY_RIGHT, 200000);
    EXPECT_EQ(WaitDriveLetter(), KEY_RIGHT);
    EXPECT_GE(testbed::NowUs(), 200000u);

    testbed::Reset();
    testbed::PressKey('Z', 5000);
    EXPECT_EQ(WaitDriveLetter(), 'Z');
}

TEST_F(WaitsTest, MenuClicksAndSystemKeysAreDroppedInsideAWait) {
    testbed::PostMessageAt(PLAT_MSG_MENU_CLICK, 1000);
    testbed::PostMessageAt(PLAT_MSG_SYSTEM_KEY, 2000);
    testbed::PressKey(KEY_ENTER, 100000);
    EXPECT_EQ(WaitKey(KEY_ENTER, KEY_NONE), KEY_ENTER);
    EXPECT_FALSE(testbed::WindowCloseRequested());
}

TEST_F(WaitsTest, ClosingTheWindowInsideAWaitCleansUpAndEndsWithOne) {
    ShellCreate();
    LogAppend("x\n");
    testbed::PostCloseAt(300000);
    testbed::PressKey(KEY_RIGHT, 100000);       // no USB stick
    int code = RunCommand(CMD_VINCULUM_STICK);  // ends at its [ENTER] prompt
    EXPECT_EQ(code, 1);
    EXPECT_NE(access("TEMP", F_OK), 0);
    EXPECT_NE(testbed::ScreenText().find("Push [ENTER] on PC-Keyboard to continue"), std::string::npos);
}

TEST_F(WaitsTest, ClockFollowsTheCounterAcrossTheThirtyTwoBitWrap) {
    testbed::SetClockOrigin(0xFFFFFFFFull - 500000);  // 0.5 s before the wrap
    uint32_t start = MicroClock();
    DelayMicroseconds(2000000);
    uint32_t end = MicroClock();
    EXPECT_LT(end, start);  // the 32-bit value wrapped
    EXPECT_GE((uint32_t)(end - start), 2000000u);
    EXPECT_LT((uint32_t)(end - start), 2001000u);
}

TEST_F(WaitsTest, ClockPaintsAtMostOncePerCallUntilTheMarkCatchesUp) {
    testbed::SetClockOrigin(1000000);  // the mark starts 10 intervals behind
    for (int i = 0; i < 5; i++) MicroClock();
    EXPECT_EQ(testbed::PaintStepCount(), 5);
    for (int i = 0; i < 100; i++) MicroClock();
    EXPECT_EQ(testbed::PaintStepCount(), 10);  // caught up; next one after 100 ms
}

TEST_F(WaitsTest, DelaySleepsOnlyFromOneMillisecond) {
    uint64_t t0 = testbed::NowUs();
    DelayMicroseconds(999);
    uint64_t short_ = testbed::NowUs() - t0;
    EXPECT_GE(short_, 999u);
    EXPECT_LT(short_, 1010u);
    EXPECT_EQ(testbed::SleptMs(), 0u);  // polled all the way
    t0 = testbed::NowUs();
    DelayMicroseconds(1500);
    EXPECT_GE(testbed::NowUs() - t0, 1500u);
    EXPECT_LT(testbed::NowUs() - t0, 1510u);
    EXPECT_EQ(testbed::SleptMs(), 1u);  // one millisecond asleep, the rest polled
}

// The key waits sleep between their looks at the keyboard: a prompt answered after a
// minute costs one look per key and millisecond, not tens of millions, and still ends within a
// millisecond of the press (after the release it waited for first).
TEST_F(WaitsTest, KeyWaitsSleepBetweenLooks) {
    struct Hold {
        int vk;
        uint64_t down, up;
    };
    struct Case {
        const char* what;
        int key1, key2;  // key1 0: the drive-letter wait
        std::vector<Hold> holds;
        int expect;
        uint64_t answeredAt;
    } cases[] = {
        {"continue after a minute", KEY_ENTER, KEY_NONE, {{KEY_ENTER, 60000000, 60050000}}, KEY_ENTER, 60000000},
        {"held for ten seconds first", KEY_ENTER, KEY_NONE,
         {{KEY_ENTER, 0, 10000000}, {KEY_ENTER, 30000000, 30050000}}, KEY_ENTER, 30000000},
        {"no after a minute", KEY_ENTER, KEY_RIGHT, {{KEY_RIGHT, 60000000, 60050000}}, KEY_RIGHT, 60000000},
        {"drive letter after a minute", 0, 0, {{'G', 60000000, 60050000}}, 'G', 60000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testbed::Reset();
        for (const Hold& h : c.holds) testbed::HoldKey(h.vk, h.down, h.up);
        int got = c.key1 == 0 ? WaitDriveLetter() : WaitKey(c.key1, c.key2);
        EXPECT_EQ(got, c.expect);
        EXPECT_GE(testbed::NowUs(), c.answeredAt);
        EXPECT_LE(testbed::NowUs(), c.answeredAt + 1000);
        // One look per key and millisecond ([->] and D to Z for the drive letter).
        uint64_t keys = c.key1 == 0 ? 24 : c.key2 == KEY_NONE ? 1 : 2;
        EXPECT_LE(testbed::PollCount(), keys * (c.answeredAt / KEY_POLL_US + 10));
    }
}
