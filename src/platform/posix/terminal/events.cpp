// events.cpp - keys and signals: the terminal's input becomes the program's key state
// and its queue of window messages.
//
// A terminal reports key presses, never releases. A key read from the terminal
// therefore counts as held down from the moment it is read for KEY_HOLD_MS, then as
// up; that is short enough that a wait which first wants the key released (one press
// answers one prompt) sees the release. A press that no poll has looked at yet stays
// down until one does, as a person's finger stays on the key until the program looks:
// the monitors look at [ENTER] once per cycle, and a cycle on a busy machine may last
// longer than the hold, while the message pump has already read the key.
// Every key read is also queued as a message; F10 and Alt with a key come out as
// system keys, which the waits drop, so the menu only ever opens while idle.
#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix.h"

static const uint64_t KEY_HOLD_NS = (uint64_t)KEY_HOLD_MS * 1000 * 1000;
static const int QUEUE_CAPACITY = 256;

// Time each virtual-key code was last read; 0 = never. Seen: a poll has looked at that
// press (or a box took it as an event).
static uint64_t KeyReadAt[256];
static bool KeySeen[256];

// A ring of pending events; the terminal thread alone touches it.
static TermEvent Queue[QUEUE_CAPACITY];
static int QueueHead, QueueCount;

// Set by the signal handlers; taken by TakeEvent.
static volatile sig_atomic_t CloseSignalled = 0;
static volatile sig_atomic_t HungUp = 0;
static bool CloseAsked = false;
static bool QuitPosted = false;
// Set when the terminal reported a new size; taken by TakeEvent or the paint step.
static bool ResizePending = false;

static uint64_t NowNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000ull + (uint64_t)t.tv_nsec;
}

static void Enqueue(TermEventType type, int vk, bool shift = false) {
    if (QueueCount == QUEUE_CAPACITY) return;  // typed far ahead: drop the newest
    Queue[(QueueHead + QueueCount) % QUEUE_CAPACITY] = TermEvent{type, vk, shift};
    QueueCount++;
}

// The wake-up descriptor: the signal handlers write a byte into this pipe, and the
// window thread's sleeps watch it beside the terminal, so a close request or a resize
// that comes just before a sleep begins still ends it.
static int WakePipe[2] = {-1, -1};

static void WakeWindowThread() {
    if (WakePipe[1] < 0) return;
    int saved = errno;
    char byte = 1;
    ssize_t ignored = write(WakePipe[1], &byte, 1);  // full: a wake-up is pending anyway
    (void)ignored;
    errno = saved;
}

static void OnCloseSignal(int signal) {
    CloseSignalled = 1;
    if (signal == SIGHUP) HungUp = 1;
    WakeWindowThread();
}
static void OnWakeSignal(int) {}

// curses keeps its own SIGWINCH handler (it turns the signal into KEY_RESIZE); ours
// calls it and then wakes the window thread.
static struct sigaction CursesResize;
static void OnResizeSignal(int signal, siginfo_t* info, void* context) {
    if (CursesResize.sa_flags & SA_SIGINFO) {
        if (CursesResize.sa_sigaction != nullptr) CursesResize.sa_sigaction(signal, info, context);
    } else if (CursesResize.sa_handler != SIG_DFL && CursesResize.sa_handler != SIG_IGN) {
        CursesResize.sa_handler(signal);
    }
    WakeWindowThread();
}

void WatchResizeSignal() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    if (sigaction(SIGWINCH, nullptr, &CursesResize) != 0) return;
    sa.sa_sigaction = OnResizeSignal;
    sa.sa_mask = CursesResize.sa_mask;
    sa.sa_flags = SA_SIGINFO | (CursesResize.sa_flags & SA_RESTART);
    sigaction(SIGWINCH, &sa, nullptr);
}

void InstallSignalHandlers() {
    if (WakePipe[0] < 0 && pipe2(WakePipe, O_CLOEXEC | O_NONBLOCK) != 0) WakePipe[0] = WakePipe[1] = -1;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = OnCloseSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // The receive thread is woken out of a blocking read with SIGUSR1. Without
    // SA_RESTART the read returns EINTR instead of going back to sleep.
    sa.sa_handler = OnWakeSignal;
    sigaction(SIGUSR1, &sa, nullptr);
    // A write to a pipe whose device has gone fails with EPIPE; it must not kill us.
    signal(SIGPIPE, SIG_IGN);
}

// The virtual-key code of a typed character, 0 when it has none we track.
static int VirtualKeyOfChar(wint_t ch) {
    if (ch >= 'a' && ch <= 'z') return (int)(ch - 'a' + 'A');
    if ((ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == ' ') return (int)ch;
    if (ch == '\n' || ch == '\r') return 13;
    if (ch == 27) return VK_ESCAPE;
    if (ch == '\t') return 9;
    if (ch == 8 || ch == 127) return VK_BACK;
    return 0;
}

static int VirtualKeyOfFunctionKey(wint_t key) {
    switch (key) {
    case KEY_ENTER: return 13;
    case KEY_LEFT: return 37;
    case KEY_UP: return VK_UP;
    case KEY_RIGHT: return 39;
    case KEY_DOWN: return VK_DOWN;
    case KEY_BACKSPACE: return VK_BACK;
    case KEY_DC: return VK_DELETE;
    case KEY_HOME: return VK_HOME;
    case KEY_END: return VK_END;
    default: return 0;
    }
}

// The moving keys with Shift held, which select in an edit field.
static int VirtualKeyOfShiftedKey(wint_t key) {
    switch (key) {
    case KEY_SLEFT: return 37;
    case KEY_SRIGHT: return 39;
    case KEY_SHOME: return VK_HOME;
    case KEY_SEND: return VK_END;
    default: return 0;
    }
}

static void KeyRead(int vk, bool shift = false) {
    if (vk > 0 && vk < 256) KeyReadAt[vk] = NowNs(), KeySeen[vk] = false;
    Enqueue(TERM_EVENT_KEY, vk, shift);
}

void KeyTaken(int vk) {
    if (vk > 0 && vk < 256) KeySeen[vk] = true;
}

// One character after an Escape: Alt with that key. Only letters and digits count.
static bool AltKey(wint_t ch) {
    int vk = VirtualKeyOfChar(ch);
    if (vk == 0 || vk == 13 || vk == ' ' || vk == VK_ESCAPE) return false;
    Enqueue(TERM_EVENT_SYSTEM_KEY, vk);
    return true;
}

// Keys typed before a dialog or box appeared (an [ENTER] pressed while "Connecting..."
// showed) were meant for something else: whether already read into the queue or still
// waiting in the terminal, they are dropped. WaitKey needs no such help, as it wants
// the key released before it takes a press.
void DiscardTypeAhead() {
    ReadPendingInput();
    QueueHead = QueueCount = 0;  // the queue holds typed keys only
    memset(KeyReadAt, 0, sizeof KeyReadAt);
    memset(KeySeen, 0, sizeof KeySeen);
}

void ReadPendingInput() {
    if (!OnTerminalThread()) return;
    wint_t ch;
    for (;;) {
        int r = get_wch(&ch);
        if (r == ERR) return;
        if (r == KEY_CODE_YES) {
            if (ch == KEY_RESIZE)
                ResizePending = true;
            else if (ch == KEY_F(10))
                Enqueue(TERM_EVENT_SYSTEM_KEY, VK_F10);
            else if (VirtualKeyOfFunctionKey(ch) != 0)
                KeyRead(VirtualKeyOfFunctionKey(ch));
            else if (VirtualKeyOfShiftedKey(ch) != 0)
                KeyRead(VirtualKeyOfShiftedKey(ch), true);
            continue;
        }
        if (ch == 27) {
            // Alt+key arrives as Escape and the key, both at once.
            wint_t next;
            int r2 = get_wch(&next);
            if (r2 == OK && AltKey(next)) continue;
            KeyRead(VK_ESCAPE);
            if (r2 == OK) KeyRead(VirtualKeyOfChar(next));
            if (r2 == KEY_CODE_YES && next == KEY_RESIZE) ResizePending = true;
            continue;
        }
        KeyRead(VirtualKeyOfChar(ch));
    }
}

// Set when a look at a key found it down only because no poll had seen that press yet,
// its hold being over: the next look finds it up, with no input and no timer to wake the
// wait in between, so the next sleep must not begin.
static bool ReleaseDue = false;

bool PlatKeyDown(int vk) {
    // The terminal is gone: no key can ever come. A wait that pumps would end at its
    // next message; one that only polls keys (the drive letter) would spin forever.
    if (HungUp) CloseFromModal();
    ReadPendingInput();
    if (vk <= 0 || vk >= 256 || KeyReadAt[vk] == 0) return false;
    bool withinHold = NowNs() - KeyReadAt[vk] < KEY_HOLD_NS;
    if (!withinHold && !KeySeen[vk]) ReleaseDue = true;
    bool held = withinHold || !KeySeen[vk];
    KeySeen[vk] = true;
    return held;
}

void RequestClose() { CloseAsked = true; }

bool CloseRequested() { return CloseAsked || CloseSignalled; }

void PostQuit() { QuitPosted = true; }

bool TakeResize() {
    bool pending = ResizePending;
    ResizePending = false;
    return pending;
}

bool TakeEvent(TermEvent* event, bool forBox) {
    ReadPendingInput();
    if (CloseRequested()) {
        CloseAsked = false;
        CloseSignalled = 0;
        *event = TermEvent{TERM_EVENT_CLOSE, 0};
        return true;
    }
    if (TakeResize()) {
        *event = TermEvent{TERM_EVENT_RESIZE, 0};
        return true;
    }
    if (QuitPosted) {
        *event = TermEvent{TERM_EVENT_QUIT, 0};
        return true;
    }
    if (QueueCount == 0) return false;
    *event = Queue[QueueHead];
    QueueHead = (QueueHead + 1) % QUEUE_CAPACITY;
    QueueCount--;
    if (forBox && event->type == TERM_EVENT_KEY) KeyTaken(event->vk);
    return true;
}

// Sleeps until the terminal has input, a signal came (its handler wrote to the wake-up
// descriptor, or it broke the poll with EINTR) or ms milliseconds passed (-1: no limit).
static void SleepOnTerminal(int ms) {
    pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {WakePipe[0], POLLIN, 0}};
    poll(p, WakePipe[0] >= 0 ? 2 : 1, ms);
    char drain[64];
    if (WakePipe[0] >= 0)
        while (read(WakePipe[0], drain, sizeof drain) > 0) {
        }
}

// The terminal's input, the close signals and the end of a key's hold end the sleep;
// queued events do not, since a wait that is not pumping (a key still held) must not
// spin on them. The hold's timer runs only while a key counts as held.
void PlatInputWait(uint32_t us) {
    if (ReleaseDue) {
        ReleaseDue = false;
        return;
    }
    int ms = us == PLAT_WAIT_FOREVER ? -1 : (int)((us + 999) / 1000);
    int hold = MsUntilHoldEnds(KeyReadAt, 256, NowNs());
    if (hold >= 0 && (ms < 0 || hold < ms)) ms = hold;
    SleepOnTerminal(ms);
}

void WaitForInput(int ms) {
    if (CloseRequested() || QuitPosted || ResizePending || QueueCount > 0) return;
    SleepOnTerminal(ms);
}
