// peripherals.cpp - the Remote, the Receiver and the Tempa BOX running their firmware:
// one class (Unit) whose answers differ by the unit's type. Their packet station and
// flash loader are in station.cpp; the Tempa BOX in boot mode is in tempabox.cpp.
//
// Power-on of a Remote or Receiver (a model choice): the start-up code checks the
// CRC-32 of the firmware area, the whole flash but block 1 (0x1000-0x1FFF, the unit's
// calibration, which the firmware never checks), against the firmware it knows. Only
// a whole firmware runs, announces itself on KQ-LINK and opens its loader; a unit whose
// firmware area an update left part erased or part written stays silent. Block 1 is
// whatever the flash holds. With the boot jumper(s) set the processor's boot program
// runs instead (sim::BootPeer, boot_program.cpp), on the same flash, whatever it holds.
//
// Times: the firmware answers a packet within a third of a millisecond; discovery
// answers are spread over one slot per address so that units do not talk at once.
#include <algorithm>
#include <cstdio>

#include "sim/model/kqlink_packets.h"
#include "sim/model/peripherals.h"

namespace sim {

using namespace kqlink_packets;

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
