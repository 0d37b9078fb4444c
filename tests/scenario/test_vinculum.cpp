// The Vinculum update: the update file written to a USB stick, and the firmware sent
// through the simulated console, with its retries, time-outs and verdicts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "images/images.h"
#include "link/link.h"
#include "base/screen.h"
#include "shell/shell.h"
#include "sim/model/sim.h"
#include "tests/backend/sim_plug.h"
#include "tests/backend/fixture.h"
#include "tests/backend/testbed.h"
#include "update/vinculum.h"

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

const char PROMPT[] =
    "Insert USB-Stick & select the drive letter\n"
    "  [D]  USB-Stick on unit D:\n"
    "  ..\n"
    "  [Z]  USB-Stick on unit Z:\n"
    "  [->] no USB-Stick";

const char INSTRUCTIONS[] =
    "Switch on Console.    Insert USB-Stick to Console\n"
    "  Wait 60 seconds\n"
    "  Switch off Console.    Remove USB-Stick of Console\n"
    "  Switch on Console & check Vinculum version\n"
    "  Don't forget to delete the update file FTRFB.FTD on USB-Stick (on PC)";

const std::string FILE_BYTES((const char*)ImageVinculumFile, VINCULUM_FILE_SIZE);

}  // namespace

// ---- By USB stick ----------------------------------------------------------------------------

class VinculumStickTest : public CoreTest {
protected:
    // Runs the command with the key pressed at 0.1 s; returns the screen.
    std::string RunWithKey(int vk) {
        testbed::PressKey(vk, 100000);
        VinculumToStickCommand();
        return testbed::ScreenText();
    }
};

TEST_F(VinculumStickTest, RightArrowEndsWithNothingWrittenAndNoMessage) {
    mkdir("drive_C", 0755);
    mkdir("drive_E", 0755);
    testbed::HoldKey('C', 50000, 150000);  // C: is not offered
    std::string screen = RunWithKey(39);
    EXPECT_EQ(screen, PROMPT);
    EXPECT_FALSE(Exists("drive_C/FTRFB.FTD"));
    EXPECT_FALSE(Exists("drive_E/FTRFB.FTD"));
}

TEST_F(VinculumStickTest, LetterWritesTheUpdateFileOverAnOldOne) {
    mkdir("drive_E", 0755);
    std::ofstream("drive_E/FTRFB.FTD") << std::string(100000, 'x');  // longer than ours
    std::string screen = RunWithKey('E');
    EXPECT_EQ(screen, std::string(PROMPT) + "\n" + INSTRUCTIONS);
    std::string written = ReadFile("drive_E/FTRFB.FTD");
    ASSERT_EQ(written.size(), 66048u);
    EXPECT_TRUE(written == FILE_BYTES);
    // The firmware behind the 512-byte header is the image the cable path sends.
    EXPECT_EQ(written.compare(512, VINCULUM_IMAGE_SIZE, (const char*)ImageVinculum, VINCULUM_IMAGE_SIZE), 0);
    EXPECT_EQ(LogText(), "");  // no link, no log
}

TEST_F(VinculumStickTest, DriveThatCannotTakeTheFileGivesTheError) {
    mkdir("drive_G", 0755);
    ASSERT_EQ(symlink("/dev/full", "drive_G/FTRFB.FTD"), 0);  // a stick that is full
    for (int letter : {'F', 'G', 'Z'}) {                       // F and Z: no such drive
        ScreenClear();
        std::string screen = RunWithKey(letter);
        EXPECT_EQ(screen, std::string(PROMPT) + "\nError USB-Stick.  Try again") << (char)letter;
    }
}

TEST_F(VinculumStickTest, SpanishMessages) {
    LanguageFlag = 0;
    std::string screen = RunWithKey('F');
    EXPECT_EQ(screen,
              "Conectar llavero-USB Y teclear su letra de unidad\n"
              "  [D]  llavero-USB en unidad D:\n"
              "  ...\n"
              "  [Z]  llavero-USB en unidad Z:\n"
              "  [->] no llavero-USB\n"
              "Error en llavero-USB.  Intertarlo de nuevo");
}

TEST_F(VinculumStickTest, MenuCommandWritesTheFileAndAsksForEnter) {
    ShellCreate();
    mkdir("drive_D", 0755);
    testbed::PressKey('D', 100000);
    testbed::PressKey(13, 500000);
    EXPECT_EQ(RunCommand(CMD_VINCULUM_STICK), -1);
    EXPECT_TRUE(ReadFile("drive_D/FTRFB.FTD") == FILE_BYTES);
    EXPECT_EQ(testbed::ScreenRow(0), "Process:");  // the help text again
}

// ---- By cable ----------------------------------------------------------------------------------

class VinculumCableTest : public CoreTest {
protected:
    void Run() {
        start_ = testbed::NowUs();
        VinculumByCable();
        seconds_ = (testbed::NowUs() - start_) / 1e6;
        screen_ = testbed::ScreenText();
    }
    // The offsets the console was sent with requests of this kind, in order.
    static std::vector<uint32_t> Offsets(const sim::Console& console, const std::string& kind) {
        std::vector<uint32_t> offsets;
        for (const sim::Request& r : console.Requests())
            if (r.kind == kind) offsets.push_back((uint32_t)std::stoul(r.detail.substr(7), nullptr, 16));
        return offsets;
    }
    // Ends the run without the link: receive thread stopped and both pipes closed.
    void ExpectClosed() {
        EXPECT_EQ(OutPipe.load(), PLAT_NO_HANDLE);
        EXPECT_EQ(InPipe.load(), PLAT_NO_HANDLE);
        EXPECT_FALSE(Contains(screen_, "Disconnecting"));
    }
    std::vector<uint8_t> Image() const { return std::vector<uint8_t>(ImageVinculum, ImageVinculum + VINCULUM_IMAGE_SIZE); }
    uint64_t start_ = 0;
    double seconds_ = 0;
    std::string screen_;
};

TEST_F(VinculumCableTest, ProgramsAndVerifiesEveryChunk) {
    sim::Console console;
    sim::TestbedPlug plug(&console);
    // What the screen showed as each phase began.
    std::string atFirstProgram, atFirstVerify, atEnd;
    console.SetRequestObserver([&](const sim::Request& r) {
        if (r.kind == "vprogram" && r.index == 1) atFirstProgram = testbed::ScreenText();
        if (r.kind == "vverify" && r.index == 1) atFirstVerify = testbed::ScreenText();
        if (r.kind == "vend") atEnd = testbed::ScreenText();
    });
    Run();
    EXPECT_EQ(console.VinculumFlash(), Image());
    EXPECT_TRUE(console.Errors().empty());
    std::vector<uint32_t> all;
    for (uint32_t at = 0; at < 0x10000; at += 1024) all.push_back(at);
    EXPECT_EQ(Offsets(console, "vprogram"), all);  // blank chunks too
    EXPECT_EQ(Offsets(console, "vverify"), all);
    EXPECT_EQ(console.Requests().front().kind, "vstart");
    EXPECT_NEAR(console.Requests().front().timeUs / 1e6, 1.0, 0.01);  // after the 1 s pause
    EXPECT_EQ(console.Requests().back().kind, "vend");
    EXPECT_EQ(console.CountOf("vend"), 1);
    EXPECT_FALSE(console.VinculumOpen());

    EXPECT_EQ(atFirstProgram, "-----Vinculum Update-----\nConnecting to CORVINA...\nBegin...\nProgramming Flash...");
    EXPECT_TRUE(EndsWith(atFirstVerify, "Programing address 0000fc00...\nVerifing Flash...")) << atFirstVerify;
    EXPECT_TRUE(EndsWith(atEnd, "Verifing address 0000f800...\nVerifing address 0000fc00...")) << atEnd;
    EXPECT_TRUE(EndsWith(screen_, "Verifing address 0000fc00...\nEnd...\nVinculum Updated")) << screen_;
    ExpectClosed();
    std::string log = LogText();
    EXPECT_EQ(log.find("-----Vinculum Update-----\n"), 0u) << log.substr(0, 200);
    EXPECT_TRUE(Contains(log, " Mesa<- Nbytes:5 80 00 00 80 80 \n"));  // the start frame, its 0x80 sum doubled
}

TEST_F(VinculumCableTest, FourFailuresOfAChunkAreRetriedAndTheCountStartsAgain) {
    // Chunk 2 fails four times (requests 3 to 6), chunk 3 four times right after
    // (8 to 11): each succeeds on its fifth send. Verify: chunk 5 fails four times.
    sim::Console console;
    console.SetFaults(sim::FaultPlan::FromText("drop:vprogram#3-6,drop:vprogram#8-11,corrupt:vverify#6-9"));
    sim::TestbedPlug plug(&console);
    Run();
    EXPECT_TRUE(EndsWith(screen_, "End...\nVinculum Updated")) << screen_;
    EXPECT_EQ(console.VinculumFlash(), Image());
    EXPECT_EQ(console.CountOf("vprogram"), 64 + 8);
    EXPECT_EQ(console.CountOf("vverify"), 64 + 4);
    std::vector<uint32_t> sent = Offsets(console, "vprogram");
    EXPECT_EQ(std::vector<uint32_t>(sent.begin(), sent.begin() + 12),
              (std::vector<uint32_t>{0, 0x400, 0x800, 0x800, 0x800, 0x800, 0x800, 0xC00, 0xC00, 0xC00, 0xC00, 0xC00}));
    ExpectClosed();
}

TEST_F(VinculumCableTest, FiveFailuresInARowEndTheUpdate) {
    struct Case {
        const char* plan;
        const char* tail;  // the screen's last lines
        int programs, verifies;
    } cases[] = {
        {"drop:vprogram#3-7", "Programing address 00000800...\n\n...ERROR...", 7, 0},
        {"wrongcode:vprogram#1-5", "Programing address 00000000...\n\n...ERROR...", 5, 0},
        {"unplug:vprogram#40", "Programing address 00009c00...\n\n...ERROR...", 40, 0},
        {"drop:vverify#64-68", "Verifing address 0000fc00...\n\n...ERROR...", 64, 68},
    };
    for (const Case& c : cases) {
        testbed::Reset();
        ScreenClear();
        sim::Console console;
        console.SetFaults(sim::FaultPlan::FromText(c.plan));
        sim::TestbedPlug plug(&console);
        Run();
        EXPECT_TRUE(EndsWith(screen_, c.tail)) << c.plan << "\n" << screen_;
        EXPECT_FALSE(Contains(screen_, "Updated")) << c.plan;
        EXPECT_EQ(console.CountOf("vprogram"), c.programs) << c.plan;
        EXPECT_EQ(console.CountOf("vverify"), c.verifies) << c.plan;
        EXPECT_EQ(console.CountOf("vend"), 0) << c.plan;  // nothing more was sent
        ExpectClosed();
    }
}

TEST_F(VinculumCableTest, PageThatDoesNotReadBackIsNeverReportedUpdated) {
    // A page of the Vinculum that loses a bit after programming fails every verify.
    // An acknowledgement that came twice earlier must not stand in for it.
    for (const char* plan : {"", "twice:vprogram#60,twice:vverify#3"}) {
        testbed::Reset();
        ScreenClear();
        sim::Console console;
        console.SetFaults(sim::FaultPlan::FromText(plan));
        console.SetRequestObserver([&](const sim::Request& r) {
            if (r.kind == "vprogram" && r.index == 64) console.VinculumFlashForTest()[10 * 1024 + 17] ^= 0x04;
        });
        sim::TestbedPlug plug(&console);
        Run();
        EXPECT_TRUE(EndsWith(screen_, "Verifing address 00002800...\n\n...ERROR...")) << plan << "\n" << screen_;
        EXPECT_FALSE(Contains(screen_, "Updated")) << plan;
        std::vector<uint32_t> verified = Offsets(console, "vverify");
        EXPECT_EQ(verified.size(), 15u) << plan;  // chunks 0 to 9, then five sends of chunk 10
        EXPECT_EQ(verified.back(), 0x2800u) << plan;
        EXPECT_EQ(console.CountOf("vend"), 0) << plan;
    }
}

TEST_F(VinculumCableTest, StartAndEndMustBeAnsweredWithinOneSecond) {
    struct Case {
        const char* plan;
        const char* tail;
        int programs;
    } cases[] = {
        {"delay:vstart=800000", "Begin...\n\n...ERROR...", 0},  // 0.25 s of work + 0.8 s
        {"drop:vend", "Verifing address 0000fc00...\nEnd...\n\n...ERROR...", 64},
        {"delay:vstart=700000", "End...\nVinculum Updated", 64},  // 0.95 s is in time
    };
    for (const Case& c : cases) {
        testbed::Reset();
        ScreenClear();
        sim::Console console;
        console.SetFaults(sim::FaultPlan::FromText(c.plan));
        sim::TestbedPlug plug(&console);
        Run();
        EXPECT_TRUE(EndsWith(screen_, c.tail)) << c.plan << "\n" << screen_;
        EXPECT_EQ(console.CountOf("vstart"), 1) << c.plan;  // never repeated
        EXPECT_EQ(console.CountOf("vprogram"), c.programs) << c.plan;
        ExpectClosed();
    }
}

TEST_F(VinculumCableTest, SearchTimesAndIdentitiesPerMode) {
    struct Case {
        const char* mode;
        bool plugged;  // a console showing only its second identity
        double seconds;
        const char* tail;
    } cases[] = {
        {"", false, 6.0, "CORVINA not found"},
        {"ST", false, 8.0, "CORVINA not found"},
        {"", true, 6.0, "CORVINA not found"},  // the second identity only in service mode
        {"ST", true, 0, "Vinculum Updated"},
    };
    for (const Case& c : cases) {
        testbed::Reset();
        ScreenClear();
        ParseCommandLine(c.mode);
        sim::Console console(sim::kConsoleSecondId);
        sim::TestbedPlug plug(&console, c.plugged);
        Run();
        std::string what = std::string("mode '") + c.mode + "' plugged " + (c.plugged ? "yes" : "no");
        EXPECT_TRUE(EndsWith(screen_, c.tail)) << what << "\n" << screen_;
        if (c.seconds > 0) {
            EXPECT_EQ(screen_, std::string("-----Vinculum Update-----\nConnecting to CORVINA...\n") + c.tail) << what;
            EXPECT_NEAR(seconds_, c.seconds, 0.05) << what;
            EXPECT_EQ(LogText(), "") << what;  // no header without a console
            EXPECT_TRUE(console.Requests().empty()) << what;
        } else {
            EXPECT_EQ(console.VinculumFlash(), Image());
            // Found as soon as the first identity's 5 s are over, after the 1 s pause.
            EXPECT_NEAR(console.Requests().front().timeUs / 1e6, 6.0, 0.05);
        }
        ExpectClosed();
    }
}

TEST_F(VinculumCableTest, SpanishWithoutConsoleThroughTheMenu) {
    ShellCreate();
    LanguageFlag = 0;
    testbed::PressKey(13, 7000000);
    EXPECT_EQ(RunCommand(CMD_VINCULUM_CABLE), -1);
    bool shown = false;
    for (const std::string& s : testbed::RecentScreens())
        shown = shown || Contains(s, "-----Vinculum Update-----\nConectando a CORVINA...\nCORVINA no conectad@\n"
                                     "Pusar [ENTER] en el teclado PC para continuar");
    EXPECT_TRUE(shown);
    ExpectClosed();
}
