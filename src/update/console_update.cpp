// console_update.cpp - "Update Console" in user mode: the running firmware erases and
// programs its own flash on our requests, one acknowledged request at a time.
#include "update/console_update.h"

#include <cstdio>
#include <cstring>


#include "bootmode/console_boot.h"
#include "link/link.h"
#include "base/messages.h"
#include "base/screen.h"
#include "base/base.h"
#include "base/progress.h"
#include "update/languages.h"
#include "record/record.h"
#include "version.h"

static const uint32_t SEEK_LAST_US = 2000000;

static const uint32_t HANDSHAKE_PAUSE_US = 200000;
static const uint32_t HANDSHAKE_ACK_US = 100000;
static const int HANDSHAKE_ATTEMPTS = 4;
// The console erases a block before it answers; its largest block takes up to ~10 s.
static const uint32_t ERASE_ACK_US = 10200000;
static const uint32_t PROGRAM_ACK_US = 440000;
static const uint32_t END_ACK_US = 200000;

static const uint32_t ERASE_BLOCKS = 16;

enum { SUB_START = 0x00, SUB_ERASE = 0x01, SUB_PROGRAM = 0x02, SUB_END = 0x03 };

static void SendRequest(uint8_t sub) { SendFlashRequest(FRAME_USER_UPDATE, sub); }

// The handshake repeats the start request; whatever answered an earlier copy is
// flushed first, so only an answer to this very copy counts.
static bool StartHandshake() {
    for (int attempt = 0; attempt < HANDSHAKE_ATTEMPTS; attempt++) {
        DelayMicroseconds(HANDSHAKE_PAUSE_US);
        FlushInput();
        SendRequest(SUB_START);
        if (WaitReply(HANDSHAKE_ACK_US, FRAME_USER_UPDATE) == WaitResult::Ok) return true;
    }
    return false;
}

static bool EraseBlocks() {
    ProgressBegin(PROGRESS_ERASING, ERASE_BLOCKS);
    for (uint32_t block = 0; block < ERASE_BLOCKS; block++) {
        uint8_t frame[5] = {FRAME_START, FRAME_USER_UPDATE, SUB_ERASE, (uint8_t)block, 0};
        frame[4] = FrameChecksum(frame, 4);
        SendFrame(frame, 5);
        ScreenPrintPair(MSG_ERASING_BLOCK, block);
        if (WaitReply(ERASE_ACK_US, FRAME_USER_UPDATE) != WaitResult::Ok) return false;
        ProgressStep(block + 1);
    }
    return true;
}

// Chunks that will go out: the blank ones are skipped.
static uint32_t ChunksToSend(const uint8_t* buffer, uint32_t size) {
    uint32_t n = 0;
    for (uint32_t offset = 0; offset < size; offset += FLASH_CHUNK) n += !IsBlank(buffer + offset, FLASH_CHUNK);
    return n;
}

static bool ProgramChunks(const uint8_t* buffer, uint32_t size) {
    uint32_t sent = 0;
    ProgressBegin(PROGRESS_PROGRAMMING, ChunksToSend(buffer, size));
    for (uint32_t offset = 0; offset < size; offset += FLASH_CHUNK) {
        if (IsBlank(buffer + offset, FLASH_CHUNK)) continue;
        SendFlashChunk(FRAME_USER_UPDATE, SUB_PROGRAM, offset, buffer + offset);
        ScreenPrintPair(MSG_PROGRAMING_ADDRESS, offset);
        if (WaitReply(PROGRAM_ACK_US, FRAME_USER_UPDATE) != WaitResult::Ok) return false;
        ProgressStep(++sent);
    }
    return true;
}

bool UserModeUpdate(const char* name, const uint8_t* buffer, uint32_t size) {
    LogAppend("-----User Update-----\n");
    SendRequest(SUB_START);
    ScreenPrintPair(MSG_BEGIN);
    bool ok = StartHandshake();
    if (ok) {
        ScreenPrintPair(MSG_DELETING_FLASH);
        ok = EraseBlocks();
    }
    if (ok) {
        ScreenPrintPair(MSG_PROGRAMMING_FLASH);
        ok = ProgramChunks(buffer, size);
    }
    if (ok) {
        SendRequest(SUB_END);
        ScreenPrintPair(MSG_END);
        ok = WaitReply(END_ACK_US, FRAME_USER_UPDATE) == WaitResult::Ok;
    }
    ProgressEnd(ok);
    if (!ok) {
        ScreenPrint(TEXT_ERROR);
        RecordResult(RECORD_RESULT_FAILED);
        return false;
    }
    ScreenPrintPair(MSG_UPDATED, name);
    RecordResult(RECORD_RESULT_UPDATED);
    return true;
}

// The console image and the languages that follow it, in the console's order.
static void RecordConsoleImage() {
    static const char* const NAMES[4] = {"Castellano", "English", "Fran\xC3\xA7" "ais", "German"};
    char languages[64] = "";
    for (int i = 0; i < LanguageCount && i < 4; i++) {
        size_t n = strlen(languages);
        snprintf(languages + n, sizeof languages - n, "%s%s", i ? " " : "", NAMES[LanguageList[i] & 3]);
    }
    RecordWritten("console %x.%02x, languages %s", KQ_SOFT_MAJOR, KQ_SOFT_MINOR, languages);
}

// The running console under its identities, then the one it shows before its USB
// set-up is complete.
static bool SeekConsoleForUpdate() {
    ProgressBeginTimed(PROGRESS_SEARCHING, RunningConsoleSeekUs() + SEEK_LAST_US);
    return SeekRunningConsole() || SeekDevice(ID_CONSOLE_LAST, SEEK_LAST_US);
}

void UpdateConsoleCommand() {
    LinkThreadStart(ReceiveThread);
    PrepareFlashBuffer();
    RecordConsoleImage();
    ScreenPrint("-----User Update-----\n");
    ScreenPrintPair(MSG_CONNECTING, PRODUCT_NAME);
    bool found = SeekConsoleForUpdate();
    ProgressHide();
    RecordPath(found ? RECORD_PATH_USER_MODE : RECORD_PATH_BOOT_MODE);
    if (found)
        UserModeUpdate(PRODUCT_NAME, FlashBuffer, FLASH_SIZE);
    else
        ConsoleBootFallback(PRODUCT_NAME, FlashBuffer, FLASH_SIZE);
    LinkThreadStop();
    ClosePipes();
}
