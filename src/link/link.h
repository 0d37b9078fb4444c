// link.h - the USB link to a device: discovery, the two pipes, the receive thread and
// ring, and the console command protocol with its timed primitives.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

// ---- USB identities ------------------------------------------------------------------
struct UsbIdentity {
    uint16_t vendor;
    uint16_t product;
};
extern const UsbIdentity ID_CONSOLE;         // 0x1D2B/0x0001, the running console
extern const UsbIdentity ID_CONSOLE_SECOND;  // 0x1D2B/0x0003, sought in service mode
extern const UsbIdentity ID_CONSOLE_LAST;    // 0xFFFF/0x0001, last try before boot mode
extern const UsbIdentity ID_BOOT_MODE;       // 0x045B/0x0025, the processor in boot mode

// ---- Pipes -------------------------------------------------------------------------------
extern std::atomic<PlatHandle> OutPipe;  // PC to device, -1 when closed
extern std::atomic<PlatHandle> InPipe;   // device to PC, -1 when closed

// Seeks the identity among the driver's interfaces and opens both pipes; success
// shows as OutPipe != -1. Failed steps print "\n%s\n" with the step's name.
void OpenConsolePipes(uint16_t vendor, uint16_t product);
// Closes whichever pipe is open; each handle is taken and invalidated atomically, so
// it is closed once even when both threads close at the same moment.
void ClosePipes();
// Logs and writes count bytes to OutPipe; nothing at all on a closed link.
void PipeWrite(const uint8_t* bytes, uint32_t count);

// ---- Receive ring ------------------------------------------------------------------------
const uint32_t RX_RING_SIZE = 1024;
extern uint8_t RxRing[RX_RING_SIZE];
extern std::atomic<uint32_t> RxHead;  // advanced only by the receive thread
extern std::atomic<uint32_t> RxTail;  // advanced only by the reader
// Bytes the receive thread stores in the ring (exposed for the ring test).
void RxRingStore(const uint8_t* bytes, uint32_t count);
// Takes one byte from the ring; false when it is empty.
bool RxRingTake(uint8_t* byte);

// ---- Receive thread ------------------------------------------------------------------------
// The body of the receive thread: empties the ring, then drains InPipe into it and
// logs every read until LinkThreadStop.
void ReceiveThread();
// Empties the ring and starts routine as the receive thread (ReceiveThread, or the
// MAC dialog's receiver).
void LinkThreadStart(void (*routine)());
// Stops the receive thread: flags it, cancels its blocking read and joins it. The ring
// indices stay consistent. Safe when no thread runs.
void LinkThreadStop();
// True once LinkThreadStop has asked the thread to end (read by the thread routine).
bool LinkThreadStopping();
// For a receive thread routine: the next read of InPipe, at most capacity bytes. While
// the link is closed it waits for it; a failed read closes both pipes. Returns the
// count read (0 is possible), or -1 once the thread is asked to stop.
long LinkThreadRead(uint8_t* block, uint32_t capacity);

// ---- Console protocol ------------------------------------------------------------------------
const uint8_t FRAME_START = 0x80;
const uint8_t FRAME_USER_UPDATE = 0x7F;  // console flash requests
const uint8_t FRAME_VINCULUM = 0x00;     // Vinculum flash requests
const uint32_t TX_BUFFER_SIZE = 4096;

void DelayMicroseconds(uint32_t us);
uint8_t FrameChecksum(const uint8_t* bytes, uint32_t count);
bool IsBlank(const uint8_t* bytes, uint32_t count);
// The unit of an image at offset. A unit that reaches past the image's end is copied
// into tail (unit bytes, owned by the caller) and padded with 0xFF, the erased value.
const uint8_t* UnitAt(const uint8_t* image, uint32_t size, uint32_t offset, uint32_t unit, uint8_t* tail);
void FlushInput();
uint32_t ReadBytes(uint8_t* buffer, uint32_t count, uint32_t timeout);
// The result of an acknowledgement wait: a name, so a test of it reads as what it means.
enum class WaitResult { Ok = 0, Failed = 1 };
// Ok when one byte 0x06 came within timeout.
WaitResult WaitAckByte(uint32_t timeout);
// Stuffs the frame (every 0x80 after byte 0 doubled) and writes it with one PipeWrite.
void SendFrame(const uint8_t* frame, uint32_t length);
// Ok when the 4 bytes 80 type 04 checksum came within timeout.
WaitResult WaitReply(uint32_t timeout, uint8_t type);

// The flash requests of the console (type 0x7F) and of its Vinculum (type 0x00):
// a short request 80 type sub checksum, and a chunk request 80 type sub, the offset in
// 4 bytes low byte first, 1024 data bytes and the checksum (1032 bytes).
const uint32_t FLASH_CHUNK = 1024;
void SendFlashRequest(uint8_t type, uint8_t sub);
void SendFlashChunk(uint8_t type, uint8_t sub, uint32_t offset, const uint8_t* data);

// The frame-receiving rule shared by every receiver that parses console frames: a
// single 0x80 then another byte starts a frame; 0x80 0x80 inside a frame is one 0x80.
struct FrameReceiver {
    uint8_t* buffer;
    uint32_t capacity;  // bytes beyond it are dropped, never written past the end
    uint32_t length;
    bool pendingStart;
};
void FrameReceiverFeed(FrameReceiver* r, uint8_t byte);

// Tries the identity again and again, without pause, until the pipes are open or
// timeout microseconds have passed since the call. True when open.
bool SeekDevice(UsbIdentity id, uint32_t timeout);
// Seeks the running console: its first identity for 5 s, then in service mode its
// second for 2 s. True when its pipes are open.
bool SeekRunningConsole();
// How long SeekRunningConsole may take at most: 5 s, 7 s in service mode.
uint32_t RunningConsoleSeekUs();
// Starts receiver on the receive thread, prints "Connecting to...", waits 1 s and seeks
// the running console (5 s, then 2 s for the second identity in service mode).
bool ConnectConsole(void (*receiver)());
// Prints "Disconnecting...", stops the receive thread and closes the pipes.
void DisconnectConsole();
