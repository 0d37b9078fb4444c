// mac.cpp - "Set MAC Address": the MacDialog's logic, the receive-thread routine that
// reads the console's MAC replies, and the next address to hand out in kq.ini.
#include "mac/mac.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/messages.h"
#include "base/screen.h"
#include "link/link.h"
#include "platform/platform.h"
#include "record/record.h"

static const char SETTINGS_FILE[] = "kq.ini";
static const char SETTINGS_SECTION[] = "Kqsfupdt";
static const char SETTINGS_KEY[] = "Mac";
static const char SETTINGS_DEFAULT[] = "000000";
static const char MAC_DIALOG_CAPTION[] = "MAC Address";

// The first three bytes of every address this tool hands out.
static const uint8_t MAC_PREFIX[3] = {0x00, 0x1F, 0x19};

static const uint8_t FRAME_MAC_SET = 0x01;
static const uint8_t FRAME_MAC_REQUEST = 0x02;
static const uint8_t FRAME_MAC_REPLY = 0x03;
static const uint32_t MAC_FRAME_LENGTH = 9;  // set and reply frames alike
static const uint32_t MAC_DIGITS = 6;
static const uint32_t READ_BLOCK = 256;
// Replies that may confirm an address after "OK": with a request every 200 ms, about
// 0.8 s for the console to take the new address and report it.
static const int8_t CONFIRMATION_REPLIES = 4;

// ---- State shared by the window thread and the receive thread -----------------------------
// The lock is held only while a few bytes are copied, never across a call into the
// backend, a pipe or a file, so neither thread can wait on the other through it. An
// atomic flag rather than a system mutex keeps the core free of the threading runtime.
static std::atomic_flag MacLock = ATOMIC_FLAG_INIT;

struct MacGuard {
    MacGuard() {
        while (MacLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~MacGuard() { MacLock.clear(std::memory_order_release); }
};

static MacDialogView Shown;       // what the controls should show
static unsigned ShownChanged;     // MAC_CHANGED_ bits not yet taken by the backend
static char StoredMac[MAC_FIELD_CHARS + 1] = "000000";  // the next address to hand out
static int8_t Countdown;          // replies left to confirm the stored address
// The last address set, whatever its origin, until the console reports it or
// CONFIRMATION_REPLIES replies have passed: each address it takes goes into the service
// record, with the address it reported before.
static char SetPending[MAC_FIELD_CHARS + 1];
static char SetBefore[40];  // as the dialog shows it: 00-1F-19-0A0B0C
static int8_t SetCountdown;
// The address the console took but kq.ini could not keep; shown by the window thread.
static char NotStored[MAC_FIELD_CHARS + 1];

// The receive state of MacReceive: it outlives the command, as a half-read frame does
// in the pipe.
static uint8_t ReplyBuffer[MAC_FRAME_LENGTH];
static FrameReceiver ReplyReceiver = {ReplyBuffer, MAC_FRAME_LENGTH, 0, false};

static bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

static char UpperHexDigit(char c) { return (c >= 'a' && c <= 'f') ? (char)(c - 'a' + 'A') : c; }

static uint8_t HexValue(char c) {
    if (c >= '0' && c <= '9') return (uint8_t)(c - '0');
    return (uint8_t)(UpperHexDigit(c) - 'A' + 10);
}

static void CopyField(char* to, const char* from) {
    snprintf(to, MAC_FIELD_CHARS + 1, "%s", from ? from : "");
}

void MacAdvance(char* text) {
    for (int i = (int)MAC_DIGITS - 1; i >= 0; i--) {
        char c = text[i];
        if (c == 'F') {
            text[i] = '0';  // and carry into the digit on the left
            continue;
        }
        text[i] = c == '9' ? 'A' : (char)(c + 1);
        return;
    }
    // A carry out of the leftmost digit is dropped: FFFFFF wraps to 000000.
}

bool MacSetFrame(const char* digits, uint8_t frame[9]) {
    for (uint32_t i = 0; i < MAC_DIGITS; i++)
        if (!IsHexDigit(digits[i])) return false;  // a short text fails at its zero
    frame[0] = FRAME_START;
    frame[1] = FRAME_MAC_SET;
    memcpy(frame + 2, MAC_PREFIX, sizeof MAC_PREFIX);
    for (uint32_t k = 0; k < 3; k++)
        frame[5 + k] = (uint8_t)(HexValue(digits[2 * k]) << 4 | HexValue(digits[2 * k + 1]));
    frame[8] = FrameChecksum(frame, 8);
    return true;
}

// ---- The dialog ------------------------------------------------------------------------------
void SetMacAddressDialog() {
    RecordPath(RECORD_PATH_USER_MODE);
    PlatMacDialog();
    char shown[sizeof SetBefore];
    {
        MacGuard guard;
        snprintf(shown, sizeof shown, "%s%s", Shown.currentHigh, Shown.currentLow);
    }
    RecordMacShown(shown);
}

// Six hexadecimal digits as a number, -1 for any other text.
static long MacNumber(const char* text) {
    long value = 0;
    for (uint32_t i = 0; i < MAC_DIGITS; i++) {
        if (!IsHexDigit(text[i])) return -1;
        value = value << 4 | HexValue(text[i]);
    }
    return text[MAC_DIGITS] == 0 ? value : -1;
}

// The next address to hand out. kq.ini is the one file in the Windows directory; a run
// without administrator rights kept its counter in the user's own copy instead, and
// went on from there. Of the two, the larger is the first address that neither run has
// handed out.
static void ReadStoredMac(char* stored, size_t capacity) {
    PlatSettingRead(SETTINGS_FILE, SETTINGS_SECTION, SETTINGS_KEY, SETTINGS_DEFAULT, stored,
                    capacity);
    char copy[MAC_FIELD_CHARS + 1];
    if (PlatSettingReadUserCopy(SETTINGS_FILE, SETTINGS_SECTION, SETTINGS_KEY, copy, sizeof copy) &&
        MacNumber(copy) > MacNumber(stored))
        snprintf(stored, capacity, "%s", copy);
}

void MacDialogInit() {
    char stored[MAC_FIELD_CHARS + 1];
    ReadStoredMac(stored, sizeof stored);
    // The "OK" text is compared in upper case: a value written by hand in lower case
    // must still be recognised, or it would be handed out again and again.
    for (char* p = stored; *p; p++) *p = UpperHexDigit(*p);
    MacGuard guard;
    memcpy(StoredMac, stored, sizeof StoredMac);
    NotStored[0] = 0;
    SetCountdown = 0;
    snprintf(Shown.currentHigh, sizeof Shown.currentHigh, "00-00-00-");
    snprintf(Shown.currentLow, sizeof Shown.currentLow, "000000");
    snprintf(Shown.newHigh, sizeof Shown.newHigh, "%02X-%02X-%02X-", MAC_PREFIX[0], MAC_PREFIX[1],
             MAC_PREFIX[2]);
    CopyField(Shown.newLow, StoredMac);
    ShownChanged = MAC_CHANGED_CURRENT_HIGH | MAC_CHANGED_CURRENT_LOW | MAC_CHANGED_NEW_HIGH |
                   MAC_CHANGED_NEW_LOW;
}

// The address kq.ini could not keep, told on the window thread, which owns the boxes.
// Taken before the box opens: the timer goes on firing inside the box's own loop.
static void ReportNotStored() {
    char address[MAC_FIELD_CHARS + 1];
    {
        MacGuard guard;
        memcpy(address, NotStored, sizeof address);
        NotStored[0] = 0;
    }
    if (address[0] == 0) return;
    char text[256];
    snprintf(text, sizeof text, PickMessage(MSG_MAC_NOT_STORED), address);
    PlatMessageBox(text, MAC_DIALOG_CAPTION);
}

void MacDialogTimer() {
    uint8_t request[3] = {FRAME_START, FRAME_MAC_REQUEST, 0};
    request[2] = FrameChecksum(request, 2);
    SendFrame(request, sizeof request);
    ReportNotStored();
}

bool MacDialogCommand(int id, const char* newLowText) {
    if (id == IDC_MAC_EXIT) return true;
    if (id != IDC_MAC_OK) return false;
    // The field holds six characters. A longer text (a backend without the limit)
    // would be cut down unseen, and the console would get another address than the
    // one on the screen: it is refused like any other text that is not six digits.
    if (newLowText == nullptr || strlen(newLowText) > MAC_FIELD_CHARS) return false;
    char text[MAC_FIELD_CHARS + 1];
    CopyField(text, newLowText);
    uint8_t frame[MAC_FRAME_LENGTH];
    if (!MacSetFrame(text, frame)) return false;  // not six hexadecimal digits: nothing at all
    for (uint32_t i = 0; i < MAC_DIGITS; i++) text[i] = UpperHexDigit(text[i]);
    {
        // Compared and armed in one step, so a confirmation on the receive thread
        // cannot advance the stored address in between.
        MacGuard guard;
        CopyField(Shown.newLow, text);
        ShownChanged |= MAC_CHANGED_NEW_LOW;
        Countdown = strncmp(StoredMac, text, MAC_DIGITS) == 0 ? CONFIRMATION_REPLIES : 0;
        memcpy(SetPending, text, sizeof SetPending);
        snprintf(SetBefore, sizeof SetBefore, "%s%s", Shown.currentHigh, Shown.currentLow);
        SetCountdown = CONFIRMATION_REPLIES;
    }
    SendFrame(frame, sizeof frame);
    return false;
}

unsigned MacDialogTakeChanges(MacDialogView* view) {
    MacGuard guard;
    *view = Shown;
    unsigned changed = ShownChanged;
    ShownChanged = 0;
    return changed;
}

// ---- The receive thread ----------------------------------------------------------------------
// A complete 9-byte frame. A MAC reply is shown; while a set of the stored address
// waits for its confirmation, a reply of exactly that address advances it, but only
// once kq.ini holds the next one: an address the file does not remember as given
// would be handed out again to the next console.
static void MacFrameComplete(const uint8_t* f) {
    if (f[1] != FRAME_MAC_REPLY || f[8] != FrameChecksum(f, 8)) return;
    char confirmed[MAC_FIELD_CHARS + 1] = "";
    char next[MAC_FIELD_CHARS + 1] = "";
    char taken[sizeof SetBefore] = "";
    char before[sizeof SetBefore] = "";
    {
        MacGuard guard;
        snprintf(Shown.currentHigh, sizeof Shown.currentHigh, "%02X-%02X-%02X-", f[2], f[3], f[4]);
        snprintf(Shown.currentLow, sizeof Shown.currentLow, "%02X%02X%02X", f[5], f[6], f[7]);
        ShownChanged |= MAC_CHANGED_CURRENT_HIGH | MAC_CHANGED_CURRENT_LOW;
        if (SetCountdown != 0) {
            SetCountdown--;
            if (strncmp(SetPending, Shown.currentLow, MAC_DIGITS) == 0 &&
                memcmp(f + 2, MAC_PREFIX, sizeof MAC_PREFIX) == 0) {
                snprintf(taken, sizeof taken, "%s%s", Shown.currentHigh, Shown.currentLow);
                memcpy(before, SetBefore, sizeof before);
                SetCountdown = 0;
            }
        }
        if (Countdown != 0) {
            if (strncmp(StoredMac, Shown.currentLow, MAC_DIGITS) == 0) {
                memcpy(confirmed, StoredMac, sizeof confirmed);
                memcpy(next, StoredMac, sizeof next);
                MacAdvance(next);
            }
            Countdown--;
        }
    }
    if (taken[0]) RecordMac(before, taken);
    // Only this thread advances the address, so the file is written in the same order
    // as the memory, outside the lock.
    if (next[0]) {
        bool stored = PlatSettingWrite(SETTINGS_FILE, SETTINGS_SECTION, SETTINGS_KEY, next);
        MacGuard guard;
        if (stored && strcmp(StoredMac, confirmed) == 0) {
            memcpy(StoredMac, next, sizeof StoredMac);
            CopyField(Shown.newLow, StoredMac);
            ShownChanged |= MAC_CHANGED_NEW_LOW;
        } else if (!stored) {
            Countdown = 0;  // one report per failure, not one per reply
            memcpy(NotStored, confirmed, sizeof NotStored);
        }
    }
    PlatMacDialogChanged();
}

void MacReceiveBytes(const uint8_t* bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        FrameReceiverFeed(&ReplyReceiver, bytes[i]);
        if (ReplyReceiver.length == MAC_FRAME_LENGTH) {
            MacFrameComplete(ReplyBuffer);
            ReplyReceiver.length = 0;  // valid or not, the next frame starts afresh
        }
    }
}

void MacReceive() {
    uint8_t block[READ_BLOCK];
    for (long n; (n = LinkThreadRead(block, READ_BLOCK)) >= 0;) MacReceiveBytes(block, (uint32_t)n);
}
