// dialogs.cpp - the message box, the language dialog and the MAC address dialog, drawn
// as frames over the text screen. All are modal: they read the terminal themselves
// until they close.
#include <curses.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/terminal/edit_field.h"
#include "platform/posix/posix.h"
#include "core.h"

// ---- Message box --------------------------------------------------------------------------------

static const int BOX_MAX_LINES = 20;
static const int BOX_MAX_WIDTH = 76;

static void DrawMessageBox(const char* text, const char* caption) {
    TerminalDrawAll();
    // The text's lines, each clipped to the box.
    const char* starts[BOX_MAX_LINES];
    int lengths[BOX_MAX_LINES];
    int lines = 0, inner = (int)strlen(caption) + 4;
    for (const char* p = text; lines < BOX_MAX_LINES;) {
        const char* end = strchr(p, '\n');
        int len = end ? (int)(end - p) : (int)strlen(p);
        if (len > BOX_MAX_WIDTH) len = BOX_MAX_WIDTH;
        starts[lines] = p;
        lengths[lines++] = len;
        if (len > inner) inner = len;
        if (end == nullptr) break;
        p = end + 1;
    }
    if (inner > BOX_MAX_WIDTH) inner = BOX_MAX_WIDTH;
    int height = lines + 4, width = inner + 4;
    int top = (LINES - height) / 2, left = (COLS - width) / 2;
    if (top < 0) top = 0;
    if (left < 0) left = 0;
    DrawFrame(top, left, height, width, caption);
    for (int i = 0; i < lines; i++) {
        char line[BOX_MAX_WIDTH + 1];
        memcpy(line, starts[i], (size_t)lengths[i]);
        line[lengths[i]] = 0;
        TerminalPutText(top + 1 + i, left + 2, line, inner);
    }
    attron(A_REVERSE);
    mvaddstr(top + height - 2, left + (width - 6) / 2, "[ OK ]");
    attroff(A_REVERSE);
    TerminalRefresh();
}

void PlatMessageBox(const char* text, const char* caption) {
    if (text == nullptr) text = "";
    if (caption == nullptr) caption = "kqsfupdt";
    if (!OnTerminalThread()) {
        fprintf(stderr, "%s: %s\n", caption, text);
        return;
    }
    DiscardTypeAhead();
    DrawMessageBox(text, caption);
    for (;;) {
        TermEvent e;
        if (!NextBoxEvent(&e)) {
            if (CloseRequested()) break;
            continue;
        }
        if (e.type == TERM_EVENT_RESIZE) DrawMessageBox(text, caption);
        if (e.type == TERM_EVENT_KEY && e.vk == 13) break;
    }
    PlatRepaint();
}

// ---- Language dialog ------------------------------------------------------------------------------
// The terminal twin of IdiomaDialog. The four language buttons answer to their
// mnemonic letters C, E, F and D, and Clear to Delete or Backspace, without moving the
// focus; Tab and the arrows move the focus, Enter or the space bar press the focused
// button. The focus starts on OK, the default button, so typing the letters and then
// Enter installs them. As in the window there is no way out but OK.

struct DialogButton {
    int id;
    const char* text;
    int row, column;  // inside the dialog
};

static const DialogButton BUTTONS[] = {
    {IDC_LANGUAGE_FIRST + 0, "&CASTELLANO", 2, 3},
    {IDC_LANGUAGE_FIRST + 1, "&ENGLISH", 2, 19},
    {IDC_LANGUAGE_FIRST + 2, "&FRANCAISE", 2, 32},
    {IDC_LANGUAGE_FIRST + 3, "&DEUTSCH", 4, 3},
    {IDC_LANGUAGE_CLEAR, "Clear", 8, 33},
    {IDC_LANGUAGE_OK, " OK  ", 10, 33},
};
static const int BUTTON_COUNT = (int)(sizeof BUTTONS / sizeof BUTTONS[0]);
static const int DIALOG_WIDTH = 52, DIALOG_HEIGHT = 17;
// The keys' line, a message pair (Spanish, its zero, English) that fits inside the frame.
static const char LANGUAGE_KEYS[] =
    "CEFD a\xA4" "ade, Supr Clear, Tab mueve, Enter pulsa\0"
    "CEFD: add  Del: clear  Tab: move  Enter: press";
static const int LIST_ROW = 7, LIST_COLUMN = 6, LIST_WIDTH = 22, LIST_LINES = 4;
static const int VK_TAB = 9;

static int ButtonMnemonic(const char* text) { return text[0] == '&' ? text[1] : 0; }

static void DrawButton(int top, int left, const DialogButton& b, bool focused) {
    attr_t base = focused ? A_REVERSE : (b.id == IDC_LANGUAGE_OK ? A_BOLD : A_NORMAL);
    attrset(base);
    mvaddstr(top + b.row, left + b.column, "[ ");
    for (const char* p = b.text; *p; p++) {
        if (*p == '&' && p[1]) {
            attrset(base | A_UNDERLINE);
            addch((unsigned char)*++p);
            attrset(base);
        } else {
            addch((unsigned char)*p);
        }
    }
    addstr(" ]");
    attrset(A_NORMAL);
}

static void DrawLanguageDialog(int focus) {
    TerminalDrawAll();
    int top = (LINES - DIALOG_HEIGHT) / 2, left = (COLS - DIALOG_WIDTH) / 2;
    if (top < 0) top = 0;
    if (left < 0) left = 0;
    DrawFrame(top, left, DIALOG_HEIGHT, DIALOG_WIDTH, "Select Languages to Install");
    DrawFrame(top + 6, left + 2, 8, DIALOG_WIDTH - 4, "Languages installed");
    DrawFrame(top + LIST_ROW, left + LIST_COLUMN - 1, LIST_LINES + 2, LIST_WIDTH + 2, "");
    // Control 302: one line per installed language.
    const char* p = LanguageDialogListText;
    for (int line = 0; line < LIST_LINES && *p; line++) {
        const char* end = strchr(p, '\n');
        int len = end ? (int)(end - p) : (int)strlen(p);
        char text[64];
        snprintf(text, sizeof text, "%.*s", len < LIST_WIDTH ? len : LIST_WIDTH, p);
        TerminalPutText(top + LIST_ROW + 1 + line, left + LIST_COLUMN, text, LIST_WIDTH);
        p = end ? end + 1 : p + len;
    }
    // Control 301: the flash memory left free.
    TerminalPutText(top + 14, left + 8, LanguageDialogFreeText, DIALOG_WIDTH - 10);
    attron(A_DIM);
    TerminalPutText(top + 15, left + 3, PickMessage(LANGUAGE_KEYS), DIALOG_WIDTH - 4);
    attroff(A_DIM);
    for (int i = 0; i < BUTTON_COUNT; i++) DrawButton(top, left, BUTTONS[i], i == focus);
    TerminalRefresh();
}

void PlatLanguageDialog() {
    int focus = BUTTON_COUNT - 1;  // OK
    DiscardTypeAhead();
    LanguageDialogOpen();
    DrawLanguageDialog(focus);
    for (;;) {
        TermEvent e;
        if (!NextBoxEvent(&e)) {
            if (CloseRequested()) CloseFromModal();
            continue;
        }
        if (e.type == TERM_EVENT_RESIZE) DrawLanguageDialog(focus);
        if (e.type != TERM_EVENT_KEY) continue;
        int pressed = 0;
        if (e.vk == VK_TAB || e.vk == 39 || e.vk == VK_DOWN) {
            focus = (focus + 1) % BUTTON_COUNT;
        } else if (e.vk == 37 || e.vk == VK_UP) {
            focus = (focus + BUTTON_COUNT - 1) % BUTTON_COUNT;
        } else if (e.vk == 13 || e.vk == ' ') {
            pressed = BUTTONS[focus].id;
        } else if (e.vk == VK_DELETE || e.vk == VK_BACK) {
            pressed = IDC_LANGUAGE_CLEAR;
        } else {
            for (int i = 0; i < BUTTON_COUNT; i++)
                if (e.vk != 0 && ButtonMnemonic(BUTTONS[i].text) == e.vk) pressed = BUTTONS[i].id;
        }
        if (pressed != 0 && LanguageDialogButton(pressed)) break;
        DrawLanguageDialog(focus);
    }
    PlatRepaint();
}

// ---- MAC address dialog ---------------------------------------------------------------------
// The terminal twin of MacDialog: the "Current:" line as the console reports it, the
// "New:" line with its six-digit field, Enter for "OK" and Esc for "Exit". The field is
// the dialog's edit control with the focus: it opens with the proposed address selected,
// so the first digit typed replaces it, and it takes the keys an edit control takes
// (edit_field.h), hexadecimal digits only. A close request (Ctrl+C, a hang-up) leaves
// the dialog as "Exit" does and stays pending for the wait that follows the command.
// The receive thread only raises MacTextsChanged; the loop below, on the terminal's
// thread, takes the texts and draws them within MAC_CHANGE_POLL_MS.

static const int MAC_DIALOG_WIDTH = 52, MAC_DIALOG_HEIGHT = 11;
static const char MAC_KEYS[] =
    "0-F cifras, Retroceso borra, Enter OK, Esc Exit\0"
    "0-F: digits  Bksp: erase  Enter: OK  Esc: Exit";
static const char MAC_MOVE_KEYS[] =
    "Flechas, Inicio, Fin: mover  con May\xA3s: marcar\0"
    "Arrows, Home, End: move  with Shift: select";
static const int MAC_TEXT_COLUMN = 16;  // where the addresses start inside the dialog
static const uint64_t MAC_TIMER_MS = 200;
static const int MAC_CHANGE_POLL_MS = 20;

static std::atomic<bool> MacDialogOpen{false};
static std::atomic<bool> MacTextsChanged{false};

static uint64_t MonotonicMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000 + (uint64_t)t.tv_nsec / 1000000;
}

static bool IsHexKey(int vk) { return (vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'F'); }

// Takes the core's texts into *view; a new text for control 204 replaces the field's,
// as a text set into an edit control does (the caret to the start, nothing selected).
static void TakeMacTexts(MacDialogView* view, EditField* field) {
    unsigned changed = MacDialogTakeChanges(view);
    if (changed & MAC_CHANGED_NEW_LOW) EditFieldSetText(field, view->newLow);
}

// The field's cells: the selection in reverse video, the rest underlined to show how
// far the field goes. Returns the column of the caret.
static int DrawMacField(int row, int column, const EditField& field) {
    int start, end;
    EditFieldSelection(field, &start, &end);
    int length = (int)strlen(field.text);
    for (int i = 0; i < (int)MAC_FIELD_CHARS; i++) {
        char cell[2] = {i < length ? field.text[i] : ' ', 0};
        attrset(i >= start && i < end ? A_REVERSE : A_UNDERLINE);
        TerminalPutText(row, column + i, cell, 1);
    }
    attrset(A_NORMAL);
    return column + field.caret;
}

static void DrawMacDialog(const MacDialogView& view, const EditField& field) {
    TerminalDrawAll();
    int top = (LINES - MAC_DIALOG_HEIGHT) / 2, left = (COLS - MAC_DIALOG_WIDTH) / 2;
    if (top < 0) top = 0;
    if (left < 0) left = 0;
    DrawFrame(top, left, MAC_DIALOG_HEIGHT, MAC_DIALOG_WIDTH, "MAC Address");
    int column = left + MAC_TEXT_COLUMN;
    TerminalPutText(top + 2, left + 6, "Current:", 8);
    TerminalPutText(top + 2, column, view.currentHigh, 9);
    TerminalPutText(top + 2, column + 9, view.currentLow, 6);
    TerminalPutText(top + 4, left + 10, "New:", 4);
    TerminalPutText(top + 4, column, view.newHigh, 9);
    int caret = DrawMacField(top + 4, column + 9, field);
    attron(A_BOLD);
    mvaddstr(top + 6, left + 12, "[ OK ]");
    attroff(A_BOLD);
    mvaddstr(top + 6, left + 30, "[ Exit ]");
    attron(A_DIM);
    TerminalPutText(top + 8, left + 3, PickMessage(MAC_KEYS), MAC_DIALOG_WIDTH - 4);
    TerminalPutText(top + 9, left + 3, PickMessage(MAC_MOVE_KEYS), MAC_DIALOG_WIDTH - 4);
    attroff(A_DIM);
    move(top + 4, caret);  // the terminal's cursor is the field's caret
    TerminalRefresh();
}

// A key for the field; true when it changed the field.
static bool MacFieldKey(EditField* field, const TermEvent& e) {
    if (IsHexKey(e.vk)) return EditFieldType(field, (char)e.vk);
    return EditFieldKey(field, e.vk, e.shift);
}

void PlatMacDialog() {
    MacDialogView view;
    EditField field;
    EditFieldInit(&field, (int)MAC_FIELD_CHARS);
    DiscardTypeAhead();  // an [ENTER] typed while "Connecting..." showed is not "OK"
    MacDialogInit();
    TakeMacTexts(&view, &field);
    EditFieldSelectAll(&field);  // the focus goes to the field, as the dialog opens
    MacTextsChanged = false;
    MacDialogOpen = true;
    curs_set(1);
    DrawMacDialog(view, field);
    uint64_t nextTick = MonotonicMs() + MAC_TIMER_MS;
    for (;;) {
        if (CloseRequested()) break;
        bool redraw = false, close = false;
        TermEvent e;
        if (TakeEvent(&e)) {
            if (e.type == TERM_EVENT_CLOSE) {
                RequestClose();  // taken just now: leave it for the wait after the command
                break;
            }
            if (e.type == TERM_EVENT_RESIZE) redraw = true;
            if (e.type == TERM_EVENT_KEY) {
                if (e.vk == 13 || e.vk == VK_ESCAPE) {
                    close = MacDialogCommand(e.vk == 13 ? IDC_MAC_OK : IDC_MAC_EXIT, field.text);
                    TakeMacTexts(&view, &field);
                    redraw = true;
                } else {
                    redraw = MacFieldKey(&field, e);
                }
            }
        } else {
            int64_t untilTick = (int64_t)(nextTick - MonotonicMs());
            int wait = untilTick < MAC_CHANGE_POLL_MS ? (int)(untilTick > 0 ? untilTick : 0)
                                                      : MAC_CHANGE_POLL_MS;
            if (wait > 0) WaitForInput(wait);
        }
        if (close) break;
        if (MacTextsChanged.exchange(false)) {
            TakeMacTexts(&view, &field);
            redraw = true;
        }
        uint64_t now = MonotonicMs();
        if (now >= nextTick) {
            MacDialogTimer();
            nextTick += MAC_TIMER_MS;
            if (nextTick <= now) nextTick = now + MAC_TIMER_MS;  // slept through ticks: no burst
        }
        if (redraw) DrawMacDialog(view, field);
    }
    MacDialogOpen = false;
    curs_set(0);
    PlatRepaint();
}

void PlatMacDialogChanged() {
    if (MacDialogOpen) MacTextsChanged = true;
}
