// resize_request.cpp - the escape sequence that asks a terminal to grow to the layout.
#include <cstdio>

#include "platform/posix/posix.h"

void FormatResizeRequest(int rows, int columns, char* request, size_t capacity) {
    if (rows < TERM_NEEDED_ROWS) rows = TERM_NEEDED_ROWS;  // never shrink what is larger
    if (columns < TERM_NEEDED_COLUMNS) columns = TERM_NEEDED_COLUMNS;
    snprintf(request, capacity, "\033[8;%d;%dt", rows, columns);
}
