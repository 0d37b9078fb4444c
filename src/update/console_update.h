// console_update.h - "Update Console": the flash buffer written through the running
// console (user mode), or through the processor's boot mode when no console answers.
#pragma once

#include <cstdint>

// Body of the menu command "Update Console".
void UpdateConsoleCommand();
// Erases the console's 16 blocks and programs every non-blank 1024-byte chunk; true
// when the console acknowledged every request.
bool UserModeUpdate(const char* name, const uint8_t* buffer, uint32_t size);
