// bench_record.cpp - what the service record adds to a command: the time from the
// verdict to the [ENTER] prompt (RecordJobEnd) on the Linux backend's real files, for a
// short job, for a whole console update's log and for a test monitor left running (a
// 30 MB log, kept as a trace of at most 20 MiB), with the folder at its bounds (500
// traces kept, a record just under its 10 MB).
//
//   build/linux/tests/bench_record [folder]      (default: a new folder under /tmp)
// Prints the median and the worst of 30 jobs of each kind (5 of the long one), in
// milliseconds.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/base.h"
#include "base/screen.h"
#include "platform/platform.h"
#include "record/record.h"

// What the record needs of the rest of the program, and no more.
uint8_t ScreenCells[SCREEN_CELLS];
int32_t ScreenCursor = 0;
void ScreenPrintPair(const char*, ...) {}
void ClosePipes() {}
const char* PickMessage(const char* pair) { return pair; }
const char PLAT_PATH_SEPARATOR = '/';
uint64_t PlatCounterFrequency() { return 1000000000; }
uint64_t PlatCounterValue() {
    return (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}
void PlatSleepMs(uint32_t ms) { usleep(ms * 1000); }
void PlatMakeDirectory(const char* path) { mkdir(path, 0755); }
bool PlatDeleteFile(const char* path) { return unlink(path) == 0; }
void PlatMessageBox(const char*, const char*) {}
void PlatExitProcess(int code) { exit(code); }

static double JobMs(int logLines) {
    RecordJobBegin("Update &Console");
    RecordPath(RECORD_PATH_USER_MODE);
    RecordInterface(0x1d2b, 0x0001, "/run/kqusb/usb#vid_1d2b&pid_0001#0001");
    RecordWritten("console 1.70, languages English Castellano Fran\xC3\xA7" "ais German");
    std::string line = "Time:0badcafe Mesa<- Nbytes:1030 ";
    while (line.size() < 3100) line += "a5 ";
    line += '\n';
    for (int i = 0; i < logLines; i++) LogAppend("%s", line.c_str());
    RecordResult(RECORD_RESULT_UPDATED);
    auto start = std::chrono::steady_clock::now();
    RecordJobEnd();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

static void Measure(const char* what, int logLines, int jobs = 30) {
    std::vector<double> ms;
    for (int i = 0; i < jobs; i++) ms.push_back(JobMs(logLines));
    std::sort(ms.begin(), ms.end());
    printf("%-46s median %6.2f ms   worst %6.2f ms\n", what, ms[ms.size() / 2], ms.back());
}

int main(int argc, char** argv) {
    if (argc > 1 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        puts("usage: bench_record [folder]\n"
             "What the service record adds to a command, with the folder at its bounds: the\n"
             "median and the worst of 30 jobs of each kind. Without a folder, a new one under\n"
             "/tmp is used and removed at the end (it holds 200 MB of traces meanwhile).");
        return 0;
    }
    char pattern[] = "/tmp/bench_record.XXXXXX";
    bool ours = argc <= 1;
    std::string folder = ours ? mkdtemp(pattern) : argv[1];
    mkdir(folder.c_str(), 0755);
    if (chdir(folder.c_str()) != 0) return 1;
    setenv("XDG_STATE_HOME", (folder + "/state").c_str(), 1);
    mkdir("TEMP", 0755);
    // At the bounds: 500 traces of a console update's size, a record just under 10 MB.
    char path[4096];
    PlatStateFolder(path, sizeof path);
    std::string state = path, traces = state + "/traces";
    mkdir(traces.c_str(), 0755);
    std::string trace(400000, 'x');
    for (int i = 0; i < 500; i++) {
        snprintf(path, sizeof path, "%s/20000101-%06d-update-console-updated.log", traces.c_str(), i);
        if (FILE* f = fopen(path, "wb")) fclose((fwrite(trace.data(), 1, trace.size(), f), f));
    }
    std::string csv = state + "/service-record.csv";
    std::string fill(RECORD_CSV_LIMIT - 4096, 'r');
    fill += "\r\n";
    if (FILE* f = fopen(csv.c_str(), "wb")) fclose((fwrite(fill.data(), 1, fill.size(), f), f));

    Measure("short job (20 log lines, 62 KB)", 20);
    Measure("console update (700 log lines, 2.2 MB)", 700);
    Measure("test left running (10000 log lines, 31 MB)", 10000, 5);
    // The same beside a record with room to spare: the copy alone, nothing pruned.
    setenv("XDG_STATE_HOME", (folder + "/roomy").c_str(), 1);
    Measure("the same, folder under its bounds", 10000, 5);
    if (ours) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    } else {
        printf("folder: %s\n", folder.c_str());
    }
    return 0;
}
