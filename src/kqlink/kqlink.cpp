// kqlink.cpp - the KQ-LINK tunnel through the running console, its packets and the
// discovery of the peripherals on the bus.
#include "kqlink/kqlink.h"

#include <cstring>

#include "base/base.h"
#include "base/messages.h"
#include "base/waits.h"
#include "link/link.h"

PeripheralList PeripheralTable;
uint8_t HeardBuffer[HEARD_CAPACITY];
uint8_t HeardCount;
uint8_t HeardPos;
uint8_t AsmBuffer[ASM_CAPACITY];
uint8_t AsmLength;
bool AsmEscape;

// The console needs this long after a speed change, and after raw bytes this plus
// the time to clock them out, before it takes the next request.
static const uint32_t SPEED_PAUSE_US = 30000;
static const uint32_t SEND_PAUSE_US = 30000;
static const uint32_t SEND_PAUSE_PER_BYTE_US = 100;
// The console answers a listen at the latest this long after its listen time.
static const uint32_t LISTEN_GRACE_US = 30000;

static const uint32_t DISCOVER_LISTEN_US = 32000;
static const uint32_t ANNOUNCE_LENGTH = 6;
static const uint32_t RAW_LISTEN_US = 10000;

static void PutLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; i++) at[i] = (uint8_t)(value >> (8 * i));
}

void LinkSetSpeed(uint32_t bitRate) {
    uint8_t frame[7] = {FRAME_START, CMD_LINK_SPEED};
    PutLe32(frame + 2, bitRate);
    frame[6] = FrameChecksum(frame, 6);
    SendFrame(frame, sizeof frame);
    DelayMicroseconds(SPEED_PAUSE_US);
}

void LinkSendRaw(const uint8_t* bytes, uint8_t count) {
    uint8_t frame[3 + 255 + 1] = {FRAME_START, CMD_LINK_SEND, count};
    memcpy(frame + 3, bytes, count);
    frame[3 + count] = FrameChecksum(frame, 3u + count);
    SendFrame(frame, 4u + count);
    DelayMicroseconds(SEND_PAUSE_US + SEND_PAUSE_PER_BYTE_US * count);
}

void LinkEnd() {
    uint8_t frame[3] = {FRAME_START, CMD_LINK_END, 0};
    frame[2] = FrameChecksum(frame, 2);  // always 0x78
    SendFrame(frame, sizeof frame);
}

bool LinkHeardFeed(FrameReceiver* r, uint8_t byte) {
    FrameReceiverFeed(r, byte);
    if (r->length < 3 || r->buffer[1] != CMD_LINK_HEARD) return false;
    uint32_t n = r->buffer[2];
    if (r->length < n + 4 || r->buffer[n + 3] != FrameChecksum(r->buffer, n + 3)) return false;
    HeardCount = (uint8_t)n;
    HeardPos = 0;
    memcpy(HeardBuffer, r->buffer + 3, n);
    return true;
}

void LinkListen(uint8_t wanted, uint32_t timeUs) {
    FlushInput();
    uint8_t request[8] = {FRAME_START, CMD_LINK_LISTEN, wanted};
    PutLe32(request + 3, timeUs);
    request[7] = FrameChecksum(request, 7);
    SendFrame(request, sizeof request);
    AsmEscape = false;
    AsmLength = 0;
    HeardPos = 0;
    HeardCount = 0;

    uint8_t frame[LISTEN_FRAME_CAPACITY];
    FrameReceiver r = {frame, sizeof frame, 0, false};
    uint32_t start = MicroClock();
    uint32_t window = timeUs + LISTEN_GRACE_US;
    for (;;) {
        uint32_t elapsed = MicroClock() - start;
        if (elapsed >= window) return;
        uint8_t byte;
        if (ReadBytes(&byte, 1, window - elapsed) != 1) return;
        if (LinkHeardFeed(&r, byte)) return;
    }
}

uint8_t PacketChecksum(const uint8_t* bytes, uint8_t count) {
    uint32_t sum = 0;
    for (uint32_t i = 1; i < count; i++) sum += bytes[i];
    return (uint8_t)(sum & 0x7F);
}

void PacketSend(const uint8_t* packet, uint8_t count) {
    uint8_t staging[PACKET_WIRE_MAX + 2];
    uint32_t n = 0;
    for (uint32_t i = 0; i < count; i++) {
        staging[n++] = packet[i];
        if (i > 0 && packet[i] == PACKET_START) staging[n++] = PACKET_START;
        if (n > PACKET_WIRE_MAX) FatalError(MSG_PACKET_CORRUPT);
    }
    LinkSendRaw(staging, (uint8_t)n);
}

static void AsmAppend(uint8_t byte) {
    if (AsmLength < ASM_CAPACITY) AsmBuffer[AsmLength++] = byte;
}

// The frame-receiving rule one level up: a lone 0x80 and another byte start a packet
// (even inside another one, which is then lost); 0x80 0x80 inside a packet is one 0x80.
void PacketAssemble(uint8_t byte) {
    if (byte == PACKET_START) {
        if (!AsmEscape) {
            AsmEscape = true;
        } else {
            if (AsmLength > 0) AsmAppend(PACKET_START);
            AsmEscape = false;
        }
        return;
    }
    if (AsmEscape) {
        AsmEscape = false;
        AsmLength = 0;
        AsmAppend(PACKET_START);
    }
    if (AsmLength > 0) AsmAppend(byte);
}

static bool IsAnnounce(const uint8_t* p) {
    return (p[1] >> 4) == KIND_ANNOUNCE && PacketChecksum(p, 5) == p[5];
}

void PeripheralDiscover() {
    static const uint8_t DISCOVER[3] = {PACKET_START, KIND_DISCOVER << 4, 0x60};
    PacketSend(DISCOVER, sizeof DISCOVER);
    LinkListen(255, DISCOVER_LISTEN_US);
    PeripheralTable.count = 0;
    while (HeardPos != HeardCount) {
        PacketAssemble(HeardBuffer[HeardPos++]);
        if (AsmLength < ANNOUNCE_LENGTH) continue;
        if (IsAnnounce(AsmBuffer) && PeripheralTable.count < PERIPHERAL_SLOTS) {
            PeripheralRecord& r = PeripheralTable.records[PeripheralTable.count++];
            r.address = AsmBuffer[1] & 0x0F;
            r.type = AsmBuffer[3];
            r.extra1 = AsmBuffer[2];
            r.extra2 = AsmBuffer[4];
        }
        AsmLength = 0;
    }
}

// ---- Raw bytes ------------------------------------------------------------------------------
// The longest boot frame is 134 bytes (0x50, address, 128 data bytes, checksum); one
// raw send carries at most 255.
static uint8_t RawStaging[PACKET_WIRE_MAX];
static uint32_t RawStaged;

void RawSendByte(uint8_t byte, uint8_t place) {
    if (place == RAW_ALONE || place == RAW_FIRST) RawStaged = 0;
    if (RawStaged < sizeof RawStaging) RawStaging[RawStaged++] = byte;
    if (place == RAW_ALONE || place == RAW_LAST) LinkSendRaw(RawStaging, (uint8_t)RawStaged);
}

static bool TakeHeardByte(uint8_t* byte) {
    if (HeardPos == HeardCount) return false;
    *byte = HeardBuffer[HeardPos++];
    return true;
}

uint8_t RawReadByte() {
    LinkListen(1, RAW_LISTEN_US);
    uint8_t byte;
    return TakeHeardByte(&byte) ? byte : 0xFF;
}

uint8_t RawWaitByte(uint32_t windowUs) {
    for (uint32_t n = windowUs - windowUs % RAW_LISTEN_US; n != 0; n -= RAW_LISTEN_US) {
        LinkListen(1, RAW_LISTEN_US);
        uint8_t byte;
        if (TakeHeardByte(&byte)) return byte;
    }
    return 0xFF;
}
