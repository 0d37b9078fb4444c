// trace_reader.cpp - a trace as text to its transfers and sections (trace_reader.h).
#include "sim/model/trace_reader.h"

#include <cstdio>

namespace sim {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWith(const std::string& s, size_t at, const char* prefix) {
    return s.compare(at, std::string::traits_type::length(prefix), prefix) == 0;
}

bool IsHeader(const std::string& line) {
    return line.size() > 10 && StartsWith(line, 0, "-----") && line.compare(line.size() - 5, 5, "-----") == 0;
}

// Shows a piece of a bad line the way a person can find it again.
std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size() && i < 24; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c >= 0x20 && c < 0x7F) {
            out += (char)c;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out + (s.size() > 24 ? "...\"" : "\"");
}

// One "Time:..." line. Returns "" or what is wrong with it.
std::string ParseTransfer(const std::string& line, TraceTransfer* t) {
    size_t at = 5;  // after "Time:"
    uint32_t stamp = 0;
    for (int i = 0; i < 8; i++, at++) {
        int d = at < line.size() ? HexDigit(line[at]) : -1;
        if (d < 0) return "not a traffic line: \"Time:\" is not followed by 8 hexadecimal digits";
        stamp = stamp << 4 | (uint32_t)d;
    }
    t->stamp = stamp;
    if (StartsWith(line, at, " ->PC Nbytes:")) {
        t->toPc = true;
        at += 13;
    } else if (StartsWith(line, at, " Mesa<- Nbytes:")) {
        t->toPc = false;
        at += 15;
    } else {
        return "not a traffic line: expected \" ->PC Nbytes:\" or \" Mesa<- Nbytes:\" after the time stamp";
    }
    uint64_t count = 0;
    size_t digits = 0;
    for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; at++, digits++)
        if ((count = count * 10 + (uint64_t)(line[at] - '0')) > 0xFFFFFFFFull) return "not a traffic line: the byte count is too large";
    if (digits == 0) return "not a traffic line: \"Nbytes:\" is not followed by a count";
    // Items: " hh" each; the blank after the last item may have been trimmed.
    while (at < line.size()) {
        if (line[at] != ' ') return "byte item " + std::to_string(t->bytes.size() + 1) + " is not separated by a blank";
        at++;
        if (at == line.size()) break;
        size_t end = line.find(' ', at);
        std::string item = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
        int hi = item.size() == 2 ? HexDigit(item[0]) : -1, lo = item.size() == 2 ? HexDigit(item[1]) : -1;
        if (hi < 0 || lo < 0)
            return "byte item " + std::to_string(t->bytes.size() + 1) + " " + Quote(item) +
                   " is not two hexadecimal digits";
        t->bytes.push_back((uint8_t)(hi << 4 | lo));
        at += 2;
    }
    if (t->bytes.size() != count)
        return "Nbytes:" + std::to_string(count) + " but " + std::to_string(t->bytes.size()) + " byte items";
    return "";
}

}  // namespace

bool ReadTrace(const std::string& text, Trace* trace, TraceError* error) {
    *trace = Trace();
    auto fail = [&](int line, const std::string& why) {
        error->line = line;
        error->text = why;
        return false;
    };
    if (text.empty()) return fail(1, "not a trace: the file is empty");
    bool seenFirst = false;
    int number = 0;
    // A byte-order mark: an editor on Windows may have added one to a copied log.
    for (size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0; at < text.size();) {
        size_t nl = text.find('\n', at);
        bool ended = nl != std::string::npos;
        std::string line = text.substr(at, ended ? nl - at : std::string::npos);
        at = ended ? nl + 1 : text.size();
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        bool traffic = StartsWith(line, 0, "Time:");
        bool header = IsHeader(line);
        if (!seenFirst && !traffic && !header)
            return fail(number, "not a trace: it begins with " + Quote(line) +
                                    ", neither a header line (-----...-----) nor a traffic line (Time:...)");
        seenFirst = true;
        if (header) {
            TraceSection s;
            s.line = number;
            s.header = line;
            s.boot = line == "-----Boot Update-----";
            trace->sections.push_back(s);
            continue;
        }
        if (!traffic) {
            for (unsigned char c : line)
                if (c < 0x20 && c != '\t') return fail(number, "not a trace line: " + Quote(line) + " holds control characters");
            continue;  // a note of a procedure
        }
        if (!ended) return fail(number, "cut off: the traffic line has no end of line");
        TraceTransfer t;
        t.line = number;
        std::string why = ParseTransfer(line, &t);
        if (!why.empty()) return fail(number, why);
        // Traffic before any header, or console frames after a boot section (the MAC
        // address command logs no header): the running console's, in a section of its own.
        bool consoleFrame = !t.toPc && !t.bytes.empty() && t.bytes[0] == 0x80;
        if (trace->sections.empty() || (trace->sections.back().boot && consoleFrame)) {
            TraceSection s;
            s.line = number;
            trace->sections.push_back(s);
        }
        t.section = (int)trace->sections.size() - 1;
        trace->sections.back().transfers++;
        trace->transfers.push_back(std::move(t));
    }
    trace->lines = number;
    return true;
}

}  // namespace sim
