// replay.cpp - serving a field run's device side from its trace (replay.h).
#include "sim/model/replay.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

// "... 00 04 [05] 00 ... (1032 bytes)": enough to see where a line goes wrong, the
// first byte that differs in brackets.
std::string Hex(const std::vector<uint8_t>& bytes, size_t from = 0, bool mark = false, size_t shown = 24) {
    std::string out;
    size_t start = from > 8 ? from - 8 : 0;  // a little before the difference
    if (start > 0) out += "... ";
    char item[4];
    for (size_t i = start; i < bytes.size() && i < start + shown; i++) {
        snprintf(item, sizeof item, "%02x", bytes[i]);
        out += mark && i == from ? "[" + std::string(item) + "] " : std::string(item) + " ";
    }
    if (start + shown < bytes.size()) out += "... ";
    if (bytes.empty()) out = "(nothing) ";
    return out + "(" + std::to_string(bytes.size()) + " bytes)";
}

// Microseconds from one stamp to a later one, across the 32-bit wrap. Two threads take
// their stamps just before they log, so a line may carry a stamp a little earlier than
// the line above it: that counts as no time at all.
uint64_t Since(uint32_t from, uint32_t to) {
    int32_t d = (int32_t)(to - from);
    return d > 0 ? (uint64_t)d : 0;
}

}  // namespace

void ReplayDevice::Receive(uint64_t nowUs, const uint8_t* bytes, size_t count) {
    session_->Wrote(this, nowUs, bytes, count);
}

ReplaySession::ReplaySession(Trace trace) : trace_(std::move(trace)) {}

void ReplaySession::UseIdentity(Identity id, unsigned instance) {
    bool boot = id.vendor == kBootId.vendor && id.product == kBootId.product;
    (boot ? bootId_ : consoleId_) = id;
    (boot ? bootInstance_ : consoleInstance_) = instance ? instance : 1;
}

std::vector<std::unique_ptr<ReplayDevice>> ReplaySession::MakeDevices() {
    std::vector<std::unique_ptr<ReplayDevice>> devices;
    bool made[2] = {false, false};
    for (const TraceSection& s : trace_.sections) {
        // A section without traffic is a search that found nothing: no device for it.
        if (s.transfers == 0 || made[s.boot]) continue;
        made[s.boot] = true;
        devices.emplace_back(new ReplayDevice(this, s.boot ? bootId_ : consoleId_, s.boot));
        devices.back()->SetInstance(s.boot ? bootInstance_ : consoleInstance_);
    }
    return devices;
}

// The program has reached a section of the trace: the engineer sees where it is, and
// which sections without traffic (searches that found nothing) it passed.
void ReplaySession::Enter(uint64_t nowUs, int section) {
    if (section == entered_ || !reporter_) return;
    for (int s = entered_ + 1; s < section; s++)
        if (trace_.sections[(size_t)s].transfers == 0)
            reporter_(nowUs, "replay: passed over " + SectionName(s) + ": no traffic, no device");
    entered_ = section;
    reporter_(nowUs, "replay: now in " + SectionName(section));
}

bool ReplaySession::Present(const ReplayDevice* device) const {
    if (trace_.transfers.empty()) return false;
    return Owns(device, trace_.transfers[std::min(next_, trace_.transfers.size() - 1)]);
}

bool ReplaySession::Owns(const ReplayDevice* device, const TraceTransfer& t) const {
    return trace_.sections[(size_t)t.section].boot == device->Boot();
}

std::string ReplaySession::Name(bool boot) const {
    return InterfaceName(boot ? bootId_ : consoleId_, boot ? bootInstance_ : consoleInstance_);
}

std::string ReplaySession::SectionName(int section) const {
    const TraceSection& s = trace_.sections[(size_t)section];
    if (!s.header.empty()) return s.header + " at line " + std::to_string(s.line);
    return "no header line: console traffic from line " + std::to_string(s.line);
}

void ReplaySession::Wrote(ReplayDevice* device, uint64_t nowUs, const uint8_t* bytes, size_t count) {
    const std::vector<TraceTransfer>& all = trace_.transfers;
    for (size_t i = 0; i < count && !departed_;) {
        // Bytes a field device sent before the program's first write of its section:
        // this device's go out now; another's were never asked for and stay unsent.
        // An empty write reached no pipe: another device's is passed over.
        if (next_ < all.size() && (all[next_].toPc || (all[next_].bytes.empty() && !Owns(device, all[next_])))) {
            if (all[next_].toPc && Owns(device, all[next_])) device->Send(nowUs, all[next_].bytes);
            next_++;
            continue;
        }
        if (next_ == all.size()) {
            std::vector<uint8_t> written(bytes + i, bytes + count);
            return Depart(nowUs, "the end of the trace", written, 0, "the field run wrote nothing more");
        }
        const TraceTransfer& t = all[next_];
        Enter(nowUs, t.section);
        if (!Owns(device, t)) {
            std::vector<uint8_t> written(bytes + i, bytes + count);
            return Depart(nowUs, "bytes for " + Name(!device->Boot()), written, 0,
                          "written to " + device->InterfacePath());
        }
        if (t.bytes.empty()) {  // an empty write of the field run: it reached no pipe
            Complete(device, nowUs);
            continue;
        }
        size_t at = partial_.size();
        if (bytes[i] != t.bytes[at]) {
            std::vector<uint8_t> written = partial_;
            written.insert(written.end(), bytes + i, bytes + count);
            return Depart(nowUs, Hex(t.bytes, at, true), written, at, "");
        }
        partial_.push_back(bytes[i++]);
        if (partial_.size() == t.bytes.size()) Complete(device, nowUs);
    }
}

void ReplaySession::Complete(ReplayDevice* device, uint64_t nowUs) {
    const std::vector<TraceTransfer>& all = trace_.transfers;
    // The line that was written, and any empty writes after it (they reach no pipe).
    uint32_t anchor = all[next_].stamp;
    for (;;) {
        const TraceTransfer& sent = all[next_];
        nowUs += Since(anchor, sent.stamp);
        anchor = sent.stamp;
        Request* r = device->Log(nowUs, "line", "line " + std::to_string(sent.line));
        partial_.clear();
        size_t answers = 0, bytes = 0;
        for (next_++; next_ < all.size() && all[next_].toPc && all[next_].section == sent.section; next_++) {
            device->Send(nowUs + Since(sent.stamp, all[next_].stamp), all[next_].bytes);
            answers++;
            bytes += all[next_].bytes.size();
        }
        if (r) device->NoReply(*r, answers ? std::to_string(bytes) + " bytes in " + std::to_string(answers) + " reads" : "no answer");
        if (next_ == all.size() || !all[next_].bytes.empty() || all[next_].section != sent.section ||
            all[next_].toPc || !Owns(device, all[next_]))
            break;
    }
    if (next_ == all.size() && reporter_)
        reporter_(nowUs, "replay: the trace was followed to its end (line " + std::to_string(trace_.lines) + ")");
}

void ReplaySession::Depart(uint64_t nowUs, const std::string& expected, const std::vector<uint8_t>& written,
                           size_t at, const std::string& note) {
    departed_ = true;
    const std::vector<TraceTransfer>& all = trace_.transfers;
    bool atEnd = next_ == all.size();
    departureLine_ = atEnd ? trace_.lines : all[next_].line;
    std::string where = atEnd ? "after the last line (" + std::to_string(trace_.lines) + ")"
                              : "at line " + std::to_string(departureLine_);
    int section = atEnd ? (int)trace_.sections.size() - 1 : all[next_].section;
    departure_ = "replay: the program departs from the trace " + where;
    if (section >= 0) departure_ += " (" + SectionName(section) + ")";
    if (!atEnd && !all[next_].toPc && at > 0) departure_ += ", byte " + std::to_string(at + 1) + " of the line";
    departure_ += ":\n  expected " + expected + "\n  written  " + Hex(written, at, !note.size());
    if (!note.empty()) departure_ += "\n  (" + note + ")";
    departure_ += "\nreplay: no more answers";
    if (reporter_) reporter_(nowUs, departure_);
}

std::string ReplaySession::Summary() const {
    if (departed_) return "replay: the trace was NOT followed to its end: the program departed from it at line " +
                          std::to_string(departureLine_);
    if (FollowedToEnd())
        return "replay: the trace was followed to its end (" + std::to_string(trace_.transfers.size()) +
               " transfers, line " + std::to_string(trace_.lines) + ")";
    const TraceTransfer& t = trace_.transfers[next_];
    std::string next = t.toPc ? "the device was still to send " + Hex(t.bytes)
                              : "the program was still to write " + Hex(t.bytes, partial_.size(), !partial_.empty()) +
                                    (partial_.empty() ? "" : ", " + std::to_string(partial_.size()) + " of them written");
    return "replay: the trace was NOT followed to its end: the program stopped before line " + std::to_string(t.line) +
           " (" + SectionName(t.section) + "; " + std::to_string(next_) + " of " +
           std::to_string(trace_.transfers.size()) + " transfers done): " + next;
}

// ---- The service record -------------------------------------------------------------------
namespace {

// RFC 4180 rows (quoted fields, doubled quotes, CRLF or LF), a byte-order mark skipped.
std::vector<std::vector<std::string>> CsvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false, any = false;
    size_t i = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (; i < text.size(); i++) {
        char c = text[i];
        if (quoted) {
            if (c != '"') field += c;
            else if (i + 1 < text.size() && text[i + 1] == '"') field += '"', i++;
            else quoted = false;
        } else if (c == '"') {
            quoted = any = true;
        } else if (c == ',') {
            rows.back().push_back(field), field.clear(), any = true;
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') i++;
            if (any || !field.empty()) rows.back().push_back(field);
            field.clear(), any = false;
            rows.emplace_back();
        } else {
            field += c, any = true;
        }
    }
    if (any || !field.empty()) rows.back().push_back(field);
    return rows;
}

bool ParseInterface(const std::string& interface, const std::string& usbId, Identity* id, unsigned* instance) {
    unsigned v = 0, p = 0;
    char extra;
    if (sscanf(usbId.c_str(), "%x:%x%c", &v, &p, &extra) != 2 || v > 0xFFFF || p > 0xFFFF) return false;
    *id = Identity{(uint16_t)v, (uint16_t)p};
    *instance = 1;
    // "...usb#vid_1d2b&pid_0003#0002#{...}": the instance follows the product.
    std::string lower = interface;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    size_t at = lower.find("&pid_");
    unsigned n;
    if (at != std::string::npos && sscanf(lower.c_str() + at + 9, "#%u", &n) == 1 && n > 0) *instance = n;
    return true;
}

}  // namespace

bool RecordedIdentity(const std::string& tracePath, Identity* id, unsigned* instance, std::string* where) {
    size_t slash = tracePath.find_last_of("/\\");
    std::string name = slash == std::string::npos ? tracePath : tracePath.substr(slash + 1);
    std::string folder = slash == std::string::npos ? "." : tracePath.substr(0, slash);
    size_t up = folder.find_last_of("/\\");
    std::string leaf = up == std::string::npos ? folder : folder.substr(up + 1);
    if (leaf != "traces") return false;
    std::string base = up == std::string::npos ? "." : folder.substr(0, up);
    for (const char* file : {"/service-record.csv", "/service-record.old.csv"}) {
        std::ifstream f(base + file, std::ios::binary);
        if (!f) continue;
        std::stringstream s;
        s << f.rdbuf();
        std::vector<std::vector<std::string>> rows = CsvRows(s.str());
        const std::vector<std::string>& head = rows[0];
        auto column = [&](const char* key) {
            return (size_t)(std::find(head.begin(), head.end(), key) - head.begin());
        };
        size_t trace = column("trace"), usb = column("usb_id"), iface = column("interface");
        if (trace == head.size() || usb == head.size()) continue;
        for (size_t r = rows.size(); r-- > 1;) {  // the newest row first
            const std::vector<std::string>& row = rows[r];
            if (row.size() <= std::max(trace, usb) || row[trace] != name) continue;
            if (!ParseInterface(iface < row.size() ? row[iface] : "", row[usb], id, instance)) return false;
            *where = base + file;
            return true;
        }
    }
    return false;
}

}  // namespace sim
