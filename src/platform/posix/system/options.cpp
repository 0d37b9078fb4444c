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

// The usage in both languages, each a pair as the screen's messages are: Spanish, its
// zero, English. Accents are code page 437 bytes, shown as the screen shows them.
static const char USAGE_HEAD[] =
    "Uso: kqsfupdt [ST [LETRAS]]\n"
    "     kqsfupdt --history[=N] | --help | --version\n"
    "\n"
    "Actualiza por USB una consola de iluminaci\xA2n CORVINA: su firmware y sus idiomas\n"
    "de mensajes, su Vinculum, y el Remote, el Receiver y el Tempa BOX de su puerto\n"
    "KQ-LINK. Usa un terminal de al menos 80 x 38; F10 o Alt+F abre el men\xA3 File.\n"
    "\n"
    "  ST             modo de servicio: a\xA4" "ade Set MAC Address, las pruebas de los\n"
    "                 perif\x82ricos y las \xA2rdenes del Tempa BOX, y busca tambi\x82n la\n"
    "                 identidad de servicio de la consola\n"
    "  ST LETRAS      modo de servicio, con los idiomas de la consola elegidos de\n"
    "                 antemano, en este orden, por hasta cuatro de las may\xA3sculas\n"
    "                 C (Castellano), E (English), F (Francais), D (German):\n"
    "                 kqsfupdt ST CE\n"
    "\0"
    "Usage: kqsfupdt [ST [LETTERS]]\n"
    "       kqsfupdt --history[=N] | --help | --version\n"
    "\n"
    "Updates a CORVINA lighting console over USB: its firmware and message languages,\n"
    "its Vinculum, and the Remote, Receiver and Tempa BOX on its KQ-LINK port. It\n"
    "needs a terminal of at least 80 x 38; F10 or Alt+F opens the File menu.\n"
    "\n"
    "  ST             service mode: adds Set MAC Address, the peripheral tests and\n"
    "                 the Tempa BOX commands, and also seeks the console's service\n"
    "                 identity\n"
    "  ST LETTERS     service mode, with the console languages preset in this order\n"
    "                 by up to four of the capitals C (Castellano), E (English),\n"
    "                 F (Francais), D (German): kqsfupdt ST CE\n";

// One line per option: its names, then what it does in Spanish and in English.
struct OptionHelp {
    const char* names;
    const char* spanish;
    const char* english;
};
static const OptionHelp OPTION_HELP[] = {
    {"-h, --help", "muestra este texto y termina", "show this text and exit"},
    {"-V, --version", "muestra la versi\xA2n y termina", "show the version and exit"},
    {"--history[=N]", "muestra los N \xA3ltimos trabajos del registro (20) y termina",
     "show the last N jobs of the service record (20) and exit"},
};

static const char USAGE_TAIL[] =
    "\n"
    "Entorno:\n"
    "  KQUSB_DEVICES    directorio de las consolas servidas por kqusb o kqsim\n"
    "                   (por omisi\xA2n /run/kqusb); tambi\x82n se buscan consolas en\n"
    "                   el bus USB\n"
    "  KQ_DRIVE_<L>     directorio de la letra de unidad L para Update Vinculum by\n"
    "                   USB-Stick, p. ej. KQ_DRIVE_E=/media/usbstick (por omisi\xA2n\n"
    "                   /media/<l>)\n"
    "  XDG_CONFIG_HOME  el fichero de ajustes es $XDG_CONFIG_HOME/kqsfupdt/kq.ini\n"
    "                   (por omisi\xA2n ~/.config/kqsfupdt/kq.ini)\n"
    "  XDG_STATE_HOME   el registro de servicio est\xA0 en $XDG_STATE_HOME/kqsfupdt/\n"
    "                   (por omisi\xA2n ~/.local/state/kqsfupdt/)\n"
    "  LC_ALL, LC_MESSAGES, LANG\n"
    "                   la primera que tenga valor elige los mensajes: espa\xA4ol para\n"
    "                   es*, ingl\x82s en otro caso\n"
    "\n"
    "El registro del tr\xA0" "fico USB es TEMP/log.txt en el directorio actual mientras el\n"
    "programa funciona; se borra al cerrarse el programa. Lo que hizo cada trabajo queda\n"
    "en el registro de servicio: una l\xA1nea por trabajo en service-record.csv, y su\n"
    "parte del registro en traces/. Tras una actualizaci\xA2n fallida, env\xA1e esa\n"
    "carpeta al fabricante.\n"
    "\n"
    "C\xA2" "digos de salida: 0 cerrado con File/Exit o Ctrl+C en reposo; 1 cerrado en un\n"
    "aviso o un di\xA0logo. Ctrl+C durante una actualizaci\xA2n espera a su final: 0 si se\n"
    "actualiz\xA2, 1 si fall\xA2. 2: opci\xA2n desconocida.\n"
    "\0"
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
    "of the log in traces/. After a failed update, send that folder to the maker.\n"
    "\n"
    "Exit codes: 0 closed by File/Exit or Ctrl+C while idle; 1 closed at a prompt or\n"
    "in a dialog. Ctrl+C during an update waits for its end: 0 when it updated, 1\n"
    "when it failed. 2: unknown option.\n";

static const char* Pick(const char* pair, bool spanish) { return spanish ? pair : pair + strlen(pair) + 1; }

void PrintUsage(FILE* out, bool spanish) {
    PutCp437(out, Pick(USAGE_HEAD, spanish));
    for (const OptionHelp& o : OPTION_HELP) {
        fprintf(out, "  %-15s", o.names);
        PutCp437(out, spanish ? o.spanish : o.english);
        fputc('\n', out);
    }
    PutCp437(out, Pick(USAGE_TAIL, spanish));
}

void PrintVersion(FILE* out) { fprintf(out, "kqsfupdt %s\n", KQ_VERSION); }

void PrintUnknownOption(FILE* out, const char* option, bool spanish) {
    char text[160];
    snprintf(text, sizeof text,
             Pick("kqsfupdt: opci\xA2n desconocida '%s'\nPruebe 'kqsfupdt --help'.\n\0"
                  "kqsfupdt: unknown option '%s'\nTry 'kqsfupdt --help'.\n", spanish),
             option);
    PutCp437(out, text);
}
