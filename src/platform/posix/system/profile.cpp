// profile.cpp - the text of a private profile file (kq.ini), read and rewritten in
// memory. No file is touched here, so every byte an editor or a failing disk may leave
// in the file can be tried against it (tests/fuzz).
//
// The rules are those of the Windows private profile: sections and keys are found
// without regard to case, blanks around names and values are dropped, a value in
// matching quotes loses them, a line starting with ';' is a comment. What editors and
// disks do to the file must not lose the stored value, or the MAC dialog would hand the
// same address out twice: a byte-order mark in front of the first section, CRLF or lone
// CR line ends, NUL bytes (a file saved as UTF-16, a sector of zeros after a crash) and
// a section that appears twice are all read through.
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "platform/posix/posix.h"

namespace {

// The file's lines without byte-order mark, NUL bytes and line-end characters.
std::vector<std::string> ProfileLines(const std::string& withNuls, bool* crlf) {
    std::string text;
    text.reserve(withNuls.size());
    for (char c : withNuls)
        if (c != 0) text += c;
    // Every mark in front: an editor that does not see the mark adds one of its own.
    size_t start = 0;
    for (;;) {
        if (text.compare(start, 3, "\xEF\xBB\xBF") == 0)
            start += 3;  // UTF-8
        else if (text.compare(start, 2, "\xFF\xFE") == 0 || text.compare(start, 2, "\xFE\xFF") == 0)
            start += 2;  // UTF-16: its ASCII characters remain once the NULs are gone
        else
            break;
    }
    *crlf = text.find("\r\n") != std::string::npos;
    std::vector<std::string> lines;
    std::string line;
    bool open = false;
    for (size_t i = start; i < text.size(); i++) {
        char c = text[i];
        if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') i++;
            lines.push_back(line);
            line.clear();
            open = false;
            continue;
        }
        open = true;
        line += c;
    }
    if (open) lines.push_back(line);
    return lines;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && IsBlank(s[a])) a++;
    while (b > a && IsBlank(s[b - 1])) b--;
    return s.substr(a, b - a);
}

// "[name]": true with the name; a line that is not a section line gives false.
bool SectionLine(const std::string& line, std::string* name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t[0] != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    *name = Trim(t.substr(1, close - 1));
    return true;
}

// "key=value": true with both trimmed (the value without matching quotes).
bool KeyLine(const std::string& line, std::string* key, std::string* value) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '[') return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    *key = Trim(t.substr(0, eq));
    *value = Trim(t.substr(eq + 1));
    if (value->size() >= 2 && (value->front() == '"' || value->front() == '\'') &&
        value->back() == value->front())
        *value = value->substr(1, value->size() - 2);
    return true;
}

bool SameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// Where a section and its key are: every line of the section's key (first one first),
// the first line of the first copy of the section, and the line after the last
// non-blank line of that first copy. -1 for what is missing.
struct KeyPlace {
    std::vector<size_t> keyLines;
    long sectionLine = -1;
    long sectionEnd = -1;
};

KeyPlace FindKey(const std::vector<std::string>& lines, const char* section, const char* key) {
    KeyPlace place;
    bool inSection = false, inFirstCopy = false;
    for (size_t i = 0; i < lines.size(); i++) {
        std::string name, k, v;
        if (SectionLine(lines[i], &name)) {
            inSection = SameName(name, section);
            inFirstCopy = inSection && place.sectionLine < 0;
            if (inFirstCopy) place.sectionLine = place.sectionEnd = (long)i + 1;
            continue;
        }
        if (!inSection) continue;
        if (inFirstCopy && !Trim(lines[i]).empty()) place.sectionEnd = (long)i + 1;
        if (KeyLine(lines[i], &k, &v) && SameName(k, key)) place.keyLines.push_back(i);
    }
    return place;
}

}  // namespace

bool ProfileRead(const std::string& text, const char* section, const char* key,
                 std::string* value) {
    bool crlf;
    std::vector<std::string> lines = ProfileLines(text, &crlf);
    KeyPlace place = FindKey(lines, section, key);
    if (place.keyLines.empty()) return false;
    std::string k;
    return KeyLine(lines[place.keyLines[0]], &k, value);
}

std::string ProfileUpdate(const std::string& text, const char* section, const char* key,
                          const char* value) {
    bool crlf;
    std::vector<std::string> lines = ProfileLines(text, &crlf);
    KeyPlace place = FindKey(lines, section, key);
    std::string entry = std::string(key) + "=" + (value ? value : "");
    // The first line of the key keeps it (or loses it, for a NULL value); later copies,
    // in the same section or a duplicate of it, would only confuse the next reader.
    for (size_t n = place.keyLines.size(); n-- > 1;)
        lines.erase(lines.begin() + (long)place.keyLines[n]);
    if (!place.keyLines.empty()) {
        if (value)
            lines[place.keyLines[0]] = entry;
        else
            lines.erase(lines.begin() + (long)place.keyLines[0]);
    } else if (value && place.sectionLine >= 0) {
        lines.insert(lines.begin() + place.sectionEnd, entry);
    } else if (value) {
        if (!lines.empty() && !Trim(lines.back()).empty()) lines.push_back("");
        lines.push_back(std::string("[") + section + "]");
        lines.push_back(entry);
    }
    std::string out;
    for (const std::string& line : lines) out += line + (crlf ? "\r\n" : "\n");
    return out;
}
