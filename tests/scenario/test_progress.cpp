// The progress every long walk reports to the backend: phases in order, units that
// never move back, at most ten reports a second, and a verdict that says 100 % on
// success and failure where the walk stopped. Each walk runs whole, in virtual time,
// against the simulated console, its boot program or small KQ-LINK peripherals.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/base.h"
#include "base/progress.h"
#include "images/images.h"
#include "kqlink/kqlink.h"
#include "link/link.h"
#include "peripherals/peripheral_update.h"
#include "bootmode/peripheral_boot.h"
#include "platform/posix/posix.h"
#include "shell/shell.h"
#include "sim/model/sim.h"
#include "tests/backend/fixture.h"
#include "tests/backend/sim_plug.h"
#include "tests/backend/testbed.h"

namespace {

using testbed::ProgressReport;
typedef std::vector<uint8_t> Bytes;

// ---- Small KQ-LINK stations --------------------------------------------------------------
// A running peripheral's resident loader at address a: every loader packet addressed to
// it is acknowledged 80 a 04 sum, 2 ms later, until silentFrom packets have come.
struct Loader : sim::BusPeer {
    uint8_t address;
    int heard = 0, silentFrom = 1 << 30;
    uint32_t rate = 250000;
    uint64_t due = sim::kNever;
    explicit Loader(uint8_t a) : address(a) {}
    void OnBusBytes(uint64_t now, const Bytes& sent, uint32_t bitRate) override {
        Bytes b = sim::Garble(sent, bitRate, rate);
        if (b.size() < 2 || b[0] != 0x80 || b[1] != (uint8_t)(0x20 + address)) return;
        if (++heard < silentFrom) due = now + 2000;
    }
    uint64_t NextEventUs() override { return due; }
    void RunUntil(uint64_t now) override {
        bus_->Put(now, this, {0x80, address, 0x04, (uint8_t)((address + 4) & 0x7F)}, rate);
        due = sim::kNever;
    }
};

// The Tempa BOX in boot mode: locks on the 0x00 bytes at 9600 bit/s, answers 0x55 with
// 0xAA once its flash is erased (0.4 s), echoes the boot record's size and bytes, and
// then its downloaded loader answers at 250000 bit/s as address 14.
struct TempaBox : Loader {
    enum { SYNC, SIZE, DATA, LOADER } state = SYNC;
    uint32_t need = 0, got = 0;
    Bytes answer;
    TempaBox() : Loader(0x0E) { rate = 9600; }
    void OnBusBytes(uint64_t now, const Bytes& sent, uint32_t bitRate) override {
        if (state == LOADER) return Loader::OnBusBytes(now, sent, bitRate);
        for (uint8_t b : sim::Garble(sent, bitRate, rate)) {
            uint64_t after = 1000;
            if (state == SYNC && b == 0x55) state = SIZE, b = 0xAA, after = 400000;
            else if (state == SIZE) need = need << 8 | b, state = ++got == 2 ? (got = 0, DATA) : SIZE;
            else if (state == DATA && ++got == need) state = LOADER, rate = 250000;
            answer.push_back(b);
            due = now + after;
        }
    }
    void RunUntil(uint64_t now) override {
        if (answer.empty()) return Loader::RunUntil(now);
        // The echo of the last boot record byte still goes out at the old rate.
        bus_->Put(now, this, answer, state == LOADER ? 9600 : rate);
        answer.clear();
        due = sim::kNever;
    }
};

// The processor's boot program reached over KQ-LINK: the USB boot model, fed what the
// console relays and heard at the rate the bit-rate selection agreed.
struct BootOverLink : sim::BusPeer {
    sim::BootDevice boot;
    uint32_t rate = 19200;
    void OnBusBytes(uint64_t now, const Bytes& sent, uint32_t bitRate) override {
        Bytes b = sim::Garble(sent, bitRate, rate);
        if (!b.empty()) boot.HostWrote(now, b.data(), b.size());
    }
    uint64_t NextEventUs() override { return boot.NextEventUs(); }
    void RunUntil(uint64_t now) override {
        Bytes out;
        bool unplug = false;
        boot.RunUntil(now, &out, &unplug);
        if (out.empty()) return;
        bus_->Put(now, this, out, rate);
        // The acknowledge of 0x3F goes out at the old rate; then the new one holds.
        if (boot.CurrentState() == sim::BootDevice::State::Confirm) rate = 250000;
    }
};

// ---- What a run reported --------------------------------------------------------------------
struct Summary {
    std::vector<int> phases;   // each phase as it began, in order
    ProgressReport verdict{};  // the last report before the command's end hid the bar
    bool hiddenAtEnd = false;
};

Summary Summarise(const std::vector<ProgressReport>& reports) {
    Summary s;
    bool running = false;
    int phase = -1;
    for (const ProgressReport& r : reports) {
        bool begins = r.state == PLAT_PROGRESS_RUNNING && (!running || r.phase != phase || r.done == 0);
        if (begins && !(running && r.phase == phase && r.done == 0)) s.phases.push_back(r.phase);
        running = r.state == PLAT_PROGRESS_RUNNING;
        phase = r.phase;
        if (r.state != PLAT_PROGRESS_HIDDEN) s.verdict = r;
    }
    s.hiddenAtEnd = !reports.empty() && reports.back().state == PLAT_PROGRESS_HIDDEN;
    return s;
}

// Within a phase nothing moves back or past its total, and between two reports of the
// same phase at least 100 ms pass (the backend is never flooded).
void ExpectSound(const std::vector<ProgressReport>& reports) {
    for (size_t i = 0; i < reports.size(); i++) {
        const ProgressReport& r = reports[i];
        EXPECT_LE(r.done, r.total) << "report " << i;
        EXPECT_FALSE(r.label.empty()) << "report " << i;
        if (i == 0) continue;
        const ProgressReport& p = reports[i - 1];
        bool samePhase = p.state == PLAT_PROGRESS_RUNNING && r.state == PLAT_PROGRESS_RUNNING &&
                         p.phase == r.phase && p.total == r.total && r.done != 0;
        if (!samePhase) continue;
        EXPECT_GE(r.done, p.done) << "report " << i << " moved back";
        EXPECT_GE(r.atUs - p.atUs, 100000u) << "report " << i << " came too soon";
    }
}

}  // namespace

class ProgressTest : public CoreTest {
protected:
    // A fresh machine for each case of a table; the operator presses [ENTER] every
    // second, so every prompt is answered.
    void Fresh(const char* commandLine = "") {
        LinkThreadStop();
        ClosePipes();
        testbed::Reset();
        ParseCommandLine(commandLine);
        ShellCreate();
        for (uint64_t t = 500000; t < 900000000; t += 1000000) testbed::PressKey(13, t);
    }
};

namespace {

enum { S = PROGRESS_SEARCHING, E = PROGRESS_ERASING, P = PROGRESS_PROGRAMMING, V = PROGRESS_VERIFYING,
       B = PROGRESS_BOOT_RECORD };

// Units of an image that are not blank: what a loader or a boot walk sends.
uint32_t Units(const uint8_t* image, uint32_t size, uint32_t unit) {
    uint32_t n = 0;
    for (uint32_t a = 0; a < size; a += unit) {
        bool blank = true;
        for (uint32_t i = a; i < a + unit && i < size; i++) blank = blank && image[i] == 0xFF;
        n += !blank;
    }
    return n;
}

struct WalkCase {
    const char* name;
    std::function<void()> run;  // the whole command, devices in place
    std::vector<int> phases;
    PlatProgressState verdict;
    uint32_t done, total;  // where the verdict stands
};

void UpdateConsole(const char* consoleFaults, bool console, bool boot, const char* bootFaults = "") {
    sim::Console c;
    c.SetFaults(sim::FaultPlan::FromText(consoleFaults));
    sim::BootDevice b;
    b.SetFaults(sim::FaultPlan::FromText(bootFaults));
    sim::TestbedPlug plugC(&c, console), plugB(&b, boot);
    ShellCommand(CMD_UPDATE_CONSOLE);
}

void Vinculum(const char* faults) {
    sim::Console c;
    c.SetFaults(sim::FaultPlan::FromText(faults));
    sim::TestbedPlug plug(&c);
    ShellCommand(CMD_VINCULUM_CABLE);
}

// A peripheral walk in the frame its command gives it: connected to the console, at
// the packet rate, then the bar hidden as the command's end does.
void OnKqLink(sim::BusPeer* peer, const std::function<void()>& walk) {
    sim::Console c;
    if (peer) c.KqLink().Attach(peer);
    sim::TestbedPlug plug(&c);
    if (ConnectConsole(ReceiveThread)) {
        LinkSetSpeed(LINK_RATE_PACKETS);
        walk();
        LinkEnd();
    }
    DisconnectConsole();
    ProgressHide();
    if (peer) c.KqLink().Detach(peer);
}

void PeripheralUpdateWith(int silentFrom) {
    static uint8_t image[REMOTE_IMAGE_SIZE];
    memcpy(image, ImageRemote, REMOTE_IMAGE_SIZE);
    Loader remote(3);
    remote.silentFrom = silentFrom;
    OnKqLink(&remote, [] { PeripheralUpdate(3, image, REMOTE_IMAGE_SIZE); });
}

void TempaUpdate(bool present) {
    TempaBox box;
    OnKqLink(present ? &box : nullptr,
             [] { TempaBoxUpdate("Tempa BOX", ImageTempaBoot, TEMPA_BOOT_SIZE, ImageTempa, TEMPA_IMAGE_SIZE); });
}

void RemoteBootUpdate(bool present) {
    BootOverLink remote;
    OnKqLink(present ? &remote : nullptr, [] { PeripheralBootUpdate("Remote", ImageRemote, REMOTE_IMAGE_SIZE); });
}

}  // namespace

TEST_F(ProgressTest, EveryWalkReportsItsPhasesAndItsVerdict) {
    const uint32_t remoteUnits = Units(ImageRemote, REMOTE_IMAGE_SIZE, 128);
    const uint32_t tempaChunks = Units(ImageTempa, TEMPA_IMAGE_SIZE, 64);
    const PlatProgressState OK = PLAT_PROGRESS_DONE, FAILED = PLAT_PROGRESS_FAILED;
    const WalkCase cases[] = {
        {"console in user mode", [] { UpdateConsole("", true, false); }, {S, E, P}, OK, 504, 504},
        {"console, chunk 3 unanswered", [] { UpdateConsole("drop:program#3", true, false); }, {S, E, P}, FAILED, 2,
         504},
        {"console, block 5 unanswered", [] { UpdateConsole("drop:erase#6", true, false); }, {S, E}, FAILED, 5, 16},
        {"console through its boot program", [] { UpdateConsole("", false, true); }, {S, S, E, P, V}, OK, 0, 0},
        {"no console, no boot program", [] { UpdateConsole("", false, false); }, {S, S}, FAILED, 5000, 5000},
        {"boot program, frame 10 unanswered", [] { UpdateConsole("", false, true, "drop:boot50#10"); },
         {S, S, E, P}, FAILED, 9, 0},
        {"Vinculum by cable", [] { Vinculum(""); }, {S, P, V}, OK, 64, 64},
        {"Vinculum, chunk 3 refused five times", [] { Vinculum("drop:vprogram#3-7"); }, {S, P}, FAILED, 2, 64},
        {"Vinculum, no console", [] {
             ShellCommand(CMD_VINCULUM_CABLE);
         }, {S}, FAILED, 6000, 6000},
        {"Remote's loader", [] { PeripheralUpdateWith(1 << 30); }, {S, E, P}, OK, remoteUnits, remoteUnits},
        {"Remote's loader falls silent at chunk 4", [] { PeripheralUpdateWith(1 + 15 + 4); }, {S, E, P}, FAILED, 3,
         remoteUnits},
        {"Tempa BOX", [] { TempaUpdate(true); }, {S, E, B, P}, OK, tempaChunks, tempaChunks},
        {"no Tempa BOX", [] { TempaUpdate(false); }, {S}, FAILED, 0, 0},
        {"Remote through its boot program", [] { RemoteBootUpdate(true); }, {S, E, P}, OK, remoteUnits, remoteUnits},
        {"no Remote in boot mode", [] { RemoteBootUpdate(false); }, {S}, FAILED, 0, 0},
    };
    for (const WalkCase& k : cases) {
        SCOPED_TRACE(k.name);
        Fresh();
        try {
            k.run();
        } catch (const testbed::ProcessExit& e) {
            ADD_FAILURE() << "the program ended with " << e.code;
        }
        const std::vector<ProgressReport>& reports = testbed::ProgressReports();
        ExpectSound(reports);
        Summary s = Summarise(reports);
        EXPECT_EQ(s.phases, k.phases);
        EXPECT_EQ(s.verdict.state, k.verdict);
        EXPECT_TRUE(s.hiddenAtEnd) << "the bar stays after the command";
        if (k.verdict == PLAT_PROGRESS_DONE) {
            EXPECT_EQ(s.verdict.done, s.verdict.total);
        }
        if (k.total != 0) {
            EXPECT_EQ(s.verdict.total, k.total);
        }
        if (k.total != 0 || k.verdict == PLAT_PROGRESS_FAILED) {
            EXPECT_EQ(s.verdict.done, k.done);
        }
    }
}

// ---- The terminal's status line ---------------------------------------------------------------
TEST(ProgressLine, ShowsPhaseBarCountPercentAndTimeLeft) {
    struct Case {
        PlatProgress p;
        const char* line;
        int languageFlag = 1;  // 0: Spanish, its words in code page 437
    } cases[] = {
        // Counted: the pace so far gives the time left; none before a second has passed.
        {{PLAT_PROGRESS_RUNNING, 2, "Programming", false, 126, 504, 6500},
         " Programming [#####...............] 126/504  25%  0:20 left"},
        {{PLAT_PROGRESS_RUNNING, 2, "Programming", false, 3, 504, 400},
         " Programming [....................] 3/504   0%  "},
        {{PLAT_PROGRESS_RUNNING, 1, "Erasing", false, 0, 16, 5000}, " Erasing [....................] 0/16   0%  "},
        // Timed: seconds spent of the time-out, which bounds the time left.
        {{PLAT_PROGRESS_RUNNING, 1, "Erasing", true, 5300, 60200, 5300},
         " Erasing [#...................] 5.3/60.2 s   8%  at most 0:55 left"},
        // A report beyond its total is shown at its total.
        {{PLAT_PROGRESS_RUNNING, 3, "Verifying", false, 70, 64, 9000},
         " Verifying [####################] 64/64 100%  "},
        {{PLAT_PROGRESS_DONE, 2, "Programming", false, 504, 504, 26000},
         " Programming [####################] 504/504 100%  done"},
        {{PLAT_PROGRESS_FAILED, 2, "Programming", false, 2, 504, 900},
         " Programming [....................] 2/504   0%  FAILED"},
        {{PLAT_PROGRESS_FAILED, 0, "Update", false, 0, 0, 0}, " Update FAILED"},
        {{PLAT_PROGRESS_HIDDEN, 0, "Searching", true, 0, 5000, 0}, ""},
        // In Spanish the words are Spanish and the longest line still fits.
        {{PLAT_PROGRESS_RUNNING, 2, "Escribiendo", false, 126, 504, 6500},
         " Escribiendo [#####...............] 126/504  25%  quedan 0:20", 0},
        {{PLAT_PROGRESS_RUNNING, 4, "Enviando boot record", true, 1000, 600000, 1000},
         " Enviando boot record [....................] 1.0/600.0 s   0%  quedan m\xA0x. 9:59", 0},
        {{PLAT_PROGRESS_DONE, 2, "Escribiendo", false, 504, 504, 26000},
         " Escribiendo [####################] 504/504 100%  hecho", 0},
        {{PLAT_PROGRESS_FAILED, 0, "Actualizar", false, 0, 0, 0}, " Actualizar FALLIDO", 0},
    };
    for (const Case& k : cases) {
        char line[81];
        LanguageFlag = k.languageFlag;
        FormatProgressLine(&k.p, line, sizeof line);
        EXPECT_EQ(std::string(line), k.line) << "language flag " << k.languageFlag;
    }
    LanguageFlag = 1;
    // The longest phase name with a nine-minute wait still fits the 80 columns; figures
    // no walk reaches are cut at the line's end, never written past it.
    PlatProgress wide = {PLAT_PROGRESS_RUNNING, 4, "Enviando boot record", true, 1000, 600000, 1000};
    char line[200];
    FormatProgressLine(&wide, line, sizeof line);
    EXPECT_LE(strlen(line), 80u) << line;
    PlatProgress absurd = {PLAT_PROGRESS_RUNNING, 4, "Enviando boot record", true, 4294967, 4294967, 4294967};
    char cut[81];
    memset(cut, 'x', sizeof cut);
    FormatProgressLine(&absurd, cut, sizeof cut);
    EXPECT_EQ(strlen(cut), 80u);
}
