// waits.cpp - the microsecond clock, key state and the operator waits. The waits run on
// the window thread and sleep between their looks at the keys or the receive ring until
// something can happen; the clock lets the window paint every 100 ms while they run.
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

// Microseconds until the clock's next paint step; 0 while the mark lags behind.
static uint32_t UntilPaintStep(uint32_t now) {
    uint32_t since = now - PaintMark;
    return since >= PAINT_INTERVAL_US ? 0 : PAINT_INTERVAL_US - since;
}

void SleepForData(uint32_t now, uint32_t us) {
    uint32_t paint = UntilPaintStep(now);
    PlatDataWait(us < paint ? us : paint);
}

bool KeyDown(int vk) { return PlatKeyDown(vk); }

// A look at the keyboard found nothing to act on: sleep until input may have come (a
// key, a message, the end of a key's hold). The key waits have no deadline, and paint
// messages wake the pump like any other message.
static void SleepForKeys() { PlatInputWait(PLAT_WAIT_FOREVER); }
void KeyPollPause() { SleepForKeys(); }

// One step of PumpOneMessage; true when a message was taken (more may be waiting).
static bool PumpStep() {
    switch (PlatTakeMessage()) {
    case PLAT_MSG_NONE:
        return false;
    case PLAT_MSG_QUIT:
        // The window was closed while a procedure waited: its clean-up has run
        // already; the procedure does not finish.
        PlatExitProcess(1);
    case PLAT_MSG_MENU_CLICK:
    case PLAT_MSG_SYSTEM_KEY:
        return true;  // no second command may start from inside a wait
    case PLAT_MSG_OTHER:
        PlatDispatchMessage();
        return true;
    }
    return true;
}

void PumpOneMessage() { PumpStep(); }

// The pump step of the key waits: rest only when the queue is empty.
static void PumpOrSleep() {
    if (!PumpStep()) SleepForKeys();
}

int WaitKey(int key1, int key2) {
    if (key2 == KEY_NONE) {
        while (KeyDown(key1)) SleepForKeys();
        while (!KeyDown(key1)) {
            PumpOrSleep();
        }
        return key1;
    }
    while (KeyDown(key1) || KeyDown(key2)) SleepForKeys();
    while (!KeyDown(key1) && !KeyDown(key2)) {
        PumpOrSleep();
    }
    return KeyDown(key1) ? key1 : key2;
}

int WaitDriveLetter() {
    for (;;) {
        if (KeyDown(KEY_RIGHT)) return KEY_RIGHT;
        for (int letter = 'D'; letter <= 'Z'; letter++)
            if (KeyDown(letter)) return letter;
        SleepForKeys();
    }
}
