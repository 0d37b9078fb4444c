// base.cpp - program-wide state, the log file and the fatal error.
#include "base/base.h"

#include <cstdarg>
#include <cstdio>

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

// A log file that cannot be opened is retried this long, then the entry is dropped:
// the program never hangs on its log.
static const int LOG_OPEN_ATTEMPTS = 2000;

void MakeWorkingPaths() {
    snprintf(FontFilePath, 16, "%s%ckqmon.fnt", TEMP_DIR, PLAT_PATH_SEPARATOR);
    snprintf(LogFilePath, 16, "%s%clog.txt", TEMP_DIR, PLAT_PATH_SEPARATOR);
}

void LogAppend(const char* format, ...) {
    if (LogFilePath[0] == 0) MakeWorkingPaths();
    FILE* f = nullptr;
    for (int attempt = 0; attempt < LOG_OPEN_ATTEMPTS && f == nullptr; attempt++) {
        f = fopen(LogFilePath, "a+");
        if (f == nullptr && attempt > 100) PlatSleepMs(1);
    }
    if (f == nullptr) return;
    va_list values;
    va_start(values, format);
    vfprintf(f, format, values);
    va_end(values);
    fclose(f);
}

void FatalError(const char* messagePair) {
    ClosePipes();
    PlatMessageBox(PickMessage(messagePair), "Error");
    PlatExitProcess(1);
}
