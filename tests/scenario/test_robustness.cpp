// Nothing hangs, nothing is lost: a console that stops reading its OUT pipe, a log file
// that cannot be written, a kq.ini that cannot keep the next address, a MAC field with
// more than six characters.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/base.h"
#include "link/link.h"
#include "mac/mac.h"
#include "shell/shell.h"
#include "sim/model/sim.h"
#include "tests/backend/fixture.h"
#include "tests/backend/sim_plug.h"
#include "tests/backend/testbed.h"
#include "update/console_update.h"
#include "update/languages.h"

using testbed::MacAction;

namespace {

const uint64_t MS = 1000;
const uint64_t SECOND = 1000 * MS;

// The simulated console, which stops reading its OUT pipe after a number of writes:
// every later write of the program finds the pipe full.
class StallingPlug : public sim::TestbedPlug {
public:
    StallingPlug(sim::Console* console, int writesBeforeStall)
        : sim::TestbedPlug(console), path_(console->InterfacePath()), left_(writesBeforeStall) {}
    void HostWrote(uint64_t nowUs, const uint8_t* bytes, size_t count) override {
        sim::TestbedPlug::HostWrote(nowUs, bytes, count);
        if (--left_ == 0) testbed::SetPipeStalled(path_, true);
    }

private:
    std::string path_;
    int left_;
};

}  // namespace

class RobustnessTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        ShellCreate();
        testbed::SetLanguageDialogButtons({303, 305});  // English alone
        for (uint64_t t = 1; t < 900; t++) testbed::PressKey(13, t * SECOND);
    }
};

// A console that stops reading in the middle of each phase of the update: each time the
// first blocked write fails within the limit, closes the link and the update ends with
// its failure message, instead of the program freezing for good.
TEST_F(RobustnessTest, AConsoleThatStopsReadingFailsTheUpdateWithinTheLimit) {
    const int stallAfterWrites[] = {1, 2, 5, 40};
    for (int writes : stallAfterWrites) {
        SCOPED_TRACE("stalls after write " + std::to_string(writes));
        testbed::Reset();
        testbed::SetLanguageDialogButtons({303, 305});
        for (uint64_t t = 1; t < 900; t++) testbed::PressKey(13, t * SECOND);
        sim::Console console;
        StallingPlug plug(&console, writes);
        UpdateConsoleCommand();
        std::string screen = testbed::ScreenText();
        EXPECT_NE(screen.find("...ERROR..."), std::string::npos) << screen;
        EXPECT_EQ(screen.find("CORVINA Updated"), std::string::npos);
        // The link closed at the first failed write: no second write ever blocked.
        EXPECT_EQ(testbed::StalledWriteCount(), 1);
        EXPECT_EQ(testbed::StalledWriteUs(), PLAT_PIPE_WRITE_LIMIT_MS * MS);
        EXPECT_EQ(OutPipe, PLAT_NO_HANDLE);
    }
}

// The operator closes the window while a write is blocked: the write ends at once and
// the program ends at its next wait, as a close during any wait does.
TEST_F(RobustnessTest, ACloseRequestEndsABlockedWrite) {
    class CloseWhileStalled : public StallingPlug {
    public:
        using StallingPlug::StallingPlug;
        void HostWrote(uint64_t nowUs, const uint8_t* bytes, size_t count) override {
            StallingPlug::HostWrote(nowUs, bytes, count);
            if (!posted_) testbed::PostCloseAt(nowUs + 300 * MS);
            posted_ = true;
        }

    private:
        bool posted_ = false;
    };
    sim::Console console;
    CloseWhileStalled plug(&console, 1);
    EXPECT_EQ(RunCommand(CMD_UPDATE_CONSOLE), 1);
    EXPECT_EQ(testbed::StalledWriteCount(), 1);
    EXPECT_GT(testbed::StalledWriteUs(), 0u);
    EXPECT_LT(testbed::StalledWriteUs(), 300 * MS);  // ended by the close, not the limit
}

// TEMP is a file (or a read-only folder): the first entry fails, the log is given up and
// the screen says so once; the update itself keeps its timing and succeeds.
TEST_F(RobustnessTest, AnUnwritableLogIsSwitchedOffAndTheUpdateGoesOn) {
    ASSERT_EQ(system("rm -rf TEMP && touch TEMP"), 0);
    sim::Console console;
    sim::TestbedPlug plug(&console);
    testbed::WatchText("Cannot write TEMP/log.txt: log switched off");
    UpdateConsoleCommand();
    std::string screen = testbed::ScreenText();
    EXPECT_TRUE(LogSwitchedOff());
    EXPECT_EQ(testbed::WatchedTextPrints(), 1);
    EXPECT_NE(screen.find("CORVINA Updated"), std::string::npos) << screen;
    EXPECT_EQ(console.Flash(), std::vector<uint8_t>(FlashBuffer, FlashBuffer + FLASH_SIZE));
}

// The next address cannot be stored: the operator is told in a message box, and the
// address is not counted as handed out: kq.ini and the field keep it.
TEST_F(RobustnessTest, AnAddressThatCannotBeStoredIsReportedAndNotHandedOut) {
    ParseCommandLine("ST");
    sim::Console console;
    sim::TestbedPlug plug(&console);
    testbed::SetSettingValue("Kqsfupdt", "Mac", "0009FF");
    testbed::SetSettingsReadOnly(true);
    testbed::SetMacDialogScript({{300 * MS, MacAction::Ok, ""}, {2000 * MS, MacAction::Exit, ""}});
    RunCommand(CMD_SET_MAC);
    ASSERT_EQ(testbed::MacDialogOpenings(), 1);
    EXPECT_EQ(testbed::MacDialogViews().back().currentLow, "0009FF");  // the console took it
    EXPECT_EQ(testbed::MacDialogViews().back().newLow, "0009FF");
    EXPECT_EQ(testbed::SettingValue("Kqsfupdt", "Mac"), "0009FF");
    ASSERT_EQ(testbed::MessageBoxes().size(), 1u) << "one report, not one per reply";
    EXPECT_EQ(testbed::MessageBoxes()[0].caption, "MAC Address");
    EXPECT_EQ(testbed::MessageBoxes()[0].text,
              "Cannot store the next address in kq.ini.\nAddress 0009FF is not counted as handed out.");

    // Once the file can be written again, the same address is confirmed and advanced.
    testbed::SetSettingsReadOnly(false);
    testbed::SetMacDialogScript({{300 * MS, MacAction::Ok, ""}, {1200 * MS, MacAction::Exit, ""}});
    RunCommand(CMD_SET_MAC);
    EXPECT_EQ(testbed::SettingValue("Kqsfupdt", "Mac"), "000A00");
    EXPECT_EQ(testbed::MessageBoxes().size(), 1u);
}

// What the field shows is what is sent: a text longer than six characters is never
// cut down to six and sent (typing "f000000" must not set F0-00-00).
TEST_F(RobustnessTest, TheMacFieldSendsNothingButExactlySixDigits) {
    ParseCommandLine("ST");
    sim::Console console;
    sim::TestbedPlug plug(&console);
    struct Case {
        const char* typed;
        int sets;
    } cases[] = {{"f000000", 0}, {"0000001", 0}, {"12345", 0}, {"abcdef", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        int before = console.CountOf("macset");
        testbed::SetMacDialogScript({{300 * MS, MacAction::Type, c.typed},
                                     {300 * MS, MacAction::Ok, ""},
                                     {600 * MS, MacAction::Exit, ""}});
        RunCommand(CMD_SET_MAC);
        EXPECT_EQ(console.CountOf("macset") - before, c.sets);
    }
    EXPECT_EQ(MAC_FIELD_CHARS, 6u);
}
