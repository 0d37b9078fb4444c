// options.cpp - kqsim's options in one table: each option's syntax, which tells the
// parser its name and whether it takes a value, the section and lines --help shows it
// with, and the procedure that takes it.
#include "sim/kqsim/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kqsim {

namespace {

// One argument being taken: "--key=value", or "--key value" for an option with a value.
struct Arg {
    CommandLine& line;
    std::string key, value;
    int exitCode = -1;  // set when the argument ends the program
    // The options of the device named last, or of all before any device.
    DeviceOptions& Current() { return line.devices.empty() ? line.common : line.devices.back().opt; }
};

// The parts of --help, each with the column its options' texts start at.
struct Section {
    const char* heading;
    size_t column;
    const char* note;  // a line after its options
};
enum SectionId { GENERAL, DEVICES, PERIPHERALS, DEVICE_OPTIONS, REPLAY, HIDDEN };
const Section SECTIONS[] = {
    {nullptr, 23, nullptr},
    {"devices (default --console):", 27, nullptr},
    {"peripherals on the KQ-LINK port of the console named last (repeatable):", 35,
     "  --save-flash also writes PREFIX<console interface>-remote.bin and so on.\n"},
    {"device options (after a device they apply to it, before any device to all):", 23, nullptr},
    {"replay of a field run (instead of the devices above):", 23, nullptr},
};

// An option as --help shows it: "--fault=PLAN" takes a value ("--fault PLAN" as well),
// "--console[=PID|VID:PID]" may have one after '=', "--help" has none. The name the
// parser looks for ends before '=' or '['.
struct Option {
    const char* syntax;
    SectionId section;
    const char* help;  // its lines, apart by '\n'
    bool (*take)(Arg& a);
};

void Usage();

bool ParseId(const std::string& text, sim::Identity def, sim::Identity* id) {
    *id = def;
    if (text.empty()) return true;
    unsigned a = 0, b = 0;
    char extra;
    if (sscanf(text.c_str(), "%x:%x%c", &a, &b, &extra) == 2 && a <= 0xFFFF && b <= 0xFFFF) {
        *id = sim::Identity{(uint16_t)a, (uint16_t)b};
        return true;
    }
    if (sscanf(text.c_str(), "%x%c", &a, &extra) == 1 && a <= 0xFFFF) {
        id->product = (uint16_t)a;
        return true;
    }
    return false;
}

// "answer", "refuse", "silent": how a boot program takes 0x52 and 0x4B.
bool ParseChecks(const std::string& text, sim::BootConfig::Checks* checks) {
    using C = sim::BootConfig::Checks;
    if (text == "answer") *checks = C::Answer;
    else if (text == "refuse") *checks = C::Refuse;
    else if (text == "silent") *checks = C::Silent;
    else return false;
    return true;
}

// The console a peripheral is attached to: the one named last, or a running console
// of the common options when none was named.
size_t LastConsole(CommandLine& line) {
    for (size_t c = line.devices.size(); c-- > 0;)
        if (!line.devices[c].boot) return c;
    line.devices.push_back(DeviceChoice{false, sim::kConsoleId, line.common});
    return line.devices.size() - 1;
}

bool TakeHelp(Arg& a) {
    Usage();
    a.exitCode = 0;
    return true;
}

bool TakeDevice(Arg& a) {  // --console, --boot
    a.line.lastIsPeripheral = false;
    DeviceChoice s;
    s.boot = a.key == "--boot";
    s.opt = a.line.common;
    bool ok = ParseId(a.value, s.boot ? sim::kBootId : sim::kConsoleId, &s.id);
    a.line.devices.push_back(s);
    return ok;
}

bool TakePeripheral(Arg& a) {  // --remote, --receiver, --tempabox
    PeripheralChoice p;
    p.checks = a.line.common.checks;
    p.console = LastConsole(a.line);
    p.kind = a.key.substr(2);
    bool ok = true;
    std::string rest = a.value;
    while (ok && !rest.empty()) {
        size_t comma = rest.find(',');
        std::string item = rest.substr(0, comma);
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        char* end = nullptr;
        if (item == "user" || item == "boot")
            p.boot = item == "boot";
        else if (item.compare(0, 5, "addr=") == 0)
            p.address = (int)strtol(item.c_str() + 5, &end, 0), ok = *end == 0 && p.address >= 0 && p.address <= 15;
        else
            ok = false;
    }
    a.line.peripherals.push_back(p);
    a.line.lastIsPeripheral = true;
    return ok;
}

bool TakeFault(Arg& a) {
    std::string error;
    sim::FaultPlan plan;
    if (!sim::FaultPlan::Parse(a.value, &plan, &error)) {
        fprintf(stderr, "kqsim: %s\n", error.c_str());
        a.exitCode = 2;
        return true;
    }
    std::string& f = a.line.lastIsPeripheral ? a.line.peripherals.back().fault : a.Current().fault;
    f = f.empty() ? a.value : f + "," + a.value;
    return true;
}

bool TakeFirmware(Arg& a) {
    FILE* f = fopen(a.value.c_str(), "rb");
    a.line.firmware.assign(sim::Console::kImageArea, 0xFF);
    bool ok = f && fread(a.line.firmware.data(), 1, a.line.firmware.size(), f) == a.line.firmware.size();
    if (f) fclose(f);
    return ok;
}

bool TakeBootUnit(Arg& a) {
    char* end;
    long& unit = a.Current().unit;
    unit = strtol(a.value.c_str(), &end, 0);
    return *end == 0 && unit > 0 && unit <= 0xFFFF;
}

bool TakeBootChecks(Arg& a) {
    return ParseChecks(a.value, a.line.lastIsPeripheral ? &a.line.peripherals.back().checks : &a.Current().checks);
}

const Option OPTIONS[] = {
    {"--help", HIDDEN, nullptr, TakeHelp},
    {"-h", HIDDEN, nullptr, TakeHelp},
    {"--dir=DIR", GENERAL, "device directory (default $KQUSB_DEVICES or /run/kqusb)",
     [](Arg& a) { return a.line.dir = a.value, true; }},
    {"--timing=fast|real", GENERAL, "fast divides the devices' busy times by 100 (default real)",
     [](Arg& a) { return a.line.fast = a.value == "fast", a.value == "fast" || a.value == "real"; }},
    {"--save-flash=PREFIX", GENERAL,
     "at exit write PREFIX<interface>.bin with each flash\n"
     "(and PREFIX<interface>-vinculum.bin for a console)",
     [](Arg& a) { return a.line.savePrefix = a.value, true; }},
    {"--console[=PID|VID:PID]", DEVICES, "running console, 1d2b:0001 (--console=0003, =ffff:0001)",
     TakeDevice},
    {"--boot[=VID:PID]", DEVICES, "console processor in boot mode, 045b:0025", TakeDevice},
    {"--remote[=user|boot][,addr=N]", PERIPHERALS,
     "Remote running its firmware (address 1) or in\n"
     "boot mode",
     TakePeripheral},
    {"--receiver[=user|boot][,addr=N]", PERIPHERALS, "Receiver (address 2)", TakePeripheral},
    {"--tempabox[=user|boot][,addr=N]", PERIPHERALS,
     "Tempa BOX (address 3); in boot mode its loader\n"
     "answers as address 14",
     TakePeripheral},
    {"--fault=PLAN", DEVICE_OPTIONS,
     "e.g. \"drop:erase#3,delay:program#10=500000,unplug:start#1\";\n"
     "after a peripheral, e.g. \"units:discover=2\", \"twice:write#3\",\n"
     "\"drop:function#5-\", \"drop:boot00#1-39\", \"corrupt:bootdata#9\";\n"
     "\"miswrite:boot50#3\": a boot program stores its third unit\n"
     "with one byte wrong and acknowledges it as usual",
     TakeFault},
    {"--plug-after=S", DEVICE_OPTIONS, "plug in S seconds after start (the operator switches on)",
     [](Arg& a) { return a.Current().plugAfter = atof(a.value.c_str()), true; }},
    {"--unplug-after=S", DEVICE_OPTIONS, "unplug S seconds after start",
     [](Arg& a) { return a.Current().unplugAfter = atof(a.value.c_str()), true; }},
    {"--power-pause=S", DEVICE_OPTIONS,
     "after a \"cut\" fault, switch the device on again S seconds\n"
     "later (default 2); it starts as its flash decides",
     [](Arg& a) { return a.line.powerPause = atof(a.value.c_str()), true; }},
    {"--firmware=FILE", DEVICE_OPTIONS,
     "a console image (data/console.bin) the console's start-up\n"
     "code recognises besides the one in its flash",
     TakeFirmware},
    {"--boot-unit=N", DEVICE_OPTIONS, "programming unit of a boot device (default 128)",
     TakeBootUnit},
    {"--boot-checks=answer|refuse|silent", DEVICE_OPTIONS,
     "how a boot program (--boot, or a peripheral\n"
     "in boot mode) takes memory read 0x52 and sum check 0x4B:\n"
     "answers them (default), or knows them not and refuses\n"
     "them with 80 80, or says nothing",
     TakeBootChecks},
    {"--mac=XX-XX-XX-XX-XX-XX", DEVICE_OPTIONS, "MAC address of a console",
     [](Arg& a) { return a.Current().mac = a.value, true; }},
    {"--replay=FILE", REPLAY,
     "serve the devices a trace shows (a kept trace from\n"
     "traces/, or a copied TEMP\\log.txt), answering as they\n"
     "did in the field. Only the device side is served: the\n"
     "trace holds no keys pressed, jumpers set or power\n"
     "switched; the operator does those again. The first write\n"
     "that differs from the trace is reported with its line\n"
     "and ends the answers. Exit code 0 when the trace was\n"
     "followed to its end, 1 when not, 2 for a bad trace.",
     [](Arg& a) { return a.line.replayFile = a.value, !a.value.empty(); }},
};

// An option's lines in --help: its syntax, then its text from the section's column on
// (two spaces after a syntax that reaches the column).
void PrintOption(const Option& o) {
    size_t column = SECTIONS[o.section].column;
    std::string indent(column, ' ');
    std::string text = "  " + std::string(o.syntax);
    text += std::string(text.size() + 2 <= column ? column - text.size() : 2, ' ');
    for (const char* line = o.help; *line;) {
        const char* end = strchr(line, '\n');
        size_t n = end ? (size_t)(end - line) : strlen(line);
        text.append(line, n).append("\n");
        line += n + (end != nullptr);
        if (*line) text += indent;
    }
    fputs(text.c_str(), stdout);
}

void Usage() {
    fputs("usage: kqsim [options] [device [device options]]...\n"
          "Serves simulated devices in a device directory until SIGINT or SIGTERM.\n",
          stdout);
    for (int s = GENERAL; s < HIDDEN; s++) {
        fputs("\n", stdout);
        if (SECTIONS[s].heading) printf("%s\n", SECTIONS[s].heading);
        for (const Option& o : OPTIONS)
            if (o.section == s) PrintOption(o);
        if (SECTIONS[s].note) fputs(SECTIONS[s].note, stdout);
    }
}

}  // namespace

int ParseCommandLine(int argc, char** argv, CommandLine* line) {
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        Arg a{*line, arg, ""};
        size_t eq = arg.find('=');
        if (eq != std::string::npos) a.key = arg.substr(0, eq), a.value = arg.substr(eq + 1);
        const Option* option = nullptr;
        size_t name = 0;
        for (const Option& o : OPTIONS)
            if (a.key == std::string(o.syntax, strcspn(o.syntax, "=["))) option = &o, name = a.key.size();
        bool ok = option != nullptr;
        if (ok && option->syntax[name] == '=' && eq == std::string::npos) {
            ok = i + 1 < argc;
            if (ok) a.value = argv[++i];
        }
        ok = ok && option->take(a);
        if (a.exitCode >= 0) return a.exitCode;
        if (!ok) {
            fprintf(stderr, "kqsim: bad argument \"%s\" (--help for usage)\n", arg.c_str());
            return 2;
        }
    }
    return -1;
}

}  // namespace kqsim
