// peripheral_boot.h - the technical-service update of a Remote or a Receiver: its
// processor's boot program over KQ-LINK, through the running console.
#pragma once

#include <cstdint>

// The boot-mode sequence over KQ-LINK; its outcome is what it prints. The console is
// connected and the exchange open; the caller ends it with LinkEnd.
void PeripheralBootUpdate(const char* name, const uint8_t* image, uint32_t length);
