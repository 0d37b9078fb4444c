// cp437.cpp - the screen font's codes shown as Unicode characters in a terminal.
//
// The font follows code page 437, so each byte shows as its code page 437 character:
// 0x01-0x1F as the classic graphic symbols (smileys, card suits, arrows), 0x7F as the
// house. Two choices of ours:
//   - 0x00 shows as a blank: the cells hold zero bytes until the screen is first
//     cleared, and a blank is what the window shows there too.
//   - 0xFF shows as a full block, as the font draws it (code page 437 has a
//     non-breaking space there, which would be invisible).
// 0xB0-0xE1 hold the console display's own symbols in the font (digits with a point,
// bar-graph steps); a terminal has no such glyphs, so they show as their code page 437
// characters (box drawing, Greek).
#include <climits>
#include <cwchar>
#include "base/cp437.h"
#include "platform/posix/posix.h"

static const wchar_t LOW_SYMBOLS[] =
    L" \u263A\u263B\u2665\u2666\u2663\u2660\u2022\u25D8\u25CB\u25D9\u2642\u2640\u266A\u266B\u263C"
    L"\u25BA\u25C4\u2195\u203C\u00B6\u00A7\u25AC\u21A8\u2191\u2193\u2192\u2190\u221F\u2194\u25B2\u25BC";

static_assert(sizeof LOW_SYMBOLS / sizeof(wchar_t) == 32 + 1, "0x00-0x1F: 32 symbols");

wchar_t Cp437ToUnicode(uint8_t byte) {
    if (byte < 0x20) return LOW_SYMBOLS[byte];
    if (byte == 0x7F) return L'\u2302';
    if (byte < 0x80) return (wchar_t)byte;
    if (byte == 0xFF) return L'\u2588';
    return (wchar_t)Cp437High(byte);
}

void PutCp437(FILE* out, const char* text) {
    for (const char* p = text; *p != 0; p++) {
        uint8_t byte = (uint8_t)*p;
        if (byte < 0x80) {
            fputc(byte, out);
            continue;
        }
        char encoded[MB_LEN_MAX];
        mbstate_t state = {};
        size_t n = wcrtomb(encoded, Cp437ToUnicode(byte), &state);
        if (n == (size_t)-1)
            fputc('?', out);
        else
            fwrite(encoded, 1, n, out);
    }
}

void Cp437ToWide(const char* text, wchar_t* out, size_t capacity) {
    if (capacity == 0) return;
    size_t n = 0;
    for (; n + 1 < capacity && text[n] != 0; n++) out[n] = Cp437ToUnicode((uint8_t)text[n]);
    out[n] = 0;
}
