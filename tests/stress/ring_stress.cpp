// ring_stress.cpp - the receive ring and the reader's sleep under ThreadSanitizer. A real
// writer thread moves eight million bytes in random chunks through the 1024-byte ring,
// across thousands of wrap-arounds; the reader takes what is there and otherwise
// sleeps in PlatDataWait until the writer's signal. Nothing may be lost, doubled or
// reordered, and no signal may be lost: the writer often stops until the reader has
// taken everything, so a lost wake-up would leave the reader asleep to its (minute-
// long) deadline, which is counted and fails the run.
// Built with -fsanitize=thread; prints "1 passed, 0 failed" or what went wrong.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "link/link.h"

static const uint64_t TOTAL = 8000000;
static const uint32_t NO_WAKE_UP_US = 60000000;

// The byte at stream position i: a sequence that repeats only after 2^32 bytes.
static uint8_t Expected(uint64_t i) { return (uint8_t)((i * 2654435761u) >> 13); }

int main() {
    std::atomic<uint64_t> consumed{0};
    std::thread writer([&] {
        std::mt19937 random(12345);
        uint8_t chunk[256];
        uint64_t sent = 0;
        while (sent < TOTAL) {
            uint32_t n = 1 + random() % 256;
            if (n > TOTAL - sent) n = (uint32_t)(TOTAL - sent);
            // The reader keeps up: never more than 1023 bytes unread. One chunk in four
            // waits until the ring is empty, so the reader is asleep when it comes.
            uint64_t limit = random() % 4 == 0 ? 0 : RX_RING_SIZE - 1 - n;
            while (sent - consumed.load(std::memory_order_acquire) > limit) std::this_thread::yield();
            for (uint32_t k = 0; k < n; k++) chunk[k] = Expected(sent + k);
            RxRingStore(chunk, n);
            sent += n;
        }
    });
    uint64_t read = 0, sleeps = 0, sleptThrough = 0;
    int failures = 0;
    while (read < TOTAL && failures == 0) {
        uint8_t b;
        if (!RxRingTake(&b)) {
            auto before = std::chrono::steady_clock::now();
            PlatDataWait(NO_WAKE_UP_US);
            sleeps++;
            if (std::chrono::steady_clock::now() - before >= std::chrono::microseconds(NO_WAKE_UP_US))
                sleptThrough++;
            continue;
        }
        if (b != Expected(read)) {
            printf("byte %llu: got %02x, expected %02x\n", (unsigned long long)read, b, Expected(read));
            failures++;
        }
        read++;
        consumed.store(read, std::memory_order_release);
    }
    writer.join();
    uint8_t extra;
    if (failures == 0 && RxRingTake(&extra)) {
        printf("the ring held a byte after the last one\n");
        failures++;
    }
    if (sleptThrough != 0) {
        printf("%llu sleeps were not woken by the writer\n", (unsigned long long)sleptThrough);
        failures++;
    }
    printf("ring: %llu bytes moved, %llu wrap-arounds, %llu sleeps\n", (unsigned long long)read,
           (unsigned long long)(read / RX_RING_SIZE), (unsigned long long)sleeps);
    printf("%d passed, %d failed\n", failures ? 0 : 1, failures);
    return failures ? 1 : 0;
}
