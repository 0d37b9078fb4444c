// station.cpp - what the simulated KQ-LINK units share: a packet station on the bus
// (packets heard, checked and answered in slots) and the flash loader that a Remote or
// Receiver opens while its firmware runs (begin, block erase, 128-byte writes, finish).
// The units themselves are in peripherals.cpp, the Tempa BOX's boot record in
// tempabox.cpp.
//
// Times: the units' microcontrollers erase a 4 KiB block of on-chip flash in about
// 60 ms (the PC allows 6.5 s) and program 128 bytes in about 4 ms (the PC allows
// 15 ms).
#include <algorithm>
#include <cstdio>

#include "sim/model/kqlink_packets.h"
#include "sim/model/peripherals.h"

namespace sim {

using namespace kqlink_packets;

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

std::vector<uint8_t> PacketStation::Wire(const std::vector<uint8_t>& bytes) const { return DoubleLaterStarts(bytes); }

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

}  // namespace sim
