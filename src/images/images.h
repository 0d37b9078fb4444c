// images.h - the data the updater carries inside itself. The bytes come from the
// files in data/ (see data/MANIFEST), embedded by images.S; a vendor replaces a file
// and rebuilds. Sizes are fixed by the hardware and protocols and checked by the build.
#pragma once

#include <cstdint>

extern "C" {
extern const uint8_t ImageConsole[];        // console firmware, then its 2-byte sum
extern const uint8_t ImageMessageTable[];   // 168 console messages x 4 languages
extern const uint8_t ImageFont[];           // screen font "kqmon3", FNT version 2.00
extern const uint8_t ImageVinculum[];       // Vinculum firmware 03.68
extern const uint8_t ImageVinculumFile[];   // FTRFB.FTD: 512-byte header + firmware
extern const uint8_t ImageRemote[];         // Remote flash from address 0
extern const uint8_t ImageReceiver[];       // Receiver flash from address 0
extern const uint8_t ImageTempaBoot[];      // Tempa BOX boot record (loader)
extern const uint8_t ImageTempa[];          // Tempa BOX flash from address 0
}

const uint32_t CONSOLE_IMAGE_SIZE = 475526;  // 0x74186; the checksum follows
const uint32_t MESSAGE_TABLE_SIZE = 40305;
const uint32_t FONT_IMAGE_SIZE = 3996;
const uint32_t VINCULUM_IMAGE_SIZE = 65536;
const uint32_t VINCULUM_FILE_SIZE = 66048;
const uint32_t REMOTE_IMAGE_SIZE = 30352;
const uint32_t RECEIVER_IMAGE_SIZE = 16466;
const uint32_t TEMPA_BOOT_SIZE = 922;
const uint32_t TEMPA_IMAGE_SIZE = 2604;
