// device.cpp - the device framework: request log, answers through the fault plan,
// the outgoing queue in time order, flash memory and the KQ-LINK bus.
#include <algorithm>
#include <cstdio>

#include "sim/model/framework.h"

namespace sim {

std::string InterfaceName(Identity id, unsigned instance) {
    char name[64];
    snprintf(name, sizeof name, "usb#vid_%04x&pid_%04x#%04u", id.vendor, id.product, instance % 10000);
    return name;
}

// ---- Flash ----------------------------------------------------------------------------------
void Flash::Erase(uint32_t offset, uint32_t count) {
    if (offset >= Size()) return;
    count = std::min(count, Size() - offset);
    std::fill(bytes_.begin() + offset, bytes_.begin() + offset + count, 0xFF);
}

uint32_t Flash::Program(uint32_t offset, const uint8_t* data, uint32_t count, uint32_t* firstBad) {
    uint32_t bad = 0;
    for (uint32_t i = 0; i < count && offset + i < Size(); i++) {
        uint8_t& cell = bytes_[offset + i];
        if ((uint8_t)(~cell & data[i]) != 0) {  // a bit would have to go from 0 to 1
            if (bad++ == 0 && firstBad) *firstBad = offset + i;
        }
        cell &= data[i];
    }
    return bad;
}

bool Flash::IsErased(uint32_t offset, uint32_t count) const {
    for (uint32_t i = 0; i < count && offset + i < Size(); i++)
        if (bytes_[offset + i] != 0xFF) return false;
    return true;
}

uint32_t Crc32(const uint8_t* bytes, size_t count, uint32_t crc) {
    crc = ~crc;
    for (size_t i = 0; i < count; i++) {
        crc ^= bytes[i];
        for (int k = 0; k < 8; k++) crc = crc >> 1 ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

uint32_t Flash::Crc(uint32_t offset, uint32_t count) const {
    if (offset >= Size()) return Crc32(nullptr, 0);
    return Crc32(bytes_.data() + offset, std::min(count, Size() - offset));
}

void FillOldFirmware(Flash* flash) {
    // Code-like bytes over the first 7/8, an erased tail, as a shipped image leaves it.
    std::vector<uint8_t>& b = flash->Bytes();
    uint32_t used = flash->Size() / 8 * 7;
    uint32_t x = 0x2545F491u;
    for (uint32_t i = 0; i < flash->Size(); i++) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b[i] = i < used ? (uint8_t)(x >> 11) : 0xFF;
    }
}

// ---- The device framework -------------------------------------------------------------------
SimDevice::SimDevice(Identity id) : id_(id) {}

void SimDevice::HostWrote(uint64_t nowUs, const uint8_t* bytes, size_t count) {
    if (unplugged_ || count == 0) return;
    Receive(nowUs, bytes, count);
}

uint64_t SimDevice::NextEventUs() {
    uint64_t t = kNever;
    for (const Outgoing& o : queue_) t = std::min(t, o.atUs);
    if (!unplugged_) t = std::min(t, OwnNextEventUs());
    return t;
}

void SimDevice::RunUntil(uint64_t nowUs, std::vector<uint8_t>* toHost, bool* unplug) {
    for (;;) {
        uint64_t own = unplugged_ ? kNever : OwnNextEventUs();
        auto next = std::min_element(queue_.begin(), queue_.end(), [](const Outgoing& a, const Outgoing& b) {
            return a.atUs != b.atUs ? a.atUs < b.atUs : a.seq < b.seq;
        });
        uint64_t queued = next == queue_.end() ? kNever : next->atUs;
        if (std::min(own, queued) > nowUs) return;
        if (own < queued) {
            RunOwn(own);
            continue;
        }
        Outgoing o = *next;
        queue_.erase(next);
        if (o.unplug) {
            if (unplug) *unplug = true;
            queue_.clear();
            return;
        }
        if (toHost) toHost->insert(toHost->end(), o.bytes.begin(), o.bytes.end());
        sent_.insert(sent_.end(), o.bytes.begin(), o.bytes.end());
    }
}

void SimDevice::HostClosed(uint64_t) { Forget(); }

void SimDevice::Replug() {
    if (!unplugged_) return;
    unplugged_ = false;
    queue_.clear();
    busyUntil_ = 0;
    Forget();
}

int Model::CountOf(const std::string& kind) const {
    int n = 0;
    for (const Request& r : requests_) n += r.kind == kind;
    return n;
}

Request* Model::Log(uint64_t nowUs, const std::string& kind, const std::string& detail) {
    Request r;
    r.kind = kind;
    r.index = CountOf(kind) + 1;
    r.timeUs = nowUs;
    r.detail = detail;
    requests_.push_back(r);
    Request& logged = requests_.back();
    for (const Fault& f : faults_.Match(kind, logged.index)) {
        if (f.kind == FaultKind::Cut && f.value == 0) {
            CutPower(logged, nowUs);
            return nullptr;
        }
        if (f.kind != FaultKind::Unplug) continue;
        logged.result = "unplug";
        Notify(logged);
        GoAway(nowUs);
        return nullptr;
    }
    return &logged;
}

uint32_t Model::WorkShare(const Request& request) const {
    Fault cut;
    return HasFault(request, FaultKind::Cut, &cut) ? cut.value : 1000;
}

// The supply fails: whatever the device was doing stops where it got, nothing more
// leaves it, and it is off its bus until PowerOn.
void Model::CutPower(Request& request, uint64_t nowUs) {
    char note[48];
    Fault cut;
    HasFault(request, FaultKind::Cut, &cut);
    snprintf(note, sizeof note, "power cut at %u/1000", cut.value);
    request.result = note;
    poweredOff_ = true;
    Notify(request);
    GoAway(nowUs);
}

void Model::Error(uint64_t nowUs, const std::string& kind, const std::string& text) {
    errors_.push_back(DeviceError{nowUs, kind, text});
}

bool Model::HasFault(const Request& request, FaultKind kind, Fault* found) const {
    for (const Fault& f : faults_.Match(request.kind, request.index)) {
        if (f.kind != kind) continue;
        if (found) *found = f;
        return true;
    }
    return false;
}

void Model::NoReply(Request& request, const std::string& result) {
    request.result = result;
    Notify(request);
}

void Model::Reply(Request& request, uint64_t atUs, Answer answer, const std::string& result) {
    std::string notes;
    char buf[64];
    bool drop = false, twice = false;
    std::vector<uint8_t>& b = answer.bytes;
    auto fixSum = [&] {
        if (b.empty()) return;
        uint8_t sum = 0;
        if (answer.packetSum) {
            for (size_t i = 1; i + 1 < b.size(); i++) sum += b[i];
            b.back() = sum & 0x7F;
        } else if (answer.checksummed) {
            for (size_t i = 0; i + 1 < b.size(); i++) sum += b[i];
            b.back() = (uint8_t)-sum;
        }
    };
    std::vector<Fault> hits = faults_.Match(request.kind, request.index);
    for (const Fault& f : hits) {
        if (f.kind == FaultKind::Cut) return CutPower(request, request.timeUs);
    }
    // Content first (WrongCode, BadSum), then the wire (Corrupt, Short), then timing.
    for (const Fault& f : hits) {
        if (f.kind == FaultKind::WrongCode && (size_t)answer.codeAt < b.size()) {
            b[answer.codeAt] = f.hasValue ? (uint8_t)f.value : (uint8_t)(b[answer.codeAt] ^ 0x01);
            fixSum();
            snprintf(buf, sizeof buf, ", code %02X", b[answer.codeAt]);
            notes += buf;
        }
    }
    for (const Fault& f : hits) {
        if (f.kind == FaultKind::BadSum && (answer.checksummed || answer.packetSum) && !b.empty()) {
            // A KQ-LINK checksum stays below 0x80, as a wrong one on the wire would.
            b.back() = answer.packetSum ? (uint8_t)((b.back() + 1) & 0x7F) : (uint8_t)(b.back() + 1);
            notes += ", bad checksum";
        }
    }
    std::vector<uint8_t> wire = Wire(b);
    for (const Fault& f : hits) {
        if (f.kind == FaultKind::Corrupt && !wire.empty()) {
            uint64_t r = faults_.Random(request.kind, request.index, 0xC0);
            size_t at = f.hasValue ? f.value : (size_t)(r % wire.size());
            uint8_t mask = f.mask ? (uint8_t)f.mask : f.hasValue ? 0x01 : (uint8_t)(1 + (r >> 32) % 255);
            if (at < wire.size()) {
                wire[at] ^= mask;
                snprintf(buf, sizeof buf, ", byte %zu ^%02X", at, mask);
                notes += buf;
            }
        } else if (f.kind == FaultKind::Short) {
            size_t keep = f.hasValue ? f.value : (wire.empty() ? 0 : wire.size() - 1);
            if (keep < wire.size()) wire.resize(keep);
            snprintf(buf, sizeof buf, ", %zu bytes only", wire.size());
            notes += buf;
        } else if (f.kind == FaultKind::Delay) {
            atUs += f.value;
            snprintf(buf, sizeof buf, ", delayed %u us", f.value);
            notes += buf;
        } else if (f.kind == FaultKind::Drop) {
            drop = true;
        } else if (f.kind == FaultKind::Twice) {
            twice = true;
            notes += ", twice";
        }
    }
    if (drop) {
        request.result = result + " dropped";
    } else {
        request.result = result + notes;
        Deliver(atUs, wire);
        if (twice) Deliver(atUs, wire);
    }
    Notify(request);
}

void SimDevice::Emit(uint64_t atUs, std::vector<uint8_t> bytes) {
    if (bytes.empty()) return;
    queue_.push_back(Outgoing{atUs, std::move(bytes), false, seq_++});
}

void SimDevice::ScheduleUnplug(uint64_t atUs) {
    unplugged_ = true;
    queue_.push_back(Outgoing{atUs, {}, true, seq_++});
}

void Model::Notify(const Request& request) {
    if (observer_) observer_(request);
}

// ---- KQ-LINK bus ----------------------------------------------------------------------------
std::vector<uint8_t> Garble(const std::vector<uint8_t>& bytes, uint32_t fromRate, uint32_t toRate) {
    if (fromRate == toRate || bytes.empty()) return bytes;
    // A faster receiver takes each start bit for a byte of its own and sees the
    // sender's bits stretched; a slower one merges several bytes into one frame and
    // mostly sees framing errors. Either way: values lost, count scaled.
    size_t n = bytes.size();
    if (toRate < fromRate) n = std::max<size_t>(1, (size_t)((uint64_t)n * toRate / fromRate));
    std::vector<uint8_t> out(n);
    uint32_t mix = (fromRate * 2654435761u) ^ toRate;
    for (size_t i = 0; i < n; i++) {
        uint8_t b = bytes[i * bytes.size() / n];
        uint8_t g = (uint8_t)((b * 0x9D + 0x3B) ^ (mix >> ((i % 4) * 8)));
        out[i] = g == b ? (uint8_t)(g ^ 0x5A) : g;
    }
    return out;
}

void Bus::Attach(BusPeer* peer) {
    if (std::find(peers_.begin(), peers_.end(), peer) != peers_.end()) return;
    peers_.push_back(peer);
    peer->bus_ = this;
}

void Bus::Detach(BusPeer* peer) {
    peers_.erase(std::remove(peers_.begin(), peers_.end(), peer), peers_.end());
    peer->bus_ = nullptr;
}

uint64_t Bus::Put(uint64_t nowUs, BusPeer* from, const std::vector<uint8_t>& bytes, uint32_t bitRate) {
    if (bitRate == 0) bitRate = 9600;
    uint64_t start = std::max(nowUs, wireFreeUs_);
    if (bytes.empty()) return start;
    uint64_t end = start + (bytes.size() * 10ull * 1000000ull + bitRate - 1) / bitRate;
    history_.push_back(Transmission{start, end, from, bytes, bitRate});
    wireFreeUs_ = end;
    return end;
}

uint64_t Bus::NextEventUs() {
    uint64_t t = delivered_ < history_.size() ? history_[delivered_].endUs : kNever;
    for (BusPeer* p : peers_) t = std::min(t, p->NextEventUs());
    return t;
}

void Bus::RunUntil(uint64_t nowUs) {
    for (;;) {
        uint64_t tx = delivered_ < history_.size() ? history_[delivered_].endUs : kNever;
        BusPeer* due = nullptr;
        uint64_t peerT = kNever;
        for (BusPeer* p : peers_) {
            uint64_t t = p->NextEventUs();
            if (t < peerT) peerT = t, due = p;
        }
        if (std::min(tx, peerT) > nowUs) return;
        if (tx <= peerT) {
            Transmission t = history_[delivered_++];
            for (BusPeer* p : std::vector<BusPeer*>(peers_))
                if (p != t.from) p->OnBusBytes(t.endUs, t.bytes, t.bitRate);
            if (t.from != nullptr && port_) port_(t.endUs, t.bytes, t.bitRate);
        } else {
            due->RunUntil(peerT);
        }
    }
}

// ---- A station on KQ-LINK ---------------------------------------------------------------------
void Station::OnBusBytes(uint64_t nowUs, const std::vector<uint8_t>& bytes, uint32_t bitRate) {
    if (gone_) return;
    Hear(nowUs, Garble(bytes, bitRate, rate_));
}

void Station::Deliver(uint64_t atUs, std::vector<uint8_t> wire) {
    if (gone_ || wire.empty()) return;
    queue_.push_back(Outgoing{atUs, std::move(wire), rate_, seq_++});
}

void Station::GoAway(uint64_t) {
    gone_ = true;
    queue_.clear();
}

uint64_t Station::NextEventUs() {
    uint64_t t = kNever;
    for (const Outgoing& o : queue_) t = std::min(t, o.atUs);
    return t;
}

void Station::RunUntil(uint64_t nowUs) {
    for (;;) {
        auto next = std::min_element(queue_.begin(), queue_.end(), [](const Outgoing& a, const Outgoing& b) {
            return a.atUs != b.atUs ? a.atUs < b.atUs : a.seq < b.seq;
        });
        if (next == queue_.end() || next->atUs > nowUs) return;
        Outgoing o = *next;
        queue_.erase(next);
        if (bus_) bus_->Put(o.atUs, this, o.bytes, o.rate);
    }
}

std::vector<uint8_t> DoubleLaterStarts(const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < frame.size(); i++) {
        out.push_back(frame[i]);
        if (i > 0 && frame[i] == 0x80) out.push_back(0x80);
    }
    return out;
}

}  // namespace sim
