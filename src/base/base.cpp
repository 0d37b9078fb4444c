// base.cpp - program-wide state, the log file and the fatal error.
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

// A log file that cannot be written (TEMP is a file, a read-only folder, a full disk)
// is given up after the first entry that fails, for the rest of the run: retrying it
// would cost every entry its time, the receive thread logs before it stores the bytes,
// and the console's replies would miss their windows. The screen says so once, on the
// window thread, which alone writes the screen.
static std::atomic<bool> LogOff{false};
static std::atomic<bool> LogOffShown{false};
static thread_local bool OnReceiveThread = false;

void MakeWorkingPaths() {
    snprintf(FontFilePath, 16, "%s%ckqmon.fnt", TEMP_DIR, PLAT_PATH_SEPARATOR);
    snprintf(LogFilePath, 16, "%s%clog.txt", TEMP_DIR, PLAT_PATH_SEPARATOR);
    LogOff = false;
    LogOffShown = false;
}

void LogMarkReceiveThread() { OnReceiveThread = true; }

bool LogSwitchedOff() { return LogOff; }

static void ShowLogOffOnce() {
    if (OnReceiveThread || LogOffShown.exchange(true)) return;
    ScreenPrintPair(MSG_LOG_OFF, LogFilePath);
}

void LogAppend(const char* format, ...) {
    if (LogFilePath[0] == 0) MakeWorkingPaths();
    if (!LogOff) {
        FILE* f = fopen(LogFilePath, "a+");
        bool written = f != nullptr;
        if (written) {
            va_list values;
            va_start(values, format);
            written = vfprintf(f, format, values) >= 0;
            va_end(values);
            if (fclose(f) != 0) written = false;
        }
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
