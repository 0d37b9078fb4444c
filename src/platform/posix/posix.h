// posix.h - what the files of the Linux terminal backend share among themselves: its
// system half (system/: clock, threads, files, devices, libusb, settings, the record's
// files, the command line) and its terminal half (terminal/: the curses screen, keys,
// boxes and the status line). Nothing outside src/platform/posix includes it but the
// backend's own tests; the core sees only platform.h.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/platform.h"

// ---- Command line (options.cpp) ----------------------------------------------------------
enum ProgramAction { OPTIONS_RUN, OPTIONS_HELP, OPTIONS_VERSION, OPTIONS_HISTORY, OPTIONS_UNKNOWN };
struct ProgramOptions {
    ProgramAction action = OPTIONS_RUN;
    std::string commandLine;  // the updater's own words, joined by blanks: "ST CE"
    std::string unknown;      // the refused option, for OPTIONS_UNKNOWN
    int historyCount = 20;    // records shown by --history[=N]
};
ProgramOptions ParseProgramOptions(int argc, const char* const* argv);
// The terminal's own texts are in the message language (spanish: LC_ALL, LC_MESSAGES
// or LANG starting with "es"), written as code page 437 like the screen's messages.
void PrintUsage(FILE* out, bool spanish);
void PrintVersion(FILE* out);
void PrintUnknownOption(FILE* out, const char* option, bool spanish);
// ---- Service record (folders.cpp, history.cpp) ----------------------------------------
// The program's folder for this base directory variable (XDG_CONFIG_HOME ...): its
// absolute path, or ~/homeRelative, with "kqsfupdt" in it.
std::string XdgFolder(const char* variable, const char* homeRelative);
// The folder of the service record, whether it exists or not.
std::string StateFolderPath();
// Prints the newest count records as a table, newest last, and where the folder is.
// Returns the exit code.
int PrintHistory(FILE* out, int count, bool spanish);

// Exit code for a command line the program does not understand.
const int EXIT_USAGE = 2;

// ---- Terminal (terminal.cpp) --------------------------------------------------------
// The layout on the terminal: the title on row 0, the 80 x 36 text screen on rows 1 to
// 36 and a hint line on row 37.
const int TERM_SCREEN_TOP = 1;
const int TERM_NEEDED_COLUMNS = 80;
const int TERM_NEEDED_ROWS = 38;

void TerminalStart();
// The request that asks a terminal of rows x columns to grow to the layout (each
// dimension at least the needed one, none made smaller).
void FormatResizeRequest(int rows, int columns, char* request, size_t capacity);
// Gives the terminal back to the shell (endwin); safe to call twice or before start.
void TerminalEnd();
// After TerminalEnd: the text screen's rows, up to the last that holds text, printed
// to standard output, so the last lines of a command stay readable in the shell. Does
// nothing when the terminal never started or was too small to show the screen.
void TerminalPrintScreen();
// True when the terminal holds the whole layout.
bool TerminalFits();
// Draws the title, the text screen and the hint line (or the "too small" message).
// Does not refresh; TerminalRefresh sends the result to the terminal.
void TerminalDrawAll();
void TerminalRefresh();
// True on the thread that owns the terminal (the one that called TerminalStart).
bool OnTerminalThread();
// Writes bytes of the screen font (code page 437) at row y, column x, at most maxCells
// of them, clipped at the terminal's right edge.
void TerminalPutText(int y, int x, const char* text, int maxCells);

// ---- Progress on the status line (progress_line.cpp) -------------------------------------
// While long work runs, the hint line under the text screen gives way to its progress:
// phase, bar, units done of units in all, percentage and the time left.
// The status line for a report, clipped to capacity - 1 characters (code page 437, as
// the screen font); closing shows that a close request waits for the work's end.
void FormatProgressLine(const PlatProgress* p, char* line, size_t capacity);
// The title row's notice while a close request waits for the work to end (a message
// pair: PickMessage chooses).
extern const char CLOSE_WAITS_NOTICE[];
// The status line to draw now; false when no work is shown (the hint line is drawn).
bool StatusLine(char* line, size_t capacity);
// True while a phase of long work runs (a close request then waits for its end).
bool ProgressRunning();
// Remembers that a close request came while work ran (called wherever the request may
// be seen: progress reports, paint steps, the title row).
void NoteCloseDuringWork();
// True when such a close is what ends the program: its exit code is then the work's
// verdict, 0 when the last work reported success (WorkSucceeded), else 1.
bool CloseWaitedForWork();
bool WorkSucceeded();

// ---- Code page 437 (cp437.cpp) ------------------------------------------------------
// The character that shows a byte of the screen font in the terminal.
wchar_t Cp437ToUnicode(uint8_t byte);
// Writes code page 437 text in the locale's encoding (a character the locale cannot
// show becomes "?"). The terminal's own Spanish texts are kept in code page 437, as
// the screen's messages are, and show the same accents wherever they are printed.
void PutCp437(FILE* out, const char* text);
// The same text as wide characters for the curses screen, at most capacity - 1 of them.
void Cp437ToWide(const char* text, wchar_t* out, size_t capacity);

// ---- Input and events (events.cpp) ----------------------------------------------------
enum TermEventType {
    TERM_EVENT_KEY,         // a typed key (vk holds its virtual-key code, 0 if none)
    TERM_EVENT_SYSTEM_KEY,  // F10 or Alt with a key (vk: 121 for F10, else the letter)
    TERM_EVENT_RESIZE,      // the terminal changed size: redraw
    TERM_EVENT_CLOSE,       // the close request: a signal or the menu's Exit
    TERM_EVENT_QUIT         // the window is gone: leave the loop
};
struct TermEvent {
    TermEventType type;
    int vk;
    bool shift = false;  // a key read with Shift held (the arrows, Home and End)
};
// A terminal reports presses, never releases: a key read from it counts as held down
// for KEY_HOLD_MS, and for as long as no poll has looked at it. Auto-repeat sends a held
// key again every 30 to 50 ms, so a key read again within that time is the same press
// going on, never a second one. The end-to-end checks space their presses by this
// figure (they read it from here).
const int KEY_HOLD_MS = 60;
const int VK_BACK = 8;
const int VK_ESCAPE = 27;
const int VK_DELETE = 46;
const int VK_END = 35;
const int VK_HOME = 36;
const int VK_UP = 38;
const int VK_DOWN = 40;
const int VK_F10 = 121;

// Milliseconds until the soonest hold of a key read at readAtNs[vk] (0: never read;
// CLOCK_MONOTONIC nanoseconds) ends after nowNs, rounded up; -1 when no hold is running,
// so a sleep then needs no timer (rules.cpp).
int MsUntilHoldEnds(const uint64_t* readAtNs, int count, uint64_t nowNs);

// Catches SIGINT, SIGTERM and SIGHUP as the close request, ignores SIGPIPE and installs
// the wake-up signal of the receive thread. The close signals also write to the window
// thread's wake-up descriptor, which its sleeps watch beside the terminal.
void InstallSignalHandlers();
// After curses has started: a terminal resize wakes the window thread's sleep too.
void WatchResizeSignal();
// Reads whatever the terminal has pending, without blocking, into the event queue and
// the key state. Terminal thread only.
void ReadPendingInput();
// Takes the next event: the close request first, then the queue. false when none.
// A key taken this way belongs to the box that took it: no later poll of the key state
// sees that press. The message pump of a wait (the core polls the key state there)
// leaves the press to the polls: forBox false.
bool TakeEvent(TermEvent* event, bool forBox = true);
// A key event that the idle window took: nobody polls for that press.
void KeyTaken(int vk);
// Drops every key typed so far, read or not: a dialog or prompt takes only keys
// pressed after it appeared. The close request and a resize stay pending.
void DiscardTypeAhead();
// Blocks until the terminal has input or a signal arrives, at most ms milliseconds.
void WaitForInput(int ms);
void RequestClose();
bool CloseRequested();
void PostQuit();
// True (once) when the terminal has changed size since the last call.
bool TakeResize();

// ---- Boxes over the screen (menu.cpp, dialogs.cpp) ------------------------------------------
// Runs the File drop-down; returns the chosen command id, or 0 when it was closed.
int RunFileMenu();
// A frame with its caption on the top border and blanks inside, drawn on the screen.
void DrawFrame(int top, int left, int height, int width, const char* caption);
// The next event for a box, waiting a little for one; false when none came or a close
// request is pending (left for the caller to see with CloseRequested).
bool NextBoxEvent(TermEvent* event);
// The close request met inside a box that has no way out: the window is cleaned up
// and the process ends with exit code 1, as when it is closed during a prompt.
[[noreturn]] void CloseFromModal();

// ---- Consoles on the USB bus through libusb (usb.cpp) -------------------------------------
// A console found on the bus has the interface path "usb#vid_1d2b&pid_0001#bus001-dev004";
// "<path>/PIPE00" is its first endpoint (bulk OUT), "<path>/PIPE01" its second (bulk IN).
struct UsbIdentityPair {
    uint16_t vendor, product;
};
struct UsbEndpoints {
    uint8_t out, in;
};
struct UsbPipeName {
    uint16_t vendor, product;
    int bus, address;
    int pipe;  // 0 PIPE00 (OUT), 1 PIPE01 (IN)
};
// The udev rule that lets a user without root open the console.
extern const char USB_RULES_FILE[];

bool UsbIsConsoleIdentity(uint16_t vendor, uint16_t product);
// "usb#vid_%04x&pid_%04x#bus%03d-dev%03d"; false when it does not fit.
bool UsbInterfaceName(uint16_t vendor, uint16_t product, int bus, int address, char* name,
                      size_t capacity);
// True when path is exactly a pipe name of a USB console, as UsbInterfaceName forms it.
bool UsbParsePipePath(const char* path, UsbPipeName* name);
// The driver's model needs the first endpoint bulk OUT and the second bulk IN.
bool UsbEndpointsFit(const uint8_t* addresses, const uint8_t* attributes, int count,
                     UsbEndpoints* endpoints);
// Appends the interface paths of the consoles on the bus, by bus and address. A console
// whose endpoints do not fit is passed over with a message (once per run).
void UsbListConsoles(std::vector<std::string>* paths);
// Pipes: PLAT_NO_HANDLE when path is no USB pipe name or the device cannot be opened.
PlatHandle UsbPipeOpen(const char* path);
bool UsbIsHandle(PlatHandle h);
long UsbPipeRead(PlatHandle h, void* buffer, unsigned long count);
long UsbPipeWrite(PlatHandle h, const void* bytes, unsigned long count);
void UsbPipeClose(PlatHandle h);
// Ends a read running on the receive thread (its stop was asked for). [any thread]
void UsbWakeReaders();

// ---- Pipes (devices.cpp) ----------------------------------------------------------------
// Writes all count bytes to the FIFO fd, waiting for room at most limitMs in all.
// Returns count, or -1 when the write failed, the time ran out, or stopRequested (may be
// NULL) reports true while the FIFO has no room. Some bytes may have gone out before a
// failure. [any thread]
long BoundedFifoWrite(int fd, const void* bytes, unsigned long count, uint32_t limitMs,
                      bool (*stopRequested)());

// ---- One write (logfile.cpp, record_files.cpp) ------------------------------------------
// A log entry or a line of the record is one write() on an O_APPEND descriptor, so the
// lines of two writers never mix; it is tried again only when a signal came before any
// byte went, and a short write (a full disk) fails it whole.
inline bool WriteOnce(int fd, const void* bytes, size_t count) {
    ssize_t n;
    do n = write(fd, bytes, count);
    while (n < 0 && errno == EINTR);
    return n == (ssize_t)count;
}

// ---- Private profile text (profile.cpp) ----------------------------------------------------
// The value of key in section of a profile file's text; false when it is not there.
bool ProfileRead(const std::string& text, const char* section, const char* key,
                 std::string* value);
// The text with key of section set to value (NULL removes the key), the section added
// at the end when missing. Later copies of the key are dropped.
std::string ProfileUpdate(const std::string& text, const char* section, const char* key,
                          const char* value);
