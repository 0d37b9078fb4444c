// The link: discovery among the driver's interfaces, the pipes and their log lines,
// framing, and the timed primitives over the receive ring.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "link/link.h"
#include "base/waits.h"
#include "base/screen.h"
#include "shell/shell.h"
#include "tests/backend/fixture.h"
#include "tests/backend/recorder.h"
#include "tests/backend/testbed.h"

namespace {

using testbed::RecordingDevice;

const char CONSOLE_PATH[] = "usb#vid_1d2b&pid_0001#0001";

}  // namespace

class LinkTest : public CoreTest {
protected:
    void Open(const char* path) {
        testbed::Plug(path, &device_);
        LinkThreadStart(ReceiveThread);
        OpenConsolePipes(0x1D2B, 0x0001);
        ASSERT_NE(OutPipe.load(), PLAT_NO_HANDLE);
    }
    RecordingDevice device_;
};

TEST_F(LinkTest, ChecksumsAndBlankTest) {
    const uint8_t a[] = {0x80, 0x7F, 0x00}, b[] = {0x80, 0x00, 0x03};
    EXPECT_EQ(FrameChecksum(a, 3), 0x01);
    EXPECT_EQ(FrameChecksum(b, 3), 0x7D);
    EXPECT_EQ(FrameChecksum(a, 0), 0x00);
    const uint8_t ff[3] = {0xFF, 0xFF, 0xFE};
    EXPECT_TRUE(IsBlank(ff, 2));
    EXPECT_FALSE(IsBlank(ff, 3));
    EXPECT_TRUE(IsBlank(ff, 0));
}

TEST_F(LinkTest, NothingPluggedLeavesThePipesClosedSilently) {
    OpenConsolePipes(0x1D2B, 0x0001);
    EXPECT_EQ(OutPipe.load(), PLAT_NO_HANDLE);
    EXPECT_EQ(InPipe.load(), PLAT_NO_HANDLE);
    EXPECT_EQ(testbed::ScreenText(), "");
    testbed::SetDeviceListFails(true);
    OpenConsolePipes(0x1D2B, 0x0001);
    EXPECT_EQ(testbed::ScreenText(), "\nSetupDiGetClassDevs");
}

TEST_F(LinkTest, MatchIsACaseSensitiveSubstringAndTheFirstWins) {
    RecordingDevice other;
    testbed::Plug("usb#VID_1D2B&PID_0001#0001", &other);  // upper case: not ours
    OpenConsolePipes(0x1D2B, 0x0001);
    EXPECT_EQ(OutPipe.load(), PLAT_NO_HANDLE);
    testbed::Plug("hub7-vid_1d2b&pid_00015#x", &device_);  // contains the text anywhere
    OpenConsolePipes(0x1D2B, 0x0001);
    EXPECT_NE(OutPipe.load(), PLAT_NO_HANDLE);
}

TEST_F(LinkTest, BrokenPipeReportsCreateFileAndStopsTheSearch) {
    testbed::PlugBroken("a#vid_1d2b&pid_0001#1");
    testbed::Plug("b#vid_1d2b&pid_0001#2", &device_);
    OpenConsolePipes(0x1D2B, 0x0001);
    EXPECT_EQ(OutPipe.load(), PLAT_NO_HANDLE);
    EXPECT_EQ(InPipe.load(), PLAT_NO_HANDLE);
    EXPECT_EQ(testbed::ScreenText(), "\nCreateFile");
    EXPECT_EQ(testbed::PipeOpenCount(), 2);  // PIPE00 and PIPE01 of the first only
}

TEST_F(LinkTest, DetailFailuresAreReportedByName) {
    testbed::Plug(CONSOLE_PATH, &device_);
    testbed::SetDeviceDetailFailure(0, PLAT_DEVICE_NO_MEMORY);
    OpenConsolePipes(0x1D2B, 0x0001);
    EXPECT_EQ(testbed::ScreenText(), "\nmalloc");
    ScreenClear();
    testbed::SetDeviceDetailFailure(0, PLAT_DEVICE_DETAIL_ERROR);
    OpenConsolePipes(0x1D2B, 0x0001);
    EXPECT_EQ(testbed::ScreenText(), "\nSetupDiGetDeviceInterfaceDetail");
}

TEST_F(LinkTest, OnlyInterfacesZeroToThirtyAreExamined) {
    std::vector<RecordingDevice> devices(32);
    for (int i = 0; i < 31; i++) testbed::Plug("if" + std::to_string(100 + i) + "#vid_ffff&pid_ffff", &devices[i]);
    testbed::Plug("if131#vid_1d2b&pid_0001", &devices[31]);  // the 32nd interface
    OpenConsolePipes(0x1D2B, 0x0001);
    EXPECT_EQ(OutPipe.load(), PLAT_NO_HANDLE);
    EXPECT_EQ(testbed::PipeOpenCount(), 0);
}

TEST_F(LinkTest, StuffingDoublesEveryLaterStartByte) {
    Open(CONSOLE_PATH);
    const uint8_t frame[] = {0x80, 0x7F, 0x02, 0x00, 0x80, 0x00, 0x00, 0x80};
    SendFrame(frame, sizeof frame);
    ASSERT_EQ(device_.writes.size(), 1u);
    EXPECT_EQ(device_.writes[0],
              (std::vector<uint8_t>{0x80, 0x7F, 0x02, 0x00, 0x80, 0x80, 0x00, 0x00, 0x80, 0x80}));
    // A 1032-byte frame of 0x80 data grows by one byte per 0x80 after the first.
    std::vector<uint8_t> big(1032, 0x80);
    SendFrame(big.data(), 1032);
    EXPECT_EQ(device_.writes[1].size(), 1032u + 1031u);
}

TEST_F(LinkTest, TrafficLinesInBothDirections) {
    Open(CONSOLE_PATH);
    device_.replies.push_back({testbed::NowUs() + 1000, {0x80, 0x7F, 0x04, 0xFD}});
    const uint8_t start[] = {0x80, 0x7F, 0x00, 0x01};
    PipeWrite(start, 4);
    PipeWrite(start, 0);
    EXPECT_EQ(WaitReply(100000, 0x7F), WaitResult::Ok);
    std::string log = LogText();
    // Heads carry the microsecond time stamp; compare the rest byte for byte.
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = log.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(log.substr(at, nl - at));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(0, 5), "Time:");
    EXPECT_EQ(lines[0].substr(13), " Mesa<- Nbytes:4 80 7f 00 01 ");
    EXPECT_EQ(lines[1].substr(13), " Mesa<- Nbytes:0 ");
    EXPECT_EQ(lines[2].substr(13), " ->PC Nbytes:4 80 7f 04 fd ");
}

TEST_F(LinkTest, ClosedLinkWritesNothingAndLogsNothing) {
    const uint8_t start[] = {0x80, 0x7F, 0x00, 0x01};
    PipeWrite(start, 4);
    EXPECT_EQ(LogText(), "");
    ClosePipes();  // safe when closed
}

TEST_F(LinkTest, ReadsTimeOutAndStaleBytesFailTheAcknowledgement) {
    Open(CONSOLE_PATH);
    uint8_t b[4];
    uint64_t t0 = testbed::NowUs();
    EXPECT_EQ(ReadBytes(b, 4, 0), 0u);
    EXPECT_LT(testbed::NowUs() - t0, 20u);
    EXPECT_EQ(WaitAckByte(50000), WaitResult::Failed);  // silence
    EXPECT_GE(testbed::NowUs() - t0, 50000u);

    device_.replies.push_back({testbed::NowUs() + 10, {0x15}});
    EXPECT_EQ(WaitAckByte(50000), WaitResult::Failed);  // not 0x06
    device_.replies.push_back({testbed::NowUs() + 10, {0x06}});
    EXPECT_EQ(WaitAckByte(50000), WaitResult::Ok);

    device_.replies.push_back({testbed::NowUs() + 10, {0x42, 0x80, 0x7F, 0x04, 0xFD}});
    EXPECT_EQ(WaitReply(100000, 0x7F), WaitResult::Failed);  // a stale byte ahead of the acknowledgement
    FlushInput();
    device_.replies.push_back({testbed::NowUs() + 10, {0x80, 0x00, 0x04, 0x7C}});
    EXPECT_EQ(WaitReply(100000, 0x7F), WaitResult::Failed);  // the other type's acknowledgement
}

TEST_F(LinkTest, UnpluggedDeviceClosesThePipesAndLaterWaitsTimeOut) {
    Open(CONSOLE_PATH);
    testbed::Unplug(CONSOLE_PATH);
    const uint8_t start[] = {0x80, 0x7F, 0x00, 0x01};
    PipeWrite(start, 4);  // the failed write closes both pipes
    EXPECT_EQ(OutPipe.load(), PLAT_NO_HANDLE);
    EXPECT_EQ(WaitReply(100000, 0x7F), WaitResult::Failed);
}

TEST_F(LinkTest, StartingTheThreadEmptiesTheRing) {
    Open(CONSOLE_PATH);
    device_.replies.push_back({testbed::NowUs() + 10, {1, 2, 3}});
    uint8_t b;
    ASSERT_EQ(ReadBytes(&b, 1, 1000), 1u);
    LinkThreadStop();
    LinkThreadStart(ReceiveThread);
    EXPECT_EQ(ReadBytes(&b, 1, 1000), 0u);
}

TEST_F(LinkTest, FrameReceiverFollowsTheStartByteRule) {
    uint8_t buffer[9];
    FrameReceiver r = {buffer, sizeof buffer, 0, false};
    for (uint8_t b : {0x11, 0x80, 0x03, 0x00, 0x80, 0x80, 0x19}) FrameReceiverFeed(&r, b);
    EXPECT_EQ(r.length, 5u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5), (std::vector<uint8_t>{0x80, 0x03, 0x00, 0x80, 0x19}));
    // A lone start byte in the middle begins a new frame; the partial one is lost.
    for (uint8_t b : {0x80, 0x07}) FrameReceiverFeed(&r, b);
    EXPECT_EQ(r.length, 2u);
    // Bytes beyond the buffer are dropped, never written past its end.
    for (int i = 0; i < 20; i++) FrameReceiverFeed(&r, 0x42);
    EXPECT_EQ(r.length, 9u);
}

TEST_F(LinkTest, ConnectGivesUpAfterSixSecondsOrEightInServiceMode) {
    RecordingDevice second;
    testbed::Plug("usb#vid_1d2b&pid_0003#0001", &second);
    ParseCommandLine("");
    EXPECT_FALSE(ConnectConsole(ReceiveThread));
    EXPECT_NEAR((double)testbed::NowUs(), 6e6, 2e4);
    EXPECT_EQ(testbed::ScreenText(), "Connecting to CORVINA...\nCORVINA not found");
    DisconnectConsole();

    testbed::Reset();
    ScreenClear();
    ParseCommandLine("ST");
    EXPECT_FALSE(ConnectConsole(ReceiveThread));
    EXPECT_NEAR((double)testbed::NowUs(), 8e6, 2e4);
    DisconnectConsole();
    EXPECT_EQ(testbed::ScreenText(), "Connecting to CORVINA...\nCORVINA not found\nDisconnecting...");
}

// ReadBytes sleeps while the ring is empty: bytes end the sleep when they arrive, the
// deadline stays exact, the window still paints every 100 ms, and a long silence costs
// a few readings of the clock per paint step instead of one every few microseconds.
TEST_F(LinkTest, ReadsSleepUntilBytesOrTheDeadline) {
    struct Part {
        uint64_t afterUs;
        std::vector<uint8_t> bytes;
    };
    struct Case {
        const char* what;
        uint32_t count, timeoutUs;
        std::vector<Part> parts;
        uint32_t expectRead;
        uint64_t endsAfterUs;  // virtual time the read returns, from its start (+50 us)
    } cases[] = {
        {"a minute of silence", 4, 60000000, {}, 0, 60000000},
        {"an answer in two parts", 4, 10200000, {{3000000, {0x80, 0x7F}}, {3500000, {0x04, 0xFD}}}, 4, 3500000},
        {"the answer comes too late", 4, 440000, {{900000, {0x80, 0x7F, 0x04, 0xFD}}}, 0, 440000},
        {"one byte of two in time", 2, 200000, {{1000, {0x06}}, {300000, {0x06}}}, 1, 200000},
        {"bytes waiting already", 3, 1000, {{0, {1, 2, 3}}}, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testbed::Reset();
        device_ = RecordingDevice();
        Open(CONSOLE_PATH);
        uint64_t start = testbed::NowUs();
        for (const Part& p : c.parts) device_.replies.push_back({start + p.afterUs, p.bytes});
        if (!c.parts.empty() && c.parts[0].afterUs == 0) MicroClock();  // let them arrive first
        uint64_t polls = testbed::PollCount();
        int paints = testbed::PaintStepCount();
        uint8_t got[8] = {};
        EXPECT_EQ(ReadBytes(got, c.count, c.timeoutUs), c.expectRead);
        uint64_t took = testbed::NowUs() - start;
        EXPECT_GE(took, c.endsAfterUs);
        EXPECT_LE(took, c.endsAfterUs + 50);
        uint64_t steps = c.endsAfterUs / 100000;
        EXPECT_LE(testbed::PollCount() - polls, 4 * steps + 20);
        EXPECT_GE(testbed::PaintStepCount() - paints, (int)steps - 1);
        LinkThreadStop();
        ClosePipes();
    }
}

// The receive thread starts before the pipes open (the commands start it first) and
// rests without a period while the link is closed: it takes the first answer once
// OpenConsolePipes has opened the pipes, and a thread whose link never opens is stopped
// from its rest. The pause gives a thread that polled instead the time to show it.
TEST_F(LinkTest, ReceiveThreadRestsUntilThePipesOpenOrItIsStopped) {
    LinkThreadStart(ReceiveThread);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    testbed::Plug(CONSOLE_PATH, &device_);
    OpenConsolePipes(0x1D2B, 0x0001);
    device_.replies.push_back({testbed::NowUs() + 10, {0x80, 0x7F, 0x04, 0xFD}});
    EXPECT_EQ(WaitReply(100000, 0x7F), WaitResult::Ok);
    LinkThreadStop();
    ClosePipes();

    LinkThreadStart(ReceiveThread);  // nothing opens this time
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    LinkThreadStop();
    EXPECT_EQ(testbed::ThreadNapCount(), 0);
}
