// progress_line.cpp - the progress of long work on the terminal's status line, the row
// under the text screen where the hint line stands while the program is idle. A
// technician watching a 26-second programming run sees the bar move and how long is
// left; a Ctrl+C during the work is answered on the title row, because the update runs
// on to its end before the program closes.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix.h"

const char CLOSE_WAITS_NOTICE[] =
    " Cierre pedido: kqsfupdt se cerrar\xA0 cuando termine la actualizaci\xA2n\0"
    " Close requested: kqsfupdt will close when the update has finished";

static const int LINE_CELLS = 80;

static PlatProgress Shown = {PLAT_PROGRESS_HIDDEN, 0, "", false, 0, 0, 0};
static char LastDrawn[LINE_CELLS + 1];
static bool LastClosing = false;

bool StatusLine(char* line, size_t capacity) {
    if (Shown.state == PLAT_PROGRESS_HIDDEN) return false;
    FormatProgressLine(&Shown, line, capacity);
    return true;
}

bool ProgressRunning() { return Shown.state == PLAT_PROGRESS_RUNNING; }

// A close request met while work ran was promised to wait for the work's end; the
// exit code then tells how the work ended.
static bool CloseWaited = false;

void NoteCloseDuringWork() {
    if (ProgressRunning() && CloseRequested()) CloseWaited = true;
}

bool CloseWaitedForWork() { return CloseWaited; }

bool WorkSucceeded() { return Shown.state == PLAT_PROGRESS_DONE; }

// Reports come at most ten times a second; the terminal is written only when the line
// (or the close notice) changed.
void PlatShowProgress(const PlatProgress* progress) {
    NoteCloseDuringWork();  // before the report that may end the work
    Shown = *progress;
    if (!OnTerminalThread()) return;
    char line[LINE_CELLS + 1];
    if (!StatusLine(line, sizeof line)) line[0] = 0;
    bool closing = ProgressRunning() && CloseRequested();
    if (strcmp(line, LastDrawn) == 0 && closing == LastClosing && Shown.state != PLAT_PROGRESS_HIDDEN) return;
    snprintf(LastDrawn, sizeof LastDrawn, "%s", line);
    LastClosing = closing;
    PlatRepaint();
}
