// bootproto.cpp - the programming walk shared by the boot-mode sequences.
#include "bootmode/bootproto.h"

#include <cstring>

#include "link/link.h"

const uint8_t BOOT_END_FRAME[6] = {0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4};

// Largest unit a boot program may ask for that still fits our 4096-byte frame buffer.
static const uint32_t MAX_UNIT = 4090;

bool BootProgramWalk(const uint8_t* image, uint32_t length, uint32_t unit, BootProgramUnit send) {
    static uint8_t tail[MAX_UNIT];
    if (unit == 0 || unit > MAX_UNIT) return false;
    for (uint32_t a = 0; a < length; a += unit) {
        const uint8_t* data = image + a;
        if (length - a < unit) {
            // The image ends inside this unit: the rest reads as erased flash.
            memset(tail, 0xFF, unit);
            memcpy(tail, image + a, length - a);
            data = tail;
        }
        if (IsBlank(data, unit)) continue;
        if (!send(a, data, unit)) return false;
    }
    return true;
}
