// peripheral_boot.cpp - a Remote or Receiver in boot mode, reached byte by byte over
// KQ-LINK with the running console as relay: the boot sequence on the KQ-LINK port.
// Every reply byte costs one listen request of 10 ms, and silence reads as 0xFF, so
// a silent peripheral fails the step where it stopped as an unexpected reply or a
// wrong reply code. Everything the boot program reports is shown on the screen.
//
// After the end frame the flash is checked with the boot program's sum of its user
// area (0x4B): one frame and a 7-byte reply, where reading 30 KB back would cost more
// listens than the whole programming walk. Only when the sum differs is the flash read
// back (0x52, one listen per 128 bytes) to name the first address that differs.
#include "bootmode/peripheral_boot.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/base.h"
#include "base/messages.h"
#include "base/screen.h"
#include "base/waits.h"
#include "bootmode/bootproto.h"
#include "kqlink/kqlink.h"
#include "link/link.h"
#include "record/record.h"

static const int ADJUST_ATTEMPTS = 40;
static const uint32_t ADJUST_PAUSE_US = 10000;
static const uint32_t BITRATE_PAUSE_US = 100000;
static const uint32_t CONFIRM_PAUSE_US = 52;  // one bit time at 19 200 bit/s
static const uint32_t LONG_WAIT_US = 20000000;  // erase, load and programming
// The boot program sums its user area before it answers: a few ms for 64 KiB.
static const uint32_t SUM_WAIT_US = 2000000;
static const uint32_t READ_UNIT = 128;          // a memory read reply is 134 bytes, one listen
static const uint32_t READ_LISTEN_US = 100000;  // 134 bytes take 5.4 ms at 250 000 bit/s

// 250 000 bit/s, 16.00 MHz input clock, 1 ratio: x2 (the second ratio byte is 0).
static const uint8_t KQLINK_BITRATE_FRAME[10] = {0x3F, 0x07, 0x09, 0xC4, 0x06, 0x40, 0x01, 0x02, 0x00, 0xA4};

static const BootStep KQLINK_STEPS[] = {
    STEP_START,         STEP_DEVICE_INQUIRY, STEP_CLOCK_INQUIRY, STEP_RATIO_INQUIRY,
    STEP_FREQUENCY_INQUIRY, STEP_DEVICE_SELECT, STEP_CLOCK_SELECT, STEP_BITRATE,
    STEP_CONFIRM,       STEP_AREA_INQUIRY,   STEP_UNIT_INQUIRY,  STEP_ERASE,
    STEP_STATUS_INQUIRY, STEP_LOAD,          STEP_PROGRAM,       STEP_END,
    STEP_VERIFY,
};

// The inquiries print their own failures (see the Inquire* procedures below).
static constexpr BootStepText KQLINK_TEXTS[STEP_COUNT] = {
    {.step = STEP_START},
    {.step = STEP_DEVICE_INQUIRY, .beforeKind = TEXT_SCREEN,
     .before = "Inquiry and Selection States...\nInquiry device State (0x20)\n"},
    {.step = STEP_CLOCK_INQUIRY, .beforeKind = TEXT_SCREEN, .before = "Inquiry Clock Mode (0x21)\n"},
    {.step = STEP_RATIO_INQUIRY, .beforeKind = TEXT_SCREEN, .before = "Multiplication Ratio Inquiry (0x22)\n"},
    {.step = STEP_FREQUENCY_INQUIRY, .beforeKind = TEXT_SCREEN,
     .before = "Operating Clock Frequency Inquiry (0x23)\n"},
    {.step = STEP_DEVICE_SELECT, .beforeKind = TEXT_SCREEN, .before = "Selection device State (0x10)\n",
     .errorCode = 0x90, .failure = "Response to the command 0x10 different of 0x06, 0x90 y 0x80: 0x%02x"},
    {.step = STEP_CLOCK_SELECT, .beforeKind = TEXT_SCREEN, .before = "Selection Clock State (0x11)\n",
     .errorCode = 0x91, .failure = "Response to the command 0x11 different of 0x06, 0x91 y 0x80"},
    {.step = STEP_BITRATE, .beforeKind = TEXT_SCREEN, .before = "New Bit-Rate Selection (0x3f)\n",
     .errorCode = 0xBF, .failure = "Response to the command 0x3f different of 0x06, 0xbf y 0x80"},
    {.step = STEP_CONFIRM, .afterKind = TEXT_SCREEN,
     .after = "Send 0x06 to 250000 bauds to confirm that the speed has changed\n",
     .failure = "The second 0x06 is not received to the new speed"},
    {.step = STEP_AREA_INQUIRY, .beforeKind = TEXT_SCREEN, .before = "User MAT Information Inquiry (0x25)\n"},
    {.step = STEP_UNIT_INQUIRY, .beforeKind = TEXT_SCREEN, .before = "Programming Unit Inquiry (0x27)\n"},
    {.step = STEP_ERASE, .beforeKind = TEXT_SCREEN, .before = "Transition to Programming/Erasing State (0x40)\n",
     .afterKind = TEXT_PAIR, .after = MSG_DELETING_FLASH, .errorCode = 0xC0,
     .failure = "Response to the command 0x40 different of 0x06, 0xc0 y 0x80",
     .ackWindowUs = LONG_WAIT_US},
    {.step = STEP_STATUS_INQUIRY, .beforeKind = TEXT_SCREEN, .before = "Boot Program State Inquiry (0x4f)\n"},
    {.step = STEP_LOAD, .beforeKind = TEXT_SCREEN,
     .before = "Programming/Erasing State... User MAT programming selection (0x43)\n",
     .afterKind = TEXT_PAIR, .after = MSG_TRANSFER_PROGRAMMER, .errorCode = 0xC3,
     .failure = "Response to the command 0x43 different of 0x06, 0xc3 y 0x80: 0x%02x",
     .ackWindowUs = LONG_WAIT_US},
    {.step = STEP_PROGRAM, .beforeKind = TEXT_PAIR, .before = MSG_PROGRAMMING_FLASH, .errorCode = 0xD0,
     .failure = "Response to the command 0x50 different of 0x06, 0xd0 y 0x80", .ackWindowUs = LONG_WAIT_US},
    {.step = STEP_END, .beforeKind = TEXT_SCREEN, .before = "128-byte programming (0x50), direccion: 0xffffffff\n",
     .errorCode = 0xD0, .failure = "Response to the command 0x50 different of 0x06, 0xd0 y 0x80",
     .ackWindowUs = LONG_WAIT_US},
    {.step = STEP_VERIFY, .beforeKind = TEXT_SCREEN, .before = "User MAT Sum Check (0x4b)\n"},
};
static_assert(BootTextsInStepOrder(KQLINK_TEXTS));

static const BootTarget KQLINK_TARGET = {
    .steps = KQLINK_STEPS,
    .stepCount = sizeof KQLINK_STEPS / sizeof KQLINK_STEPS[0],
    .texts = KQLINK_TEXTS,
    .bitRateFrame = KQLINK_BITRATE_FRAME,
    .bitRatePauseUs = BITRATE_PAUSE_US,
    .fixedUnit = 128,  // always 128-byte units: the 0x27 reply is only shown
    .frameKind = TEXT_SCREEN,
    .frameAcked = "direccion (adr): 0x%08x\n",
};

// A frame goes out as one raw send when its last byte is added.
static void KqSendFrame(const uint8_t* frame, uint32_t count) {
    if (count == 1) {
        RawSendByte(frame[0], RAW_ALONE);
        return;
    }
    for (uint32_t i = 0; i < count; i++)
        RawSendByte(frame[i], i == 0 ? RAW_FIRST : i + 1 == count ? RAW_LAST : RAW_INSIDE);
}

static bool KqReadByte(uint8_t* byte, uint32_t windowUs) {
    *byte = windowUs ? RawWaitByte(windowUs) : RawReadByte();
    return true;
}

static void SendAlone(uint8_t b) { RawSendByte(b, RAW_ALONE); }

static bool KqStart(BootSession* s) {
    ScreenPrintPair(MSG_PUSH_ENTER);
    WaitKey(KEY_ENTER, KEY_NONE);
    ScreenPrintPair(MSG_UPDATING, s->name);
    LinkSetSpeed(LINK_RATE_BOOT);
    ScreenPrint("Bit-Rate-Adjustment State...\n");
    // The boot program measures the bit rate from the 0x00 bytes and answers 0x00
    // once it has locked on.
    bool locked = false;
    for (int i = 0; i < ADJUST_ATTEMPTS && !locked; i++) {
        SendAlone(BOOT_BITRATE_ADJUST);
        DelayMicroseconds(ADJUST_PAUSE_US);
        locked = RawReadByte() == 0x00;
    }
    if (!locked) return BootFail("It has not been received 0x00 after having sent 40 0x00");
    SendAlone(BOOT_INQUIRY_START);
    if (RawReadByte() != BOOT_INQUIRY_START_OK) return BootFail("Response to 0x55 different of 0xe6");
    return true;
}

// ---- Data replies, read and shown byte by byte -------------------------------------------
// Every data byte is summed and counted. The parse follows the counts inside the
// reply; once it has consumed more bytes than the size announced, the count test can
// only fail, so it stops reading there instead of listening for up to 65 000 bytes.
struct ReplyReader {
    uint8_t code;  // the command
    uint8_t sum = 0;
    uint32_t size = 0;
    uint32_t count = 0;
    bool over = false;
};

static uint8_t Next(ReplyReader* r) {
    if (r->count >= r->size) {
        r->over = true;
        r->count = r->size + 1;
        return 0xFF;
    }
    uint8_t b = RawReadByte();
    r->sum = (uint8_t)(r->sum + b);
    r->count++;
    return b;
}

static uint32_t Next16(ReplyReader* r) {
    uint32_t high = Next(r);
    return high << 8 | Next(r);
}

// Sends the inquiry and checks the reply code; wrongCode may show the byte received.
static bool Open(ReplyReader* r, uint8_t code, const char* wrongCode) {
    *r = ReplyReader{.code = code};
    SendAlone(code);
    uint8_t got = RawReadByte();
    if (got != code + BOOT_REPLY_OFFSET) return BootFail(wrongCode, got);
    r->size = RawReadByte();
    r->sum = (uint8_t)(got + r->size);
    return true;
}

// The count test, then the checksum byte that follows the data.
static bool Close(ReplyReader* r) {
    if (r->count != r->size)
        return BootFail("Response to the command 0x%02x number of data received different of SIZE", r->code);
    uint8_t expected = (uint8_t)(0u - r->sum);
    if (r->code == BOOT_DEVICE_INQUIRY) ScreenPrint("checksum calculado: 0x%02x\n", expected);
    if (RawReadByte() != expected) return BootFail("Mistake of checksum in the response to the command 0x%02x", r->code);
    return true;
}

static bool InquireDevices(BootSession* s) {
    ReplyReader r;
    if (!Open(&r, BOOT_DEVICE_INQUIRY, "Response to the command 0x20 different of 0x30")) return false;
    ScreenPrint("size: 0x%02x\n", r.size);
    uint32_t devices = Next(&r);
    ScreenPrint("numDevices: 0x%02x\n", devices);
    for (uint32_t i = 0; i < devices && !r.over; i++) {
        ScreenPrint("Device num: %u\n", i);
        uint8_t chars = Next(&r);
        ScreenPrint("numChar device %u: 0x%02x\n", i, chars);
        uint8_t code[4];
        for (uint8_t& c : code) c = Next(&r);
        ScreenPrint("deviceCode %c%c%c%c\n", code[0], code[1], code[2], code[3]);
        if (i == 0)
            for (int k = 0; k < 4; k++) s->deviceCode[k] = code[k];
        ScreenPrint("productName ");
        uint8_t nameLength = (uint8_t)(chars - 4);  // wraps below 4, as the count does
        for (uint32_t k = 0; k < nameLength && !r.over; k++) ScreenPrint("%c", Next(&r));
        ScreenPrint("\n");
    }
    return Close(&r);
}

static bool InquireClockModes(BootSession* s) {
    ReplyReader r;
    if (!Open(&r, BOOT_CLOCK_INQUIRY, "Response to the command 0x21 different of 0x31: 0x%02x")) return false;
    uint32_t modes = Next(&r);
    ScreenPrint("NumClockCodes 0x%02x\n", modes);
    for (uint32_t j = 0; j < modes && !r.over; j++) {
        uint8_t mode = Next(&r);
        ScreenPrint("Clock Mode 0x%02x: valor->0x%02x\n", j, mode);
        if (j == 0) s->clockMode = mode;
    }
    return Close(&r);
}

static bool InquireRatios(BootSession*) {
    ReplyReader r;
    if (!Open(&r, BOOT_RATIO_INQUIRY, "Response to the command 0x22 different of 0x32")) return false;
    uint32_t types = Next(&r);
    ScreenPrint("numClockTypes: 0x%02x\n", types);
    for (uint32_t t = 0; t < types && !r.over; t++) {
        uint32_t ratios = Next(&r);
        ScreenPrint("numMultRatios: 0x%02x del clockType %u\n", ratios, t);
        for (uint32_t k = 0; k < ratios && !r.over; k++)
            ScreenPrint("clockType %u multRatio %u -> valor 0x%02x\n", t, k, Next(&r));
    }
    return Close(&r);
}

static bool InquireFrequencies(BootSession*) {
    ReplyReader r;
    if (!Open(&r, BOOT_FREQUENCY_INQUIRY, "Response to the command 0x23 different of 0x33")) return false;
    uint32_t entries = Next(&r);
    ScreenPrint("numOperationFrecuencies: 0x%02x\n", entries);
    for (uint32_t e = 0; e < entries && !r.over; e++) {
        ScreenPrint("operationFrecuency %u\n", e);
        uint32_t min = Next16(&r);
        ScreenPrint("min 0x%02x%02x/100 Mhz ", min >> 8, min & 0xFF);
        uint32_t max = Next16(&r);
        ScreenPrint("max 0x%02x%02x/100 Mhz \n", max >> 8, max & 0xFF);
    }
    return Close(&r);
}

static uint32_t ShowAddress(ReplyReader* r, const char* format) {
    uint8_t a[4];
    for (uint8_t& b : a) b = Next(r);
    ScreenPrint(format, a[0], a[1], a[2], a[3]);
    return (uint32_t)a[0] << 24 | a[1] << 16 | a[2] << 8 | a[3];
}

// The areas are kept for the sum check after the walk, when they fit and make sense.
static bool InquireAreas(BootSession* s) {
    ReplyReader r;
    if (!Open(&r, BOOT_AREA_INQUIRY, "Response to the command 0x25 different of 0x35")) return false;
    uint32_t areas = Next(&r);
    ScreenPrint("numAreas: 0x%02x\n", areas);
    bool sane = areas > 0 && areas <= BOOT_MAX_AREAS;
    for (uint32_t n = 0; n < areas && !r.over; n++) {
        ScreenPrint("area 0x%02x\n", n);
        uint32_t first = ShowAddress(&r, "startAreaAddress 0x%02x%02x%02x%02x\n");
        uint32_t last = ShowAddress(&r, "lastAreaAddress 0x%02x%02x%02x%02x\n");
        sane = sane && first <= last;
        if (n < BOOT_MAX_AREAS) s->areaFirst[n] = first, s->areaLast[n] = last;
    }
    if (!Close(&r)) return false;
    s->areaCount = sane ? areas : 0;
    s->areasKnown = sane;
    return true;
}

static bool InquireUnit(BootSession*) {
    ReplyReader r;
    if (!Open(&r, BOOT_UNIT_INQUIRY, "Response to the command 0x27 different of 0x37")) return false;
    uint32_t unit = Next16(&r);
    ScreenPrint("programUnit 0x%02x%02x\n", unit >> 8, unit & 0xFF);
    return Close(&r);
}

static bool InquireStatus(BootSession*) {
    ReplyReader r;
    if (!Open(&r, BOOT_STATUS_INQUIRY, "Response to the command 0x4f different of 0x5f")) return false;
    uint32_t status = Next(&r);
    uint32_t error = Next(&r);
    ScreenPrint("status: 0x%02x, error: 0x%02x\n", status, error);
    return Close(&r);
}

static bool KqInquire(BootSession* s, BootStep step) {
    switch (step) {
        case STEP_DEVICE_INQUIRY: return InquireDevices(s);
        case STEP_CLOCK_INQUIRY: return InquireClockModes(s);
        case STEP_RATIO_INQUIRY: return InquireRatios(s);
        case STEP_FREQUENCY_INQUIRY: return InquireFrequencies(s);
        case STEP_AREA_INQUIRY: return InquireAreas(s);
        case STEP_UNIT_INQUIRY: return InquireUnit(s);
        case STEP_STATUS_INQUIRY: return InquireStatus(s);
        default: return false;
    }
}

// The boot program switches to the new rate one bit time after its acknowledge.
static void KqBeforeConfirm(BootSession*) {
    DelayMicroseconds(CONFIRM_PAUSE_US);
    LinkSetSpeed(LINK_RATE_PACKETS);
}

// ---- The check after the end frame ----------------------------------------------------------
// The 32-bit byte sum of the user areas as they must now be: the image, 0xFF beyond it.
static uint32_t ExpectedSum(const BootSession* s, const uint8_t* image, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t n = 0; n < s->areaCount; n++)
        for (uint64_t a = s->areaFirst[n]; a <= s->areaLast[n]; a++)
            sum += BootExpectedByte(image, length, (uint32_t)a);
    return sum;
}

// 0x4B: the reply 5B 04 sum (4 bytes) checksum, read byte by byte like the inquiries.
// Anything else (an error reply CB or 80 with its byte, silence, a bad reply) is shown
// and leaves the flash unverified.
static bool AskSum(uint32_t* sum) {
    SendAlone(BOOT_SUM_CHECK);
    uint8_t code = RawWaitByte(SUM_WAIT_US);
    if (code == (BOOT_SUM_CHECK | 0x80) || code == BOOT_ERROR_GENERIC) {
        ScreenPrint("Response Error: 0x%02x 0x%02x\n", code, RawReadByte());
        return false;
    }
    if (code != BOOT_SUM_REPLY) {
        ScreenPrint("Response to the command 0x4b different of 0x5b: 0x%02x\n", code);
        return false;
    }
    uint8_t reply[7] = {code, RawReadByte()};
    if (reply[1] != 4) {
        ScreenPrint("Response to the command 0x4b number of data received different of SIZE\n");
        return false;
    }
    for (int i = 2; i < 7; i++) reply[i] = RawReadByte();
    if (FrameChecksum(reply, 6) != reply[6]) {
        ScreenPrint("Mistake of checksum in the response to the command 0x4b\n");
        return false;
    }
    *sum = (uint32_t)reply[2] << 24 | reply[3] << 16 | reply[4] << 8 | reply[5];
    ScreenPrint("userMatSum 0x%08x\n", *sum);
    return true;
}

// After a sum that differs: reads the areas back, 128 bytes a listen, until the first
// byte that differs, and prints it. False when the boot program cannot be read.
static bool LocateDifference(BootSession* s, const uint8_t* image, uint32_t length) {
    for (uint32_t n = 0; n < s->areaCount; n++) {
        for (uint64_t a = s->areaFirst[n]; a <= s->areaLast[n]; a += READ_UNIT) {
            uint32_t count = (uint32_t)std::min<uint64_t>(READ_UNIT, s->areaLast[n] - a + 1);
            ScreenPrint("Memory Read (0x52), direccion: 0x%08x\n", (uint32_t)a);
            BootSendMemoryRead(s, (uint32_t)a, count);
            LinkListen((uint8_t)(count + BOOT_READ_OVERHEAD), READ_LISTEN_US);
            if (HeardCount != count + BOOT_READ_OVERHEAD) return false;
            memcpy(s->readBack, HeardBuffer, HeardCount);
            HeardPos = HeardCount;
            if (!BootMemoryReplyOk(s, count)) return false;
            if (BootReadBackDiffers(s, image, length, (uint32_t)a, count)) return true;
        }
    }
    return false;
}

static BootCheck KqVerify(BootSession* s, const uint8_t* image, uint32_t length) {
    uint32_t sum = 0;
    if (!s->areasKnown || !AskSum(&sum)) return CHECK_NOT_ASKED;
    uint32_t expected = ExpectedSum(s, image, length);
    ScreenPrint("sum calculado: 0x%08x\n", expected);
    if (sum == expected) return CHECK_MATCH;
    if (!LocateDifference(s, image, length)) {
        char message[160];
        snprintf(message, sizeof message, PickMessage(MSG_VERIFY_SUM_ERROR), sum, expected);
        ScreenPrint("\n%s\n", message);
    }
    return CHECK_MISMATCH;
}

static void KqFinish(BootSession*) {
    ScreenPrintPair(MSG_REMOVE_JUMPERS);
    ScreenPrint("\n");
}

static const BootPort KQLINK_PORT = {
    .sendFrame = KqSendFrame,
    .readByte = KqReadByte,
    .start = KqStart,
    .inquire = KqInquire,
    .beforeConfirm = KqBeforeConfirm,
    .verify = KqVerify,
    .finish = KqFinish,
    .readsErrorByte = true,
};

void PeripheralBootUpdate(const char* name, const uint8_t* image, uint32_t length) {
    static BootSession session;
    BootRun(&session, &KQLINK_PORT, &KQLINK_TARGET, name, image, length);
}
