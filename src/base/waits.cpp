// waits.cpp - the microsecond clock, key state and the operator waits. All waits are
// busy polls on the window thread; the clock lets the window paint while they run.
#include "base/waits.h"

#include <atomic>

#include "platform/platform.h"
#include "base/messages.h"
#include "base/base.h"
#include "base/progress.h"

// The frequency is read once; both threads may do that first read, with one result.
static std::atomic<uint64_t> CounterFrequency{0};
static std::atomic<bool> FrequencyRead{false};
// Advanced only in steps of 100 ms, never set to the current time, so after start-up
// the paint step runs on every call until the mark has caught up with the clock.
static std::atomic<uint32_t> PaintMark{0};

static const uint32_t PAINT_INTERVAL_US = 100000;

void MicroClockReset() {
    FrequencyRead = false;
    CounterFrequency = 0;
    PaintMark = 0;
}

uint32_t MicroClock() {
    if (!FrequencyRead) {
        uint64_t f = PlatCounterFrequency();
        if (f == 0) FatalError(MSG_NO_COUNTER);
        CounterFrequency = f;
        FrequencyRead = true;
    }
    uint64_t f = CounterFrequency;
    uint64_t n = PlatCounterValue();
    uint64_t q = n / f;
    uint64_t r = n - q * f;
    uint32_t now = (uint32_t)(q * 1000000u + r * 1000000u / f);
    if ((uint32_t)(now - PaintMark) >= PAINT_INTERVAL_US) {
        PlatPaintStep();
        PaintMark += PAINT_INTERVAL_US;
    }
    ProgressClockTick(now);
    return now;
}

bool KeyDown(int vk) { return PlatKeyDown(vk); }

void PumpOneMessage() {
    switch (PlatTakeMessage()) {
    case PLAT_MSG_NONE:
        return;
    case PLAT_MSG_QUIT:
        // The window was closed while a procedure waited: its clean-up has run
        // already; the procedure does not finish.
        PlatExitProcess(1);
    case PLAT_MSG_MENU_CLICK:
    case PLAT_MSG_SYSTEM_KEY:
        return;  // no second command may start from inside a wait
    case PLAT_MSG_OTHER:
        PlatDispatchMessage();
        return;
    }
}

int WaitKey(int key1, int key2) {
    if (key2 == KEY_NONE) {
        while (KeyDown(key1)) {
        }
        while (!KeyDown(key1)) PumpOneMessage();
        return key1;
    }
    while (KeyDown(key1) || KeyDown(key2)) {
    }
    while (!KeyDown(key1) && !KeyDown(key2)) PumpOneMessage();
    return KeyDown(key1) ? key1 : key2;
}

int WaitDriveLetter() {
    for (;;) {
        if (KeyDown(KEY_RIGHT)) return KEY_RIGHT;
        for (int letter = 'D'; letter <= 'Z'; letter++)
            if (KeyDown(letter)) return letter;
    }
}
