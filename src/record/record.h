// record.h - what stays after a job: the PC's service record (one CSV line per job,
// one per MAC address the console confirmed) and each job's trace kept from the log.
//
// The command frame (shell/commands.cpp) opens and closes a job; the procedures only
// report what they did as they go, the way they report progress, and never format the
// record. Nothing here changes the screen or stops a command: a record that cannot be
// written now is written later (a pending file, a note), never with a word on the screen.
#pragma once

#include <cstddef>
#include <cstdint>

// How the job reached its device.
enum RecordPathKind {
    RECORD_PATH_NONE = 0,
    RECORD_PATH_USER_MODE,
    RECORD_PATH_BOOT_MODE,
    RECORD_PATH_TECHNICAL_SERVICE,
    RECORD_PATH_USB_STICK,
    RECORD_PATH_CABLE,
};

// How the job ended.
enum RecordOutcome {
    RECORD_RESULT_NONE = 0,  // nothing reported: the operator declined
    RECORD_RESULT_UPDATED,
    RECORD_RESULT_FAILED,
    RECORD_RESULT_NOT_FOUND,
    RECORD_RESULT_DECLINED,
    RECORD_RESULT_CLOSED,
    RECORD_RESULT_TESTED,
    // Written and acknowledged, but the boot program could not be asked what its flash
    // holds.
    RECORD_RESULT_UPDATED_NOT_VERIFIED,
};

// ---- The frame ------------------------------------------------------------------------------
// A job of the menu command with this text ("Update &Console": the '&' is dropped)
// begins: its clock, its local time and its start in the log.
void RecordJobBegin(const char* menuText);
// The job has ended and its verdict is on the screen: keeps its trace, appends its
// record(s), then trims the kept traces. Does nothing when no job is open.
void RecordJobEnd();
// The window is closing in the middle of a job: ends it as "closed" while its log
// entries are still there. Does nothing when no job is open.
void RecordJobClosed();
// Drops the notes and lines that wait for a record that can be written, as a new run
// of the program starts without them.
void RecordForget();

// ---- What the procedures report -------------------------------------------------------------
void RecordPath(RecordPathKind path);
// The interface whose pipes were opened: its identity and its path.
void RecordInterface(uint16_t vendor, uint16_t product, const char* path);
// The peripheral found on KQ-LINK ("Remote", "Receiver", "Tempa BOX"), its address, or
// -1 when it was not discovered (a unit reached through its boot mode).
void RecordPeripheral(const char* name, int address);
// What is being written, in free text; set before the writing begins.
void RecordWritten(const char* format, ...) __attribute__((format(printf, 1, 2)));
// How the job ended; the line last printed on the screen is taken as its verdict, so
// this is called right after the verdict is printed.
void RecordResult(RecordOutcome outcome);
// The console confirmed that it took the address set, as the MAC dialog shows
// addresses ("00-1F-19-0A0B0C"); before is the address it reported before the set. One record each. Called on the
// MAC dialog's receive thread, which is joined before the job ends.
void RecordMac(const char* before, const char* set);
// The address the MAC dialog showed for the console when it closed: the before and the
// verdict of a MAC job that set none.
void RecordMacShown(const char* current);

// ---- Bounds, for the record's own checks ---------------------------------------------------
const uint32_t RECORD_KEEP_TRACES = 500;
const uint64_t RECORD_KEEP_TRACE_BYTES = 200ull * 1024 * 1024;
const int64_t RECORD_CSV_LIMIT = 10ll * 1024 * 1024;
// A kept trace holds at most this much of the job's log: its first MiB (the header
// line and how the job began), a line that says how much was left out, and its end.
const int64_t RECORD_TRACE_LIMIT = 20ll * 1024 * 1024;
const int64_t RECORD_TRACE_HEAD = 1024 * 1024;
// Removes the oldest traces of folder (those named as this program names them, oldest
// by name) until at most keepCount are left and they hold at most keepBytes; never
// the one named keep, never a file of another name.
void RecordPruneTraces(const char* folder, uint32_t keepCount, uint64_t keepBytes, const char* keep);
// Appends text (whole CSV lines, CRLF) to the service record in folder with one write,
// after the byte-order mark and the header when the file is new, after a line end when
// the file does not end in one, starting a new generation past limit bytes. The lines
// of pending files go in first; when the record cannot be opened (another program
// holds it) the text goes into a pending file of its own instead. false when it is in
// neither.
bool RecordAppendLines(const char* folder, const char* text, size_t count, int64_t limit = RECORD_CSV_LIMIT);

// The header row of service-record.csv, without its line end.
extern const char RECORD_HEADER[];
