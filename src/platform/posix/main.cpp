// main.cpp - program entry for the terminal, the idle loop and the window procedure:
// what each message does when it is dispatched.
#include <clocale>

#include "platform/platform.h"
#include "platform/posix/posix.h"
#include "core.h"

// The message last taken by PlatTakeMessage, kept for PlatDispatchMessage.
static TermEvent Current;
static bool HaveCurrent = false;
static bool WindowDestroyed = false;

// The idle loop's nap when nothing is pending; input and signals end it early.
static const int IDLE_WAIT_MS = 100;

PlatMessageKind PlatTakeMessage() {
    HaveCurrent = TakeEvent(&Current, false);
    if (!HaveCurrent) return PLAT_MSG_NONE;
    switch (Current.type) {
    case TERM_EVENT_QUIT: return PLAT_MSG_QUIT;
    case TERM_EVENT_SYSTEM_KEY: return PLAT_MSG_SYSTEM_KEY;
    default: return PLAT_MSG_OTHER;
    }
}

void PlatDispatchMessage() {
    if (!HaveCurrent) return;
    HaveCurrent = false;
    switch (Current.type) {
    case TERM_EVENT_RESIZE:
        PlatRepaint();
        break;
    case TERM_EVENT_CLOSE:
        // The close box: clean up now, then the quit ends the loop (or the wait).
        if (!WindowDestroyed) {
            WindowDestroyed = true;
            ShellDestroy();
            PostQuit();
        }
        break;
    case TERM_EVENT_SYSTEM_KEY:
        // F10 or Alt+F opens the File menu; the chosen command runs to its end here.
        if (Current.vk == VK_F10 || Current.vk == 'F') {
            int id = RunFileMenu();
            if (id != 0) ShellCommand(id);
        }
        break;
    case TERM_EVENT_KEY:  // typed keys are read through the key state, not here
    case TERM_EVENT_QUIT:
        break;
    }
}

void PlatWindowClose() { RequestClose(); }

void CloseFromModal() {
    if (!WindowDestroyed) {
        WindowDestroyed = true;
        ShellDestroy();
    }
    PlatExitProcess(1);
}

int main(int argc, char** argv) {
    // The command line is the text after the program name: "kqsfupdt ST CE" is "ST CE".
    ProgramOptions options = ParseProgramOptions(argc, argv);
    // The screen and the help are written as Unicode. A locale that is named but not
    // installed would leave us in "C", unable to show a single accent: take C.UTF-8 then.
    if (setlocale(LC_ALL, "") == nullptr) setlocale(LC_ALL, "C.UTF-8");
    bool spanish = (PlatUserPrimaryLanguage() & 0x3FF) == 0x0A;
    switch (options.action) {
    case OPTIONS_HELP: PrintUsage(stdout, spanish); return 0;
    case OPTIONS_VERSION: PrintVersion(stdout); return 0;
    case OPTIONS_HISTORY: return PrintHistory(stdout, options.historyCount, spanish);
    case OPTIONS_UNKNOWN: PrintUnknownOption(stderr, options.unknown.c_str(), spanish); return EXIT_USAGE;
    case OPTIONS_RUN: break;
    }
    ParseCommandLine(options.commandLine.c_str());
    InstallSignalHandlers();
    TerminalStart();
    ShellCreate();
    for (;;) {
        PlatMessageKind kind = PlatTakeMessage();
        if (kind == PLAT_MSG_QUIT) break;
        if (kind == PLAT_MSG_NONE) {
            WaitForInput(IDLE_WAIT_MS);
            continue;
        }
        // A key typed while idle goes nowhere; no prompt to come may take it.
        if (HaveCurrent && Current.type == TERM_EVENT_KEY) KeyTaken(Current.vk);
        PlatDispatchMessage();
    }
    TerminalEnd();
    return 0;
}
