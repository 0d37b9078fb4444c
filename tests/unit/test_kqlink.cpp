// KQ-LINK through the console: the requests on the wire, packets and their doubling,
// the assembler, listening, discovery, and the monitors' decoding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kqlink/kqlink.h"
#include "link/link.h"
#include "peripherals/monitors.h"
#include "tests/backend/fixture.h"
#include "tests/backend/recorder.h"
#include "tests/backend/testbed.h"

namespace {

using Bytes = std::vector<uint8_t>;

// What the console sends back for a listen: 80 07 n bytes checksum, 0x80 doubled.
Bytes HeardFrame(const Bytes& heard, bool goodSum = true) {
    Bytes f{0x80, 0x07, (uint8_t)heard.size()};
    f.insert(f.end(), heard.begin(), heard.end());
    uint8_t sum = 0;
    for (uint8_t b : f) sum += b;
    f.push_back((uint8_t)(-sum + (goodSum ? 0 : 1)));
    Bytes wire{f[0]};
    for (size_t i = 1; i < f.size(); i++) {
        wire.push_back(f[i]);
        if (f[i] == 0x80) wire.push_back(0x80);
    }
    return wire;
}

// An announce: 80 C0+address extra type extra checksum.
Bytes Announce(uint8_t address, uint8_t type) {
    Bytes p{0x80, (uint8_t)(0xC0 | address), 0x11, type, 0x22, 0};
    p[5] = PacketChecksum(p.data(), 5);
    return p;
}

}  // namespace

class KqLinkTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        testbed::Plug("usb#vid_1d2b&pid_0001#0001", &device_);
        LinkThreadStart(ReceiveThread);
        OpenConsolePipes(0x1D2B, 0x0001);
        ASSERT_NE(OutPipe.load(), PLAT_NO_HANDLE);
    }
    // The console answers the next listen after afterUs.
    void Answer(const Bytes& wire, uint64_t afterUs = 5000) {
        device_.replies.push_back({testbed::NowUs() + afterUs, wire});
    }
    Bytes LastWrite() { return device_.writes.empty() ? Bytes() : device_.writes.back(); }
    testbed::RecordingDevice device_;
};

TEST_F(KqLinkTest, RequestsOnTheWire) {
    LinkSetSpeed(250000);
    EXPECT_EQ(LastWrite(), (Bytes{0x80, 0x04, 0x90, 0xD0, 0x03, 0x00, 0x19}));
    LinkEnd();
    EXPECT_EQ(LastWrite(), (Bytes{0x80, 0x08, 0x78}));
    LinkListen(4, 20000);
    EXPECT_EQ(LastWrite(), (Bytes{0x80, 0x06, 0x04, 0x20, 0x4E, 0x00, 0x00, 0x08}));
    // The discovery packet rides in a raw send; the console frame doubles its start byte.
    PeripheralDiscover();
    EXPECT_EQ(device_.writes[device_.writes.size() - 2], (Bytes{0x80, 0x05, 0x03, 0x80, 0x80, 0xE0, 0x60, 0xB8}));
}

TEST_F(KqLinkTest, PacketsDoubleTheirDataBytes0x80AndStopPast255) {
    Bytes packet{0x80, 0x2E, 0x02, 0x80, 0x01, 0};
    packet[5] = PacketChecksum(packet.data(), 5);
    EXPECT_EQ(packet[5], (0x2E + 0x02 + 0x80 + 0x01) & 0x7F);  // over the undoubled bytes
    PacketSend(packet.data(), (uint8_t)packet.size());
    Bytes sent = LastWrite();
    ASSERT_GE(sent.size(), 10u);
    EXPECT_EQ(sent[2], 7);  // the count on KQ-LINK includes the doubled byte
    // 1 start byte + 127 data bytes 0x80 doubled = 255 bytes: sent.
    Bytes full(128, 0x80);
    PacketSend(full.data(), 128);
    EXPECT_EQ(LastWrite()[2], 255);
    size_t writes = device_.writes.size();
    Bytes over(129, 0x80);  // 257 on the wire
    try {
        PacketSend(over.data(), 129);
        FAIL() << "a packet of 257 doubled bytes was sent";
    } catch (const testbed::ProcessExit& e) {
        EXPECT_EQ(e.code, 1);
    }
    ASSERT_FALSE(testbed::MessageBoxes().empty());
    EXPECT_EQ(testbed::MessageBoxes().back().text, "Packet corrupt");
    EXPECT_EQ(device_.writes.size(), writes);  // nothing went out
}

TEST_F(KqLinkTest, AssemblerCases) {
    struct Case {
        const char* what;
        Bytes fed;
        Bytes assembled;
    } cases[] = {
        {"a packet", {0x80, 0xC3, 0x01, 0x02}, {0x80, 0xC3, 0x01, 0x02}},
        {"bytes before a start are dropped", {0x11, 0x22, 0x80, 0x41}, {0x80, 0x41}},
        {"a doubled 0x80 inside is one data byte", {0x80, 0x41, 0x80, 0x80, 0x05}, {0x80, 0x41, 0x80, 0x05}},
        {"a doubled 0x80 outside a packet is dropped", {0x80, 0x80, 0x33}, {}},
        {"a new start cuts the packet short", {0x80, 0x41, 0x01, 0x80, 0x42}, {0x80, 0x42}},
    };
    for (const Case& c : cases) {
        AsmLength = 0;
        AsmEscape = false;
        for (uint8_t b : c.fed) PacketAssemble(b);
        EXPECT_EQ(Bytes(AsmBuffer, AsmBuffer + AsmLength), c.assembled) << c.what;
    }
    // Bytes past the buffer are dropped; nothing is written beyond it.
    AsmLength = 0;
    AsmEscape = false;
    PacketAssemble(0x80);
    for (int i = 0; i < 300; i++) PacketAssemble(0x01);
    EXPECT_EQ(AsmLength, ASM_CAPACITY);
}

TEST_F(KqLinkTest, ListenTakesOnlyAGoodHeardFrameAfterItsRequest) {
    Answer(HeardFrame({0x55}), 0);  // arrives before the listen: never seen
    DelayMicroseconds(10000);
    Answer(HeardFrame({0x01, 0x02}, false));  // bad checksum: passed over
    Answer(HeardFrame({0x80, 0x06}), 8000);
    LinkListen(255, 20000);
    EXPECT_EQ(Bytes(HeardBuffer, HeardBuffer + HeardCount), (Bytes{0x80, 0x06}));
    EXPECT_EQ(HeardPos, 0);

    uint64_t start = testbed::NowUs();
    LinkListen(1, 10000);  // silence: empty at the deadline, time + 30 ms
    EXPECT_EQ(HeardCount, 0);
    EXPECT_GE(testbed::NowUs() - start, 40000u);
    EXPECT_LT(testbed::NowUs() - start, 42000u);
    EXPECT_EQ(RawReadByte(), 0xFF);
}

TEST_F(KqLinkTest, DiscoveryKeepsFifteenGoodAnnounces) {
    Bytes heard;
    for (uint8_t a = 0; a < 16; a++) {
        Bytes p = Announce(a, a % 3);
        heard.insert(heard.end(), p.begin(), p.end());
    }
    Bytes bad = Announce(7, 1);
    bad[5] ^= 1;  // a bad checksum is not a peripheral
    heard.insert(heard.begin(), bad.begin(), bad.end());
    Answer(HeardFrame(heard), 40000);
    PeripheralDiscover();
    ASSERT_EQ(PeripheralTable.count, 15);
    EXPECT_EQ(PeripheralTable.records[0].address, 0);
    EXPECT_EQ(PeripheralTable.records[14].address, 14);
    EXPECT_EQ(PeripheralTable.records[2].type, 2);
    EXPECT_EQ(PeripheralTable.records[2].extra1, 0x11);
    EXPECT_EQ(PeripheralTable.records[2].extra2, 0x22);
    PeripheralDiscover();  // nobody answers this time
    EXPECT_EQ(PeripheralTable.count, 0);
}

TEST_F(KqLinkTest, RawBytesGoOutAsOneSendPerFrame) {
    RawSendByte(0x55, RAW_ALONE);
    EXPECT_EQ(LastWrite(), (Bytes{0x80, 0x05, 0x01, 0x55, 0x25}));
    RawSendByte(0x11, RAW_FIRST);
    RawSendByte(0x01, RAW_INSIDE);
    size_t writes = device_.writes.size();
    RawSendByte(0x01, RAW_INSIDE);
    EXPECT_EQ(device_.writes.size(), writes);  // nothing until the last byte
    RawSendByte(0xED, RAW_LAST);
    EXPECT_EQ(LastWrite(), (Bytes{0x80, 0x05, 0x04, 0x11, 0x01, 0x01, 0xED, 0x77}));
    // RawWaitByte listens in 10 ms steps, at most window / 10 ms times.
    size_t before = device_.writes.size();
    EXPECT_EQ(RawWaitByte(25000), 0xFF);
    EXPECT_EQ(device_.writes.size() - before, 2u);
}

TEST(Monitors, FunctionNumbersNamesAndDisplayText) {
    EXPECT_EQ(FunctionNumber(0x05, 0x21), 133);  // bits 5 and 6 of byte 4 are bits 7 and 8
    EXPECT_EQ(FunctionNumber(0x7F, 0x60), 0x7F + 384);
    EXPECT_STREQ(FunctionName(133), "s37\x01");
    struct {
        uint16_t number;
        const char* name;
    } names[] = {{0, "ON"},        {48, "s48"},          {49, "s1\x02"},  {96, "s48\x02"}, {144, "s48\x01"},
                 {155, "\x02\x02"}, {174, "."},           {175, "CHANNEL"}, {250, "\x01"}, {264, "LIBs"},
                 {265, "#265"},     {638, "#638"}};
    for (const auto& n : names) EXPECT_STREQ(FunctionName(n.number), n.name) << n.number;
    for (uint16_t i = 0; i < FUNCTION_NAME_COUNT; i++) EXPECT_LE(strlen(FunctionNames[i]), 8u) << i;

    uint8_t text[DISPLAY_TEXT_LENGTH];
    DisplayText(133, 1, text);
    std::string expected = std::string(42, ' ') + "Fn: s37\x01  St: 1" + std::string(1, '\0');
    expected += std::string(DISPLAY_TEXT_LENGTH - expected.size(), ' ');
    EXPECT_EQ(std::string((const char*)text, DISPLAY_TEXT_LENGTH), expected);
}
