// shell.cpp - the program's start and end: the command line ("ST" and the language
// preset), the window title, the console image's checksum check, the help text, start-up
// and clean-up. The backends call ShellCreate and ShellDestroy (and ShellCommand, in
// commands.cpp) from their window (or terminal) and own nothing of the program's logic.
#include "shell/shell.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "images/images.h"
#include "link/link.h"
#include "platform/platform.h"
#include "record/record.h"
#include "base/messages.h"
#include "base/screen.h"
#include "version.h"

// Constants of the build, printed in hexadecimal: Soft 1.70 (the program's version),
// Remote 1.3.
static const unsigned SOFT_MAJOR = KQ_SOFT_MAJOR, SOFT_MINOR = KQ_SOFT_MINOR, REMOTE_MAJOR = 1,
                      REMOTE_MINOR = 3;

static const int SPANISH_PRIMARY_LANGUAGE = 0x0A;
void ParseCommandLine(const char* commandLine) {
    const char* c = commandLine ? commandLine : "";
    auto upper = [](char ch) { return (ch >= 'a' && ch <= 'z') ? (char)(ch - 32) : ch; };
    ServiceFlag = (upper(c[0]) == 'S' && c[1] != 0 && upper(c[1]) == 'T') ? 1 : 0;
    LanguageCount = 0;
    if (ServiceFlag && c[2] == ' ') {
        static const char letters[] = "CEFD";  // Castellano, English, Francais, German
        for (const char* p = c + 3; LanguageCount < 4; p++) {
            const char* hit = *p ? strchr(letters, *p) : nullptr;
            if (hit == nullptr) break;
            LanguageList[LanguageCount++] = (uint8_t)(hit - letters);
        }
    }
    if (LanguageCount == 0) {
        static const uint8_t defaults[4] = {1, 0, 2, 3};
        memcpy(LanguageList, defaults, sizeof defaults);
        LanguageCount = 4;
    }
}

void FormatWindowTitle(char* buffer, unsigned capacity) {
    const char* format = ServiceFlag
        ? " ---ST--- %s Updater    Soft %x.%02x  Vimclm 03.68  Remote %x.%x"
        : " %s Updater    Soft %x.%02x  Vimclm 03.68  Remote %x.%x";
    snprintf(buffer, capacity, format, PRODUCT_NAME, SOFT_MAJOR, SOFT_MINOR, REMOTE_MAJOR,
             REMOTE_MINOR);
}

bool ConsoleImageChecksumOk(const uint8_t* image, uint32_t size, const uint8_t* stored) {
    uint16_t sum = 0;
    for (uint32_t i = 0; i < size; i++) sum = (uint16_t)(sum + image[i]);
    return (uint8_t)(sum >> 8) == stored[0] && (uint8_t)sum == stored[1];
}

void ShowHelpText() {
    ScreenClear();
    ScreenPrintPair(MSG_HELP_TEXT, PRODUCT_NAME);
}

void ShellCreate() {
    MakeWorkingPaths();
    int primary = PlatUserPrimaryLanguage() & 0x3FF;
    LanguageFlag = primary == SPANISH_PRIMARY_LANGUAGE ? 0 : 1;
    PlatMakeDirectory(TEMP_DIR);
    PlatWriteWholeFile(FontFilePath, ImageFont, FONT_IMAGE_SIZE);
    // Another copy of the program may have left the font registered more than once.
    while (PlatFontRemove(FontFilePath)) {
    }
    PlatFontAdd(FontFilePath);
    PlatFontCreate();
    PlatWindowShowAndSize();
    if (!ConsoleImageChecksumOk(ImageConsole, CONSOLE_IMAGE_SIZE, ImageConsole + CONSOLE_IMAGE_SIZE))
        FatalError(MSG_FILE_CORRUPT);
    ShowHelpText();
}

void ShellDestroy() {
    RecordJobClosed();  // a job cut short: kept before its log goes
    PlatFontDelete();
    PlatFontRemove(FontFilePath);
    PlatDeleteFile(FontFilePath);
    LogClose();
    PlatDeleteFile(LogFilePath);
    PlatRemoveDirectory(TEMP_DIR);
}

