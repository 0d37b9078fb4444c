// folders.cpp - the program's folders under the user's base directories: kq.ini's and the
// service record's, and the local time the record is stamped with.
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix.h"

// The variable's folder when it holds an absolute path (as the base directory rules
// ask), or the home folder's homeRelative otherwise; then "kqsfupdt" in it.
std::string XdgFolder(const char* variable, const char* homeRelative) {
    const char* xdg = getenv(variable);
    std::string base;
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = getenv("HOME");
        if (home == nullptr || home[0] == 0) {
            passwd* pw = getpwuid(getuid());
            home = pw ? pw->pw_dir : "/tmp";
        }
        base = std::string(home) + "/" + homeRelative;
    }
    return base + "/kqsfupdt";
}

// $XDG_STATE_HOME/kqsfupdt, or ~/.local/state/kqsfupdt.
std::string StateFolderPath() { return XdgFolder("XDG_STATE_HOME", ".local/state"); }

// The parents a missing base directory needs are made 0700, as the base directory
// rules ask; the folder itself is checked as every folder of the record is.
PlatFolderState PlatStateFolder(char* path, size_t capacity) {
    std::string folder = StateFolderPath();
    int n = snprintf(path, capacity, "%s", folder.c_str());
    if (n < 0 || (size_t)n >= capacity) return PLAT_FOLDER_NONE;
    for (size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1))
        mkdir(folder.substr(0, slash).c_str(), 0700);
    return PlatRecordFolder(path);
}

void PlatGetLocalTime(PlatLocalTime* now) {
    time_t t = time(nullptr);
    struct tm local;
    localtime_r(&t, &local);
    *now = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
            local.tm_min,        local.tm_sec,     (int)(local.tm_gmtoff / 60)};
}
