// waits.h - the microsecond clock, the keyboard and the waits for the operator.
#pragma once

#include <cstdint>

const int KEY_ENTER = 13;  // [ENTER]
const int KEY_RIGHT = 39;  // [->]
const int KEY_NONE = -1;   // second key of WaitKey: wait for the first alone

// 32-bit microseconds since an arbitrary origin; each call may let one paint through.
uint32_t MicroClock();
// Resets the clock's remembered frequency and paint mark (tests only).
void MicroClockReset();
bool KeyDown(int vk);
// Between two looks at the keys in a poll that handles no window messages: sleeps until
// input may have come, without a time limit, so such a poll costs nothing while the
// operator reads.
void KeyPollPause();
// Waits for a release, then a press, of key1 (or of key1 or key2); returns the key.
int WaitKey(int key1, int key2);
// Polls [->] and D to Z until one is down; returns 39 or the letter's code.
int WaitDriveLetter();
// Handles at most one pending window message; the quit message ends the process.
void PumpOneMessage();

// Sleeps until the receive thread may have stored bytes, us microseconds have passed
// since now (a MicroClock reading), or the clock's next paint step is due, whichever
// comes first. The caller checks the ring and its deadline again afterwards.
void SleepForData(uint32_t now, uint32_t us);