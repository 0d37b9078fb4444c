// console.cpp - the running console's firmware as the updater sees it over USB.
//
// Flash: a 4 Mbit (512 KiB x 8) parallel NOR with 16 uniform 32 KiB sectors, which is
// what the updater's 16 erase requests over 0x80000 bytes imply. Parts of that class
// erase a sector in 0.5-1 s typically (several seconds worst case, which is why the
// updater allows 10.2 s per block) and program a byte in 7-15 us: we take 600 ms per
// sector and 10 us per byte, so a 1 KiB request is busy for ~10 ms against the
// updater's 440 ms. The Vinculum behind the console is reflashed page by page through
// its loader: ~30 ms per 1 KiB page (erase and write), 5 ms to read one back.
//
// The firmware handles one request at a time, in arrival order; an answer leaves
// after the work is done plus the USB turn-around.
//
// Power-on (a model choice): the start-up code in sector 0 checks the CRC-32 of the
// image area (0 to 0x74186, where the language area begins) against the firmware it
// knows, and starts the firmware only when they agree. A console whose image is not
// whole (an update cut short anywhere from the first erase to the last chunk of the
// image) therefore shows none of its USB identities; the processor's boot program,
// started with the BOOT jumper, answers as always (boot_program.cpp). An incomplete
// language area does not stop the firmware. The Vinculum keeps its own loader apart
// from its firmware area: the console reaches that loader whatever the firmware area
// holds, so a Vinculum update cut short is simply sent again by cable.
#include <algorithm>
#include <cstdio>

#include "sim/model/console.h"

namespace sim {

namespace {

const uint8_t START = 0x80;

uint32_t Le32(const std::vector<uint8_t>& f, size_t at) {
    return f[at] | f[at + 1] << 8 | f[at + 2] << 16 | (uint32_t)f[at + 3] << 24;
}

Answer MakeFrame(std::vector<uint8_t> bytes, int codeAt) {
    uint8_t sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back((uint8_t)-sum);
    return Answer{bytes, codeAt, true};
}

// Acknowledgement of the 0x7F and 0x00 requests: 80 T 04 checksum.
Answer Ack(uint8_t type) { return MakeFrame({START, type, 0x04}, 2); }

std::string Hex(const char* format, uint32_t value) {
    char buf[48];
    snprintf(buf, sizeof buf, format, value);
    return buf;
}

}  // namespace

bool Console::FirmwareWhole() const {
    uint32_t crc = flash_->Crc(0, kImageArea);
    return std::find(knownFirmware_.begin(), knownFirmware_.end(), crc) != knownFirmware_.end();
}

bool Console::PowerOn() {
    Model::PowerOn();
    Forget();
    updateOpen_ = vinculumOpen_ = false;
    linkRate_ = 250000;
    linkMode_ = false;
    heard_.clear();
    listen_ = Listen();
    busyUntil_ = 0;
    return FirmwareWhole();
}

ConsoleTiming ConsoleTiming::Scaled(uint32_t divisor) const {
    if (divisor <= 1) return *this;
    ConsoleTiming t = *this;
    for (uint32_t* v : {&t.startUs, &t.eraseBlockUs, &t.programByteUs, &t.endUs, &t.vstartUs, &t.vprogramUs,
                        &t.vverifyUs, &t.vendUs})
        *v /= divisor;
    if (t.programByteUs == 0) t.programByteUs = 1;  // 10 us / 100 would vanish
    return t;
}

Console::Console(Identity id) : SimDevice(id), flash_(std::make_shared<sim::Flash>(kFlashSize)), vinculum_(kVinculumSize) {
    FillOldFirmware(flash_.get());
    FillOldFirmware(&vinculum_);
    KnowFirmware(flash_->Bytes().data());
    bus_.SetPortListener([this](uint64_t now, const std::vector<uint8_t>& bytes, uint32_t rate) {
        Heard(now, bytes, rate);
    });
}

std::vector<uint8_t> Console::Wire(const std::vector<uint8_t>& bytes) const { return DoubleLaterStarts(bytes); }

void Console::Forget() {
    frame_.clear();
    pending80_ = false;
}

// Length of the frame being received, from its type (and sub-command or count):
// 0 while that is not known yet, -1 for a frame the firmware does not know.
size_t Console::ExpectedLength() const {
    const size_t UNKNOWN = (size_t)-1;
    if (frame_.size() < 2) return 0;
    uint8_t type = frame_[1];
    if (type == 0x7F || type == 0x00 || type == 0x05) {
        if (frame_.size() < 3) return 0;
        uint8_t sub = frame_[2];
        if (type == 0x05) return (size_t)sub + 4;
        if (sub == 0x00 || sub == 0x03) return 4;
        if (sub == 0x02) return 1032;
        if (type == 0x7F && sub == 0x01) return 5;
        if (type == 0x00 && sub == 0x05) return 1032;
        return UNKNOWN;
    }
    switch (type) {
        case 0x01: return 9;
        case 0x02: return 3;
        case 0x04: return 7;
        case 0x06: return 8;
        case 0x08: return 3;
        default: return UNKNOWN;
    }
}

// The frame-receiving rule: a lone 0x80 followed by another byte starts a frame,
// 0x80 0x80 inside a frame is one data byte 0x80; bytes outside a frame are dropped.
void Console::Receive(uint64_t nowUs, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count && !Unplugged(); i++) {
        uint8_t b = bytes[i];
        if (b == START && !pending80_) {
            pending80_ = true;
            continue;
        }
        if (b == START) {
            pending80_ = false;
            if (!frame_.empty()) frame_.push_back(START);
        } else {
            if (pending80_) {
                pending80_ = false;
                frame_.assign(1, START);
            }
            if (!frame_.empty()) frame_.push_back(b);
        }
        size_t want = ExpectedLength();
        if (want == (size_t)-1) {
            NoReply(*Log(nowUs, "unknown", Hex("type %02X", frame_[1])), "ignored");
            frame_.clear();
        } else if (want != 0 && frame_.size() >= want) {
            std::vector<uint8_t> f;
            f.swap(frame_);
            Frame(nowUs, f);
        }
    }
}

void Console::Frame(uint64_t nowUs, const std::vector<uint8_t>& f) {
    uint8_t sum = 0;
    for (uint8_t b : f) sum += b;
    if (sum != 0) {
        // The firmware drops a frame whose checksum fails, silently.
        Request* r = Log(nowUs, "badframe", Hex("type %02X", f[1]));
        if (r) NoReply(*r, "bad checksum, ignored");
        return;
    }
    if (f[1] == 0x7F)
        UserUpdate(nowUs, f);
    else if (f[1] == 0x00)
        Vinculum(nowUs, f);
    else
        Link(nowUs, f);
}

void Console::UserUpdate(uint64_t nowUs, const std::vector<uint8_t>& f) {
    static const char* const KINDS[] = {"start", "erase", "program", "end"};
    uint8_t sub = f[2];
    std::string detail;
    if (sub == 1) detail = Hex("block %u", f[3]);
    if (sub == 2) detail = Hex("offset 0x%05X", Le32(f, 3));
    Request* r = Log(nowUs, KINDS[sub], detail);
    if (r == nullptr) return;
    uint64_t start = std::max(nowUs, busyUntil_);
    uint32_t work = 0;
    switch (sub) {
        case 0:
            updateOpen_ = true;
            work = timing_.startUs;
            break;
        case 1: {
            uint32_t block = f[3];
            if (!updateOpen_ || block >= kBlockCount) {
                Error(nowUs, r->kind, !updateOpen_ ? "erase before start" : Hex("no block %u", block));
                NoReply(*r, "refused");
                return;
            }
            flash_->Erase(block * kBlockSize, Share(kBlockSize, WorkShare(*r)));
            work = timing_.eraseBlockUs;
            break;
        }
        case 2: {
            uint32_t offset = Le32(f, 3);
            if (!updateOpen_ || offset > kFlashSize - kChunk) {
                Error(nowUs, r->kind, !updateOpen_ ? "program before start" : Hex("offset 0x%X beyond the flash", offset));
                NoReply(*r, "refused");
                return;
            }
            uint32_t firstBad = 0;
            uint32_t bad = flash_->Program(offset, &f[7], Share(kChunk, WorkShare(*r)), &firstBad);
            if (bad != 0) {
                char text[96];
                snprintf(text, sizeof text, "program 0x%05X: %u bytes not erased, first at 0x%05X", offset, bad,
                         firstBad);
                Error(nowUs, r->kind, text);
            }
            work = kChunk * timing_.programByteUs;
            break;
        }
        case 3:
            updateOpen_ = false;
            work = timing_.endUs;
            break;
    }
    busyUntil_ = Busy(start, work);
    Reply(*r, busyUntil_ + timing_.replyUs, Ack(0x7F));
}

void Console::Vinculum(uint64_t nowUs, const std::vector<uint8_t>& f) {
    uint8_t sub = f[2];
    const char* kind = sub == 0 ? "vstart" : sub == 2 ? "vprogram" : sub == 5 ? "vverify" : "vend";
    std::string detail = (sub == 2 || sub == 5) ? Hex("offset 0x%04X", Le32(f, 3)) : "";
    Request* r = Log(nowUs, kind, detail);
    if (r == nullptr) return;
    uint64_t start = std::max(nowUs, busyUntil_);
    uint32_t work = 0;
    std::string result = "ack";
    if (sub == 0) {
        vinculumOpen_ = true;
        work = timing_.vstartUs;
    } else if (sub == 3) {
        vinculumOpen_ = false;
        work = timing_.vendUs;
    } else {
        uint32_t offset = Le32(f, 3);
        if (!vinculumOpen_ || offset > kVinculumSize - kChunk) {
            Error(nowUs, kind, !vinculumOpen_ ? "Vinculum not in its loader" : Hex("offset 0x%X beyond the Vinculum", offset));
            NoReply(*r, "refused");
            return;
        }
        if (sub == 2) {
            // A page is erased, then written: a cut in the first half leaves part of it
            // erased, in the second half part of it written.
            uint32_t share = WorkShare(*r);
            vinculum_.Erase(offset, Share(kChunk, std::min(share * 2, 1000u)));
            if (share > 500) vinculum_.Program(offset, &f[7], Share(kChunk, (share - 500) * 2), nullptr);
            work = timing_.vprogramUs;
        } else {
            busyUntil_ = Busy(start, timing_.vverifyUs);
            for (uint32_t i = 0; i < kChunk; i++) {
                if (vinculum_.Bytes()[offset + i] != f[7 + i]) {
                    // A mismatch is simply not acknowledged; the updater sends again.
                    NoReply(*r, Hex("mismatch at 0x%04X, no ack", offset + i));
                    return;
                }
            }
            work = timing_.vverifyUs;
        }
    }
    busyUntil_ = Busy(start, work);
    Reply(*r, busyUntil_ + timing_.replyUs, Ack(0x00), result);
}

void Console::Link(uint64_t nowUs, const std::vector<uint8_t>& f) {
    uint64_t start = std::max(nowUs, busyUntil_);
    char detail[64];
    switch (f[1]) {
        case 0x01: {  // set MAC: kept at once, no answer
            snprintf(detail, sizeof detail, "%02X-%02X-%02X-%02X-%02X-%02X", f[2], f[3], f[4], f[5], f[6], f[7]);
            Request* r = Log(nowUs, "macset", detail);
            if (r == nullptr) return;
            for (int i = 0; i < 6; i++) mac_[i] = f[2 + i];
            NoReply(*r, "set");
            return;
        }
        case 0x02: {
            Request* r = Log(nowUs, "mac", "");
            if (r == nullptr) return;
            Reply(*r, start + timing_.replyUs,
                  MakeFrame({START, 0x03, mac_[0], mac_[1], mac_[2], mac_[3], mac_[4], mac_[5]}, 1));
            return;
        }
        case 0x04: {
            uint32_t rate = Le32(f, 2);
            Request* r = Log(nowUs, "speed", Hex("%u bit/s", rate));
            if (r == nullptr) return;
            if (rate < 300 || rate > 1000000) {
                Error(nowUs, "speed", Hex("bit rate %u out of the port's range", rate));
                NoReply(*r, "refused");
                return;
            }
            linkRate_ = rate;
            linkMode_ = true;
            NoReply(*r, "set");
            return;
        }
        case 0x05: {
            Request* r = Log(nowUs, "send", Hex("%u bytes", f[2]));
            if (r == nullptr) return;
            // What the port heard before stays for the next listen: the Receiver test
            // sends its level query right after the function query and reads both
            // answers in one listen. (The port does not hear its own transmission.)
            linkMode_ = true;
            bus_.Put(start, nullptr, std::vector<uint8_t>(f.begin() + 3, f.end() - 1), linkRate_);
            NoReply(*r, "sent");
            return;
        }
        case 0x06: {
            uint32_t window = Le32(f, 3);
            snprintf(detail, sizeof detail, "%u bytes within %u us", f[2], window);
            Request* r = Log(nowUs, "listen", detail);
            if (r == nullptr) return;
            linkMode_ = true;
            // A listen still open is superseded without an answer.
            if (listen_.active) NoReply(RequestAt(listen_.request), "superseded");
            listen_.active = true;
            listen_.startUs = start;
            listen_.deadlineUs = start + window;
            listen_.wanted = f[2];
            listen_.request = (int)Requests().size() - 1;
            if (listen_.wanted != 0 && heard_.size() >= listen_.wanted) AnswerListen(start);
            return;
        }
        case 0x08: {
            Request* r = Log(nowUs, "linkend", "");
            if (r == nullptr) return;
            linkMode_ = false;
            heard_.clear();
            if (listen_.active) NoReply(RequestAt(listen_.request), "cancelled by end");
            listen_.active = false;
            NoReply(*r, "ok");
            return;
        }
    }
}

void Console::Heard(uint64_t nowUs, const std::vector<uint8_t>& bytes, uint32_t bitRate) {
    const size_t RX_BUFFER = 1024;  // the port's receive buffer; later bytes are lost
    for (uint8_t b : Garble(bytes, bitRate, linkRate_))
        if (heard_.size() < RX_BUFFER) heard_.push_back(b);
    if (listen_.active && listen_.wanted != 0 && heard_.size() >= listen_.wanted && nowUs >= listen_.startUs)
        AnswerListen(nowUs);
}

// One 0x07 frame with what was heard: the wanted count when that many came (the rest
// stays for the next listen), else everything at the end of the window.
void Console::AnswerListen(uint64_t nowUs) {
    size_t n = heard_.size();
    if (listen_.wanted != 0 && n > listen_.wanted) n = listen_.wanted;
    if (n > 255) n = 255;
    std::vector<uint8_t> frame{START, 0x07, (uint8_t)n};
    for (size_t i = 0; i < n; i++) {
        frame.push_back(heard_.front());
        heard_.pop_front();
    }
    listen_.active = false;
    Request& r = RequestAt(listen_.request);
    Reply(r, nowUs + timing_.replyUs, MakeFrame(frame, 1), Hex("heard %u", (uint32_t)n));
}

uint64_t Console::OwnNextEventUs() {
    uint64_t t = bus_.NextEventUs();
    if (listen_.active) t = std::min(t, listen_.deadlineUs);
    return t;
}

void Console::RunOwn(uint64_t nowUs) {
    // Bytes that end exactly at the deadline still count.
    if (bus_.NextEventUs() <= nowUs) {
        bus_.RunUntil(nowUs);
        return;
    }
    if (listen_.active && listen_.deadlineUs <= nowUs) AnswerListen(listen_.deadlineUs);
}

}  // namespace sim
