/* wine_probe.c - looks at the updater from the outside, under Wine, for the
   end-to-end tests. Built with MinGW by wine_smoke.sh; not part of the product.

     wine_probe client              client area of the main window: "W H"
     wine_probe close               post WM_CLOSE to the main window
     wine_probe command ID          post the menu command ID to the main window
     wine_probe text TITLE          the message text of the box titled TITLE
     wine_probe size TITLE          client area of the window titled TITLE: "W H"
     wine_probe item TITLE ID       the text of control ID of the dialog titled TITLE
     wine_probe press TITLE ID      button ID of the dialog titled TITLE, clicked
     wine_probe dpi DPI             WM_DPICHANGED to the main window, as Windows sends
                                    it when the window moves onto a monitor of that
                                    DPI (proposing the window's place as it is)
     wine_probe hold FILE UNTIL     FILE held open for reading, shared for reading only
                                    (as a spreadsheet holds a CSV file), "held" printed,
                                    until the file UNTIL exists (at most 10 minutes)
     wine_probe desktop SECONDS     a hidden window, kept SECONDS: the display driver and
                                    the desktop start with it, and the session stays up
     wine_probe windows             every top-level window Wine knows: handle, process,
                                    visible or hidden, class and title, one a line
     wine_probe resources EXE       the menus Menu and MenuST (one line per item) and
                                    the dialogs IdiomaDialog and MacDialog (header,
                                    then one line per control), each after "== NAME"

   Exit code 0 on success, 2 when the window or resource is not there. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static HWND MainWindow(void) { return FindWindowA("Kqsfupdt", NULL); }

static BOOL CALLBACK FindBoxText(HWND child, LPARAM out) {
    char cls[32], text[256];
    GetClassNameA(child, cls, sizeof cls);
    if (lstrcmpiA(cls, "Static") != 0) return TRUE;
    GetWindowTextA(child, text, sizeof text);
    if (text[0] == 0) return TRUE;  /* the icon */
    lstrcpynA((char*)out, text, 256);
    return FALSE;
}

static void PrintMenu(HMENU menu, int depth) {
    int n = GetMenuItemCount(menu);
    for (int i = 0; i < n; i++) {
        char text[128] = "";
        MENUITEMINFOA mi;
        memset(&mi, 0, sizeof mi);
        mi.cbSize = sizeof mi;
        mi.fMask = MIIM_FTYPE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
        mi.dwTypeData = text;
        mi.cch = sizeof text;
        GetMenuItemInfoA(menu, i, TRUE, &mi);
        printf("%*s", 2 * depth, "");
        if (mi.hSubMenu) {
            printf("popup %s\n", text);
            PrintMenu(mi.hSubMenu, depth + 1);
        } else if (mi.fType & MFT_SEPARATOR) {
            printf("separator\n");
        } else {
            printf("%u %s\n", mi.wID, text);
        }
    }
}

/* sz_Or_Ord of a DIALOG template: 0x0000 none, 0xFFFF then an ordinal, else a string. */
static const WORD* ReadName(const WORD* p, char* out, size_t size) {
    if (*p == 0) {
        out[0] = 0;
        return p + 1;
    }
    if (*p == 0xFFFF) {
        snprintf(out, size, "#%u", p[1]);
        return p + 2;
    }
    int n = WideCharToMultiByte(CP_ACP, 0, (LPCWSTR)p, -1, out, (int)size, NULL, NULL);
    if (n == 0) out[0] = 0;
    return p + lstrlenW((LPCWSTR)p) + 1;
}

static const char* ClassName(const char* atom) {
    static const struct { const char* ord; const char* name; } atoms[] = {
        {"#128", "Button"}, {"#129", "Edit"}, {"#130", "Static"},
        {"#131", "ListBox"}, {"#132", "ScrollBar"}, {"#133", "ComboBox"}};
    for (size_t i = 0; i < sizeof atoms / sizeof atoms[0]; i++)
        if (strcmp(atom, atoms[i].ord) == 0) return atoms[i].name;
    return atom;
}

static int PrintDialog(const WORD* p) {
    const DLGTEMPLATE* t = (const DLGTEMPLATE*)p;
    if (p[1] == 0xFFFF) {
        printf("DIALOGEX templates are not read\n");
        return 2;
    }
    char menu[128], cls[128], caption[256], face[64] = "";
    WORD points = 0;
    p = (const WORD*)(t + 1);
    p = ReadName(p, menu, sizeof menu);
    p = ReadName(p, cls, sizeof cls);
    p = ReadName(p, caption, sizeof caption);
    if (t->style & DS_SETFONT) {
        points = *p++;
        p = ReadName(p, face, sizeof face);
    }
    printf("dialog %d %d %d %d style=%08lx caption=%s font=%u %s\n", t->x, t->y, t->cx, t->cy,
           (unsigned long)t->style, caption, points, face);
    for (int i = 0; i < t->cdit; i++) {
        p = (const WORD*)(((ULONG_PTR)p + 3) & ~(ULONG_PTR)3);
        const DLGITEMTEMPLATE* item = (const DLGITEMTEMPLATE*)p;
        char itemClass[128], text[256];
        p = (const WORD*)(item + 1);
        p = ReadName(p, itemClass, sizeof itemClass);
        p = ReadName(p, text, sizeof text);
        WORD extra = *p++;
        p = (const WORD*)((const BYTE*)p + extra);
        printf("control %d %s %d %d %d %d style=%08lx text=%s\n", (short)item->id,
               ClassName(itemClass), item->x, item->y, item->cx, item->cy,
               (unsigned long)item->style, text);
    }
    return 0;
}

static BOOL CALLBACK ListWindow(HWND w, LPARAM unused) {
    char cls[64] = "", title[256] = "";
    DWORD pid = 0;
    (void)unused;
    GetClassNameA(w, cls, sizeof cls);
    GetWindowTextA(w, title, sizeof title);
    GetWindowThreadProcessId(w, &pid);
    printf("%p pid %04lx %s class \"%s\" title \"%s\"\n", (void*)w, (unsigned long)pid,
           IsWindowVisible(w) ? "visible" : "hidden", cls, title);
    return TRUE;
}

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "desktop") == 0) {
        HWND w = CreateWindowA("STATIC", "", 0, 0, 0, 1, 1, NULL, NULL, NULL, NULL);
        Sleep(1000 * (DWORD)atoi(argv[2]));
        if (w != NULL) DestroyWindow(w);
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "windows") == 0) {
        EnumWindows(ListWindow, 0);
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "client") == 0) {
        RECT r;
        HWND w = MainWindow();
        if (w == NULL || !GetClientRect(w, &r)) return 2;
        printf("%ld %ld\n", r.right - r.left, r.bottom - r.top);
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "close") == 0) {
        HWND w = MainWindow();
        if (w == NULL) return 2;
        PostMessageA(w, WM_CLOSE, 0, 0);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "command") == 0) {
        HWND w = MainWindow();
        if (w == NULL) return 2;
        PostMessageA(w, WM_COMMAND, (WPARAM)atoi(argv[2]), 0);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "repaint") == 0) {
        /* The whole window painted again, N times, each before the next (UpdateWindow
           sends the paint and waits for it). */
        HWND w = MainWindow();
        if (w == NULL) return 2;
        for (int i = atoi(argv[2]); i > 0; i--) {
            InvalidateRect(w, NULL, FALSE);
            UpdateWindow(w);
        }
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "size") == 0) {
        RECT r;
        HWND w = FindWindowA(NULL, argv[2]);
        if (w == NULL || !GetClientRect(w, &r)) return 2;
        printf("%ld %ld\n", r.right - r.left, r.bottom - r.top);
        return 0;
    }
    if (argc >= 4 && strcmp(argv[1], "item") == 0) {
        char text[256] = "";
        HWND w = FindWindowA(NULL, argv[2]);
        if (w == NULL || GetDlgItem(w, atoi(argv[3])) == NULL) return 2;
        GetDlgItemTextA(w, atoi(argv[3]), text, sizeof text);
        printf("%s\n", text);
        return 0;
    }
    if (argc >= 4 && strcmp(argv[1], "press") == 0) {
        HWND w = FindWindowA(NULL, argv[2]);
        HWND button = w != NULL ? GetDlgItem(w, atoi(argv[3])) : NULL;
        if (button == NULL) return 2;
        PostMessageA(w, WM_COMMAND, MAKEWPARAM(atoi(argv[3]), BN_CLICKED), (LPARAM)button);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "dpi") == 0) {
        /* The proposed rectangle is read by the receiver in its own memory: it is
           written there, and freed once the message has been handled. */
        HWND w = MainWindow();
        DWORD pid = 0;
        RECT r;
        if (w == NULL || !GetWindowRect(w, &r)) return 2;
        GetWindowThreadProcessId(w, &pid);
        HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
        void* there = process ? VirtualAllocEx(process, NULL, sizeof r, MEM_COMMIT, PAGE_READWRITE) : NULL;
        if (there == NULL || !WriteProcessMemory(process, there, &r, sizeof r, NULL)) return 2;
        WORD dpi = (WORD)atoi(argv[2]);
        DWORD_PTR result;
        LRESULT sent = SendMessageTimeoutA(w, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), (LPARAM)there,
                                           SMTO_NORMAL, 10000, &result);
        VirtualFreeEx(process, there, 0, MEM_RELEASE);
        CloseHandle(process);
        return sent ? 0 : 2;
    }
    if (argc >= 3 && strcmp(argv[1], "text") == 0) {
        char text[256] = "";
        HWND box = FindWindowA(NULL, argv[2]);
        if (box == NULL) return 2;
        EnumChildWindows(box, FindBoxText, (LPARAM)text);
        printf("%s\n", text);
        return 0;
    }
    if (argc >= 4 && strcmp(argv[1], "hold") == 0) {
        HANDLE f = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (f == INVALID_HANDLE_VALUE) return 2;
        printf("held\n");
        fflush(stdout);
        for (int i = 0; i < 12000 && GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES; i++) Sleep(50);
        CloseHandle(f);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "resources") == 0) {
        static const char* const menus[] = {"Menu", "MenuST"};
        static const char* const dialogs[] = {"IdiomaDialog", "MacDialog"};
        HMODULE m = LoadLibraryExA(argv[2], NULL, LOAD_LIBRARY_AS_DATAFILE);
        if (m == NULL) return 2;
        for (int i = 0; i < 2; i++) {
            printf("== %s\n", menus[i]);
            HMENU menu = LoadMenuA(m, menus[i]);
            if (menu != NULL) PrintMenu(menu, 0);
        }
        for (int i = 0; i < 2; i++) {
            printf("== %s\n", dialogs[i]);
            HRSRC r = FindResourceA(m, dialogs[i], (LPCSTR)RT_DIALOG);
            if (r != NULL) PrintDialog((const WORD*)LockResource(LoadResource(m, r)));
        }
        return 0;
    }
    fprintf(stderr, "usage: wine_probe client|close|command ID|repaint N|text TITLE|size TITLE|"
                    "item TITLE ID|press TITLE ID|dpi DPI|hold FILE UNTIL|desktop SECONDS|windows|"
                    "resources EXE\n");
    return 1;
}
