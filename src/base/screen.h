// screen.h - the 80 x 36 text screen and its printf-like writer.
#pragma once

#include <cstdarg>
#include <cstdint>

const int SCREEN_COLUMNS = 80;
const int SCREEN_ROWS = 36;
const int SCREEN_CELLS = SCREEN_COLUMNS * SCREEN_ROWS;  // 2880

extern uint8_t ScreenCells[SCREEN_CELLS];  // one font code per cell, row after row
extern int32_t ScreenCursor;               // index of the next cell to write

// Writes the formatted text at the cursor, then repaints the window at once.
// Directives: %% %c %[-0+][width]u x X d s; every value is 32-bit, strings by address.
void ScreenPrint(const char* format, ...);
void ScreenVPrint(const char* format, va_list values);
// Blanks all cells and puts the cursor at 0; no repaint.
void ScreenClear();
// The string of a message pair that the language flag selects.
const char* PickMessage(const char* pair);
// Selects the language variant of pair and prints it with the values.
void ScreenPrintPair(const char* pair, ...);
