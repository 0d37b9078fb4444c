// testbed.cpp - the test backend: virtual clock, scripted operator, in-process devices.
#include "tests/backend/testbed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <functional>
#include <mutex>
#include <thread>

#include "base/progress.h"
#include "base/waits.h"
#include "core.h"

namespace testbed {
namespace {

const uint64_t COUNTER_HZ = 10000000;  // like a typical performance counter
const auto DELIVERY_GUARD = std::chrono::seconds(5);
// Listing the driver's interfaces costs the system about a millisecond.
const uint64_t DEVICE_LIST_COST_US = 1000;

struct KeyHold {
    int vk;
    uint64_t down, up;
};
struct PendingMessage {
    PlatMessageKind kind;
    uint64_t at;
    bool close;
};
struct Interface {
    std::string path;
    VirtualDevice* device = nullptr;
    bool broken = false;
    bool plugged = true;
    bool stalled = false;         // the device no longer reads PIPE00
    std::vector<uint8_t> toHost;  // bytes waiting in PIPE01
    int readersWaiting = 0;       // threads blocked in a read of PIPE01
    int readersBusy = 0;          // threads that took bytes and have not come back
};
struct Pipe {
    Interface* iface;
    bool in;  // PIPE01, device to PC
    bool open;
};
struct ThreadRecord {
    std::thread thread;
    std::atomic<bool> cancel{false};
    Interface* busyOn = nullptr;
};

struct State {
    std::function<void()> onKeyLook;
    bool inOperator = false;
    uint64_t now = 0, origin = 0;
    uint32_t tick = 2;
    bool noCounter = false;
    int language = 0x09;
    bool listFails = false;
    std::map<int, PlatDeviceResult> detailFailures;
    std::vector<KeyHold> keys;
    std::vector<PendingMessage> messages;
    PendingMessage current{PLAT_MSG_NONE, 0, false};
    int repaints = 0, paintSteps = 0, pipeOpens = 0, listOpens = 0;
    uint64_t sleptMs = 0, polls = 0;
    std::vector<std::string> recentScreens;
    std::vector<std::string> scrolledRows, lastRows = std::vector<std::string>(SCREEN_ROWS);
    int lastCursorRow = 0;
    std::string watched;
    int watchedShown = 0, watchedPrints = 0;
    std::vector<MessageBoxRecord> boxes;
    bool closeRequested = false;
    std::vector<std::string> fontCalls;
    int fontRegistrations = 0;
    std::map<std::string, std::string> settings;
    std::map<std::string, std::string> userCopy;  // the virtual store's kq.ini
    bool settingsReadOnly = false;
    int stalledWrites = 0;
    uint64_t stalledUs = 0;
    std::vector<Interface*> interfaces;
    std::vector<std::string> listing;
    std::map<PlatHandle, Pipe> pipes;
    PlatHandle nextHandle = 100;
    std::thread::id mainThread;
    std::vector<int> dialogButtons;
    std::vector<DialogView> dialogViews;
    bool dialogStuck = false;
    std::vector<MacStep> macScript;
    std::vector<MacView> macViews;
    int macOpenings = 0;
    uint64_t macOpenedAt = 0;
    std::string macField;  // the text of control 204
    std::vector<ProgressReport> progress;
    std::string stateFolder = "state";  // relative to the test's folder
};

State g;
// The log is written by both threads: its counts are kept apart from the state above.
std::atomic<int> logOpens{0}, logCloses{0}, logWrites{0};
std::atomic<int> threadNaps{0};  // PlatSleepMs calls off the main thread
std::mutex mu;  // guards interfaces' pipe state and pipes, shared with reader threads
std::condition_variable cv;
bool linkSignalled = false;  // PlatLinkSignal kept for the next PlatLinkWait; under mu
thread_local ThreadRecord* currentThread = nullptr;
// Whether the MAC dialog is open, and the flag the receive thread raises through
// PlatMacDialogChanged.
std::atomic<bool> macOpen{false};
std::atomic<bool> macChanged{false};

// Records what the MAC dialog shows now, taking the core's changed texts first.
void RecordMacView(bool always) {
    MacDialogView v;
    unsigned changed = MacDialogTakeChanges(&v);
    if (changed & MAC_CHANGED_NEW_LOW) g.macField = v.newLow;
    if (changed == 0 && !always) return;
    g.macViews.push_back({g.now - g.macOpenedAt, v.currentHigh, v.currentLow, v.newHigh, g.macField});
}

bool OnMainThread() { return std::this_thread::get_id() == g.mainThread; }

Interface* FindInterface(const std::string& path) {
    for (Interface* i : g.interfaces)
        if (i->path == path) return i;
    return nullptr;
}

bool InPipeOpenFor(Interface* iface) {
    for (auto& p : g.pipes)
        if (p.second.iface == iface && p.second.in && p.second.open) return true;
    return false;
}

// Hands bytes to PIPE01 and, when a reader may take them, waits until it has: the
// ring then holds them before virtual time moves on.
void Deliver(Interface* iface, const std::vector<uint8_t>& bytes) {
    std::unique_lock<std::mutex> lock(mu);
    if (!InPipeOpenFor(iface)) return;  // nobody holds the pipe: the bytes are lost
    iface->toHost.insert(iface->toHost.end(), bytes.begin(), bytes.end());
    cv.notify_all();
    bool taken = cv.wait_for(lock, DELIVERY_GUARD, [&] {
        return (iface->toHost.empty() && iface->readersBusy == 0) || !InPipeOpenFor(iface);
    });
    if (!taken)
        fprintf(stderr, "testbed: %zu bytes for %s were not read within %lld s (no receive thread?)\n",
                iface->toHost.size(), iface->path.c_str(), (long long)DELIVERY_GUARD.count());
}

void RunDevices(uint64_t upTo) {
    for (;;) {
        Interface* due = nullptr;
        uint64_t when = UINT64_MAX;
        for (Interface* i : g.interfaces) {
            if (!i->plugged || i->device == nullptr) continue;
            uint64_t t = i->device->NextEventUs();
            if (t < when) when = t, due = i;
        }
        if (due == nullptr || when > upTo) return;
        if (when > g.now) g.now = when;
        std::vector<uint8_t> out;
        bool unplug = false;
        due->device->RunUntil(g.now, &out, &unplug);
        if (!out.empty()) Deliver(due, out);
        // The receive thread has handled the bytes: show its changes at their time.
        if (macOpen && macChanged.exchange(false)) RecordMacView(false);
        if (unplug) Unplug(due->path);
    }
}

// The earliest device event, key edge or message after now; UINT64_MAX when none.
uint64_t NextDeviceEvent() {
    uint64_t when = UINT64_MAX;
    for (Interface* i : g.interfaces)
        if (i->plugged && i->device != nullptr) when = std::min(when, i->device->NextEventUs());
    return when;
}
uint64_t NextInputEvent() {
    uint64_t when = NextDeviceEvent();
    for (const KeyHold& k : g.keys) {
        if (k.down > g.now) when = std::min(when, k.down);
        if (k.up > g.now) when = std::min(when, k.up);
    }
    // Messages already pending do not cut a sleep short; the pump takes them first.
    for (const PendingMessage& m : g.messages)
        if (m.at > g.now) when = std::min(when, m.at);
    return when;
}

// A sleeping wait: virtual time jumps to the first thing that can end it, or to its
// deadline, so a long time-out costs no polling.
void SleepUntilEvent(uint64_t us, uint64_t next) {
    if (!OnMainThread()) return;
    uint64_t target = std::min(g.now + us, std::max(next, g.now));
    RunDevices(target);
    if (g.now < target) g.now = target;
}

void Advance(uint64_t us) {
    if (!OnMainThread()) return;  // only the program's main thread moves time
    uint64_t target = g.now + us;
    RunDevices(target);
    g.now = target;
}

}  // namespace

// ---- Set-up ------------------------------------------------------------------------------
void Reset() {
    {
        std::lock_guard<std::mutex> lock(mu);
        for (Interface* i : g.interfaces) delete i;
        g = State();
    }
    g.mainThread = std::this_thread::get_id();
    logOpens = logCloses = logWrites = 0;
    threadNaps = 0;
    MicroClockReset();
    ProgressReset();
}
uint64_t NowUs() { return g.now; }
void SetClockOrigin(uint64_t us) { g.origin = us; }
void SetPollTickUs(uint32_t us) { g.tick = us; }
void SetNoCounter(bool none) { g.noCounter = none; }
void SetUserPrimaryLanguage(int primary) { g.language = primary; }
void SetDeviceListFails(bool fails) { g.listFails = fails; }
void SetDeviceDetailFailure(int index, PlatDeviceResult failure) { g.detailFailures[index] = failure; }

void HoldKey(int vk, uint64_t downUs, uint64_t upUs) { g.keys.push_back({vk, downUs, upUs}); }
void PressKey(int vk, uint64_t atUs) { HoldKey(vk, atUs, atUs + 50000); }
void PostMessageAt(PlatMessageKind kind, uint64_t atUs) { g.messages.push_back({kind, atUs, false}); }
void PostCloseAt(uint64_t atUs) { g.messages.push_back({PLAT_MSG_OTHER, atUs, true}); }

void SetOperator(std::function<void()> onKeyLook) { g.onKeyLook = std::move(onKeyLook); }
void SetLanguageDialogButtons(const std::vector<int>& ids) { g.dialogButtons = ids; }
const std::vector<DialogView>& LanguageDialogViews() { return g.dialogViews; }
bool LanguageDialogStuck() { return g.dialogStuck; }

void SetMacDialogScript(const std::vector<MacStep>& steps) { g.macScript = steps; }
const std::vector<MacView>& MacDialogViews() { return g.macViews; }
int MacDialogOpenings() { return g.macOpenings; }

std::string ScreenRow(int row) {
    std::string s((const char*)ScreenCells + row * SCREEN_COLUMNS, SCREEN_COLUMNS);
    while (!s.empty() && (s.back() == ' ' || s.back() == 0)) s.pop_back();
    return s;
}
std::string ScreenText() {
    std::string all;
    for (int r = 0; r < SCREEN_ROWS; r++) all += testbed::ScreenRow(r) + (r + 1 < SCREEN_ROWS ? "\n" : "");
    while (!all.empty() && all.back() == '\n') all.pop_back();
    return all;
}
int RepaintCount() { return g.repaints; }
const std::vector<std::string>& RecentScreens() { return g.recentScreens; }
std::string Transcript() {
    std::string text;
    for (const std::string& r : g.scrolledRows) text += r + "\n";
    return text + ScreenText();
}
uint64_t SleptMs() { return g.sleptMs; }
uint64_t PollCount() { return g.polls; }
void WatchText(const std::string& text) {
    g.watched = text;
    g.watchedShown = g.watchedPrints = 0;
}
int WatchedTextPrints() { return g.watchedPrints; }
int PaintStepCount() { return g.paintSteps; }
const std::vector<MessageBoxRecord>& MessageBoxes() { return g.boxes; }
bool WindowCloseRequested() { return g.closeRequested; }
const std::vector<std::string>& FontCalls() { return g.fontCalls; }
void SetFontRegistrations(int count) { g.fontRegistrations = count; }
std::string SettingValue(const std::string& section, const std::string& key) {
    std::lock_guard<std::mutex> lock(mu);
    auto it = g.settings.find(section + "/" + key);
    return it == g.settings.end() ? std::string() : it->second;
}
void SetSettingValue(const std::string& section, const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(mu);
    g.settings[section + "/" + key] = value;
}

void ClearSettings() {
    std::lock_guard<std::mutex> lock(mu);
    g.settings.clear();
    g.userCopy.clear();
}
void SetUserCopySettingValue(const std::string& section, const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(mu);
    g.userCopy[section + "/" + key] = value;
}

void Plug(const std::string& path, VirtualDevice* device) {
    std::lock_guard<std::mutex> lock(mu);
    Interface* i = FindInterface(path);
    if (i == nullptr) g.interfaces.push_back(i = new Interface());
    i->path = path;
    i->device = device;
    i->plugged = true;
    i->broken = false;
    i->toHost.clear();
    std::sort(g.interfaces.begin(), g.interfaces.end(),
              [](Interface* a, Interface* b) { return a->path < b->path; });
}
void PlugBroken(const std::string& path) {
    Plug(path, nullptr);
    std::lock_guard<std::mutex> lock(mu);
    FindInterface(path)->broken = true;
}
void Unplug(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu);
    Interface* i = FindInterface(path);
    if (i == nullptr) return;
    i->plugged = false;
    i->device = nullptr;
    cv.notify_all();
}
void SetSettingsReadOnly(bool readOnly) {
    std::lock_guard<std::mutex> lock(mu);
    g.settingsReadOnly = readOnly;
}
void SetPipeStalled(const std::string& path, bool stalled) {
    std::lock_guard<std::mutex> lock(mu);
    Interface* i = FindInterface(path);
    if (i != nullptr) i->stalled = stalled;
}
int StalledWriteCount() { return g.stalledWrites; }
int ThreadNapCount() { return threadNaps; }
int LogOpenCount() { return logOpens; }
int LogCloseCount() { return logCloses; }
int LogWriteCount() { return logWrites; }
uint64_t StalledWriteUs() { return g.stalledUs; }
const std::vector<ProgressReport>& ProgressReports() { return g.progress; }
int PipeOpenCount() { return g.pipeOpens; }
int DeviceListOpenCount() { return g.listOpens; }

}  // namespace testbed

using namespace testbed;

// ---- The seam ----------------------------------------------------------------------------
const char PLAT_PATH_SEPARATOR = '/';

uint64_t PlatCounterFrequency() { return g.noCounter ? 0 : COUNTER_HZ; }
uint64_t PlatCounterValue() {
    if (OnMainThread()) g.polls++;
    Advance(g.tick);
    return (g.origin + g.now) * (COUNTER_HZ / 1000000);
}
void PlatSleepMs(uint32_t ms) {
    if (OnMainThread()) {
        g.sleptMs += ms;
        Advance((uint64_t)ms * 1000);
    }
    else {
        threadNaps++;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

void PlatDataWait(uint32_t us) { SleepUntilEvent(us, NextDeviceEvent()); }
// The ring is filled while Deliver waits for the receive thread, so the main thread
// already knows.
void PlatDataSignal() {}
void PlatInputWait(uint32_t us) {
    SleepUntilEvent(us == PLAT_WAIT_FOREVER ? KEY_POLL_US : us, NextInputEvent());
}
// The receive thread rests until the pipes open or it is cancelled; virtual time does
// not move for it.
void PlatLinkWait() {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [] { return linkSignalled || (currentThread != nullptr && currentThread->cancel); });
    linkSignalled = false;
}
void PlatLinkSignal() {
    std::lock_guard<std::mutex> lock(mu);
    linkSignalled = true;
    cv.notify_all();
}

PlatMessageKind PlatTakeMessage() {
    Advance(g.tick);
    for (size_t i = 0; i < g.messages.size(); i++) {
        if (g.messages[i].at <= g.now) {
            g.current = g.messages[i];
            g.messages.erase(g.messages.begin() + (long)i);
            return g.current.kind;
        }
    }
    g.current = {PLAT_MSG_NONE, 0, false};
    return PLAT_MSG_NONE;
}
void PlatDispatchMessage() {
    if (g.current.close) {
        ShellDestroy();
        g.messages.insert(g.messages.begin(), {PLAT_MSG_QUIT, g.now, false});
    }
    g.current = {PLAT_MSG_NONE, 0, false};
}
void PlatPaintStep() {
    if (OnMainThread()) g.paintSteps++;
}
// The rows that left the screen since Reset: at each repaint the rows above the cursor
// of the last one either moved up by some count (they scrolled) or were cleared away.
std::vector<std::string> ScreenRows() {
    std::vector<std::string> rows;
    for (int r = 0; r < SCREEN_ROWS; r++) rows.push_back(testbed::ScreenRow(r));
    return rows;
}
void FollowScroll() {
    std::vector<std::string> rows = ScreenRows();
    int settled = g.lastCursorRow;  // rows above it cannot change but by scrolling
    int scrolled = -1;
    for (int k = 0; k <= settled && scrolled < 0; k++) {
        bool same = true;
        for (int i = k; i < settled && same; i++) same = g.lastRows[i] == rows[i - k];
        if (same) scrolled = k;
    }
    if (scrolled < 0) scrolled = settled;  // cleared: everything above the cursor went
    for (int i = 0; i < scrolled && i < (int)g.lastRows.size(); i++) g.scrolledRows.push_back(g.lastRows[i]);
    g.lastRows = rows;
    g.lastCursorRow = ScreenCursor / SCREEN_COLUMNS;
}

// Keeps what a person would have seen on the screen after each of the last repaints.
const size_t RECENT_SCREENS = 64;
void PlatRepaint() {
    g.repaints++;
    if (!g.watched.empty()) {
        std::string screen = ScreenText();
        int shown = 0;
        for (size_t at = screen.find(g.watched); at != std::string::npos; at = screen.find(g.watched, at + 1))
            shown++;
        if (shown > g.watchedShown) g.watchedPrints += shown - g.watchedShown;
        g.watchedShown = shown;
    }
    if (g.recentScreens.size() == RECENT_SCREENS) g.recentScreens.erase(g.recentScreens.begin());
    g.recentScreens.push_back(ScreenText());
    FollowScroll();
}

bool PlatKeyDown(int vk) {
    g.polls++;
    Advance(g.tick);
    if (g.onKeyLook && !g.inOperator && OnMainThread()) {
        g.inOperator = true;
        std::function<void()> look = g.onKeyLook;  // it may replace itself
        look();
        g.inOperator = false;
    }
    for (const KeyHold& k : g.keys)
        if (k.vk == vk && k.down <= g.now && g.now < k.up) return true;
    return false;
}

void PlatExitProcess(int code) { throw ProcessExit{code}; }
void PlatMessageBox(const char* text, const char* caption) {
    g.boxes.push_back({text ? text : "", caption ? caption : ""});
}
int PlatUserPrimaryLanguage() { return g.language; }

PlatThread PlatThreadStart(void (*routine)()) {
    ThreadRecord* t = new ThreadRecord();
    t->thread = std::thread([t, routine] {
        currentThread = t;
        routine();
    });
    return (PlatThread)t;
}
void PlatThreadCancelAndJoin(PlatThread thread) {
    ThreadRecord* t = (ThreadRecord*)thread;
    {
        std::lock_guard<std::mutex> lock(mu);
        t->cancel = true;
        cv.notify_all();
    }
    t->thread.join();
    {
        std::lock_guard<std::mutex> lock(mu);
        if (t->busyOn) t->busyOn->readersBusy--;
        cv.notify_all();
    }
    delete t;
}

void PlatMakeDirectory(const char* path) { mkdir(path, 0755); }
void PlatRemoveDirectory(const char* path) { rmdir(path); }
bool PlatDeleteFile(const char* path) { return unlink(path) == 0; }
// The log file is a real file in the test's folder, written as the Linux backend writes
// it.
PlatHandle PlatLogOpen(const char* path) {
    int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return PLAT_NO_HANDLE;
    logOpens++;
    return fd;
}
bool PlatLogWrite(PlatHandle h, const char* text, size_t count) {
    logWrites++;
    return write((int)h, text, count) == (ssize_t)count;
}
long PlatLogReadAt(PlatHandle h, uint64_t offset, void* buffer, size_t count) {
    return (long)pread((int)h, buffer, count, (off_t)offset);
}
void PlatLogClose(PlatHandle h) {
    logCloses++;
    close((int)h);
}

long PlatWriteWholeFile(const char* path, const void* bytes, unsigned long count) {
    int fd = open(path, O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0) return -1;
    long n = (long)write(fd, bytes, count);
    close(fd);
    return n;
}

// Drive E is the directory drive_E of the working directory; without it there is no
// drive E, and writing to it fails.
bool PlatDriveFilePath(char letter, const char* name, char* path, size_t capacity) {
    int n = snprintf(path, capacity, "drive_%c/%s", letter, name);
    return n >= 0 && (size_t)n < capacity;
}

bool PlatFontRemove(const char*) {
    g.fontCalls.push_back("remove");
    if (g.fontRegistrations == 0) return false;
    g.fontRegistrations--;
    return true;
}
void PlatFontAdd(const char*) {
    g.fontCalls.push_back("add");
    g.fontRegistrations++;
}
void PlatFontCreate() { g.fontCalls.push_back("create"); }
void PlatFontDelete() { g.fontCalls.push_back("delete"); }
void PlatWindowShowAndSize() {}
void PlatWindowClose() { g.closeRequested = true; }

bool PlatDeviceListOpen() {
    Advance(DEVICE_LIST_COST_US);
    g.listOpens++;
    if (g.listFails) return false;
    std::lock_guard<std::mutex> lock(mu);
    g.listing.clear();
    for (Interface* i : g.interfaces)
        if (i->plugged) g.listing.push_back(i->path);
    return true;
}
PlatDeviceResult PlatDeviceListPath(int index, char* path, size_t capacity) {
    if (index < 0 || (size_t)index >= g.listing.size()) return PLAT_DEVICE_END;
    auto failure = g.detailFailures.find(index);
    if (failure != g.detailFailures.end()) return failure->second;
    snprintf(path, capacity, "%s", g.listing[(size_t)index].c_str());
    return PLAT_DEVICE_OK;
}
void PlatDeviceListClose() { g.listing.clear(); }

PlatHandle PlatPipeOpen(const char* name) {
    std::lock_guard<std::mutex> lock(mu);
    g.pipeOpens++;
    std::string s = name;
    size_t cut = s.rfind(PLAT_PATH_SEPARATOR);
    if (cut == std::string::npos) return PLAT_NO_HANDLE;
    std::string leaf = s.substr(cut + 1);
    Interface* i = FindInterface(s.substr(0, cut));
    if (i == nullptr || !i->plugged || (leaf != "PIPE00" && leaf != "PIPE01")) return PLAT_NO_HANDLE;
    bool in = leaf == "PIPE01";
    if (in && i->broken) return PLAT_NO_HANDLE;
    PlatHandle h = g.nextHandle++;
    g.pipes[h] = Pipe{i, in, true};
    return h;
}

long PlatPipeRead(PlatHandle h, void* buffer, unsigned long count) {
    std::unique_lock<std::mutex> lock(mu);
    ThreadRecord* self = currentThread;
    if (self && self->busyOn) {
        self->busyOn->readersBusy--;
        self->busyOn = nullptr;
        cv.notify_all();
    }
    auto it = g.pipes.find(h);
    if (it == g.pipes.end() || !it->second.in) return -1;
    Interface* iface = it->second.iface;
    iface->readersWaiting++;
    long result = -1;
    for (;;) {
        bool cancelled = self && self->cancel;
        if (cancelled || !g.pipes[h].open || !iface->plugged) break;
        if (!iface->toHost.empty()) {
            size_t n = std::min<size_t>(count, iface->toHost.size());
            memcpy(buffer, iface->toHost.data(), n);
            iface->toHost.erase(iface->toHost.begin(), iface->toHost.begin() + (long)n);
            if (self) {
                self->busyOn = iface;
                iface->readersBusy++;
            }
            result = (long)n;
            break;
        }
        cv.wait(lock);
    }
    iface->readersWaiting--;
    cv.notify_all();
    return result;
}

// A write to a device that has stopped reading blocks until the write limit or the
// first close request posted within it, whichever comes first, and then fails.
static long StalledWrite() {
    uint64_t end = g.now + (uint64_t)PLAT_PIPE_WRITE_LIMIT_MS * 1000;
    for (const PendingMessage& m : g.messages)
        if (m.close && m.at < end) end = std::max(m.at, g.now);
    g.stalledWrites++;
    g.stalledUs += end - g.now;
    Advance(end - g.now);
    return -1;
}

long PlatPipeWrite(PlatHandle h, const void* bytes, unsigned long count) {
    VirtualDevice* device = nullptr;
    bool stalled = false;
    {
        std::lock_guard<std::mutex> lock(mu);
        auto it = g.pipes.find(h);
        if (it == g.pipes.end() || it->second.in || !it->second.open) return -1;
        if (!it->second.iface->plugged) return -1;
        device = it->second.iface->device;
        stalled = it->second.iface->stalled;
    }
    if (stalled) return StalledWrite();
    if (device) device->HostWrote(g.now, (const uint8_t*)bytes, count);
    return (long)count;
}

void PlatPipeClose(PlatHandle h) {
    std::lock_guard<std::mutex> lock(mu);
    auto it = g.pipes.find(h);
    if (it != g.pipes.end()) it->second.open = false;
    cv.notify_all();
}

void PlatSettingRead(const char*, const char* section, const char* key, const char* def,
                     char* buffer, size_t capacity) {
    std::lock_guard<std::mutex> lock(mu);  // the receive thread may write settings
    auto it = g.settings.find(std::string(section) + "/" + key);
    snprintf(buffer, capacity, "%s", it == g.settings.end() ? def : it->second.c_str());
}
bool PlatSettingReadUserCopy(const char*, const char* section, const char* key, char* buffer,
                             size_t capacity) {
    std::lock_guard<std::mutex> lock(mu);
    auto it = g.userCopy.find(std::string(section) + "/" + key);
    snprintf(buffer, capacity, "%s", it == g.userCopy.end() ? "" : it->second.c_str());
    return it != g.userCopy.end();
}
bool PlatSettingWrite(const char*, const char* section, const char* key, const char* value) {
    std::lock_guard<std::mutex> lock(mu);
    if (g.settingsReadOnly) return false;
    g.settings[std::string(section) + "/" + key] = value;
    return true;
}

void PlatLanguageDialog() {
    auto view = [] { g.dialogViews.push_back({LanguageDialogFreeText, LanguageDialogListText}); };
    LanguageDialogOpen();
    view();
    for (int id : g.dialogButtons) {
        bool close = LanguageDialogButton(id);
        view();
        if (close) return;
    }
    bool close = LanguageDialogButton(IDC_LANGUAGE_OK);
    view();
    if (!close) g.dialogStuck = true;
}

// The operator's script against virtual time: the timer every 200 ms, each step at its
// time, the devices' replies in between (recorded as they are shown).
void PlatMacDialog() {
    const uint64_t TIMER_US = 200000;
    std::vector<MacStep> script = g.macScript;
    bool hasExit = false;
    for (const MacStep& s : script) hasExit = hasExit || s.action == MacAction::Exit;
    if (!hasExit) script.push_back({script.empty() ? 0 : script.back().atUs + 1000000, MacAction::Exit, ""});
    g.macOpenings++;
    g.macOpenedAt = g.now;
    g.macField.clear();
    g.macViews.clear();
    macChanged = false;
    MacDialogInit();
    RecordMacView(true);
    macOpen = true;
    uint64_t nextTick = g.macOpenedAt + TIMER_US;
    for (size_t step = 0; step < script.size();) {
        uint64_t stepAt = g.macOpenedAt + script[step].atUs;
        uint64_t target = std::min(nextTick, stepAt);
        if (target > g.now) Advance(target - g.now);
        if (g.now >= nextTick) {
            MacDialogTimer();
            nextTick += TIMER_US;
        }
        if (g.now < stepAt) continue;
        const MacStep& s = script[step++];
        bool close = false;
        if (s.action == MacAction::Type) g.macField = s.text;
        if (s.action != MacAction::Type)
            close = MacDialogCommand(s.action == MacAction::Ok ? IDC_MAC_OK : IDC_MAC_EXIT,
                                     g.macField.c_str());
        RecordMacView(true);
        if (close) break;
    }
    macOpen = false;
}

void PlatMacDialogChanged() {
    if (macOpen) macChanged = true;
}

// The folder is checked by the Linux backend's own rules (record_files.cpp).
PlatFolderState PlatStateFolder(char* path, size_t capacity) {
    if (g.stateFolder.empty()) return PLAT_FOLDER_NONE;
    snprintf(path, capacity, "%s", g.stateFolder.c_str());
    return PlatRecordFolder(path);
}

// The machine's clock reads 2026-12-09 14:30:12, an hour ahead of UTC, at Reset, and
// moves with virtual time.
void PlatGetLocalTime(PlatLocalTime* now) {
    const time_t START_LOCAL = 1796826612;  // 2026-12-09 14:30:12 as if it were UTC
    time_t t = START_LOCAL + (time_t)(g.now / 1000000);
    struct tm f;
    gmtime_r(&t, &f);
    *now = {f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec, 60};
}

namespace testbed {
void SetStateFolder(const std::string& path) { g.stateFolder = path; }
}  // namespace testbed

void PlatShowProgress(const PlatProgress* p) {
    if (!OnMainThread()) {
        fprintf(stderr, "testbed: progress reported from another thread\n");
        return;
    }
    g.progress.push_back({g.now, p->state, p->phase, p->label ? p->label : "", p->timed, p->done, p->total});
}
