// The log file: what a whole command leaves in it, byte for byte, and what it costs.
// The file is opened once for the run, so a virus scanner that inspects a file on
// every open or close slows the program once, not once per entry.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "base/base.h"
#include "shell/shell.h"
#include "sim/model/peripherals.h"
#include "sim/model/sim.h"
#include "tests/backend/fixture.h"
#include "tests/backend/sim_plug.h"
#include "tests/backend/testbed.h"

namespace {

// FNV-1a, 64 bits: a stable digest of a log of several hundred kilobytes.
uint64_t Digest(const std::string& text) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
    return h;
}

size_t Lines(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

}  // namespace

class LogTest : public CoreTest {
protected:
    // "Update Remote" in user mode against a Remote at address 3, [ENTER] once a second.
    std::string UpdateRemote() {
        ShellCreate();
        ParseCommandLine("ST");
        sim::Console console;
        sim::TestbedPlug plug(&console);
        sim::Remote remote(3);
        console.KqLink().Attach(&remote);
        for (uint64_t t = 1500000; t < 120000000; t += 1000000) testbed::PressKey(13, t);
        EXPECT_EQ(RunCommand(CMD_UPDATE_REMOTE), -1);
        EXPECT_EQ(remote.CountOf("write"), 177);
        console.KqLink().Detach(&remote);
        return LogText();
    }
};

// The figures were taken from the log as the program wrote it when every entry opened,
// wrote and closed the file: the same lines, the same time stamps, the same order. The
// file is opened once and stays open through the command; the end of the run closes it
// before it deletes it.
TEST_F(LogTest, AWholeUpdateLeavesTheLogItAlwaysLeftThroughOneOpening) {
    std::string log = UpdateRemote();
    EXPECT_EQ(log.size(), 105351u);
    EXPECT_EQ(Lines(log), 588u);
    EXPECT_EQ(Digest(log), 0x6704d01fad088fdcull) << log.substr(0, 400);
    EXPECT_EQ(testbed::LogOpenCount(), 1);
    EXPECT_EQ(testbed::LogCloseCount(), 0);
    EXPECT_EQ(testbed::LogWriteCount(), 588);  // one write per entry, one line each
    ShellDestroy();
    EXPECT_EQ(testbed::LogCloseCount(), 1);
    struct stat st;
    EXPECT_NE(stat("TEMP/log.txt", &st), 0);
}

// Both threads log at once, the way the receive thread's lines meet the window thread's:
// every entry arrives whole, each thread's in its own order, and one handle serves both
// even when they race to open it (the loser closes its own).
TEST_F(LogTest, EntriesOfTwoThreadsNeverMix) {
    const int ENTRIES = 3000;
    auto writer = [](char mark) {
        for (int i = 0; i < ENTRIES; i++) {
            // Up to 12000 characters: past the stack buffer now and then.
            std::string body((size_t)(i * 37 % 12000), mark);
            LogAppend("%c%05d %s\n", mark, i, body.c_str());
        }
    };
    std::thread other([&] {
        LogMarkReceiveThread();
        writer('r');
    });
    writer('w');
    other.join();
    EXPECT_FALSE(LogSwitchedOff());
    EXPECT_EQ(testbed::LogOpenCount() - testbed::LogCloseCount(), 1);
    std::string log = LogText();
    int next[2] = {0, 0};
    size_t at = 0, bad = 0;
    for (size_t nl; (nl = log.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string line = log.substr(at, nl - at);
        char mark = line.empty() ? 0 : line[0];
        int who = mark == 'w' ? 0 : 1;
        int i = line.size() >= 7 ? atoi(line.substr(1, 5).c_str()) : -1;
        bool whole = (mark == 'w' || mark == 'r') && i == next[who] &&
                     line == mark + std::string(line.substr(1, 6)) + std::string((size_t)(i * 37 % 12000), mark);
        if (!whole) bad++;
        else next[who]++;
    }
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(at, log.size());
    EXPECT_EQ(next[0], ENTRIES);
    EXPECT_EQ(next[1], ENTRIES);
}
