// fifo_write.cpp - a write to a device's OUT pipe that cannot hang the program.
//
// A console that has stopped reading its OUT pipe leaves the FIFO full, and a plain
// blocking write() would then wait for ever, deaf to Ctrl+C (EINTR was retried). Here
// the write waits for room with poll(), in pieces a FIFO takes whole, until the bytes
// are gone, the time limit has passed, or the operator asks to close.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/posix.h"

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
