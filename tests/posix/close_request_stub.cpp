// The terminal's close request, which devices.cpp asks about, without a terminal.
#include "platform/posix/posix.h"

bool CloseRequested() { return false; }
