// base.cpp - the program-wide variables, the working paths under TEMP, the log file's one
// handle for the run and the fatal error.
#include "base/base.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "base/messages.h"
#include "base/screen.h"
#include "platform/platform.h"

// The one call the base makes upward: a fatal error must not leave the console's
// pipes open behind the message box (link/pipes.cpp).
void ClosePipes();

uint8_t LanguageFlag = 1;
int32_t ServiceFlag = 0;
uint8_t LanguageList[4];
uint8_t LanguageCount = 0;

const char PRODUCT_NAME[] = "CORVINA";

const char* const TEMP_DIR = "TEMP";
char FontFilePath[16];
char LogFilePath[16];

// The log is one handle for the run: each entry is formatted first and handed to the
// system in a single write, so nothing waits in a buffer of ours and a crash loses none
// of it, while the open and the close (where a virus scanner does its inspecting) happen
// once. Either thread may log first; the one that loses the race to open closes its own
// handle again.
static std::atomic<PlatHandle> LogHandle{PLAT_NO_HANDLE};
// The size of the file when this run's first entry opened it: a log left behind by a
// run that ended without its clean-up is not part of this run's jobs.
static std::atomic<int64_t> LogOpenedAt{-1};

// A log file that cannot be written (TEMP is a file, a read-only folder, a full disk)
// is given up after the first entry that fails, for the rest of the run: retrying it
// would cost every entry its time, the receive thread logs before it stores the bytes,
// and the console's replies would miss their windows. The screen says so once, on the
// window thread, which alone writes the screen.
static std::atomic<bool> LogOff{false};
static std::atomic<bool> LogOffShown{false};
static thread_local bool OnReceiveThread = false;

void MakeWorkingPaths() {
    LogClose();
    snprintf(FontFilePath, 16, "%s%ckqmon.fnt", TEMP_DIR, PLAT_PATH_SEPARATOR);
    snprintf(LogFilePath, 16, "%s%clog.txt", TEMP_DIR, PLAT_PATH_SEPARATOR);
    LogOff = false;
    LogOffShown = false;
}

void LogMarkReceiveThread() { OnReceiveThread = true; }

bool LogSwitchedOff() { return LogOff; }

void LogClose() {
    PlatHandle h = LogHandle.exchange(PLAT_NO_HANDLE);
    if (h != PLAT_NO_HANDLE) PlatLogClose(h);
}

static PlatHandle LogOpened() {
    PlatHandle h = LogHandle.load();
    if (h != PLAT_NO_HANDLE) return h;
    PlatHandle mine = PlatLogOpen(LogFilePath);
    if (mine == PLAT_NO_HANDLE) return PLAT_NO_HANDLE;
    int64_t size = PlatFileSize(mine);
    if (LogHandle.compare_exchange_strong(h, mine)) {
        LogOpenedAt = size;
        return mine;
    }
    PlatLogClose(mine);  // the other thread opened it meanwhile: h holds its handle
    return h;
}

int64_t LogEndOffset() {
    if (LogOff) return -1;
    PlatHandle h = LogHandle.load();
    return h == PLAT_NO_HANDLE ? LOG_NOT_OPEN : PlatFileSize(h);
}

int64_t LogOpenOffset() { return LogHandle.load() == PLAT_NO_HANDLE ? -1 : LogOpenedAt.load(); }

long LogReadAt(int64_t offset, void* buffer, size_t count) {
    PlatHandle h = LogHandle.load();
    return h == PLAT_NO_HANDLE || offset < 0 ? -1 : PlatLogReadAt(h, (uint64_t)offset, buffer, count);
}

static void ShowLogOffOnce() {
    if (OnReceiveThread || LogOffShown.exchange(true)) return;
    ScreenPrintPair(MSG_LOG_OFF, LogFilePath);
}

// The longest entry is a traffic line of a whole stuffed frame, about 6 KB; most are
// under a hundred bytes and fit on the stack.
static const size_t LOG_STACK_ENTRY = 8192;

static bool LogWriteEntry(const char* format, va_list values) {
    char stackEntry[LOG_STACK_ENTRY];
    va_list again;
    va_copy(again, values);
    int n = vsnprintf(stackEntry, sizeof stackEntry, format, values);
    bool written = false;
    if (n >= 0) {
        char* entry = stackEntry;
        char* heap = nullptr;
        if ((size_t)n >= sizeof stackEntry) {
            entry = heap = new char[(size_t)n + 1];
            vsnprintf(entry, (size_t)n + 1, format, again);
        }
        PlatHandle h = LogOpened();
        written = h != PLAT_NO_HANDLE && PlatLogWrite(h, entry, (size_t)n);
        delete[] heap;
    }
    va_end(again);
    return written;
}

void LogAppend(const char* format, ...) {
    if (LogFilePath[0] == 0) MakeWorkingPaths();
    if (!LogOff) {
        va_list values;
        va_start(values, format);
        bool written = LogWriteEntry(format, values);
        va_end(values);
        if (written) return;
        LogOff = true;
    }
    ShowLogOffOnce();
}

void FatalError(const char* messagePair) {
    ClosePipes();
    PlatMessageBox(PickMessage(messagePair), "Error");
    PlatExitProcess(1);
}
