// peripherals.cpp - KQ-LINK packet stations, their flash loader, and the Remote,
// Receiver and Tempa BOX running their firmware.
//
// Power-on of a Remote or Receiver (a model choice): the start-up code checks the
// CRC-32 of the firmware area, the whole flash but block 1 (0x1000-0x1FFF, the unit's
// calibration, which the firmware never checks), against the firmware it knows. Only
// a whole firmware runs, announces itself on KQ-LINK and opens its loader; a unit whose
// firmware area an update left part erased or part written stays silent. Block 1 is
// whatever the flash holds. With the boot jumper(s) set the processor's boot program
// runs instead (sim::BootPeer, boot_program.cpp), on the same flash, whatever it holds.
//
// Times: the units' microcontrollers erase a 4 KiB block of on-chip flash in about
// 60 ms (the PC allows 6.5 s) and program 128 bytes in about 4 ms (the PC allows
// 15 ms). The firmware answers a packet within a third of a millisecond; discovery
// answers are spread over one slot per address so that units do not talk at once.
#include <algorithm>
#include <cstdio>

#include "sim/peripherals.h"

namespace sim {

namespace {

const uint8_t START = 0x80;
// Kinds in the high nibble of byte 1.
const uint8_t KIND_LOADER = 0x2, KIND_LOADER_REPLY = 0x0, KIND_QUERY_REPLY = 0x4, KIND_QUERY = 0x6;
const uint8_t KIND_SET = 0xA, KIND_ANNOUNCE = 0xC, KIND_DISCOVER = 0xE;
const uint8_t LOADER_BEGIN = 0x00, LOADER_ERASE = 0x01, LOADER_WRITE = 0x02, LOADER_FINISH = 0x03, LOADER_ACK = 0x04;
const uint8_t QUERY_LEVEL = 0x01, QUERY_FUNCTION = 0x02, QUERY_STATUS = 0x04;
const uint8_t SET_REMOTE = 0x01, SET_TEXT = 0x02;
const size_t TEXT_BYTES = 63;

std::string Format(const char* format, uint32_t a, uint32_t b = 0) {
    char buf[96];
    snprintf(buf, sizeof buf, format, a, b);
    return buf;
}

}  // namespace

PeripheralTiming PeripheralTiming::Scaled(uint32_t divisor) const {
    if (divisor <= 1) return *this;
    PeripheralTiming t = *this;
    for (uint32_t* v : {&t.beginUs, &t.eraseBlockUs, &t.writeUs, &t.finishUs, &t.chipEraseUs}) *v /= divisor;
    return t;
}

// ---- Packet stations ------------------------------------------------------------------------
PacketStation::PacketStation(uint32_t bitRate, uint32_t flashSize)
    : Station(bitRate), flash_(std::make_shared<sim::Flash>(flashSize)) {}

void PacketStation::ResetLoader() {
    packet_.clear();
    pending80_ = skipping_ = false;
    loaderOpen_ = loaderFinished_ = false;
    busyUntil_ = 0;
}

uint8_t PacketStation::PacketSum(const std::vector<uint8_t>& packet, size_t count) {
    uint8_t sum = 0;
    for (size_t i = 1; i < count && i < packet.size(); i++) sum += packet[i];
    return sum & 0x7F;
}

Answer PacketStation::MakePacket(std::vector<uint8_t> bytes, int codeAt) const {
    bytes.push_back(PacketSum(bytes, bytes.size()));
    Answer a{std::move(bytes), codeAt, false};
    a.packetSum = true;
    return a;
}

std::vector<uint8_t> PacketStation::Wire(const std::vector<uint8_t>& bytes) const {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < bytes.size(); i++) {
        out.push_back(bytes[i]);
        if (i > 0 && bytes[i] == START) out.push_back(START);
    }
    return out;
}

// The firmware's receive rule: a lone 0x80 starts a packet (dropping a partial one),
// 0x80 0x80 is a data byte 0x80; bytes outside a packet are dropped.
void PacketStation::Hear(uint64_t nowUs, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) {
        if (OffBus()) return;
        if (b == START && !pending80_) {
            pending80_ = true;
            continue;
        }
        if (b == START) {
            pending80_ = false;
        } else if (pending80_) {
            pending80_ = false;
            packet_.assign(1, START);
            skipping_ = false;
        }
        if (packet_.empty() || skipping_) continue;
        packet_.push_back(b);
        size_t want = PacketLength(packet_);
        if (want == kSkip) {
            skipping_ = true;
            packet_.clear();
        } else if (want != 0 && packet_.size() >= want) {
            std::vector<uint8_t> p;
            p.swap(packet_);
            if (PacketSum(p, p.size() - 1) != p.back()) {
                // A packet with a bad checksum is dropped without an answer.
                Request* r = Log(nowUs, "badpacket", Format("kind %02X", p[1]));
                if (r) NoReply(*r, "bad checksum, ignored");
                continue;
            }
            OnPacket(nowUs, p);
        }
    }
}

void PacketStation::OpenLoader(uint8_t address, uint32_t dataBytes, bool erases, bool shortAddress) {
    hasLoader_ = true;
    loaderAddress_ = address;
    loaderData_ = dataBytes;
    loaderErases_ = erases;
    loaderShort_ = shortAddress;
}

bool PacketStation::IsLoaderPacket(const std::vector<uint8_t>& p) const {
    return hasLoader_ && p.size() >= 2 && p[1] == (uint8_t)(KIND_LOADER << 4 | loaderAddress_);
}

size_t PacketStation::LoaderLength(const std::vector<uint8_t>& p) const {
    if (p.size() < 3) return 0;
    switch (p[2]) {
        case LOADER_BEGIN:
        case LOADER_FINISH: return 4;
        case LOADER_ERASE: return loaderErases_ ? 5 : kSkip;
        case LOADER_WRITE: return 3 + 4 + loaderData_ + 1;
        default: return kSkip;
    }
}

// The loader answers begin, erase, write and finish with the same acknowledgement once
// the work is done. It has no negative answer: what it cannot do goes unanswered.
void PacketStation::LoaderPacket(uint64_t nowUs, const std::vector<uint8_t>& p) {
    static const char* const KINDS[] = {"begin", "erase", "write", "finish"};
    uint8_t sub = p[2];
    std::string detail;
    uint32_t address = 0;
    if (sub == LOADER_ERASE) detail = Format("block %u", p[3]);
    if (sub == LOADER_WRITE) {
        address = (uint32_t)p[3] << 24 | p[4] << 16 | p[5] << 8 | p[6];
        detail = Format("address 0x%05X", address);
    }
    Request* r = Log(nowUs, KINDS[sub], detail);
    if (r == nullptr) return;
    uint64_t start = std::max(nowUs, busyUntil_);
    auto refuse = [&](const std::string& why) {
        Error(nowUs, r->kind, why);
        NoReply(*r, "refused: " + why);
    };
    uint32_t work = 0;
    switch (sub) {
        case LOADER_BEGIN:
            loaderOpen_ = true;
            loaderFinished_ = false;
            work = timing_.beginUs;
            break;
        case LOADER_ERASE: {
            uint32_t block = p[3];
            if (!loaderOpen_) return refuse("erase before begin");
            if ((block + 1) * Unit::kBlockSize > flash_->Size()) return refuse(Format("no block %u", block));
            flash_->Erase(block * Unit::kBlockSize, Share(Unit::kBlockSize, WorkShare(*r)));
            work = timing_.eraseBlockUs;
            break;
        }
        case LOADER_WRITE: {
            const uint8_t* data = &p[7];
            if (!loaderOpen_) return refuse("write before begin");
            if (loaderShort_ && (p[3] != 0 || p[4] != 0)) return refuse("address beyond 16 bits");
            if (address > flash_->Size() || flash_->Size() - address < loaderData_)
                return refuse(Format("address 0x%X beyond the flash", address));
            // Bytes that are not erased where the packet puts data: the write leaves old
            // AND new there. The loader reads back what it wrote and withholds the
            // acknowledgement on a mismatch; an overwrite that happens to read back
            // right is still recorded, since the unit was not erased first.
            uint32_t unerased = 0, first = 0;
            for (uint32_t i = 0; i < loaderData_; i++)
                if (data[i] != 0xFF && flash_->Bytes()[address + i] != 0xFF && unerased++ == 0) first = address + i;
            flash_->Program(address, data, Share(loaderData_, WorkShare(*r)), nullptr);
            busyUntil_ = Busy(start, timing_.writeUs);
            if (HasFault(*r, FaultKind::Cut)) return CutPower(*r, nowUs);  // before its read-back
            bool verified = std::equal(data, data + loaderData_, flash_->Bytes().begin() + address);
            if (unerased != 0)
                Error(nowUs, r->kind, Format("write 0x%05X: %u bytes not erased", address, unerased) +
                                          Format(", first at 0x%05X", first));
            if (!verified) return NoReply(*r, "verify failed, no ack");
            return Reply(*r, busyUntil_ + timing_.replyUs,
                         MakePacket({START, (uint8_t)(KIND_LOADER_REPLY << 4 | loaderAddress_), LOADER_ACK}, 2));
        }
        case LOADER_FINISH:
            if (!loaderOpen_) return refuse("finish before begin");
            loaderOpen_ = false;
            loaderFinished_ = true;
            work = timing_.finishUs;
            break;
    }
    busyUntil_ = Busy(start, work);
    Reply(*r, busyUntil_ + timing_.replyUs,
          MakePacket({START, (uint8_t)(KIND_LOADER_REPLY << 4 | loaderAddress_), LOADER_ACK}, 2));
}

// ---- Units running their firmware ----------------------------------------------------------
static uint32_t FirmwareCrc(const std::vector<uint8_t>& flash);

Unit::Unit(PeripheralType type, uint8_t address, uint32_t flashSize)
    : PacketStation(kBitRate, flashSize), type_(type), address_(address & 0x0F) {
    FillOldFirmware(flash_.get());
    if (type != PeripheralType::TempaBox) {
        // The resident loader of the Remote and Receiver; block 1 holds the unit's
        // calibration, written at the factory: a few bytes, the rest erased.
        OpenLoader(address_, 128, true, false);
        std::fill(flash_->Bytes().begin() + kBlockSize, flash_->Bytes().begin() + 2 * kBlockSize, 0xFF);
        for (uint32_t i = 0; i < 16; i++) flash_->Bytes()[kBlockSize + i] = (uint8_t)(0xC0 + i * 3 + address_);
    }
    knownFirmware_.push_back(FirmwareCrc(Flash()));
    // The default keys: s1, s37 with its second function, ENTER, each held 300 ms,
    // every two seconds.
    SetScript({{200000, 1, true},
               {500000, 1, false},
               {800000, 133, true},
               {1100000, 133, false},
               {1400000, 255, true},
               {1700000, 255, false}},
              2000000);
    // A signal level that wanders through 0x60..0x9F (0x80 included, doubled on the wire).
    level_ = [](uint64_t now) { return (uint8_t)(0x60 + (now / 50000) % 64); };
}

// The firmware area's check value: everything but block 1.
static uint32_t FirmwareCrc(const std::vector<uint8_t>& flash) {
    size_t split = std::min(flash.size(), (size_t)Unit::kBlockSize);
    size_t resume = std::min(flash.size(), (size_t)(2 * Unit::kBlockSize));
    return Crc32(flash.data() + resume, flash.size() - resume, Crc32(flash.data(), split));
}

void Unit::KnowFirmware(const std::vector<uint8_t>& flashImage) { knownFirmware_.push_back(FirmwareCrc(flashImage)); }

bool Unit::FirmwareWhole() const {
    return std::find(knownFirmware_.begin(), knownFirmware_.end(), FirmwareCrc(Flash())) != knownFirmware_.end();
}

bool Unit::PowerOn() {
    Model::PowerOn();
    ResetLoader();
    if (!FirmwareWhole()) {
        GoAway(0);
        return false;
    }
    BackOnBus();
    return true;
}

std::vector<uint8_t> Unit::Calibration() const {
    if (flash_->Size() < 2 * kBlockSize) return {};
    return std::vector<uint8_t>(Flash().begin() + kBlockSize, Flash().begin() + 2 * kBlockSize);
}

void Unit::SetScript(std::vector<Press> script, uint64_t periodUs) {
    std::stable_sort(script.begin(), script.end(), [](const Press& a, const Press& b) { return a.atUs < b.atUs; });
    script_ = std::move(script);
    periodUs_ = periodUs;
}

std::pair<uint16_t, uint8_t> Unit::FunctionAt(uint64_t nowUs) const {
    if (script_.empty()) return {kNoFunction, 0};
    uint64_t t = periodUs_ ? nowUs % periodUs_ : nowUs;
    const Press* last = nullptr;
    for (const Press& p : script_)
        if (p.atUs <= t) last = &p;
    if (last == nullptr && periodUs_ && nowUs >= periodUs_) last = &script_.back();
    if (last == nullptr) return {kNoFunction, 0};
    return {last->function, (uint8_t)(last->down ? 1 : 0)};
}

std::array<uint8_t, 10> Unit::StatusAt(uint64_t nowUs) const {
    const TempaStatus& s = status_;
    uint32_t fps = s.fps ? s.fps : 25;
    const int64_t day = 24ll * 3600 * fps;
    int64_t frames = ((int64_t)s.hours * 3600 + s.minutes * 60 + s.seconds) * fps + s.frames;
    int64_t elapsed = (int64_t)(nowUs * fps / 1000000);
    if (s.state == 2) frames += elapsed;
    if (s.state == 1) frames -= elapsed;
    frames = ((frames % day) + day) % day;
    return {(uint8_t)(frames / fps / 3600), (uint8_t)(frames / fps / 60 % 60), (uint8_t)(frames / fps % 60),
            (uint8_t)(frames % fps), s.state, s.inputs, s.gr, s.md, s.ag, s.pwr};
}

size_t Unit::PacketLength(const std::vector<uint8_t>& p) const {
    uint8_t kind = p[1] >> 4, to = p[1] & 0x0F;
    if (p[1] == (KIND_DISCOVER << 4)) return 3;
    if (IsLoaderPacket(p)) return LoaderLength(p);
    if (to != address_) return kSkip;
    if (kind == KIND_QUERY) return 4;
    if (kind == KIND_SET) {
        if (p.size() < 3) return 0;
        return p[2] == SET_REMOTE ? 5 : p[2] == SET_TEXT ? 4 + TEXT_BYTES : kSkip;
    }
    return kSkip;
}

void Unit::OnPacket(uint64_t nowUs, const std::vector<uint8_t>& p) {
    uint8_t kind = p[1] >> 4;
    if (kind == KIND_DISCOVER) return Announce(nowUs);
    if (IsLoaderPacket(p)) return LoaderPacket(nowUs, p);
    if (kind == KIND_QUERY) return Query(nowUs, p);
    if (kind == KIND_SET) return Set(nowUs, p);
}

// Each unit answers discovery in the slot of its address. The fault "units:discover=N"
// makes the answer that of N units at consecutive addresses (a crowded bus).
void Unit::Announce(uint64_t nowUs) {
    Request* r = Log(nowUs, "discover", "");
    if (r == nullptr) return;
    Fault many;
    int count = HasFault(*r, FaultKind::Units, &many) ? (int)many.value : 1;
    for (int i = 0; i < count; i++) {
        uint8_t a = (uint8_t)((address_ + i) & 0x0F);
        uint64_t at = nowUs + timing_.replyUs + (uint64_t)timing_.announceSlotUs * (a + 1);
        Reply(*r, at,
              MakePacket({START, (uint8_t)(KIND_ANNOUNCE << 4 | a), extra1_, (uint8_t)type_, extra2_}, 3));
    }
}

void Unit::Query(uint64_t nowUs, const std::vector<uint8_t>& p) {
    uint8_t sub = p[2];
    const char* kind = sub == QUERY_LEVEL ? "level" : sub == QUERY_FUNCTION ? "function" : sub == QUERY_STATUS ? "status" : "query";
    Request* r = Log(nowUs, kind, "");
    if (r == nullptr) return;
    std::vector<uint8_t> a{START, (uint8_t)(KIND_QUERY_REPLY << 4 | address_), sub};
    bool remoteKeys = type_ != PeripheralType::TempaBox;
    if (sub == QUERY_FUNCTION && remoteKeys) {
        std::pair<uint16_t, uint8_t> f = FunctionAt(nowUs);
        if (f.first == kNoFunction || HasFault(*r, FaultKind::Blank)) {
            a.push_back(0xFF), a.push_back(0xFF);
        } else {
            // Function bits 0-6 in the first byte; bits 7 and 8 as bits 5 and 6 of the
            // second, with the state in bit 0.
            a.push_back((uint8_t)(f.first & 0x7F));
            a.push_back((uint8_t)(((f.first >> 7) & 0x03) << 5 | f.second));
        }
    } else if (sub == QUERY_LEVEL && type_ == PeripheralType::Receiver) {
        a.push_back(level_ ? level_(nowUs) : 0);
    } else if (sub == QUERY_STATUS && type_ == PeripheralType::TempaBox) {
        std::array<uint8_t, 10> s = StatusAt(nowUs);
        a.insert(a.end(), s.begin(), s.end());
    } else {
        return NoReply(*r, Format("sub-code %02X not answered by this unit", sub));
    }
    Reply(*r, nowUs + timing_.replyUs, MakePacket(a, 2));
}

void Unit::Set(uint64_t nowUs, const std::vector<uint8_t>& p) {
    if (p[2] == SET_REMOTE) {
        Request* r = Log(nowUs, "setremote", Format("Remote %u", p[3]));
        if (r == nullptr) return;
        remoteNumber_ = p[3];
        return NoReply(*r, "set");
    }
    // The request line shows where the text starts on the unit's display and what it
    // says up to its zero byte: @42 "Fn: s1  St: 1" (other bytes as \xNN).
    size_t at = 0;
    while (at < TEXT_BYTES && p[3 + at] == ' ') at++;
    std::string shown = "@" + std::to_string(at) + " \"";
    for (size_t i = at; i < TEXT_BYTES && p[3 + i] != 0; i++) {
        uint8_t c = p[3 + i];
        shown += c >= 0x20 && c < 0x7F && c != '"' && c != '\\' ? std::string(1, (char)c) : Format("\\x%02X", c);
    }
    Request* r = Log(nowUs, "settext", shown + "\"");
    if (r == nullptr) return;
    display_.assign(p.begin() + 3, p.begin() + 3 + TEXT_BYTES);
    displayCount_++;
    NoReply(*r, "shown");
}

}  // namespace sim
