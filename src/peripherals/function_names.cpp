// function_names.cpp - the names of the Remote's functions, by function number, as
// the test monitors show them and send them back to the unit's display. The bytes
// 0x01 and 0x02 are symbols of the unit's own character set and of the screen font.
#include "peripherals/monitors.h"

#include <cstdio>

const char* const FunctionNames[FUNCTION_NAME_COUNT] = {
    "ON", "s1", "s2", "s3", "s4", "s5", "s6", "s7",  // 0-7
    "s8", "s9", "s10", "s11", "s12", "s13", "s14", "s15",  // 8-15
    "s16", "s17", "s18", "s19", "s20", "s21", "s22", "s23",  // 16-23
    "s24", "s25", "s26", "s27", "s28", "s29", "s30", "s31",  // 24-31
    "s32", "s33", "s34", "s35", "s36", "s37", "s38", "s39",  // 32-39
    "s40", "s41", "s42", "s43", "s44", "s45", "s46", "s47",  // 40-47
    "s48", "s1\x02", "s2\x02", "s3\x02", "s4\x02", "s5\x02", "s6\x02", "s7\x02",  // 48-55
    "s8\x02", "s9\x02", "s10\x02", "s11\x02", "s12\x02", "s13\x02", "s14\x02", "s15\x02",  // 56-63
    "s16\x02", "s17\x02", "s18\x02", "s19\x02", "s20\x02", "s21\x02", "s22\x02", "s23\x02",  // 64-71
    "s24\x02", "s25\x02", "s26\x02", "s27\x02", "s28\x02", "s29\x02", "s30\x02", "s31\x02",  // 72-79
    "s32\x02", "s33\x02", "s34\x02", "s35\x02", "s36\x02", "s37\x02", "s38\x02", "s39\x02",  // 80-87
    "s40\x02", "s41\x02", "s42\x02", "s43\x02", "s44\x02", "s45\x02", "s46\x02", "s47\x02",  // 88-95
    "s48\x02", "s1\x01", "s2\x01", "s3\x01", "s4\x01", "s5\x01", "s6\x01", "s7\x01",  // 96-103
    "s8\x01", "s9\x01", "s10\x01", "s11\x01", "s12\x01", "s13\x01", "s14\x01", "s15\x01",  // 104-111
    "s16\x01", "s17\x01", "s18\x01", "s19\x01", "s20\x01", "s21\x01", "s22\x01", "s23\x01",  // 112-119
    "s24\x01", "s25\x01", "s26\x01", "s27\x01", "s28\x01", "s29\x01", "s30\x01", "s31\x01",  // 120-127
    "s32\x01", "s33\x01", "s34\x01", "s35\x01", "s36\x01", "s37\x01", "s38\x01", "s39\x01",  // 128-135
    "s40\x01", "s41\x01", "s42\x01", "s43\x01", "s44\x01", "s45\x01", "s46\x01", "s47\x01",  // 136-143
    "s48\x01", "WH\x02", "WH\x01", "LV\x02", "LV\x01", "+%", "-%", "TB\x02",  // 144-151
    "TB\x01", "<-TB", "TB->", "\x02" "\x02", "\x01" "\x01", "<-<-", "->->", "SM\x02",  // 152-159
    "SM\x01", "GM\x02", "GM\x01", "0", "1", "2", "3", "4",  // 160-167
    "5", "6", "7", "8", "9", "C", ".", "CHANNEL",  // 168-175
    "FIXTURE", "POS", "DIM", "COL", "GOB", "SHAPE", "BEAM", "XTRA",  // 176-183
    "CUE", "PART", "GROUP", "EFFECT", "PAGE", "MACRO", "RELEASE", "RST",  // 184-191
    "THRU", "EXCEPT", "@", "PARAM", "REC", "MODIFY", "CALL", "TEST",  // 192-199
    "COPY", "NEXT", "INVERT", "FLIP", "ASSIGNx", "ASSIGNy", "GOx", "GOy",  // 200-207
    "PAUSEx", "PAUSEy", "BACKx", "BACKy", "PSbACKx", "LOAD", "PRIO", "STEP",  // 208-215
    "PAUSE-B", "FLmT", "FINE", "FANoUT", "INSERT", "DELETE", "WHEEL", "EDT+",  // 216-223
    "ST\x01" "\x01", "s#\x01" "\x01", "X\x01" "\x01", "X\x02", "X\x01", "Y\x02", "Y\x01", "1B",  // 224-231
    "2B", "3B", "4B", "5B", "6B", "7B", "8B", "9B",  // 232-239
    "0B", "BANK+", "BANK-", "BANKS", "ENDjUMP", "LNtM", "OPTIONS", "EXAM",  // 240-247
    "HOME", "PREV", "\x01", "\x02", "<-", "->", "MENU", "ENTER",  // 248-255
    "EXIT", "MONITOR", "MON-", "MON+", "WINDOW\x02", "WINDOW\x01", "WINDOWok", "PALs",  // 256-263
    "LIBs",  // 264-264
};

// A number past the table (an answer's bytes allow up to 638) has no name: it is shown
// and sent as '#' and the number, e.g. "#265", so it can neither read past the table
// nor pass for a function that exists.
const char* FunctionName(uint16_t number) {
    static char unnamed[8];
    if (number < FUNCTION_NAME_COUNT) return FunctionNames[number];
    snprintf(unnamed, sizeof unnamed, "#%u", (unsigned)number);
    return unnamed;
}
