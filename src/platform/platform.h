// platform.h - the seam between the portable core and the operating system.
//
// This is the interface that OS backends need to implement. All functions are
// mandatory. The core (shell, link, update, bootmode, peripherals) never includes an
// OS header; everything it needs from the system goes through these calls, in the
// program's own terms. A backend is one folder (win32, posix, and the test backend
// under tests/backend); adding another must not touch the core. How the core uses
// these calls as it runs (the window and receive threads, the waits that let window
// messages through, the command frame, the close paths) is docs/how-it-runs.md.
//
// Each call is marked with what a caller must know:
//   [blocks]      it may wait (for a device, a file, the operator, another thread);
//   [re-enters]   it may run the window procedure (paint, dialogs, a posted close)
//                 before it returns, so the core may be re-entered from inside it;
//   [any thread]  it may also be called from the receive thread.
// A call without marks returns promptly, runs no window procedure, and belongs to the
// window thread.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Handles --------------------------------------------------------------------
// An open pipe or device file. The core stores it in an intptr_t and uses -1 for
// "closed"; a backend never hands out -1 for an open file.
typedef intptr_t PlatHandle;
const PlatHandle PLAT_NO_HANDLE = -1;

// A running thread started with PlatThreadStart; 0 means none.
typedef uintptr_t PlatThread;

// ---- Clock ------------------------------------------------------------------------
// Frequency of the high-resolution counter in counts per second; 0 when the machine
// has none (the core then stops with "No high-resolution counter"). [any thread]
uint64_t PlatCounterFrequency();
// The current value of the high-resolution counter. Monotonic. [any thread]
uint64_t PlatCounterValue();
// Sleep the calling thread for at least ms milliseconds. [any thread]
void PlatSleepMs(uint32_t ms);  // [blocks]

// ---- Sleeping waits ------------------------------------------------------------------
// The window thread sleeps while it waits for the console, a key or a time, so the
// receive thread and the device never queue behind a spinning core. Both waits below
// may return early (a stray wake-up); the core then checks its condition and deadline
// again, so a backend only has to promise that it never sleeps past us.
//
// Sleep until PlatDataSignal is called or us microseconds have passed, whichever comes
// first. A signal given while nobody waits is kept and ends the next wait at once, so
// bytes stored just before the wait began are never slept through. Window thread.
void PlatDataWait(uint32_t us);
// New bytes are in the receive ring: end the current (or the next) PlatDataWait.
// [any thread]
void PlatDataSignal();
// Sleep until input for the window may have come (a key pressed or let go, a message,
// a close request), or us microseconds have passed, whichever comes first; with
// PLAT_WAIT_FOREVER there is no time limit. A backend wakes for every change of what
// PlatKeyDown reports, its own timers included (a key it counts as held for a while
// wakes the wait when that time ends), and arms no timer while nothing can change;
// one that cannot learn of a change naps briefly instead. Window thread.
void PlatInputWait(uint32_t us);
const uint32_t PLAT_WAIT_FOREVER = 0xFFFFFFFFu;
// Sleep the calling thread, one started by PlatThreadStart, until PlatLinkSignal is
// called or its starter calls PlatThreadCancelAndJoin, without a time limit. The receive
// thread rests here while the pipes are closed. A signal given while it does not wait is
// kept and ends the next wait at once; a stray early return is allowed (the thread looks
// at the pipes and its stop flag again). [blocks]
void PlatLinkWait();
// The pipes have been opened: end the current (or the next) PlatLinkWait. [any thread]
void PlatLinkSignal();

// ---- Window messages -----------------------------------------------------------------
// The core's view of one pending window message.
enum PlatMessageKind {
    PLAT_MSG_NONE = 0,     // nothing pending
    PLAT_MSG_QUIT,         // the quit message: the window has been destroyed
    PLAT_MSG_MENU_CLICK,   // a click on the menu bar
    PLAT_MSG_SYSTEM_KEY,   // Alt, F10, Alt with any key
    PLAT_MSG_OTHER         // anything else
};
// Remove the next pending message of the window thread and say what it is. The
// backend keeps it until the next call; PlatDispatchMessage hands it to the window.
PlatMessageKind PlatTakeMessage();
// Translate and dispatch the message last taken by PlatTakeMessage (paints, the close
// box, typed keys...). Messages of kind MENU_CLICK and SYSTEM_KEY are never dispatched
// by the core while a procedure waits.
void PlatDispatchMessage();  // [re-enters]
// Take at most one pending paint message of the calling thread and dispatch it. On a
// thread that owns no window this finds nothing. [any thread]
void PlatPaintStep();  // [re-enters]
// Redraw the whole text screen now, before returning (invalidate and update).
void PlatRepaint();  // [re-enters]

// ---- Keyboard -------------------------------------------------------------------------
// True while the key with this Windows virtual-key code is held down at this moment,
// whichever window has the focus (13 [ENTER], 39 [->], 0x30-0x39, 0x41-0x5A).
bool PlatKeyDown(int vk);

// ---- Process ----------------------------------------------------------------------------
// End the process at once with this exit code. Does not return.
[[noreturn]] void PlatExitProcess(int code);
// Modal message box with one OK button. caption may be NULL for the system's default
// caption. Owned by the main window once it exists.
void PlatMessageBox(const char* text, const char* caption);  // [blocks] [re-enters]
// Primary language of the user's default language, as a Windows primary language id
// (0x0A is Spanish, 0x09 English).
int PlatUserPrimaryLanguage();

// ---- Threads ------------------------------------------------------------------------------
// Start routine on a new thread. Returns 0 when the thread could not be started.
PlatThread PlatThreadStart(void (*routine)());
// Wake the thread out of a blocking pipe read (cancel the read, so PlatRead returns
// -1) or out of PlatLinkWait, wait for it to end and release it. The routine must notice its stop flag once
// its read fails; see LinkThreadStop.
void PlatThreadCancelAndJoin(PlatThread thread);  // [blocks]

// ---- Files and directories --------------------------------------------------------
// The path separator of file names ('\\' on Windows, '/' elsewhere).
extern const char PLAT_PATH_SEPARATOR;
// Create a directory; an existing one is fine. Failures are ignored.
void PlatMakeDirectory(const char* path);
// Remove an empty directory. Failures are ignored.
void PlatRemoveDirectory(const char* path);
// Delete a file. Returns true when it was deleted. [any thread]
bool PlatDeleteFile(const char* path);
// Create path anew (replacing any existing file, no sharing, archive attribute) and
// write count bytes in one write. Returns the bytes written, or -1 when the file could
// not be created.
long PlatWriteWholeFile(const char* path, const void* bytes, unsigned long count);
// The name of file name in the root of the drive with this letter ('D' to 'Z'), into
// path: "E:\FTRFB.FTD" on Windows; a system without drive letters maps each letter to
// a directory of its own. false when the name does not fit in capacity (nothing may
// then be written).
bool PlatDriveFilePath(char letter, const char* name, char* path, size_t capacity);

// ---- Log file ----------------------------------------------------------------------------
// The log is opened once for the run and closed before it is deleted at the end: a virus
// scanner that inspects a file at every open or close then costs the program that once,
// not once per entry on the path of every request.
// Open path for appending, creating it when missing, shared so that others may read it
// and delete it while it is open. -1 when it cannot be opened. [any thread]
PlatHandle PlatLogOpen(const char* path);
// Append one entry of count bytes with a single write at the end of the file, stored as
// the system stores text (Windows: every "\n" as "\r\n"). The bytes are with the
// system when it returns, so a crash of the program loses none of them; entries of the
// two threads never mix. false when the write failed or fell short. [any thread]
bool PlatLogWrite(PlatHandle h, const char* text, size_t count);
// Read up to count bytes from offset of the log through its own handle (the service
// record keeps each job's stretch of it), without moving where entries are appended and
// without another open of the file. The bytes read (fewer at the end of the file), or
// -1 when the read failed.
long PlatLogReadAt(PlatHandle h, uint64_t offset, void* buffer, size_t count);
// Close the handle. [any thread]
void PlatLogClose(PlatHandle h);

// ---- Screen font ------------------------------------------------------------------------
// Unregister the font file once. Returns true when something was removed.
bool PlatFontRemove(const char* path);
// Register the font file as a font resource for this run.
void PlatFontAdd(const char* path);
// Create the screen font "kqmon3" 8 x 11 (and keep it for painting).
void PlatFontCreate();
// Delete the screen font created by PlatFontCreate.
void PlatFontDelete();

// ---- Main window ----------------------------------------------------------------------------
// Show the main window and size it so its client area holds the 640 x 396 text screen.
void PlatWindowShowAndSize();  // [re-enters]
// Post a close request to the main window (menu "Exit").
void PlatWindowClose();

// ---- USB devices: the driver's interface list ----------------------------------------
// Open the list of device interfaces published by the kqusb driver. false when the
// system refuses (reported as "SetupDiGetClassDevs").
bool PlatDeviceListOpen();
enum PlatDeviceResult {
    PLAT_DEVICE_OK = 0,        // path holds the interface path
    PLAT_DEVICE_END,           // no interface with this index: the normal end
    PLAT_DEVICE_DETAIL_ERROR,  // "SetupDiGetDeviceInterfaceDetail"
    PLAT_DEVICE_NO_MEMORY      // "malloc"
};
// The path of interface number index (0, 1, 2, ...) of the open list.
PlatDeviceResult PlatDeviceListPath(int index, char* path, size_t capacity);
// Release the list.
void PlatDeviceListClose();

// ---- Pipes ------------------------------------------------------------------------------------
// Open an existing pipe file for reading and writing, blocking I/O. -1 when it fails.
PlatHandle PlatPipeOpen(const char* path);  // [blocks]
// Blocking read of up to count bytes. Returns the count read (0 is possible), or -1
// when the read failed (end of file, unplugged, cancelled). [any thread]
long PlatPipeRead(PlatHandle h, void* buffer, unsigned long count);  // [blocks]
// Write up to count bytes. Returns the count written, or -1 when the write failed; a
// write to a pipe without reader fails, it never kills the process. A device that has
// stopped reading must not hold the program: a write that cannot complete within
// PLAT_PIPE_WRITE_LIMIT_MS fails (-1), so a close request of the operator (the close
// box, Ctrl+C, SIGTERM) made meanwhile waits at most that long. [any thread]
long PlatPipeWrite(PlatHandle h, const void* bytes, unsigned long count);  // [blocks]
// The longest a single PlatPipeWrite may block. Far above what the console needs for
// its largest frame, far below what an operator takes for a hang.
const uint32_t PLAT_PIPE_WRITE_LIMIT_MS = 2000;
// Close the handle. [any thread]
void PlatPipeClose(PlatHandle h);

// ---- Settings (private profile file kq.ini) ---------------------------------------------
// The file is named without a directory; the backend keeps it in its own place (the
// Windows directory on Windows).
// Read key of section from file into buffer (at most capacity-1 characters), or def.
void PlatSettingRead(const char* file, const char* section, const char* key,
                     const char* def, char* buffer, size_t capacity);
// Write key of section in file, creating the file or the section when missing.
// Returns true only when the value is stored: false when the file or its folder is
// read-only, the disk is full, or the file could not be replaced. [any thread]
bool PlatSettingWrite(const char* file, const char* section, const char* key,
                      const char* value);
// Key of section in the per-user copy of file that Windows kept for a run without
// administrator rights, whose writes to the Windows directory it redirects into the
// user's virtual store; into buffer (at most capacity-1 characters). False when there
// is no such copy or key (always where nothing is redirected, as on Linux).
bool PlatSettingReadUserCopy(const char* file, const char* section, const char* key,
                             char* buffer, size_t capacity);

// ---- Dialogs ----------------------------------------------------------------------------
// Runs the modal language dialog (resource IdiomaDialog, or its terminal twin) owned by
// the main window, until the core lets it close. The backend calls LanguageDialogOpen
// once when it opens and LanguageDialogButton(id) for every button pressed (304 to 307
// the languages, 303 "Clear", 1 "OK"); it closes when that returns true. After each
// call it shows LanguageDialogFreeText in control 301 and LanguageDialogListText in
// control 302 (see update/languages.h). There is no other way out of the dialog.
void PlatLanguageDialog();  // [blocks] [re-enters]

// Runs the modal MAC address dialog (resource MacDialog, or its terminal twin) owned by
// the main window, until the operator leaves it. The backend calls MacDialogInit once
// when it opens, MacDialogTimer every 200 ms while it is open, and
// MacDialogCommand(id, text of control 204) for "OK" (1, also [ENTER]) and "Exit" (2,
// also [ESC] and the close box); it closes when that returns true. After MacDialogInit,
// after each command and whenever PlatMacDialogChanged is called, it shows the texts
// MacDialogTakeChanges reports as changed in controls 201 to 204 (see mac/mac.h);
// what the operator types in 204 stays until the core changes that control.
void PlatMacDialog();  // [blocks] [re-enters]
// The receive thread has changed texts of the open MAC dialog: have the dialog's own
// thread show them soon, without waiting for it. Does nothing when no MAC dialog is
// open. [any thread]
void PlatMacDialogChanged();

// ---- Progress of long work ------------------------------------------------------------------
// What the core reports while a long walk runs (a search, an erase, programming,
// verifying, a boot record), so the operator sees it move outside the text screen: on
// the taskbar button, on the terminal's status line. Nothing of the text screen
// changes with it.
enum PlatProgressState {
    PLAT_PROGRESS_HIDDEN = 0,  // no long work: show nothing
    PLAT_PROGRESS_RUNNING,     // a phase runs: done of total
    PLAT_PROGRESS_DONE,        // the walk succeeded (done equals total)
    PLAT_PROGRESS_FAILED       // the walk failed where done stands
};
struct PlatProgress {
    PlatProgressState state;
    int phase;           // what runs: the core's ProgressPhase (base/progress.h)
    const char* label;   // its name in the operator's language, never NULL
    bool timed;          // a wait with a time-out: done and total are milliseconds
    uint32_t done;       // units done, or milliseconds spent (never above total)
    uint32_t total;      // units in all, or the time-out; may be 0
    uint32_t elapsedMs;  // since the phase began, for an estimate of the time left
};
// Show the progress. Called at the start and end of every phase and at most ten times
// a second in between, always on the window thread, never from the receive thread.
// A backend that cannot show it (no taskbar interface) ignores it; it must not fail.
void PlatShowProgress(const PlatProgress* progress);

// ---- What stays after a job: the service record and the kept traces -------------------------
// None of these may stop or slow a command: each one that cannot do its work says so
// by its result and returns at once (no message on the screen).
//
// The program runs with administrator rights on Windows, where every standard user of
// the PC may create files and folders in ProgramData: nothing here follows a symbolic
// link, junction or other reparse point, and a folder or file that is not the
// program's own (Windows: owned by Administrators or SYSTEM; Linux: by the user) is
// never used. A path is used only as the folders below have checked it.
//
// What a folder of the record was found to be.
enum PlatFolderState {
    PLAT_FOLDER_OK = 0,      // a real folder of the program's own, that others cannot change
    PLAT_FOLDER_NONE,        // missing and not made (no rights, a read-only medium, no such place)
    PLAT_FOLDER_NOT_FOLDER,  // the name is a file
    PLAT_FOLDER_LINK,        // a symbolic link, junction or other reparse point
    PLAT_FOLDER_FOREIGN,     // owned by another account
    PLAT_FOLDER_OPEN,        // ours, but others may change it and its rights could not be set
};
// The folder of this PC's own state, shared by everyone who uses the PC (Windows
// "%ProgramData%\Kqsfupdt", Linux "$XDG_STATE_HOME/kqsfupdt"), its parents created when
// missing, then made or checked as PlatRecordFolder does; written to path without a
// trailing separator (PLAT_FOLDER_NONE when there is none or it does not fit).
PlatFolderState PlatStateFolder(char* path, size_t capacity);
// A folder of the record (the state folder, its traces): made when missing for the
// program alone (Windows: full control for SYSTEM and Administrators, read for Users,
// nothing inherited from above; Linux: 0700). An existing one is used only when it is
// a real folder of the program's own; one that others may change is given those
// rights first.
PlatFolderState PlatRecordFolder(const char* path);
// Open path for appending (and reading its size). A missing file is created
// exclusively (Linux 0600, Windows owned by Administrators with the folder's rights):
// of two programs that create it at the same moment exactly one sees *created true.
// -1 when the file cannot be opened or created (another program holds it without
// sharing, no rights) or is not ours (a link, another account's, a second name).
PlatHandle PlatAppendOpen(const char* path, bool* created);
// Create path exclusively for appending, never opening an existing file: *taken tells
// that it failed because the name exists (a link or another file of that name
// included). -1 when it failed.
PlatHandle PlatCreateNew(const char* path, bool* taken);
// Append count bytes with one write at the end of the file as it is at that moment,
// stored as they are (no line-end conversion). false when the write failed or fell short.
bool PlatAppendWrite(PlatHandle h, const void* bytes, size_t count);
// Close a handle of PlatAppendOpen or PlatCreateNew.
void PlatAppendClose(PlatHandle h);
// The size in bytes of the file behind a handle of PlatAppendOpen or PlatLogOpen, -1
// when unknown. On the log handle this is where the next entry will begin. [any thread]
int64_t PlatFileSize(PlatHandle h);
// Read up to count bytes from offset of the file path, opened for reading beside any
// writer and closed again. The bytes read (fewer at the end of the file), -1 when the
// file cannot be opened or read, or is not ours.
long PlatReadFileAt(const char* path, uint64_t offset, void* buffer, size_t count);
// Rename from to to, replacing to, when from is larger than limit bytes. The size is
// read and the rename made on one and the same file, so of two programs rotating at
// once the second finds the first one's fresh file small and leaves it. true when
// renamed.
bool PlatRotateFile(const char* from, const char* to, int64_t limit);
// Write count bytes into a new file path (created exclusively, as PlatCreateNew) with
// one write; PlatTakeOpen cannot take it before the write is over. 1 written, 0 the
// name is taken, -1 failed (nothing is left behind).
int PlatWriteNewFile(const char* path, const void* bytes, size_t count);
// Take the file path: opened so that no other copy of the program takes it meanwhile,
// and read whole into buffer (*count bytes). -1 when another copy holds it, it is gone,
// empty, larger than capacity, or not ours.
PlatHandle PlatTakeOpen(const char* path, void* buffer, size_t capacity, size_t* count);
// The end of a take: the file deleted when remove, and let go.
void PlatTakeClose(PlatHandle h, const char* path, bool remove);
// Calls each once for every plain file in folder (links and reparse points are not
// reported), with its name (no folder) and size. false when the folder cannot be read.
bool PlatListFiles(const char* folder, void (*each)(const char* name, uint64_t size, void* context),
                   void* context);
// The local date and time now, and how far local time is ahead of UTC in minutes.
struct PlatLocalTime {
    int year, month, day, hour, minute, second;
    int offsetMinutes;
};
void PlatGetLocalTime(PlatLocalTime* now);
