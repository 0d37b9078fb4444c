// kqsim - the simulator program: its command line builds the devices (the console,
// the boot program, the peripherals on the console's KQ-LINK port, their faults and
// timing) and hands them to the server (serve.cpp), which publishes them in the device
// directory as the kqusb driver would.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/model/replay.h"
#include "sim/kqsim/serve.h"
#include "sim/model/sim.h"

using namespace kqsim;

namespace {

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
        "                       \"drop:function#5-\", \"drop:boot00#1-39\", \"corrupt:bootdata#9\";\n"
        "                       \"miswrite:boot50#3\": a boot program stores its third unit\n"
        "                       with one byte wrong and acknowledges it as usual\n"
        "  --plug-after=S       plug in S seconds after start (the operator switches on)\n"
        "  --unplug-after=S     unplug S seconds after start\n"
        "  --power-pause=S      after a \"cut\" fault, switch the device on again S seconds\n"
        "                       later (default 2); it starts as its flash decides\n"
        "  --firmware=FILE      a console image (data/console.bin) the console's start-up\n"
        "                       code recognises besides the one in its flash\n"
        "  --boot-unit=N        programming unit of a boot device (default 128)\n"
        "  --boot-checks=answer|refuse|silent  how a boot program (--boot, or a peripheral\n"
        "                       in boot mode) takes memory read 0x52 and sum check 0x4B:\n"
        "                       answers them (default), or knows them not and refuses\n"
        "                       them with 80 80, or says nothing\n"
        "  --mac=XX-XX-XX-XX-XX-XX  MAC address of a console\n"
        "\n"
        "replay of a field run (instead of the devices above):\n"
        "  --replay=FILE        serve the devices a trace shows (a kept trace from\n"
        "                       traces/, or a copied TEMP\\log.txt), answering as they\n"
        "                       did in the field. Only the device side is served: the\n"
        "                       trace holds no keys pressed, jumpers set or power\n"
        "                       switched; the operator does those again. The first write\n"
        "                       that differs from the trace is reported with its line\n"
        "                       and ends the answers. Exit code 0 when the trace was\n"
        "                       followed to its end, 1 when not, 2 for a bad trace.\n",
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
    sim::BootConfig::Checks checks = sim::BootConfig::Checks::Answer;
};

// "answer", "refuse", "silent": how a boot program takes 0x52 and 0x4B.
bool ParseChecks(const std::string& text, sim::BootConfig::Checks* checks) {
    using C = sim::BootConfig::Checks;
    if (text == "answer") *checks = C::Answer;
    else if (text == "refuse") *checks = C::Refuse;
    else if (text == "silent") *checks = C::Silent;
    else return false;
    return true;
}

// Serves the devices of a trace until SIGINT or SIGTERM: 0 when the program followed
// it to its end, 1 when not, 2 when the file is not a trace.
int Replay(const std::string& file) {
    FILE* f = fopen(file.c_str(), "rb");
    if (f == nullptr) {
        fprintf(stderr, "kqsim: cannot read %s: %s\n", file.c_str(), strerror(errno));
        return 2;
    }
    std::string text;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    fclose(f);
    sim::Trace trace;
    sim::TraceError error;
    if (!sim::ReadTrace(text, &trace, &error)) {
        fprintf(stderr, "kqsim: %s line %d: %s\n", file.c_str(), error.line, error.text.c_str());
        return 2;
    }
    sim::ReplaySession session(trace);
    sim::Identity id;
    unsigned instance;
    std::string record;
    if (sim::RecordedIdentity(file, &id, &instance, &record)) {
        session.UseIdentity(id, instance);
        Say(0, "replay", "the service record %s names %s", record.c_str(), sim::InterfaceName(id, instance).c_str());
    }
    auto bare = [](const std::string& text) { return text.compare(0, 8, "replay: ") == 0 ? text.substr(8) : text; };
    session.SetReporter([bare](uint64_t us, const std::string& text) {
        Say(us, "replay", "%s", bare(text).c_str());
        if (text.find("departs") != std::string::npos) fprintf(stderr, "kqsim: %s\n", text.c_str());
    });
    std::vector<Served> served;
    for (auto& device : session.MakeDevices()) {
        Served s;
        s.label = device->Boot() ? "replay of the boot program" : "replay of the console";
        sim::ReplayDevice* d = device.get();
        s.present = [&session, d] { return session.Present(d); };
        s.device = std::move(device);
        s.dir = BaseDir + "/" + s.device->InterfacePath();
        std::string name = s.device->InterfacePath();
        s.device->SetRequestObserver([name](const sim::Request& r) {
            Say(r.timeUs, name, "%-16s %s", r.detail.c_str(), r.result.c_str());
        });
        served.push_back(std::move(s));
    }
    size_t sections = 0;
    for (const sim::TraceSection& s : trace.sections) sections += s.transfers > 0;
    Say(0, "replay", "%s: %zu transfers in %zu sections with traffic, %d lines; the device side only (no keys, "
        "jumpers or power switching)", file.c_str(), trace.transfers.size(), sections, trace.lines);
    int code = Serve(served, "", false);
    std::string summary = session.Summary();
    Say(MonotonicUs(), "replay", "%s", bare(summary).c_str());
    if (code != 0) return code;
    return session.FollowedToEnd() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    StartClock();
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
        sim::BootConfig::Checks checks;
    };
    std::vector<PeripheralChoice> peripherals;
    bool lastIsPeripheral = false;
    std::string replayFile;

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
        } else if (key == "--replay") {
            ok = next() && !value.empty();
            replayFile = value;
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
            p.checks = common.checks;
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
        } else if (key == "--boot-checks") {
            ok = next() && ParseChecks(value, lastIsPeripheral ? &peripherals.back().checks : &opt.checks);
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
    if (!replayFile.empty()) {
        if (!choices.empty() || !peripherals.empty()) {
            fprintf(stderr, "kqsim: --replay serves the devices of its trace and takes no other device\n");
            return 2;
        }
        if (fast || !savePrefix.empty() || !common.fault.empty())
            fprintf(stderr, "kqsim: --timing, --save-flash and --fault do not apply to a replay: it answers as the trace shows\n");
        return Replay(replayFile);
    }
    if (choices.empty()) choices.push_back(DeviceChoice{false, sim::kConsoleId, common});

    std::vector<Served> served;
    for (size_t i = 0; i < choices.size(); i++) {
        const DeviceChoice& choice = choices[i];
        Served s;
        if (choice.boot) {
            sim::BootConfig config;
            if (choice.opt.unit > 0) config.unit = (uint16_t)choice.opt.unit;
            config.checks = choice.opt.checks;
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
            sim::BootConfig config = sim::PeripheralBootConfig();
            config.checks = p.checks;
            auto* peer = new sim::BootPeer(config);
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

    return Serve(served, savePrefix, fast);
}
