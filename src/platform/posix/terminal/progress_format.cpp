// progress_format.cpp - the words and the bar of the terminal's status line for a
// progress report: phase, bar, units done of units in all, percentage and time left.
// Pure formatting, so it can be checked without a terminal. Its words are in the
// message language, as the phase names are.
#include <cstdio>

#include "base/screen.h"
#include "platform/platform.h"
#include "platform/posix/posix.h"

static const int BAR_CELLS = 20;

static unsigned Percent(uint32_t done, uint32_t total) {
    if (total == 0) return 100;
    if (done >= total) return 100;
    return (unsigned)((uint64_t)done * 100 / total);
}

// "m:ss", minutes as many as needed.
static void FormatDuration(uint32_t seconds, char* out, size_t capacity) {
    snprintf(out, capacity, "%u:%02u", seconds / 60, seconds % 60);
}

// The time left: for a counted phase, the pace so far over the units still to go; for
// a wait with a time-out, the time-out is the most it can take.
static void FormatTimeLeft(const PlatProgress* p, char* out, size_t capacity) {
    out[0] = 0;
    char d[24];
    if (p->timed) {
        uint32_t leftMs = p->total > p->done ? p->total - p->done : 0;
        FormatDuration((leftMs + 999) / 1000, d, sizeof d);
        snprintf(out, capacity, PickMessage("quedan m\xA0x. %s\0at most %s left"), d);
        return;
    }
    if (p->done == 0 || p->done >= p->total || p->elapsedMs < 1000) return;  // no pace yet
    uint64_t leftMs = (uint64_t)p->elapsedMs * (p->total - p->done) / p->done;
    FormatDuration((uint32_t)((leftMs + 999) / 1000), d, sizeof d);
    snprintf(out, capacity, PickMessage("quedan %s\0%s left"), d);
}

static void FormatCount(const PlatProgress* p, char* out, size_t capacity) {
    if (p->timed)
        snprintf(out, capacity, "%u.%u/%u.%u s", p->done / 1000, p->done % 1000 / 100, p->total / 1000,
                 p->total % 1000 / 100);
    else
        snprintf(out, capacity, "%u/%u", p->done, p->total);
}

void FormatProgressLine(const PlatProgress* p, char* line, size_t capacity) {
    if (capacity == 0) return;
    line[0] = 0;
    if (p->state == PLAT_PROGRESS_HIDDEN) return;
    uint32_t done = p->done < p->total ? p->done : p->total;
    unsigned percent = Percent(done, p->total);
    if (p->state == PLAT_PROGRESS_DONE) percent = 100;
    char bar[BAR_CELLS + 1];
    int filled = (int)(percent * BAR_CELLS / 100);
    for (int i = 0; i < BAR_CELLS; i++) bar[i] = i < filled ? '#' : '.';
    bar[BAR_CELLS] = 0;
    char count[40], tail[40];
    PlatProgress clipped = *p;
    clipped.done = done;
    FormatCount(&clipped, count, sizeof count);
    if (p->state == PLAT_PROGRESS_DONE)
        snprintf(tail, sizeof tail, "%s", PickMessage("hecho\0done"));
    else if (p->state == PLAT_PROGRESS_FAILED)
        snprintf(tail, sizeof tail, "%s", PickMessage("FALLIDO\0FAILED"));
    else
        FormatTimeLeft(&clipped, tail, sizeof tail);
    const char* label = p->label ? p->label : "";
    if (p->total == 0 && p->state != PLAT_PROGRESS_RUNNING)
        snprintf(line, capacity, " %s %s", label, tail);  // a verdict without a phase
    else
        snprintf(line, capacity, " %s [%s] %s %3u%%  %s", label, bar, count, percent, tail);
}
