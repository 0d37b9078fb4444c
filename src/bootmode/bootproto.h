// bootproto.h - what every boot-mode sequence shares: the command and reply codes of
// the processors' built-in boot program, and the programming walk.
#pragma once

#include <cstdint>

enum {
    BOOT_ACK = 0x06,
    BOOT_INQUIRY_START = 0x55,  // end of bit-rate adjustment, start of inquiries
    BOOT_INQUIRY_START_OK = 0xE6,
    BOOT_DEVICE_INQUIRY = 0x20,
    BOOT_DEVICE_SELECT = 0x10,
    BOOT_CLOCK_INQUIRY = 0x21,
    BOOT_CLOCK_SELECT = 0x11,
    BOOT_BITRATE_SELECT = 0x3F,
    BOOT_UNIT_INQUIRY = 0x27,
    BOOT_ERASE_STATE = 0x40,    // the target erases its user flash
    BOOT_PROGRAM_SELECT = 0x43, // the target loads its flash writing program
    BOOT_PROGRAM = 0x50,
    BOOT_REPLY_OFFSET = 0x10,   // a data reply's code is the command's code + 0x10
};

// The end of programming: address 0xFFFFFFFF and no data.
extern const uint8_t BOOT_END_FRAME[6];  // 50 FF FF FF FF B4

// Sends one programming frame for address with unit bytes of data; true when acked.
typedef bool (*BootProgramUnit)(uint32_t address, const uint8_t* data, uint32_t unit);

// Walks image in units, skipping units that are all 0xFF. The unit that reaches past
// the image's end is sent from a copy padded with 0xFF. Returns false at the first
// unit that failed.
bool BootProgramWalk(const uint8_t* image, uint32_t length, uint32_t unit, BootProgramUnit send);
