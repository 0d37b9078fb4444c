// settings.cpp - the private profile file (kq.ini) as a small INI file in the user's
// configuration directory: $XDG_CONFIG_HOME/kqsfupdt/, else ~/.config/kqsfupdt/.
//
// The rules of the Windows private profile: sections and keys are found without
// regard to case, blanks around keys and values are dropped, a value in matching
// quotes loses them, a line starting with ';' is a comment; a write replaces the key's
// line in place, or adds it at the end of its section, or adds the section at the end.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "platform/platform.h"

static std::string ConfigDirectory() {
    const char* xdg = getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = getenv("HOME");
        if (home == nullptr || home[0] == 0) {
            passwd* pw = getpwuid(getuid());
            home = pw ? pw->pw_dir : "/tmp";
        }
        base = std::string(home) + "/.config";
    }
    return base + "/kqsfupdt";
}

static std::string SettingsPath(const char* file) { return ConfigDirectory() + "/" + file; }

static std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

static std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) return lines;
    std::string line;
    int c;
    while ((c = fgetc(f)) != EOF) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line += (char)c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    fclose(f);
    return lines;
}

// "[name]" when the line opens a section (name into *name), else false.
static bool SectionLine(const std::string& line, std::string* name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t[0] != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    *name = Trim(t.substr(1, close - 1));
    return true;
}

// "key=value" (key and value into *key, *value), else false.
static bool KeyLine(const std::string& line, std::string* key, std::string* value) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';') return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    *key = Trim(t.substr(0, eq));
    *value = Trim(t.substr(eq + 1));
    if (value->size() >= 2 && (value->front() == '"' || value->front() == '\'') &&
        value->back() == value->front())
        *value = value->substr(1, value->size() - 2);
    return true;
}

// Index of the line of key in section, or -1; *sectionEnd is the line after the
// section's last non-blank line (-1 when the section is missing).
static int FindKey(const std::vector<std::string>& lines, const char* section, const char* key,
                   int* sectionEnd) {
    bool inSection = false;
    *sectionEnd = -1;
    for (size_t i = 0; i < lines.size(); i++) {
        std::string name, k, v;
        if (SectionLine(lines[i], &name)) {
            inSection = strcasecmp(name.c_str(), section) == 0;
            if (inSection) *sectionEnd = (int)i + 1;
            continue;
        }
        if (!inSection) continue;
        if (!Trim(lines[i]).empty()) *sectionEnd = (int)i + 1;
        if (KeyLine(lines[i], &k, &v) && strcasecmp(k.c_str(), key) == 0) return (int)i;
    }
    return -1;
}

static void CopyOut(const char* text, char* buffer, size_t capacity) {
    if (capacity == 0) return;
    size_t n = strlen(text);
    if (n > capacity - 1) n = capacity - 1;
    memcpy(buffer, text, n);
    buffer[n] = 0;
}

void PlatSettingRead(const char* file, const char* section, const char* key, const char* def,
                     char* buffer, size_t capacity) {
    std::vector<std::string> lines = ReadLines(SettingsPath(file));
    int end;
    int at = FindKey(lines, section, key, &end);
    std::string k, v;
    if (at >= 0 && KeyLine(lines[(size_t)at], &k, &v))
        CopyOut(v.c_str(), buffer, capacity);
    else
        CopyOut(def ? def : "", buffer, capacity);
}

// A NULL value deletes the key, as the private-profile writer does.
void PlatSettingWrite(const char* file, const char* section, const char* key, const char* value) {
    std::string dir = ConfigDirectory();
    std::string parent = dir.substr(0, dir.rfind('/'));
    mkdir(parent.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::string path = SettingsPath(file);
    std::vector<std::string> lines = ReadLines(path);
    int end;
    int at = FindKey(lines, section, key, &end);
    std::string entry = std::string(key) + "=" + (value ? value : "");
    if (at >= 0) {
        if (value)
            lines[(size_t)at] = entry;
        else
            lines.erase(lines.begin() + at);
    } else if (value) {
        if (end < 0) {
            if (!lines.empty() && !Trim(lines.back()).empty()) lines.push_back("");
            lines.push_back(std::string("[") + section + "]");
            lines.push_back(entry);
        } else {
            lines.insert(lines.begin() + end, entry);
        }
    }
    // Written aside and renamed, so a crash never leaves half a file.
    std::string temp = path + ".new";
    FILE* f = fopen(temp.c_str(), "w");
    if (f == nullptr) return;
    for (const std::string& line : lines) fprintf(f, "%s\n", line.c_str());
    if (fclose(f) == 0) rename(temp.c_str(), path.c_str());
    else unlink(temp.c_str());
}
