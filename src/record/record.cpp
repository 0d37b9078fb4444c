// record.cpp - the service record and the kept traces.
//
// A job gathers its fields in memory while it runs; at its end, with the device work
// over, the log bytes it wrote are copied into traces/, its line goes to
// service-record.csv in one append, and the oldest traces go. Support asks a service
// organisation for this folder after a failed update, and finds an address handed out
// twice by reading the records of all its PCs side by side.
#include "record/record.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/base.h"
#include "base/cp437.h"
#include "base/screen.h"
#include "platform/platform.h"
#include "version.h"

const char RECORD_HEADER[] =
    "time,version,command,path,usb_id,interface,peripheral,kqlink_address,written,mac_before,mac_set,"
    "result,verdict,seconds,trace";

static const char RECORD_FILE[] = "service-record.csv";
static const char RECORD_OLD_FILE[] = "service-record.old.csv";
static const char TRACES_FOLDER[] = "traces";
static const char BOM[] = "\xEF\xBB\xBF";

static const char* const PATH_TEXT[] = {"", "user mode", "boot mode", "technical service", "USB stick", "cable"};
static const char* const RESULT_TEXT[] = {"declined", "updated", "failed", "not found",
                                          "declined", "closed",  "tested", "updated, not verified"};

static const size_t PATH_CAPACITY = 4096;
static const size_t VERDICT_CAPACITY = 3 * SCREEN_COLUMNS + 1;  // UTF-8 of one row
static const size_t MAC_CAPACITY = 24;                          // 00-1F-19-123456
static const int MAX_MACS = 32;

struct MacRecord {
    char before[MAC_CAPACITY];
    char set[MAC_CAPACITY];
    char verdict[VERDICT_CAPACITY];
};

struct Job {
    bool open;
    char command[48];
    PlatLocalTime start;
    uint64_t startCount;
    int64_t logBegin;
    RecordPathKind path;
    char usbId[16];
    char interface[1024];
    char peripheral[16];
    int address;
    char written[256];
    RecordOutcome outcome;
    char verdict[VERDICT_CAPACITY];
    MacRecord macs[MAX_MACS];
    char macShown[MAC_CAPACITY];
};

static Job J;
static std::atomic<int> MacCount{0};

// ---- What the procedures report ---------------------------------------------------------------

void RecordJobBegin(const char* menuText) {
    memset(&J, 0, sizeof J);
    MacCount = 0;
    size_t n = 0;
    for (const char* c = menuText; *c && n + 1 < sizeof J.command; c++)
        if (*c != '&') J.command[n++] = *c;
    J.address = -1;
    PlatGetLocalTime(&J.start);
    J.startCount = PlatCounterValue();
    J.logBegin = LogEndOffset();
    J.open = true;
}

void RecordPath(RecordPathKind path) { J.path = path; }

void RecordInterface(uint16_t vendor, uint16_t product, const char* path) {
    snprintf(J.usbId, sizeof J.usbId, "%04x:%04x", vendor, product);
    snprintf(J.interface, sizeof J.interface, "%s", path);
}

void RecordPeripheral(const char* name, int address) {
    snprintf(J.peripheral, sizeof J.peripheral, "%s", name);
    J.address = address;
}

void RecordWritten(const char* format, ...) {
    va_list values;
    va_start(values, format);
    vsnprintf(J.written, sizeof J.written, format, values);
    va_end(values);
}

static void PutUtf8(char* out, size_t capacity, size_t* n, char16_t c) {
    char bytes[3];
    size_t k = 0;
    if (c < 0x80) {
        bytes[k++] = (char)c;
    } else if (c < 0x800) {
        bytes[k++] = (char)(0xC0 | c >> 6);
        bytes[k++] = (char)(0x80 | (c & 0x3F));
    } else {
        bytes[k++] = (char)(0xE0 | c >> 12);
        bytes[k++] = (char)(0x80 | (c >> 6 & 0x3F));
        bytes[k++] = (char)(0x80 | (c & 0x3F));
    }
    if (*n + k >= capacity) return;
    memcpy(out + *n, bytes, k);
    *n += k;
}

// The line last printed: the cursor's row when something stands left of the cursor,
// else the nearest row above it that holds text; trailing blanks dropped, as UTF-8.
static void ScreenVerdict(char* out, size_t capacity) {
    out[0] = 0;
    int row = ScreenCursor / SCREEN_COLUMNS;
    if (ScreenCursor % SCREEN_COLUMNS == 0) row--;
    for (; row >= 0; row--) {
        const uint8_t* cells = ScreenCells + row * SCREEN_COLUMNS;
        int length = SCREEN_COLUMNS;
        while (length > 0 && (cells[length - 1] == ' ' || cells[length - 1] == 0)) length--;
        if (length == 0) continue;
        size_t n = 0;
        for (int k = 0; k < length; k++)
            PutUtf8(out, capacity, &n, cells[k] < 0x20 ? u' ' : Cp437High(cells[k]));
        out[n] = 0;
        return;
    }
}

void RecordResult(RecordOutcome outcome) {
    J.outcome = outcome;
    ScreenVerdict(J.verdict, sizeof J.verdict);
}

void RecordMac(const char* before, const char* set) {
    int i = MacCount.load(std::memory_order_relaxed);
    if (i >= MAX_MACS) return;
    MacRecord* m = &J.macs[i];
    snprintf(m->before, sizeof m->before, "%s", before);
    snprintf(m->set, sizeof m->set, "%s", set);
    snprintf(m->verdict, sizeof m->verdict, "%s", set);
    MacCount.store(i + 1, std::memory_order_release);
}

void RecordMacShown(const char* current) { snprintf(J.macShown, sizeof J.macShown, "%s", current); }

// ---- The CSV ---------------------------------------------------------------------------------

// One field, quoted when it holds a comma, a quote or a line end; a field that a
// spreadsheet would take for a formula gets a leading apostrophe.
static void AppendField(std::string* line, const char* value, bool last = false) {
    bool formula = value[0] == '=' || value[0] == '+' || value[0] == '-' || value[0] == '@';
    bool quote = strpbrk(value, ",\"\r\n") != nullptr;
    if (quote) *line += '"';
    if (formula) *line += '\'';
    for (const char* c = value; *c; c++) {
        if (*c == '"') *line += '"';
        *line += *c;
    }
    if (quote) *line += '"';
    *line += last ? "\r\n" : ",";
}

static void AppendRecordLine(std::string* out, const char* time, const char* seconds, const char* trace,
                             const char* result, const char* verdict, const MacRecord* mac) {
    char address[16] = "";
    if (J.address >= 0) snprintf(address, sizeof address, "%d", J.address);
    AppendField(out, time);
    AppendField(out, KQ_VERSION);
    AppendField(out, J.command);
    AppendField(out, PATH_TEXT[J.path]);
    AppendField(out, J.usbId);
    AppendField(out, J.interface);
    AppendField(out, J.peripheral);
    AppendField(out, address);
    AppendField(out, J.written);
    AppendField(out, mac ? mac->before : "");
    AppendField(out, mac ? mac->set : "");
    AppendField(out, result);
    AppendField(out, verdict);
    AppendField(out, seconds);
    AppendField(out, trace, true);
}

// A name in a folder; a path too long for the capacity is cut short, and a file of
// that name is then simply not found or not made.
static void JoinPath(char* out, const char* folder, const char* name) {
    std::string path = std::string(folder) + PLAT_PATH_SEPARATOR + name;
    snprintf(out, PATH_CAPACITY, "%s", path.c_str());
}

// What goes before our lines: the byte-order mark and the header in a file we created;
// a line end after a file cut short in the middle of a line (a full disk, a copy pulled
// out early, a foreign line), which keeps that line as it is. Another copy of the
// program may have created the file without having written its header yet, or be in
// the middle of its own append, whose first pages show before its line end: only what
// stays so for a few milliseconds is taken for an empty or a cut file.
static std::string LeadIn(PlatHandle h, const char* path, bool created) {
    std::string header = std::string(BOM) + RECORD_HEADER + "\r\n";
    if (created) return header;
    int64_t size = PlatFileSize(h);
    for (int look = 0;; look++) {
        char lastByte = 0;
        if (size > 0 && PlatReadFileAt(path, (uint64_t)size - 1, &lastByte, 1) == 1 && lastByte == '\n') return "";
        if (look == 5) return size == 0 ? header : "\r\n";
        PlatSleepMs(2);
        int64_t now = PlatFileSize(h);
        if (now == size && size > 0) return "\r\n";
        size = now;
    }
}

bool RecordAppendLines(const char* folder, const char* text, size_t count) {
    char path[PATH_CAPACITY];
    JoinPath(path, folder, RECORD_FILE);
    bool created = false;
    PlatHandle h = PlatAppendOpen(path, false, &created);
    if (h == PLAT_NO_HANDLE) return false;
    int64_t size = PlatFileSize(h);
    if (!created && size > RECORD_CSV_LIMIT) {
        // One generation is kept: the old file goes, this one becomes the old one.
        PlatAppendClose(h);
        char old[PATH_CAPACITY];
        JoinPath(old, folder, RECORD_OLD_FILE);
        PlatRenameFile(path, old);
        h = PlatAppendOpen(path, false, &created);
        if (h == PLAT_NO_HANDLE) return false;
    }
    std::string all = LeadIn(h, path, created);
    all.append(text, count);
    bool written = PlatAppendWrite(h, all.data(), all.size());
    PlatAppendClose(h);
    return written;
}

// ---- The kept trace ------------------------------------------------------------------------

// "Update Console", "updated, not verified" -> "update-console", "updated-not-verified".
static void LowerDashed(std::string* out, const char* text) {
    for (const char* c = text; *c; c++) {
        if (*c == ',') continue;
        *out += *c == ' ' ? '-' : (*c >= 'A' && *c <= 'Z') ? (char)(*c + 32) : *c;
    }
}

// Copies the log's bytes [begin, end) into a new file of traces/; its name, or "" when
// nothing could be kept. Another job of the same second (another copy of the program)
// gets -2, -3... rather than a file of ours over its own.
static std::string KeepTrace(const char* tracesFolder, int64_t begin, int64_t end, const char* result) {
    std::string stem;
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d-", J.start.year, J.start.month, J.start.day,
             J.start.hour, J.start.minute, J.start.second);
    stem = stamp;
    LowerDashed(&stem, J.command);
    stem += '-';
    LowerDashed(&stem, result);
    PlatHandle h = PLAT_NO_HANDLE;
    std::string name;
    char path[PATH_CAPACITY];
    for (int n = 1; n < 100 && h == PLAT_NO_HANDLE; n++) {
        name = stem + (n == 1 ? std::string() : "-" + std::to_string(n)) + ".log";
        JoinPath(path, tracesFolder, name.c_str());
        bool created = false;
        h = PlatAppendOpen(path, true, &created);
    }
    if (h == PLAT_NO_HANDLE) return "";
    static char block[65536];
    bool ok = true;
    for (int64_t at = begin; ok && at < end;) {
        size_t want = (size_t)std::min<int64_t>(end - at, (int64_t)sizeof block);
        long got = LogReadAt(at, block, want);
        ok = got == (long)want && PlatAppendWrite(h, block, want);
        at += got > 0 ? got : 0;
    }
    PlatAppendClose(h);
    if (ok) return name;
    PlatDeleteFile(path);  // a trace that is not the log's bytes would mislead
    return "";
}

struct TraceFile {
    std::string stem;  // the name without ".log": "-2" then sorts after its first
    uint64_t size;
};

static void CollectTrace(const char* name, uint64_t size, void* context) {
    size_t length = strlen(name);
    if (length <= 4 || strcmp(name + length - 4, ".log") != 0) return;
    static_cast<std::vector<TraceFile>*>(context)->push_back({std::string(name, length - 4), size});
}

void RecordPruneTraces(const char* folder, uint32_t keepCount, uint64_t keepBytes, const char* keep) {
    std::vector<TraceFile> traces;
    if (!PlatListFiles(folder, CollectTrace, &traces)) return;
    std::sort(traces.begin(), traces.end(), [](const TraceFile& a, const TraceFile& b) { return a.stem < b.stem; });
    uint64_t total = 0;
    for (const TraceFile& t : traces) total += t.size;
    size_t count = traces.size();
    char path[PATH_CAPACITY];
    for (const TraceFile& t : traces) {
        if (count <= keepCount && total <= keepBytes) break;
        if (keep && t.stem + ".log" == keep) continue;
        JoinPath(path, folder, (t.stem + ".log").c_str());
        if (!PlatDeleteFile(path)) continue;
        count--;
        total -= t.size;
    }
}

// ---- The end of a job ------------------------------------------------------------------------

static void FinishJob() {
    J.open = false;
    int64_t logEnd = LogEndOffset();
    int macs = MacCount.load(std::memory_order_acquire);
    if (macs > 0) J.outcome = RECORD_RESULT_UPDATED;  // the console took an address
    const char* result = RESULT_TEXT[J.outcome];
    char folder[PATH_CAPACITY];
    if (!PlatStateFolder(folder, sizeof folder)) return;
    char tracesFolder[PATH_CAPACITY];
    JoinPath(tracesFolder, folder, TRACES_FOLDER);
    std::string trace;
    if (J.logBegin >= 0 && logEnd > J.logBegin) {
        PlatMakeDirectory(tracesFolder);
        trace = KeepTrace(tracesFolder, J.logBegin, logEnd, result);
    }

    char time[40];
    int offset = J.start.offsetMinutes < 0 ? -J.start.offsetMinutes : J.start.offsetMinutes;
    snprintf(time, sizeof time, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", J.start.year, J.start.month,
             J.start.day, J.start.hour, J.start.minute, J.start.second, J.start.offsetMinutes < 0 ? '-' : '+',
             offset / 60, offset % 60);
    uint64_t frequency = PlatCounterFrequency();
    uint64_t tenths = frequency ? (PlatCounterValue() - J.startCount) * 10 / frequency : 0;
    char seconds[24];
    snprintf(seconds, sizeof seconds, "%llu.%llu", (unsigned long long)(tenths / 10),
             (unsigned long long)(tenths % 10));

    std::string lines;
    for (int i = 0; i < macs; i++)
        AppendRecordLine(&lines, time, seconds, trace.c_str(), result, J.macs[i].verdict, &J.macs[i]);
    if (macs == 0 && J.macShown[0]) {
        MacRecord shown = {};
        snprintf(shown.before, sizeof shown.before, "%s", J.macShown);
        AppendRecordLine(&lines, time, seconds, trace.c_str(), result, J.macShown, &shown);
    } else if (macs == 0) {
        AppendRecordLine(&lines, time, seconds, trace.c_str(), result, J.verdict, nullptr);
    }
    RecordAppendLines(folder, lines.data(), lines.size());
    RecordPruneTraces(tracesFolder, RECORD_KEEP_TRACES, RECORD_KEEP_TRACE_BYTES, trace.c_str());
}

void RecordJobEnd() {
    if (!J.open) return;
    if (J.outcome == RECORD_RESULT_NONE) RecordResult(RECORD_RESULT_DECLINED);
    FinishJob();
}

void RecordJobClosed() {
    if (!J.open) return;
    RecordResult(RECORD_RESULT_CLOSED);
    FinishJob();
}
