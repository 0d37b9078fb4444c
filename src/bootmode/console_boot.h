// console_boot.h - the console's processor in boot mode, over USB: the last resort of
// "Update Console" when no running console answers.
#pragma once

#include <cstdint>

// Asks for the BOOT jumper, seeks the boot-mode identity for 5 s and, when found, runs
// ConsoleBootUpdate. The receive thread is running and the pipes are closed.
void ConsoleBootFallback(const char* name, const uint8_t* buffer, uint32_t length);
// The boot-mode sequence over the pipes; true when the end frame was acknowledged.
bool ConsoleBootUpdate(const char* name, const uint8_t* buffer, uint32_t length);
