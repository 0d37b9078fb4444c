// peripheral_update.h - writing the peripherals on KQ-LINK through their loaders:
// a Remote or a Receiver running its own firmware, and the Tempa BOX from its boot
// mode; and the bodies of "Update Remote", "Update Receiver" and "Update Tempa BOX".
#pragma once

#include <cstdint>

// Loader packets (kind 2, byte 1 is 0x20 + address) and their acknowledgement.
enum { LOADER_BEGIN = 0x00, LOADER_ERASE = 0x01, LOADER_WRITE = 0x02, LOADER_FINISH = 0x03, LOADER_ACK = 0x04 };

// True when the last packet heard is exactly the count expected bytes.
bool ExpectReply(const uint8_t* expected, uint8_t count);
// Writes a Remote or Receiver at address through its resident loader: 15 block
// erases (block 1 is kept), every 128-byte chunk that is not blank, finish. Prints
// "...OK..." or "...ERROR...".
void PeripheralUpdate(uint8_t address, const uint8_t* image, uint32_t size);
// The Tempa BOX in boot mode: bit-rate adjustment at 9600 bit/s, erase, the boot
// record echoed byte by byte, then the image through that loader at 250 000 bit/s.
void TempaBoxUpdate(const char* name, const uint8_t* bootRecord, uint16_t bootSize, const uint8_t* image,
                    uint16_t imageSize);

// Bodies of commands 105, 106 and 109 (inside the console frame of the shell).
void UpdateRemoteCommand();
void UpdateReceiverCommand();
void UpdateTempaBoxCommand();
