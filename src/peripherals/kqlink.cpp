// kqlink.cpp - KQ-LINK requests to the running console.
#include "peripherals/kqlink.h"

#include "link/link.h"

static const uint8_t CMD_LINK_END = 0x08;

void LinkEnd() {
    uint8_t frame[3] = {FRAME_START, CMD_LINK_END, 0};
    frame[2] = FrameChecksum(frame, 2);  // always 0x78
    SendFrame(frame, sizeof frame);
}
