// The peripheral updates against misbehaving units: every request kind of the three
// procedures (the Remote's loader, its boot program over KQ-LINK, the Tempa BOX's boot
// handshake and loader) with the faults that matter for it. Each run must end within
// its time-outs with its own failure text, and a success text only ever stands over a
// flash that equals the image.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

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

enum Target { REMOTE_USER, REMOTE_BOOT, TEMPA_BOOT };

struct Row {
    Target target;
    const char* plan;
    const char* failure;  // nullptr: the update may succeed (then the flash must be right)
};

// Every row's plan is carried out by the model named in the plan's kind.
const Row ROWS[] = {
    // The Remote's resident loader: begin, 15 erases, the writes, finish.
    {REMOTE_USER, "drop:begin", "\n...ERROR...\n"},
    {REMOTE_USER, "badsum:begin", "\n...ERROR...\n"},
    {REMOTE_USER, "drop:erase#4", "\n...ERROR...\n"},
    {REMOTE_USER, "delay:erase#1=7000000", "\n...ERROR...\n"},
    {REMOTE_USER, "wrongcode:erase#15", "\n...ERROR...\n"},
    {REMOTE_USER, "drop:write#1", "\n...ERROR...\n"},
    {REMOTE_USER, "delay:write#100=100000", "\n...ERROR...\n"},
    {REMOTE_USER, "corrupt:write#177", "\n...ERROR...\n"},
    {REMOTE_USER, "unplug:write#50", "\n...ERROR...\n"},
    {REMOTE_USER, "drop:finish", "\n...ERROR...\n"},
    {REMOTE_USER, "twice:erase#2", nullptr},
    {REMOTE_USER, "twice:write#10", nullptr},
    // The Remote's boot program over KQ-LINK, step by step.
    {REMOTE_BOOT, "drop:boot00#1-", "It has not been received 0x00 after having sent 40 0x00"},
    {REMOTE_BOOT, "drop:boot55", "Response to 0x55 different of 0xe6"},
    {REMOTE_BOOT, "wrongcode:boot20", "Response to the command 0x20 different of 0x30"},
    {REMOTE_BOOT, "badsum:boot20", "Mistake of checksum in the response to the command 0x20"},
    {REMOTE_BOOT, "wrongcode:boot21", "Response to the command 0x21 different of 0x31: 0x30"},
    {REMOTE_BOOT, "badsum:boot22", "Mistake of checksum in the response to the command 0x22"},
    {REMOTE_BOOT, "drop:boot23", "Response to the command 0x23 different of 0x33"},
    {REMOTE_BOOT, "error:boot10=0x21", "Response Error: 0x90 0x21"},
    {REMOTE_BOOT, "error:boot10=0x22,wrongcode:boot10=0x80", "Response Error: 0x80 0x22"},
    {REMOTE_BOOT, "drop:boot10", "Response to the command 0x10 different of 0x06, 0x90 y 0x80: 0xff"},
    {REMOTE_BOOT, "error:boot11=0x22", "Response Error: 0x91 0x22"},
    {REMOTE_BOOT, "error:boot3f=0x24", "Response Error: 0xbf 0x24"},
    {REMOTE_BOOT, "drop:boot3f", "Response to the command 0x3f different of 0x06, 0xbf y 0x80"},
    {REMOTE_BOOT, "drop:boot06", "The second 0x06 is not received to the new speed"},
    {REMOTE_BOOT, "badsum:boot25", "Mistake of checksum in the response to the command 0x25"},
    {REMOTE_BOOT, "short:boot27=3", "Mistake of checksum in the response to the command 0x27"},
    {REMOTE_BOOT, "error:boot40=0x51", "Response Error: 0xc0 0x51"},
    {REMOTE_BOOT, "wrongcode:boot4f", "Response to the command 0x4f different of 0x5f"},
    {REMOTE_BOOT, "error:boot43=0x80", "Response Error: 0xc3 0x80"},
    {REMOTE_BOOT, "drop:boot43", "Response to the command 0x43 different of 0x06, 0xc3 y 0x80: 0xff"},
    {REMOTE_BOOT, "error:boot50#20=0x53", "Response Error: 0xd0 0x53"},
    {REMOTE_BOOT, "drop:boot50#178", "Response to the command 0x50 different of 0x06, 0xd0 y 0x80"},
    {REMOTE_BOOT, "drop:bootend", "Response to the command 0x50 different of 0x06, 0xd0 y 0x80"},
    // The check after the end frame: a unit stored wrong but acknowledged is found by the
    // sum and placed by reading back (the third frame is the unit at 0x100); a sum check
    // that goes unanswered or arrives garbled leaves the verdict to the acknowledgements.
    {REMOTE_BOOT, "miswrite:boot50#3=5", "\nVerify error at address 0x00000105: read 0x"},
    {REMOTE_BOOT, "miswrite:boot50#178=15", "\nVerify error at address 0x0000768f: read 0x"},
    {REMOTE_BOOT, "miswrite:boot50#3,error:boot52", "\nVerify error: flash sum 0x"},
    {REMOTE_BOOT, "drop:boot4b", nullptr},
    {REMOTE_BOOT, "badsum:boot4b", nullptr},
    // The first 0x00 answer after the 40th 0x00 still counts; after a 41st it cannot come.
    {REMOTE_BOOT, "drop:boot00#1-39", nullptr},
    {REMOTE_BOOT, "drop:boot00#1-40", "It has not been received 0x00 after having sent 40 0x00"},
    // The Tempa BOX: handshake at 9600 bit/s, then its downloaded loader.
    {TEMPA_BOOT, "drop:boot00#1-", "...ERROR It has not been received 0x00 after having sent 40 0x00..."},
    {TEMPA_BOOT, "drop:boot00#1-39", nullptr},
    {TEMPA_BOOT, "drop:boot55", "...ERROR Response to 0x55 different of 0xaa..."},
    {TEMPA_BOOT, "corrupt:bootsize#2", "...ERROR BOOT SIZE..."},
    {TEMPA_BOOT, "corrupt:bootdata#500", "...ERROR BOOT DATA..."},
    {TEMPA_BOOT, "drop:begin", "...ERROR UPDATATEmKQLcOMIENZO..."},
    {TEMPA_BOOT, "badsum:write#3", "...ERROR UPDATATEmKQLpROGRAMARxBYTES..."},
    {TEMPA_BOOT, "delay:write#30=300000", "...ERROR UPDATATEmKQLpROGRAMARxBYTES..."},
    {TEMPA_BOOT, "drop:finish", "...ERROR UPDATATEmKQLfIN..."},
};

Bytes Padded(const uint8_t* image, uint32_t size, size_t flashSize) {
    Bytes b(flashSize, 0xFF);
    memcpy(b.data(), image, size);
    return b;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

class PeripheralFaultMatrix : public CoreTest {};

TEST_F(PeripheralFaultMatrix, EveryRequestKind) {
    for (const Row& row : ROWS) {
        SCOPED_TRACE(row.plan);
        testbed::Reset();
        ShellCreate();
        ParseCommandLine("ST");
        sim::Console console;
        sim::TestbedPlug plug(&console);
        sim::Remote remote(5);
        sim::BootPeer boot;
        sim::TempaBoxBoot tempa;
        sim::Station* station = row.target == REMOTE_USER ? (sim::Station*)&remote
                                : row.target == REMOTE_BOOT ? (sim::Station*)&boot
                                                            : (sim::Station*)&tempa;
        station->SetFaults(sim::FaultPlan::FromText(row.plan));
        console.KqLink().Attach(station);
        Bytes calibration = remote.Calibration();
        for (uint64_t t = 1500000; t < 900000000; t += 1000000) testbed::PressKey(13, t);

        int command = row.target == TEMPA_BOOT ? CMD_UPDATE_TEMPABOX : CMD_UPDATE_REMOTE;
        EXPECT_EQ(RunCommand(command), -1);
        std::string screen = testbed::Transcript();
        // The longest honest run: 15 erases of 6.5 s, or 2000 listens of 40 ms per wait.
        EXPECT_LT(testbed::NowUs(), 600000000u);

        bool succeeded = Contains(screen, "...OK...") || Contains(screen, " Updated");
        if (row.failure) {
            EXPECT_TRUE(Contains(screen, row.failure)) << screen.substr(screen.size() > 3000 ? screen.size() - 3000 : 0);
            EXPECT_FALSE(succeeded);
        }
        if (succeeded) {
            if (row.target == REMOTE_USER) {
                Bytes expected = Padded(ImageRemote, REMOTE_IMAGE_SIZE, remote.Flash().size());
                std::copy(calibration.begin(), calibration.end(), expected.begin() + 0x1000);
                EXPECT_EQ(remote.Flash(), expected);
            } else if (row.target == REMOTE_BOOT) {
                EXPECT_EQ(boot.Flash(), Padded(ImageRemote, REMOTE_IMAGE_SIZE, boot.Flash().size()));
            } else {
                EXPECT_EQ(tempa.Flash(), Padded(ImageTempa, TEMPA_IMAGE_SIZE, tempa.Flash().size()));
            }
        }
        EXPECT_EQ(console.CountOf("linkend"), 1);
        console.KqLink().Detach(station);
    }
}
