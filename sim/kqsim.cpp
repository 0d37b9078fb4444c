// kqsim - serves simulated devices in a device directory, as the kqusb driver would
// publish them: one sub-directory per interface ("usb#vid_1d2b&pid_0001#0001") with
// the FIFOs PIPE00 (program to device) and PIPE01 (device to program).
//
// While a device is plugged in, kqsim holds PIPE00 open for reading and PIPE01 open
// for writing, so that the program's non-blocking opens succeed. PIPE01 is held with
// O_RDWR: a FIFO cannot be opened write-only without a reader, and it must stay open
// between connections so the program's reads do not see end of file. Because kqsim is
// then also a reader of PIPE01, it only writes while a program is connected (bytes
// arrived on PIPE00 since the last end of file) and throws away whatever is left in
// the FIFO when the program goes, so the next connection starts clean.
//
// End of file on PIPE00 means the program closed its end: kqsim reopens PIPE00 for
// the next connection (a fresh open reports no hang-up until a writer has come and
// gone again, so this does not spin).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace {

volatile sig_atomic_t Stop = 0;
void OnSignal(int) { Stop = 1; }

uint64_t Origin = 0;
uint64_t MonotonicUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u - Origin;
}

void Say(uint64_t us, const std::string& who, const char* format, ...) __attribute__((format(printf, 3, 4)));
void Say(uint64_t us, const std::string& who, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    printf("%4llu.%06llu %s %s\n", (unsigned long long)(us / 1000000), (unsigned long long)(us % 1000000),
           who.c_str(), text);
    fflush(stdout);
}

std::string Seconds(uint64_t us) {
    char text[32];
    snprintf(text, sizeof text, "%llu.%06llu", (unsigned long long)(us / 1000000), (unsigned long long)(us % 1000000));
    return text;
}

// A peripheral on a served console's KQ-LINK port.
struct Attached {
    std::unique_ptr<sim::Station> station;
    std::string label;  // "remote", "receiver-2", "tempabox"...
    size_t errorsShown = 0;
    uint64_t powerBackUs = 0;  // after a power cut: when it is switched on again
};

struct Served {
    std::unique_ptr<sim::SimDevice> device;
    std::vector<Attached> peripherals;
    std::string label;  // "console" / "boot"
    std::string dir;
    double plugAfter = 0, unplugAfter = -1;
    bool plugged = false, gone = false;
    int in = -1, out = -1;  // PIPE00 (we read), PIPE01 (we write)
    bool connected = false;
    size_t errorsShown = 0;
    uint64_t powerBackUs = 0;  // after a power cut: when it is switched on again
};

// Seconds between a "cut" fault and the power coming back (--power-pause).
double PowerPause = 2.0;

bool Plug(Served& s, uint64_t now);

// The power comes back: the device starts as its flash decides (a console whose image
// is not whole shows no USB identity; a Remote or Receiver whose firmware is not whole
// stays silent on KQ-LINK).
void PowerBack(Served& s, uint64_t now) {
    if (s.powerBackUs != 0 && now >= s.powerBackUs) {
        s.powerBackUs = 0;
        if (s.device->PowerOn()) {
            s.gone = false;
            if (!Plug(s, now)) s.gone = true;
        } else {
            Say(now, s.device->InterfacePath(), "power back: the start-up code finds no whole image, no USB identity");
        }
    }
    for (Attached& a : s.peripherals) {
        if (a.station->PoweredOff() && a.powerBackUs == 0) a.powerBackUs = now + (uint64_t)(PowerPause * 1e6);
        if (a.powerBackUs == 0 || now < a.powerBackUs) continue;
        a.powerBackUs = 0;
        bool shows = a.station->PowerOn();
        Say(now, s.device->InterfacePath() + "/" + a.label, "power back: %s",
            shows ? "running" : "its firmware is not whole, it stays silent");
    }
}

std::string BaseDir;
bool CreatedBase = false;

void Drain(int fd) {
    uint8_t junk[4096];
    while (fd >= 0 && read(fd, junk, sizeof junk) > 0) {
    }
}

bool OpenIn(Served& s) {
    s.in = open((s.dir + "/PIPE00").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return s.in >= 0;
}

bool Plug(Served& s, uint64_t now) {
    mkdir(s.dir.c_str(), 0755);  // may be left over from a run that was killed
    for (const char* pipe : {"/PIPE00", "/PIPE01"}) {
        std::string path = s.dir + pipe;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) unlink(path.c_str());
        if (mkfifo(path.c_str(), 0666) != 0 && errno != EEXIST) {
            Say(now, s.device->InterfacePath(), "cannot make %s: %s", path.c_str(), strerror(errno));
            return false;
        }
    }
    if (!OpenIn(s)) return false;
    s.out = open((s.dir + "/PIPE01").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (s.out < 0) return false;
    Drain(s.out);
    s.plugged = true;
    s.connected = false;
    s.device->Replug();
    Say(now, s.device->InterfacePath(), "plugged in (%s)", s.label.c_str());
    return true;
}

void Unplug(Served& s, uint64_t now, const char* why) {
    if (!s.plugged) return;
    if (s.in >= 0) close(s.in);
    if (s.out >= 0) close(s.out);
    s.in = s.out = -1;
    unlink((s.dir + "/PIPE00").c_str());
    unlink((s.dir + "/PIPE01").c_str());
    rmdir(s.dir.c_str());
    s.plugged = false;
    s.connected = false;
    Say(now, s.device->InterfacePath(), "unplugged (%s)", why);
}

void ShowErrors(Served& s) {
    const auto& errors = s.device->Errors();
    for (; s.errorsShown < errors.size(); s.errorsShown++)
        Say(errors[s.errorsShown].timeUs, s.device->InterfacePath(), "DEVICE ERROR %s: %s",
            errors[s.errorsShown].kind.c_str(), errors[s.errorsShown].text.c_str());
    for (Attached& a : s.peripherals) {
        const auto& e = a.station->Errors();
        for (; a.errorsShown < e.size(); a.errorsShown++)
            Say(e[a.errorsShown].timeUs, s.device->InterfacePath() + "/" + a.label, "DEVICE ERROR %s: %s",
                e[a.errorsShown].kind.c_str(), e[a.errorsShown].text.c_str());
    }
}

void HostBytes(Served& s, uint64_t now) {
    uint8_t buf[8192];
    ssize_t n = read(s.in, buf, sizeof buf);
    if (n > 0) {
        if (!s.connected) {
            Drain(s.out);
            s.connected = true;
            Say(now, s.device->InterfacePath(), "program connected");
        }
        s.device->HostWrote(now, buf, (size_t)n);
        ShowErrors(s);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // The program closed PIPE00: this connection is over.
        s.device->HostClosed(now);
        if (s.connected) Say(now, s.device->InterfacePath(), "program disconnected");
        s.connected = false;
        Drain(s.out);
        close(s.in);
        if (!OpenIn(s)) Unplug(s, now, "PIPE00 cannot be reopened");
    }
}

void RunDevice(Served& s, uint64_t now) {
    if (!s.plugged || s.device->NextEventUs() > now) return;
    std::vector<uint8_t> out;
    bool unplug = false;
    s.device->RunUntil(now, &out, &unplug);
    if (!out.empty()) {
        if (!s.connected) {
            Say(now, s.device->InterfacePath(), "%zu bytes dropped: no program connected", out.size());
        } else {
            ssize_t n = write(s.out, out.data(), out.size());
            if (n < (ssize_t)out.size())
                Say(now, s.device->InterfacePath(), "%zu bytes dropped: PIPE01 full", out.size() - (n > 0 ? n : 0));
        }
    }
    if (unplug) {
        Unplug(s, now, s.device->PoweredOff() ? "power cut" : "fault plan");
        s.gone = true;
        if (s.device->PoweredOff()) s.powerBackUs = now + (uint64_t)(PowerPause * 1e6);
    }
    ShowErrors(s);
}

bool SaveFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

void Usage() {
    fputs(
        "usage: kqsim [options] [device [device options]]...\n"
        "Serves simulated devices in a device directory until SIGINT or SIGTERM.\n"
        "\n"
        "  --dir=DIR            device directory (default $KQUSB_DEVICES or /run/kqusb)\n"
        "  --timing=fast|real   fast divides the devices' busy times by 100 (default real)\n"
        "  --save-flash=PREFIX  at exit write PREFIX<interface>.bin with each flash\n"
        "                       (and PREFIX<interface>-vinculum.bin for a console)\n"
        "\n"
        "devices (default --console):\n"
        "  --console[=PID|VID:PID]  running console, 1d2b:0001 (--console=0003, =ffff:0001)\n"
        "  --boot[=VID:PID]         console processor in boot mode, 045b:0025\n"
        "\n"
        "peripherals on the KQ-LINK port of the console named last (repeatable):\n"
        "  --remote[=user|boot][,addr=N]    Remote running its firmware (address 1) or in\n"
        "                                   boot mode\n"
        "  --receiver[=user|boot][,addr=N]  Receiver (address 2)\n"
        "  --tempabox[=user|boot][,addr=N]  Tempa BOX (address 3); in boot mode its loader\n"
        "                                   answers as address 14\n"
        "  --save-flash also writes PREFIX<console interface>-remote.bin and so on.\n"
        "\n"
        "device options (after a device they apply to it, before any device to all):\n"
        "  --fault=PLAN         e.g. \"drop:erase#3,delay:program#10=500000,unplug:start#1\";\n"
        "                       after a peripheral, e.g. \"units:discover=2\", \"twice:write#3\",\n"
        "                       \"drop:function#5-\", \"drop:boot00#1-39\", \"corrupt:bootdata#9\"\n"
        "  --plug-after=S       plug in S seconds after start (the operator switches on)\n"
        "  --unplug-after=S     unplug S seconds after start\n"
        "  --power-pause=S      after a \"cut\" fault, switch the device on again S seconds\n"
        "                       later (default 2); it starts as its flash decides\n"
        "  --firmware=FILE      a console image (data/console.bin) the console's start-up\n"
        "                       code recognises besides the one in its flash\n"
        "  --boot-unit=N        programming unit of a boot device (default 128)\n"
        "  --mac=XX-XX-XX-XX-XX-XX  MAC address of a console\n",
        stdout);
}

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

struct Options {
    std::string fault;
    double plugAfter = 0, unplugAfter = -1;
    long unit = -1;
    std::string mac;
};

}  // namespace

int main(int argc, char** argv) {
    Origin = 0;
    Origin = MonotonicUs();
    const char* env = getenv("KQUSB_DEVICES");
    BaseDir = env && *env ? env : "/run/kqusb";
    bool fast = false;
    std::string savePrefix;
    std::vector<uint8_t> firmware;
    Options common;
    struct DeviceChoice {
        bool boot;
        sim::Identity id;
        Options opt;
        bool set[4] = {false, false, false, false};  // fault, plug, unplug, unit/mac
    };
    std::vector<DeviceChoice> choices;
    struct PeripheralChoice {
        size_t console;  // index into choices
        std::string kind;  // "remote", "receiver", "tempabox"
        bool boot = false;
        int address = -1;
        std::string fault;
    };
    std::vector<PeripheralChoice> peripherals;
    bool lastIsPeripheral = false;

    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i], key = arg, value;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) key = arg.substr(0, eq), value = arg.substr(eq + 1);
        auto next = [&]() -> bool {  // "--fault PLAN" as well as "--fault=PLAN"
            if (eq != std::string::npos) return true;
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        Options& opt = choices.empty() ? common : choices.back().opt;
        bool ok = true;
        auto lastConsole = [&]() -> size_t {
            for (size_t c = choices.size(); c-- > 0;)
                if (!choices[c].boot) return c;
            choices.push_back(DeviceChoice{false, sim::kConsoleId, common});
            return choices.size() - 1;
        };
        if (key == "--help" || key == "-h") {
            Usage();
            return 0;
        } else if (key == "--dir") {
            ok = next();
            BaseDir = value;
        } else if (key == "--timing") {
            ok = next() && (value == "fast" || value == "real");
            fast = value == "fast";
        } else if (key == "--save-flash") {
            ok = next();
            savePrefix = value;
        } else if (key == "--console" || key == "--boot") {
            lastIsPeripheral = false;
            DeviceChoice s;
            s.boot = key == "--boot";
            s.opt = common;
            ok = ParseId(value, s.boot ? sim::kBootId : sim::kConsoleId, &s.id);
            choices.push_back(s);
        } else if (key == "--remote" || key == "--receiver" || key == "--tempabox") {
            PeripheralChoice p;
            p.console = lastConsole();
            p.kind = key.substr(2);
            std::string rest = value;
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
            peripherals.push_back(p);
            lastIsPeripheral = true;
        } else if (key == "--fault") {
            ok = next();
            std::string error;
            sim::FaultPlan plan;
            if (ok && !sim::FaultPlan::Parse(value, &plan, &error)) {
                fprintf(stderr, "kqsim: %s\n", error.c_str());
                return 2;
            }
            std::string& f = lastIsPeripheral ? peripherals.back().fault : opt.fault;
            f = f.empty() ? value : f + "," + value;
        } else if (key == "--power-pause") {
            ok = next();
            PowerPause = atof(value.c_str());
        } else if (key == "--firmware") {
            ok = next();
            FILE* f = ok ? fopen(value.c_str(), "rb") : nullptr;
            firmware.assign(sim::Console::kImageArea, 0xFF);
            ok = f && fread(firmware.data(), 1, firmware.size(), f) == firmware.size();
            if (f) fclose(f);
        } else if (key == "--plug-after") {
            ok = next();
            opt.plugAfter = atof(value.c_str());
        } else if (key == "--unplug-after") {
            ok = next();
            opt.unplugAfter = atof(value.c_str());
        } else if (key == "--boot-unit") {
            ok = next();
            char* end;
            opt.unit = strtol(value.c_str(), &end, 0);
            ok = ok && *end == 0 && opt.unit > 0 && opt.unit <= 0xFFFF;
        } else if (key == "--mac") {
            ok = next();
            opt.mac = value;
        } else {
            ok = false;
        }
        if (!ok) {
            fprintf(stderr, "kqsim: bad argument \"%s\" (--help for usage)\n", arg.c_str());
            return 2;
        }
    }
    if (choices.empty()) choices.push_back(DeviceChoice{false, sim::kConsoleId, common});

    std::vector<Served> served;
    for (size_t i = 0; i < choices.size(); i++) {
        const DeviceChoice& choice = choices[i];
        Served s;
        if (choice.boot) {
            sim::BootConfig config;
            if (choice.opt.unit > 0) config.unit = (uint16_t)choice.opt.unit;
            if (fast) config.timing = config.timing.Scaled(100);
            s.device.reset(new sim::BootDevice(config, choice.id));
            s.label = "boot program";
        } else {
            auto* console = new sim::Console(choice.id);
            if (fast) console->SetTiming(console->Timing().Scaled(100));
            if (!firmware.empty()) console->KnowFirmware(firmware.data());
            if (!choice.opt.mac.empty()) {
                unsigned m[6];
                if (sscanf(choice.opt.mac.c_str(), "%x-%x-%x-%x-%x-%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6) {
                    fprintf(stderr, "kqsim: bad MAC \"%s\"\n", choice.opt.mac.c_str());
                    return 2;
                }
                console->SetMac({(uint8_t)m[0], (uint8_t)m[1], (uint8_t)m[2], (uint8_t)m[3], (uint8_t)m[4], (uint8_t)m[5]});
            }
            s.device.reset(console);
            s.label = "console";
        }
        // Two devices of the same identity are two instances of it.
        unsigned instance = 1;
        for (size_t j = 0; j < i; j++)
            if (served[j].device->Id().vendor == choice.id.vendor && served[j].device->Id().product == choice.id.product)
                instance++;
        s.device->SetInstance(instance);
        s.device->SetFaults(sim::FaultPlan::FromText(choice.opt.fault));
        s.plugAfter = choice.opt.plugAfter;
        s.unplugAfter = choice.opt.unplugAfter;
        s.dir = BaseDir + "/" + s.device->InterfacePath();
        std::string name = s.device->InterfacePath();
        s.device->SetRequestObserver([name](const sim::Request& r) {
            Say(r.timeUs, name, "%-8s #%-4d %-16s %s", r.kind.c_str(), r.index, r.detail.c_str(), r.result.c_str());
        });
        if (!choice.opt.fault.empty())
            Say(0, name, "fault plan %s", s.device->Faults().ToString().c_str());
        served.push_back(std::move(s));
    }

    // Peripherals, each on the bus of its console.
    for (const PeripheralChoice& p : peripherals) {
        Served& s = served[p.console];
        auto* console = static_cast<sim::Console*>(s.device.get());
        std::unique_ptr<sim::Station> station;
        uint8_t address = p.kind == "remote" ? 1 : p.kind == "receiver" ? 2 : 3;
        if (p.address >= 0) address = (uint8_t)p.address;
        if (p.boot && p.kind == "tempabox") {
            auto* box = new sim::TempaBoxBoot();
            if (fast) box->SetTiming(box->Timing().Scaled(100));
            station.reset(box);
        } else if (p.boot) {
            auto* peer = new sim::BootPeer();
            if (fast) peer->SetTiming(peer->Program().Config().timing.Scaled(100));
            station.reset(peer);
        } else {
            sim::Unit* unit = p.kind == "remote"     ? (sim::Unit*)new sim::Remote(address)
                              : p.kind == "receiver" ? (sim::Unit*)new sim::Receiver(address)
                                                     : (sim::Unit*)new sim::TempaBox(address);
            if (fast) unit->SetTiming(unit->Timing().Scaled(100));
            station.reset(unit);
        }
        int same = 1;
        for (const Attached& a : s.peripherals) same += a.label.compare(0, p.kind.size(), p.kind) == 0;
        std::string label = same == 1 ? p.kind : p.kind + "-" + std::to_string(same);
        station->SetFaults(sim::FaultPlan::FromText(p.fault));
        std::string name = s.device->InterfacePath() + "/" + label;
        station->SetRequestObserver([name](const sim::Request& r) {
            Say(r.timeUs, name, "%-8s #%-4d %-16s %s", r.kind.c_str(), r.index, r.detail.c_str(), r.result.c_str());
        });
        if (p.boot)
            Say(0, name, "on KQ-LINK in boot mode%s", p.kind == "tempabox" ? " (its loader answers as address 14)" : "");
        else
            Say(0, name, "on KQ-LINK, running its firmware at address %u", address);
        if (!p.fault.empty()) Say(0, name, "fault plan %s", station->Faults().ToString().c_str());
        console->KqLink().Attach(station.get());
        s.peripherals.push_back(Attached{std::move(station), label, 0});
    }

    struct stat st;
    if (stat(BaseDir.c_str(), &st) != 0) {
        if (mkdir(BaseDir.c_str(), 0755) != 0) {
            fprintf(stderr, "kqsim: cannot create %s: %s\n", BaseDir.c_str(), strerror(errno));
            return 1;
        }
        CreatedBase = true;
    }
    signal(SIGPIPE, SIG_IGN);
    // The kernel may otherwise let a sleep run 50 us long to batch wake-ups.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    Say(0, "kqsim", "serving %s, %s timing", BaseDir.c_str(), fast ? "fast" : "real");

    while (!Stop) {
        uint64_t now = MonotonicUs();
        uint64_t wake = now + 500000;
        for (Served& s : served) {
            PowerBack(s, now);
            if (s.powerBackUs != 0) wake = std::min(wake, s.powerBackUs);
            for (const Attached& a : s.peripherals)
                if (a.powerBackUs != 0) wake = std::min(wake, a.powerBackUs);
            if (!s.plugged && !s.gone && now >= (uint64_t)(s.plugAfter * 1e6)) {
                if (!Plug(s, now)) {
                    Say(now, s.device->InterfacePath(), "cannot plug in: %s", strerror(errno));
                    Unplug(s, now, "failed");
                    s.gone = true;
                }
            }
            if (s.plugged && s.unplugAfter >= 0 && now >= (uint64_t)(s.unplugAfter * 1e6)) {
                Unplug(s, now, "--unplug-after");
                s.gone = true;
            }
            if (!s.plugged && !s.gone) wake = std::min(wake, (uint64_t)(s.plugAfter * 1e6));
            if (s.plugged && s.unplugAfter >= 0) wake = std::min(wake, (uint64_t)(s.unplugAfter * 1e6));
            if (s.plugged) wake = std::min(wake, s.device->NextEventUs());
        }
        std::vector<pollfd> fds;
        std::vector<Served*> owners;
        for (Served& s : served)
            if (s.plugged) fds.push_back(pollfd{s.in, POLLIN, 0}), owners.push_back(&s);
        // To the microsecond: a device answers when its model says, not at the next
        // whole millisecond (that would add a millisecond to every request).
        uint64_t sleepUs = wake <= now ? 0 : wake - now;
        timespec timeout = {(time_t)(sleepUs / 1000000), (long)(sleepUs % 1000000) * 1000L};
        int n = ppoll(fds.data(), fds.size(), &timeout, nullptr);
        if (n < 0 && errno != EINTR) {
            perror("kqsim: poll");
            break;
        }
        now = MonotonicUs();
        for (size_t i = 0; n > 0 && i < fds.size(); i++)
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) HostBytes(*owners[i], now);
        for (Served& s : served) RunDevice(s, now);
    }

    uint64_t now = MonotonicUs();
    for (Served& s : served) {
        Unplug(s, now, "kqsim stopping");
        const sim::SimDevice& d = *s.device;
        Say(now, d.InterfacePath(), "%zu requests, %zu device errors, busy %s s", d.Requests().size(),
            d.Errors().size(), Seconds(d.BusyTotalUs()).c_str());
        // The peripherals' own work, and how long KQ-LINK carried bytes at the rates
        // they were sent at (the console's port and the peripherals' answers apart):
        // the benchmark sets these against the waits the program fixes.
        for (const Attached& a : s.peripherals)
            Say(now, d.InterfacePath() + "/" + a.label, "%zu requests, %zu device errors, busy %s s",
                a.station->Requests().size(), a.station->Errors().size(), Seconds(a.station->BusyTotalUs()).c_str());
        if (auto* c = dynamic_cast<sim::Console*>(s.device.get())) {
            uint64_t port = 0, peripherals = 0;
            for (const sim::Bus::Transmission& t : c->KqLink().History())
                (t.from == nullptr ? port : peripherals) += t.endUs - t.startUs;
            if (!c->KqLink().History().empty())
                Say(now, d.InterfacePath(), "KQ-LINK bus time %s s: port %s s, peripherals %s s, %zu transmissions",
                    Seconds(port + peripherals).c_str(), Seconds(port).c_str(), Seconds(peripherals).c_str(),
                    c->KqLink().History().size());
        }
        if (!savePrefix.empty()) {
            std::string base = savePrefix + d.InterfacePath();
            bool ok;
            if (auto* c = dynamic_cast<const sim::Console*>(&d))
                ok = SaveFile(base + ".bin", c->Flash()) && SaveFile(base + "-vinculum.bin", c->VinculumFlash());
            else
                ok = SaveFile(base + ".bin", static_cast<const sim::BootDevice&>(d).Flash());
            for (const Attached& a : s.peripherals) {
                const std::vector<uint8_t>* flash = nullptr;
                if (auto* ps = dynamic_cast<const sim::PacketStation*>(a.station.get())) flash = &ps->Flash();
                if (auto* bp = dynamic_cast<const sim::BootPeer*>(a.station.get())) flash = &bp->Flash();
                if (flash && !SaveFile(base + "-" + a.label + ".bin", *flash))
                    fprintf(stderr, "kqsim: cannot write %s-%s.bin\n", base.c_str(), a.label.c_str());
            }
            if (!ok) fprintf(stderr, "kqsim: cannot write %s.bin\n", base.c_str());
        }
    }
    if (CreatedBase) rmdir(BaseDir.c_str());
    return 0;
}
