// peripheral_update.cpp - the peripherals' loaders over KQ-LINK, and the commands
// that update a Remote, a Receiver or a Tempa BOX.
//
// A loader answers every packet with the same four bytes, 80 a 04 checksum; nothing
// else counts, and a peripheral that stays silent past the listen is a failure. The
// listen times are the peripheral's time budget for each step.
#include "peripherals/peripheral_update.h"

#include <cstring>

#include "base/base.h"
#include "base/progress.h"
#include "base/messages.h"
#include "base/screen.h"
#include "base/waits.h"
#include "bootmode/peripheral_boot.h"
#include "images/images.h"
#include "kqlink/kqlink.h"
#include "link/link.h"
#include "record/record.h"

static const uint32_t LISTEN_BEGIN_US = 20000;
static const uint32_t LISTEN_ERASE_US = 6505000;  // one 4 KiB block
static const uint32_t LISTEN_WRITE_US = 15000;    // 128 bytes of the resident loader
static const uint32_t LISTEN_FINISH_US = 20000;
static const uint32_t ACK_LENGTH = 4;
static const uint32_t CHUNK = 128;
static const uint32_t ERASE_BLOCKS = 16;
static const uint32_t KEPT_BLOCK = 1;  // 0x1000-0x1FFF: the peripheral's own settings

// The Tempa BOX's boot handshake and its downloaded loader.
static const int TEMPA_ADJUST_ATTEMPTS = 40;
static const uint32_t TEMPA_ADJUST_PAUSE_US = 20000;
static const uint32_t TEMPA_ERASE_PAUSE_US = 1000;
static const uint32_t TEMPA_ERASE_WAIT_US = 2000000;
static const uint32_t TEMPA_ECHO_WAIT_US = 20000;
static const uint32_t TEMPA_SPEED_PAUSE_US = 20000;
static const uint32_t TEMPA_LISTEN_WRITE_US = 260000;  // 64 bytes of the boot record's loader
static const uint32_t TEMPA_CHUNK = 64;
static const uint8_t TEMPA_ADDRESS = 0x0E;
static const uint8_t TEMPA_SYNC_OK = 0xAA;

bool ExpectReply(const uint8_t* expected, uint8_t count) {
    while (HeardPos != HeardCount) PacketAssemble(HeardBuffer[HeardPos++]);
    return AsmLength == count && memcmp(AsmBuffer, expected, count) == 0;
}

// The acknowledgement of every loader packet: 80 a 04 ((a + 4) & 0x7F).
static void LoaderAck(uint8_t address, uint8_t ack[ACK_LENGTH]) {
    ack[0] = PACKET_START;
    ack[1] = address;
    ack[2] = LOADER_ACK;
    ack[3] = PacketChecksum(ack, 3);
}

// Builds 80, 0x20 + address, sub, data, checksum in packet; returns its length.
static uint8_t LoaderPacket(uint8_t* packet, uint8_t address, uint8_t sub, const uint8_t* data, uint32_t count) {
    packet[0] = PACKET_START;
    packet[1] = (uint8_t)(KIND_LOADER << 4 | address);
    packet[2] = sub;
    if (count) memcpy(packet + 3, data, count);
    packet[3 + count] = PacketChecksum(packet, (uint8_t)(3 + count));
    return (uint8_t)(4 + count);
}

// Sends a loader packet, shows its progress line (if any), listens and checks the
// acknowledgement.
static bool LoaderStep(const uint8_t* packet, uint8_t length, const uint8_t* ack, uint32_t listenUs,
                       const char* progressPair = nullptr, uint32_t progressValue = 0) {
    PacketSend(packet, length);
    if (progressPair) ScreenPrintPair(progressPair, progressValue);
    LinkListen(ACK_LENGTH, listenUs);
    return ExpectReply(ack, ACK_LENGTH);
}

// Chunks that will go out: the blank ones are skipped.
static uint32_t ChunksToSend(const uint8_t* image, uint32_t size, uint32_t chunk) {
    uint8_t tail[CHUNK];
    uint32_t n = 0;
    for (uint32_t offset = 0; offset < size; offset += chunk)
        n += !IsBlank(UnitAt(image, size, offset, chunk, tail), chunk);
    return n;
}

static bool PeripheralWrite(uint8_t address, const uint8_t* image, uint32_t size, const uint8_t* ack) {
    uint8_t tail[CHUNK];
    uint8_t packet[4 + 4 + CHUNK];
    uint32_t sent = 0;
    ProgressBegin(PROGRESS_PROGRAMMING, ChunksToSend(image, size, CHUNK));
    for (uint32_t offset = 0; offset < size; offset += CHUNK) {
        const uint8_t* chunk = UnitAt(image, size, offset, CHUNK, tail);
        if (IsBlank(chunk, CHUNK)) continue;
        uint8_t data[4 + CHUNK];
        for (int i = 0; i < 4; i++) data[i] = (uint8_t)(offset >> (24 - 8 * i));
        memcpy(data + 4, chunk, CHUNK);
        uint8_t length = LoaderPacket(packet, address, LOADER_WRITE, data, sizeof data);
        if (!LoaderStep(packet, length, ack, LISTEN_WRITE_US, MSG_PROGRAMING_ADDRESS, offset)) return false;
        ProgressStep(++sent);
    }
    return true;
}

static bool PeripheralLoad(uint8_t address, const uint8_t* image, uint32_t size) {
    uint8_t ack[ACK_LENGTH], packet[8];
    LoaderAck(address, ack);
    uint8_t length = LoaderPacket(packet, address, LOADER_BEGIN, nullptr, 0);
    if (!LoaderStep(packet, length, ack, LISTEN_BEGIN_US)) return false;
    uint32_t erased = 0;
    ProgressBegin(PROGRESS_ERASING, ERASE_BLOCKS - 1);
    for (uint8_t block = 0; block < ERASE_BLOCKS; block++) {
        if (block == KEPT_BLOCK) continue;
        length = LoaderPacket(packet, address, LOADER_ERASE, &block, 1);
        if (!LoaderStep(packet, length, ack, LISTEN_ERASE_US, MSG_ERASING_BLOCK, block)) return false;
        ProgressStep(++erased);
    }
    if (!PeripheralWrite(address, image, size, ack)) return false;
    length = LoaderPacket(packet, address, LOADER_FINISH, nullptr, 0);
    return LoaderStep(packet, length, ack, LISTEN_FINISH_US);
}

void PeripheralUpdate(uint8_t address, const uint8_t* image, uint32_t size) {
    bool ok = PeripheralLoad(address, image, size);
    ProgressEnd(ok);
    ScreenPrint(ok ? TEXT_OK : TEXT_ERROR);
    RecordResult(ok ? RECORD_RESULT_UPDATED : RECORD_RESULT_FAILED);
}

// ---- Tempa BOX ----------------------------------------------------------------------------
static bool TempaFail(const char* label) {
    ProgressEnd(false);
    ScreenPrint("...ERROR %s...", label);
    ScreenPrint("\n");
    RecordResult(RECORD_RESULT_FAILED);
    return false;
}

static void SendRawByte(uint8_t b) { RawSendByte(b, RAW_ALONE); }

// Each byte sent must come back as it was within 20 ms.
static bool Echoed(uint8_t b) {
    SendRawByte(b);
    return RawWaitByte(TEMPA_ECHO_WAIT_US) == b;
}

// Like the processors' boot programs, but at 9600 bit/s, 20 ms apart, and 0x55 is
// answered 0xAA once the unit has erased its flash.
static bool TempaHandshake(const uint8_t* bootRecord, uint16_t bootSize) {
    LinkSetSpeed(LINK_RATE_TEMPABOX_BOOT);
    ScreenPrint("Bit-Rate-Adjustment...\n");
    bool locked = false;
    for (int i = 0; i < TEMPA_ADJUST_ATTEMPTS && !locked; i++) {
        SendRawByte(0x00);
        DelayMicroseconds(TEMPA_ADJUST_PAUSE_US);
        locked = RawReadByte() == 0x00;
    }
    if (!locked) return TempaFail("It has not been received 0x00 after having sent 40 0x00");
    DelayMicroseconds(TEMPA_ERASE_PAUSE_US);
    SendRawByte(0x55);
    ScreenPrintPair(MSG_DELETING_FLASH);
    ProgressBeginTimed(PROGRESS_ERASING, TEMPA_ERASE_WAIT_US);
    if (RawWaitByte(TEMPA_ERASE_WAIT_US) != TEMPA_SYNC_OK) return TempaFail("Response to 0x55 different of 0xaa");
    ScreenPrint("Sending boot record...\n");
    ProgressBegin(PROGRESS_BOOT_RECORD, 2u + bootSize);  // its size in two bytes, then its bytes
    if (!Echoed((uint8_t)(bootSize >> 8)) || !Echoed((uint8_t)bootSize)) return TempaFail("BOOT SIZE");
    for (uint32_t i = 0; i < bootSize; i++) {
        if (!Echoed(bootRecord[i])) return TempaFail("BOOT DATA");
        ProgressStep(3 + i);
    }
    return true;
}

static bool TempaLoad(const uint8_t* image, uint16_t imageSize) {
    uint8_t ack[ACK_LENGTH], packet[4 + 4 + TEMPA_CHUNK];
    LoaderAck(TEMPA_ADDRESS, ack);
    uint8_t length = LoaderPacket(packet, TEMPA_ADDRESS, LOADER_BEGIN, nullptr, 0);
    if (!LoaderStep(packet, length, ack, LISTEN_BEGIN_US)) return TempaFail("UPDATATEmKQLcOMIENZO");
    uint8_t tail[TEMPA_CHUNK];
    uint32_t sent = 0;
    ProgressBegin(PROGRESS_PROGRAMMING, ChunksToSend(image, imageSize, TEMPA_CHUNK));
    for (uint32_t offset = 0; offset < imageSize; offset += TEMPA_CHUNK) {
        const uint8_t* chunk = UnitAt(image, imageSize, offset, TEMPA_CHUNK, tail);
        if (IsBlank(chunk, TEMPA_CHUNK)) continue;
        // The loader takes a 16-bit address; the two upper bytes are 0.
        uint8_t data[4 + TEMPA_CHUNK] = {0, 0, (uint8_t)(offset >> 8), (uint8_t)offset};
        memcpy(data + 4, chunk, TEMPA_CHUNK);
        length = LoaderPacket(packet, TEMPA_ADDRESS, LOADER_WRITE, data, sizeof data);
        if (!LoaderStep(packet, length, ack, TEMPA_LISTEN_WRITE_US, MSG_PROGRAMING_ADDRESS, offset))
            return TempaFail("UPDATATEmKQLpROGRAMARxBYTES");
        ProgressStep(++sent);
    }
    length = LoaderPacket(packet, TEMPA_ADDRESS, LOADER_FINISH, nullptr, 0);
    if (!LoaderStep(packet, length, ack, LISTEN_FINISH_US)) return TempaFail("UPDATATEmKQLfIN");
    return true;
}

void TempaBoxUpdate(const char* name, const uint8_t* bootRecord, uint16_t bootSize, const uint8_t* image,
                    uint16_t imageSize) {
    ScreenPrintPair(MSG_PUSH_ENTER);
    WaitKey(KEY_ENTER, KEY_NONE);
    ScreenPrintPair(MSG_UPDATING, name);
    if (!TempaHandshake(bootRecord, bootSize)) return;
    LinkSetSpeed(LINK_RATE_PACKETS);
    DelayMicroseconds(TEMPA_SPEED_PAUSE_US);
    ScreenPrintPair(MSG_PROGRAMMING_FLASH);
    if (!TempaLoad(image, imageSize)) return;
    ProgressEnd(true);
    ScreenPrintPair(MSG_UPDATED, name);
    RecordResult(RECORD_RESULT_UPDATED);
    ScreenPrintPair(MSG_REMOVE_JUMPERS);
    ScreenPrint("\n");
}

// ---- The commands -------------------------------------------------------------------------------
struct PeripheralKind {
    const char* name;
    uint8_t type;
    const char* connectPrompt;
    const char* servicePrompt;
    const uint8_t* image;
    uint32_t size;
};

// The user-mode update leaves the peripheral's block 0x1000-0x1FFF alone: it is written
// from a copy in which that block is blank, so nothing is sent for it. The technical
// service update always gets the image as embedded.
static const uint32_t KEPT_FIRST = 0x1000, KEPT_LAST = 0x1FFF;
static uint8_t UserModeImage[REMOTE_IMAGE_SIZE > RECEIVER_IMAGE_SIZE ? REMOTE_IMAGE_SIZE : RECEIVER_IMAGE_SIZE];

static void UpdatePeripheral(const PeripheralKind& p) {
    ScreenPrintPair(p.connectPrompt, PRODUCT_NAME);
    ScreenPrintPair(MSG_PUSH_ENTER);
    WaitKey(KEY_ENTER, KEY_NONE);
    LinkSetSpeed(LINK_RATE_PACKETS);
    PeripheralDiscover();
    if (PeripheralTable.count == 1 && PeripheralTable.records[0].type == p.type) {
        RecordPeripheral(p.name, PeripheralTable.records[0].address);
        RecordPath(RECORD_PATH_USER_MODE);
        RecordWritten("%s image, %u bytes, 0x1000-0x1FFF kept", p.name, (unsigned)p.size);
        memcpy(UserModeImage, p.image, p.size);
        memset(UserModeImage + KEPT_FIRST, 0xFF, KEPT_LAST - KEPT_FIRST + 1);
        ScreenPrintPair(MSG_PERIPHERAL_UPDATE_QUESTION, p.name);
        if (WaitKey(KEY_ENTER, KEY_RIGHT) == KEY_ENTER)
            PeripheralUpdate(PeripheralTable.records[0].address, UserModeImage, p.size);
        return;
    }
    ScreenPrintPair(MSG_NO_PERIPHERAL, p.name);
    // A unit whose earlier update was cut short has no firmware to answer with: say so,
    // and what the technical-service path costs, before the technician chooses.
    ScreenPrintPair(MSG_SERVICE_WHY, p.name);
    ScreenPrintPair(MSG_SERVICE_UPDATE_QUESTION, p.name);
    RecordPeripheral(p.name, -1);
    if (WaitKey(KEY_ENTER, KEY_RIGHT) != KEY_ENTER) return;
    RecordPath(RECORD_PATH_TECHNICAL_SERVICE);
    RecordWritten("%s image, %u bytes", p.name, (unsigned)p.size);
    ScreenPrintPair(p.servicePrompt);
    PeripheralBootUpdate(p.name, p.image, p.size);
}

void UpdateRemoteCommand() {
    UpdatePeripheral({"Remote", PERIPHERAL_REMOTE, MSG_CONNECT_REMOTE, MSG_SERVICE_PROMPT_REMOTE, ImageRemote,
                      REMOTE_IMAGE_SIZE});
}

void UpdateReceiverCommand() {
    UpdatePeripheral({"Receiver", PERIPHERAL_RECEIVER, MSG_CONNECT_RECEIVER, MSG_SERVICE_PROMPT_RECEIVER,
                      ImageReceiver, RECEIVER_IMAGE_SIZE});
}

void UpdateTempaBoxCommand() {
    ScreenPrintPair(MSG_TEMPABOX_BOOT_PROMPT, PRODUCT_NAME);
    RecordPeripheral("Tempa BOX", -1);
    RecordPath(RECORD_PATH_BOOT_MODE);
    RecordWritten("Tempa BOX boot record %u bytes, image %u bytes", (unsigned)TEMPA_BOOT_SIZE,
                  (unsigned)TEMPA_IMAGE_SIZE);
    TempaBoxUpdate("Tempa BOX", ImageTempaBoot, TEMPA_BOOT_SIZE, ImageTempa, TEMPA_IMAGE_SIZE);
}
