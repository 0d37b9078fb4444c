// screen.cpp - the text screen model and its printf-like writer. Backends only draw
// ScreenCells; every rule of layout lives here.
#include "base/screen.h"

#include <cstring>

#include "platform/platform.h"
#include "base/base.h"

uint8_t ScreenCells[SCREEN_CELLS];
int32_t ScreenCursor;

static void ScrollOneRow() {
    memmove(ScreenCells, ScreenCells + SCREEN_COLUMNS, SCREEN_CELLS - SCREEN_COLUMNS);
    memset(ScreenCells + SCREEN_CELLS - SCREEN_COLUMNS, ' ', SCREEN_COLUMNS);
    ScreenCursor = SCREEN_CELLS - SCREEN_COLUMNS;
}

static void NewLine() {
    ScreenCursor = ScreenCursor / SCREEN_COLUMNS * SCREEN_COLUMNS + SCREEN_COLUMNS;
    if (ScreenCursor >= SCREEN_CELLS) ScrollOneRow();
}

// Text that runs past the last cell without a new line scrolls like a new line, so
// nothing is ever stored outside the buffer.
static void PutCell(uint8_t c) {
    if (ScreenCursor < 0) ScreenCursor = 0;
    if (ScreenCursor >= SCREEN_CELLS) ScrollOneRow();
    ScreenCells[ScreenCursor++] = c;
}

static void PutText(const char* text, size_t n) {
    for (size_t i = 0; i < n; i++) PutCell((uint8_t)text[i]);
}

static void PutFill(char c, int n) {
    for (int i = 0; i < n; i++) PutCell((uint8_t)c);
}

// Digits of value in base (10 or 16), without leading zeros.
static int FormatDigits(uint32_t value, unsigned base, bool upper, char* out) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[16];
    int n = 0;
    do {
        reversed[n++] = digits[value % base];
        value /= base;
    } while (value != 0);
    for (int i = 0; i < n; i++) out[i] = reversed[n - 1 - i];
    return n;
}

// One numeric or string conversion with its flag (' ', '-', '0' or '+') and width.
static void PutConversion(char conversion, char flag, int width, va_list* values) {
    if (conversion == 's') {
        const char* s = va_arg(*values, const char*);
        if (s == nullptr) s = "(null)";
        int len = (int)strlen(s);
        int fill = width > len ? width - len : 0;
        if (flag != '-') PutFill(' ', fill);
        PutText(s, (size_t)len);
        if (flag == '-') PutFill(' ', fill);
        return;
    }
    uint32_t raw = va_arg(*values, uint32_t);
    bool negative = conversion == 'd' && (int32_t)raw < 0;
    uint32_t magnitude = negative ? 0u - raw : raw;
    char digits[16];
    unsigned base = (conversion == 'x' || conversion == 'X') ? 16 : 10;
    int n = FormatDigits(magnitude, base, conversion == 'X', digits);
    char sign = 0;
    if (negative)
        sign = '-';
    else if (flag == '+' && conversion == 'd')
        sign = '+';
    int fill = width - n - (sign ? 1 : 0);
    if (fill < 0) fill = 0;
    if (flag == '-') {
        if (sign) PutCell((uint8_t)sign);
        PutText(digits, (size_t)n);
        PutFill(' ', fill);
    } else if (flag == '0') {
        if (sign) PutCell((uint8_t)sign);
        PutFill('0', fill);
        PutText(digits, (size_t)n);
    } else {
        PutFill(' ', fill);
        if (sign) PutCell((uint8_t)sign);
        PutText(digits, (size_t)n);
    }
}

// Reads one directive after a '%'; returns the position of the next format byte.
static const char* PutDirective(const char* p, va_list* values) {
    const char* start = p - 1;  // the '%'
    if (*p == '%') {
        PutCell('%');
        return p + 1;
    }
    if (*p == 'c') {
        PutCell((uint8_t)va_arg(*values, uint32_t));
        return p + 1;
    }
    char flag = ' ';
    if (*p == '-' || *p == '0' || *p == '+') flag = *p++;
    int width = 0;
    while (*p >= '0' && *p <= '9') {
        if (width < 1000) width = width * 10 + (*p - '0');
        p++;
    }
    switch (*p) {
    case 'u': case 'x': case 'X': case 'd': case 's':
        PutConversion(*p, flag, width, values);
        return p + 1;
    default:
        // Not a conversion: the text from the '%' is stored as it stands and the
        // character is read again as ordinary text.
        PutText(start, (size_t)(p - start));
        return p;
    }
}

void ScreenVPrint(const char* format, va_list values) {
    va_list local;
    va_copy(local, values);
    const char* p = format;
    while (*p) {
        char c = *p++;
        if (c == '\n')
            NewLine();
        else if (c == '\r')
            ScreenCursor = ScreenCursor / SCREEN_COLUMNS * SCREEN_COLUMNS;
        else if (c == '%')
            p = PutDirective(p, &local);
        else
            PutCell((uint8_t)c);
    }
    va_end(local);
    PlatRepaint();
}

void ScreenPrint(const char* format, ...) {
    va_list values;
    va_start(values, format);
    ScreenVPrint(format, values);
    va_end(values);
}

void ScreenClear() {
    memset(ScreenCells, ' ', sizeof ScreenCells);
    ScreenCursor = 0;
}

const char* PickMessage(const char* pair) {
    const char* s = pair;
    for (unsigned skip = LanguageFlag; skip > 0; skip--) s += strlen(s) + 1;
    return s;
}

void ScreenPrintPair(const char* pair, ...) {
    va_list values;
    va_start(values, pair);
    ScreenVPrint(PickMessage(pair), values);
    va_end(values);
}
