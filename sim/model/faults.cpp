// faults.cpp - fault plans: parsing, printing and matching requests.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/model/framework.h"

namespace sim {

namespace {

struct KindName {
    FaultKind kind;
    const char* name;
};
const KindName KIND_NAMES[] = {
    {FaultKind::Drop, "drop"},       {FaultKind::Delay, "delay"},   {FaultKind::Corrupt, "corrupt"},
    {FaultKind::Twice, "twice"},     {FaultKind::Unplug, "unplug"}, {FaultKind::WrongCode, "wrongcode"},
    {FaultKind::BadSum, "badsum"},   {FaultKind::Short, "short"},   {FaultKind::Zero, "zero"},
    {FaultKind::Unit, "unit"},       {FaultKind::Error, "error"},    {FaultKind::Units, "units"},
    {FaultKind::Blank, "blank"},     {FaultKind::Cut, "cut"},       {FaultKind::Miswrite, "miswrite"},
};

const char* NameOf(FaultKind kind) {
    for (const KindName& k : KIND_NAMES)
        if (k.kind == kind) return k.name;
    return "?";
}

// Kinds whose value reads best in hexadecimal (codes and masks).
bool HexValue(FaultKind kind) { return kind == FaultKind::WrongCode || kind == FaultKind::Error; }

bool ParseNumber(const std::string& s, uint64_t* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != 0 || s[0] == '-') return false;
    *out = v;
    return true;
}

bool ParseIndex(const std::string& s, Fault* f) {
    if (s.empty() || s == "*") {
        f->first = 0, f->last = 0;
        return true;
    }
    uint64_t a = 0, b = 0;
    if (s[0] == '~') {
        if (!ParseNumber(s.substr(1), &a) || a > 100) return false;
        f->percent = (int)a;
        f->first = 0, f->last = 0;
        return true;
    }
    size_t dash = s.find('-');
    if (dash == std::string::npos) {
        if (!ParseNumber(s, &a) || a == 0 || a > 1000000000) return false;
        f->first = f->last = (int)a;
        return true;
    }
    if (!ParseNumber(s.substr(0, dash), &a) || a == 0 || a > 1000000000) return false;
    f->first = (int)a;
    if (dash + 1 == s.size()) {
        f->last = 0;
        return true;
    }
    if (!ParseNumber(s.substr(dash + 1), &b) || b < a || b > 1000000000) return false;
    f->last = (int)b;
    return true;
}

uint64_t Mix(uint64_t x) {  // splitmix64
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Why a fault's value does not suit its kind; nullptr when it does.
const char* CheckValue(const Fault& f) {
    switch (f.kind) {
        case FaultKind::Delay:
        case FaultKind::Unit:
        case FaultKind::Units:
            if (!f.hasValue) return "needs =value";
            break;
        case FaultKind::Cut:
            if (f.hasValue && f.value > 1000) return "value is per mille of the work (0 to 1000)";
            break;
        case FaultKind::WrongCode:
        case FaultKind::Error:
            if (f.hasValue && f.value > 0xFF) return "value is a byte";
            break;
        case FaultKind::Drop:
        case FaultKind::Twice:
        case FaultKind::Unplug:
        case FaultKind::BadSum:
        case FaultKind::Zero:
        case FaultKind::Blank:
            if (f.hasValue) return "takes no value";
            break;
        default:
            break;
    }
    return nullptr;
}

// "=value" or, for corrupt, "=byte/mask".
const char* ParseValue(const std::string& value, Fault* f) {
    uint64_t v = 0, m = 0;
    std::string v1 = value, v2;
    size_t slash = value.find('/');
    if (slash != std::string::npos) {
        if (f->kind != FaultKind::Corrupt) return "only corrupt takes byte/mask";
        v1 = value.substr(0, slash), v2 = value.substr(slash + 1);
        if (!ParseNumber(v2, &m) || m == 0 || m > 0xFF) return "bad mask";
    }
    if (!ParseNumber(v1, &v) || v > 0xFFFFFFFFull) return "bad value";
    f->hasValue = true;
    f->value = (uint32_t)v;
    f->mask = (uint32_t)m;
    return nullptr;
}

// One fault, "kind:request[#index][=value]"; returns why it is not one, or nullptr.
const char* ParseFault(const std::string& item, Fault* f) {
    size_t colon = item.find(':');
    if (colon == std::string::npos) return "expected kind:request[#index][=value]";
    std::string name = item.substr(0, colon);
    bool known = false;
    for (const KindName& k : KIND_NAMES)
        if (name == k.name) f->kind = k.kind, known = true;
    if (!known) return "unknown fault kind";
    std::string rest = item.substr(colon + 1);
    std::string value;
    size_t eq = rest.find('=');
    if (eq != std::string::npos) value = rest.substr(eq + 1), rest = rest.substr(0, eq);
    std::string index;
    size_t hash = rest.find('#');
    if (hash != std::string::npos) index = rest.substr(hash + 1), rest = rest.substr(0, hash);
    if (rest.empty()) return "no request kind";
    for (char c : rest)
        if (!(isalnum((unsigned char)c) || c == '_')) return "bad request kind";
    f->target = rest;
    if (!ParseIndex(index, f)) return "bad index (use #3, #3-5, #3-, #* or #~25)";
    if (eq != std::string::npos) {
        if (const char* why = ParseValue(value, f)) return why;
    }
    return CheckValue(*f);
}

}  // namespace

bool FaultPlan::Parse(const std::string& text, FaultPlan* plan, std::string* error) {
    FaultPlan result;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(pos, comma - pos);
        pos = comma + 1;
        while (!item.empty() && item.front() == ' ') item.erase(0, 1);
        while (!item.empty() && item.back() == ' ') item.pop_back();
        if (item.empty()) {
            if (comma == text.size()) break;
            continue;
        }
        const char* why = nullptr;
        uint64_t seed;
        Fault f;
        if (item.compare(0, 5, "seed=") == 0) {
            if (ParseNumber(item.substr(5), &seed)) result.seed_ = seed;
            else why = "bad seed";
        } else if ((why = ParseFault(item, &f)) == nullptr) {
            result.faults_.push_back(f);
        }
        if (why != nullptr) {
            if (error) *error = "fault \"" + item + "\": " + why;
            return false;
        }
    }
    *plan = result;
    return true;
}

FaultPlan FaultPlan::FromText(const std::string& text) {
    FaultPlan plan;
    std::string error;
    if (!Parse(text, &plan, &error)) {
        fprintf(stderr, "bad fault plan: %s\n", error.c_str());
        abort();
    }
    return plan;
}

std::string FaultPlan::ToString() const {
    std::string out;
    char buf[64];
    for (const Fault& f : faults_) {
        if (!out.empty()) out += ",";
        out += NameOf(f.kind);
        out += ":" + f.target;
        if (f.percent > 0)
            snprintf(buf, sizeof buf, "#~%d", f.percent);
        else if (f.first == 0)
            snprintf(buf, sizeof buf, "#*");
        else if (f.last == 0)
            snprintf(buf, sizeof buf, "#%d-", f.first);
        else if (f.last == f.first)
            snprintf(buf, sizeof buf, "#%d", f.first);
        else
            snprintf(buf, sizeof buf, "#%d-%d", f.first, f.last);
        out += buf;
        if (f.hasValue) {
            if (HexValue(f.kind))
                snprintf(buf, sizeof buf, "=0x%02X", f.value);
            else if (f.mask != 0)
                snprintf(buf, sizeof buf, "=%u/0x%02X", f.value, f.mask);
            else
                snprintf(buf, sizeof buf, "=%u", f.value);
            out += buf;
        }
    }
    bool seeded = seed_ != 1;
    if (seeded) {
        snprintf(buf, sizeof buf, "%sseed=%llu", out.empty() ? "" : ",", (unsigned long long)seed_);
        out += buf;
    }
    return out;
}

uint64_t FaultPlan::Random(const std::string& kind, int index, unsigned salt) const {
    uint64_t h = 1469598103934665603ull;  // FNV-1a over the kind
    for (char c : kind) h = (h ^ (uint8_t)c) * 1099511628211ull;
    return Mix(Mix(seed_ ^ h) + (uint64_t)index * 0x100000001B3ull + salt);
}

std::vector<Fault> FaultPlan::Match(const std::string& kind, int index) const {
    std::vector<Fault> hits;
    for (size_t i = 0; i < faults_.size(); i++) {
        const Fault& f = faults_[i];
        if (f.target != kind) continue;
        bool hit;
        if (f.percent > 0)
            hit = Random(kind, index, (unsigned)i) % 100 < (uint64_t)f.percent;
        else if (f.first == 0)
            hit = true;
        else
            hit = index >= f.first && (f.last == 0 || index <= f.last);
        if (hit) hits.push_back(f);
    }
    return hits;
}

}  // namespace sim
