// record.cpp - the service record and the kept traces.
//
// A job gathers its fields in memory while it runs; at its end, with the device work
// over, the log bytes it wrote are copied into traces/, its line goes to
// service-record.csv in one append, and the oldest traces go. Support asks a service
// organisation for this folder after a failed update, and finds an address handed out
// twice by reading the records of all its PCs side by side, so nothing here may lose a
// line: a record held by a spreadsheet gets its lines later, from a pending file, and
// a folder the program cannot trust is not used, and says so in the next record.
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
static const char PENDING_PREFIX[] = "service-record.pending-";  // then UTC stamp, number, ".csv"
static const char TRACES_FOLDER[] = "traces";
static const char BOM[] = "\xEF\xBB\xBF";

static const char* const PATH_TEXT[] = {"", "user mode", "boot mode", "technical service", "USB stick", "cable"};
static const char* const RESULT_TEXT[] = {"declined", "updated", "failed", "not found",
                                          "declined", "closed",  "tested", "updated, not verified"};

static const size_t PATH_CAPACITY = 4096;
static const size_t VERDICT_CAPACITY = 3 * SCREEN_COLUMNS + 1;  // UTF-8 of one row
static const size_t MAC_CAPACITY = 24;                          // 00-1F-19-123456
static const int MAX_MACS = 32;
static const size_t PENDING_CAPACITY = 1024 * 1024;  // above what one append holds (WAITING_CAPACITY and a job)

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

// "YYYYMMDD-HHMMSS" of a local time, as the names of the traces and pending files begin.
static std::string Stamp(const PlatLocalTime& t) {
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return stamp;
}

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

// A name in a folder; false (and nothing done with it) when the path does not fit,
// rather than a path cut short that would name another file.
static bool JoinPath(char* out, const char* folder, const char* name) {
    int n = snprintf(out, PATH_CAPACITY, "%s%c%s", folder, PLAT_PATH_SEPARATOR, name);
    return n >= 0 && (size_t)n < PATH_CAPACITY;
}

// ---- Notes about the record itself ----------------------------------------------------------
// What could not be kept, and why, waits here for the next record that can be written:
// a line of its own with the result "note". A few are enough to tell an administrator
// what to look at; more of the same would say nothing new.
static const int MAX_NOTES = 8;
static std::vector<std::string> Notes;

static const char* FolderProblem(PlatFolderState state) {
    switch (state) {
    case PLAT_FOLDER_NOT_FOLDER: return "is a file";
    case PLAT_FOLDER_LINK: return "is a link or reparse point";
    case PLAT_FOLDER_FOREIGN: return "belongs to another account";
    case PLAT_FOLDER_OPEN: return "may be changed by other accounts and could not be protected";
    default: return "could not be made";
    }
}

static void AddNote(const std::string& text) {
    if (Notes.size() < (size_t)MAX_NOTES) Notes.push_back(text);
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

// A pending file: the lines of a job whose record could not be opened, named by the
// second it was written and a number, so that the names sort as they were written.
static bool WritePending(const char* folder, const char* text, size_t count) {
    PlatLocalTime now;
    PlatGetLocalTime(&now);
    for (int n = 1; n < 100; n++) {
        char name[96], path[PATH_CAPACITY];
        snprintf(name, sizeof name, "%s%s-%02d.csv", PENDING_PREFIX, Stamp(now).c_str(), n);
        if (!JoinPath(path, folder, name)) return false;
        int written = PlatWriteNewFile(path, text, count);
        if (written != 0) return written > 0;
    }
    return false;
}

static void CollectPending(const char* name, uint64_t, void* context) {
    size_t length = strlen(name), prefix = sizeof PENDING_PREFIX - 1;
    if (length > prefix + 4 && strncmp(name, PENDING_PREFIX, prefix) == 0 && strcmp(name + length - 4, ".csv") == 0)
        static_cast<std::vector<std::string>*>(context)->push_back(name);
}

// The pending files' lines go first, oldest first, each file removed once its lines
// are in; a file another copy is taking meanwhile is left to it.
static bool AppendPending(const char* folder, PlatHandle h, std::string* leadIn) {
    std::vector<std::string> pending;
    PlatListFiles(folder, CollectPending, &pending);
    if (pending.empty()) return true;
    std::sort(pending.begin(), pending.end());
    static std::vector<char> buffer(PENDING_CAPACITY);
    for (const std::string& name : pending) {
        char path[PATH_CAPACITY];
        size_t count = 0;
        if (!JoinPath(path, folder, name.c_str())) continue;
        PlatHandle take = PlatTakeOpen(path, buffer.data(), buffer.size(), &count);
        if (take == PLAT_NO_HANDLE) continue;
        std::string all = *leadIn;
        all.append(buffer.data(), count);
        bool written = PlatAppendWrite(h, all.data(), all.size());
        PlatTakeClose(take, path, written);
        if (!written) return false;
        leadIn->clear();
    }
    return true;
}

bool RecordAppendLines(const char* folder, const char* text, size_t count, int64_t limit) {
    char path[PATH_CAPACITY], old[PATH_CAPACITY];
    if (!JoinPath(path, folder, RECORD_FILE) || !JoinPath(old, folder, RECORD_OLD_FILE)) return false;
    bool created = false;
    PlatHandle h = PlatAppendOpen(path, &created);
    if (h != PLAT_NO_HANDLE && !created && PlatFileSize(h) > limit) {
        // One generation is kept: the old file goes, this one becomes the old one.
        PlatAppendClose(h);
        PlatRotateFile(path, old, limit);
        h = PlatAppendOpen(path, &created);
    }
    // Held by another program (a spreadsheet that shares it for reading only): later.
    if (h == PLAT_NO_HANDLE) return WritePending(folder, text, count);
    std::string leadIn = LeadIn(h, path, created);
    // A file just created gets its header at once: another copy that opens it meanwhile
    // waits only a few milliseconds for it before taking the file for an empty one.
    bool written = !created || PlatAppendWrite(h, leadIn.data(), leadIn.size());
    if (created) leadIn.clear();
    written = written && AppendPending(folder, h, &leadIn);
    if (written) {
        std::string all = leadIn;
        all.append(text, count);
        written = PlatAppendWrite(h, all.data(), all.size());
    }
    PlatAppendClose(h);
    return written || WritePending(folder, text, count);
}

// ---- The kept trace ------------------------------------------------------------------------

// "Update Console", "updated, not verified" -> "update-console", "updated-not-verified".
static void LowerDashed(std::string* out, const char* text) {
    for (const char* c = text; *c; c++) {
        if (*c == ',') continue;
        *out += *c == ' ' ? '-' : (*c >= 'A' && *c <= 'Z') ? (char)(*c + 32) : *c;
    }
}

// Copies the log's bytes [from, to) behind h, a MiB at a time.
static bool CopyLog(PlatHandle h, int64_t from, int64_t to) {
    static std::vector<char> block(1024 * 1024);
    for (int64_t at = from; at < to;) {
        size_t want = (size_t)std::min<int64_t>(to - at, (int64_t)block.size());
        if (LogReadAt(at, block.data(), want) != (long)want || !PlatAppendWrite(h, block.data(), want)) return false;
        at += (int64_t)want;
    }
    return true;
}

// Where the first (or last) line of the log's bytes [at, at + count) ends, just past
// its line end; -1 when none ends there. *crlf tells whether it ends "\r\n".
static int64_t LineEndIn(int64_t at, size_t count, bool last, bool* crlf) {
    static char look[8192];
    count = std::min(count, sizeof look);
    long got = LogReadAt(at, look, count);
    for (long k = 0; k < got; k++) {
        long i = last ? got - 1 - k : k;
        if (look[i] != '\n') continue;
        *crlf = i > 0 && look[i - 1] == '\r';
        return at + i + 1;
    }
    return -1;
}

// A job's stretch of the log longer than RECORD_TRACE_LIMIT (a test monitor left
// running over a weekend): its first MiB up to its last line end, a line that says
// how much was left out (in the log's own line end), and its last lines, within the
// limit.
static bool CopyLongLog(PlatHandle h, int64_t begin, int64_t end) {
    const int64_t MARKER_ROOM = 128;
    bool crlf = false, tailCrlf = false;
    int64_t headEnd = LineEndIn(begin + RECORD_TRACE_HEAD - 8192, 8192, true, &crlf);
    if (headEnd < 0) headEnd = begin + RECORD_TRACE_HEAD;
    int64_t tailStart = end - (RECORD_TRACE_LIMIT - (headEnd - begin) - MARKER_ROOM);
    int64_t lineStart = LineEndIn(tailStart, 8192, false, &tailCrlf);
    if (lineStart > 0) tailStart = lineStart;
    std::string marker = "----- " + std::to_string(tailStart - headEnd) + " bytes of this job's log left out -----" +
                         (crlf ? "\r\n" : "\n");
    return CopyLog(h, begin, headEnd) && PlatAppendWrite(h, marker.data(), marker.size()) &&
           CopyLog(h, tailStart, end);
}

// Copies the log's bytes [begin, end) into a new file of traces/; its name, or "" when
// nothing could be kept. Another job of the same second (another copy of the program)
// gets -2, -3... rather than a file of ours over its own; any other failure to create
// the file ends it there.
static std::string KeepTrace(const char* tracesFolder, int64_t begin, int64_t end, const char* result) {
    std::string stem = Stamp(J.start) + "-";
    LowerDashed(&stem, J.command);
    stem += '-';
    LowerDashed(&stem, result);
    PlatHandle h = PLAT_NO_HANDLE;
    std::string name;
    char path[PATH_CAPACITY];
    bool taken = true;
    for (int n = 1; n < 100 && h == PLAT_NO_HANDLE && taken; n++) {
        name = stem + (n == 1 ? std::string() : "-" + std::to_string(n)) + ".log";
        if (!JoinPath(path, tracesFolder, name.c_str())) return "";
        h = PlatCreateNew(path, &taken);
    }
    if (h == PLAT_NO_HANDLE) return "";
    bool ok = end - begin <= RECORD_TRACE_LIMIT ? CopyLog(h, begin, end) : CopyLongLog(h, begin, end);
    PlatAppendClose(h);
    if (ok) return name;
    PlatDeleteFile(path);  // a trace that is not the log's bytes would mislead
    return "";
}

struct TraceFile {
    std::string stem;  // the name without ".log": "-2" then sorts after its first
    uint64_t size;
};

static bool AllDigits(const char* text, size_t count) {
    for (size_t i = 0; i < count; i++)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// A name this program gives a trace: "YYYYMMDD-HHMMSS-<command>-<result>[-N].log", the
// command in small letters, digits and dashes, the result one of ours. A technician's
// own file beside them is neither counted nor removed.
static bool IsTraceName(const std::string& stem) {
    if (stem.size() < 17 || !AllDigits(stem.data(), 8) || stem[8] != '-' || !AllDigits(stem.data() + 9, 6) ||
        stem[15] != '-')
        return false;
    std::string rest = stem.substr(16);
    size_t dash = rest.rfind('-');
    if (dash != std::string::npos && dash + 1 < rest.size() && AllDigits(rest.data() + dash + 1, rest.size() - dash - 1))
        rest.erase(dash);  // the -2, -3... of a second job in the same second
    for (char c : rest)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    for (const char* r : RESULT_TEXT) {
        std::string ending = "-";
        LowerDashed(&ending, r);
        if (rest.size() > ending.size() && rest.compare(rest.size() - ending.size(), ending.size(), ending) == 0)
            return true;
    }
    return false;
}

static void CollectTrace(const char* name, uint64_t size, void* context) {
    size_t length = strlen(name);
    if (length <= 4 || strcmp(name + length - 4, ".log") != 0) return;
    std::string stem(name, length - 4);
    if (IsTraceName(stem)) static_cast<std::vector<TraceFile>*>(context)->push_back({stem, size});
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
        if (!JoinPath(path, folder, (t.stem + ".log").c_str()) || !PlatDeleteFile(path)) continue;
        count--;
        total -= t.size;
    }
}

// ---- The end of a job ------------------------------------------------------------------------

// Lines that could not be written yet (a folder refused for this job): they go into
// the next record that can be written in this run, up to this much.
static const size_t WAITING_CAPACITY = 256 * 1024;
static std::string Waiting;

void RecordForget() {
    Notes.clear();
    Waiting.clear();
}

// A line about the record itself: the job's time and command, the result "note" and
// what happened in the verdict's column.
static std::string NoteLine(const char* time, const std::string& text) {
    std::string line;
    AppendField(&line, time);
    AppendField(&line, KQ_VERSION);
    AppendField(&line, J.command);
    for (int i = 0; i < 8; i++) AppendField(&line, "");
    AppendField(&line, "note");
    AppendField(&line, text.c_str());
    AppendField(&line, "");
    AppendField(&line, "", true);
    return line;
}

static void FinishJob() {
    J.open = false;
    int64_t logEnd = LogEndOffset();
    // A job that began before anything was logged in this run begins where the log did.
    int64_t logBegin = J.logBegin == LOG_NOT_OPEN ? LogOpenOffset() : J.logBegin;
    int macs = MacCount.load(std::memory_order_acquire);
    if (macs > 0) J.outcome = RECORD_RESULT_UPDATED;  // the console took an address
    const char* result = RESULT_TEXT[J.outcome];

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

    char folder[PATH_CAPACITY], tracesFolder[PATH_CAPACITY];
    PlatFolderState state = PlatStateFolder(folder, sizeof folder);
    if (state == PLAT_FOLDER_OK && !JoinPath(tracesFolder, folder, TRACES_FOLDER)) state = PLAT_FOLDER_NONE;
    std::string trace;
    bool tracesOk = false;
    if (state == PLAT_FOLDER_OK && logBegin >= 0 && logEnd > logBegin) {
        PlatFolderState traces = PlatRecordFolder(tracesFolder);
        tracesOk = traces == PLAT_FOLDER_OK;
        if (tracesOk) trace = KeepTrace(tracesFolder, logBegin, logEnd, result);
        else AddNote(NoteLine(time, std::string(tracesFolder) + " " + FolderProblem(traces) + ": not used, the trace of this job was not kept"));
    }

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
    if (state != PLAT_FOLDER_OK) {
        // Kept for a later job of this run that finds the folder as it should be.
        if (state != PLAT_FOLDER_NONE)
            AddNote(NoteLine(time, std::string(folder) + " " + FolderProblem(state) + ": not used, this job's record waited in memory"));
        if (Waiting.size() + lines.size() <= WAITING_CAPACITY) Waiting += lines;
        return;
    }
    std::string all;
    for (const std::string& note : Notes) all += note;
    all += Waiting;
    all += lines;
    if (RecordAppendLines(folder, all.data(), all.size())) RecordForget();
    else if (Waiting.size() + lines.size() <= WAITING_CAPACITY) Waiting += lines;  // neither record nor pending
    if (tracesOk) RecordPruneTraces(tracesFolder, RECORD_KEEP_TRACES, RECORD_KEEP_TRACE_BYTES, trace.c_str());
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
