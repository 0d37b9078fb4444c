// The console frame receiver and the receive ring, fed whatever a console (or a line
// fault) might send. The receiver must never write past its buffer, and the ring must
// hand out exactly the last bytes stored, in order.
#include <cstdlib>
#include <cstring>

#include "link/link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the receiver's capacity: a MAC reply (9), an acknowledge,
    // or the largest frame of the protocol.
    static const uint32_t capacities[] = {4, 9, 64, 1040};
    uint32_t capacity = capacities[data[0] & 3];
    uint8_t* buffer = new uint8_t[capacity];
    FrameReceiver r = {buffer, capacity, 0, false};
    for (size_t i = 1; i < size; i++) {
        FrameReceiverFeed(&r, data[i]);
        if (r.length > capacity) abort();
        if (r.length > 0 && buffer[0] != FRAME_START) abort();
        if (r.length == capacity) r.length = 0;  // as the readers do with a full frame
    }
    delete[] buffer;

    // The ring, in blocks as the receive thread stores them.
    RxHead = 0;
    RxTail = 0;
    size_t stored = 0;
    for (size_t at = 1; at < size;) {
        size_t block = 1 + data[at] % 256;
        if (block > size - at) block = size - at;
        RxRingStore(data + at, (uint32_t)block);
        stored += block;
        at += block;
    }
    size_t readable = stored % RX_RING_SIZE;
    size_t taken = 0;
    uint8_t byte;
    while (RxRingTake(&byte)) {
        if (stored < RX_RING_SIZE && byte != data[1 + taken]) abort();
        taken++;
    }
    if (taken != readable) abort();
    return 0;
}
