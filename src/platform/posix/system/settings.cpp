// settings.cpp - the private profile file (kq.ini) as a small INI file in the user's
// configuration directory: $XDG_CONFIG_HOME/kqsfupdt/, else ~/.config/kqsfupdt/.
//
// The text itself is read and rewritten by profile.cpp. A write replaces the whole
// file through a temporary file and a rename, so a crash or a full disk never leaves
// half a file, and it says whether the value was stored: the MAC dialog must not count
// an address as handed out when it could not be kept.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix.h"

static std::string ConfigDirectory() { return XdgFolder("XDG_CONFIG_HOME", ".config"); }

static std::string SettingsPath(const char* file) { return ConfigDirectory() + "/" + file; }

// The whole file; false when it exists but cannot be read (a missing file is empty).
static bool ReadWholeFile(const std::string& path, std::string* text) {
    text->clear();
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return errno == ENOENT;
    char block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0) text->append(block, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

static void CopyOut(const std::string& text, char* buffer, size_t capacity) {
    if (capacity == 0) return;
    size_t n = strnlen(text.c_str(), text.size());
    if (n > capacity - 1) n = capacity - 1;
    memcpy(buffer, text.data(), n);
    buffer[n] = 0;
}

void PlatSettingRead(const char* file, const char* section, const char* key, const char* def,
                     char* buffer, size_t capacity) {
    std::string text, value;
    if (ReadWholeFile(SettingsPath(file), &text) && ProfileRead(text, section, key, &value))
        CopyOut(value, buffer, capacity);
    else
        CopyOut(def ? def : "", buffer, capacity);
}

// Nothing redirects the settings here: the file above is the only one.
bool PlatSettingReadUserCopy(const char*, const char*, const char*, char* buffer, size_t capacity) {
    if (capacity > 0) buffer[0] = 0;
    return false;
}

// Every byte onto the disk; false when any of it did not get there.
static bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += (size_t)n;
    }
    return fsync(fd) == 0;
}

// A NULL value deletes the key, as the private-profile writer does. A file the
// technician has made read-only (no write permission bit at all) is left alone and the
// write fails, as it does on Windows, even for a user whom the system would let write.
bool PlatSettingWrite(const char* file, const char* section, const char* key, const char* value) {
    std::string dir = ConfigDirectory();
    std::string parent = dir.substr(0, dir.rfind('/'));
    mkdir(parent.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::string path = SettingsPath(file);
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0) return false;
    std::string text;
    if (!ReadWholeFile(path, &text)) return false;  // never replace what we could not read
    std::string updated = ProfileUpdate(text, section, key, value);
    std::string temp = path + ".new";
    int fd = open(temp.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool written = WriteAll(fd, updated);
    if (close(fd) != 0) written = false;
    if (written && rename(temp.c_str(), path.c_str()) == 0) return true;
    unlink(temp.c_str());
    return false;
}
