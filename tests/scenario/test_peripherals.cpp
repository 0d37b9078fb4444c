// "Update Remote", "Update Receiver" and "Update Tempa BOX" from the menu, in virtual
// time, against the simulated console with peripherals on its KQ-LINK bus: the screen,
// the peripheral's flash afterwards, and every failure ending with its own text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/screen.h"
#include "images/images.h"
#include "platform/platform.h"
#include "shell/shell.h"
#include "sim/model/boot_program.h"
#include "sim/model/peripherals.h"
#include "sim/model/sim.h"
#include "tests/backend/fixture.h"
#include "tests/backend/sim_plug.h"
#include "tests/backend/testbed.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }


// The peripheral's flash as an update must leave it: the image, 0xFF beyond it, and in
// user mode the block 0x1000-0x1FFF as it was.
Bytes Expected(const uint8_t* image, uint32_t size, uint32_t flashSize, const Bytes* keptBlock1) {
    Bytes b(flashSize, 0xFF);
    memcpy(b.data(), image, size);
    if (keptBlock1) std::copy(keptBlock1->begin(), keptBlock1->end(), b.begin() + 0x1000);
    return b;
}

}  // namespace

class PeripheralTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        ShellCreate();
        ParseCommandLine("ST");
        plug_.reset(new sim::TestbedPlug(&console_));
    }
    void TearDown() override {
        plug_.reset();
        CoreTest::TearDown();
    }
    // The operator answers every question: [ENTER] once a second, and [->] too when
    // declining, for horizonUs from now; the keys of one run never reach the next.
    std::string Run(int command, int answerKey = 13, uint64_t horizonUs = 300000000) {
        uint64_t start = testbed::NowUs(), end = start + horizonUs;
        for (uint64_t t = start + 1500000; t < end; t += 1000000) testbed::PressKey(13, t);
        if (answerKey != 13)
            for (uint64_t t = start + 2000000; t < end; t += 1000000) testbed::PressKey(answerKey, t);
        EXPECT_EQ(RunCommand(command), -1);
        while (testbed::NowUs() < end) PlatSleepMs(1000);
        return testbed::Transcript();
    }
    sim::Console console_;
    std::unique_ptr<sim::TestbedPlug> plug_;
};

TEST_F(PeripheralTest, RemoteAndReceiverInUserModeKeepTheirBlockOne) {
    struct Case {
        int command;
        uint8_t type;
        const uint8_t* image;
        uint32_t size;
        int writes;
        const char* name;
    } cases[] = {
        {CMD_UPDATE_REMOTE, 0, ImageRemote, REMOTE_IMAGE_SIZE, 177, "Remote"},
        {CMD_UPDATE_RECEIVER, 1, ImageReceiver, RECEIVER_IMAGE_SIZE, 68, "Receiver"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testbed::Reset();
        ShellCreate();
        sim::Console console;
        sim::TestbedPlug plug(&console);
        std::unique_ptr<sim::Unit> unit;
        if (c.type == 0) unit.reset(new sim::Remote(3));
        else unit.reset(new sim::Receiver(3));
        console.KqLink().Attach(unit.get());
        Bytes calibration = unit->Calibration();
        std::string screen = Run(c.command);
        EXPECT_TRUE(Contains(screen, std::string(c.name) + " update? [ENTER] yes, [->] no")) << screen;
        EXPECT_TRUE(Contains(screen, "Erasing Block 15...")) << screen;
        EXPECT_TRUE(Contains(screen, "...OK...")) << screen;
        EXPECT_EQ(unit->Flash(), Expected(c.image, c.size, (uint32_t)unit->Flash().size(), &calibration));
        EXPECT_EQ(unit->CountOf("erase"), 15);
        EXPECT_EQ(unit->CountOf("write"), c.writes);
        EXPECT_TRUE(unit->Errors().empty());
        EXPECT_EQ(console.CountOf("linkend"), 1);
        console.KqLink().Detach(unit.get());
    }
}

TEST_F(PeripheralTest, DecliningWritesNothing) {
    sim::Remote remote(2);
    console_.KqLink().Attach(&remote);
    Bytes before = remote.Flash();
    std::string screen = Run(CMD_UPDATE_REMOTE, 39);
    EXPECT_TRUE(Contains(screen, "Remote update? [ENTER] yes, [->] no")) << screen;
    EXPECT_EQ(remote.Flash(), before);
    EXPECT_EQ(remote.CountOf("begin"), 0);
    EXPECT_EQ(console_.CountOf("linkend"), 1);
    EXPECT_TRUE(Contains(screen, "Disconnecting..."));
}

// No unit, two units, or one of the other type: the technical-service question, never
// the user-mode update.
TEST_F(PeripheralTest, AnythingButOneUnitOfTheTypeLeadsToTechnicalService) {
    struct Case {
        const char* what;
        std::vector<sim::PeripheralType> units;
    } cases[] = {
        {"none", {}},
        {"two", {sim::PeripheralType::Remote, sim::PeripheralType::Remote}},
        {"a Receiver", {sim::PeripheralType::Receiver}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testbed::Reset();
        ShellCreate();
        sim::Console console;
        sim::TestbedPlug plug(&console);
        std::vector<std::unique_ptr<sim::Unit>> units;
        uint8_t address = 1;
        for (sim::PeripheralType t : c.units) {
            units.emplace_back(new sim::Unit(t, address++, 0x10000));
            console.KqLink().Attach(units.back().get());
        }
        std::string screen = Run(CMD_UPDATE_REMOTE, 39);
        EXPECT_TRUE(Contains(screen, "No Remote connection to KQ-LINK?\n"
                                     " A Remote whose update was cut short answers only in TECHNICAL SERVICE,\n"
                                     " which also rewrites its calibration (flash 0x1000-0x1FFF)\n"
                                     "Remote TECHNICAL SERVICE update? [ENTER] yes, [->] no"))
            << screen;
        for (auto& u : units) EXPECT_EQ(u->CountOf("begin"), 0);
        for (auto& u : units) console.KqLink().Detach(u.get());
    }
}

// The technical-service update gets the image as embedded, block 0x1000-0x1FFF too,
// even after a user-mode question in the same run.
TEST_F(PeripheralTest, TechnicalServiceWritesTheWholeImageThroughTheBootProgram) {
    sim::Remote remote(4);
    console_.KqLink().Attach(&remote);
    Run(CMD_UPDATE_REMOTE, 39, 30000000);  // the user-mode question, declined
    console_.KqLink().Detach(&remote);

    // After the end frame, one sum check of the 64 KiB user area the 0x25 reply gave
    // (data/remote.bin and 0xFF to 0xFFFF add up to 0x00c079c5);
    // a boot program that cannot be asked leaves "Updated" with one more line.
    using Checks = sim::BootConfig::Checks;
    const char* notVerified = "Flash not verified: the boot program did not answer the check\n";
    struct Case {
        Checks checks;
        const char* check;  // what the check shows before the verdict
    } cases[] = {
        {Checks::Answer, "User MAT Sum Check (0x4b)\nuserMatSum 0x00c079c5\nsum calculado: 0x00c079c5\nFlash verified\n"},
        {Checks::Refuse, "User MAT Sum Check (0x4b)\nResponse Error: 0x80 0x80\n"},
        {Checks::Silent, "User MAT Sum Check (0x4b)\nResponse to the command 0x4b different of 0x5b: 0xff\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.check);
        sim::BootConfig config = sim::PeripheralBootConfig();
        config.checks = c.checks;
        sim::BootPeer boot(config);
        console_.KqLink().Attach(&boot);
        std::string screen = Run(CMD_UPDATE_REMOTE);
        EXPECT_TRUE(Contains(screen, "Switch off Remote, put jumper(s), connect to KQ-LINK, switch on...")) << screen;
        EXPECT_TRUE(Contains(screen, "Bit-Rate-Adjustment State...")) << screen;
        EXPECT_TRUE(Contains(screen, "deviceCode ")) << screen;
        EXPECT_TRUE(Contains(screen, "direccion (adr): 0x00001000")) << screen;
        EXPECT_TRUE(Contains(screen, std::string("direccion: 0xffffffff\n") + c.check +
                                         (c.checks == Checks::Answer ? "" : notVerified) +
                                         "Remote Updated\nSwitch off or disconnect of KQ-LINK, remove jumper(s),"))
            << screen;
        EXPECT_TRUE(boot.ProgrammingEnded());
        EXPECT_EQ(boot.Flash(), Expected(ImageRemote, REMOTE_IMAGE_SIZE, (uint32_t)boot.Flash().size(), nullptr));
        EXPECT_EQ(boot.CountOf("boot50"), 178);
        EXPECT_EQ(boot.CountOf("boot4b"), 1);
        EXPECT_EQ(boot.CountOf("boot52"), 0);
        EXPECT_TRUE(boot.Errors().empty());
        console_.KqLink().Detach(&boot);
    }
}

TEST_F(PeripheralTest, TempaBoxThroughItsBootRecord) {
    sim::TempaBoxBoot tempa;
    console_.KqLink().Attach(&tempa);
    std::string screen = Run(CMD_UPDATE_TEMPABOX);
    EXPECT_TRUE(Contains(screen, "Disconnect Tempa BOX of KQ-LINK, put jumper,")) << screen;
    EXPECT_TRUE(Contains(screen, "Sending boot record...\nProgramming Flash...")) << screen;
    EXPECT_TRUE(Contains(screen, "Tempa BOX Updated")) << screen;
    EXPECT_EQ(tempa.BootRecord(), Bytes(ImageTempaBoot, ImageTempaBoot + TEMPA_BOOT_SIZE));
    EXPECT_EQ(tempa.Flash(), Expected(ImageTempa, TEMPA_IMAGE_SIZE, sim::TempaBoxBoot::kFlashSize, nullptr));
    EXPECT_TRUE(tempa.Errors().empty());
    console_.KqLink().Detach(&tempa);
}
