// replay.h - the device side of a field run, served again from its trace.
//
// A ReplaySession follows a trace (trace_reader.h) transfer by transfer. It has one
// ReplayDevice for each identity whose traffic the trace shows (the running console,
// the processor in boot mode); each plugs in like any model of the framework. When the
// program's writes, taken as one byte stream, equal the next "Mesa<-" line, the device
// sends the "->PC" lines that followed it, each after the delay their time stamps show.
// A device that did not answer in the field does not answer now.
//
// The first write that differs from the trace is a departure: the session reports the
// line, the bytes expected and written and the section above it, and stops answering.
// Nothing else is known of the field run: no keys, jumpers or power switching.
//
//   sim::Trace trace;  sim::TraceError error;
//   sim::ReadTrace(text, &trace, &error);
//   sim::ReplaySession replay(trace);
//   auto devices = replay.MakeDevices();          // plug each in
//   ... run the program ...
//   EXPECT_TRUE(replay.FollowedToEnd()) << replay.Summary();
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/model/framework.h"
#include "sim/model/trace_reader.h"

namespace sim {

class ReplaySession;

class ReplayDevice : public SimDevice {
public:
    ReplayDevice(ReplaySession* session, Identity id, bool boot) : SimDevice(id), session_(session), boot_(boot) {}
    bool Boot() const { return boot_; }
    // Bytes out at a time, as the field device sent them.
    void Send(uint64_t atUs, const std::vector<uint8_t>& bytes) { Emit(atUs, bytes); }

protected:
    void Receive(uint64_t nowUs, const uint8_t* bytes, size_t count) override;

private:
    ReplaySession* session_;
    bool boot_;
};

class ReplaySession {
public:
    explicit ReplaySession(Trace trace);
    ReplaySession(const ReplaySession&) = delete;
    ReplaySession& operator=(const ReplaySession&) = delete;

    // The identity the field run found (from the service record): it replaces the
    // default identity of the sections of its kind (boot or console).
    void UseIdentity(Identity id, unsigned instance);
    // The devices the trace shows, one per kind that has traffic; the session must
    // outlive them.
    std::vector<std::unique_ptr<ReplayDevice>> MakeDevices();
    // Called with each event worth a line of kqsim's report (departure, end reached).
    void SetReporter(std::function<void(uint64_t, const std::string&)> reporter) { reporter_ = std::move(reporter); }

    // Whether the device shows itself now: the one whose section the trace is at
    // (so a device appears when the program of the field run looked for it, and goes
    // once the trace has moved on to another).
    bool Present(const ReplayDevice* device) const;
    const Trace& GetTrace() const { return trace_; }
    bool FollowedToEnd() const { return !departed_ && next_ == trace_.transfers.size(); }
    bool Departed() const { return departed_; }
    // The trace line of the first difference (0 when none), and its report.
    int DepartureLine() const { return departureLine_; }
    const std::string& Departure() const { return departure_; }
    // One sentence: followed to its end, departed at line N, or stopped before line N.
    std::string Summary() const;

private:
    friend class ReplayDevice;
    void Wrote(ReplayDevice* device, uint64_t nowUs, const uint8_t* bytes, size_t count);
    // The "Mesa<-" line at next_ is complete at nowUs: its answers go out.
    void Complete(ReplayDevice* device, uint64_t nowUs);
    void Depart(uint64_t nowUs, const std::string& expected, const std::vector<uint8_t>& written, size_t at,
                const std::string& note);
    bool Owns(const ReplayDevice* device, const TraceTransfer& t) const;
    void Enter(uint64_t nowUs, int section);
    std::string SectionName(int section) const;
    std::string Name(bool boot) const;

    Trace trace_;
    Identity consoleId_ = kConsoleId, bootId_ = kBootId;
    unsigned consoleInstance_ = 1, bootInstance_ = 1;
    size_t next_ = 0;                // the first transfer not yet done
    std::vector<uint8_t> partial_;   // bytes of the "Mesa<-" line at next_ written so far
    int entered_ = -1;               // the last section the program reached
    bool departed_ = false;
    int departureLine_ = 0;
    std::string departure_;
    std::function<void(uint64_t, const std::string&)> reporter_;
};

// The identity a kept trace's job found, from the service record beside its folder:
// for ".../traces/NAME.log", the row of "../service-record.csv" (then
// "../service-record.old.csv") whose trace column is NAME.log. False when there is none.
bool RecordedIdentity(const std::string& tracePath, Identity* id, unsigned* instance, std::string* where);

}  // namespace sim
