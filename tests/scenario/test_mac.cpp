// "Set MAC Address" from the menu: the dialog against the simulated console, and
// against a console whose replies are given byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "mac/mac.h"
#include "shell/shell.h"
#include "sim/model/sim.h"
#include "tests/backend/sim_plug.h"
#include "tests/backend/fixture.h"
#include "tests/backend/testbed.h"

using testbed::MacAction;
using testbed::MacStep;

namespace {
const uint64_t MS = 1000;

// Answers every MAC request 1 ms later with the next of its replies (wire bytes); the
// last one repeats. It ignores everything else, a set address too.
class ScriptedConsole : public testbed::VirtualDevice {
public:
    explicit ScriptedConsole(std::vector<std::vector<uint8_t>> replies) : replies_(std::move(replies)) {
        testbed::Plug(sim::InterfaceName(sim::kConsoleId), this);
    }
    ~ScriptedConsole() override { testbed::Unplug(sim::InterfaceName(sim::kConsoleId)); }
    void HostWrote(uint64_t nowUs, const uint8_t* bytes, size_t count) override {
        if (count == 3 && bytes[0] == 0x80 && bytes[1] == 0x02 && bytes[2] == 0x7E) due_.push_back(nowUs + MS);
    }
    uint64_t NextEventUs() override { return due_.empty() ? UINT64_MAX : due_.front(); }
    void RunUntil(uint64_t nowUs, std::vector<uint8_t>* toHost, bool*) override {
        while (!due_.empty() && due_.front() <= nowUs) {
            due_.pop_front();
            const auto& r = replies_[std::min(sent_++, replies_.size() - 1)];
            toHost->insert(toHost->end(), r.begin(), r.end());
        }
    }

private:
    std::vector<std::vector<uint8_t>> replies_;
    std::deque<uint64_t> due_;
    size_t sent_ = 0;
};

// The MAC reply for 00-1F-19-b3-b4-b5 as it goes on the wire.
std::vector<uint8_t> Reply(uint8_t b3, uint8_t b4, uint8_t b5) {
    std::vector<uint8_t> f = {0x80, 0x03, 0x00, 0x1F, 0x19, b3, b4, b5};
    uint8_t sum = 0;
    for (uint8_t b : f) sum = (uint8_t)(sum + b);
    f.push_back((uint8_t)(0u - sum));
    std::vector<uint8_t> wire = {f[0]};
    for (size_t i = 1; i < f.size(); i++) {
        wire.push_back(f[i]);
        if (f[i] == 0x80) wire.push_back(0x80);
    }
    return wire;
}
}  // namespace

class MacTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        ShellCreate();
        ParseCommandLine("ST");
        for (uint64_t t = 1; t < 60; t++) testbed::PressKey(13, t * 1000 * MS);  // "Push [ENTER]"
    }
    void Run(const std::vector<MacStep>& script) {
        testbed::SetMacDialogScript(script);
        RunCommand(CMD_SET_MAC);
    }
    // The bytes of every frame sent, "80 02 7e" form, in order.
    std::vector<std::string> Sent() {
        std::vector<std::string> frames;
        std::istringstream log(LogText());
        for (std::string line; std::getline(log, line);) {
            size_t at = line.find(" Mesa<- Nbytes:");
            if (at == std::string::npos) continue;
            std::string bytes = line.substr(line.find(' ', at + 15) + 1);
            frames.push_back(bytes.substr(0, bytes.find_last_not_of(' ') + 1));
        }
        return frames;
    }
    static int Count(const std::vector<std::string>& frames, const std::string& frame) {
        return (int)std::count(frames.begin(), frames.end(), frame);
    }
    // What the dialog showed at time t after it opened.
    static testbed::MacView ViewAt(uint64_t t) {
        testbed::MacView shown = testbed::MacDialogViews().front();
        for (const auto& v : testbed::MacDialogViews())
            if (v.atUs <= t) shown = v;
        return shown;
    }
    static std::string Stored() { return testbed::SettingValue("Kqsfupdt", "Mac"); }
};

TEST_F(MacTest, OpensWithTheStoredAddressAndFollowsTheConsole) {
    sim::Console console;
    sim::TestbedPlug plug(&console);
    Run({{1000 * MS, MacAction::Exit, ""}});
    ASSERT_EQ(testbed::MacDialogOpenings(), 1);
    const auto& first = testbed::MacDialogViews().front();
    EXPECT_EQ(first.atUs, 0u);
    EXPECT_EQ(first.currentHigh + first.currentLow, "00-00-00-000000");  // no file yet
    EXPECT_EQ(first.newHigh + first.newLow, "00-1F-19-000000");
    EXPECT_EQ(ViewAt(199 * MS).currentLow, "000000");
    auto v = ViewAt(205 * MS);  // shown as the reply arrives, 1 ms after the request
    EXPECT_EQ(v.currentHigh + v.currentLow, "00-1F-19-000001");
    // One request every 200 ms, nothing else, and no received byte in the log.
    std::vector<std::string> sent = Sent();
    EXPECT_EQ(sent, std::vector<std::string>(5, "80 02 7e"));
    EXPECT_EQ(console.CountOf("mac"), 5);
    EXPECT_EQ(LogText().find("->PC"), std::string::npos);
    EXPECT_EQ(Stored(), "");  // opening writes nothing

    testbed::SetSettingValue("Kqsfupdt", "Mac", "00a1fe");  // written by hand
    Run({});
    EXPECT_EQ(testbed::MacDialogViews().front().newLow, "00A1FE");
}

// A run without administrator rights kept its counter in the user's own copy of kq.ini:
// the dialog proposes the larger of the two, and a confirmed set goes on from there in
// the shared file.
TEST_F(MacTest, ProposesTheLargerOfTheSharedFileAndTheUserCopy) {
    struct Case {
        const char* shared;  // kq.ini in the Windows directory, nullptr: no key
        const char* copy;    // the user's copy, nullptr: none
        const char* proposed;
    };
    const Case cases[] = {
        {nullptr, "000A00", "000A00"},  // only the copy counted
        {"000900", "000A00", "000A00"},
        {"000B00", "000A00", "000B00"},
        {"000900", nullptr, "000900"},
        {"000900", "000a10", "000A10"},  // written by hand
        {nullptr, "12G456", "000000"},   // not an address
        {"000900", "00090", "000900"},
    };
    sim::Console console;
    sim::TestbedPlug plug(&console);
    for (const Case& c : cases) {
        testbed::ClearSettings();
        if (c.shared) testbed::SetSettingValue("Kqsfupdt", "Mac", c.shared);
        if (c.copy) testbed::SetUserCopySettingValue("Kqsfupdt", "Mac", c.copy);
        Run({});
        EXPECT_EQ(testbed::MacDialogViews().front().newLow, c.proposed)
            << "kq.ini " << (c.shared ? c.shared : "-") << ", copy " << (c.copy ? c.copy : "-");
    }

    testbed::ClearSettings();
    testbed::SetUserCopySettingValue("Kqsfupdt", "Mac", "0009FF");
    Run({{300 * MS, MacAction::Ok, ""}, {1100 * MS, MacAction::Exit, ""}});
    EXPECT_EQ(console.CountOf("macset"), 1);
    EXPECT_EQ(Stored(), "000A00");
    Run({});
    EXPECT_EQ(testbed::MacDialogViews().front().newLow, "000A00");  // the copy stays behind
}

TEST_F(MacTest, OkSendsSixDigitsInUpperCaseAndNothingElse) {
    sim::Console console;
    sim::TestbedPlug plug(&console);
    testbed::SetSettingValue("Kqsfupdt", "Mac", "000100");
    Run({{300 * MS, MacAction::Type, "12ab5f"},
         {300 * MS, MacAction::Ok, ""},
         {500 * MS, MacAction::Type, "12G45F"},
         {500 * MS, MacAction::Ok, ""},
         {700 * MS, MacAction::Type, "12345"},
         {700 * MS, MacAction::Ok, ""},
         {900 * MS, MacAction::Type, "000080"},
         {900 * MS, MacAction::Ok, ""},
         {1500 * MS, MacAction::Exit, ""}});
    std::vector<std::string> sent = Sent();
    sent.erase(std::remove(sent.begin(), sent.end(), "80 02 7e"), sent.end());
    EXPECT_EQ(sent, (std::vector<std::string>{"80 01 00 1f 19 12 ab 5f 2b",
                                              "80 01 00 1f 19 00 00 80 80 c7"}));
    EXPECT_EQ(ViewAt(350 * MS).newLow, "12AB5F");
    EXPECT_EQ(ViewAt(450 * MS).currentLow, "12AB5F");  // the console took it
    EXPECT_EQ(ViewAt(550 * MS).newLow, "12G45F");      // refused: left as typed
    EXPECT_EQ(ViewAt(750 * MS).newLow, "12345");
    // The console's reply carries its 0x80 doubled and shows as one.
    const std::vector<uint8_t>& wire = console.SentBytes();
    const std::vector<uint8_t> doubled = {0x19, 0x00, 0x00, 0x80, 0x80, 0xC5};
    EXPECT_NE(std::search(wire.begin(), wire.end(), doubled.begin(), doubled.end()), wire.end());
    EXPECT_EQ(ViewAt(1050 * MS).currentLow, "000080");
    EXPECT_EQ(testbed::MacDialogViews().back().newLow, "000080");
    EXPECT_EQ(Stored(), "000100");  // another address leaves the stored one alone
}

TEST_F(MacTest, AConfirmedSetOfTheStoredAddressAdvancesIt) {
    sim::Console console;
    sim::TestbedPlug plug(&console);
    testbed::SetSettingValue("Kqsfupdt", "Mac", "0009FF");
    Run({{300 * MS, MacAction::Ok, ""},    // the proposal as it stands
         {1500 * MS, MacAction::Ok, ""},   // and the next one
         {2500 * MS, MacAction::Exit, ""}});
    auto v = ViewAt(450 * MS);
    EXPECT_EQ(v.currentLow + " " + v.newLow, "0009FF 000A00");
    EXPECT_EQ(ViewAt(1650 * MS).newLow, "000A01");
    EXPECT_EQ(Stored(), "000A01");
    EXPECT_EQ(console.CountOf("macset"), 2);

    // The top of the range wraps.
    testbed::SetSettingValue("Kqsfupdt", "Mac", "FFFFFF");
    Run({{300 * MS, MacAction::Ok, ""}, {1100 * MS, MacAction::Exit, ""}});
    EXPECT_EQ(Stored(), "000000");
    EXPECT_EQ(testbed::MacDialogViews().back().newLow, "000000");
}

TEST_F(MacTest, OnlyTheFourRepliesAfterOkCanConfirm) {
    testbed::SetSettingValue("Kqsfupdt", "Mac", "000100");
    // Requests at 200, 400, ... ms: the console reports the new address only from
    // the sixth on, one reply too late for the first "OK".
    ScriptedConsole console({Reply(0, 0, 1), Reply(0, 0, 1), Reply(0, 0, 1), Reply(0, 0, 1),
                             Reply(0, 0, 1), Reply(0, 1, 0)});
    Run({{300 * MS, MacAction::Ok, ""},
         {1300 * MS, MacAction::Ok, ""},
         {2200 * MS, MacAction::Exit, ""}});
    EXPECT_EQ(ViewAt(1250 * MS).currentLow + " " + ViewAt(1250 * MS).newLow, "000100 000100");
    EXPECT_EQ(ViewAt(1450 * MS).newLow, "000101");  // after the second "OK"
    EXPECT_EQ(Stored(), "000101");
}

TEST_F(MacTest, RepliesAreTakenByTheFrameRules) {
    std::vector<uint8_t> wrongSum = {0x80, 0x03, 0x00, 0x1F, 0x19, 0x00, 0x01, 0x23, 0x22};
    std::vector<uint8_t> otherType = {0x80, 0x07, 0x00, 0x1F, 0x19, 0x00, 0x01, 0x23, 0x1D};
    // Stray bytes and a frame cut short by the start of the next one.
    std::vector<uint8_t> restarted = {0x12, 0x34, 0x80, 0x03, 0x00, 0x1F};
    std::vector<uint8_t> good = Reply(0x00, 0x01, 0x23);  // 80 03 00 1F 19 00 01 23 21
    restarted.insert(restarted.end(), good.begin(), good.end());
    ScriptedConsole console({wrongSum, otherType, Reply(0x80, 0x00, 0x80), restarted});
    Run({{1000 * MS, MacAction::Exit, ""}});
    auto shown = [](uint64_t t) { return ViewAt(t).currentHigh + ViewAt(t).currentLow; };
    EXPECT_EQ(shown(450 * MS), "00-00-00-000000");  // both ignored
    EXPECT_EQ(shown(650 * MS), "00-1F-19-800080");
    EXPECT_EQ(shown(850 * MS), "00-1F-19-000123");
    EXPECT_EQ(testbed::MacDialogViews().size(), 4u);  // opening, two replies, exit
}

TEST_F(MacTest, ABrokenLinkFreezesTheDialog) {
    sim::Console console;
    console.SetFaults(sim::FaultPlan::FromText("unplug:mac#3"));
    sim::TestbedPlug plug(&console);
    Run({{1000 * MS, MacAction::Type, "000123"}, {1000 * MS, MacAction::Ok, ""},
         {1200 * MS, MacAction::Exit, ""}});
    EXPECT_EQ(testbed::MacDialogViews().back().currentLow, "000001");  // kept
    EXPECT_EQ(console.CountOf("mac"), 3);
    EXPECT_EQ(console.CountOf("macset"), 0);
}

TEST_F(MacTest, NoConsoleNoDialog) {
    EXPECT_EQ(RunCommand(CMD_SET_MAC), -1);
    EXPECT_EQ(testbed::MacDialogOpenings(), 0);
    EXPECT_NE(testbed::ScreenText().find("Process:"), std::string::npos);
    EXPECT_EQ(LogText(), "");
}

TEST(MacAdvance, CountsInHexadecimalAndWrapsAtTheTop) {
    const char* cases[][2] = {{"000000", "000001"}, {"000009", "00000A"}, {"00000F", "000010"},
                              {"0009FF", "000A00"}, {"ABCDEF", "ABCDF0"}, {"FFFFFF", "000000"},
                              {"0009FF7", "000A007"}};
    for (auto& c : cases) {
        char text[8];
        snprintf(text, sizeof text, "%s", c[0]);
        MacAdvance(text);
        EXPECT_STREQ(text, c[1]) << c[0];
    }
}
