// protocol.cpp - the console command protocol: timed primitives over the receive
// ring, framing with 0x80 doubling, and connecting to the running console.
#include <cstring>

#include "link/link.h"
#include "base/messages.h"
#include "base/screen.h"
#include "base/base.h"
#include "base/progress.h"
#include "base/waits.h"

static const uint32_t CONNECT_PAUSE_US = 1000000;
static const uint32_t CONNECT_FIRST_US = 5000000;
static const uint32_t CONNECT_SECOND_US = 2000000;

static uint8_t TxBuffer[TX_BUFFER_SIZE];
static uint8_t ChunkFrame[3 + 4 + FLASH_CHUNK + 1];

void DelayMicroseconds(uint32_t us) {
    uint32_t start = MicroClock();
    if (us >= 1000) PlatSleepMs(us / 1000);
    while ((uint32_t)(MicroClock() - start) < us) {
    }
}

uint8_t FrameChecksum(const uint8_t* bytes, uint32_t count) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i < count; i++) sum = (uint8_t)(sum + bytes[i]);
    return (uint8_t)(0u - sum);
}

bool IsBlank(const uint8_t* bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; i++)
        if (bytes[i] != 0xFF) return false;
    return true;
}

const uint8_t* UnitAt(const uint8_t* image, uint32_t size, uint32_t offset, uint32_t unit, uint8_t* tail) {
    if (size - offset >= unit) return image + offset;
    memset(tail, 0xFF, unit);
    memcpy(tail, image + offset, size - offset);
    return tail;
}

void FlushInput() { RxTail.store(RxHead.load()); }

// Takes what the ring holds and sleeps while it is empty; the receive thread's signal
// ends the sleep as soon as more bytes are stored, and the deadline stays exact.
uint32_t ReadBytes(uint8_t* buffer, uint32_t count, uint32_t timeout) {
    uint32_t start = MicroClock();
    uint32_t i = 0;
    for (;;) {
        uint32_t now = MicroClock();
        uint32_t passed = now - start;
        if (i >= count || passed >= timeout) return i;
        if (RxRingTake(&buffer[i]))
            i++;
        else
            SleepForData(now, timeout - passed);
    }
}

WaitResult WaitAckByte(uint32_t timeout) {
    uint8_t b = 0;
    if (ReadBytes(&b, 1, timeout) != 1) return WaitResult::Failed;
    return b == 0x06 ? WaitResult::Ok : WaitResult::Failed;
}

void SendFrame(const uint8_t* frame, uint32_t length) {
    if (length == 0) return;
    uint32_t n = 0;
    TxBuffer[n++] = frame[0];
    for (uint32_t i = 1; i < length; i++) {
        // A frame never needs more than twice its length; refuse rather than overrun.
        if (n + 2 > TX_BUFFER_SIZE) return;
        TxBuffer[n++] = frame[i];
        if (frame[i] == FRAME_START) TxBuffer[n++] = FRAME_START;
    }
    PipeWrite(TxBuffer, n);
}

WaitResult WaitReply(uint32_t timeout, uint8_t type) {
    uint8_t got[4];
    if (ReadBytes(got, 4, timeout) < 4) return WaitResult::Failed;
    uint8_t ack[4] = {FRAME_START, type, 0x04, 0};
    ack[3] = FrameChecksum(ack, 3);
    return memcmp(got, ack, 4) == 0 ? WaitResult::Ok : WaitResult::Failed;
}

void SendFlashRequest(uint8_t type, uint8_t sub) {
    uint8_t frame[4] = {FRAME_START, type, sub, 0};
    frame[3] = FrameChecksum(frame, 3);
    SendFrame(frame, sizeof frame);
}

void SendFlashChunk(uint8_t type, uint8_t sub, uint32_t offset, const uint8_t* data) {
    uint8_t* f = ChunkFrame;
    f[0] = FRAME_START;
    f[1] = type;
    f[2] = sub;
    for (int i = 0; i < 4; i++) f[3 + i] = (uint8_t)(offset >> (8 * i));  // low byte first
    memcpy(f + 7, data, FLASH_CHUNK);
    f[7 + FLASH_CHUNK] = FrameChecksum(f, 7 + FLASH_CHUNK);
    SendFrame(f, sizeof ChunkFrame);
}

static void FrameReceiverAppend(FrameReceiver* r, uint8_t byte) {
    if (r->length < r->capacity) r->buffer[r->length] = byte;
    if (r->length < r->capacity) r->length++;
}

void FrameReceiverFeed(FrameReceiver* r, uint8_t byte) {
    if (byte == FRAME_START) {
        if (!r->pendingStart) {
            r->pendingStart = true;
        } else {
            r->pendingStart = false;
            if (r->length != 0) FrameReceiverAppend(r, FRAME_START);
        }
        return;
    }
    if (r->pendingStart) {
        r->pendingStart = false;
        r->length = 0;
        FrameReceiverAppend(r, FRAME_START);
    }
    if (r->length != 0) FrameReceiverAppend(r, byte);
}

bool SeekDevice(UsbIdentity id, uint32_t timeout) {
    uint32_t start = MicroClock();
    while (OutPipe == PLAT_NO_HANDLE && (uint32_t)(MicroClock() - start) < timeout)
        OpenConsolePipes(id.vendor, id.product);
    return OutPipe != PLAT_NO_HANDLE;
}

uint32_t RunningConsoleSeekUs() { return CONNECT_FIRST_US + (ServiceFlag ? CONNECT_SECOND_US : 0); }

bool SeekRunningConsole() {
    if (SeekDevice(ID_CONSOLE, CONNECT_FIRST_US)) return true;
    return ServiceFlag && SeekDevice(ID_CONSOLE_SECOND, CONNECT_SECOND_US);
}

bool ConnectConsole(void (*receiver)()) {
    LinkThreadStart(receiver);
    ScreenPrintPair(MSG_CONNECTING, PRODUCT_NAME);
    ProgressBeginTimed(PROGRESS_SEARCHING, CONNECT_PAUSE_US + RunningConsoleSeekUs());
    DelayMicroseconds(CONNECT_PAUSE_US);
    bool open = SeekRunningConsole();
    if (open)
        ProgressHide();
    else
        ProgressEnd(false);
    if (!open) ScreenPrintPair(MSG_NOT_FOUND, PRODUCT_NAME);
    return open;
}

void DisconnectConsole() {
    ScreenPrintPair(MSG_DISCONNECTING);
    LinkThreadStop();
    ClosePipes();
}
