// devices.cpp - the kqusb driver's interfaces as a device directory, and their pipes.
//
// The directory named by KQUSB_DEVICES (default /run/kqusb) holds one sub-directory per
// interface; its path is the interface path, so its name carries "vid_%04x&pid_%04x".
// Inside are two FIFOs: PIPE00 (PC to device), which the device holds open for
// reading, and PIPE01 (device to PC), which it holds open for writing, for as long as
// it is plugged in.
//
// After the directory's interfaces come the consoles on the USB bus (usb.cpp), whose
// interface paths have no directory: "usb#vid_1d2b&pid_0001#bus001-dev004". The
// simulator's devices thus come first, in the order of their names, then the bus's, in
// the order of bus and address.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix.h"

static const char DEFAULT_DEVICE_DIR[] = "/run/kqusb";

static std::vector<std::string> DevicePaths;

static std::string DeviceDirectory() {
    const char* dir = getenv("KQUSB_DEVICES");
    return (dir != nullptr && dir[0] != 0) ? dir : DEFAULT_DEVICE_DIR;
}

// A snapshot of the directory's interfaces, in byte-wise order of their names. No
// directory means no simulated device: an empty list, not a failure.
static bool ListDirectory(std::vector<std::string>* paths) {
    std::string dir = DeviceDirectory();
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return errno == ENOENT;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        bool isDir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st;
            std::string path = dir + "/" + e->d_name;
            isDir = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (isDir) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return strcmp(a.c_str(), b.c_str()) < 0; });
    for (const std::string& name : names) paths->push_back(dir + "/" + name);
    return true;
}

bool PlatDeviceListOpen() {
    DevicePaths.clear();
    if (!ListDirectory(&DevicePaths)) return false;
    UsbListConsoles(&DevicePaths);
    return true;
}

// A path longer than the caller's buffer is the detail that could not be fetched.
PlatDeviceResult PlatDeviceListPath(int index, char* path, size_t capacity) {
    if (index < 0 || (size_t)index >= DevicePaths.size()) return PLAT_DEVICE_END;
    int n = snprintf(path, capacity, "%s", DevicePaths[(size_t)index].c_str());
    if (n < 0 || (size_t)n >= capacity) return PLAT_DEVICE_DETAIL_ERROR;
    return PLAT_DEVICE_OK;
}

void PlatDeviceListClose() { DevicePaths.clear(); }

// ---- A write that cannot hang ----------------------------------------------------------
// A console that has stopped reading its OUT pipe leaves the FIFO full, and a plain
// blocking write() would then wait for ever, deaf to Ctrl+C (EINTR was retried). Here
// the write waits for room with poll(), in pieces a FIFO takes whole, until the bytes
// are gone, the time limit has passed, or the operator asks to close.
static uint64_t MonotonicNowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000 + (uint64_t)t.tv_nsec / 1000000;
}

long BoundedFifoWrite(int fd, const void* bytes, unsigned long count, uint32_t limitMs,
                      bool (*stopRequested)()) {
    const char* p = (const char*)bytes;
    unsigned long done = 0;
    uint64_t deadline = MonotonicNowMs() + limitMs;
    while (done < count) {
        // Room for PIPE_BUF bytes means a write of that many does not block, even on
        // a descriptor opened for blocking I/O.
        pollfd room = {fd, POLLOUT, 0};
        uint64_t now = MonotonicNowMs();
        int wait = now >= deadline ? 0 : (int)(deadline - now);
        int ready = poll(&room, 1, wait);
        if (ready < 0 && errno != EINTR) return -1;
        if (stopRequested != nullptr && stopRequested()) {
            // Closing: what fits at once may still go, nothing more is waited for.
            if (ready <= 0) return -1;
        }
        if (ready == 0) return -1;  // the device has not taken a byte within the limit
        if (ready < 0) continue;    // a signal that is not a close request
        if (room.revents & (POLLERR | POLLNVAL)) return -1;
        unsigned long piece = count - done;
        if (piece > PIPE_BUF) piece = PIPE_BUF;
        ssize_t n = write(fd, p + done, piece);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return -1;  // EPIPE (SIGPIPE is ignored), the device is gone
        done += (unsigned long)n;
    }
    return (long)done;
}

// The core opens "<interface>/PIPE00" and "<interface>/PIPE01". A FIFO only opens in
// one direction, so the name's last component decides: PIPE00 is opened for writing,
// PIPE01 for reading, anything else for both. The open does not block: writing to a
// FIFO nobody reads fails with ENXIO, which is discovery's failed CreateFile. Then the
// handle is made blocking, as the driver's pipes are.
PlatHandle PlatPipeOpen(const char* path) {
    UsbPipeName usb;
    if (UsbParsePipePath(path, &usb)) return UsbPipeOpen(path);
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    int mode = O_RDWR;
    if (strcmp(name, "PIPE00") == 0) mode = O_WRONLY;
    if (strcmp(name, "PIPE01") == 0) mode = O_RDONLY;
    int fd = open(path, mode | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return PLAT_NO_HANDLE;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        close(fd);
        return PLAT_NO_HANDLE;
    }
    return (PlatHandle)fd;
}

// End of file (the device closed its end) and every error, the stop signal's EINTR
// included, are a failed read.
long PlatPipeRead(PlatHandle h, void* buffer, unsigned long count) {
    if (UsbIsHandle(h)) return UsbPipeRead(h, buffer, count);
    ssize_t n = read((int)h, buffer, count);
    return n > 0 ? (long)n : -1;
}

// A device that stops reading fails the write within the limit. A close request of
// the operator does not cut it short: a close during an update waits for the update's
// end, and a write given up early would fail a console that is merely slow.
long PlatPipeWrite(PlatHandle h, const void* bytes, unsigned long count) {
    if (UsbIsHandle(h)) return UsbPipeWrite(h, bytes, count);
    return BoundedFifoWrite((int)h, bytes, count, PLAT_PIPE_WRITE_LIMIT_MS, nullptr);
}

void PlatPipeClose(PlatHandle h) {
    if (UsbIsHandle(h))
        UsbPipeClose(h);
    else
        close((int)h);
}
