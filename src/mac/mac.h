// mac.h - "Set MAC Address" (command 104): the MacDialog's logic, its receive-thread
// routine and the next address to hand out, kept in kq.ini.
//
// Every address the tool sets begins 00-1F-19; the operator gives the last three bytes
// as six hexadecimal digits. kq.ini (section Kqsfupdt, key Mac) holds the next address
// to hand out; it advances by one when the operator sets exactly that address and the
// console confirms it, so a run of consoles gets consecutive addresses.
//
// Threads: the dialog functions run on the window thread, MacReceive on the receive
// thread. The texts of the controls, the stored address and the confirmation countdown
// are shared by both and change only under one lock inside mac.cpp; the backends never
// see that lock, they take copies with MacDialogTakeChanges.
#pragma once

#include <cstdint>

#include "resources/resource.h"

// Dialog control and button identifiers of MacDialog (the resource script's own).
enum {
    IDC_MAC_CURRENT_HIGH_TEXT = IDC_MAC_CURRENT_HIGH,  // console's address, first three bytes, "00-1F-19-"
    IDC_MAC_CURRENT_LOW_TEXT = IDC_MAC_CURRENT_LOW,    // console's address, last three bytes, "000123"
    IDC_MAC_NEW_HIGH_TEXT = IDC_MAC_NEW_HIGH,          // the fixed half of the new address
    IDC_MAC_NEW_LOW_EDIT = IDC_MAC_NEW_LOW,            // the operator's six digits
    IDC_MAC_OK = 1,
    IDC_MAC_EXIT = 2,
};

// Bits of MacDialogTakeChanges: which controls the backend must show anew.
enum {
    MAC_CHANGED_CURRENT_HIGH = 1 << 0,
    MAC_CHANGED_CURRENT_LOW = 1 << 1,
    MAC_CHANGED_NEW_HIGH = 1 << 2,
    MAC_CHANGED_NEW_LOW = 1 << 3,
};

// The text of control 204: six hexadecimal digits, and the field takes no more, so
// what the operator sees is exactly what is sent.
const uint32_t MAC_FIELD_CHARS = 6;

// The texts of the four controls.
struct MacDialogView {
    char currentHigh[16];  // 201
    char currentLow[16];   // 202
    char newHigh[16];      // 203
    char newLow[MAC_FIELD_CHARS + 1];  // 204
};

// The body of command 104 once the console is connected: the modal dialog.
void SetMacAddressDialog();

// ---- The dialog's logic; the backends only show it (PlatMacDialog). ----------------
// The dialog opens: the "Current:" line as in the resource, 00-1F-19- and the stored
// address from kq.ini on the "New:" line.
void MacDialogInit();
// The dialog's 200 ms timer: asks the console for its address.
void MacDialogTimer();
// A button: id 1 "OK" with the text of control 204, id 2 "Exit". True when the dialog
// closes; false for OK and for every other id.
bool MacDialogCommand(int id, const char* newLowText);
// Copies the texts into *view and returns the MAC_CHANGED_ bits of the controls changed
// since the last call (all four after MacDialogInit). [any thread]
unsigned MacDialogTakeChanges(MacDialogView* view);

// The receive-thread routine of command 104: reads the console's MAC replies straight
// from InPipe, shows them and confirms a set address. No received byte is logged.
void MacReceive();

// ---- Pieces, exposed for the tests ------------------------------------------------------
// What MacReceive does with each block it reads: bytes from the console, in order.
void MacReceiveBytes(const uint8_t* bytes, uint32_t count);
// Adds one to the six hexadecimal digits (upper case) of text; "FFFFFF" becomes
// "000000". Characters after the sixth are left alone.
void MacAdvance(char* text);
// Builds the 9-byte MAC set frame from six hexadecimal digits; false (and nothing
// built) when one of the first six characters is not a hexadecimal digit.
bool MacSetFrame(const char* digits, uint8_t frame[9]);
