// progress.cpp - the state of the long walk that runs now and its reports to the
// backend. A technician watching a dead console being rewritten must see it move; the
// cost to the walk is a few stores per unit and one report per 100 ms.
#include "base/progress.h"

#include "base/screen.h"
#include "base/waits.h"
#include "platform/platform.h"

static const uint32_t REPORT_INTERVAL_US = 100000;  // ten reports a second at most

// The phases' names, Spanish first, as every pair of the program.
static const char* const PHASE_NAMES[PROGRESS_PHASE_COUNT] = {
    "Buscando\0Searching",
    "Borrando\0Erasing",
    "Escribiendo\0Programming",
    "Verificando\0Verifying",
    "Enviando boot record\0Sending boot record",
};

static PlatProgress Current = {PLAT_PROGRESS_HIDDEN, 0, "", false, 0, 0, 0};
// The name of a verdict that came before any phase began (a boot program that does
// not answer its first command).
static const char WORK_NAME[] = "Actualizaci\xA2n\0Update";

static uint32_t PhaseStartUs;
static uint32_t LastReportUs;
// Set on the thread that reports phases (the window thread): the receive thread reads
// the clock too, and must never report.
static thread_local bool ReportingThread = false;

// Brings the time spent (and, for a timed phase, the units done) up to now.
static void Refresh(uint32_t nowUs) {
    Current.elapsedMs = (nowUs - PhaseStartUs) / 1000;
    if (Current.state == PLAT_PROGRESS_RUNNING && Current.timed) {
        uint32_t spent = Current.elapsedMs;
        Current.done = spent < Current.total ? spent : Current.total;
    }
}

static void Report(uint32_t nowUs) {
    LastReportUs = nowUs;
    Refresh(nowUs);
    PlatShowProgress(&Current);
}

static void Start(ProgressPhase phase, uint32_t total, bool timed) {
    ReportingThread = true;
    uint32_t now = MicroClock();
    Current.state = PLAT_PROGRESS_RUNNING;
    Current.phase = phase;
    Current.label = PickMessage(PHASE_NAMES[phase < PROGRESS_PHASE_COUNT ? phase : 0]);
    Current.timed = timed;
    Current.done = 0;
    Current.total = total;
    PhaseStartUs = now;
    Report(now);
}

void ProgressBegin(ProgressPhase phase, uint32_t total) { Start(phase, total, false); }

void ProgressBeginTimed(ProgressPhase phase, uint32_t timeoutUs) {
    Start(phase, timeoutUs / 1000, true);
}

void ProgressStep(uint32_t done) {
    if (Current.state != PLAT_PROGRESS_RUNNING || Current.timed) return;
    if (done > Current.total) done = Current.total;
    if (done > Current.done) Current.done = done;
}

void ProgressEnd(bool ok) {
    ReportingThread = true;
    uint32_t now = MicroClock();
    Refresh(now);  // a wait that ran out shows the whole time-out spent
    if (Current.state == PLAT_PROGRESS_HIDDEN) {
        // No phase of this walk ran: the verdict stands alone.
        Current.label = PickMessage(WORK_NAME);
        Current.timed = false;
        Current.done = Current.total = 0;
        PhaseStartUs = now;
    }
    if (ok) Current.done = Current.total;
    Current.state = ok ? PLAT_PROGRESS_DONE : PLAT_PROGRESS_FAILED;
    Report(now);
}

void ProgressHide() {
    if (Current.state == PLAT_PROGRESS_HIDDEN) return;
    Current.state = PLAT_PROGRESS_HIDDEN;
    Report(MicroClock());
}

void ProgressClockTick(uint32_t nowUs) {
    if (!ReportingThread || Current.state != PLAT_PROGRESS_RUNNING) return;
    if ((uint32_t)(nowUs - LastReportUs) < REPORT_INTERVAL_US) return;
    Report(nowUs);
}

void ProgressReset() {
    Current = PlatProgress{PLAT_PROGRESS_HIDDEN, 0, "", false, 0, 0, 0};
    PhaseStartUs = LastReportUs = 0;
}

const PlatProgress* ProgressCurrent() { return &Current; }
