// vinculum.cpp - the Vinculum firmware, by USB stick or through the running console.
//
// By stick the console is not involved while we run: its Vinculum finds FTRFB.FTD in
// the root of the stick at power-up and loads it by itself. By cable the console puts
// its Vinculum into the loader, and programs and reads back each 1 KiB page on our
// requests (frame type 0x00); a verify is acknowledged only when the page matches.
#include "update/vinculum.h"


#include "images/images.h"
#include "link/link.h"
#include "platform/platform.h"
#include "base/messages.h"
#include "base/screen.h"
#include "base/base.h"
#include "base/progress.h"
#include "base/waits.h"
#include "record/record.h"

static const char VINCULUM_NAME[] = "Vinculum";
// The name the Vinculum's loader looks for in the root of the stick.
static const char VINCULUM_FILE_NAME[] = "FTRFB.FTD";

// A pause before the first attempt, as when connecting for the other commands.
static const uint32_t CONNECT_PAUSE_US = 1000000;
// Start puts the Vinculum into its loader and end restarts it; both answer within 1 s.
static const uint32_t START_END_ACK_US = 1000000;
// A page is erased and written (or read back) before the console answers.
static const uint32_t CHUNK_ACK_US = 2000000;
// Sends of one chunk, program or verify, before the update is given up.
static const int CHUNK_SENDS = 5;

enum { SUB_START = 0x00, SUB_PROGRAM = 0x02, SUB_END = 0x03, SUB_VERIFY = 0x05 };

// Failures in a row of the chunk being sent; shared by the program and verify passes.
static int ChunkFailures;

// ---- By USB stick ------------------------------------------------------------------------

void VinculumToStickCommand() {
    RecordPath(RECORD_PATH_USB_STICK);
    ScreenPrintPair(MSG_STICK_DRIVE_PROMPT);
    int key = WaitDriveLetter();
    if (key == KEY_RIGHT) return;
    RecordWritten("Vinculum 03.68, %s on drive %c", VINCULUM_FILE_NAME, (char)key);
    char path[4096];
    bool written = false;
    if (PlatDriveFilePath((char)key, VINCULUM_FILE_NAME, path, sizeof path)) {
        long count = PlatWriteWholeFile(path, ImageVinculumFile, VINCULUM_FILE_SIZE);
        written = count == (long)VINCULUM_FILE_SIZE;
        // A stick that filled up keeps a cut-off update file; the Vinculum would find
        // it at the next power-up, so it goes.
        if (!written && count >= 0) PlatDeleteFile(path);
    }
    ScreenPrintPair(written ? MSG_STICK_READY : MSG_STICK_ERROR);
    RecordResult(written ? RECORD_RESULT_UPDATED : RECORD_RESULT_FAILED);
}

// ---- By cable ------------------------------------------------------------------------------

// Start, end, and every chunk go out only after whatever is still in the ring has been
// dropped: an answer that came twice, or too late for an earlier copy, must not pass
// for the answer to this request (it could hide a page that fails its verify).
static bool ShortRequest(uint8_t sub, const char* pair) {
    FlushInput();
    SendFlashRequest(FRAME_VINCULUM, sub);  // start: 80 00 00 80, end: 80 00 03 7D
    ScreenPrintPair(pair);
    return WaitReply(START_END_ACK_US, FRAME_VINCULUM) == WaitResult::Ok;
}

// Unlike the console's own flash, every chunk goes, blank ones too: each request
// rewrites a whole page of the Vinculum, and the verify reads back the whole image.
static bool SendChunks(uint8_t sub, const char* addressPair) {
    uint32_t offset = 0;
    ProgressBegin(sub == SUB_VERIFY ? PROGRESS_VERIFYING : PROGRESS_PROGRAMMING, VINCULUM_IMAGE_SIZE / FLASH_CHUNK);
    while (offset < VINCULUM_IMAGE_SIZE) {
        FlushInput();
        SendFlashChunk(FRAME_VINCULUM, sub, offset, ImageVinculum + offset);
        ScreenPrintPair(addressPair, offset);
        if (WaitReply(CHUNK_ACK_US, FRAME_VINCULUM) == WaitResult::Ok) {
            ChunkFailures = 0;
            offset += FLASH_CHUNK;
            ProgressStep(offset / FLASH_CHUNK);
        } else if (++ChunkFailures >= CHUNK_SENDS) {
            return false;
        }
        // else the same chunk once more
    }
    return true;
}

static bool VinculumUpdate() {
    LogAppend("-----Vinculum Update-----\n");
    if (!ShortRequest(SUB_START, MSG_BEGIN)) return false;
    ScreenPrintPair(MSG_PROGRAMMING_FLASH);
    ChunkFailures = 0;
    if (!SendChunks(SUB_PROGRAM, MSG_PROGRAMING_ADDRESS)) return false;
    ScreenPrintPair(MSG_VERIFYING_FLASH);
    if (!SendChunks(SUB_VERIFY, MSG_VERIFYING_ADDRESS)) return false;
    return ShortRequest(SUB_END, MSG_END);
}

void VinculumByCable() {
    LinkThreadStart(ReceiveThread);
    RecordPath(RECORD_PATH_CABLE);
    ScreenPrint("-----Vinculum Update-----\n");
    ScreenPrintPair(MSG_CONNECTING, PRODUCT_NAME);
    ProgressBeginTimed(PROGRESS_SEARCHING, CONNECT_PAUSE_US + RunningConsoleSeekUs());
    DelayMicroseconds(CONNECT_PAUSE_US);
    if (!SeekRunningConsole()) {
        ProgressEnd(false);
        ScreenPrintPair(MSG_NOT_FOUND, PRODUCT_NAME);
        RecordResult(RECORD_RESULT_NOT_FOUND);
    } else if (RecordWritten("Vinculum 03.68"), ProgressHide(), VinculumUpdate()) {
        ProgressEnd(true);
        ScreenPrintPair(MSG_UPDATED, VINCULUM_NAME);
        RecordResult(RECORD_RESULT_UPDATED);
    } else {
        ProgressEnd(false);
        ScreenPrint(TEXT_ERROR);
        RecordResult(RECORD_RESULT_FAILED);
    }
    LinkThreadStop();
    ClosePipes();
}
