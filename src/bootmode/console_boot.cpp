// console_boot.cpp - rewriting the console's flash through its processor's boot
// program over USB: the boot sequence on the USB port. Frames go out whole through the
// pipe; replies come from the receive ring, and a data reply is read with a window
// that is waited out unless the buffer fills. After the end frame the whole buffer is
// read back (0x52) and compared: over USB the 512 KiB come back in 517 reads, about
// 2 % of the update, and a difference is named by its address.
#include "bootmode/console_boot.h"

#include <cstring>

#include "base/base.h"
#include "base/progress.h"
#include "base/messages.h"
#include "base/screen.h"
#include "base/waits.h"
#include "bootmode/bootproto.h"
#include "link/link.h"
#include "record/record.h"

static const uint32_t SEEK_BOOT_US = 5000000;
static const uint32_t REPLY_WINDOW_US = 200000;
// The boot program erases the whole user flash before it answers.
static const uint32_t ERASE_ACK_US = 60200000;
static const uint32_t CONFIRM_PAUSE_US = 100;
static const uint32_t MIN_UNIT = 128;
static const uint32_t INQUIRY_READ = 256;  // a data reply is read whole, up to 256 bytes
static const uint32_t UNIT_REPLY = 5;      // 0x37, size, unit (2 bytes), checksum
// A read reply of 1022 bytes fits the 1024-byte receive ring, which the window thread
// empties as it fills; fewer, longer reads halve the time the check adds.
static const uint32_t READ_CHUNK = BOOT_READ_MAX;

// 250 000 bit/s, 12.00 MHz input clock, 2 ratios: x4 and x2.
static const uint8_t USB_BITRATE_FRAME[10] = {0x3F, 0x07, 0x09, 0xC4, 0x04, 0xB0, 0x02, 0x04, 0x02, 0x31};

static const BootStep USB_STEPS[] = {
    STEP_START,      STEP_DEVICE_INQUIRY, STEP_DEVICE_SELECT, STEP_CLOCK_INQUIRY,
    STEP_CLOCK_SELECT, STEP_BITRATE,      STEP_CONFIRM,       STEP_UNIT_INQUIRY,
    STEP_ERASE,      STEP_LOAD,           STEP_PROGRAM,       STEP_END,
    STEP_VERIFY,
};

// Log lines go to the log just before their frame; the USB sequence reads no error
// bytes, so any answer but 0x06 fails the step with its message.
static constexpr BootStepText USB_TEXTS[STEP_COUNT] = {
    {.step = STEP_START, .failure = "Response to 0x55 different of 0xe6"},
    {.step = STEP_DEVICE_INQUIRY, .beforeKind = TEXT_LOG, .before = "Supported device inquiry (0x20)\n",
     .failure = "Response to command 0x20 different of 0x30"},
    {.step = STEP_CLOCK_INQUIRY, .beforeKind = TEXT_LOG, .before = "Clock mode inquiry (0x21)\n",
     .failure = "Response to command 0x21 different of 0x31"},
    {.step = STEP_RATIO_INQUIRY},
    {.step = STEP_FREQUENCY_INQUIRY},
    {.step = STEP_DEVICE_SELECT, .beforeKind = TEXT_LOG, .before = "Device selection (0x10)\n",
     .failure = "Device selection error", .ackWindowUs = REPLY_WINDOW_US},
    {.step = STEP_CLOCK_SELECT, .beforeKind = TEXT_LOG, .before = "Clock mode selection (0x11)\n",
     .failure = "Clock mode selection error", .ackWindowUs = REPLY_WINDOW_US},
    {.step = STEP_BITRATE, .beforeKind = TEXT_LOG, .before = "Bit-rate selection (0x3f)\n",
     .failure = "New Bit-rate selection error", .ackWindowUs = REPLY_WINDOW_US},
    {.step = STEP_CONFIRM, .failure = "New Bit-rate selection error", .ackWindowUs = REPLY_WINDOW_US},
    {.step = STEP_AREA_INQUIRY},
    {.step = STEP_UNIT_INQUIRY, .beforeKind = TEXT_LOG, .before = "Programming unit inquiry (0x27)\n",
     .failure = "Response to command 0x27 different of 0x37"},
    {.step = STEP_ERASE, .beforeKind = TEXT_PAIR, .before = MSG_DELETING_FLASH, .failure = "Erasing error",
     .ackWindowUs = ERASE_ACK_US},
    {.step = STEP_STATUS_INQUIRY},
    {.step = STEP_LOAD, .beforeKind = TEXT_PAIR, .before = MSG_TRANSFER_PROGRAMMER,
     .failure = "User MAT programming selection error", .ackWindowUs = REPLY_WINDOW_US},
    {.step = STEP_PROGRAM, .beforeKind = TEXT_PAIR, .before = MSG_PROGRAMMING_FLASH,
     .failure = "nBytes programming error"},
    {.step = STEP_END, .beforeKind = TEXT_LOG, .before = "128-byte programming (0x50), direccion: 0xffffffff\n",
     .failure = "nBytes programming error", .ackWindowUs = REPLY_WINDOW_US},
    {.step = STEP_VERIFY},  // one log line per read (UsbVerify)
};
static_assert(BootTextsInStepOrder(USB_TEXTS));

static const BootTarget USB_TARGET = {
    .steps = USB_STEPS,
    .stepCount = sizeof USB_STEPS / sizeof USB_STEPS[0],
    .texts = USB_TEXTS,
    .bitRateFrame = USB_BITRATE_FRAME,
    .bitRatePauseUs = 0,
    .fixedUnit = 0,  // the unit comes from the 0x27 reply
    .frameKind = TEXT_LOG,
    .frameAcked = nullptr,
};

static void UsbSendFrame(const uint8_t* frame, uint32_t count) { PipeWrite(frame, count); }

static bool UsbReadByte(uint8_t* byte, uint32_t windowUs) { return ReadBytes(byte, 1, windowUs) == 1; }

static bool UsbStart(BootSession* s) {
    LogAppend("-----Boot Update-----\n");
    ScreenPrintPair(MSG_UPDATING, s->name);
    s->frame[0] = BOOT_INQUIRY_START;
    PipeWrite(s->frame, 1);
    s->replyLength = ReadBytes(s->reply, 1, REPLY_WINDOW_US);
    if (s->replyLength != 1 || s->reply[0] != BOOT_INQUIRY_START_OK)
        return BootFail(USB_TEXTS[STEP_START].failure);
    return true;
}

static uint8_t StepCode(BootStep step) {
    switch (step) {
        case STEP_DEVICE_INQUIRY: return BOOT_DEVICE_INQUIRY;
        case STEP_CLOCK_INQUIRY: return BOOT_CLOCK_INQUIRY;
        case STEP_UNIT_INQUIRY: return BOOT_UNIT_INQUIRY;
        default: return 0;
    }
}

// The list inquiries (0x20, 0x21): at least 4 bytes with the right code, a good
// checksum, a count that is not 0, and the bytes the next step needs must have come.
static bool UsbListInquiry(BootSession* s, BootStep step, uint8_t code) {
    const char* wrongCode = USB_TEXTS[step].failure;
    s->replyLength = ReadBytes(s->reply, INQUIRY_READ, REPLY_WINDOW_US);
    if (s->replyLength < 4 || s->reply[0] != code + BOOT_REPLY_OFFSET) return BootFail(wrongCode);
    if (!BootReplyChecksumOk(s)) return BootFail("Checksum error");
    if (s->reply[2] == 0) return BootFail(step == STEP_DEVICE_INQUIRY ? "Not devices" : "Not clock modes");
    if (step == STEP_CLOCK_INQUIRY) {
        s->clockMode = s->reply[3];
        return true;
    }
    // The first device's code stands in bytes 4 to 7: a reply too short to hold it
    // fails as a reply of the wrong size, never with bytes that did not arrive.
    if (s->replyLength < 8) return BootFail(wrongCode);
    memcpy(s->deviceCode, s->reply + 4, 4);
    return true;
}

static bool UsbUnitInquiry(BootSession* s) {
    s->replyLength = ReadBytes(s->reply, UNIT_REPLY, REPLY_WINDOW_US);
    if (s->replyLength != UNIT_REPLY || s->reply[0] != BOOT_UNIT_INQUIRY + BOOT_REPLY_OFFSET)
        return BootFail(USB_TEXTS[STEP_UNIT_INQUIRY].failure);
    if (!BootReplyChecksumOk(s)) return BootFail("Checksum error");
    s->unit = (uint32_t)s->reply[2] * 256 + s->reply[3];
    if (s->unit < MIN_UNIT || s->unit > BOOT_MAX_UNIT) return BootFail("Program unit error");
    return true;
}

static bool UsbInquire(BootSession* s, BootStep step) {
    uint8_t code = StepCode(step);
    s->frame[0] = code;
    PipeWrite(s->frame, 1);
    if (step == STEP_UNIT_INQUIRY) return UsbUnitInquiry(s);
    return UsbListInquiry(s, step, code);
}

static void UsbBeforeConfirm(BootSession*) { DelayMicroseconds(CONFIRM_PAUSE_US); }

// Reads the buffer back in chunks of READ_CHUNK bytes and compares each. Any answer
// but a whole, well-formed 0x52 reply within the reply window (an error reply D2 or 80
// with its byte, silence, a bad checksum) leaves the flash unverified.
static BootCheck UsbVerify(BootSession* s, const uint8_t* image, uint32_t length) {
    ProgressBegin(PROGRESS_VERIFYING, (length + READ_CHUNK - 1) / READ_CHUNK);
    uint8_t* reply = s->readBack;
    for (uint32_t a = 0, done = 0; a < length; a += READ_CHUNK) {
        uint32_t count = length - a < READ_CHUNK ? length - a : READ_CHUNK;
        LogAppend("Memory read (0x52), direccion: 0x%08x\n", a);
        BootSendMemoryRead(s, a, count);
        if (ReadBytes(reply, 1, REPLY_WINDOW_US) != 1) return CHECK_NOT_ASKED;
        if (reply[0] != BOOT_MEMORY_READ) {
            ReadBytes(reply + 1, 1, REPLY_WINDOW_US);  // the error byte, so nothing is left over
            return CHECK_NOT_ASKED;
        }
        uint32_t rest = count + BOOT_READ_OVERHEAD - 1;
        if (ReadBytes(reply + 1, rest, REPLY_WINDOW_US) != rest || !BootMemoryReplyOk(s, count))
            return CHECK_NOT_ASKED;
        if (BootReadBackDiffers(s, image, length, a, count)) return CHECK_MISMATCH;
        ProgressStep(++done);
    }
    return CHECK_MATCH;
}

static void UsbFinish(BootSession*) {
    ScreenPrintPair(MSG_REMOVE_BOOT_JUMPER);
    WaitKey(KEY_ENTER, KEY_NONE);
}

static const BootPort USB_PORT = {
    .sendFrame = UsbSendFrame,
    .readByte = UsbReadByte,
    .start = UsbStart,
    .inquire = UsbInquire,
    .beforeConfirm = UsbBeforeConfirm,
    .verify = UsbVerify,
    .finish = UsbFinish,
    .readsErrorByte = false,
};

bool ConsoleBootUpdate(const char* name, const uint8_t* buffer, uint32_t length) {
    static BootSession session;
    return BootRun(&session, &USB_PORT, &USB_TARGET, name, buffer, length);
}

void ConsoleBootFallback(const char* name, const uint8_t* buffer, uint32_t length) {
    ScreenPrintPair(MSG_NOT_FOUND, name);
    ScreenPrintPair(MSG_PUT_BOOT_JUMPER);
    WaitKey(KEY_ENTER, KEY_NONE);
    ScreenPrint("-----Boot Update-----\n");
    ScreenPrintPair(MSG_CONNECTING, name);
    ProgressBeginTimed(PROGRESS_SEARCHING, SEEK_BOOT_US);
    if (SeekDevice(ID_BOOT_MODE, SEEK_BOOT_US)) {
        ProgressHide();
        ConsoleBootUpdate(name, buffer, length);
    } else {
        ProgressEnd(false);
        ScreenPrintPair(MSG_NOT_FOUND, name);
        RecordResult(RECORD_RESULT_NOT_FOUND);
    }
}
