// testbed.h - the test backend of the platform seam. Time is virtual: it advances only
// as the program polls the clock or the keyboard, sleeps or pumps messages, and device
// replies are delivered at virtual times, so whole procedures run fast and give the
// same result on every run. The receive thread is a real thread: each delivery waits
// until that thread has taken the bytes into the ring.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

// A key wait without a time limit (PLAT_WAIT_FOREVER) looks at the keyboard again after
// at most this much virtual time, sooner when a key edge or a message is due: the
// scripted operator (testbed::SetOperator) acts at those looks.
const uint32_t KEY_POLL_US = 1000;

namespace testbed {

// Thrown by PlatExitProcess: the program would have ended with this code.
struct ProcessExit {
    int code;
};

// ---- Set-up --------------------------------------------------------------------------
// Back to a fresh machine: time 0, no keys, no messages, no devices, empty settings,
// English user, the core's clock state reset. Call on the test's main thread.
void Reset();
// Virtual microseconds since Reset.
uint64_t NowUs();
// The counter starts at this many microseconds (to test the 32-bit wrap).
void SetClockOrigin(uint64_t us);
// How far each poll of the clock or of a key moves virtual time (default 2 us).
void SetPollTickUs(uint32_t us);
// Makes PlatCounterFrequency report no counter.
void SetNoCounter(bool none);
void SetUserPrimaryLanguage(int primary);
// Fails every attempt to list devices ("SetupDiGetClassDevs").
void SetDeviceListFails(bool fails);
// Makes the interface at this index fail its detail query / allocation.
void SetDeviceDetailFailure(int index, PlatDeviceResult failure);

// ---- Operator ---------------------------------------------------------------------------
// The key is down from downUs (inclusive) to upUs (exclusive), virtual time.
void HoldKey(int vk, uint64_t downUs, uint64_t upUs);
// A press of 50 ms starting at atUs.
void PressKey(int vk, uint64_t atUs);
// A window message that becomes pending at atUs.
void PostMessageAt(PlatMessageKind kind, uint64_t atUs);
// The close box clicked at atUs: its dispatch destroys the window (ShellDestroy) and
// posts the quit message.
void PostCloseAt(uint64_t atUs);

// Someone at the PC who reads the screen: called whenever the program looks at the
// keyboard (it waits at a prompt), on the main thread, with the time as it is. It may
// press keys (PressKey), plug and unplug devices. Not called from inside itself. An
// empty function removes it.
void SetOperator(std::function<void()> onKeyLook);

// The buttons the operator presses in the language dialog, in order. When the list
// runs out the operator presses "OK"; a dialog that still will not close then is
// recorded as stuck and left.
void SetLanguageDialogButtons(const std::vector<int>& ids);
struct DialogView {
    std::string freeText;  // control 301
    std::string listText;  // control 302
};
// What the dialog showed after opening and after every button.
const std::vector<DialogView>& LanguageDialogViews();
bool LanguageDialogStuck();

// The MAC address dialog: what the operator does, each step at a virtual time counted
// from the dialog's opening. While the dialog is open its 200 ms timer fires in
// virtual time. A script without "Exit" ends with "Exit" one second after its last
// step (at once when it is empty).
enum class MacAction {
    Type,  // replace the text of control 204 with text
    Ok,
    Exit
};
struct MacStep {
    uint64_t atUs;
    MacAction action;
    std::string text;  // Type only
};
void SetMacDialogScript(const std::vector<MacStep>& steps);
struct MacView {
    uint64_t atUs;            // since the dialog opened
    std::string currentHigh;  // control 201
    std::string currentLow;   // control 202
    std::string newHigh;      // control 203
    std::string newLow;       // control 204, as typed or as the program set it
};
// What the dialog showed at its last opening: when it opened, after every step and
// whenever the receive thread changed a control; the last view is what it closed with.
const std::vector<MacView>& MacDialogViews();
// How many times the dialog was opened.
int MacDialogOpenings();

// ---- What the program showed -------------------------------------------------------------
// The screen rows, trailing blanks removed, joined with '\n'.
std::string ScreenText();
std::string ScreenRow(int row);
int RepaintCount();
// Everything the screen showed since Reset, the rows that scrolled or were cleared
// away first, then the screen as it is (ScreenText form). Rows partly overwritten
// before a repaint appear as they were at the repaint.
std::string Transcript();
// The screen as it was after each of the last repaints (ScreenText form), oldest first.
const std::vector<std::string>& RecentScreens();
// Readings of the clock and of the keyboard by the program's main thread: the cost of
// its waits, which should sleep rather than poll.
uint64_t PollCount();
// Counts how many times text is printed anew, across every repaint, however far it has
// scrolled since: each repaint that shows it more often than the one before adds the
// difference.
void WatchText(const std::string& text);
int WatchedTextPrints();
// Milliseconds the program's main thread asked to sleep, in all.
uint64_t SleptMs();
int PaintStepCount();
struct MessageBoxRecord {
    std::string text;
    std::string caption;
};
const std::vector<MessageBoxRecord>& MessageBoxes();
// Whether the close request of "Exit" was posted.
bool WindowCloseRequested();
// Font calls seen: "remove", "add", "create", "delete", in order.
const std::vector<std::string>& FontCalls();
// How many more times PlatFontRemove reports that it removed something (default 0).
void SetFontRegistrations(int count);
// Makes every settings write fail from now on (a read-only kq.ini, a full disk).
void SetSettingsReadOnly(bool readOnly);
std::string SettingValue(const std::string& section, const std::string& key);
void SetSettingValue(const std::string& section, const std::string& key, const std::string& value);
// No kq.ini and no user's copy of it.
void ClearSettings();
// The value an earlier run without administrator rights left in the user's own copy of
// kq.ini (the virtual store on Windows).
void SetUserCopySettingValue(const std::string& section, const std::string& key, const std::string& value);

// The folder of the PC's service record, relative to the test's folder ("state" after
// Reset); "" for a PC that has none.
void SetStateFolder(const std::string& path);

// Every progress report the program made since Reset, in order, with its virtual time.
struct ProgressReport {
    uint64_t atUs;
    PlatProgressState state;
    int phase;
    std::string label;
    bool timed;
    uint32_t done, total;
};
const std::vector<ProgressReport>& ProgressReports();

// ---- Simulated devices -----------------------------------------------------------------
// A device behind one driver interface. The backend calls it on the test's main thread
// only, always with the current virtual time.
class VirtualDevice {
public:
    virtual ~VirtualDevice() = default;
    // Bytes the program wrote to PIPE00.
    virtual void HostWrote(uint64_t nowUs, const uint8_t* bytes, size_t count) = 0;
    // The earliest virtual time at which the device has bytes for the program or
    // something else to do; UINT64_MAX when it has nothing scheduled.
    virtual uint64_t NextEventUs() = 0;
    // Runs everything due at or before nowUs; appends bytes for PIPE01 to toHost.
    // Setting *unplug removes the device (its pipes fail from then on).
    virtual void RunUntil(uint64_t nowUs, std::vector<uint8_t>* toHost, bool* unplug) = 0;
};
// Plugs a device in under an interface path (the path names "vid_xxxx&pid_xxxx").
// The backend does not own the device; it must outlive its plug.
void Plug(const std::string& path, VirtualDevice* device);
void Unplug(const std::string& path);
// A device whose pipe PIPE01 cannot be opened ("CreateFile").
void PlugBroken(const std::string& path);
// The device behind this path stops reading its PIPE00: every write blocks until the
// write limit (PLAT_PIPE_WRITE_LIMIT_MS of virtual time) or until a close request of
// the operator posted for that span arrives, then fails.
void SetPipeStalled(const std::string& path, bool stalled);
// Writes that blocked on a stalled pipe, and the virtual time they blocked in all.
int StalledWriteCount();
uint64_t StalledWriteUs();
// Number of PlatPipeOpen calls seen so far, and of device-list openings.
int PipeOpenCount();
int DeviceListOpenCount();
// Opens and closes of the log file, and entries written to it, since Reset.
int LogOpenCount();
int LogCloseCount();
int LogWriteCount();
// Naps (PlatSleepMs) taken off the main thread since Reset: the receive thread takes
// none while it waits for the link.
int ThreadNapCount();

}  // namespace testbed
