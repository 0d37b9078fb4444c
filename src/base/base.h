// base.h - what every layer of the updater stands on: program-wide state, the log
// file and the fatal error. Nothing here includes a header from above.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Program-wide state -----------------------------------------------------------
extern uint8_t LanguageFlag;      // 0: Spanish messages, 1: English
extern int32_t ServiceFlag;       // 1 in service mode (command line "ST...")
extern uint8_t LanguageList[4];   // console message languages, in console order
extern uint8_t LanguageCount;     // 0 to 4

// Product name used by every message of the updater.
extern const char PRODUCT_NAME[];  // "CORVINA"

// ---- Working files ----------------------------------------------------------------------
// Relative names of the working files.
extern const char* const TEMP_DIR;    // "TEMP"
extern char FontFilePath[];           // "TEMP\kqmon.fnt" in the system's separator
extern char LogFilePath[];            // "TEMP\log.txt"
// Fills FontFilePath and LogFilePath with the system's separator (closing a log file
// left open from before).
void MakeWorkingPaths();

// ---- Log file --------------------------------------------------------------------------
// Appends one entry to the log file, formatted first and written in one piece to the
// end of the file. The file is opened by the first entry and kept open for the run.
// After the first entry that cannot be written the log is off for the rest of the run
// (until MakeWorkingPaths), and the window thread's next entry says so once on the
// screen.
void LogAppend(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Closes the log file, before it is deleted at the end of the run; the next entry would
// open it again. No thread may be logging meanwhile.
void LogClose();
// Called once by the receive thread: it never writes the screen.
void LogMarkReceiveThread();
// True once the log has been given up.
bool LogSwitchedOff();
// Where the next entry will begin in the log file, in bytes as stored; LOG_NOT_OPEN
// while no entry has opened the file (asking never opens it: a job that logs nothing
// leaves no log file), -1 when the log is off. A job's entries are the bytes between
// its offset at the start and its offset at the end.
const int64_t LOG_NOT_OPEN = -2;
int64_t LogEndOffset();
// Where the log file ended when this run's first entry opened it (0 for a new file):
// the start of a job that began before the log was open. -1 while it is not open.
int64_t LogOpenOffset();
// Reads up to count bytes from offset of the log through the run's one handle, so a
// job's stretch is copied without another open of the file. The bytes read, or -1.
long LogReadAt(int64_t offset, void* buffer, size_t count);

// ---- Fatal error -----------------------------------------------------------------------
// Closes the pipes, shows the selected text of the message pair in a box captioned
// "Error" and ends the process with exit code 1.
[[noreturn]] void FatalError(const char* messagePair);
