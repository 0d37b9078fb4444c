// ring.cpp - the receive ring between the receive thread and the window thread. There
// is no lock: each side writes only its own index, and stores (or reads) the byte
// before it moves that index. More than 1023 unread bytes overwrite the oldest. After
// each store the writer wakes the reader, which sleeps while the ring is empty.
#include "link/link.h"

uint8_t RxRing[RX_RING_SIZE];
std::atomic<uint32_t> RxHead{0};
std::atomic<uint32_t> RxTail{0};

void RxRingStore(const uint8_t* bytes, uint32_t count) {
    uint32_t head = RxHead.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < count; i++) {
        RxRing[head] = bytes[i];
        head = (head + 1) & (RX_RING_SIZE - 1);
        RxHead.store(head, std::memory_order_release);
    }
    if (count != 0) PlatDataSignal();
}

bool RxRingTake(uint8_t* byte) {
    uint32_t tail = RxTail.load(std::memory_order_relaxed);
    if (tail == RxHead.load(std::memory_order_acquire)) return false;
    *byte = RxRing[tail];
    RxTail.store((tail + 1) & (RX_RING_SIZE - 1), std::memory_order_release);
    return true;
}

