// "Update Console" end to end in virtual time against the simulated console and the
// processor's boot program: the screen, the log, the frames and the flash afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/screen.h"
#include "shell/shell.h"
#include "sim/model/sim.h"
#include "tests/backend/sim_plug.h"
#include "tests/backend/fixture.h"
#include "tests/backend/testbed.h"
#include "update/console_update.h"
#include "update/languages.h"

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The words the operator sees at the end of a run, whatever scrolled away before.
struct Transcript {
    std::string text;
};

}  // namespace

class UpdateConsoleTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        ShellCreate();
        ScreenClear();
    }
    // Presses [ENTER] once a second, so every prompt is answered within a second.
    void OperatorKeepsPressingEnter(uint64_t untilUs = 400000000) {
        for (uint64_t t = 500000; t < untilUs; t += 1000000) testbed::PressKey(13, t);
    }
    // Runs the command body with a transcript of everything printed: the screen is
    // sampled after each print by the backend's repaint.
    void RunUpdate() {
        OperatorKeepsPressingEnter();
        try {
            UpdateConsoleCommand();
        } catch (const testbed::ProcessExit& e) {
            FAIL() << "the program ended with " << e.code;
        }
        screen_ = testbed::ScreenText();
    }
    // A fresh run of the command against a processor in boot mode made from config;
    // check looks at the device afterwards, while it is still plugged in, and at the
    // log from logBefore_ on.
    template <class Check>
    void RunBootUpdate(const sim::BootConfig& config, Check check) {
        testbed::Reset();
        ScreenClear();
        sim::BootDevice boot(config);
        sim::TestbedPlug plug(&boot);
        logBefore_ = LogText().size();
        RunUpdate();
        check(boot);
    }
    std::string screen_;
    size_t logBefore_ = 0;
};

TEST_F(UpdateConsoleTest, UserModeWritesTheWholeBufferWithAllLanguages) {
    sim::Console console;
    sim::TestbedPlug plug(&console);
    RunUpdate();
    EXPECT_TRUE(Contains(screen_, "CORVINA Updated")) << screen_;
    EXPECT_EQ(console.Flash(), std::vector<uint8_t>(FlashBuffer, FlashBuffer + FLASH_SIZE));
    EXPECT_TRUE(console.Errors().empty());
    EXPECT_EQ(console.CountOf("erase"), 16);
    EXPECT_EQ(console.CountOf("program"), 504);
    EXPECT_EQ(console.CountOf("end"), 1);
    EXPECT_TRUE(Contains(LogText(), "-----User Update-----\n"));
}

TEST_F(UpdateConsoleTest, EnglishAloneSendsFourHundredSeventyFourChunks) {
    sim::Console console;
    sim::TestbedPlug plug(&console);
    testbed::SetLanguageDialogButtons({303, 305});
    RunUpdate();
    EXPECT_EQ(console.CountOf("program"), 474);
    EXPECT_EQ(console.Flash(), std::vector<uint8_t>(FlashBuffer, FlashBuffer + FLASH_SIZE));
}

TEST_F(UpdateConsoleTest, OnlyAnAnswerToTheRepeatedStartCounts) {
    sim::Console console;
    console.SetFaults(sim::FaultPlan::FromText("drop:start#2-"));
    sim::TestbedPlug plug(&console);
    RunUpdate();
    EXPECT_TRUE(Contains(screen_, "Begin...\n\n...ERROR..."));
    EXPECT_FALSE(Contains(screen_, "Updated"));
    EXPECT_EQ(console.CountOf("start"), 5);  // the first copy and four attempts
    EXPECT_EQ(console.CountOf("erase"), 0);
}

TEST_F(UpdateConsoleTest, LateEraseAcknowledgementFails) {
    sim::Console console;
    console.SetFaults(sim::FaultPlan::FromText("delay:erase#4=9700000"));  // 0.6 s + 9.7 s > 10.2 s
    sim::TestbedPlug plug(&console);
    RunUpdate();
    EXPECT_TRUE(Contains(screen_, "Erasing Block 3...\n\n...ERROR..."));
    EXPECT_EQ(console.CountOf("erase"), 4);
    EXPECT_EQ(console.CountOf("program"), 0);
    EXPECT_FALSE(Contains(screen_, "Updated"));
}

TEST_F(UpdateConsoleTest, SearchOrderAndTimesPerMode) {
    // A console that shows only its last identity is found as soon as the first
    // identity's 5 s (and in service mode the second's 2 s) have passed; its second
    // start request follows 0.2 s later.
    for (const char* mode : {"", "ST"}) {
        testbed::Reset();
        ParseCommandLine(mode);
        sim::Console console(sim::kConsoleLastId);
        sim::TestbedPlug plug(&console);
        OperatorKeepsPressingEnter();
        UpdateConsoleCommand();
        ASSERT_FALSE(console.Requests().empty());
        double expected = (*mode ? 7.0 : 5.0) + 0.2;
        EXPECT_NEAR(console.Requests()[1].timeUs / 1e6, expected, 0.02) << "mode '" << mode << "'";
        EXPECT_EQ(console.Flash(), std::vector<uint8_t>(FlashBuffer, FlashBuffer + FLASH_SIZE));
    }
}

TEST_F(UpdateConsoleTest, NoConsoleAsksForTheBootJumperAndSeeksBootMode) {
    RunUpdate();
    EXPECT_TRUE(Contains(screen_,
                         "-----User Update-----\nConnecting to CORVINA...\nCORVINA not found\n"
                         "Switch off, put BOOT-Jumper, switch on, [ENTER] continue...\n"
                         "-----Boot Update-----\nConnecting to CORVINA...\nCORVINA not found"))
        << screen_;
    EXPECT_EQ(LogText(), "");  // nothing was found, nothing was sent
}

// The same buffer as in user mode, read back after the end frame in 517 reads of up to
// 1016 bytes; a boot program that cannot be asked leaves the verdict as the acknowledgements
// give it, with one more line, after a single try.
TEST_F(UpdateConsoleTest, BootModeWritesTheSameBufferAndChecksIt) {
    using Checks = sim::BootConfig::Checks;
    const char* notVerified = "Flash not verified: the boot program did not answer the check\n";
    struct Case {
        Checks checks;
        const char* line;
        int reads;
    } cases[] = {{Checks::Answer, "Flash verified\n", 517}, {Checks::Refuse, notVerified, 1},
                 {Checks::Silent, notVerified, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        sim::BootConfig config;
        config.checks = c.checks;
        RunBootUpdate(config, [&](sim::BootDevice& boot) {
            EXPECT_TRUE(Contains(screen_, std::string("Updating CORVINA...\nDeleting Flash...\n"
                                                      "Transfer of the programming software...\nProgramming Flash...\n") +
                                              c.line + "CORVINA Updated\nSwitch off, remove BOOT-Jumper"))
                << screen_;
            EXPECT_EQ(boot.Flash(), std::vector<uint8_t>(FlashBuffer, FlashBuffer + FLASH_SIZE));
            EXPECT_TRUE(boot.ProgrammingEnded());
            EXPECT_TRUE(boot.Errors().empty());
            EXPECT_EQ(boot.CountOf("boot52"), c.reads);
            std::string log = LogText().substr(logBefore_);
            EXPECT_TRUE(Contains(log, "-----Boot Update-----\n"));
            EXPECT_TRUE(Contains(log, "Supported device inquiry (0x20)\n"));
            EXPECT_TRUE(Contains(log, "128-byte programming (0x50), direccion: 0x00000000\n"));
            EXPECT_TRUE(Contains(log, "128-byte programming (0x50), direccion: 0xffffffff\n"));
            EXPECT_TRUE(Contains(log, "Memory read (0x52), direccion: 0x00000000\nTime:"));
            EXPECT_FALSE(Contains(log, "-----User Update-----"));
        });
    }
}

TEST_F(UpdateConsoleTest, BootModeUnitLimits) {
    struct Case {
        uint16_t unit;
        bool accepted;
    } cases[] = {{127, false}, {128, true}, {4090, true}, {4091, false}};
    for (const Case& c : cases) {
        sim::BootConfig config;
        config.unit = c.unit;
        RunBootUpdate(config, [&](sim::BootDevice& boot) {
            if (c.accepted) {
                EXPECT_TRUE(Contains(screen_, "CORVINA Updated")) << c.unit;
                EXPECT_EQ(boot.Flash(), std::vector<uint8_t>(FlashBuffer, FlashBuffer + FLASH_SIZE)) << c.unit;
            } else {
                EXPECT_TRUE(Contains(screen_, "\n\nProgram unit error")) << c.unit << "\n" << screen_;
                EXPECT_EQ(boot.CountOf("boot40"), 0) << c.unit;
            }
        });
    }
}

// Each boot-mode failure ends with its own message at its step, and nothing follows.
TEST_F(UpdateConsoleTest, BootModeFailureMessagesByStep) {
    struct Case {
        const char* plan;
        const char* message;
    } cases[] = {
        {"drop:boot55", "Response to 0x55 different of 0xe6"},
        {"short:boot20=3", "Response to command 0x20 different of 0x30"},
        {"badsum:boot20", "Checksum error"},
        {"zero:boot20", "Not devices"},
        {"drop:boot10", "Device selection error"},
        {"wrongcode:boot21", "Response to command 0x21 different of 0x31"},
        {"zero:boot21", "Not clock modes"},
        {"error:boot11", "Clock mode selection error"},
        {"drop:boot3f", "New Bit-rate selection error"},
        {"drop:boot06", "New Bit-rate selection error"},
        {"short:boot27=4", "Response to command 0x27 different of 0x37"},
        {"badsum:boot27", "Checksum error"},
        {"delay:boot40=60000000", "Erasing error"},
        {"drop:boot43", "User MAT programming selection error"},
        {"drop:boot50#7", "nBytes programming error"},
        {"drop:bootend", "nBytes programming error"},
        // A byte that did not take, acknowledged all the same. The image's first units
        // all hold code: the third frame is the unit at 0x100, the ninth the one at
        // 0x400, in the second read (from 0x3f8).
        {"miswrite:boot50#3=5", "Verify error at address 0x00000105: read 0x"},
        {"miswrite:boot50#9", "Verify error at address 0x00000400: read 0x"},
    };
    for (const Case& c : cases) {
        testbed::Reset();
        ScreenClear();
        sim::BootDevice boot;
        boot.SetFaults(sim::FaultPlan::FromText(c.plan));
        sim::TestbedPlug plug(&boot);
        RunUpdate();
        EXPECT_TRUE(Contains(screen_, std::string("\n\n") + c.message)) << c.plan << "\n" << screen_;
        EXPECT_EQ(ScreenCursor % SCREEN_COLUMNS, 0) << c.plan;  // the message ended its line
        EXPECT_FALSE(Contains(screen_, "Updated")) << c.plan;
        EXPECT_FALSE(Contains(screen_, "remove BOOT-Jumper")) << c.plan;
    }
}
