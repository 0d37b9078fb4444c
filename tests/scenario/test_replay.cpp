// A field run served again from its trace: each command is run against the simulated
// devices with a fault, its log kept, then run again against the replay of that log.
// The screen must tell the same story to the last line, the traffic must be the same
// byte for byte, and the replay must be followed to its end. A run that chooses
// differently must be caught at the first line it departs from.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/base.h"
#include "base/screen.h"
#include "shell/shell.h"
#include "sim/model/replay.h"
#include "tests/backend/fixture.h"
#include "tests/backend/sim_plug.h"

namespace {

enum Setup { CONSOLE, BOOT, REMOTE, REMOTE_BOOT, TEMPA_BOOT, MAC, MONITOR };
// plan: the fault on the console, the boot device or the peripheral; verdict: what the
// field run ended with on the screen.
struct Case { const char* name; int command; Setup setup; const char *plan, *verdict; };
const Case CASES[] = {
    {"Update Console, user mode", CMD_UPDATE_CONSOLE, CONSOLE, "drop:program#3", "...ERROR"},
    {"Update Console, boot fallback", CMD_UPDATE_CONSOLE, BOOT, "error:boot50#2", "nBytes programming error"},
    {"Update Console, boot fallback, read back", CMD_UPDATE_CONSOLE, BOOT, "miswrite:boot50#5",
     "Verify error at address 0x00000200"},
    {"Update Vinculum by cable", CMD_VINCULUM_CABLE, CONSOLE, "drop:vprogram#3-", "ERROR"},
    {"Update Remote, user mode", CMD_UPDATE_REMOTE, REMOTE, "drop:write#5-", "ERROR"},
    {"Update Remote, technical service", CMD_UPDATE_REMOTE, REMOTE_BOOT, "error:boot50#20=0x53", "Response Error: 0xd0 0x53"},
    {"Update Remote, technical service, sum check", CMD_UPDATE_REMOTE, REMOTE_BOOT, "miswrite:boot50#3=5",
     "Verify error at address 0x00000105"},
    {"Update Tempa BOX", CMD_UPDATE_TEMPABOX, TEMPA_BOOT, "corrupt:bootdata#500", "...ERROR BOOT DATA..."},
    {"Set MAC Address", CMD_SET_MAC, MAC, "", "Disconnecting"},
    {"Test Remote", CMD_TEST_REMOTE, MONITOR, "", "idTX: 3"},
};

std::string Unstamped(const std::string& log) { return std::regex_replace(log, std::regex("Time:[0-9a-f]{8}"), "Time:"); }

// The line number of the first "Mesa<-" line where two logs differ (0: none).
int FirstDifferentWrite(const std::string& a, const std::string& b) {
    std::vector<std::pair<int, std::string>> w[2];
    for (int k = 0; k < 2; k++) {
        std::istringstream in(k ? b : a);
        int n = 0;
        for (std::string line; std::getline(in, line);)  // "Time:" and 8 digits, then the write
            if (++n, line.find(" Mesa<- ") == 13) w[k].emplace_back(n, line.substr(21));
    }
    for (size_t i = 0; i < w[0].size(); i++)
        if (i >= w[1].size() || w[0][i].second != w[1][i].second) return w[0][i].first;
    return 0;
}

}  // namespace

class ReplayTest : public CoreTest {
protected:
    struct Run { std::string screen, log; } field, again;
    std::unique_ptr<sim::ReplaySession> replay;
    std::vector<std::string> departures;  // the replay's reports of a departure

    // The case run against the field's simulated devices, its log read as a trace, then
    // run again against the replay of it: with another language list, or the operator
    // answering [->] as well, when told.
    void FieldThenReplay(const Case& c, std::vector<int> languages = {303, 305}, bool decline = false) {
        departures.clear();
        field = RunCase(c, nullptr, {303, 305}, false);
        sim::Trace trace;
        sim::TraceError error;
        EXPECT_TRUE(sim::ReadTrace(field.log, &trace, &error)) << error.line << ": " << error.text;
        replay.reset(new sim::ReplaySession(trace));
        replay->SetReporter([this](uint64_t, const std::string& text) {
            if (text.find("departs") != std::string::npos) departures.push_back(text);
        });
        again = RunCase(c, replay.get(), languages, decline);
    }
    Run RunCase(const Case& c, sim::ReplaySession* session, const std::vector<int>& languages, bool decline) {
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
        sim::Station* stations[] = {nullptr, nullptr, &remote, &peer, &tempa, nullptr, &remote};
        sim::Station* station = stations[c.setup];
        auto devices = session ? session->MakeDevices() : std::vector<std::unique_ptr<sim::ReplayDevice>>();
        std::vector<std::unique_ptr<sim::TestbedPlug>> plugs;
        for (auto& d : devices) plugs.emplace_back(new sim::TestbedPlug(d.get()));
        if (!session) {
            (c.setup == BOOT ? (sim::Model*)&boot : station ? (sim::Model*)station : &console)
                ->SetFaults(sim::FaultPlan::FromText(c.plan));
            plugs.emplace_back(new sim::TestbedPlug(c.setup == BOOT ? (sim::SimDevice*)&boot : &console));
            if (station) console.KqLink().Attach(station);
            remote.SetScript({{6500000, 133, true}, {7500000, 133, false}});
        }
        if (c.setup == MONITOR) {
            testbed::HoldKey(13, 1500000, 1550000);
            testbed::HoldKey(13, 10000000, 10300000);
            testbed::PressKey(13, 12000000);
        }
        for (uint64_t t = 1000000; c.setup != MONITOR && t < 900000000; t += 500000)
            testbed::PressKey(decline && t % 1000000 ? 39 : 13, t);
        testbed::SetMacDialogScript({{300000, testbed::MacAction::Type, "12ab5f"}, {600000, testbed::MacAction::Ok, ""}});
        EXPECT_EQ(RunCommand(c.command), -1);
        if (station) console.KqLink().Detach(station);
        return Run{testbed::Transcript(), LogText()};
    }
};

TEST_F(ReplayTest, EveryCommandIsToldAgainAsTheFieldRanIt) {
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        FieldThenReplay(c);
        ASSERT_NE(field.screen.find(c.verdict), std::string::npos) << field.screen;
        EXPECT_EQ(again.screen, field.screen);
        EXPECT_EQ(Unstamped(again.log), Unstamped(field.log));
        EXPECT_TRUE(replay->FollowedToEnd()) << replay->Summary() << "\n" << replay->Departure();
    }
}

// Another language list (the frames of the language area differ) and a question
// declined (the link is ended instead of the Remote's boot mode being entered).
TEST_F(ReplayTest, AnotherChoiceIsCaughtAtItsFirstLine) {
    const struct { Case c; std::vector<int> languages; bool decline; const char* section; } choices[] = {
        {{"Update Console to its end", CMD_UPDATE_CONSOLE, CONSOLE, "drop:end#1", ""}, {303, 304}, false, "-----User Update-----"},
        {CASES[4], {303, 305}, true, "-----Remote Update-----"},
    };
    for (const auto& ch : choices) {
        SCOPED_TRACE(ch.c.name);
        FieldThenReplay(ch.c, ch.languages, ch.decline);
        int line = FirstDifferentWrite(field.log, again.log);
        ASSERT_GT(line, 0);
        EXPECT_EQ(replay->DepartureLine(), line);
        ASSERT_EQ(departures.size(), 1u);
        EXPECT_NE(departures[0].find("at line " + std::to_string(line) + " (" + ch.section), std::string::npos) << departures[0];
        EXPECT_FALSE(replay->FollowedToEnd());
    }
}
