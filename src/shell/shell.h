// shell.h - the application shell: start-up, the File menus and the command dispatch.
#pragma once

#include <cstdint>

#include "base/base.h"
#include "resources/resource.h"

// Menu command identifiers: the resource script's own, from resources/resource.h.
enum {
    CMD_UPDATE_CONSOLE = IDM_UPDATE_CONSOLE,
    CMD_VINCULUM_STICK = IDM_VINCULUM_STICK,
    CMD_VINCULUM_CABLE = IDM_VINCULUM_CABLE,
    CMD_SET_MAC = IDM_SET_MAC,
    CMD_UPDATE_REMOTE = IDM_UPDATE_REMOTE,
    CMD_UPDATE_RECEIVER = IDM_UPDATE_RECEIVER,
    CMD_TEST_REMOTE = IDM_TEST_REMOTE,
    CMD_TEST_RECEIVER = IDM_TEST_RECEIVER,
    CMD_UPDATE_TEMPABOX = IDM_UPDATE_TEMPABOX,
    CMD_TEST_TEMPABOX = IDM_TEST_TEMPABOX,
    CMD_EXIT = IDM_EXIT
};

// One File-menu item; id 0 is a separator. Both menus end with an entry whose text is
// NULL. The resource script lists the same items; a test keeps their texts in step.
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

