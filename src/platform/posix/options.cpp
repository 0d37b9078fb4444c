// options.cpp - the terminal program's command line. Words that do not start with "-"
// are the updater's own command line ("ST", "ST CE"), passed on joined by blanks;
// --help and --version answer and end the program before the screen is opened; any
// other word that starts with "-" is refused, the way command-line tools do.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix.h"
#include "version.h"

// A count of records: 1 to 999999, digits only.
static bool HistoryCount(const char* text, int* count) {
    size_t n = strlen(text);
    if (n == 0 || n > 6 || strspn(text, "0123456789") != n) return false;
    *count = atoi(text);
    return *count > 0;
}

ProgramOptions ParseProgramOptions(int argc, const char* const* argv) {
    ProgramOptions options;
    for (int i = 1; i < argc; i++) {
        const char* word = argv[i];
        if (word[0] != '-') {
            if (!options.commandLine.empty()) options.commandLine += ' ';
            options.commandLine += word;
            continue;
        }
        if (strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0) {
            options.action = OPTIONS_HELP;
        } else if (strcmp(word, "--version") == 0 || strcmp(word, "-V") == 0) {
            options.action = OPTIONS_VERSION;
        } else if (strcmp(word, "--history") == 0) {
            options.action = OPTIONS_HISTORY;
        } else if (strncmp(word, "--history=", 10) == 0 && HistoryCount(word + 10, &options.historyCount)) {
            options.action = OPTIONS_HISTORY;
        } else {
            options.action = OPTIONS_UNKNOWN;
            options.unknown = word;
        }
        return options;  // the first option decides
    }
    return options;
}

static const char USAGE[] =
    "Usage: kqsfupdt [ST [LETTERS]]\n"
    "       kqsfupdt --history[=N] | --help | --version\n"
    "\n"
    "Updates a CORVINA lighting console over USB: its firmware and message languages,\n"
    "its Vinculum, and the Remote, Receiver and Tempa BOX on its KQ-LINK port. It needs\n"
    "a terminal of at least 80 x 38; F10 or Alt+F opens the File menu.\n"
    "\n"
    "  ST             service mode: adds Set MAC Address, the peripheral tests and the\n"
    "                 Tempa BOX commands, and also seeks the console's service identity\n"
    "  ST LETTERS     service mode, with the console languages preset in this order by\n"
    "                 up to four of the capital letters C (Castellano), E (English),\n"
    "                 F (Francais), D (German): kqsfupdt ST CE\n"
    "  --history[=N]  show the newest N records of the service record (default 20),\n"
    "                 newest last, and where it is, and exit\n"
    "  -h, --help     show this text and exit\n"
    "  -V, --version  show the version and exit\n"
    "\n"
    "Environment:\n"
    "  KQUSB_DEVICES    device directory of the consoles served by kqusb or kqsim\n"
    "                   (default /run/kqusb); consoles on the USB bus are found too\n"
    "  KQ_DRIVE_<L>     directory of drive letter L for Update Vinculum by USB-Stick,\n"
    "                   e.g. KQ_DRIVE_E=/media/usbstick (default /media/<l>)\n"
    "  XDG_CONFIG_HOME  the settings file is $XDG_CONFIG_HOME/kqsfupdt/kq.ini\n"
    "                   (default ~/.config/kqsfupdt/kq.ini)\n"
    "  XDG_STATE_HOME   the service record is $XDG_STATE_HOME/kqsfupdt/\n"
    "                   (default ~/.local/state/kqsfupdt/)\n"
    "  LC_ALL, LC_MESSAGES, LANG\n"
    "                   the first one set picks the messages: Spanish for es*,\n"
    "                   English otherwise\n"
    "\n"
    "The log of the USB traffic is TEMP/log.txt in the current directory while the\n"
    "program runs; it is removed when the program closes. What each job did stays in\n"
    "the service record: one line per job in service-record.csv, and the job's part\n"
    "of the log in traces/. After a failed update, send that folder to the maker.\n";

void PrintUsage(FILE* out) { fputs(USAGE, out); }

void PrintVersion(FILE* out) { fprintf(out, "kqsfupdt %s\n", KQ_VERSION); }

void PrintUnknownOption(FILE* out, const char* option) {
    fprintf(out, "kqsfupdt: unknown option '%s'\nTry 'kqsfupdt --help'.\n", option);
}
