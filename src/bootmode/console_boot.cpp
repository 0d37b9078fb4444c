// console_boot.cpp - rewriting the console's flash through its processor's boot
// program over USB. Every step is one frame and one checked answer; the first failure
// ends the sequence with its message. There are no retries.
#include "bootmode/console_boot.h"

#include <cstring>

#include "bootmode/bootproto.h"
#include "link/link.h"
#include "base/messages.h"
#include "base/screen.h"
#include "base/base.h"
#include "base/waits.h"

static const uint32_t SEEK_BOOT_US = 5000000;
static const uint32_t REPLY_WINDOW_US = 200000;
// The boot program erases the whole user flash before it answers.
static const uint32_t ERASE_ACK_US = 60200000;
static const uint32_t CONFIRM_PAUSE_US = 100;
static const uint32_t MIN_UNIT = 128, MAX_UNIT = 4090;

// 250 000 bit/s, 12.00 MHz input clock, 2 ratios: x4 and x2.
static const uint8_t BITRATE_FRAME[10] = {0x3F, 0x07, 0x09, 0xC4, 0x04, 0xB0, 0x02, 0x04, 0x02, 0x31};

static uint8_t FrameBuffer[4096];
static uint8_t Reply[256];
static uint32_t ReplyLength;
static uint32_t ProgramUnit;

static void SendBytes(const uint8_t* bytes, uint32_t count) {
    memcpy(FrameBuffer, bytes, count);
    PipeWrite(FrameBuffer, count);
}

static void SendByte(uint8_t b) { SendBytes(&b, 1); }

// A command with data: code, size, data, checksum.
static void SendCommand(uint8_t code, const uint8_t* data, uint8_t size) {
    FrameBuffer[0] = code;
    FrameBuffer[1] = size;
    memcpy(FrameBuffer + 2, data, size);
    FrameBuffer[2 + size] = FrameChecksum(FrameBuffer, 2 + size);
    PipeWrite(FrameBuffer, 3u + size);
}

static bool Fail(const char* message) {
    ScreenPrint("\n%s\n", message);
    return false;
}

// The checksum follows the size data bytes; a size that puts it beyond what arrived is
// a checksum error, never a read past the reply.
static bool ReplyChecksumOk() {
    uint32_t size = Reply[1];
    if (size + 2 >= ReplyLength) return false;
    return FrameChecksum(Reply, size + 2) == Reply[size + 2];
}

// A data reply read with a window that is waited out unless the buffer fills.
static bool Inquiry(uint8_t code, const char* wrongCode, const char* emptyList) {
    SendByte(code);
    ReplyLength = ReadBytes(Reply, sizeof Reply, REPLY_WINDOW_US);
    if (ReplyLength < 4 || Reply[0] != code + BOOT_REPLY_OFFSET) return Fail(wrongCode);
    if (!ReplyChecksumOk()) return Fail("Checksum error");
    if (Reply[2] == 0) return Fail(emptyList);
    return true;
}

static bool Acknowledged(uint32_t window, const char* failure) {
    return WaitAckByte(window) == 0 ? true : Fail(failure);
}

static bool SelectDeviceAndClock() {
    LogAppend("Supported device inquiry (0x20)\n");
    if (!Inquiry(BOOT_DEVICE_INQUIRY, "Response to command 0x20 different of 0x30", "Not devices")) return false;
    uint8_t device[4];
    memcpy(device, Reply + 4, 4);  // the first device's code
    LogAppend("Device selection (0x10)\n");
    SendCommand(BOOT_DEVICE_SELECT, device, 4);
    if (!Acknowledged(REPLY_WINDOW_US, "Device selection error")) return false;

    LogAppend("Clock mode inquiry (0x21)\n");
    if (!Inquiry(BOOT_CLOCK_INQUIRY, "Response to command 0x21 different of 0x31", "Not clock modes")) return false;
    uint8_t mode = Reply[3];  // the first clock mode
    LogAppend("Clock mode selection (0x11)\n");
    SendCommand(BOOT_CLOCK_SELECT, &mode, 1);
    return Acknowledged(REPLY_WINDOW_US, "Clock mode selection error");
}

static bool SelectBitRate() {
    LogAppend("Bit-rate selection (0x3f)\n");
    SendBytes(BITRATE_FRAME, sizeof BITRATE_FRAME);
    if (!Acknowledged(REPLY_WINDOW_US, "New Bit-rate selection error")) return false;
    DelayMicroseconds(CONFIRM_PAUSE_US);
    SendByte(BOOT_ACK);
    return Acknowledged(REPLY_WINDOW_US, "New Bit-rate selection error");
}

static bool ReadProgramUnit() {
    LogAppend("Programming unit inquiry (0x27)\n");
    SendByte(BOOT_UNIT_INQUIRY);
    ReplyLength = ReadBytes(Reply, 5, REPLY_WINDOW_US);
    if (ReplyLength != 5 || Reply[0] != BOOT_UNIT_INQUIRY + BOOT_REPLY_OFFSET)
        return Fail("Response to command 0x27 different of 0x37");
    if (!ReplyChecksumOk()) return Fail("Checksum error");
    ProgramUnit = (uint32_t)Reply[2] * 256 + Reply[3];
    if (ProgramUnit < MIN_UNIT || ProgramUnit > MAX_UNIT) return Fail("Program unit error");
    return true;
}

static bool ProgramOneUnit(uint32_t address, const uint8_t* data, uint32_t unit) {
    LogAppend("128-byte programming (0x50), direccion: 0x%08x\n", address);
    FrameBuffer[0] = BOOT_PROGRAM;
    for (int i = 0; i < 4; i++) FrameBuffer[1 + i] = (uint8_t)(address >> (24 - 8 * i));
    memcpy(FrameBuffer + 5, data, unit);
    FrameBuffer[5 + unit] = FrameChecksum(FrameBuffer, 5 + unit);
    PipeWrite(FrameBuffer, unit + 6);
    return Acknowledged(unit * 30000 / 128 + 200000, "nBytes programming error");
}

static bool EraseAndProgram(const uint8_t* buffer, uint32_t length) {
    ScreenPrintPair(MSG_DELETING_FLASH);
    SendByte(BOOT_ERASE_STATE);
    if (!Acknowledged(ERASE_ACK_US, "Erasing error")) return false;
    ScreenPrintPair(MSG_TRANSFER_PROGRAMMER);
    SendByte(BOOT_PROGRAM_SELECT);
    if (!Acknowledged(REPLY_WINDOW_US, "User MAT programming selection error")) return false;
    ScreenPrintPair(MSG_PROGRAMMING_FLASH);
    if (!BootProgramWalk(buffer, length, ProgramUnit, ProgramOneUnit)) return false;
    LogAppend("128-byte programming (0x50), direccion: 0xffffffff\n");
    SendBytes(BOOT_END_FRAME, sizeof BOOT_END_FRAME);
    return Acknowledged(REPLY_WINDOW_US, "nBytes programming error");
}

bool ConsoleBootUpdate(const char* name, const uint8_t* buffer, uint32_t length) {
    LogAppend("-----Boot Update-----\n");
    ScreenPrintPair(MSG_UPDATING, name);
    SendByte(BOOT_INQUIRY_START);
    ReplyLength = ReadBytes(Reply, 1, REPLY_WINDOW_US);
    if (ReplyLength != 1 || Reply[0] != BOOT_INQUIRY_START_OK) return Fail("Response to 0x55 different of 0xe6");
    if (!SelectDeviceAndClock() || !SelectBitRate() || !ReadProgramUnit()) return false;
    if (!EraseAndProgram(buffer, length)) return false;
    ScreenPrintPair(MSG_UPDATED, name);
    ScreenPrintPair(MSG_REMOVE_BOOT_JUMPER);
    WaitKey(KEY_ENTER, KEY_NONE);
    return true;
}

void ConsoleBootFallback(const char* name, const uint8_t* buffer, uint32_t length) {
    ScreenPrintPair(MSG_NOT_FOUND, name);
    ScreenPrintPair(MSG_PUT_BOOT_JUMPER);
    WaitKey(KEY_ENTER, KEY_NONE);
    ScreenPrint("-----Boot Update-----\n");
    ScreenPrintPair(MSG_CONNECTING, name);
    if (SeekDevice(ID_BOOT_MODE, SEEK_BOOT_US))
        ConsoleBootUpdate(name, buffer, length);
    else
        ScreenPrintPair(MSG_NOT_FOUND, name);
}
