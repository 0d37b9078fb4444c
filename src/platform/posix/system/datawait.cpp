// datawait.cpp - the window thread's sleep while it waits for bytes from the receive
// thread, and the receive thread's sleep while the link is closed. Both keep a signal
// that comes before the wait, so a store that races the reader's last look at the ring,
// or pipes opened just before the receive thread lies down, never get lost.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/platform.h"

// An auto-reset flag under a mutex.

static std::mutex DataMutex;
static std::condition_variable DataArrived;
static bool DataSignalled = false;

void PlatDataWait(uint32_t us) {
    std::unique_lock<std::mutex> lock(DataMutex);
    // The steady clock behind wait_for keeps the deadline to tens of microseconds.
    DataArrived.wait_for(lock, std::chrono::microseconds(us), [] { return DataSignalled; });
    DataSignalled = false;
}

void PlatDataSignal() {
    {
        std::lock_guard<std::mutex> lock(DataMutex);
        DataSignalled = true;
    }
    DataArrived.notify_one();
}

// The receive thread's wake-up: a pipe, so that the stop signal (SIGUSR1, whose
// handler does not restart calls) also ends the wait, and a byte written before the
// wait is kept for it.
struct LinkWakePipe {
    int fds[2] = {-1, -1};
    LinkWakePipe() {
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) fds[0] = fds[1] = -1;
    }
};
static LinkWakePipe& LinkWake() {
    static LinkWakePipe wake;
    return wake;
}

void PlatLinkWait() {
    int fd = LinkWake().fds[0];
    if (fd < 0) {  // no pipe to be had: look again in a while
        usleep(10000);
        return;
    }
    pollfd p = {fd, POLLIN, 0};
    poll(&p, 1, -1);
    char drain[64];
    while (read(fd, drain, sizeof drain) > 0) {
    }
}

void PlatLinkSignal() {
    int fd = LinkWake().fds[1];
    if (fd < 0) return;
    char byte = 1;
    ssize_t ignored = write(fd, &byte, 1);  // full: a wake-up is pending anyway
    (void)ignored;
}
