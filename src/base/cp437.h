// cp437.h - the screen's upper half of code page 437 (accented letters, box drawing)
// as Unicode, for whatever shows or keeps screen text outside the window.
#pragma once

#include <cstdint>

// The Unicode character of a screen code 0x80-0xFF.
char16_t Cp437High(uint8_t byte);
