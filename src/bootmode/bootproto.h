// bootproto.h - the boot-mode sequence of the processors' built-in boot program,
// written once against a port.
//
// The console's processor is reached over USB (console_boot.cpp), the Remote's and the
// Receiver's over KQ-LINK through the running console (peripheral_boot.cpp). Both walk
// the same steps with the same frames; what differs is which steps run, how a reply is
// read and shown, the waits, and the texts. The transport's primitives make a
// `BootPort`, the rest is data in a `BootTarget`; the state of one run lives in a
// `BootSession` that is passed along.
#pragma once

#include <cstdint>

enum {
    BOOT_ACK = 0x06,
    BOOT_BITRATE_ADJUST = 0x00,
    BOOT_INQUIRY_START = 0x55,  // end of bit-rate adjustment, start of inquiries
    BOOT_INQUIRY_START_OK = 0xE6,
    BOOT_DEVICE_INQUIRY = 0x20,
    BOOT_DEVICE_SELECT = 0x10,
    BOOT_CLOCK_INQUIRY = 0x21,
    BOOT_CLOCK_SELECT = 0x11,
    BOOT_RATIO_INQUIRY = 0x22,
    BOOT_FREQUENCY_INQUIRY = 0x23,
    BOOT_BITRATE_SELECT = 0x3F,
    BOOT_AREA_INQUIRY = 0x25,
    BOOT_UNIT_INQUIRY = 0x27,
    BOOT_ERASE_STATE = 0x40,    // the target erases its user flash
    BOOT_STATUS_INQUIRY = 0x4F,
    BOOT_PROGRAM_SELECT = 0x43, // the target loads its flash writing program
    BOOT_PROGRAM = 0x50,
    BOOT_MEMORY_READ = 0x52,    // reply 0x52, length (4 bytes), data, checksum
    BOOT_SUM_CHECK = 0x4B,      // reply 0x5B, 4, the 32-bit byte sum of the user area, checksum
    BOOT_SUM_REPLY = 0x5B,
    BOOT_AREA_USER = 0x01,      // the area byte of a memory read: the user flash
    BOOT_REPLY_OFFSET = 0x10,   // a data reply's code is the command's code + 0x10
    BOOT_ERROR_GENERIC = 0x80,  // any command refused, followed by its error byte
};

// The end of programming: address 0xFFFFFFFF and no data.
extern const uint8_t BOOT_END_FRAME[6];  // 50 FF FF FF FF B4

// The steps of a sequence; a target lists the ones it runs, in order.
enum BootStep {
    STEP_START,               // (bit-rate adjustment and) 0x55 -> 0xE6
    STEP_DEVICE_INQUIRY,      // 0x20
    STEP_CLOCK_INQUIRY,       // 0x21
    STEP_RATIO_INQUIRY,       // 0x22
    STEP_FREQUENCY_INQUIRY,   // 0x23
    STEP_DEVICE_SELECT,       // 0x10
    STEP_CLOCK_SELECT,        // 0x11
    STEP_BITRATE,             // 0x3F
    STEP_CONFIRM,             // 0x06 at the new bit rate
    STEP_AREA_INQUIRY,        // 0x25
    STEP_UNIT_INQUIRY,        // 0x27
    STEP_ERASE,               // 0x40
    STEP_STATUS_INQUIRY,      // 0x4F
    STEP_LOAD,                // 0x43
    STEP_PROGRAM,             // the 0x50 frames of the image
    STEP_END,                 // the end frame
    STEP_VERIFY,              // what the flash now holds, asked of the boot program
    STEP_COUNT
};

// How a text of a step reaches the operator.
enum BootTextKind {
    TEXT_NONE = 0,
    TEXT_LOG,     // LogAppend, English only
    TEXT_SCREEN,  // ScreenPrint, English only
    TEXT_PAIR,    // ScreenPrintPair of a message pair
};

// The texts of one step of a target. A target's table has one row per step, at the
// step's own place, and each row names its step: BootTextsInStepOrder checks that.
struct BootStepText {
    BootStep step;
    BootTextKind beforeKind = TEXT_NONE;
    const char* before = nullptr;     // shown just before the step's frame is sent
    BootTextKind afterKind = TEXT_NONE;
    const char* after = nullptr;      // shown just after it is sent
    uint8_t errorCode = 0;            // the step's own error reply (0: none recognised)
    const char* failure = nullptr;    // printed when anything else came; may hold one "%02x"
    uint32_t ackWindowUs = 0;         // 0: one read of the transport; else wait this long
};

constexpr bool BootTextsInStepOrder(const BootStepText (&texts)[STEP_COUNT]) {
    for (int i = 0; i < STEP_COUNT; i++)
        if (texts[i].step != i) return false;
    return true;
}

struct BootSession;

// What the check after the end frame found.
enum BootCheck {
    CHECK_MATCH,      // the flash holds the image, 0xFF where units were skipped
    CHECK_MISMATCH,   // it does not: the failure is printed
    CHECK_NOT_ASKED,  // the boot program refused or did not answer: nothing is known
};

// What the target sent where an acknowledge belongs.
struct BootAck {
    enum Outcome { OK, ERROR_REPLY, OTHER } outcome;
    uint8_t byte;       // the first byte (0xFF on KQ-LINK when nothing came)
    uint8_t errorByte;  // ERROR_REPLY: the reason the target gave
};

// A transport of the boot-mode protocol.
struct BootPort {
    // Sends one whole frame (the checksum already in place).
    void (*sendFrame)(const uint8_t* frame, uint32_t count);
    // One reply byte. window 0 is the transport's single read; otherwise the byte may
    // take up to window µs. false when nothing came (KQ-LINK gives 0xFF and true).
    bool (*readByte)(uint8_t* byte, uint32_t windowUs);
    // The opening: bit-rate adjustment where the transport needs one, 0x55 and 0xE6.
    bool (*start)(BootSession* s);
    // Reads, checks and (where the target shows it) prints the data reply to the
    // inquiry of this step, and keeps what the sequence needs in the session. Prints
    // its own failure message.
    bool (*inquire)(BootSession* s, BootStep step);
    // Between the acknowledge of 0x3F and the confirmation: the pause and, on
    // KQ-LINK, the switch of the link to the new bit rate.
    void (*beforeConfirm)(BootSession* s);
    // After the end frame: asks the boot program what the flash holds and compares it
    // with image (0xFF past its length). Prints the failure of a mismatch itself.
    BootCheck (*verify)(BootSession* s, const uint8_t* image, uint32_t length);
    // The last words after "<name> Updated" (the end frame acknowledged and the flash
    // not found to differ): how to leave boot mode.
    void (*finish)(BootSession* s);
    // After a recognised error reply the target sends one error byte, which is read.
    bool readsErrorByte;
};

// Everything a sequence needs to know about its target.
struct BootTarget {
    const BootStep* steps;  // in order, STEP_START first
    uint32_t stepCount;
    const BootStepText* texts;  // indexed by BootStep
    const uint8_t* bitRateFrame;  // the 10-byte 0x3F frame
    uint32_t bitRatePauseUs;      // between the 0x3F frame and its acknowledge
    uint32_t fixedUnit;           // programming unit; 0: the unit from the 0x27 reply
    // The text of each programming frame (with its address) and, on an acknowledge,
    // the text that confirms it.
    BootTextKind frameKind;
    const char* frameAcked;
};

// The largest programming unit a boot program may ask for that fits a 4096-byte frame.
const uint32_t BOOT_MAX_UNIT = 4090;
const uint32_t BOOT_REPLY_CAPACITY = 260;  // code, size, 255 data bytes, checksum
// The most a memory read asks for at once, and its reply: 0x52, length, data, checksum.
const uint32_t BOOT_READ_MAX = 1016;
const uint32_t BOOT_READ_OVERHEAD = 6;
// The user flash areas of the 0x25 reply that are kept for the sum check.
const uint32_t BOOT_MAX_AREAS = 8;

// The state of one run of a sequence.
struct BootSession {
    const BootPort* port;
    const BootTarget* target;
    const char* name;  // the product's name for the messages
    uint8_t reply[BOOT_REPLY_CAPACITY];
    uint32_t replyLength;
    uint8_t deviceCode[4];  // the first device of the 0x20 reply
    uint8_t clockMode;      // the first mode of the 0x21 reply (0 when none listed)
    uint32_t unit;          // programming unit of the walk
    uint32_t areaCount;     // the 0x25 reply's areas, when it was asked and they fit
    uint32_t areaFirst[BOOT_MAX_AREAS];
    uint32_t areaLast[BOOT_MAX_AREAS];
    bool areasKnown;
    bool verified;          // the check found the flash to hold the image
    uint8_t frame[4096];
    uint8_t readBack[BOOT_READ_MAX + BOOT_READ_OVERHEAD];
};

// Runs the target's steps over the port and writes image; true when the end frame was
// acknowledged. The first failure prints its message ("\n%s\n") and ends the run.
bool BootSequence(BootSession* s, const uint8_t* image, uint32_t length);
// BootSequence for the product name over port and target, on a session of the port's.
bool BootRun(BootSession* session, const BootPort* port, const BootTarget* target, const char* name,
             const uint8_t* image, uint32_t length);

// Shared by the ports: shows a text of the given kind (the product name is its value).
void BootShow(const BootSession* s, BootTextKind kind, const char* text);
// Prints a step's failure: "\n", the message, "\n".
bool BootFail(const char* format, unsigned value = 0);
// The checksum of a data reply held in s->reply: false when it is off, or when the
// size puts it beyond what arrived.
bool BootReplyChecksumOk(const BootSession* s);
// A frame with data: code, size, data, checksum; sent with the port.
void BootSendCommand(BootSession* s, uint8_t code, const uint8_t* data, uint8_t size);

// ---- The check after the end frame, shared by the ports ---------------------------------------
// What the flash must hold at address: the image's byte, the erased 0xFF past its end.
inline uint8_t BootExpectedByte(const uint8_t* image, uint32_t length, uint32_t address) {
    return address < length ? image[address] : 0xFF;
}
// Sends 0x52 for count bytes of the user flash from address.
void BootSendMemoryRead(BootSession* s, uint32_t address, uint32_t count);
// A whole 0x52 reply in s->readBack for count bytes: code, length field and checksum.
bool BootMemoryReplyOk(const BootSession* s, uint32_t count);
// Compares the count bytes read back from address (in s->readBack) with the image;
// on the first difference prints the failure with its address and returns true.
bool BootReadBackDiffers(const BootSession* s, const uint8_t* image, uint32_t length, uint32_t address,
                         uint32_t count);
