// A kept trace as a disk, a copy or an editor may leave it: the reader must not fail on
// any bytes, what it accepts must hold together, and a program that writes exactly
// what the trace recorded (writes to one device joined, as a FIFO may join them) must
// never be taken for one that departs from it.
#include <cstdlib>
#include <string>

#include "sim/model/replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::Trace trace;
    sim::TraceError error;
    if (!sim::ReadTrace(std::string((const char*)data, size), &trace, &error)) {
        if (error.line < 1 || error.text.empty()) abort();
        return 0;
    }
    size_t counted = 0;
    for (const sim::TraceSection& s : trace.sections) counted += (size_t)s.transfers;
    if (counted != trace.transfers.size()) abort();
    sim::ReplaySession replay(trace);
    auto devices = replay.MakeDevices();
    std::vector<uint8_t> pending;
    sim::ReplayDevice* to = nullptr;
    for (const sim::TraceTransfer& t : trace.transfers) {
        if (t.section < 0 || (size_t)t.section >= trace.sections.size() || t.line > trace.lines) abort();
        sim::ReplayDevice* d = devices[0]->Boot() == trace.sections[(size_t)t.section].boot ? devices[0].get() : devices.back().get();
        if (d->Boot() != trace.sections[(size_t)t.section].boot) abort();  // no device for its section
        if (t.toPc) continue;
        if (d != to && to != nullptr) to->HostWrote(0, pending.data(), pending.size()), pending.clear();
        to = d;
        pending.insert(pending.end(), t.bytes.begin(), t.bytes.end());
    }
    if (to) to->HostWrote(0, pending.data(), pending.size());
    if (replay.Departed()) abort();
    return 0;
}
