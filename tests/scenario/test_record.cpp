// The service record: each menu command leaves its record with the right fields and a
// trace that is exactly the stretch of the log it wrote; the bounds hold; two writers
// never mix; a record that cannot be written changes nothing the operator sees.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/base.h"
#include "base/screen.h"
#include "record/record.h"
#include "shell/shell.h"
#include "sim/model/peripherals.h"
#include "sim/model/sim.h"
#include "tests/backend/fixture.h"
#include "tests/backend/sim_plug.h"
#include "tests/backend/testbed.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// One CRLF line of the record split into its fields (quotes undone).
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> out(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') out.back() += line[++i];
        else if (c == '"') quoted = !quoted;
        else if (c == ',' && !quoted) out.emplace_back();
        else out.back() += c;
    }
    return out;
}

std::vector<std::vector<std::string>> Records(const std::string& csv) {
    std::vector<std::vector<std::string>> rows;
    for (size_t at = 0, end; (end = csv.find("\r\n", at)) != std::string::npos; at = end + 2)
        rows.push_back(Fields(csv.substr(at, end - at)));
    return rows;
}

// The one pending file of a folder, "" when there is none or more.
std::string OnlyPending(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d))
            if (strncmp(e->d_name, "service-record.pending-", 23) == 0) names.push_back(e->d_name);
        closedir(d);
    }
    return names.size() == 1 ? names[0] : "";
}

enum { F_TIME, F_VERSION, F_COMMAND, F_PATH, F_USB, F_INTERFACE, F_PERIPHERAL, F_ADDRESS, F_WRITTEN, F_MAC_BEFORE,
       F_MAC_SET, F_RESULT, F_VERDICT, F_SECONDS, F_TRACE, F_COUNT };

}  // namespace

class RecordTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        ShellCreate();
    }
    std::string Csv() { return ReadFile(scratch_ + "/state/service-record.csv"); }
    // A job run by the record's frame alone: its header line, about logBytes of
    // traffic lines, its verdict on the screen.
    static void Job(size_t logBytes) {
        ScreenClear();
        RecordJobBegin("Test &Remote");
        LogAppend("-----Remote Test-----\n");
        std::string line = std::string(99, 'x') + "\n";
        for (size_t n = 0; n < logBytes; n += line.size()) LogAppend("%s", line.c_str());
        ScreenPrint("idTX: 3  Fn: ENTER  St: 1");
        RecordResult(RECORD_RESULT_TESTED);
        RecordJobEnd();
    }
};

// One scenario per kind of job, in one folder one after the other, as a technician's
// day: the new records of each, their fields, and the trace against the log.
TEST_F(RecordTest, EachJobLeavesItsRecordAndTrace) {
    struct Case {
        const char* name;
        int command;
        std::function<void(sim::Console*)> devices;  // nullptr: no console at all
        // command, path, usb id, peripheral, address, result, verdict, mac set, per record
        std::vector<std::vector<std::string>> expected;
        uint64_t closeAtUs = 0;  // no keys, the close box clicked then (the log goes: last)
        // Instead of the console, the console's processor in boot mode with this fault
        // plan, its boot program with or without the checks.
        const char* bootPlan = nullptr;
        sim::BootConfig::Checks checks = sim::BootConfig::Checks::Answer;
        char drive = 0;  // the drive letter typed first
    };
    sim::Remote remote(3);
    auto plain = [](sim::Console*) {};
    auto faulty = [](sim::Console* c) { c->SetFaults(sim::FaultPlan::FromText("drop:program#5")); };
    auto withRemote = [&](sim::Console* c) { c->KqLink().Attach(&remote); };
    const Case cases[] = {
        // First, while nothing has been logged: a job that logs nothing makes no log.
        {"stick", CMD_VINCULUM_STICK, nullptr,
         {{"Update Vinculum by USB-Stick", "USB stick", "", "", "", "updated", "  Don't forget to delete the update file FTRFB.FTD on USB-Stick (on PC)", ""}},
         0, nullptr, sim::BootConfig::Checks::Answer, 'D'},
        {"update", CMD_UPDATE_CONSOLE, plain,
         {{"Update Console", "user mode", "1d2b:0001", "", "", "updated", "CORVINA Updated", ""}}},
        {"failed", CMD_UPDATE_CONSOLE, faulty,
         {{"Update Console", "user mode", "1d2b:0001", "", "", "failed", "...ERROR...", ""}}},
        {"no console", CMD_UPDATE_CONSOLE, nullptr,
         {{"Update Console", "boot mode", "", "", "", "not found", "CORVINA not found", ""}}},
        {"no console, frame", CMD_TEST_REMOTE, nullptr,
         {{"Test Remote", "", "", "", "", "not found", "CORVINA not found", ""}}},
        {"MAC twice", CMD_SET_MAC, plain,
         {{"Set MAC Address", "user mode", "1d2b:0001", "", "", "updated", "00-1F-19-0009FF", "00-1F-19-0009FF"},
          {"Set MAC Address", "user mode", "1d2b:0001", "", "", "updated", "00-1F-19-0009FF", "00-1F-19-0009FF"}}},
        {"update remote", CMD_UPDATE_REMOTE, withRemote,
         {{"Update Remote", "user mode", "1d2b:0001", "Remote", "3", "updated", "...OK...", ""}}},
        {"test remote", CMD_TEST_REMOTE, withRemote,
         {{"Test Remote", "user mode", "1d2b:0001", "Remote", "3", "tested", "idTX: 3  Fn: ENTER  St: 1", ""}}},
        {"boot mode, unit 5 stored wrong", CMD_UPDATE_CONSOLE, nullptr,
         {{"Update Console", "boot mode", "045b:0025", "", "", "failed",
           "Verify error at address 0x00000200: read 0x01, expected 0x00", ""}},
         0, "miswrite:boot50#5"},
        {"boot mode, no checks", CMD_UPDATE_CONSOLE, nullptr,
         {{"Update Console", "boot mode", "045b:0025", "", "", "updated, not verified", "CORVINA Updated", ""}}, 0, "",
         sim::BootConfig::Checks::Refuse},
        {"closed", CMD_UPDATE_REMOTE, withRemote,
         {{"Update Remote", "", "1d2b:0001", "", "", "closed", "Push [ENTER] on PC-Keyboard to continue", ""}},
         5000000},
    };
    size_t seen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testbed::Reset();
        ScreenClear();
        ParseCommandLine("ST");
        testbed::SetLanguageDialogButtons({303, 305});
        testbed::SetSettingValue("Kqsfupdt", "Mac", "0009FF");
        // The stored address, then the same one typed again: handed out twice.
        testbed::SetMacDialogScript({{300000, testbed::MacAction::Ok, ""},
                                     {1500000, testbed::MacAction::Type, "0009ff"},
                                     {1600000, testbed::MacAction::Ok, ""}});
        for (uint64_t t = 1500000; t < 400000000 && !c.closeAtUs; t += 1000000) testbed::PressKey(13, t);
        sim::Console console;
        sim::BootConfig bootConfig;
        bootConfig.checks = c.checks;
        sim::BootDevice boot(bootConfig);
        std::unique_ptr<sim::TestbedPlug> plug;
        if (c.devices) {
            c.devices(&console);
            plug.reset(new sim::TestbedPlug(&console));
        } else if (c.bootPlan) {
            boot.SetFaults(sim::FaultPlan::FromText(c.bootPlan));
            plug.reset(new sim::TestbedPlug(&boot));
        }
        std::string logBefore = LogText();
        if (c.closeAtUs) testbed::PostCloseAt(c.closeAtUs);
        if (c.drive) {
            mkdir((std::string("drive_") + c.drive).c_str(), 0755);
            testbed::PressKey(c.drive, 100000);
        }
        EXPECT_EQ(RunCommand(c.command), c.closeAtUs ? 1 : -1);
        if (c.drive) {
            EXPECT_FALSE(std::ifstream("TEMP/log.txt").good());
        }
        console.KqLink().Detach(&remote);
        std::string log = LogText();
        if (!c.closeAtUs) {
            ASSERT_EQ(log.compare(0, logBefore.size(), logBefore), 0);
        }

        auto rows = Records(Csv());
        ASSERT_EQ(rows.size(), 1 + seen + c.expected.size()) << Csv();
        for (size_t i = 0; i < c.expected.size(); i++) {
            const auto& r = rows[1 + seen + i];
            ASSERT_EQ(r.size(), (size_t)F_COUNT);
            std::vector<std::string> got = {r[F_COMMAND], r[F_PATH],   r[F_USB],     r[F_PERIPHERAL],
                                            r[F_ADDRESS], r[F_RESULT], r[F_VERDICT], r[F_MAC_SET]};
            EXPECT_EQ(got, c.expected[i]);
            EXPECT_EQ(r[F_VERSION], "1.70");
            EXPECT_EQ(r[F_TIME].substr(0, 11), "2026-12-09T");
            EXPECT_EQ(r[F_TIME].substr(19), "+01:00");
            std::string trace = ReadFile(scratch_ + "/state/traces/" + r[F_TRACE]);
            if (c.closeAtUs) {  // kept before the log went
                EXPECT_NE(trace.find("-----Remote Update-----\n"), std::string::npos) << r[F_TRACE];
            } else {
                EXPECT_EQ(trace, log.substr(logBefore.size())) << r[F_TRACE];
            }
            if (c.command == CMD_UPDATE_CONSOLE && r[F_RESULT] != "not found") {
                EXPECT_EQ(r[F_WRITTEN], "console 1.70, languages English");
            }
        }
        seen += c.expected.size();
    }
    // The header once, after the byte-order mark; the spreadsheet-safe verdict.
    EXPECT_EQ(Csv().substr(0, 3 + strlen(RECORD_HEADER) + 2), std::string("\xEF\xBB\xBF") + RECORD_HEADER + "\r\n");
}

// A record that cannot be written (no folder, the folder a file, the CSV a folder, the
// traces folder a file) leaves the screen exactly as a record that can. Nothing of it
// is lost: the jobs without a folder wait in memory, the one whose CSV is taken goes
// into a pending file with them, the one without its traces folder keeps its line.
TEST_F(RecordTest, AnUnwritableRecordChangesNothingOnTheScreen) {
    auto run = [&](const std::string& folder) {
        testbed::Reset();
        ScreenClear();
        testbed::SetStateFolder(folder);
        for (uint64_t t = 1500000; t < 20000000; t += 1000000) testbed::PressKey(13, t);
        sim::Console console;  // no Remote on its KQ-LINK: discovery, then "not found"
        sim::TestbedPlug plug(&console);
        EXPECT_EQ(RunCommand(CMD_TEST_REMOTE), -1);
        return testbed::Transcript();
    };
    std::string good = run("state");
    std::ofstream("file");
    mkdir("csvdir", 0755);
    mkdir("csvdir/service-record.csv", 0755);
    mkdir("tracesfile", 0755);
    std::ofstream("tracesfile/traces");
    for (const char* folder : {"", "file", "csvdir", "tracesfile"}) EXPECT_EQ(run(folder), good) << folder;
    auto pending = Records(ReadFile("csvdir/" + OnlyPending("csvdir")));
    ASSERT_EQ(pending.size(), 4u);  // the jobs of "" and "file", the note on "file", its own
    EXPECT_EQ(pending[0][F_RESULT] + "," + pending[1][F_RESULT] + "," + pending[2][F_RESULT], "note,not found,not found");
    EXPECT_EQ(pending[0][F_VERDICT], "file is a file: not used, this job's record waited in memory");
    auto rows = Records(ReadFile("tracesfile/service-record.csv"));  // kept without its trace
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1][F_VERDICT], "tracesfile/traces is a file: not used, the trace of this job was not kept");
    EXPECT_EQ(rows[2][F_RESULT] + "," + rows[2][F_TRACE], "not found,");
}

// Bounds and neighbours: 600 traces are cut to the newest 500, a byte bound cuts
// further; two programs appending at once give whole lines under one header; a file
// cut short mid-line gets a line end before the next record.
TEST_F(RecordTest, BoundsAndTwoWriters) {
    mkdir("t", 0755);
    for (int i = 0; i < 600; i++) {
        char name[64];
        snprintf(name, sizeof name, "t/20261209-%06d-update-console-updated.log", i);
        std::ofstream(name) << "0123456789";
    }
    // A technician's notes beside them are neither counted nor removed.
    const char* const foreign[] = {"t/0000-notes.log", "t/20261209-120000-my-notes.log", "t/20261209-000000-x-updated.txt"};
    for (const char* name : foreign) std::ofstream(name) << "mine";
    RecordPruneTraces("t", RECORD_KEEP_TRACES, RECORD_KEEP_TRACE_BYTES, nullptr);
    for (const char* name : foreign) EXPECT_TRUE(std::ifstream(name).good()) << name;
    EXPECT_FALSE(std::ifstream("t/20261209-000099-update-console-updated.log").good());
    EXPECT_TRUE(std::ifstream("t/20261209-000100-update-console-updated.log").good());
    RecordPruneTraces("t", 1000, 95, "20261209-000100-update-console-updated.log");
    EXPECT_TRUE(std::ifstream("t/20261209-000100-update-console-updated.log").good());  // the one kept
    EXPECT_TRUE(std::ifstream("t/20261209-000592-update-console-updated.log").good());
    EXPECT_FALSE(std::ifstream("t/20261209-000591-update-console-updated.log").good());
    for (const char* name : foreign) EXPECT_TRUE(std::ifstream(name).good()) << name;

    mkdir("w", 0755);
    auto writer = [](char id) {
        std::string line = std::string(4000, id) + "\r\n";
        for (int i = 0; i < 200; i++) RecordAppendLines("w", line.data(), line.size());
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    auto rows = Records(ReadFile("w/service-record.csv"));
    ASSERT_EQ(rows.size(), 401u);
    EXPECT_EQ(rows[0][0], "\xEF\xBB\xBFtime");
    for (size_t i = 1; i < rows.size(); i++)
        EXPECT_TRUE(rows[i][0] == std::string(4000, 'a') || rows[i][0] == std::string(4000, 'b')) << i;

    mkdir("d", 0755);
    std::ofstream("d/service-record.csv", std::ios::binary) << "foreign,cut";
    RecordAppendLines("d", "x,y\r\n", 5);
    EXPECT_EQ(ReadFile("d/service-record.csv"), "foreign,cut\r\nx,y\r\n");
}

// What the record exists to keep survives its neighbours: two copies rotating the CSV
// at the same moment, a record another program holds while two programs end 20 jobs
// each, a job whose log outgrew the trace's cap among older traces.
TEST_F(RecordTest, NothingIsLost) {
    std::string row = std::string(58, 'p') + "\r\n";
    size_t kept = 0;
    for (int round = 0; round < 60; round++) {  // each just past a bound lowered to 2000
        std::string folder = "rot" + std::to_string(round);
        mkdir(folder.c_str(), 0700);
        for (int i = 0; i < 40; i++) RecordAppendLines(folder.c_str(), row.data(), row.size(), 1 << 20);
        std::atomic<int> ready{0};
        auto writer = [&] {
            for (ready++; ready < 2;) {
            }
            RecordAppendLines(folder.c_str(), row.data(), row.size(), 2000);
        };
        std::thread a(writer), b(writer);
        a.join();
        b.join();
        for (const char* f : {"/service-record.csv", "/service-record.old.csv"})
            kept += Records(ReadFile(folder + f)).size() - 1;  // less the header
    }
    EXPECT_EQ(kept, 60u * 42);

    mkdir("held", 0700);
    mkdir("held/service-record.csv", 0700);  // cannot be opened, as if held
    auto jobs = [](char id) {
        for (int i = 100; i < 120; i++) {
            std::string line = id + std::to_string(i) + "\r\n";
            EXPECT_TRUE(RecordAppendLines("held", line.data(), line.size()));
        }
    };
    std::thread a(jobs, 'a'), b(jobs, 'b');
    a.join();
    b.join();
    rmdir("held/service-record.csv");  // let go: the next job brings them in
    RecordAppendLines("held", "last\r\n", 6);
    std::string order[2], counted;
    for (int i = 100; i < 120; i++) counted += std::to_string(i);
    auto rows = Records(ReadFile("held/service-record.csv"));
    ASSERT_EQ(rows.size(), 42u);
    for (size_t i = 1; i < 41; i++) order[rows[i][0][0] == 'b'] += rows[i][0].substr(1);
    EXPECT_EQ(order[0] + "," + order[1] + "," + rows[41][0], counted + "," + counted + ",last");
    EXPECT_EQ(OnlyPending("held"), "");

    mkdir("state", 0700);
    mkdir("state/traces", 0700);
    const std::string older = "state/traces/20261208-090000-update-console-failed.log";
    std::ofstream(older) << "-----User Update-----\n";
    size_t before = LogText().size();
    Job(30u << 20);
    std::string log = LogText().substr(before);
    std::string trace = ReadFile("state/traces/" + Records(Csv()).at(1)[F_TRACE]);
    // Its first MiB up to a line end, the marker, its end: the bytes add up to the log's.
    size_t marker = trace.find("----- "), markerEnd = trace.find('\n', marker) + 1;
    ASSERT_NE(marker, std::string::npos);
    size_t leftOut = std::stoull(trace.substr(marker + 6));
    EXPECT_EQ(trace.substr(marker, markerEnd - marker), "----- " + std::to_string(leftOut) + " bytes of this job's log left out -----\n");
    EXPECT_TRUE(trace.size() <= 20u << 20 && marker <= 1u << 20 && marker > (1u << 20) - 200) << trace.size() << " " << marker;
    EXPECT_TRUE(trace.compare(0, marker, log, 0, marker) == 0 && log.compare(0, 22, "-----Remote Test-----\n") == 0);
    EXPECT_EQ(trace.substr(markerEnd), log.substr(marker + leftOut));
    EXPECT_TRUE(std::ifstream(older).good());
}

// A folder or file of the record that is not the program's own is left alone: nothing
// is created, renamed or deleted through a link, and the next record says why; what
// the program makes is the user's alone.
TEST_F(RecordTest, WhatIsNotOursIsLeftAlone) {
    mkdir("elsewhere", 0755);
    std::ofstream("elsewhere/20261208-090000-update-console-failed.log") << "someone's";
    struct Case {
        const char* folder;
        std::function<void()> prepare;
        const char* note;  // in the record of the next job into "state"
    } cases[] = {
        {"state", [] { mkdir("state", 0755), symlink("../elsewhere", "state/traces"); },
         "state/traces is a link or reparse point: not used, the trace of this job was not kept"},
        {"linked", [] { symlink("elsewhere", "linked"); },
         "linked is a link or reparse point: not used, this job's record waited in memory"},
        {"theirs", [] { mkdir("theirs", 0700), chown("theirs", 4321, 4321); },
         "theirs belongs to another account: not used, this job's record waited in memory"},
        {"csvlink", [] { mkdir("csvlink", 0700), symlink("../elsewhere/x.csv", "csvlink/service-record.csv"); }, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        if (strcmp(c.folder, "theirs") == 0 && geteuid() != 0) continue;  // only root gives a folder away
        c.prepare();
        testbed::SetStateFolder(c.folder);
        Job(1000);
        EXPECT_EQ(system("test \"$(ls elsewhere)\" = 20261208-090000-update-console-failed.log"), 0);
        EXPECT_EQ(ReadFile("elsewhere/20261208-090000-update-console-failed.log"), "someone's");
        testbed::SetStateFolder("state");
        if (!c.note) continue;
        unlink("state/traces");
        Job(1000);
        auto rows = Records(Csv());  // the header, the note, the two jobs
        ASSERT_EQ(rows.size(), 4u);
        EXPECT_EQ(rows[1][F_RESULT] + ": " + rows[1][F_VERDICT] + " " + rows[2][F_RESULT] + rows[3][F_RESULT],
                  std::string("note: ") + c.note + " testedtested");
        unlink("state/service-record.csv");
    }
    EXPECT_FALSE(OnlyPending("csvlink").empty());  // its line waits beside the link

    chmod("state", 0755);  // as an older version left it: taken back
    Job(1000);
    std::string trace = "state/traces/" + Records(Csv()).back()[F_TRACE];
    for (const std::string& file : {std::string("state"), std::string("state/traces"), std::string("state/service-record.csv"), trace}) {
        struct stat st;
        ASSERT_EQ(stat(file.c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 0777, S_ISDIR(st.st_mode) ? 0700u : 0600u) << file;
    }
}
