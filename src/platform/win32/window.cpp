// window.cpp - program entry, the main window and its message handling on Windows.
// The window only draws the text screen and forwards creation, destruction and menu
// commands to the shell; every procedure of the updater runs inside ShellCommand.
#include "platform/win32/win32.h"

#include <cstdio>
#include <cstdlib>

#include "base/screen_scale.h"
#include "platform/platform.h"
#include "core.h"

HINSTANCE Win32Instance = NULL;
HWND Win32MainWindow = NULL;
HWND Win32OwnerWindow = NULL;
HFONT Win32ScreenFont = NULL;

static const char WINDOW_CLASS[] = "Kqsfupdt";
static const int CELL_WIDTH = 8;
static const int CELL_HEIGHT = 11;
static const int TOP_MARGIN = 1;  // the first text row starts one pixel down
static const int SCREEN_WIDTH = SCREEN_PIXEL_WIDTH;    // 640
static const int SCREEN_HEIGHT = SCREEN_PIXEL_HEIGHT;  // 396

// Every pixel of the text screen is a ScreenScale x ScreenScale block of the window
// (see base/screen_scale.h): 1 at 96 DPI, 2 at 144 and 192 DPI.
static int ScreenScale = 1;

// Every cell is drawn on every paint, whatever part of the window needs it. A row goes
// out in one call with every advance fixed at the cell width, which draws the same
// pixels as one call per cell at a fraction of the cost (2880 calls take longer than
// the console needs to program a chunk). KQ_PAINT_CELLS=1 in the environment selects
// the cell-by-cell drawing, to compare the two.
static bool PaintByCells = false;
// KQ_PAINT_TIMES=<file>: how many paints there were and how long they took, written
// to that file when the window goes (for the benchmark).
static const char* PaintTimesFile = NULL;
static uint64_t PaintCount = 0, PaintTotalCounts = 0, PaintLongestCounts = 0;

static void PaintRows(HDC dc) {
    static INT advances[SCREEN_COLUMNS];
    for (int k = 0; k < SCREEN_COLUMNS; k++) advances[k] = CELL_WIDTH;
    for (int r = 0; r < SCREEN_ROWS; r++)
        ExtTextOutA(dc, 0, TOP_MARGIN + CELL_HEIGHT * r, 0, NULL,
                    (const char*)&ScreenCells[SCREEN_COLUMNS * r], SCREEN_COLUMNS, advances);
}

static void PaintCells(HDC dc) {
    for (int r = 0; r < SCREEN_ROWS; r++)
        for (int k = 0; k < SCREEN_COLUMNS; k++)
            TextOutA(dc, CELL_WIDTH * k, TOP_MARGIN + CELL_HEIGHT * r,
                     (const char*)&ScreenCells[SCREEN_COLUMNS * r + k], 1);
}

// The text screen is drawn at scale 1 into a bitmap of its own, 640 x 396, with the same
// font and the same calls as ever, and copied from there to the window: as it is at
// scale 1, enlarged pixel by pixel at higher scales (COLORONCOLOR copies whole pixels,
// it never blends neighbours). The bitmap is a 32-bit DIB, so the picture is the same
// whatever the display's colour depth. Kept for the whole run.
static HDC CanvasDC = NULL;
static HBITMAP CanvasBitmap = NULL;
static HGDIOBJ CanvasFirstBitmap = NULL;

static HDC Canvas(HDC window) {
    if (CanvasDC != NULL) return CanvasDC;
    HDC dc = CreateCompatibleDC(window);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = SCREEN_WIDTH;
    info.bmiHeader.biHeight = -SCREEN_HEIGHT;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = NULL;
    HBITMAP bitmap = dc != NULL ? CreateDIBSection(window, &info, DIB_RGB_COLORS, &bits, NULL, 0) : NULL;
    if (bitmap == NULL) {
        if (dc != NULL) DeleteDC(dc);
        return NULL;
    }
    CanvasFirstBitmap = SelectObject(dc, bitmap);
    CanvasDC = dc;
    CanvasBitmap = bitmap;
    return CanvasDC;
}

static void DeleteCanvas() {
    if (CanvasDC == NULL) return;
    SelectObject(CanvasDC, CanvasFirstBitmap);
    DeleteObject(CanvasBitmap);
    DeleteDC(CanvasDC);
    CanvasDC = NULL;
    CanvasBitmap = NULL;
}

static void CopyCanvas(HDC window, HDC canvas) {
    int n = ScreenScale;
    if (n == 1) {
        BitBlt(window, 0, 0, SCREEN_WIDTH, SCREEN_HEIGHT, canvas, 0, 0, SRCCOPY);
        return;
    }
    SetStretchBltMode(window, COLORONCOLOR);
    StretchBlt(window, 0, 0, SCREEN_WIDTH * n, SCREEN_HEIGHT * n, canvas, 0, 0, SCREEN_WIDTH,
               SCREEN_HEIGHT, SRCCOPY);
}

static void PaintScreen(HWND window) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    // Without memory for the canvas the screen goes straight onto the window, at scale 1.
    HDC canvas = Canvas(dc);
    HDC target = canvas != NULL ? canvas : dc;
    if (canvas != NULL) PatBlt(canvas, 0, 0, SCREEN_WIDTH, SCREEN_HEIGHT, WHITENESS);
    HGDIOBJ previous = SelectObject(target, Win32ScreenFont);
    if (PaintByCells)
        PaintCells(target);
    else
        PaintRows(target);
    SelectObject(target, previous);
    if (canvas != NULL) CopyCanvas(dc, canvas);
    EndPaint(window, &ps);
    QueryPerformanceCounter(&end);
    uint64_t took = (uint64_t)(end.QuadPart - start.QuadPart);
    PaintCount++;
    PaintTotalCounts += took;
    if (took > PaintLongestCounts) PaintLongestCounts = took;
}

static void WritePaintTimes() {
    if (PaintTimesFile == NULL || PaintCount == 0) return;
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    FILE* out = fopen(PaintTimesFile, "w");
    if (out == NULL) return;
    fprintf(out, "paints %llu mean_us %.1f longest_us %.1f mode %s\n", (unsigned long long)PaintCount,
            PaintTotalCounts * 1e6 / (double)f.QuadPart / (double)PaintCount,
            PaintLongestCounts * 1e6 / (double)f.QuadPart, PaintByCells ? "cells" : "rows");
    fclose(out);
}

static void FollowDpiChange(UINT dpi, const RECT* suggested);

static LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        Win32MainWindow = window;
        ShellCreate();
        return 0;
    case WM_PAINT:
        PaintScreen(window);
        return 0;
    case WM_DPICHANGED:
        // Moved onto a monitor of another DPI (or its scaling changed): the new DPI in
        // both words of wParam, the system's proposal for the window in lParam.
        FollowDpiChange(HIWORD(wParam), (const RECT*)lParam);
        return 0;
    case WM_DESTROY:
        WritePaintTimes();
        DeleteCanvas();
        ShellDestroy();
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        ShellCommand(LOWORD(wParam));
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    Win32Instance = instance;
    ParseCommandLine(commandLine);
    // Sleeps and waits to the millisecond (the default tick is 15.6 ms), so a pause of
    // 30 ms is not one of 46 and a time-out ends when it should.
    timeBeginPeriod(1);
    const char* cells = getenv("KQ_PAINT_CELLS");
    PaintByCells = cells != NULL && cells[0] == '1';
    PaintTimesFile = getenv("KQ_PAINT_TIMES");

    WNDCLASSA wc = {};
    wc.style = 0;
    wc.lpfnWndProc = MainWindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, "Icon");
    wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszMenuName = ServiceFlag ? "MenuST" : "Menu";
    wc.lpszClassName = WINDOW_CLASS;
    if (!RegisterClassA(&wc)) return 0;

    char title[96];
    FormatWindowTitle(title, sizeof title);
    // A top-level window without WS_POPUP or WS_CHILD always gets a caption; with the
    // system menu alone it has a close box and no minimize, maximize or sizing border.
    // WM_CREATE shows and sizes it.
    Win32OwnerWindow = CreateWindowExA(0, WINDOW_CLASS, title, WS_SYSMENU, 0, 0, 0, 0, NULL,
                                       NULL, instance, NULL);

    // The procedures poll and pump messages themselves; between commands the loop
    // sleeps until the next message.
    MSG msg;
    for (;;) {
        if (!PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            WaitMessage();
            continue;
        }
        if (msg.message == WM_QUIT) return (int)msg.wParam;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// ---- Window messages while a procedure waits -----------------------------------------
static MSG TakenMessage;

PlatMessageKind PlatTakeMessage() {
    if (!PeekMessageA(&TakenMessage, NULL, 0, 0, PM_REMOVE)) return PLAT_MSG_NONE;
    switch (TakenMessage.message) {
    case WM_QUIT:
        return PLAT_MSG_QUIT;
    case WM_NCLBUTTONDOWN:
        return TakenMessage.wParam == HTMENU ? PLAT_MSG_MENU_CLICK : PLAT_MSG_OTHER;
    case WM_SYSKEYDOWN:
        return PLAT_MSG_SYSTEM_KEY;
    default:
        return PLAT_MSG_OTHER;
    }
}

void PlatDispatchMessage() {
    TranslateMessage(&TakenMessage);
    DispatchMessageA(&TakenMessage);
}

// Key presses reach GetAsyncKeyState even when another window has the focus, and no
// message of ours announces those. The main window therefore asks for the keyboard's
// raw input also while it is in the background (RIDEV_INPUTSINK): every press and
// release anywhere posts a WM_INPUT, which ends the wait like any message, and the pump
// hands it to DefWindowProc. Where that cannot be had, the wait naps a millisecond.
static bool KeyboardAnnounced() {
    static bool registered = false;
    if (registered || Win32MainWindow == NULL) return registered;
    RAWINPUTDEVICE keyboard;
    keyboard.usUsagePage = 0x01;  // generic desktop controls
    keyboard.usUsage = 0x06;      // keyboard
    keyboard.dwFlags = RIDEV_INPUTSINK;
    keyboard.hwndTarget = Win32MainWindow;
    registered = RegisterRawInputDevices(&keyboard, 1, sizeof keyboard) != FALSE;
    return registered;
}

static const DWORD UNANNOUNCED_KEYS_NAP_MS = 1;
// Every kind of message, spelled out: the headers' QS_ALLINPUT for Windows 8 and later
// holds touch and pointer bits that Windows 7 refuses, and a refused wait returns at once.
static const UINT ANY_MESSAGE = QS_KEY | QS_MOUSE | QS_RAWINPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT |
                                QS_HOTKEY | QS_SENDMESSAGE;

void PlatInputWait(uint32_t us) {
    DWORD ms = us == PLAT_WAIT_FOREVER ? INFINITE : (DWORD)((us + 999) / 1000);
    if (!KeyboardAnnounced() && ms > UNANNOUNCED_KEYS_NAP_MS) ms = UNANNOUNCED_KEYS_NAP_MS;
    if (MsgWaitForMultipleObjects(0, NULL, FALSE, ms, ANY_MESSAGE) == WAIT_FAILED) Sleep(UNANNOUNCED_KEYS_NAP_MS);
    // The wait ends for messages that came since the queue was last looked at, and
    // keeps ending for them until it is looked at again. A wait for a key's release
    // pumps nothing: mark what is queued as seen, so its next wait sleeps until
    // something new comes. The pump still finds those messages.
    GetQueueStatus(ANY_MESSAGE);
}

void PlatPaintStep() {
    MSG msg;
    if (PeekMessageA(&msg, NULL, WM_PAINT, WM_PAINT, PM_REMOVE)) DispatchMessageA(&msg);
}

void PlatRepaint() { RedrawWindow(Win32MainWindow, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW); }

// ---- Main window ---------------------------------------------------------------------------
// The manifest makes the program DPI-aware (per monitor where Windows has it, for the
// whole system before): Windows no longer stretches the window as a bitmap, and the
// program scales the text screen itself. The calls that know a window's own DPI and
// the frame at another DPI came with Windows 10 1607; they are looked up at run time,
// so the program still starts on the systems without them, which give one DPI for all.
typedef UINT(WINAPI* GetDpiForWindowCall)(HWND);
typedef BOOL(WINAPI* AdjustWindowRectExForDpiCall)(LPRECT, DWORD, BOOL, DWORD, UINT);

template <typename Call>
static Call UserCall(const char* name) {
    FARPROC found = GetProcAddress(GetModuleHandleA("user32.dll"), name);
    return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
}

static UINT WindowDpi(HWND window) {
    static GetDpiForWindowCall forWindow = UserCall<GetDpiForWindowCall>("GetDpiForWindow");
    UINT dpi = forWindow != NULL ? forWindow(window) : 0;
    if (dpi != 0) return dpi;
    HDC screen = GetDC(NULL);
    int system = screen != NULL ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != NULL) ReleaseDC(NULL, screen);
    return system > 0 ? (UINT)system : 96;
}

// The width and height that the frame, the caption and the menu bar add to the client
// area at dpi. The window has a fixed frame, thinner than a sizing frame.
static SIZE FrameAround(UINT dpi) {
    static AdjustWindowRectExForDpiCall forDpi =
        UserCall<AdjustWindowRectExForDpiCall>("AdjustWindowRectExForDpi");
    DWORD style = (DWORD)GetWindowLongPtrA(Win32MainWindow, GWL_STYLE);
    DWORD exStyle = (DWORD)GetWindowLongPtrA(Win32MainWindow, GWL_EXSTYLE);
    RECT r = {0, 0, 0, 0};
    if (forDpi == NULL || !forDpi(&r, style, TRUE, exStyle, dpi)) AdjustWindowRectEx(&r, style, TRUE, exStyle);
    SIZE frame = {r.right - r.left, r.bottom - r.top};
    return frame;
}

// Sizes the window at (left, top) so its client area is the text screen at the scale
// for dpi that fits the work area.
static void PlaceWindow(int left, int top, UINT dpi, const RECT& work) {
    SIZE frame = FrameAround(dpi);
    ScreenScale = ScreenScaleForDpi(dpi, (work.right - work.left) - frame.cx,
                                    (work.bottom - work.top) - frame.cy);
    int width = SCREEN_WIDTH * ScreenScale, height = SCREEN_HEIGHT * ScreenScale;
    MoveWindow(Win32MainWindow, left, top, width + frame.cx, height + frame.cy, TRUE);
    // Should the frame have come out otherwise than foreseen (a menu bar of another
    // height), the difference is made up, so the client area is the screen exactly.
    RECT client;
    if (GetClientRect(Win32MainWindow, &client) && (client.right != width || client.bottom != height))
        MoveWindow(Win32MainWindow, left, top, 2 * width + frame.cx - client.right,
                   2 * height + frame.cy - client.bottom, TRUE);
    // A smaller window has nothing new to paint, yet every pixel is now another size.
    InvalidateRect(Win32MainWindow, NULL, FALSE);
}

void PlatWindowShowAndSize() {
    ShowWindow(Win32MainWindow, SW_SHOW);
    RECT work;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    PlaceWindow(work.left, work.top, WindowDpi(Win32MainWindow), work);
}

// The window keeps the place the system proposes and takes the size of the new scale,
// limited by the work area of the monitor it is now on.
static void FollowDpiChange(UINT dpi, const RECT* suggested) {
    MONITORINFO monitor;
    monitor.cbSize = sizeof monitor;
    RECT work = *suggested;
    if (GetMonitorInfoA(MonitorFromRect(suggested, MONITOR_DEFAULTTONEAREST), &monitor)) work = monitor.rcWork;
    PlaceWindow(suggested->left, suggested->top, dpi, work);
}

void PlatWindowClose() { PostMessageA(Win32MainWindow, WM_CLOSE, 0, 0); }

// A box raised while a dialog is open belongs to the dialog, so the dialog waits too.
void PlatMessageBox(const char* text, const char* caption) {
    HWND owner = Win32OwnerWindow != NULL ? GetLastActivePopup(Win32OwnerWindow) : NULL;
    MessageBoxA(owner, text, caption, MB_OK);
}

// ---- Screen font ------------------------------------------------------------------------------
bool PlatFontRemove(const char* path) { return RemoveFontResourceA(path) != 0; }

void PlatFontAdd(const char* path) { AddFontResourceA(path); }

void PlatFontCreate() {
    Win32ScreenFont = CreateFontA(CELL_HEIGHT, CELL_WIDTH, 0, 0, 0, 0, 0, 0, ANSI_CHARSET, 0, 0, 0,
                                  0, "kqmon3");
}

void PlatFontDelete() {
    if (Win32ScreenFont != NULL) DeleteObject(Win32ScreenFont);
    Win32ScreenFont = NULL;
}
