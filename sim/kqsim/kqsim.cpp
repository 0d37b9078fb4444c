// kqsim.cpp - the simulator program: its command line (options.cpp) builds the devices
// (the console, the boot program, the peripherals on the console's KQ-LINK port, their
// faults and timing) and hands them to the server (serve.cpp), which publishes them in
// the device directory as the kqusb driver would; or it serves a field run's trace again.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/kqsim/options.h"
#include "sim/kqsim/serve.h"
#include "sim/model/replay.h"
#include "sim/model/sim.h"

using namespace kqsim;

namespace {

// --timing=fast divides the devices' busy times by this.
const uint32_t FAST_DIVISOR = 100;

template <class Model>
void Speed(Model* model, bool fast) {
    if (fast) model->SetTiming(model->Timing().Scaled(FAST_DIVISOR));
}

// One report line for each request a model serves: its kind and index, what it asked
// and how it was answered. A replayed device's requests are the trace's, not counted.
void ReportRequests(sim::Model* model, const std::string& name, bool replay = false) {
    if (replay)
        return model->SetRequestObserver(
            [name](const sim::Request& r) { Say(r.timeUs, name, "%-16s %s", r.detail.c_str(), r.result.c_str()); });
    model->SetRequestObserver([name](const sim::Request& r) {
        Say(r.timeUs, name, "%-8s #%-4d %-16s %s", r.kind.c_str(), r.index, r.detail.c_str(), r.result.c_str());
    });
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
        ReportRequests(s.device.get(), s.device->InterfacePath(), true);
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

// A console or a boot program as the command line names it. False after a MAC address
// that is not one (said on standard error).
bool MakeDevice(const DeviceChoice& choice, const CommandLine& line, Served* s) {
    if (choice.boot) {
        sim::BootConfig config;
        if (choice.opt.unit > 0) config.unit = (uint16_t)choice.opt.unit;
        config.checks = choice.opt.checks;
        auto* boot = new sim::BootDevice(config, choice.id);
        s->device.reset(boot);
        Speed(boot, line.fast);
        s->label = "boot program";
        return true;
    }
    auto* console = new sim::Console(choice.id);
    s->device.reset(console);
    Speed(console, line.fast);
    if (!line.firmware.empty()) console->KnowFirmware(line.firmware.data());
    if (!choice.opt.mac.empty()) {
        unsigned m[6];
        if (sscanf(choice.opt.mac.c_str(), "%x-%x-%x-%x-%x-%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6) {
            fprintf(stderr, "kqsim: bad MAC \"%s\"\n", choice.opt.mac.c_str());
            return false;
        }
        console->SetMac({(uint8_t)m[0], (uint8_t)m[1], (uint8_t)m[2], (uint8_t)m[3], (uint8_t)m[4], (uint8_t)m[5]});
    }
    s->label = "console";
    return true;
}

bool AddDevices(const CommandLine& line, std::vector<Served>* served) {
    for (const DeviceChoice& choice : line.devices) {
        Served s;
        if (!MakeDevice(choice, line, &s)) return false;
        // Two devices of the same identity are two instances of it.
        unsigned instance = 1;
        for (const Served& other : *served)
            if (other.device->Id().vendor == choice.id.vendor && other.device->Id().product == choice.id.product)
                instance++;
        s.device->SetInstance(instance);
        s.device->SetFaults(sim::FaultPlan::FromText(choice.opt.fault));
        s.plugAfter = choice.opt.plugAfter;
        s.unplugAfter = choice.opt.unplugAfter;
        s.dir = BaseDir + "/" + s.device->InterfacePath();
        std::string name = s.device->InterfacePath();
        ReportRequests(s.device.get(), name);
        if (!choice.opt.fault.empty()) Say(0, name, "fault plan %s", s.device->Faults().ToString().c_str());
        served->push_back(std::move(s));
    }
    return true;
}

std::unique_ptr<sim::Station> MakeStation(const PeripheralChoice& p, uint8_t address, bool fast) {
    if (p.boot && p.kind == "tempabox") {
        auto* box = new sim::TempaBoxBoot();
        Speed(box, fast);
        return std::unique_ptr<sim::Station>(box);
    }
    if (p.boot) {
        sim::BootConfig config = sim::PeripheralBootConfig();
        config.checks = p.checks;
        auto* peer = new sim::BootPeer(config);
        Speed(peer, fast);
        return std::unique_ptr<sim::Station>(peer);
    }
    sim::Unit* unit = p.kind == "remote"     ? (sim::Unit*)new sim::Remote(address)
                      : p.kind == "receiver" ? (sim::Unit*)new sim::Receiver(address)
                                             : (sim::Unit*)new sim::TempaBox(address);
    Speed(unit, fast);
    return std::unique_ptr<sim::Station>(unit);
}

// Peripherals, each on the bus of its console.
void AttachPeripherals(const CommandLine& line, std::vector<Served>& served) {
    for (const PeripheralChoice& p : line.peripherals) {
        Served& s = served[p.console];
        auto* console = static_cast<sim::Console*>(s.device.get());
        uint8_t address = p.kind == "remote" ? 1 : p.kind == "receiver" ? 2 : 3;
        if (p.address >= 0) address = (uint8_t)p.address;
        std::unique_ptr<sim::Station> station = MakeStation(p, address, line.fast);
        int same = 1;
        for (const Attached& a : s.peripherals) same += a.label.compare(0, p.kind.size(), p.kind) == 0;
        std::string label = same == 1 ? p.kind : p.kind + "-" + std::to_string(same);
        station->SetFaults(sim::FaultPlan::FromText(p.fault));
        std::string name = s.device->InterfacePath() + "/" + label;
        ReportRequests(station.get(), name);
        if (p.boot)
            Say(0, name, "on KQ-LINK in boot mode%s", p.kind == "tempabox" ? " (its loader answers as address 14)" : "");
        else
            Say(0, name, "on KQ-LINK, running its firmware at address %u", address);
        if (!p.fault.empty()) Say(0, name, "fault plan %s", station->Faults().ToString().c_str());
        console->KqLink().Attach(station.get());
        s.peripherals.push_back(Attached{std::move(station), label, 0});
    }
}

}  // namespace

int main(int argc, char** argv) {
    StartClock();
    CommandLine line;
    const char* env = getenv("KQUSB_DEVICES");
    line.dir = env && *env ? env : "/run/kqusb";
    int code = ParseCommandLine(argc, argv, &line);
    if (code >= 0) return code;
    BaseDir = line.dir;
    PowerPause = line.powerPause;
    if (!line.replayFile.empty()) {
        if (!line.devices.empty() || !line.peripherals.empty()) {
            fprintf(stderr, "kqsim: --replay serves the devices of its trace and takes no other device\n");
            return 2;
        }
        if (line.fast || !line.savePrefix.empty() || !line.common.fault.empty())
            fprintf(stderr, "kqsim: --timing, --save-flash and --fault do not apply to a replay: it answers as the trace shows\n");
        return Replay(line.replayFile);
    }
    if (line.devices.empty()) line.devices.push_back(DeviceChoice{false, sim::kConsoleId, line.common});
    std::vector<Served> served;
    if (!AddDevices(line, &served)) return 2;
    AttachPeripherals(line, served);
    return Serve(served, line.savePrefix, line.fast);
}
