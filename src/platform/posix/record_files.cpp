// record_files.cpp - the files of the service record: appended with one write on a
// descriptor opened with O_APPEND, created with O_EXCL, read at an offset beside the
// writer. Nothing here blocks on the terminal; the test backend uses it as it is.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"

PlatHandle PlatAppendOpen(const char* path, bool mustBeNew, bool* created) {
    *created = false;
    for (;;) {
        // Created exclusively: of two programs starting the file at once, one writes
        // its header, the other appends behind it.
        int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            *created = true;
            return (PlatHandle)fd;
        }
        if (errno == EINTR) continue;
        if (errno != EEXIST || mustBeNew) return PLAT_NO_HANDLE;
        fd = open(path, O_RDWR | O_APPEND | O_CLOEXEC);
        if (fd >= 0) return (PlatHandle)fd;
        if (errno != ENOENT && errno != EINTR) return PLAT_NO_HANDLE;
        // removed between the two opens: try again
    }
}

bool PlatAppendWrite(PlatHandle h, const void* bytes, size_t count) {
    ssize_t n;
    do n = write((int)h, bytes, count);
    while (n < 0 && errno == EINTR);
    return n == (ssize_t)count;
}

void PlatAppendClose(PlatHandle h) { close((int)h); }

int64_t PlatFileSize(PlatHandle h) {
    struct stat st;
    return fstat((int)h, &st) == 0 ? (int64_t)st.st_size : -1;
}

long PlatReadFileAt(const char* path, uint64_t offset, void* buffer, size_t count) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    long done = PlatLogReadAt((PlatHandle)fd, offset, buffer, count);  // the same read at an offset
    close(fd);
    return done;
}

bool PlatRenameFile(const char* from, const char* to) { return rename(from, to) == 0; }

bool PlatListFiles(const char* folder, void (*each)(const char* name, uint64_t size, void* context),
                   void* context) {
    DIR* d = opendir(folder);
    if (d == nullptr) return false;
    char path[4096];
    while (dirent* e = readdir(d)) {
        struct stat st;
        snprintf(path, sizeof path, "%s/%s", folder, e->d_name);
        if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) each(e->d_name, (uint64_t)st.st_size, context);
    }
    closedir(d);
    return true;
}
