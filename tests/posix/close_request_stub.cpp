// What devices.cpp and usb.cpp ask of the rest of the program, without a terminal.
#include "platform/posix/posix.h"

bool CloseRequested() { return false; }

// The USB code's messages go to the text screen; these tests have none.
void ScreenPrint(const char*, ...) {}
