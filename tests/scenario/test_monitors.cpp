// "Test Remote", "Test Receiver" and "Test Tempa BOX" from the menu, in virtual time,
// against the simulated units on the console's KQ-LINK bus: the lines on the screen,
// what the unit was sent for its display, and how [ENTER] ends a monitor.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/screen.h"
#include "peripherals/monitors.h"
#include "shell/shell.h"
#include "sim/model/peripherals.h"
#include "sim/model/sim.h"
#include "tests/backend/fixture.h"
#include "tests/backend/sim_plug.h"
#include "tests/backend/testbed.h"

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

std::string Display(uint16_t function, uint8_t state) {
    uint8_t text[DISPLAY_TEXT_LENGTH];
    DisplayText(function, state, text);
    return std::string((const char*)text, DISPLAY_TEXT_LENGTH);
}

}  // namespace

class MonitorTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        ShellCreate();
        ParseCommandLine("ST");
        plug_.reset(new sim::TestbedPlug(&console_));
    }
    void TearDown() override {
        for (sim::Station* s : attached_) console_.KqLink().Detach(s);
        plug_.reset();
        CoreTest::TearDown();
    }
    void Attach(sim::Station* s) {
        console_.KqLink().Attach(s);
        attached_.push_back(s);
    }
    // [ENTER] at the prompt (held until heldUntilUs), then [ENTER] held at endUs for
    // longer than a cycle ends the monitor; one more answers the shell's prompt.
    std::string Run(int command, uint64_t endUs, uint64_t heldUntilUs = 1550000) {
        testbed::HoldKey(13, 1500000, heldUntilUs);
        testbed::HoldKey(13, endUs, endUs + 300000);
        testbed::PressKey(13, endUs + 2000000);
        EXPECT_EQ(RunCommand(command), -1);
        return testbed::Transcript();
    }
    sim::Console console_;
    std::unique_ptr<sim::TestbedPlug> plug_;
    std::vector<sim::Station*> attached_;
};

TEST_F(MonitorTest, RemoteLinesAndTheDisplayEcho) {
    sim::Remote remote(3);
    // s37 with its 0x01 symbol (133: byte 3 = 0x05, byte 4 = 0x21) pressed, then released.
    remote.SetScript({{6500000, 133, true}, {7500000, 133, false}, {8500000, 264, true}});
    Attach(&remote);
    std::string screen = Run(CMD_TEST_REMOTE, 10000000, 6000000);
    EXPECT_TRUE(Contains(screen, "Operate on Remote\nPush [ENTER] on PC-Keyboard to exit\n")) << screen;
    EXPECT_TRUE(Contains(screen, "idTX: 3  Fn: s37\x01  St: 1\n")) << screen;
    EXPECT_TRUE(Contains(screen, "idTX: 3  Fn: s37\x01  St: 0\n")) << screen;
    EXPECT_TRUE(Contains(screen, "idTX: 3  Fn: LIBs  St: 1\n")) << screen;
    // The [ENTER] held from the prompt until 6 s did not end it; the one at 10 s did.
    EXPECT_GE(testbed::NowUs(), 10000000u);
    EXPECT_LT(testbed::NowUs(), 13000000u);
    EXPECT_EQ(std::string(remote.DisplayText().begin(), remote.DisplayText().end()), Display(264, 1));
    EXPECT_EQ(remote.DisplayCount(), Count(screen, "idTX: 3  Fn: "));
    EXPECT_EQ(console_.CountOf("linkend"), 1);
    EXPECT_TRUE(Contains(LogText(), "-----Remote Test-----\n"));
}

// Answers that carry no function (0xFF bytes), come from another sub-code or fail their
// checksum print nothing and send nothing to the display.
TEST_F(MonitorTest, RemoteAnswersThatDoNotCount) {
    for (const char* plan : {"blank:function#1-", "wrongcode:function#1-=0x01", "badsum:function#1-"}) {
        SCOPED_TRACE(plan);
        testbed::Reset();
        ScreenClear();
        sim::Console console;
        sim::TestbedPlug plug(&console);
        sim::Remote remote(3);
        remote.SetScript({{0, 7, true}});
        remote.SetFaults(sim::FaultPlan::FromText(plan));
        console.KqLink().Attach(&remote);
        testbed::PressKey(13, 1500000);
        testbed::HoldKey(13, 5000000, 5300000);
        testbed::PressKey(13, 7000000);
        RunCommand(CMD_TEST_REMOTE);
        std::string screen = testbed::Transcript();
        EXPECT_TRUE(Contains(screen, "Operate on Remote")) << screen;
        EXPECT_FALSE(Contains(screen, "idTX:")) << screen;
        EXPECT_EQ(remote.DisplayCount(), 0);
        console.KqLink().Detach(&remote);
    }
}

TEST_F(MonitorTest, ReceiverTakesTheRemoteNumberAndShowsTheLevel) {
    sim::Receiver receiver(2);
    receiver.SetScript({{0, 1, true}});
    receiver.SetSignalLevel([](uint64_t) { return (uint8_t)0x80; });
    receiver.SetFaults(sim::FaultPlan::FromText("badsum:level#1-3"));  // the first levels do not count
    Attach(&receiver);
    testbed::PressKey('B', 2500000);  // Remote 11
    std::string screen = Run(CMD_TEST_RECEIVER, 9000000);
    EXPECT_TRUE(Contains(screen, "Switch on Remote & press [1]-[9] or [A]-[C] (RemoteID number 1-12) on PC\n"
                                 " keyboard to continue\nOperate on Remote\n"))
        << screen;
    EXPECT_EQ(receiver.RemoteNumber(), 11);
    EXPECT_TRUE(Contains(screen, "idRX: 2  idTX: 11  signalLevel: 00  Fn: s1  St: 1\n")) << screen;
    EXPECT_TRUE(Contains(screen, "idRX: 2  idTX: 11  signalLevel: 80  Fn: s1  St: 1\n")) << screen;
    EXPECT_EQ(std::string(receiver.DisplayText().begin(), receiver.DisplayText().end()), Display(1, 1));
}

// A status is printed when it differs from the one shown last, which outlives the run.
TEST_F(MonitorTest, TempaBoxPrintsOnlyChangesAndRemembersTheLastStatus) {
    sim::TempaBox tempa(6);
    sim::TempaStatus steady;
    steady.state = 0;  // stopped: the time code stands still
    steady.inputs = 0x05;
    steady.hours = 1, steady.minutes = 2, steady.seconds = 3, steady.frames = 4;
    tempa.SetStatus(steady);
    Attach(&tempa);
    const std::string line =
        "Id=6   Smpte NO 01:02:03:04   EXT1=1 EXT2=  EXT3=1   GR=10 MD=01 AG=3c  PWR=7e\n";
    std::string screen = Run(CMD_TEST_TEMPABOX, 6000000);
    EXPECT_EQ(Count(screen, line), 1) << screen;

    ScreenClear();
    testbed::Reset();  // a second run in the same program: LastStatus is kept
    ShellCreate();
    ParseCommandLine("ST");
    sim::TestbedPlug plug(&console_);
    screen = Run(CMD_TEST_TEMPABOX, 6000000);
    EXPECT_FALSE(Contains(screen, "Smpte")) << screen;

    steady.state = 1;
    tempa.SetStatus(steady);
    testbed::Reset();
    ShellCreate();
    ParseCommandLine("ST");
    sim::TestbedPlug again(&console_);
    screen = Run(CMD_TEST_TEMPABOX, 6000000);
    EXPECT_TRUE(Contains(screen, "Id=6   Smpte << ")) << screen;
}

TEST_F(MonitorTest, TheWrongUnitEndsTheMonitor) {
    sim::Remote remote(1);
    Attach(&remote);
    std::string screen = Run(CMD_TEST_TEMPABOX, 30000000);
    EXPECT_TRUE(Contains(screen, "No Tempa BOX connection to KQ-LINK?\n")) << screen;
    EXPECT_FALSE(Contains(screen, "Operate on"));
    EXPECT_EQ(console_.CountOf("linkend"), 1);
}
