// languages.cpp - the language area that follows the console image in flash, and the
// dialog in which the operator picks the languages and their order.
#include "update/languages.h"

#include <cstdio>
#include <cstring>

#include "images/images.h"
#include "platform/platform.h"
#include "base/base.h"

uint8_t FlashBuffer[FLASH_SIZE];
char LanguageDialogFreeText[64];
char LanguageDialogListText[128];

// The console finds message i of its k-th installed language by skipping k strings
// from the offset of message i; the table's offsets are little-endian, the area's are
// big-endian, as the console's processor reads them.
const char* MessageText(uint32_t message, uint32_t language) {
    const uint8_t* at = ImageMessageTable + 2 + 2 * message;
    uint32_t offset = (uint32_t)at[0] | (uint32_t)at[1] << 8;
    const char* s = (const char*)ImageMessageTable + offset;
    for (uint32_t k = 0; k < language; k++) s += strlen(s) + 1;
    return s;
}

static uint32_t LanguageSize(uint32_t language) {
    uint32_t total = 0;
    for (uint32_t i = 0; i < MESSAGE_COUNT; i++) total += (uint32_t)strlen(MessageText(i, language)) + 1;
    return total;
}

uint32_t LanguageAreaEnd(uint32_t areaStart) {
    uint32_t end = areaStart + LANGUAGE_AREA_HEADER;
    for (uint32_t k = 0; k < LanguageCount; k++) end += LanguageSize(LanguageList[k]);
    return end;
}

void LanguageListText(char* buffer, uint32_t capacity) {
    uint32_t used = 0;
    buffer[0] = 0;
    for (uint32_t k = 0; k < LanguageCount && used < capacity; k++) {
        int n = snprintf(buffer + used, capacity - used, "%d: %s\n", (int)k, MessageText(0, LanguageList[k]));
        if (n < 0) break;
        used += (uint32_t)n;
    }
}

// The dialog works on the flash offsets of the area it will write.
static uint32_t DialogAreaStart = LANGUAGE_AREA_OFFSET;
static uint32_t DialogFlashEnd = FLASH_SIZE;

static void RefreshDialog() {
    int free = ((int)DialogFlashEnd - (int)LanguageAreaEnd(DialogAreaStart)) * 100 / (int)FLASH_SIZE;
    snprintf(LanguageDialogFreeText, sizeof LanguageDialogFreeText, "%u%% Flash Memory Free", (unsigned)free);
    LanguageListText(LanguageDialogListText, sizeof LanguageDialogListText);
}

void LanguageDialogOpen() {
    while (LanguageCount > 0 && LanguageAreaEnd(DialogAreaStart) > DialogFlashEnd) LanguageCount--;
    RefreshDialog();
}

bool LanguageDialogButton(int id) {
    if (id >= IDC_LANGUAGE_FIRST && id <= IDC_LANGUAGE_LAST) {
        uint8_t language = (uint8_t)(id - IDC_LANGUAGE_FIRST);
        for (uint32_t k = 0; k < LanguageCount; k++)
            if (LanguageList[k] == language) return false;
        if (LanguageCount >= 4) return false;
        LanguageList[LanguageCount++] = language;
        if (LanguageAreaEnd(DialogAreaStart) > DialogFlashEnd) {
            LanguageCount--;
            PlatMessageBox("Full Flash Memory", nullptr);
        }
        RefreshDialog();
        return false;
    }
    if (id == IDC_LANGUAGE_CLEAR) {
        LanguageCount = 0;
        RefreshDialog();
        return false;
    }
    return id == IDC_LANGUAGE_OK && LanguageCount > 0;
}

uint32_t WriteLanguageArea(uint32_t areaStart) {
    uint8_t* area = FlashBuffer + areaStart;
    area[0] = LanguageCount;
    area[1] = 0;
    uint32_t a = LANGUAGE_AREA_HEADER;
    for (uint32_t i = 0; i < MESSAGE_COUNT; i++) {
        area[2 + 2 * i] = (uint8_t)(a >> 8);
        area[3 + 2 * i] = (uint8_t)a;
        for (uint32_t k = 0; k < LanguageCount; k++) {
            const char* s = MessageText(i, LanguageList[k]);
            uint32_t n = (uint32_t)strlen(s) + 1;
            if (areaStart + a + n > FLASH_SIZE) return areaStart + a;  // never past the buffer
            memcpy(area + a, s, n);
            a += n;
        }
    }
    return areaStart + a;
}

uint32_t SelectLanguages(uint32_t areaStart, uint32_t flashEnd) {
    DialogAreaStart = areaStart;
    DialogFlashEnd = flashEnd;
    PlatLanguageDialog();
    return WriteLanguageArea(areaStart);
}

void PrepareFlashBuffer() {
    memcpy(FlashBuffer, ImageConsole, CONSOLE_IMAGE_SIZE);
    uint32_t end = SelectLanguages(LANGUAGE_AREA_OFFSET, FLASH_SIZE);
    memset(FlashBuffer + end, 0xFF, FLASH_SIZE - end);
}
