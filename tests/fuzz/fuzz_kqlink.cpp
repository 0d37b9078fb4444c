// What comes back over KQ-LINK, fed whatever a console or a peripheral might send: the
// listen's reader of the console's CMD_LINK_HEARD frames, the packet assembler with the
// acknowledgement check, the monitors' decoding of function answers, and the check of a
// boot program's data reply. Nothing may be read or written past a buffer or a table.
#include <cstdlib>
#include <cstring>

#include "bootmode/bootproto.h"
#include "kqlink/kqlink.h"
#include "link/link.h"
#include "peripherals/monitors.h"
#include "peripherals/peripheral_update.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The listen's reader over the whole input.
    uint8_t frame[LISTEN_FRAME_CAPACITY];
    FrameReceiver r = {frame, sizeof frame, 0, false};
    HeardCount = HeardPos = 0;
    for (size_t i = 0; i < size; i++) {
        if (!LinkHeardFeed(&r, data[i])) continue;
        if (HeardCount != frame[2]) abort();
        r.length = 0;
    }
    // The assembler over the input, judged as the consumers judge it.
    AsmLength = 0;
    AsmEscape = false;
    for (size_t i = 0; i < size; i++) {
        PacketAssemble(data[i]);
        if (AsmLength > ASM_CAPACITY) abort();
        if (AsmLength > 0 && AsmBuffer[0] != PACKET_START) abort();
        if (AsmLength == 6 && (AsmBuffer[1] >> 4) == KIND_QUERY_REPLY) {
            uint8_t text[DISPLAY_TEXT_LENGTH];
            DisplayText(FunctionNumber(AsmBuffer[3], AsmBuffer[4]), AsmBuffer[4] & 1, text);
            if (text[DISPLAY_TEXT_COLUMN] != 'F') abort();
            if (strlen(FunctionName(FunctionNumber(AsmBuffer[3], AsmBuffer[4]))) > 8) abort();
        }
    }
    // The acknowledgement check on what is left of the heard bytes.
    static const uint8_t ACK[4] = {0x80, 0x03, 0x04, 0x07};
    ExpectReply(ACK, 4);
    // A boot program's data reply of any length and size byte.
    static BootSession s;
    s.replyLength = size < sizeof s.reply ? (uint32_t)size : (uint32_t)sizeof s.reply;
    memcpy(s.reply, data, s.replyLength);
    BootReplyChecksumOk(&s);
    return 0;
}
