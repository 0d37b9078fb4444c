// The MAC dialog's receiver, fed the console's bytes, and "OK" with any field text:
// nothing may be read or written out of bounds, and the texts shown stay terminated
// and within their controls.
#include <cstdlib>
#include <cstring>

#include "mac/mac.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MacDialogInit();
    // Up to the first zero byte: the text of the "New:" field for one "OK".
    size_t cut = 0;
    while (cut < size && cut < 16 && data[cut] != 0) cut++;
    char field[17];
    memcpy(field, data, cut);
    field[cut] = 0;
    MacDialogCommand(IDC_MAC_OK, field);
    if (cut < size) MacReceiveBytes(data + cut, (uint32_t)(size - cut));
    MacDialogView view;
    MacDialogTakeChanges(&view);
    if (strlen(view.currentLow) > 6 || strlen(view.currentHigh) > 9) abort();
    if (strlen(view.newLow) > MAC_FIELD_CHARS) abort();
    MacDialogCommand(IDC_MAC_EXIT, "");
    return 0;
}
