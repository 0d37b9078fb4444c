// terminal.cpp - the main window as a terminal screen: the title line, the 80 x 36 text
// screen drawn cell for cell from the core's ScreenCells, and a hint line. A terminal
// too small for that is asked to grow, and shows one clear sentence instead of a garbled
// screen until it has.
//
// The window's paint messages become the paint step: a resize reported by the terminal
// is redrawn at the next PlatPaintStep (from the microsecond clock) or the next message.
#include <curses.h>
#include <pthread.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix.h"
#include "core.h"

static bool Started = false;
static pthread_t TerminalThread;

// The terminal's own texts are message pairs like the screen's (Spanish, its zero,
// English; accents in code page 437); the menu's name is the program's own label.
static const char HINT[] =
    " F10 o Alt+F: men\xA3 File    [ENTER] / [->]: responder    Ctrl+C: cerrar\0"
    " F10 or Alt+F: File menu    [ENTER] / [->]: answer prompts    Ctrl+C: close";
static const char TOO_SMALL[] =
    "kqsfupdt necesita un terminal de al menos %d x %d; este tiene %d x %d.\0"
    "kqsfupdt needs a terminal of at least %d x %d; this one is %d x %d.";

// A terminal too small for the layout is asked once, at start, to grow to it (the xterm
// window operation CSI 8 ; rows ; columns t, which xterm, VTE and others carry out).
// One that grows reports its new size, and the screen is drawn; one that ignores the
// request keeps the "too small" sentence until the operator makes it larger.
static void AskToFit() {
    if (TerminalFits()) return;
    char request[32];
    FormatResizeRequest(LINES, COLS, request, sizeof request);
    fputs(request, stdout);
    fflush(stdout);
}

void TerminalStart() {
    initscr();
    cbreak();  // Ctrl+C stays a signal: the close box
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);  // Alt+key arrives as Escape and the key at once
    curs_set(0);
    WatchResizeSignal();
    TerminalThread = pthread_self();
    Started = true;
    AskToFit();
}

void TerminalEnd() {
    if (Started && !isendwin()) endwin();
    fflush(stdout);
}

// The number of cells of row r up to its last one that shows something.
static int RowLength(int r) {
    const uint8_t* row = ScreenCells + r * SCREEN_COLUMNS;
    int end = SCREEN_COLUMNS;
    while (end > 0 && (row[end - 1] == ' ' || row[end - 1] == 0)) end--;
    return end;
}

void TerminalPrintScreen() {
    if (!Started || !TerminalFits()) return;
    int rows = SCREEN_ROWS;
    while (rows > 0 && RowLength(rows - 1) == 0) rows--;
    for (int r = 0; r < rows; r++) {
        int length = RowLength(r);
        for (int k = 0; k < length; k++) printf("%lc", (wint_t)Cp437ToUnicode(ScreenCells[r * SCREEN_COLUMNS + k]));
        putchar('\n');
    }
    fflush(stdout);
}

bool OnTerminalThread() { return Started && pthread_equal(pthread_self(), TerminalThread); }

bool TerminalFits() { return COLS >= TERM_NEEDED_COLUMNS && LINES >= TERM_NEEDED_ROWS; }

void TerminalPutText(int y, int x, const char* text, int maxCells) {
    wchar_t line[256];
    int n = 0;
    int room = COLS - x;
    if (maxCells > room) maxCells = room;
    if (maxCells > 255) maxCells = 255;
    for (; n < maxCells && text[n] != 0; n++) line[n] = Cp437ToUnicode((uint8_t)text[n]);
    line[n] = 0;
    if (n > 0) mvaddnwstr(y, x, line, n);
}

static void DrawTooSmall() {
    char message[128];
    snprintf(message, sizeof message, PickMessage(TOO_SMALL), TERM_NEEDED_COLUMNS, TERM_NEEDED_ROWS, COLS,
             LINES);
    wchar_t shown[128];
    Cp437ToWide(message, shown, sizeof shown / sizeof shown[0]);
    mvaddwstr(0, 0, shown);  // wraps at the right edge by itself
}

void TerminalDrawAll() {
    if (!Started) return;
    erase();
    if (!TerminalFits()) {
        DrawTooSmall();
        return;
    }
    char title[128];
    FormatWindowTitle(title, sizeof title);
    if (ProgressRunning() && CloseRequested()) {
        snprintf(title, sizeof title, "%s", PickMessage(CLOSE_WAITS_NOTICE));
        NoteCloseDuringWork();
    }
    char padded[SCREEN_COLUMNS + 1];
    snprintf(padded, sizeof padded, "%-80.80s", title);
    attron(A_REVERSE);
    TerminalPutText(0, 0, padded, SCREEN_COLUMNS);
    attroff(A_REVERSE);

    wchar_t row[SCREEN_COLUMNS + 1];
    for (int r = 0; r < SCREEN_ROWS; r++) {
        for (int k = 0; k < SCREEN_COLUMNS; k++)
            row[k] = Cp437ToUnicode(ScreenCells[r * SCREEN_COLUMNS + k]);
        row[SCREEN_COLUMNS] = 0;
        mvaddnwstr(TERM_SCREEN_TOP + r, 0, row, SCREEN_COLUMNS);
    }
    char status[SCREEN_COLUMNS + 1];
    if (StatusLine(status, sizeof status)) {
        attron(A_BOLD);
        TerminalPutText(TERM_SCREEN_TOP + SCREEN_ROWS, 0, status, SCREEN_COLUMNS);
        attroff(A_BOLD);
        return;
    }
    attron(A_DIM);
    TerminalPutText(TERM_SCREEN_TOP + SCREEN_ROWS, 0, PickMessage(HINT), SCREEN_COLUMNS);
    attroff(A_DIM);
}

void TerminalRefresh() {
    if (Started) refresh();
}

void PlatRepaint() {
    if (!OnTerminalThread()) return;
    TerminalDrawAll();
    TerminalRefresh();
}

void PlatPaintStep() {
    if (!OnTerminalThread()) return;  // the receive thread owns no window
    ReadPendingInput();
    NoteCloseDuringWork();
    if (TakeResize()) PlatRepaint();
}

void PlatWindowShowAndSize() { PlatRepaint(); }

// The terminal draws with its own font: the screen font file is written (the core
// does that) but there is nothing to register.
bool PlatFontRemove(const char*) { return false; }
void PlatFontAdd(const char*) {}
void PlatFontCreate() {}
void PlatFontDelete() {}
