// bootproto.cpp - the one boot-mode sequence: selections, bit rate, erase, the
// programming walk and the end frame, over whichever port the target is reached by.
// There are no retries: every failed step ends the run with one message.
#include "bootmode/bootproto.h"

#include <cstdio>
#include <cstring>

#include "base/base.h"
#include "base/messages.h"
#include "base/progress.h"
#include "base/screen.h"
#include "link/link.h"
#include "record/record.h"

const uint8_t BOOT_END_FRAME[6] = {0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4};

void BootShow(const BootSession* s, BootTextKind kind, const char* text) {
    if (text == nullptr) return;
    switch (kind) {
        case TEXT_NONE: return;
        case TEXT_LOG: LogAppend("%s", text); return;
        case TEXT_SCREEN: ScreenPrint(text, s->name); return;
        case TEXT_PAIR: ScreenPrintPair(text, s->name); return;
    }
}

bool BootFail(const char* format, unsigned value) {
    char message[160];
    snprintf(message, sizeof message, format, value);
    ScreenPrint("\n%s\n", message);
    return false;
}

bool BootReplyChecksumOk(const BootSession* s) {
    uint32_t size = s->reply[1];
    if (s->replyLength < 2 || size + 2 >= s->replyLength) return false;
    return FrameChecksum(s->reply, size + 2) == s->reply[size + 2];
}

void BootSendCommand(BootSession* s, uint8_t code, const uint8_t* data, uint8_t size) {
    s->frame[0] = code;
    s->frame[1] = size;
    memcpy(s->frame + 2, data, size);
    s->frame[2 + size] = FrameChecksum(s->frame, 2 + size);
    s->port->sendFrame(s->frame, 3u + size);
}

void BootSendMemoryRead(BootSession* s, uint32_t address, uint32_t count) {
    uint8_t data[9] = {BOOT_AREA_USER};
    for (int i = 0; i < 4; i++) {
        data[1 + i] = (uint8_t)(address >> (24 - 8 * i));
        data[5 + i] = (uint8_t)(count >> (24 - 8 * i));
    }
    BootSendCommand(s, BOOT_MEMORY_READ, data, sizeof data);
}

bool BootMemoryReplyOk(const BootSession* s, uint32_t count) {
    const uint8_t* r = s->readBack;
    uint32_t announced = (uint32_t)r[1] << 24 | r[2] << 16 | r[3] << 8 | r[4];
    return r[0] == BOOT_MEMORY_READ && announced == count &&
           FrameChecksum(r, count + 5) == r[count + 5];
}

bool BootReadBackDiffers(const BootSession* s, const uint8_t* image, uint32_t length, uint32_t address,
                         uint32_t count) {
    const uint8_t* data = s->readBack + 5;
    for (uint32_t i = 0; i < count; i++) {
        uint8_t expected = BootExpectedByte(image, length, address + i);
        if (data[i] == expected) continue;
        char message[160];
        snprintf(message, sizeof message, PickMessage(MSG_VERIFY_ERROR_AT), address + i, data[i], expected);
        ScreenPrint("\n%s\n", message);
        return true;
    }
    return false;
}

static void SendByte(BootSession* s, uint8_t b) {
    s->frame[0] = b;
    s->port->sendFrame(s->frame, 1);
}

// The answer where an acknowledge belongs: 0x06, a recognised error reply (the step's
// own code or 0x80, then the error byte), or anything else.
static BootAck ReadAck(BootSession* s, const BootStepText& t, uint32_t window) {
    BootAck ack = {BootAck::OTHER, 0xFF, 0};
    if (!s->port->readByte(&ack.byte, window)) return ack;
    if (ack.byte == BOOT_ACK) {
        ack.outcome = BootAck::OK;
    } else if (s->port->readsErrorByte && t.errorCode != 0 &&
               (ack.byte == t.errorCode || ack.byte == BOOT_ERROR_GENERIC)) {
        ack.outcome = BootAck::ERROR_REPLY;
        s->port->readByte(&ack.errorByte, 0);
    }
    return ack;
}

static bool Judge(const BootStepText& t, const BootAck& ack) {
    if (ack.outcome == BootAck::OK) return true;
    if (ack.outcome != BootAck::ERROR_REPLY) return BootFail(t.failure, ack.byte);
    char message[48];
    snprintf(message, sizeof message, "Response Error: 0x%02x 0x%02x", ack.byte, ack.errorByte);
    return BootFail(message);
}

// A command step: its frame, its texts, and the acknowledge within the step's window.
static bool Command(BootSession* s, BootStep step, const uint8_t* frame, uint32_t count,
                    uint32_t window) {
    const BootStepText& t = s->target->texts[step];
    BootShow(s, t.beforeKind, t.before);
    s->port->sendFrame(frame, count);
    BootShow(s, t.afterKind, t.after);
    return Judge(t, ReadAck(s, t, window));
}

static bool Select(BootSession* s, BootStep step, uint8_t code, const uint8_t* data, uint8_t size) {
    const BootStepText& t = s->target->texts[step];
    BootShow(s, t.beforeKind, t.before);
    BootSendCommand(s, code, data, size);
    BootShow(s, t.afterKind, t.after);
    return Judge(t, ReadAck(s, t, t.ackWindowUs));
}

static bool BitRate(BootSession* s) {
    const BootTarget* target = s->target;
    const BootStepText& t = target->texts[STEP_BITRATE];
    BootShow(s, t.beforeKind, t.before);
    memcpy(s->frame, target->bitRateFrame, 10);
    s->port->sendFrame(s->frame, 10);
    if (target->bitRatePauseUs) DelayMicroseconds(target->bitRatePauseUs);
    return Judge(t, ReadAck(s, t, t.ackWindowUs));
}

static bool Confirm(BootSession* s) {
    const BootStepText& t = s->target->texts[STEP_CONFIRM];
    s->port->beforeConfirm(s);
    BootShow(s, t.beforeKind, t.before);
    SendByte(s, BOOT_ACK);
    BootShow(s, t.afterKind, t.after);
    return Judge(t, ReadAck(s, t, t.ackWindowUs));
}

// One programming frame: 0x50, the address most significant byte first, the unit's
// bytes, checksum.
static bool ProgramUnit(BootSession* s, uint32_t address, const uint8_t* data) {
    const BootStepText& t = s->target->texts[STEP_PROGRAM];
    char line[64];
    snprintf(line, sizeof line, "128-byte programming (0x50), direccion: 0x%08x\n", address);
    BootShow(s, s->target->frameKind, line);
    uint8_t* f = s->frame;
    f[0] = BOOT_PROGRAM;
    for (int i = 0; i < 4; i++) f[1 + i] = (uint8_t)(address >> (24 - 8 * i));
    memcpy(f + 5, data, s->unit);
    f[5 + s->unit] = FrameChecksum(f, 5 + s->unit);
    s->port->sendFrame(f, s->unit + 6);
    uint32_t window = t.ackWindowUs ? t.ackWindowUs : s->unit * 30000 / 128 + 200000;
    if (!Judge(t, ReadAck(s, t, window))) return false;
    if (s->target->frameAcked) ScreenPrint(s->target->frameAcked, address);
    return true;
}

// Walks the image in units, skipping units that are all 0xFF; the last unit may reach
// past the image and is then sent from a copy padded with 0xFF.
static bool ProgramWalk(BootSession* s, const uint8_t* image, uint32_t length) {
    static uint8_t tail[BOOT_MAX_UNIT];
    const BootStepText& t = s->target->texts[STEP_PROGRAM];
    BootShow(s, t.beforeKind, t.before);
    uint32_t unit = s->unit;
    if (unit == 0 || unit > BOOT_MAX_UNIT) return false;
    uint32_t toSend = 0, sent = 0;
    for (uint32_t a = 0; a < length; a += unit) toSend += !IsBlank(UnitAt(image, length, a, unit, tail), unit);
    ProgressBegin(PROGRESS_PROGRAMMING, toSend);
    for (uint32_t a = 0; a < length; a += unit) {
        const uint8_t* data = UnitAt(image, length, a, unit, tail);
        if (IsBlank(data, unit)) continue;
        if (!ProgramUnit(s, a, data)) return false;
        ProgressStep(++sent);
    }
    return true;
}

static bool EndFrame(BootSession* s) {
    const BootStepText& t = s->target->texts[STEP_END];
    memcpy(s->frame, BOOT_END_FRAME, sizeof BOOT_END_FRAME);
    return Command(s, STEP_END, s->frame, sizeof BOOT_END_FRAME, t.ackWindowUs);
}

static bool RunStep(BootSession* s, BootStep step, const uint8_t* image, uint32_t length) {
    const BootStepText& t = s->target->texts[step];
    switch (step) {
        case STEP_START:
            return s->port->start(s);
        case STEP_DEVICE_INQUIRY:
        case STEP_CLOCK_INQUIRY:
        case STEP_RATIO_INQUIRY:
        case STEP_FREQUENCY_INQUIRY:
        case STEP_AREA_INQUIRY:
        case STEP_UNIT_INQUIRY:
        case STEP_STATUS_INQUIRY:
            BootShow(s, t.beforeKind, t.before);
            return s->port->inquire(s, step);
        case STEP_DEVICE_SELECT:
            return Select(s, step, BOOT_DEVICE_SELECT, s->deviceCode, 4);
        case STEP_CLOCK_SELECT:
            return Select(s, step, BOOT_CLOCK_SELECT, &s->clockMode, 1);
        case STEP_BITRATE:
            return BitRate(s);
        case STEP_CONFIRM:
            return Confirm(s);
        case STEP_ERASE:
            ProgressBeginTimed(PROGRESS_ERASING, t.ackWindowUs);
            s->frame[0] = BOOT_ERASE_STATE;
            return Command(s, step, s->frame, 1, t.ackWindowUs);
        case STEP_LOAD:
            s->frame[0] = BOOT_PROGRAM_SELECT;
            return Command(s, step, s->frame, 1, t.ackWindowUs);
        case STEP_PROGRAM:
            return ProgramWalk(s, image, length);
        case STEP_END:
            return EndFrame(s);
        case STEP_VERIFY: {
            BootShow(s, t.beforeKind, t.before);
            BootCheck check = s->port->verify(s, image, length);
            s->verified = check == CHECK_MATCH;
            return check != CHECK_MISMATCH;
        }
        case STEP_COUNT:
            break;
    }
    return false;
}

bool BootSequence(BootSession* s, const uint8_t* image, uint32_t length) {
    s->replyLength = 0;
    s->clockMode = 0;
    memset(s->deviceCode, 0, sizeof s->deviceCode);
    s->unit = s->target->fixedUnit;
    s->areaCount = 0;
    s->areasKnown = false;
    s->verified = false;
    for (uint32_t i = 0; i < s->target->stepCount; i++) {
        if (!RunStep(s, s->target->steps[i], image, length)) {
            RecordResult(RECORD_RESULT_FAILED);
            ProgressEnd(false);
            return false;
        }
    }
    ProgressEnd(true);
    // The check's own line comes before the verdict: what it found, or that nothing
    // could be found out (the verdict is then the acknowledgements' alone).
    ScreenPrintPair(s->verified ? MSG_FLASH_VERIFIED : MSG_NOT_VERIFIED);
    ScreenPrintPair(MSG_UPDATED, s->name);
    RecordResult(s->verified ? RECORD_RESULT_UPDATED : RECORD_RESULT_UPDATED_NOT_VERIFIED);
    s->port->finish(s);
    return true;
}

bool BootRun(BootSession* session, const BootPort* port, const BootTarget* target, const char* name,
             const uint8_t* image, uint32_t length) {
    session->port = port;
    session->target = target;
    session->name = name;
    return BootSequence(session, image, length);
}
