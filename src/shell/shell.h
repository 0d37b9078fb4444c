// shell.h - the application shell: program-wide state, start-up, the command
// dispatch, the log file and the fatal error.
#pragma once

#include <cstdint>

// ---- Program-wide state -----------------------------------------------------------
extern uint8_t LanguageFlag;      // 0: Spanish messages, 1: English
extern int32_t ServiceFlag;       // 1 in service mode (command line "ST...")
extern uint8_t LanguageList[4];   // console message languages, in console order
extern uint8_t LanguageCount;     // 0 to 4

// Product name used by every message of the updater.
extern const char PRODUCT_NAME[];  // "CORVINA"

// Menu command identifiers.
enum {
    CMD_UPDATE_CONSOLE = 101,
    CMD_VINCULUM_STICK = 102,
    CMD_VINCULUM_CABLE = 103,
    CMD_SET_MAC = 104,
    CMD_UPDATE_REMOTE = 105,
    CMD_UPDATE_RECEIVER = 106,
    CMD_TEST_REMOTE = 107,
    CMD_TEST_RECEIVER = 108,
    CMD_UPDATE_TEMPABOX = 109,
    CMD_TEST_TEMPABOX = 110,
    CMD_EXIT = 111
};

// One File-menu item; id 0 is a separator. Both menus end with an entry whose text is
// NULL. The Windows resources list the same items; a test keeps them in step.
struct MenuItem {
    int id;
    const char* text;
};
extern const MenuItem MenuUser[];
extern const MenuItem MenuService[];
// The menu of this run (MenuService in service mode).
const MenuItem* ShellMenu();

// ---- Start-up -------------------------------------------------------------------------
// Program entry, steps 1 and 2: service flag and language list from the command line
// (the text after the program name).
void ParseCommandLine(const char* commandLine);
// The window title for the current service flag, into buffer (at least 96 bytes).
void FormatWindowTitle(char* buffer, unsigned capacity);

// Window creation: language flag, TEMP, font, window size, image check, help text.
void ShellCreate();
// Window destruction: font, font file, log file, TEMP. The caller posts the quit.
void ShellDestroy();
// A menu command (WM_COMMAND); identifiers other than 101 to 111 do nothing.
void ShellCommand(int id);

// Prints the help text after clearing the screen.
void ShowHelpText();
// The 16-bit sum check of the embedded console image; true when it matches.
bool ConsoleImageChecksumOk(const uint8_t* image, uint32_t size, const uint8_t* stored);

// ---- Log file --------------------------------------------------------------------------
// Relative names of the working files.
extern const char* const TEMP_DIR;    // "TEMP"
extern char FontFilePath[];           // "TEMP\kqmon.fnt" in the system's separator
extern char LogFilePath[];            // "TEMP\log.txt"
// Appends one entry to the log file: open "a+", write, close.
void LogAppend(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Fatal error -----------------------------------------------------------------------
// Closes the pipes, shows the selected text of the message pair in a box captioned
// "Error" and ends the process with exit code 1.
[[noreturn]] void FatalError(const char* messagePair);
