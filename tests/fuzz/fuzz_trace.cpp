// A kept trace as a disk, a copy or an editor may leave it: the reader must not fail on
// any bytes, what it accepts must hold together, and a program that writes exactly
// what the trace recorded must never be taken for one that departs from it.
#include <cstdlib>
#include <string>

#include "sim/replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::Trace trace;
    sim::TraceError error;
    if (!sim::ReadTrace(std::string((const char*)data, size), &trace, &error)) {
        if (error.line < 1 || error.text.empty()) abort();
        return 0;
    }
    size_t counted = 0;
    int previous = 0;
    for (const sim::TraceTransfer& t : trace.transfers) {
        if (t.section < 0 || (size_t)t.section >= trace.sections.size() || t.line <= previous || t.line > trace.lines)
            abort();
        previous = t.line;
    }
    for (const sim::TraceSection& s : trace.sections) counted += (size_t)s.transfers;
    if (counted != trace.transfers.size()) abort();

    // The writes of the trace, joined while they go to the same device.
    sim::ReplaySession replay(trace);
    auto devices = replay.MakeDevices();
    std::vector<uint8_t> pending;
    sim::ReplayDevice* to = nullptr;
    uint64_t now = 0;
    for (const sim::TraceTransfer& t : trace.transfers) {
        if (t.toPc) continue;
        sim::ReplayDevice* d = nullptr;
        for (auto& candidate : devices)
            if (candidate->Boot() == trace.sections[(size_t)t.section].boot) d = candidate.get();
        if (d == nullptr) abort();
        if (d != to && to != nullptr) to->HostWrote(now++, pending.data(), pending.size()), pending.clear();
        to = d;
        pending.insert(pending.end(), t.bytes.begin(), t.bytes.end());
    }
    if (to) to->HostWrote(now, pending.data(), pending.size());
    for (auto& d : devices) d->RunUntil(UINT64_MAX - 1, nullptr, nullptr);
    if (replay.Departed()) abort();
    return 0;
}
