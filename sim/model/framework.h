// framework.h - what every device model is built on: identities, fault plans, flash
// memory, the request log (Model), the USB device (SimDevice), the KQ-LINK bus and its
// stations. The models themselves are in console.h, boot_program.h, peripherals.h and
// replay.h (sim.h includes all but the replay).
//
// The models are event driven in abstract microseconds and never read a clock. The
// transport tells a model "now" whenever something happens:
//
//   HostWrote(now, bytes)      the program wrote bytes to PIPE00 at time now;
//   NextEventUs()              the earliest time the model has something to do;
//   RunUntil(now, &out, &unp)  everything due up to now: bytes for PIPE01, unplug.
//
// The test backend (tests/backend/sim_plug.h) drives them in virtual time; kqsim drives
// them with a monotonic clock over the device directory's FIFOs.
//
// Every model keeps the state a real device keeps (flash, MAC, link speed, boot
// program state), logs each request it understood, records what a real device would
// have got wrong (programming a byte that was not erased...) and can be told to
// misbehave by a fault plan.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

constexpr uint64_t kNever = UINT64_MAX;

// ---- Identities --------------------------------------------------------------------
struct Identity {
    uint16_t vendor;
    uint16_t product;
};
constexpr Identity kConsoleId{0x1D2B, 0x0001};
constexpr Identity kConsoleSecondId{0x1D2B, 0x0003};
constexpr Identity kConsoleLastId{0xFFFF, 0x0001};
constexpr Identity kBootId{0x045B, 0x0025};

// The driver's interface name for an identity: "usb#vid_1d2b&pid_0001#0001".
std::string InterfaceName(Identity id, unsigned instance = 1);

// ---- Fault plans -----------------------------------------------------------------------
// A fault aims at the requests of one kind ("erase", "program", "boot50"...) and picks
// them by their 1-based index within that kind:
//   #3     the third only        #3-5   third to fifth      #3-   third and later
//   #*     every one (also when the index is left out)      #~25  each with 25 %
//                                                                 probability (seeded)
enum class FaultKind {
    Drop,       // the request is carried out but its answer never leaves the device
    Delay,      // the answer leaves value µs later than it would
    Corrupt,    // flips bits of one byte of the answer on the wire: value "k" or "k/mask"
                //   (mask 0x01 by default); without a value byte and mask are seeded
    Twice,      // the answer goes out twice
    Unplug,     // the device drops off the bus on receiving the request; no answer
    WrongCode,  // the answer's code byte is replaced by value (default: code ^ 0x01);
                //   checksums stay consistent
    BadSum,     // the answer's checksum is off by one (answers without one: no effect)
    Short,      // only the first value bytes of the answer are sent (default: all but 1)
    Zero,       // boot20 / boot21: the device or clock mode count is 0, checksum right
    Unit,       // boot27: the programming unit reported is value
    Error,      // boot program: error reply (command | 0x80) then value (default 0x80)
    Units,      // discover: the announce comes from value units at consecutive addresses
    Blank,      // function: the answer carries 0xFF function bytes (no function)
    Miswrite,   // boot50: the unit is stored with byte value (default 0) of it wrong (its
                //   lowest bit inverted) and acknowledged as usual: a cell that did not take
    Cut,        // the power fails while the device works on the request: value is how far
                //   the work got, per mille (0, the default: the request arrived and nothing
                //   was done; 1000: the work is done and the answer never left). Flash keeps
                //   exactly that much: part of a block erased, part of a unit written.
};
struct Fault {
    FaultKind kind = FaultKind::Drop;
    std::string target;   // request kind
    int first = 1;        // first index; 0 with last == 0 means every one
    int last = 1;         // last index; 0 = open ended
    int percent = 0;      // "#~P": each request with this probability; first/last unused
    bool hasValue = false;
    uint32_t value = 0;
    uint32_t mask = 0;    // Corrupt only: bits to flip (0 = not given)
};
class FaultPlan {
public:
    // "drop:erase#3,delay:program#10=500000,unplug:start#1,seed=7". Empty text is
    // the empty plan. On failure returns false and says why in *error.
    static bool Parse(const std::string& text, FaultPlan* plan, std::string* error);
    // Parse that aborts the process on bad text (for tests and fixed plans).
    static FaultPlan FromText(const std::string& text);
    // The canonical text form; Parse(ToString()) gives the same plan.
    std::string ToString() const;

    void Add(const Fault& fault) { faults_.push_back(fault); }
    bool Empty() const { return faults_.empty(); }
    const std::vector<Fault>& Faults() const { return faults_; }
    uint64_t Seed() const { return seed_; }
    void SetSeed(uint64_t seed) { seed_ = seed; }

    // The faults that hit the index-th request of this kind.
    std::vector<Fault> Match(const std::string& kind, int index) const;
    // A seeded pseudo-random number for this request (the same on every run).
    uint64_t Random(const std::string& kind, int index, unsigned salt) const;

private:
    std::vector<Fault> faults_;
    uint64_t seed_ = 1;
};

// ---- Flash memory --------------------------------------------------------------------------
// NOR-like: erasing sets bytes to 0xFF, programming can only clear bits. Programming a
// byte that needs a 0 -> 1 change leaves old AND new in the cell, as real NOR does.
class Flash {
public:
    explicit Flash(uint32_t size, uint8_t fill = 0xFF) : bytes_(size, fill) {}
    uint32_t Size() const { return (uint32_t)bytes_.size(); }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    std::vector<uint8_t>& Bytes() { return bytes_; }
    void Erase(uint32_t offset, uint32_t count);
    // Programs what fits; returns the number of bytes that needed a 0 -> 1 change and
    // the first of their addresses in *firstBad.
    uint32_t Program(uint32_t offset, const uint8_t* data, uint32_t count, uint32_t* firstBad);
    bool IsErased(uint32_t offset, uint32_t count) const;
    // CRC-32 (the zip polynomial) of a range, as the units' start-up code checks its
    // firmware area with.
    uint32_t Crc(uint32_t offset, uint32_t count) const;

private:
    std::vector<uint8_t> bytes_;
};
// A stand-in for whatever firmware was in a flash before the update: not blank, so an
// update that forgets to erase is caught. Deterministic.
void FillOldFirmware(Flash* flash);
uint32_t Crc32(const uint8_t* bytes, size_t count, uint32_t crc = 0);
// A frame as the console and the KQ-LINK packets carry it: every 0x80 after the first
// byte (the frame's start) is sent twice.
std::vector<uint8_t> DoubleLaterStarts(const std::vector<uint8_t>& frame);
// The part of count that work cut at permille got through (rounded down).
inline uint32_t Share(uint32_t count, uint32_t permille) { return (uint32_t)((uint64_t)count * permille / 1000); }

// ---- The device framework ----------------------------------------------------------------
// One request as the device understood it.
struct Request {
    std::string kind;     // "erase", "program", "boot50", ...
    int index = 0;        // 1-based count within its kind
    uint64_t timeUs = 0;  // when its last byte arrived
    std::string detail;   // "block 3", "offset 0x00400", ...
    std::string result;   // "ack", "no ack", "error D0 53", "dropped", "unplug", ...
};
// Something a real device would have got wrong or refused.
struct DeviceError {
    uint64_t timeUs = 0;
    std::string kind;     // request kind
    std::string text;
};

// An answer before faults and wire encoding.
struct Answer {
    std::vector<uint8_t> bytes;
    int codeAt = 0;          // index of the byte that WrongCode replaces
    bool checksummed = false;  // last byte is a checksum of all before it
    // KQ-LINK packets: the last byte is the 7-bit sum of bytes 1..n-2 instead.
    bool packetSum = false;
};

// ---- Request log and fault plan: every model has one -------------------------------------
// A model (the console, a boot program, a peripheral) logs each request it understood,
// records what a real device would have got wrong, and sends each answer through its
// fault plan. Where the answer then goes (a USB pipe, the KQ-LINK bus) is the transport
// side's business: Deliver(), GoAway() and Wire().
class Model {
public:
    Model() = default;
    virtual ~Model() = default;
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // ---- Faults
    void SetFaults(const FaultPlan& plan) { faults_ = plan; }
    const FaultPlan& Faults() const { return faults_; }

    // ---- What happened
    // Stable: references stay valid as requests are added.
    const std::deque<Request>& Requests() const { return requests_; }
    int CountOf(const std::string& kind) const;
    const std::vector<DeviceError>& Errors() const { return errors_; }
    // The device's own working time so far (erasing, programming...), without the
    // time its answers spend on the way.
    uint64_t BusyTotalUs() const { return busyTotalUs_; }
    // Called with each request once its result is known (kqsim prints them).
    void SetRequestObserver(std::function<void(const Request&)> observer) { observer_ = std::move(observer); }

    // ---- For the state machines that answer through this model (BootProgram...)
    // Logs a request and counts its index within its kind. Returns nullptr when the
    // fault plan unplugs the device on this request: the model then does nothing.
    Request* Log(uint64_t nowUs, const std::string& kind, const std::string& detail);
    void Error(uint64_t nowUs, const std::string& kind, const std::string& text);
    // Sends an answer to the request at atUs, through the fault plan (Drop, Delay,
    // Corrupt, Twice, WrongCode, BadSum, Short). Sets request.result.
    void Reply(Request& request, uint64_t atUs, Answer answer, const std::string& result = "ack");
    // Model-level faults (Zero, Unit, Error...) for the request, if any.
    bool HasFault(const Request& request, FaultKind kind, Fault* found = nullptr) const;
    // The request ends with no answer (not understood, refused silently...).
    void NoReply(Request& request, const std::string& result);
    Request& RequestAt(size_t i) { return requests_[i]; }
    // How much of the request's work is done before the power goes (per mille): 1000
    // without a "cut" fault. Models that change flash scale that work by it; the power
    // itself goes when the answer would leave (Reply).
    uint32_t WorkShare(const Request& request) const;

    // ---- Power
    // True from a "cut" fault until PowerOn.
    bool PoweredOff() const { return poweredOff_; }
    // Power back after a cut (or a switch-off): the device starts from its flash, as its
    // start-up code decides. Returns whether it shows itself (on USB, on KQ-LINK); a
    // device that does not stays silent until the next PowerOn.
    virtual bool PowerOn() { poweredOff_ = false; return true; }
    // The device works from start for workUs; returns when it is free again.
    uint64_t Busy(uint64_t start, uint64_t workUs) {
        busyTotalUs_ += workUs;
        return start + workUs;
    }

protected:
    // Encoding of an answer on the wire (console and KQ-LINK packets: 0x80 doubling).
    virtual std::vector<uint8_t> Wire(const std::vector<uint8_t>& bytes) const { return bytes; }
    // Bytes that leave the device at atUs, encoded and faulted (already on the wire).
    virtual void Deliver(uint64_t atUs, std::vector<uint8_t> wire) = 0;
    // The device leaves its bus at atUs (an "unplug" fault): no more answers.
    virtual void GoAway(uint64_t atUs) = 0;
    void Notify(const Request& request);
    void CutPower(Request& request, uint64_t nowUs);

private:
    bool poweredOff_ = false;
    FaultPlan faults_;
    std::deque<Request> requests_;
    std::vector<DeviceError> errors_;
    uint64_t busyTotalUs_ = 0;
    std::function<void(const Request&)> observer_;
};

// A device on USB: its answers queue up in time order for the program's IN pipe.
class SimDevice : public Model {
public:
    explicit SimDevice(Identity id);

    Identity Id() const { return id_; }
    void SetIdentity(Identity id) { id_ = id; }
    // "usb#vid_1d2b&pid_0001#0001": the name of the interface directory / path.
    std::string InterfacePath() const { return InterfaceName(id_, instance_); }
    void SetInstance(unsigned instance) { instance_ = instance; }

    // ---- Transport side (the test backend's VirtualDevice has the same three).
    void HostWrote(uint64_t nowUs, const uint8_t* bytes, size_t count);
    uint64_t NextEventUs();
    void RunUntil(uint64_t nowUs, std::vector<uint8_t>* toHost, bool* unplug);
    // The program closed its end of the pipes (kqsim sees end of file on PIPE00): a
    // half-received frame is forgotten.
    void HostClosed(uint64_t nowUs);
    // Back on the bus after an unplug (fault or test). Flash and settings survive.
    void Replug();
    bool Unplugged() const { return unplugged_; }

    // Every byte the device sent, in order (after faults, wire encoding included).
    const std::vector<uint8_t>& SentBytes() const { return sent_; }

protected:
    // The model's own parser: bytes in arrival order, all at time now.
    virtual void Receive(uint64_t nowUs, const uint8_t* bytes, size_t count) = 0;
    virtual void Forget() {}
    // Timed work of the model besides the queued answers (the KQ-LINK port).
    virtual uint64_t OwnNextEventUs() { return kNever; }
    virtual void RunOwn(uint64_t /*nowUs*/) {}

    void Deliver(uint64_t atUs, std::vector<uint8_t> wire) override { Emit(atUs, std::move(wire)); }
    void GoAway(uint64_t atUs) override { ScheduleUnplug(atUs); }
    // Bytes out at a time, unencoded and unfaulted (already on the wire).
    void Emit(uint64_t atUs, std::vector<uint8_t> bytes);
    void ScheduleUnplug(uint64_t atUs);
    // The time the device's firmware is free again (requests are handled in order).
    uint64_t busyUntil_ = 0;

private:
    struct Outgoing {
        uint64_t atUs;
        std::vector<uint8_t> bytes;
        bool unplug;
        uint64_t seq;
    };
    Identity id_;
    unsigned instance_ = 1;
    std::vector<uint8_t> sent_;
    std::vector<Outgoing> queue_;
    uint64_t seq_ = 0;
    bool unplugged_ = false;
};

// ---- KQ-LINK bus -------------------------------------------------------------------------
// A half-duplex serial bus: 10 bit times per byte. Peripheral models attach to the
// console's bus; each hears what the others send, garbled when its own bit rate
// differs from the sender's.
class Bus;
class BusPeer {
public:
    virtual ~BusPeer() = default;
    // Bytes another station sent at bitRate; the last of them ended at nowUs.
    virtual void OnBusBytes(uint64_t nowUs, const std::vector<uint8_t>& bytes, uint32_t bitRate) = 0;
    // The peer's own timed work (its answers); the bus owner runs it in time order.
    virtual uint64_t NextEventUs() { return kNever; }
    virtual void RunUntil(uint64_t /*nowUs*/) {}

protected:
    friend class Bus;
    Bus* bus_ = nullptr;  // set while attached; peers answer with bus_->Put(...)
};

// What a receiver at toRate makes of bytes sent at fromRate: the same bytes when the
// rates agree; otherwise a deterministic garble (a slower receiver hears fewer bytes,
// and none of the values survive).
std::vector<uint8_t> Garble(const std::vector<uint8_t>& bytes, uint32_t fromRate, uint32_t toRate);

class Bus {
public:
    void Attach(BusPeer* peer);
    void Detach(BusPeer* peer);
    // Puts bytes on the wire from `from` (nullptr for the console's own port) once the
    // wire is free at or after nowUs. Returns the time the last byte ends.
    uint64_t Put(uint64_t nowUs, BusPeer* from, const std::vector<uint8_t>& bytes, uint32_t bitRate);
    uint64_t NextEventUs();
    // Delivers the transmissions that ended by nowUs and runs the peers, in time order.
    void RunUntil(uint64_t nowUs);
    // The console's port hears through this (set by the console).
    void SetPortListener(std::function<void(uint64_t, const std::vector<uint8_t>&, uint32_t)> listener) {
        port_ = std::move(listener);
    }
    struct Transmission {
        uint64_t startUs, endUs;
        BusPeer* from;
        std::vector<uint8_t> bytes;
        uint32_t bitRate;
    };
    // Every transmission so far, in order.
    const std::vector<Transmission>& History() const { return history_; }

private:
    std::vector<BusPeer*> peers_;
    std::vector<Transmission> history_;
    size_t delivered_ = 0;
    uint64_t wireFreeUs_ = 0;
    std::function<void(uint64_t, const std::vector<uint8_t>&, uint32_t)> port_;
};

// ---- A station on KQ-LINK -----------------------------------------------------------------
// A peripheral as the bus sees it: it hears at its own bit rate (bytes sent at another
// rate reach it garbled, as they would a UART set to another speed) and answers at that
// rate, through its model's fault plan; an "unplug" fault takes it off the bus.
class Station : public BusPeer, public Model {
public:
    explicit Station(uint32_t bitRate) : rate_(bitRate) {}
    // The rate the station listens and answers at now.
    uint32_t BitRate() const { return rate_; }
    bool OffBus() const { return gone_; }
    // Back on the bus after an "unplug" fault (switched on again).
    void BackOnBus() { gone_ = false; }

    void OnBusBytes(uint64_t nowUs, const std::vector<uint8_t>& bytes, uint32_t bitRate) override;
    uint64_t NextEventUs() override;
    void RunUntil(uint64_t nowUs) override;

protected:
    // What the station's UART delivered: one transmission, at the station's rate.
    virtual void Hear(uint64_t nowUs, const std::vector<uint8_t>& bytes) = 0;
    void SetBitRate(uint32_t bitRate) { rate_ = bitRate; }
    void Deliver(uint64_t atUs, std::vector<uint8_t> wire) override;
    void GoAway(uint64_t atUs) override;

private:
    struct Outgoing {
        uint64_t atUs;
        std::vector<uint8_t> bytes;
        uint32_t rate;  // the rate when the answer was made: a rate change comes after it
        uint64_t seq;
    };
    std::vector<Outgoing> queue_;
    uint32_t rate_;
    bool gone_ = false;
    uint64_t seq_ = 0;
};


}  // namespace sim
