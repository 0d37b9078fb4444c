// The frame every console command runs in, seen as a whole command from the menu.
#include <gtest/gtest.h>

#include <string>

#include "shell/shell.h"
#include "sim/model/sim.h"
#include "tests/backend/sim_plug.h"
#include "tests/backend/fixture.h"
#include "tests/backend/testbed.h"

namespace {
bool SomeScreenShows(const std::string& text) {
    for (const std::string& s : testbed::RecentScreens())
        if (s.find(text) != std::string::npos) return true;
    return false;
}
}  // namespace

class CommandFrameTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        ShellCreate();
    }
};

TEST_F(CommandFrameTest, TestRemoteWithoutAConsole) {
    ParseCommandLine("ST");
    testbed::PressKey(13, 10000000);  // the operator answers the prompt at 10 s
    EXPECT_EQ(RunCommand(CMD_TEST_REMOTE), -1);
    EXPECT_TRUE(SomeScreenShows(
        "Connecting to CORVINA...\nCORVINA not found\nDisconnecting...\n\n"
        "Push [ENTER] on PC-Keyboard to continue"));
    EXPECT_EQ(testbed::ScreenRow(0), "Process:");  // then the help text again
    EXPECT_EQ(LogText(), "");                      // no "-----Remote Test-----"
}

TEST_F(CommandFrameTest, PeripheralCommandsEndTheLinkExchangeOnlyWhenConnected) {
    sim::Console console;
    sim::TestbedPlug plug(&console);
    ParseCommandLine("ST");
    for (int t = 1; t < 60; t += 2) testbed::PressKey(13, (uint64_t)t * 1000000);
    RunCommand(CMD_UPDATE_REMOTE);
    EXPECT_EQ(console.CountOf("linkend"), 1);
    RunCommand(CMD_TEST_REMOTE);
    EXPECT_EQ(console.CountOf("linkend"), 2);  // the monitor's own; the frame adds none
    std::string log = LogText();
    EXPECT_NE(log.find("-----Remote Update-----\n"), std::string::npos);
    EXPECT_NE(log.find(" Mesa<- Nbytes:3 80 08 78 \n"), std::string::npos);
    EXPECT_NE(log.find("-----Remote Test-----\n"), std::string::npos);
    EXPECT_TRUE(SomeScreenShows("No Remote connection to KQ-LINK?\nDisconnecting...\n\nPush [ENTER]"));
}
