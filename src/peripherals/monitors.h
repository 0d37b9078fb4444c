// monitors.h - the service menu's live tests of the peripherals on KQ-LINK: "Test
// Remote", "Test Receiver" and "Test Tempa BOX". Each finds exactly one unit of its
// type, then polls it until the operator presses [ENTER], printing every fresh answer
// as one line; the Remote and Receiver tests echo what they read to the unit's display.
#pragma once

#include <cstdint>

// Query and set packets (kinds 6 and 0xA; the answers to queries are kind 4).
enum { QUERY_LEVEL = 0x01, QUERY_FUNCTION = 0x02, QUERY_STATUS = 0x04 };
enum { SET_REMOTE = 0x01, SET_TEXT = 0x02 };

const uint32_t DISPLAY_TEXT_LENGTH = 63;
const uint32_t DISPLAY_TEXT_COLUMN = 42;  // where the text starts on the unit's display
const uint32_t STATUS_BYTES = 10;

// The Remote's function names by number; 0x01 and 0x02 are display symbols.
const uint16_t FUNCTION_NAME_COUNT = 265;
extern const char* const FunctionNames[FUNCTION_NAME_COUNT];
// The name of a function number; numbers past the table read "#265" and so on.
const char* FunctionName(uint16_t number);

// The Tempa BOX status shown last; zeros at start-up, kept from one test to the next.
extern uint8_t LastStatus[STATUS_BYTES];

// A function answer (80, 40+a, 02, function byte, function-and-state byte, checksum):
// the number is byte 3 + 4 x (byte 4 AND 0x60), the state bit 0 of byte 4.
uint16_t FunctionNumber(uint8_t functionByte, uint8_t stateByte);
// The 63 display bytes: blanks, "Fn: %s  St: %u" from column 42, a zero, blanks.
void DisplayText(uint16_t function, uint8_t state, uint8_t text[DISPLAY_TEXT_LENGTH]);

// Bodies of commands 107, 108 and 110 (inside the console frame of the shell); each
// ends the KQ-LINK exchange itself.
void RemoteTest();
void ReceiverTest();
void TempaBoxTest();
