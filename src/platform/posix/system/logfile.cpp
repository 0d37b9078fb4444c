// logfile.cpp - the log file: one descriptor for the run, appended to with one write
// per entry.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix.h"

// O_APPEND moves every write to the end of the file as it is at that moment, in the
// same step as the write, so the entries of the two threads never overlap or mix. The
// permissions are those a stream opened with "a+" gets, and so is the reading: the
// service record copies each job's stretch through this descriptor.
PlatHandle PlatLogOpen(const char* path) {
    int fd;
    do fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? PLAT_NO_HANDLE : (PlatHandle)fd;
}

// Text is stored as it is: a line ends in "\n" here. A short write (a full disk) is a
// failed entry; the rest is not tried again, so the entry stays one write.
bool PlatLogWrite(PlatHandle h, const char* text, size_t count) {
    return WriteOnce((int)h, text, count);
}

long PlatLogReadAt(PlatHandle h, uint64_t offset, void* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = pread((int)h, (char*)buffer + done, count - done, (off_t)(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += (size_t)n;
    }
    return (long)done;
}

void PlatLogClose(PlatHandle h) { close((int)h); }
