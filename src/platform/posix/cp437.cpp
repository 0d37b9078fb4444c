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

#include "platform/posix/posix.h"

static const wchar_t LOW_SYMBOLS[] =
    L" \u263A\u263B\u2665\u2666\u2663\u2660\u2022\u25D8\u25CB\u25D9\u2642\u2640\u266A\u266B\u263C"
    L"\u25BA\u25C4\u2195\u203C\u00B6\u00A7\u25AC\u21A8\u2191\u2193\u2192\u2190\u221F\u2194\u25B2\u25BC";

static const wchar_t HIGH_SYMBOLS[] =
    L"\u00C7\u00FC\u00E9\u00E2\u00E4\u00E0\u00E5\u00E7\u00EA\u00EB\u00E8\u00EF\u00EE\u00EC\u00C4\u00C5"
    L"\u00C9\u00E6\u00C6\u00F4\u00F6\u00F2\u00FB\u00F9\u00FF\u00D6\u00DC\u00A2\u00A3\u00A5\u20A7\u0192"
    L"\u00E1\u00ED\u00F3\u00FA\u00F1\u00D1\u00AA\u00BA\u00BF\u2310\u00AC\u00BD\u00BC\u00A1\u00AB\u00BB"
    L"\u2591\u2592\u2593\u2502\u2524\u2561\u2562\u2556\u2555\u2563\u2551\u2557\u255D\u255C\u255B\u2510"
    L"\u2514\u2534\u252C\u251C\u2500\u253C\u255E\u255F\u255A\u2554\u2569\u2566\u2560\u2550\u256C\u2567"
    L"\u2568\u2564\u2565\u2559\u2558\u2552\u2553\u256B\u256A\u2518\u250C\u2588\u2584\u258C\u2590\u2580"
    L"\u03B1\u00DF\u0393\u03C0\u03A3\u03C3\u00B5\u03C4\u03A6\u0398\u03A9\u03B4\u221E\u03C6\u03B5\u2229"
    L"\u2261\u00B1\u2265\u2264\u2320\u2321\u00F7\u2248\u00B0\u2219\u00B7\u221A\u207F\u00B2\u25A0\u2588";

static_assert(sizeof LOW_SYMBOLS / sizeof(wchar_t) == 32 + 1, "0x00-0x1F: 32 symbols");
static_assert(sizeof HIGH_SYMBOLS / sizeof(wchar_t) == 128 + 1, "0x80-0xFF: 128 symbols");

wchar_t Cp437ToUnicode(uint8_t byte) {
    if (byte < 0x20) return LOW_SYMBOLS[byte];
    if (byte == 0x7F) return L'\u2302';
    if (byte < 0x80) return (wchar_t)byte;
    return HIGH_SYMBOLS[byte - 0x80];
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
        size_t n = wcrtomb(encoded, HIGH_SYMBOLS[byte & 0x7F], &state);
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
