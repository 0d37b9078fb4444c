// datawait.cpp - the window thread's sleep while it waits for bytes from the receive
// thread. An auto-reset flag under a mutex: a signal that comes before the wait is
// kept, so a store that races the reader's last look at the ring never gets lost.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/platform.h"

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
