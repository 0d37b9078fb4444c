// The fault matrix of "Update Console": every fault kind at every request kind of both
// paths. Each run must end by itself within its time-outs, with its failure message or
// with "Updated" — and "Updated" only when the device's flash equals the buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/link.h"
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

const char* const BOOT_FAILURES[] = {
    "Response to 0x55 different of 0xe6", "Response to command 0x20 different of 0x30", "Checksum error",
    "Not devices", "Device selection error", "Response to command 0x21 different of 0x31", "Not clock modes",
    "Clock mode selection error", "New Bit-rate selection error", "Response to command 0x27 different of 0x37",
    "Program unit error", "Erasing error", "User MAT programming selection error", "nBytes programming error",
    "Verify error at address 0x",
};

// The longest any run may take: the search, the prompts, one erase of each kind and
// every other wait of one update, with room to spare.
const uint64_t LONGEST_RUN_US = 400000000;

}  // namespace

class UpdateFaultMatrix : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        ShellCreate();
        testbed::SetLanguageDialogButtons({303, 305});  // English alone: a shorter run
    }
    // Runs the command against device with the plan; checks the verdict's honesty.
    void RunAndJudge(sim::SimDevice* device, const std::vector<uint8_t>& (*flashOf)(sim::SimDevice*),
                     const std::string& plan, bool bootPath) {
        SCOPED_TRACE("fault plan: " + plan + (bootPath ? " (boot mode)" : " (user mode)"));
        testbed::Reset();
        ScreenClear();
        testbed::SetLanguageDialogButtons({303, 305});
        for (uint64_t t = 500000; t < LONGEST_RUN_US; t += 1000000) testbed::PressKey(13, t);
        device->SetFaults(sim::FaultPlan::FromText(plan));
        sim::TestbedPlug plug(device);
        try {
            UpdateConsoleCommand();
        } catch (const testbed::ProcessExit& e) {
            FAIL() << "the program ended with " << e.code;
        }
        uint64_t took = testbed::NowUs();
        EXPECT_LT(took, LONGEST_RUN_US) << "the command ran on past its time-outs";
        // Let the device finish whatever it was still doing, then look at its flash.
        DelayMicroseconds(12000000);
        std::string screen = testbed::ScreenText();
        bool updated = Contains(screen, "CORVINA Updated");
        bool failed = Contains(screen, "...ERROR...");
        for (const char* m : BOOT_FAILURES) failed = failed || Contains(screen, std::string("\n\n") + m);
        EXPECT_NE(updated, failed) << screen;
        if (updated) {
            EXPECT_EQ(flashOf(device), std::vector<uint8_t>(FlashBuffer, FlashBuffer + FLASH_SIZE))
                << "\"Updated\" was reported but the flash differs";
        }
        runs_++;
        failures_ += failed ? 1 : 0;
    }
    int runs_ = 0, failures_ = 0;
};

static const std::vector<uint8_t>& ConsoleFlash(sim::SimDevice* d) { return static_cast<sim::Console*>(d)->Flash(); }
static const std::vector<uint8_t>& BootFlash(sim::SimDevice* d) { return static_cast<sim::BootDevice*>(d)->Flash(); }

TEST_F(UpdateFaultMatrix, UserModePath) {
    const char* kinds[] = {"drop", "delay", "corrupt", "twice", "unplug", "wrongcode", "badsum", "short"};
    const char* targets[] = {"start#1", "start#2", "erase#1", "erase#16", "program#1", "program#200", "end#1"};
    for (const char* kind : kinds) {
        for (const char* target : targets) {
            std::string plan = std::string(kind) + ":" + target;
            if (std::string(kind) == "delay") plan += "=11000000";
            sim::Console console;
            RunAndJudge(&console, ConsoleFlash, plan, false);
        }
    }
    EXPECT_GT(failures_, runs_ / 2);  // most faults must be caught
}

TEST_F(UpdateFaultMatrix, BootModePath) {
    const char* kinds[] = {"drop",   "delay",     "corrupt", "twice", "unplug",
                           "wrongcode", "badsum", "short",   "error", "miswrite"};
    const char* targets[] = {"boot55", "boot20",   "boot10",     "boot21",  "boot11",   "boot3f",    "boot06",
                             "boot27", "boot40",   "boot43",     "boot50#1", "boot50#100", "bootend", "boot52#1",
                             "boot52#517"};
    for (const char* kind : kinds) {
        for (const char* target : targets) {
            std::string plan = std::string(kind) + ":" + target;
            if (std::string(kind) == "delay") plan += std::string(target).compare(0, 6, "boot52") ? "=61000000" : "=250000";
            sim::BootDevice boot;
            RunAndJudge(&boot, BootFlash, plan, true);
        }
    }
    EXPECT_GT(failures_, runs_ / 2);
}
