// menu.cpp - the File drop-down, drawn over the text screen. It is modal: it reads the
// terminal itself until it closes. Also the frame and the key reading of every box.
#include <curses.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix.h"
#include "core.h"

static const int MENU_TOP = TERM_SCREEN_TOP;  // drops down from under the title
static const int MENU_LEFT = 1;
static const int BOX_POLL_MS = 100;

// The next key for a box: a queued event, or one read within BOX_POLL_MS. A close
// request is left pending for the caller to see with CloseRequested.
bool NextBoxEvent(TermEvent* event) {
    if (CloseRequested()) return false;
    if (TakeEvent(event)) return true;
    WaitForInput(BOX_POLL_MS);
    if (CloseRequested()) return false;
    return TakeEvent(event);
}

// ---- File menu ------------------------------------------------------------------------------

// The letter after '&' in a menu text, in upper case; 0 when none.
static int Mnemonic(const char* text) {
    const char* amp = strchr(text, '&');
    if (amp == nullptr || amp[1] == 0) return 0;
    char c = amp[1];
    return (c >= 'a' && c <= 'z') ? c - 32 : c;
}

static int MenuWidth(const MenuItem* items) {
    int width = 0;
    for (const MenuItem* m = items; m->text; m++) {
        int len = (int)strlen(m->text) - (strchr(m->text, '&') ? 1 : 0);
        if (len > width) width = len;
    }
    return width + 4;  // border and one blank each side
}

// A frame with its caption on the top border and a blank inside, drawn on the screen.
void DrawFrame(int top, int left, int height, int width, const char* caption) {
    for (int y = top + 1; y < top + height - 1; y++) mvhline(y, left + 1, ' ', width - 2);
    mvhline(top, left + 1, ACS_HLINE, width - 2);
    mvhline(top + height - 1, left + 1, ACS_HLINE, width - 2);
    mvvline(top + 1, left, ACS_VLINE, height - 2);
    mvvline(top + 1, left + width - 1, ACS_VLINE, height - 2);
    mvaddch(top, left, ACS_ULCORNER);
    mvaddch(top, left + width - 1, ACS_URCORNER);
    mvaddch(top + height - 1, left, ACS_LLCORNER);
    mvaddch(top + height - 1, left + width - 1, ACS_LRCORNER);
    if (caption[0] == 0) return;
    char head[96];
    snprintf(head, sizeof head, " %.*s ", width - 6 > 90 ? 90 : width - 6, caption);
    TerminalPutText(top, left + 2, head, width - 4);
}

static void DrawMenu(const MenuItem* items, int selected) {
    TerminalDrawAll();
    if (!TerminalFits()) {
        TerminalRefresh();
        return;
    }
    int count = 0;
    while (items[count].text) count++;
    int width = MenuWidth(items);
    DrawFrame(MENU_TOP, MENU_LEFT, count + 2, width, "File");
    for (int i = 0; i < count; i++) {
        const MenuItem& m = items[i];
        int y = MENU_TOP + 1 + i;
        if (m.id == 0) {  // a separator: a line joined to the frame
            mvaddch(y, MENU_LEFT, ACS_LTEE);
            mvhline(y, MENU_LEFT + 1, ACS_HLINE, width - 2);
            mvaddch(y, MENU_LEFT + width - 1, ACS_RTEE);
            continue;
        }
        attr_t base = i == selected ? A_REVERSE : A_NORMAL;
        attrset(base);
        mvhline(y, MENU_LEFT + 1, ' ', width - 2);
        move(y, MENU_LEFT + 2);
        for (const char* p = m.text; *p; p++) {
            if (*p == '&' && p[1]) {  // the mnemonic letter, underlined
                attrset(base | A_UNDERLINE);
                addch((unsigned char)*++p);
                attrset(base);
            } else {
                addch((unsigned char)*p);
            }
        }
        attrset(A_NORMAL);
    }
    TerminalRefresh();
}

// The next item from selected in direction step (+1 or -1), skipping separators.
static int Step(const MenuItem* items, int count, int selected, int step) {
    for (int i = 0; i < count; i++) {
        selected = (selected + step + count) % count;
        if (items[selected].id != 0) return selected;
    }
    return selected;
}

int RunFileMenu() {
    const MenuItem* items = ShellMenu();
    int count = 0;
    while (items[count].text) count++;
    int selected = Step(items, count, count - 1, +1);
    int chosen = 0;
    bool open = true;
    DrawMenu(items, selected);
    while (open) {
        TermEvent e;
        if (!NextBoxEvent(&e)) {
            if (CloseRequested()) break;
            continue;
        }
        if (e.type == TERM_EVENT_RESIZE) {
            DrawMenu(items, selected);
            continue;
        }
        if (e.type == TERM_EVENT_SYSTEM_KEY && e.vk == VK_F10) break;  // F10 again closes
        if (e.type != TERM_EVENT_KEY) continue;
        switch (e.vk) {
        case VK_ESCAPE:
            open = false;
            break;
        case VK_UP:
        case VK_DOWN:
            selected = Step(items, count, selected, e.vk == VK_UP ? -1 : +1);
            DrawMenu(items, selected);
            break;
        case 13:
            chosen = items[selected].id;
            open = false;
            break;
        default:
            for (int i = 0; i < count && e.vk != 0; i++)
                if (items[i].id != 0 && Mnemonic(items[i].text) == e.vk) {
                    chosen = items[i].id;
                    open = false;
                }
        }
    }
    PlatRepaint();
    return chosen;
}
