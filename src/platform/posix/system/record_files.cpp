// record_files.cpp - the folders and files of the service record: the folder the user's
// alone (0700, its files 0600), no symbolic link followed; appended with one write on a
// descriptor opened with O_APPEND, created with O_EXCL, read at an offset beside the
// writer. Nothing here blocks on the terminal; the test backend uses it as it is.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix.h"

// Two copies of the program hold a lock on a file or folder only for a few system
// calls; one that is held longer than this is left alone for this job.
static const int LOCK_TRIES = 50;  // of 1 ms each

static int OpenNoFollow(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

static bool LockWithin(int fd) {
    for (int t = 0; t < LOCK_TRIES; t++) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        usleep(1000);
    }
    return false;
}

// A file of ours: a plain file of this user with no other name. Wider rights left by
// an older version are taken back.
static bool OwnFile(int fd, struct stat* st) {
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode) || st->st_uid != geteuid() || st->st_nlink != 1) return false;
    if ((st->st_mode & 077) != 0) fchmod(fd, 0600);
    return true;
}

PlatFolderState PlatRecordFolder(const char* path) {
    mkdir(path, 0700);
    int fd = OpenNoFollow(path, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        struct stat st;
        if (lstat(path, &st) != 0) return PLAT_FOLDER_NONE;
        return S_ISLNK(st.st_mode) ? PLAT_FOLDER_LINK : S_ISDIR(st.st_mode) ? PLAT_FOLDER_NONE : PLAT_FOLDER_NOT_FOLDER;
    }
    struct stat st;
    PlatFolderState state = PLAT_FOLDER_OK;
    if (fstat(fd, &st) != 0) state = PLAT_FOLDER_NONE;
    else if (st.st_uid != geteuid()) state = PLAT_FOLDER_FOREIGN;
    else if ((st.st_mode & 077) != 0 && fchmod(fd, 0700) != 0) state = PLAT_FOLDER_OPEN;
    close(fd);
    return state;
}

PlatHandle PlatAppendOpen(const char* path, bool* created) {
    *created = false;
    for (;;) {
        // Created exclusively: of two programs starting the file at once, one writes
        // its header, the other appends behind it.
        int fd = OpenNoFollow(path, O_RDWR | O_APPEND | O_CREAT | O_EXCL, 0600);
        if (fd >= 0) {
            *created = true;
            return (PlatHandle)fd;
        }
        if (errno != EEXIST) return PLAT_NO_HANDLE;
        fd = OpenNoFollow(path, O_RDWR | O_APPEND);
        struct stat st;
        if (fd >= 0 && OwnFile(fd, &st)) return (PlatHandle)fd;
        if (fd >= 0) {
            close(fd);
            return PLAT_NO_HANDLE;
        }
        if (errno != ENOENT) return PLAT_NO_HANDLE;
        // removed between the two opens: try again
    }
}

PlatHandle PlatCreateNew(const char* path, bool* taken) {
    int fd = OpenNoFollow(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL, 0600);
    *taken = fd < 0 && errno == EEXIST;
    return fd < 0 ? PLAT_NO_HANDLE : (PlatHandle)fd;
}

bool PlatAppendWrite(PlatHandle h, const void* bytes, size_t count) {
    return WriteOnce((int)h, bytes, count);
}

void PlatAppendClose(PlatHandle h) { close((int)h); }

int64_t PlatFileSize(PlatHandle h) {
    struct stat st;
    return fstat((int)h, &st) == 0 ? (int64_t)st.st_size : -1;
}

long PlatReadFileAt(const char* path, uint64_t offset, void* buffer, size_t count) {
    int fd = OpenNoFollow(path, O_RDONLY);
    if (fd < 0) return -1;
    struct stat st;
    long done = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid()
                    ? PlatLogReadAt((PlatHandle)fd, offset, buffer, count)  // the same read at an offset
                    : -1;
    close(fd);
    return done;
}

// The folder part of a path and its last name.
static std::string FolderOf(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash == nullptr ? "." : slash == path ? "/" : std::string(path, (size_t)(slash - path));
}
static const char* NameOf(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// The folder is locked for the look and the rename: a second copy looks after the
// first one has renamed, and so sees the fresh file.
bool PlatRotateFile(const char* from, const char* to, int64_t limit) {
    int folder = OpenNoFollow(FolderOf(from).c_str(), O_RDONLY | O_DIRECTORY);
    if (folder < 0) return false;
    bool renamed = false;
    struct stat st;
    if (LockWithin(folder) && fstatat(folder, NameOf(from), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_size > limit)
        renamed = renameat(folder, NameOf(from), folder, NameOf(to)) == 0;
    close(folder);  // and the lock with it
    return renamed;
}

// The writer holds the lock from before its write until the file is closed; a taker
// that comes in between the create and the lock finds the file empty and leaves it.
int PlatWriteNewFile(const char* path, const void* bytes, size_t count) {
    int fd = OpenNoFollow(path, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return errno == EEXIST ? 0 : -1;
    bool written = flock(fd, LOCK_EX) == 0 && PlatAppendWrite((PlatHandle)fd, bytes, count);
    if (!written) unlink(path);
    close(fd);
    return written ? 1 : -1;
}

PlatHandle PlatTakeOpen(const char* path, void* buffer, size_t capacity, size_t* count) {
    int fd = OpenNoFollow(path, O_RDONLY);
    if (fd < 0) return PLAT_NO_HANDLE;
    struct stat st;
    // A file another copy took and removed meanwhile has no name left (st_nlink 0).
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && OwnFile(fd, &st) && st.st_size > 0 && (uint64_t)st.st_size <= capacity &&
        PlatLogReadAt((PlatHandle)fd, 0, buffer, (size_t)st.st_size) == (long)st.st_size) {
        *count = (size_t)st.st_size;
        return (PlatHandle)fd;
    }
    close(fd);
    return PLAT_NO_HANDLE;
}

void PlatTakeClose(PlatHandle h, const char* path, bool remove) {
    if (remove) unlink(path);  // still ours: only a taker, under the lock, removes it
    close((int)h);
}

bool PlatListFiles(const char* folder, void (*each)(const char* name, uint64_t size, void* context),
                   void* context) {
    int fd = OpenNoFollow(folder, O_RDONLY | O_DIRECTORY);
    DIR* d = fd < 0 ? nullptr : fdopendir(fd);
    if (d == nullptr) {
        if (fd >= 0) close(fd);
        return false;
    }
    while (dirent* e = readdir(d)) {
        struct stat st;
        if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            each(e->d_name, (uint64_t)st.st_size, context);
    }
    closedir(d);
    return true;
}
