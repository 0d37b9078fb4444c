// monitors.cpp - the live peripheral tests of the service menu.
//
// A cycle is one query (two for the Receiver) and one listen; every answer that counts
// prints one line. A unit that stops answering leaves the screen quiet until [ENTER]:
// the monitors print no errors of their own. [ENTER] is looked at once per cycle, and
// one window message is handled per cycle, so the window keeps painting and its close
// box works while a monitor runs.
#include "peripherals/monitors.h"

#include <cstdio>
#include <cstring>

#include "base/base.h"
#include "base/messages.h"
#include "base/screen.h"
#include "base/waits.h"
#include "kqlink/kqlink.h"
#include "record/record.h"

uint8_t LastStatus[STATUS_BYTES];

static const uint32_t LISTEN_REMOTE_US = 20000;
static const uint32_t LISTEN_RECEIVER_US = 30000;
static const uint32_t LISTEN_TEMPABOX_US = 20000;
static const uint8_t LISTEN_ANY = 255;
static const uint8_t NO_FUNCTION = 0xFF;  // a function or state byte that carries nothing
static const uint32_t FUNCTION_ANSWER = 6, LEVEL_ANSWER = 5, STATUS_ANSWER = 14;

uint16_t FunctionNumber(uint8_t functionByte, uint8_t stateByte) {
    return (uint16_t)(functionByte + 4 * (stateByte & 0x60));
}

void DisplayText(uint16_t function, uint8_t state, uint8_t text[DISPLAY_TEXT_LENGTH]) {
    memset(text, ' ', DISPLAY_TEXT_LENGTH);
    char line[DISPLAY_TEXT_LENGTH - DISPLAY_TEXT_COLUMN];
    int n = snprintf(line, sizeof line, "Fn: %s  St: %u", FunctionName(function), (unsigned)state);
    if (n < 0 || (size_t)n >= sizeof line) n = (int)sizeof line - 1;
    memcpy(text + DISPLAY_TEXT_COLUMN, line, (size_t)n + 1);  // with its zero byte
}

// 80, kind << 4 | address, sub, data..., checksum.
static void SendPacket(uint8_t kind, uint8_t address, uint8_t sub, const uint8_t* data, uint8_t count) {
    uint8_t packet[4 + DISPLAY_TEXT_LENGTH];
    packet[0] = PACKET_START;
    packet[1] = (uint8_t)(kind << 4 | address);
    packet[2] = sub;
    if (count) memcpy(packet + 3, data, count);
    packet[3 + count] = PacketChecksum(packet, (uint8_t)(3 + count));
    PacketSend(packet, (uint8_t)(4 + count));
}

static void Query(uint8_t address, uint8_t sub) { SendPacket(KIND_QUERY, address, sub, nullptr, 0); }

// A function answer in AsmBuffer that counts: no 0xFF byte, a good checksum. Echoes it
// to the unit's display and gives the number and state.
static bool TakeFunction(uint8_t address, uint16_t* function, uint8_t* state) {
    const uint8_t* p = AsmBuffer;
    if (p[3] == NO_FUNCTION || p[4] == NO_FUNCTION || PacketChecksum(p, 5) != p[5]) return false;
    *function = FunctionNumber(p[3], p[4]);
    *state = p[4] & 1;
    uint8_t text[DISPLAY_TEXT_LENGTH];
    DisplayText(*function, *state, text);
    SendPacket(KIND_SET, address, SET_TEXT, text, DISPLAY_TEXT_LENGTH);
    return true;
}

// ---- Opening and closing, the same in all three ------------------------------------------
// Prompts, discovery and the type check; the unit's address, or -1 after "No %s
// connection to KQ-LINK?".
static int OpenMonitor(const char* prompt, uint8_t type, const char* name) {
    ScreenPrintPair(prompt, PRODUCT_NAME);
    ScreenPrintPair(MSG_PUSH_ENTER);
    WaitKey(KEY_ENTER, KEY_NONE);
    LinkSetSpeed(LINK_RATE_PACKETS);
    PeripheralDiscover();
    if (PeripheralTable.count != 1 || PeripheralTable.records[0].type != type) {
        ScreenPrintPair(MSG_NO_PERIPHERAL, name);
        RecordResult(RECORD_RESULT_NOT_FOUND);
        return -1;
    }
    RecordPath(RECORD_PATH_USER_MODE);
    RecordPeripheral(name, PeripheralTable.records[0].address);
    return PeripheralTable.records[0].address;
}

// Polls until [ENTER]. A key still held from the opening prompt does not count: the
// wait for its release handles no window messages.
static void Poll(void (*cycle)(uint8_t), uint8_t address, const char* operated) {
    ScreenPrintPair(MSG_OPERATE_ON, operated);
    ScreenPrintPair(MSG_PUSH_ENTER_EXIT);
    while (KeyDown(KEY_ENTER)) KeyPollPause();
    while (!KeyDown(KEY_ENTER)) {
        cycle(address);
        PumpOneMessage();
    }
    RecordResult(RECORD_RESULT_TESTED);
}

// ---- Remote ----------------------------------------------------------------------------------------
static void RemoteCycle(uint8_t a) {
    Query(a, QUERY_FUNCTION);
    LinkListen(LISTEN_ANY, LISTEN_REMOTE_US);
    while (HeardPos != HeardCount) {
        PacketAssemble(HeardBuffer[HeardPos++]);
        if (AsmLength != FUNCTION_ANSWER) continue;
        uint16_t function;
        uint8_t state;
        if (AsmBuffer[1] == (KIND_QUERY_REPLY << 4 | a) && AsmBuffer[2] == QUERY_FUNCTION &&
            TakeFunction(a, &function, &state))
            ScreenPrint("idTX: %u  Fn: %s  St: %u\n", a, FunctionName(function), state);
        AsmLength = 0;
    }
}

void RemoteTest() {
    int a = OpenMonitor(MSG_CONNECT_REMOTE, PERIPHERAL_REMOTE, "Remote");
    if (a >= 0) Poll(RemoteCycle, (uint8_t)a, "Remote");
    LinkEnd();
}

// ---- Receiver ----------------------------------------------------------------------------------------
static uint8_t RemoteNumber;
static uint8_t SignalLevel;

// [1] to [9] give 1 to 9, [A] to [C] give 10 to 12. The wait polls the keys only.
static uint8_t ChooseRemoteNumber() {
    static const int KEYS[12] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C'};
    ScreenPrintPair(MSG_REMOTE_NUMBER_PROMPT);
    for (;;) {
        for (int i = 0; i < 12; i++)
            if (KeyDown(KEYS[i])) return (uint8_t)(i + 1);
        KeyPollPause();
    }
}

static void ReceiverCycle(uint8_t r) {
    Query(r, QUERY_FUNCTION);
    Query(r, QUERY_LEVEL);
    LinkListen(LISTEN_ANY, LISTEN_RECEIVER_US);
    while (HeardPos != HeardCount) {
        PacketAssemble(HeardBuffer[HeardPos++]);
        // A packet from another address is not judged: it collects until the next start.
        if (AsmLength < 3 || AsmBuffer[1] != (KIND_QUERY_REPLY << 4 | r)) continue;
        if (AsmBuffer[2] == QUERY_FUNCTION) {
            if (AsmLength < FUNCTION_ANSWER) continue;
            uint16_t function;
            uint8_t state;
            if (TakeFunction(r, &function, &state))
                ScreenPrint("idRX: %u  idTX: %u  signalLevel: %02x  Fn: %s  St: %u\n", r, RemoteNumber, SignalLevel,
                            FunctionName(function), state);
        } else if (AsmBuffer[2] == QUERY_LEVEL) {
            if (AsmLength < LEVEL_ANSWER) continue;
            if (PacketChecksum(AsmBuffer, 4) == AsmBuffer[4]) SignalLevel = AsmBuffer[3];
        }
        AsmLength = 0;
    }
}

void ReceiverTest() {
    int r = OpenMonitor(MSG_CONNECT_RECEIVER, PERIPHERAL_RECEIVER, "Receiver");
    if (r >= 0) {
        RemoteNumber = ChooseRemoteNumber();
        SendPacket(KIND_SET, (uint8_t)r, SET_REMOTE, &RemoteNumber, 1);
        SignalLevel = 0;
        Poll(ReceiverCycle, (uint8_t)r, "Remote");
    }
    LinkEnd();
}

// ---- Tempa BOX ----------------------------------------------------------------------------------------
static const char* TimeCodeState(uint8_t state) { return state == 0 ? "NO" : state == 1 ? "<<" : ">>"; }

static char InputMark(uint8_t inputs, int bit) { return (inputs >> bit) & 1 ? '1' : ' '; }

static void ShowStatus(uint8_t t, const uint8_t* s) {
    ScreenPrint("Id=%u   Smpte %s %02u:%02u:%02u:%02u", t, TimeCodeState(s[4]), s[0], s[1], s[2], s[3]);
    ScreenPrint("   EXT1=%c EXT2=%c EXT3=%c   GR=%02x MD=%02x AG=%02x  PWR=%02x\n", InputMark(s[5], 0),
                InputMark(s[5], 1), InputMark(s[5], 2), s[6], s[7], s[8], s[9]);
}

// Only a status that differs from the one shown last is printed.
static void TempaBoxCycle(uint8_t t) {
    Query(t, QUERY_STATUS);
    LinkListen(LISTEN_ANY, LISTEN_TEMPABOX_US);
    while (HeardPos != HeardCount) {
        PacketAssemble(HeardBuffer[HeardPos++]);
        if (AsmLength != STATUS_ANSWER) continue;
        const uint8_t* p = AsmBuffer;
        bool counts = p[1] == (KIND_QUERY_REPLY << 4 | t) && p[2] == QUERY_STATUS && PacketChecksum(p, 13) == p[13];
        if (counts && memcmp(p + 3, LastStatus, STATUS_BYTES) != 0) {
            memcpy(LastStatus, p + 3, STATUS_BYTES);
            ShowStatus(t, LastStatus);
        }
        AsmLength = 0;
    }
}

void TempaBoxTest() {
    int t = OpenMonitor(MSG_CONNECT_TEMPABOX, PERIPHERAL_TEMPABOX, "Tempa BOX");
    if (t >= 0) Poll(TempaBoxCycle, (uint8_t)t, "Tempa BOX");
    LinkEnd();
}
