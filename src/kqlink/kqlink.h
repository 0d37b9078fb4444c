// kqlink.h - the KQ-LINK port of the console, reached through the console command
// protocol: its bit rate, raw bytes onto the bus, listening for what the peripherals
// say, the KQ-LINK packet (start byte, kind and address, 7-bit checksum, doubled
// 0x80), the assembler that cuts heard bytes back into packets, discovery, and the
// raw-byte helpers of the peripherals' boot handshakes.
//
// One exchange: LinkSetSpeed first; then PacketSend or LinkSendRaw, each followed by a
// LinkListen where an answer is wanted; LinkEnd last. The console acknowledges none of
// its requests: pacing is by fixed waits.
#pragma once

#include <cstdint>

// ---- Console requests of KQ-LINK --------------------------------------------------------
enum {
    CMD_LINK_SPEED = 0x04,   // bit rate, u32 little-endian
    CMD_LINK_SEND = 0x05,    // count, then the bytes as they go onto the bus
    CMD_LINK_LISTEN = 0x06,  // wanted count, listen time in µs (u32 little-endian)
    CMD_LINK_HEARD = 0x07,   // console to PC: count, then the bytes heard
    CMD_LINK_END = 0x08,     // always 80 08 78
};

const uint32_t LINK_RATE_PACKETS = 250000;    // every packet exchange
const uint32_t LINK_RATE_BOOT = 19200;        // Remote and Receiver boot handshake
const uint32_t LINK_RATE_TEMPABOX_BOOT = 9600;

// ---- Packets ------------------------------------------------------------------------------
const uint8_t PACKET_START = 0x80;
// Kinds, in the high nibble of byte 1; the low nibble is the peripheral's address.
enum {
    KIND_LOADER_REPLY = 0x0,
    KIND_LOADER = 0x2,
    KIND_QUERY_REPLY = 0x4,
    KIND_QUERY = 0x6,
    KIND_SET = 0xA,
    KIND_ANNOUNCE = 0xC,
    KIND_DISCOVER = 0xE,
};
// Peripheral types, byte 3 of an announce.
enum { PERIPHERAL_REMOTE = 0, PERIPHERAL_RECEIVER = 1, PERIPHERAL_TEMPABOX = 2 };

// The doubled form of a packet may not exceed what one raw send carries.
const uint32_t PACKET_WIRE_MAX = 255;

// ---- Discovered peripherals -----------------------------------------------------------------
struct PeripheralRecord {
    uint8_t address;  // low nibble of the announce's byte 1
    uint8_t type;     // byte 3
    uint8_t extra1;   // byte 2, as received
    uint8_t extra2;   // byte 4, as received
};
const uint32_t PERIPHERAL_SLOTS = 15;
struct PeripheralList {
    uint8_t count;  // 0 to 15
    PeripheralRecord records[PERIPHERAL_SLOTS];
};
extern PeripheralList PeripheralTable;

// ---- What the last listen heard -----------------------------------------------------------------
const uint32_t HEARD_CAPACITY = 255;
extern uint8_t HeardBuffer[HEARD_CAPACITY];
extern uint8_t HeardCount;  // valid bytes
extern uint8_t HeardPos;    // next byte to read

// ---- Assembler, shared by every consumer of heard bytes -------------------------------------------
// Bytes beyond the buffer are dropped (AsmLength stays at the capacity); no packet a
// peripheral sends is that long.
const uint32_t ASM_CAPACITY = 200;
extern uint8_t AsmBuffer[ASM_CAPACITY];
extern uint8_t AsmLength;
extern bool AsmEscape;

// ---- Procedures ---------------------------------------------------------------------------------
// Sets the port's bit rate, then waits 30 ms.
void LinkSetSpeed(uint32_t bitRate);
// Puts count bytes on the bus as they are, then waits 30 ms + 100 µs per byte.
void LinkSendRaw(const uint8_t* bytes, uint8_t count);
// Has the console listen for time µs (or until wanted bytes came) and takes its
// CMD_LINK_HEARD answer into HeardBuffer; HeardCount 0 when none came by time + 30 ms.
// Whatever reached the ring before the listen is dropped.
void LinkListen(uint8_t wanted, uint32_t timeUs);
// The listen's reader: feeds one byte of the console's answer to r (a buffer of at
// least LISTEN_FRAME_CAPACITY bytes is enough for any answer) and, once a
// CMD_LINK_HEARD frame with a good checksum is complete, takes its payload into
// HeardBuffer and returns true. Frames of other codes or with a bad checksum are passed
// over; their bytes collect until the next frame start.
struct FrameReceiver;
// Our buffer for the console's CMD_LINK_HEARD frame: the longest valid one is 259
// bytes; anything longer is cut there and then fails its checksum.
const uint32_t LISTEN_FRAME_CAPACITY = 300;
bool LinkHeardFeed(FrameReceiver* r, uint8_t byte);
// Leaves KQ-LINK mode: 80 08 78, no wait and no answer.
void LinkEnd();
// The checksum of bytes 1 to count-1: their sum masked with 0x7F.
uint8_t PacketChecksum(const uint8_t* bytes, uint8_t count);
// Sends a whole packet with every 0x80 after byte 0 doubled. A packet whose doubled
// form exceeds 255 bytes is a fatal error ("Packet corrupt").
void PacketSend(const uint8_t* packet, uint8_t count);
// Feeds one heard byte to the assembler.
void PacketAssemble(uint8_t byte);
// Sends the discovery request and fills PeripheralTable from the announces heard.
void PeripheralDiscover();

// ---- Raw bytes of the boot handshakes ---------------------------------------------------------------
// Where a byte stands in its frame.
enum { RAW_ALONE = 0, RAW_FIRST = 1, RAW_INSIDE = 2, RAW_LAST = 3 };
// Collects the bytes of one frame and sends them with one LinkSendRaw when the frame
// is complete (RAW_ALONE, RAW_LAST).
void RawSendByte(uint8_t byte, uint8_t place);
// One listen of 10 ms for one byte: the byte, or 0xFF when none came.
uint8_t RawReadByte();
// One-byte listens of 10 ms until a byte comes or window µs (rounded down to 10 ms)
// are used up: the byte, or 0xFF.
uint8_t RawWaitByte(uint32_t windowUs);
