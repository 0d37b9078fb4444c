// ring_stress.cpp - the receive ring under ThreadSanitizer: a real writer thread moves
// ten million bytes in random chunks through the 1024-byte ring across thousands of
// wrap-arounds while the reader keeps up; nothing may be lost, doubled or reordered.
// Built with -fsanitize=thread; prints "1 passed, 0 failed" or the first bad byte.
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "link/link.h"

static const uint64_t TOTAL = 10000000;

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
            // The reader keeps up: never more than 1023 bytes unread.
            while (sent + n - consumed.load(std::memory_order_acquire) > RX_RING_SIZE - 1)
                std::this_thread::yield();
            for (uint32_t k = 0; k < n; k++) chunk[k] = Expected(sent + k);
            RxRingStore(chunk, n);
            sent += n;
        }
    });
    uint64_t read = 0;
    int failures = 0;
    while (read < TOTAL && failures == 0) {
        uint8_t b;
        if (!RxRingTake(&b)) continue;
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
    printf("ring: %llu bytes moved, %llu wrap-arounds\n", (unsigned long long)read,
           (unsigned long long)(read / RX_RING_SIZE));
    printf("%d passed, %d failed\n", failures ? 0 : 1, failures);
    return failures ? 1 : 0;
}
