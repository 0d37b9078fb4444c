// commands.cpp - the File menu and the frame every menu command runs in (the frame and
// how to add a command: docs/how-it-runs.md).
#include <cstddef>

#include "link/link.h"
#include "kqlink/kqlink.h"
#include "peripherals/monitors.h"
#include "peripherals/peripheral_update.h"
#include "platform/platform.h"
#include "record/record.h"
#include "mac/mac.h"
#include "base/messages.h"
#include "base/progress.h"
#include "base/screen.h"
#include "shell/shell.h"
#include "base/waits.h"
#include "update/console_update.h"
#include "update/vinculum.h"

const MenuItem MenuUser[] = {
    {CMD_UPDATE_CONSOLE, "Update &Console"},
    {0, ""},
    {CMD_VINCULUM_STICK, "Update Vinculum by USB-Stick"},
    {CMD_VINCULUM_CABLE, "Update Vinculum by cable"},
    {0, ""},
    {CMD_UPDATE_REMOTE, "Update Remote"},
    {CMD_UPDATE_RECEIVER, "Update Receiver"},
    {0, ""},
    {CMD_EXIT, "E&xit"},
    {0, nullptr},
};

const MenuItem MenuService[] = {
    {CMD_UPDATE_CONSOLE, "Update &Console"},
    {0, ""},
    {CMD_VINCULUM_STICK, "Update Vinculum by USB-Stick"},
    {CMD_VINCULUM_CABLE, "Update Vinculum by cable"},
    {CMD_SET_MAC, "Set &MAC Address"},
    {0, ""},
    {CMD_UPDATE_REMOTE, "Update Remote"},
    {CMD_UPDATE_RECEIVER, "Update Receiver"},
    {CMD_TEST_REMOTE, "Test Remote"},
    {CMD_TEST_RECEIVER, "Test Receiver"},
    {0, ""},
    {CMD_UPDATE_TEMPABOX, "Update Tempa BOX"},
    {CMD_TEST_TEMPABOX, "Test Tempa BOX"},
    {0, ""},
    {CMD_EXIT, "E&xit"},
    {0, nullptr},
};

const MenuItem* ShellMenu() { return ServiceFlag ? MenuService : MenuUser; }

// The command's text in the service menu, which lists every command.
static const char* MenuText(int id) {
    for (const MenuItem* m = MenuService; m->text; m++)
        if (m->id == id) return m->text;
    return "";
}

// How a command reaches its body.
enum CommandFrame {
    FRAME_ALONE,    // the body runs its own connection, or needs none
    FRAME_CONSOLE,  // ConnectConsole, header and body when connected, DisconnectConsole
};

struct CommandEntry {
    int id;
    CommandFrame frame;
    void (*receiver)() = nullptr;     // receive thread routine of the console frame
    const char* logHeader = nullptr;  // written by the console frame once connected
    void (*body)();
    bool linkEnd = false;             // the frame ends the KQ-LINK exchange after the body
};

static const CommandEntry Commands[] = {
    {.id = CMD_UPDATE_CONSOLE, .frame = FRAME_ALONE, .body = UpdateConsoleCommand},
    {.id = CMD_VINCULUM_STICK, .frame = FRAME_ALONE, .body = VinculumToStickCommand},
    {.id = CMD_VINCULUM_CABLE, .frame = FRAME_ALONE, .body = VinculumByCable},
    {.id = CMD_SET_MAC, .frame = FRAME_CONSOLE, .receiver = MacReceive, .body = SetMacAddressDialog},
    {.id = CMD_UPDATE_REMOTE, .frame = FRAME_CONSOLE, .receiver = ReceiveThread,
     .logHeader = "-----Remote Update-----\n", .body = UpdateRemoteCommand, .linkEnd = true},
    {.id = CMD_UPDATE_RECEIVER, .frame = FRAME_CONSOLE, .receiver = ReceiveThread,
     .logHeader = "-----Receiver Update-----\n", .body = UpdateReceiverCommand, .linkEnd = true},
    {.id = CMD_TEST_REMOTE, .frame = FRAME_CONSOLE, .receiver = ReceiveThread,
     .logHeader = "-----Remote Test-----\n", .body = RemoteTest},
    {.id = CMD_TEST_RECEIVER, .frame = FRAME_CONSOLE, .receiver = ReceiveThread,
     .logHeader = "-----Receiver Test-----\n", .body = ReceiverTest},
    {.id = CMD_UPDATE_TEMPABOX, .frame = FRAME_CONSOLE, .receiver = ReceiveThread,
     .logHeader = "-----Tempa BOX Update-----\n", .body = UpdateTempaBoxCommand, .linkEnd = true},
    {.id = CMD_TEST_TEMPABOX, .frame = FRAME_CONSOLE, .receiver = ReceiveThread,
     .logHeader = "-----Tempa BOX Test-----\n", .body = TempaBoxTest},
};

static const CommandEntry* FindCommand(int id) {
    for (const CommandEntry& c : Commands)
        if (c.id == id) return &c;
    return nullptr;
}

static void RunConsoleFrame(const CommandEntry& c) {
    if (!ConnectConsole(c.receiver)) {
        RecordResult(RECORD_RESULT_NOT_FOUND);
    } else {
        if (c.logHeader) LogAppend("%s", c.logHeader);
        if (c.body) c.body();
        if (c.linkEnd) LinkEnd();
    }
    DisconnectConsole();
}

static void AfterCommand() {
    ScreenPrintPair(MSG_PUSH_ENTER);
    WaitKey(KEY_ENTER, KEY_NONE);
    ShowHelpText();
}

void ShellCommand(int id) {
    if (id == CMD_EXIT) {
        PlatWindowClose();
        return;
    }
    const CommandEntry* c = FindCommand(id);
    if (c == nullptr) return;
    RecordJobBegin(MenuText(id));
    if (c->frame == FRAME_CONSOLE)
        RunConsoleFrame(*c);
    else if (c->body)
        c->body();
    // The device work is over and the verdict is on the screen: what was done stays.
    RecordJobEnd();
    AfterCommand();
    ProgressHide();  // the verdict stayed in sight until the operator went on
}
