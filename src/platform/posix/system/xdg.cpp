// xdg.cpp - the program's folders under the user's base directories: kq.ini's and the
// service record's.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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
