// languages.h - the console image, the console's message table and the languages the
// operator installs with it: the language area and the flash buffer.
#pragma once

#include <cstdint>

#include "resources/resource.h"

const uint32_t FLASH_SIZE = 0x80000;             // the console's flash, 512 KiB
const uint32_t LANGUAGE_AREA_OFFSET = 0x74186;   // right after the console image
const uint32_t MESSAGE_COUNT = 168;
const uint32_t LANGUAGE_AREA_HEADER = 2 + 2 * MESSAGE_COUNT;  // 338

// Dialog control and button identifiers of IdiomaDialog (the resource script's own).
enum {
    IDC_LANGUAGE_FREE = IDC_LANG_FREE,
    IDC_LANGUAGE_LIST = IDC_LANG_LIST,
    IDC_LANGUAGE_CLEAR = IDC_LANG_CLEAR,
    IDC_LANGUAGE_FIRST = IDC_LANG_CASTELLANO,  // Castellano, English, Francais, German
    IDC_LANGUAGE_LAST = IDC_LANG_DEUTSCH,
    IDC_LANGUAGE_OK = 1,
};

extern uint8_t FlashBuffer[FLASH_SIZE];

// The string of a message in a language (0 Castellano, 1 English, 2 Francais, 3 German).
const char* MessageText(uint32_t message, uint32_t language);
// Where the language area would end for the current list, as a flash offset.
uint32_t LanguageAreaEnd(uint32_t areaStart);
// "%d: %s\n" per list entry with the language's own name; "" for an empty list.
void LanguageListText(char* buffer, uint32_t capacity);
// Shows the dialog, then writes the language area at areaStart; returns its end.
uint32_t SelectLanguages(uint32_t areaStart, uint32_t flashEnd);
// Writes the language area for the current list at FlashBuffer + areaStart.
uint32_t WriteLanguageArea(uint32_t areaStart);
// Image, language dialog and area, 0xFF to the end of the flash buffer.
void PrepareFlashBuffer();

// ---- The dialog's logic; the backends only show it. ---------------------------------
extern char LanguageDialogFreeText[64];   // control 301
extern char LanguageDialogListText[128];  // control 302
void LanguageDialogOpen();
// A button was pressed; true when the dialog may close.
bool LanguageDialogButton(int id);
