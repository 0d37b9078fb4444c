// boot_program.cpp - the boot program of a processor in boot mode, and its USB and
// KQ-LINK transports. The transports only hand bytes to the state machine; each
// command has a handler of its own, found in the table of the commands it knows.
//
// Plain byte frames, no console framing: bare commands, commands with a size byte and
// a checksum, programming frames of the unit's size. The boot program walks through
// its states in order and refuses a command that comes out of turn with the command's
// error code (command | 0x80) and the error byte 0x80, the way the chip's own boot
// program does; wrong parameters get their specific error bytes.
//
// Times: erasing the whole 512 KiB user area takes ~5 s on this class of on-chip flash
// (the updater allows 60 s); one 128-byte unit programs in ~3 ms (1 ms of set-up and
// verify, 16 us per byte), against the updater's 230 ms. Inquiries answer within
// half a millisecond.
#include <cstdio>

#include "sim/model/boot_program.h"

namespace sim {

namespace {

// Error bytes of the boot program.
const uint8_t ERR_CHECKSUM = 0x11;
const uint8_t ERR_DEVICE_CODE = 0x21;
const uint8_t ERR_CLOCK_MODE = 0x22;
const uint8_t ERR_BIT_RATE = 0x24;
const uint8_t ERR_INPUT_FREQUENCY = 0x25;
const uint8_t ERR_RATIO = 0x26;
const uint8_t ERR_ADDRESS = 0x2A;
const uint8_t ERR_LENGTH = 0x2B;
const uint8_t ERR_PROGRAMMING = 0x53;
const uint8_t ERR_COMMAND = 0x80;

const uint32_t END_ADDRESS = 0xFFFFFFFF;

bool SumIsZero(const std::vector<uint8_t>& bytes) {
    uint8_t sum = 0;
    for (uint8_t b : bytes) sum += b;
    return sum == 0;
}

uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
    return (uint32_t)b[at] << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}

bool IsCheck(uint8_t code) { return code == 0x4B || code == 0x52; }

}  // namespace

BootTiming BootTiming::Scaled(uint32_t divisor) const {
    if (divisor <= 1) return *this;
    BootTiming t = *this;
    t.eraseUs /= divisor;
    t.loadUs /= divisor;
    t.programBaseUs /= divisor;
    t.programByteUs = t.programByteUs / divisor ? t.programByteUs / divisor : 1;
    return t;
}

BootConfig ConsoleBootConfig() { return BootConfig(); }

BootConfig PeripheralBootConfig() {
    BootConfig c;
    c.deviceCode = "KQ26";
    c.productName = "KQ26F64";
    c.clockModes = {0x00};
    c.unit = 128;
    c.flashSize = 0x10000;
    c.lockAfter = 1;
    c.needsLock = true;
    // 64 KiB of on-chip flash erase in about a second; the rest as the console's.
    c.timing.eraseUs = 1000000;
    return c;
}

BootProgram::BootProgram(const BootConfig& config, Model* host)
    : config_(config), host_(host), flash_(std::make_shared<sim::Flash>(config.flashSize)) {
    FillOldFirmware(flash_.get());
}

void BootProgram::Restart() {
    cmd_.clear();
    state_ = State::WaitSync;
    deviceSelected_ = modeSelected_ = ended_ = false;
    busyUntil_ = 0;
    selectedRate_ = 0;
    lastError_ = 0;
    zeros_ = 0;
    locked_ = false;
    adjustAnswered_ = silenced_ = refused_ = false;
}

Answer BootProgram::Data(uint8_t code, const std::vector<uint8_t>& data) const {
    Answer a;
    a.checksummed = true;
    a.bytes.reserve(data.size() + 3);
    a.bytes.push_back(code);
    a.bytes.push_back((uint8_t)data.size());
    for (uint8_t b : data) a.bytes.push_back(b);
    uint8_t sum = 0;
    for (uint8_t b : a.bytes) sum += b;
    a.bytes.push_back((uint8_t)-sum);
    return a;
}


// The commands the boot program knows, how each is framed on the wire, and its handler.
const BootProgram::Known* BootProgram::Find(uint8_t code) {
    static const Known KNOWN[] = {
        {0x00, Shape::Bare, 0, &BootProgram::Adjust},
        {0x55, Shape::Bare, 0, &BootProgram::Synchronise},
        {0x20, Shape::Bare, 0, &BootProgram::DeviceInquiry},
        {0x21, Shape::Bare, 0, &BootProgram::ClockModes},
        {0x22, Shape::Bare, 0, &BootProgram::Ratios},
        {0x23, Shape::Bare, 0, &BootProgram::Frequencies},
        {0x25, Shape::Bare, 0, &BootProgram::UserArea},
        {0x27, Shape::Bare, 0, &BootProgram::UnitSize},
        {0x06, Shape::Bare, 0, &BootProgram::ConfirmBitRate},
        {0x40, Shape::Bare, 0, &BootProgram::EraseAll},
        {0x43, Shape::Bare, 0, &BootProgram::LoadWriter},
        {0x4F, Shape::Bare, 0, &BootProgram::StatusInquiry},
        {0x10, Shape::Sized, 4, &BootProgram::SelectDevice},
        {0x11, Shape::Sized, 1, &BootProgram::SelectClock},
        {0x3F, Shape::Sized, 7, &BootProgram::SelectBitRate},
        {0x50, Shape::Program, 0, &BootProgram::ProgramUnit},
        {0x4B, Shape::Bare, 0, &BootProgram::Check},
        {0x52, Shape::Sized, 9, &BootProgram::Check},
    };
    for (const Known& k : KNOWN)
        if (k.code == code) return &k;
    return nullptr;
}

// Bytes the command in cmd_ needs in all; 0 while that is not known yet. An unknown
// code, or a size byte that is not the command's, is a command of one or two bytes
// that Command() refuses.
size_t BootProgram::ExpectedLength() const {
    if (state_ == State::WaitSync) return 1;
    // A boot program without the checks reads their codes as unknown one-byte commands.
    const Known* shape = IsCheck(cmd_[0]) && config_.checks != BootConfig::Checks::Answer ? nullptr : Find(cmd_[0]);
    if (shape == nullptr || shape->shape == Shape::Bare) return 1;
    if (shape->shape == Shape::Sized) {
        if (cmd_.size() < 2) return 0;
        return cmd_[1] == shape->size ? 2 + (size_t)shape->size + 1 : 2;
    }
    // The address says whether data follow: the end frame has none.
    if (cmd_.size() < 5) return 0;
    return Be32(cmd_, 1) == END_ADDRESS ? 6 : 6 + (size_t)config_.unit;
}

void BootProgram::Receive(uint64_t nowUs, const uint8_t* bytes, size_t count) {
    silenced_ = false;
    refused_ = false;
    adjustAnswered_ = false;
    for (size_t i = 0; i < count && !silenced_; i++) {
        cmd_.push_back(bytes[i]);
        size_t want = ExpectedLength();
        if (want != 0 && cmd_.size() >= want) {
            std::vector<uint8_t> cmd;
            cmd.swap(cmd_);
            Command(nowUs, cmd);
        }
        if (refused_) {
            // After an error reply the boot program empties its receive buffer: the
            // rest of a bad frame is never run as commands.
            cmd_.clear();
            break;
        }
    }
}

// The boot program's status byte (the 0x4F answer): what it is waiting for.
uint8_t BootProgram::Status() const {
    switch (state_) {
        case State::WaitSync: return 0x00;
        case State::Inquiry: return !deviceSelected_ ? 0x11 : !modeSelected_ ? 0x12 : 0x13;
        case State::Confirm: return 0x13;
        case State::Selected: return 0x1F;
        case State::Erased: return 0x3F;       // erased, or the end frame taken
        case State::Programming: return 0x4F;  // waiting for programming data
    }
    return 0x00;
}

namespace {

// The name a command has in the request log ("boot50", "bootend") and what it names.
void Describe(const std::vector<uint8_t>& c, char (&kind)[16], char (&detail)[64]) {
    uint8_t code = c[0];
    bool frame50 = code == 0x50 && c.size() >= 6;
    if (frame50 && Be32(c, 1) == END_ADDRESS)
        snprintf(kind, sizeof kind, "bootend");
    else
        snprintf(kind, sizeof kind, "boot%02x", code);
    if (frame50 && Be32(c, 1) != END_ADDRESS) snprintf(detail, sizeof detail, "address 0x%05X", Be32(c, 1));
    if (code == 0x52 && c.size() == 12)
        snprintf(detail, sizeof detail, "address 0x%05X, %u bytes", Be32(c, 3), Be32(c, 7));
}

}  // namespace

void BootProgram::Command(uint64_t nowUs, const std::vector<uint8_t>& c) {
    uint8_t code = c[0];
    char kind[16], detail[64] = "";
    Describe(c, kind, detail);
    bool lockedOut = config_.needsLock && !locked_ && code == 0x55;
    if (state_ == State::WaitSync && ((code != 0x00 && code != 0x55) || lockedOut)) {
        // Before the bit rate is locked the boot program listens for 0x00 and 0x55
        // only, and on a serial line it cannot read a 0x55 before it has measured.
        Request* r = host_->Log(nowUs, kind, detail);
        if (r) host_->NoReply(*r, lockedOut ? "ignored, bit rate not locked" : "ignored before 0x55");
        silenced_ = r == nullptr;
        return;
    }
    Request* r = host_->Log(nowUs, kind, detail);
    if (r == nullptr) {  // the device went away: nothing more is heard
        silenced_ = true;
        return;
    }
    uint64_t start = std::max(nowUs, busyUntil_);
    Call k{c, *r, nowUs, start, start + config_.timing.replyUs};
    Fault fault;
    if (host_->HasFault(*r, FaultKind::Error, &fault))
        return Refuse(k, fault.hasValue ? (uint8_t)fault.value : ERR_COMMAND);
    // A command that is not the confirmation ends the wait for it: the new bit rate
    // was never confirmed.
    if (state_ == State::Confirm && code != 0x06) state_ = State::Inquiry;
    const Known* known = Find(code);
    if (known == nullptr) return RefuseAs(k, ERR_COMMAND, ERR_COMMAND);  // not a command of the boot program
    (this->*known->handler)(k);
}

void BootProgram::RefuseAs(Call& k, uint8_t code, uint8_t why) {
    char text[32];
    snprintf(text, sizeof text, "error %02X %02X", code, why);
    lastError_ = why;
    refused_ = true;
    host_->Reply(k.r, k.at, Err(code, why), text);
}

void BootProgram::Refuse(Call& k, uint8_t why) { RefuseAs(k, (uint8_t)(k.c[0] | 0x80), why); }

// The bit-rate adjustment: the boot program measures the host's 0x00 bytes until it has
// locked, then answers one 0x00; the rest of a burst is ignored. Once 0x55 has ended
// the adjustment, 0x00 is ignored.
void BootProgram::Adjust(Call& k) {
    if (state_ != State::WaitSync) return host_->NoReply(k.r, "ignored");
    if (!locked_ && ++zeros_ >= std::max(1u, config_.lockAfter)) locked_ = true;
    if (!locked_) return host_->NoReply(k.r, "measuring the bit rate");
    if (adjustAnswered_) return host_->NoReply(k.r, "ignored, same burst");
    adjustAnswered_ = true;
    host_->Reply(k.r, std::max(k.nowUs, busyUntil_) + config_.timing.replyUs, Answer{{0x00}, 0, false});
}

void BootProgram::Synchronise(Call& k) {
    if (state_ != State::WaitSync) return Refuse(k, ERR_COMMAND);
    state_ = State::Inquiry;
    host_->Reply(k.r, k.at, Answer{{0xE6}, 0, false});
}

void BootProgram::DeviceInquiry(Call& k) {
    if (!Inquiring()) return Refuse(k, ERR_COMMAND);
    std::vector<uint8_t> d{1};
    if (host_->HasFault(k.r, FaultKind::Zero)) {
        d[0] = 0;
    } else {
        d.push_back((uint8_t)(4 + config_.productName.size()));
        d.insert(d.end(), config_.deviceCode.begin(), config_.deviceCode.end());
        d.insert(d.end(), config_.productName.begin(), config_.productName.end());
    }
    host_->Reply(k.r, k.at, Data(0x30, d));
}

void BootProgram::ClockModes(Call& k) {
    if (!Inquiring()) return Refuse(k, ERR_COMMAND);
    std::vector<uint8_t> d{(uint8_t)config_.clockModes.size()};
    d.insert(d.end(), config_.clockModes.begin(), config_.clockModes.end());
    if (host_->HasFault(k.r, FaultKind::Zero)) d.assign(1, 0);
    host_->Reply(k.r, k.at, Data(0x31, d));
}

// Two clock types (system, peripheral), ratios x1 x2 x4 each.
void BootProgram::Ratios(Call& k) {
    if (!Inquiring()) return Refuse(k, ERR_COMMAND);
    host_->Reply(k.r, k.at, Data(0x32, {2, 3, 1, 2, 4, 3, 1, 2, 4}));
}

// 8.00-50.00 MHz system, 8.00-25.00 MHz peripheral.
void BootProgram::Frequencies(Call& k) {
    if (!Inquiring()) return Refuse(k, ERR_COMMAND);
    host_->Reply(k.r, k.at, Data(0x33, {2, 0x03, 0x20, 0x13, 0x88, 0x03, 0x20, 0x09, 0xC4}));
}

void BootProgram::UserArea(Call& k) {
    if (!Inquiring()) return Refuse(k, ERR_COMMAND);
    uint32_t last = flash_->Size() - 1;
    host_->Reply(k.r, k.at,
                 Data(0x35, {1, 0, 0, 0, 0, (uint8_t)(last >> 24), (uint8_t)(last >> 16), (uint8_t)(last >> 8),
                             (uint8_t)last}));
}

void BootProgram::UnitSize(Call& k) {
    if (!Inquiring()) return Refuse(k, ERR_COMMAND);
    uint32_t unit = config_.unit;
    Fault fault;
    if (host_->HasFault(k.r, FaultKind::Unit, &fault)) unit = fault.value;
    host_->Reply(k.r, k.at, Data(0x37, {(uint8_t)(unit >> 8), (uint8_t)unit}));
}

void BootProgram::StatusInquiry(Call& k) { host_->Reply(k.r, k.at, Data(0x5F, {Status(), lastError_})); }

void BootProgram::SelectDevice(Call& k) {
    const std::vector<uint8_t>& c = k.c;
    if (state_ != State::Inquiry) return Refuse(k, ERR_COMMAND);
    if (c[1] != 4) return Refuse(k, ERR_LENGTH);
    if (!SumIsZero(c)) return Refuse(k, ERR_CHECKSUM);
    if (std::string(c.begin() + 2, c.begin() + 6) != config_.deviceCode) return Refuse(k, ERR_DEVICE_CODE);
    deviceSelected_ = true;
    host_->Reply(k.r, k.at, Ack());
}

void BootProgram::SelectClock(Call& k) {
    const std::vector<uint8_t>& c = k.c;
    if (state_ != State::Inquiry || !deviceSelected_) return Refuse(k, ERR_COMMAND);
    if (c[1] != 1) return Refuse(k, ERR_LENGTH);
    if (!SumIsZero(c)) return Refuse(k, ERR_CHECKSUM);
    bool known = false;
    for (uint8_t m : config_.clockModes) known |= m == c[2];
    if (!known) return Refuse(k, ERR_CLOCK_MODE);
    modeSelected_ = true;
    host_->Reply(k.r, k.at, Ack());
}

void BootProgram::SelectBitRate(Call& k) {
    const std::vector<uint8_t>& c = k.c;
    if (state_ != State::Inquiry || !deviceSelected_ || !modeSelected_) return Refuse(k, ERR_COMMAND);
    if (c[1] != 7) return Refuse(k, ERR_LENGTH);
    if (!SumIsZero(c)) return Refuse(k, ERR_CHECKSUM);
    uint32_t rate = c[2] << 8 | c[3], input = c[4] << 8 | c[5];
    if (rate == 0) return Refuse(k, ERR_BIT_RATE);
    if (input < 800 || input > 2000) return Refuse(k, ERR_INPUT_FREQUENCY);  // 8-20 MHz crystal
    uint8_t ratios = c[6];
    if (ratios < 1 || ratios > 2) return Refuse(k, ERR_RATIO);
    for (int i = 0; i < ratios; i++)
        if (c[7 + i] != 1 && c[7 + i] != 2 && c[7 + i] != 4) return Refuse(k, ERR_RATIO);
    state_ = State::Confirm;
    selectedRate_ = rate * 100;
    host_->Reply(k.r, k.at, Ack());
}

void BootProgram::ConfirmBitRate(Call& k) {
    if (state_ != State::Confirm) return Refuse(k, ERR_COMMAND);
    state_ = State::Selected;
    host_->Reply(k.r, k.at, Ack());
}

void BootProgram::EraseAll(Call& k) {
    if (state_ == State::Inquiry || state_ == State::Programming) return Refuse(k, ERR_COMMAND);
    flash_->Erase(0, Share(flash_->Size(), host_->WorkShare(k.r)));
    busyUntil_ = host_->Busy(k.start, config_.timing.eraseUs);
    state_ = State::Erased;
    ended_ = false;
    host_->Reply(k.r, busyUntil_ + config_.timing.replyUs, Ack());
}

void BootProgram::LoadWriter(Call& k) {
    if (state_ != State::Erased) return Refuse(k, ERR_COMMAND);
    busyUntil_ = host_->Busy(k.start, config_.timing.loadUs);
    state_ = State::Programming;
    host_->Reply(k.r, busyUntil_ + config_.timing.replyUs, Ack());
}

// 0x4B and 0x52, the checks, belong to the programming/erasing state: after 0x40 and
// after the end frame. A boot program that knows them not refuses them or is silent.
void BootProgram::Check(Call& k) {
    if (config_.checks == BootConfig::Checks::Refuse) return RefuseAs(k, ERR_COMMAND, ERR_COMMAND);
    if (config_.checks == BootConfig::Checks::Silent) {
        refused_ = true;  // the rest of the frame goes unheard too
        return host_->NoReply(k.r, "ignored, not a command of this boot program");
    }
    if (state_ != State::Erased && state_ != State::Programming) return Refuse(k, ERR_COMMAND);
    if (k.c[0] == 0x4B) return SumCheck(k);
    MemoryRead(k);
}

// 0x4B: the sum of the user area's bytes, 4 bytes.
void BootProgram::SumCheck(Call& k) {
    uint32_t sum = 0;
    for (uint8_t b : flash_->Bytes()) sum += b;
    host_->Reply(k.r, k.at,
                 Data(0x5B, {(uint8_t)(sum >> 24), (uint8_t)(sum >> 16), (uint8_t)(sum >> 8), (uint8_t)sum}));
}

// 0x52: 52 09 area address length SUM; the reply 52, length (4 bytes), the bytes,
// checksum. Only the user area (01) is known here. Its errors come as D2.
void BootProgram::MemoryRead(Call& k) {
    const std::vector<uint8_t>& c = k.c;
    auto refuse = [&](uint8_t why) { RefuseAs(k, 0xD2, why); };
    if (c[1] != 9) return refuse(ERR_LENGTH);
    if (!SumIsZero(c)) return refuse(ERR_CHECKSUM);
    uint32_t address = Be32(c, 3), length = Be32(c, 7), size = flash_->Size();
    if (c[2] != 0x01 || address >= size) return refuse(ERR_ADDRESS);
    if (length == 0 || length > size - address) return refuse(ERR_LENGTH);
    Answer a;
    a.checksummed = true;
    a.bytes = {0x52, (uint8_t)(length >> 24), (uint8_t)(length >> 16), (uint8_t)(length >> 8), (uint8_t)length};
    a.bytes.insert(a.bytes.end(), flash_->Bytes().begin() + address, flash_->Bytes().begin() + address + length);
    uint8_t sum = 0;
    for (uint8_t b : a.bytes) sum += b;
    a.bytes.push_back((uint8_t)-sum);
    host_->Reply(k.r, k.at, a);
}

// 0x50: one programming unit at its address, or the end frame (address FFFFFFFF).
void BootProgram::ProgramUnit(Call& k) {
    const std::vector<uint8_t>& c = k.c;
    if (state_ != State::Programming) return Refuse(k, ERR_COMMAND);
    if (!SumIsZero(c)) return Refuse(k, ERR_CHECKSUM);
    uint32_t address = Be32(c, 1);
    if (address == END_ADDRESS) {
        state_ = State::Erased;
        ended_ = true;
        return host_->Reply(k.r, k.at, Ack());
    }
    uint32_t unit = config_.unit;
    if (address % unit != 0 || address >= flash_->Size()) return Refuse(k, ERR_ADDRESS);
    const uint8_t* data = &c[5];
    uint32_t inside = std::min(unit, flash_->Size() - address);
    for (uint32_t i = inside; i < unit; i++)
        if (data[i] != 0xFF) return Refuse(k, ERR_ADDRESS);  // data past the end of the flash
    busyUntil_ = host_->Busy(k.start, config_.timing.programBaseUs + unit * config_.timing.programByteUs);
    // A unit is programmed once after an erase. Over cells that are not erased
    // the write pulse leaves old AND new, and the boot program's verify fails,
    // even where the new data only clears bits.
    bool erased = flash_->IsErased(address, inside);
    uint32_t firstBad = 0;
    // A cell that did not take: the byte is stored with its lowest bit wrong, and
    // the boot program acknowledges the unit all the same.
    std::vector<uint8_t> stored(data, data + inside);
    std::string ackText = "ack";
    Fault fault;
    if (host_->HasFault(k.r, FaultKind::Miswrite, &fault) && inside > 0) {
        uint32_t at = fault.hasValue ? std::min(fault.value, inside - 1) : 0;
        stored[at] ^= 0x01;
        char text[64];
        snprintf(text, sizeof text, "ack, 0x%02X stored at 0x%05X for 0x%02X", stored[at], address + at, data[at]);
        ackText = text;
    }
    uint32_t bad = flash_->Program(address, stored.data(), Share(inside, host_->WorkShare(k.r)), &firstBad);
    k.at = busyUntil_ + config_.timing.replyUs;
    if (!erased || bad != 0) {
        char text[96];
        if (bad != 0)
            snprintf(text, sizeof text, "address 0x%05X: %u bytes not erased, first at 0x%05X", address, bad, firstBad);
        else
            snprintf(text, sizeof text, "address 0x%05X: unit not erased", address);
        host_->Error(k.nowUs, k.r.kind, text);
        return Refuse(k, ERR_PROGRAMMING);
    }
    host_->Reply(k.r, k.at, Ack(), ackText);
}

// ---- Transports -----------------------------------------------------------------------------
// Power-on in boot mode (a model choice): the boot program sits in the processor's
// mask ROM, apart from the flash it writes, so with the jumper set it starts and
// answers whatever the flash holds, a half-written one included.
BootDevice::BootDevice(const BootConfig& config, Identity id) : SimDevice(id), program_(config, this) {}

bool BootDevice::PowerOn() {
    Model::PowerOn();
    Forget();
    program_.Restart();
    busyUntil_ = 0;
    return true;
}

bool BootPeer::PowerOn() {
    Model::PowerOn();
    program_.Restart();
    SetBitRate(kAdjustRate);
    BackOnBus();
    return true;
}

void BootDevice::Receive(uint64_t nowUs, const uint8_t* bytes, size_t count) {
    if (!Unplugged()) program_.Receive(nowUs, bytes, count);
}

BootPeer::BootPeer(const BootConfig& config) : Station(kAdjustRate), program_(config, this) {}

void BootPeer::Hear(uint64_t nowUs, const std::vector<uint8_t>& bytes) {
    program_.Receive(nowUs, bytes.data(), bytes.size());
    // The chip answers 0x3F at the old rate and then listens at the new one for the
    // confirmation; a command other than the confirmation drops it back.
    uint32_t want = program_.CurrentState() == State::WaitSync || program_.CurrentState() == State::Inquiry
                        ? kAdjustRate
                        : program_.SelectedBitRate();
    if (want != 0 && want != BitRate()) SetBitRate(want);
}

}  // namespace sim
