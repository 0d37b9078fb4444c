// progress.h - how far a long walk has come, for the operator to see outside the text
// screen (taskbar button, terminal status line). The walks report phases and units;
// this module keeps the state, times the waits with a time-out, and hands the backend
// at most ten reports a second through PlatShowProgress.
#pragma once

#include <cstdint>

enum ProgressPhase {
    PROGRESS_SEARCHING = 0,  // seeking the device on USB
    PROGRESS_ERASING,
    PROGRESS_PROGRAMMING,
    PROGRESS_VERIFYING,
    PROGRESS_BOOT_RECORD,    // downloading a loader into the target
    PROGRESS_PHASE_COUNT
};

// A phase of total units (blocks, chunks, frames, bytes); nothing done yet.
void ProgressBegin(ProgressPhase phase, uint32_t total);
// A phase that is one wait with a time-out: the fraction is the time spent against
// timeoutUs, taken from the clock while the wait runs.
void ProgressBeginTimed(ProgressPhase phase, uint32_t timeoutUs);
// done units of the current counted phase are finished (never moves back).
void ProgressStep(uint32_t done);
// The walk is over: ok shows it complete, otherwise failed where it stood.
void ProgressEnd(bool ok);
// Nothing to show (the work waits for the operator, or the command is over).
void ProgressHide();

// The clock's hook (MicroClock, any thread): on the thread that runs the walk, every
// 100 ms while a phase runs, the backend is shown where it stands. Cheap when idle.
void ProgressClockTick(uint32_t nowUs);
// Forgets everything (tests).
void ProgressReset();
// The current report, as last handed to the backend.
const struct PlatProgress* ProgressCurrent();
