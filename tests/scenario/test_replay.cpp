// A field run served again from its trace: each command is run against the simulated
// devices with a fault, its log kept, then run again against the replay of that log.
// The screen must tell the same story to the last line, the traffic must be the same
// byte for byte, and the replay must be followed to its end. A run that chooses
// differently must be caught at the first line it departs from.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "base/base.h"
#include "base/screen.h"
#include "shell/shell.h"
#include "sim/replay.h"
#include "sim/sim.h"
#include "tests/backend/fixture.h"
#include "tests/backend/sim_plug.h"
#include "tests/backend/testbed.h"

namespace {

const uint64_t MS = 1000;

enum Setup { CONSOLE, BOOT, REMOTE, REMOTE_BOOT, TEMPA_BOOT };
enum Operator { KEYS, MONITOR, MAC };

struct Case {
    const char* name;
    int command;
    Setup setup;
    const char* plan;    // on the console, the boot device or the peripheral
    const char* verdict;  // what the field run ended with on the screen
    Operator op;
};

const Case CASES[] = {
    {"Update Console, user mode", CMD_UPDATE_CONSOLE, CONSOLE, "drop:program#3", "...ERROR", KEYS},
    {"Update Console, boot fallback", CMD_UPDATE_CONSOLE, BOOT, "error:boot50#2", "nBytes programming error", KEYS},
    {"Update Vinculum by cable", CMD_VINCULUM_CABLE, CONSOLE, "drop:vprogram#3-", "ERROR", KEYS},
    {"Update Remote, user mode", CMD_UPDATE_REMOTE, REMOTE, "drop:write#5-", "ERROR", KEYS},
    {"Update Remote, technical service", CMD_UPDATE_REMOTE, REMOTE_BOOT, "error:boot50#20=0x53",
     "Response Error: 0xd0 0x53", KEYS},
    {"Update Tempa BOX", CMD_UPDATE_TEMPABOX, TEMPA_BOOT, "corrupt:bootdata#500", "...ERROR BOOT DATA...", KEYS},
    {"Set MAC Address", CMD_SET_MAC, CONSOLE, "", "Disconnecting", MAC},
    {"Test Remote", CMD_TEST_REMOTE, REMOTE, "", "idTX: 3", MONITOR},
};

// The log with its time stamps blanked: the traffic and the notes, in order.
std::string Unstamped(const std::string& log) { return std::regex_replace(log, std::regex("Time:[0-9a-f]{8}"), "Time:"); }

// The "Mesa<-" lines of a log, with their line numbers.
std::vector<std::pair<int, std::string>> Writes(const std::string& log) {
    std::vector<std::pair<int, std::string>> out;
    int n = 0;
    size_t at = 0;
    for (size_t nl; (nl = log.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string line = log.substr(at, nl - at);
        n++;
        if (line.find(" Mesa<- ") != std::string::npos) out.emplace_back(n, line.substr(14));
    }
    return out;
}

}  // namespace

class ReplayTest : public CoreTest {
protected:
    struct Run {
        std::string screen, log;
    };
    // One run of the case's command, against the field's simulated devices (replay
    // null) or against the replay's. decline: the operator answers [->].
    Run RunCase(const Case& c, sim::ReplaySession* replay, std::vector<int> languages = {303, 305},
                bool decline = false) {
        testbed::Reset();
        LogClose();
        unlink("TEMP/log.txt");
        ScreenClear();
        ShellCreate();
        ParseCommandLine("ST");
        testbed::SetLanguageDialogButtons(languages);
        sim::Console console;
        sim::BootDevice boot;
        sim::Remote remote(3);
        sim::BootPeer peer;
        sim::TempaBoxBoot tempa;
        std::vector<std::unique_ptr<sim::ReplayDevice>> devices;
        std::vector<std::unique_ptr<sim::TestbedPlug>> plugs;
        sim::Station* station = c.setup == REMOTE ? (sim::Station*)&remote
                                : c.setup == REMOTE_BOOT ? (sim::Station*)&peer
                                : c.setup == TEMPA_BOOT  ? (sim::Station*)&tempa
                                                         : nullptr;
        if (replay) {
            devices = replay->MakeDevices();
            for (auto& d : devices) plugs.emplace_back(new sim::TestbedPlug(d.get()));
        } else {
            sim::Model* target = c.setup == BOOT ? (sim::Model*)&boot : station ? (sim::Model*)station : &console;
            target->SetFaults(sim::FaultPlan::FromText(c.plan));
            plugs.emplace_back(new sim::TestbedPlug(c.setup == BOOT ? (sim::SimDevice*)&boot : &console));
            if (station) console.KqLink().Attach(station);
            if (c.setup == REMOTE) remote.SetScript({{6500000, 133, true}, {7500000, 133, false}});
        }
        if (c.op == MONITOR) {
            testbed::HoldKey(13, 1500000, 1550000);
            testbed::HoldKey(13, 10000000, 10300000);
            testbed::PressKey(13, 12000000);
        } else {
            for (uint64_t t = 1500 * MS; t < 900000 * MS; t += 1000 * MS) testbed::PressKey(decline ? 39 : 13, t);
            if (decline)
                for (uint64_t t = 1000 * MS; t < 900000 * MS; t += 1000 * MS) testbed::PressKey(13, t);
        }
        if (c.op == MAC)
            testbed::SetMacDialogScript({{300 * MS, testbed::MacAction::Type, "12ab5f"}, {600 * MS, testbed::MacAction::Ok, ""}});
        EXPECT_EQ(RunCommand(c.command), -1);
        if (station) console.KqLink().Detach(station);
        return Run{testbed::Transcript(), LogText()};
    }
};

TEST_F(ReplayTest, EveryCommandIsToldAgainAsTheFieldRanIt) {
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        Run field = RunCase(c, nullptr);
        ASSERT_NE(field.screen.find(c.verdict), std::string::npos) << field.screen;
        sim::Trace trace;
        sim::TraceError error;
        ASSERT_TRUE(sim::ReadTrace(field.log, &trace, &error)) << error.line << ": " << error.text;
        sim::ReplaySession replay(trace);
        Run again = RunCase(c, &replay);
        EXPECT_EQ(again.screen, field.screen);
        EXPECT_EQ(Unstamped(again.log), Unstamped(field.log));
        EXPECT_TRUE(replay.FollowedToEnd()) << replay.Summary() << "\n" << replay.Departure();
    }
}

// Another language list (the programming frames of the language area differ) and a
// question declined (the link is ended instead of the boot mode being entered).
TEST_F(ReplayTest, AnotherChoiceIsCaughtAtItsFirstLine) {
    const Case fullUpdate = {"Update Console to its end", CMD_UPDATE_CONSOLE, CONSOLE, "drop:end#1", "...ERROR", KEYS};
    struct Choice {
        Case c;
        std::vector<int> languages;
        bool decline;
        const char* section;
    } choices[] = {
        {fullUpdate, {303, 304}, false, "-----User Update-----"},
        {CASES[4], {303, 305}, true, "-----Remote Update-----"},
    };
    for (const Choice& ch : choices) {
        SCOPED_TRACE(ch.c.name);
        Run field = RunCase(ch.c, nullptr);
        sim::Trace trace;
        sim::TraceError error;
        ASSERT_TRUE(sim::ReadTrace(field.log, &trace, &error));
        sim::ReplaySession replay(trace);
        std::vector<std::string> reports;
        replay.SetReporter([&](uint64_t, const std::string& text) { reports.push_back(text); });
        Run again = RunCase(ch.c, &replay, ch.languages, ch.decline);
        // Where the two runs' logs first differ in what the program wrote.
        auto a = Writes(field.log), b = Writes(again.log);
        size_t i = 0;
        while (i < a.size() && i < b.size() && a[i].second == b[i].second) i++;
        ASSERT_LT(i, a.size());
        EXPECT_TRUE(replay.Departed());
        EXPECT_EQ(replay.DepartureLine(), a[i].first);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_NE(reports[0].find("at line " + std::to_string(a[i].first) + " (" + ch.section), std::string::npos)
            << reports[0];
        EXPECT_FALSE(replay.FollowedToEnd());
    }
}
