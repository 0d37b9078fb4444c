// system.cpp - clock, keyboard, process, threads, files and settings on Windows.
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/win32/win32.h"

#include <shlobj.h>

// ---- Clock ----------------------------------------------------------------------------
uint64_t PlatCounterFrequency() {
    LARGE_INTEGER f;
    if (!QueryPerformanceFrequency(&f)) return 0;
    return (uint64_t)f.QuadPart;
}

uint64_t PlatCounterValue() {
    LARGE_INTEGER n;
    QueryPerformanceCounter(&n);
    return (uint64_t)n.QuadPart;
}

void PlatSleepMs(uint32_t ms) { Sleep(ms); }

// ---- Sleeping waits -----------------------------------------------------------------------
// An auto-reset event: a signal set before the wait begins ends it at once.
static HANDLE DataEvent = CreateEventA(NULL, FALSE, FALSE, NULL);

void PlatDataSignal() { SetEvent(DataEvent); }

// Windows counts waits in whole milliseconds and may end one late (WinMain asks for a
// 1 ms timer). The wait therefore sleeps whole milliseconds that end a millisecond
// before the deadline, and spends the rest looking at the event between time slices.
void PlatDataWait(uint32_t us) {
    DWORD ms = us >= 2000 ? us / 1000 - 1 : 0;
    if (WaitForSingleObject(DataEvent, ms) == WAIT_TIMEOUT && ms == 0) SwitchToThread();
}

// ---- The receive thread's rest while the link is closed ----------------------------------
// An auto-reset event: pipes opened before the thread lies down end its next wait.
static HANDLE LinkEvent = CreateEventA(NULL, FALSE, FALSE, NULL);

void PlatLinkSignal() { SetEvent(LinkEvent); }

// ---- Keyboard and process ------------------------------------------------------------------
// Only the "down now" bit: the "pressed since the last query" bit would let a press
// made before a prompt answer it.
bool PlatKeyDown(int vk) { return (GetAsyncKeyState(vk) & 0x8000) != 0; }

void PlatExitProcess(int code) { ExitProcess((UINT)code); }

int PlatUserPrimaryLanguage() { return PRIMARYLANGID(GetUserDefaultLangID()); }

// ---- Threads -----------------------------------------------------------------------------------
// A thread of PlatThreadStart carries a stop event. PlatPipeRead waits on it together
// with its read, so a blocked read ends as soon as the starter asks the thread to stop.
struct Win32Thread {
    HANDLE handle;
    HANDLE stop;
    void (*routine)();
};

// The stop event of the calling thread; NULL on the window thread.
static thread_local HANDLE CurrentStopEvent = NULL;

HANDLE Win32CurrentStopEvent() { return CurrentStopEvent; }

static DWORD WINAPI ThreadEntry(LPVOID parameter) {
    Win32Thread* t = (Win32Thread*)parameter;
    CurrentStopEvent = t->stop;
    t->routine();
    return 0;
}

// The thread's stop event (set by PlatThreadCancelAndJoin and kept set) ends the wait too.
void PlatLinkWait() {
    HANDLE waits[2] = {LinkEvent, CurrentStopEvent};
    WaitForMultipleObjects(CurrentStopEvent != NULL ? 2 : 1, waits, FALSE, INFINITE);
}

PlatThread PlatThreadStart(void (*routine)()) {
    Win32Thread* t = (Win32Thread*)calloc(1, sizeof(Win32Thread));
    if (t == NULL) return 0;
    t->routine = routine;
    t->stop = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (t->stop != NULL) t->handle = CreateThread(NULL, 0, ThreadEntry, t, 0, NULL);
    if (t->handle == NULL) {
        if (t->stop != NULL) CloseHandle(t->stop);
        free(t);
        return 0;
    }
    return (PlatThread)t;
}

void PlatThreadCancelAndJoin(PlatThread thread) {
    Win32Thread* t = (Win32Thread*)thread;
    if (t == NULL) return;
    SetEvent(t->stop);
    // The thread may be updating a dialog control at this moment, which waits for the
    // window thread: keep handling messages sent to this thread until it has ended.
    while (MsgWaitForMultipleObjects(1, &t->handle, FALSE, INFINITE, QS_SENDMESSAGE) ==
           WAIT_OBJECT_0 + 1) {
        MSG msg;
        PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    CloseHandle(t->handle);
    CloseHandle(t->stop);
    free(t);
}

// ---- Files and directories ----------------------------------------------------------------
const char PLAT_PATH_SEPARATOR = '\\';

void PlatMakeDirectory(const char* path) { CreateDirectoryA(path, NULL); }

void PlatRemoveDirectory(const char* path) { RemoveDirectoryA(path); }

bool PlatDeleteFile(const char* path) { return DeleteFileA(path) != 0; }

long PlatWriteWholeFile(const char* path, const void* bytes, unsigned long count) {
    HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, NULL);
    if (f == INVALID_HANDLE_VALUE) return -1;
    DWORD written = 0;
    WriteFile(f, bytes, (DWORD)count, &written, NULL);
    CloseHandle(f);
    return (long)written;
}

bool PlatDriveFilePath(char letter, const char* name, char* path, size_t capacity) {
    int n = snprintf(path, capacity, "%c:\\%s", letter, name);
    return n >= 0 && (size_t)n < capacity;
}

// ---- Settings ------------------------------------------------------------------------------------
void PlatSettingRead(const char* file, const char* section, const char* key, const char* def,
                     char* buffer, size_t capacity) {
    if (capacity == 0) return;
    GetPrivateProfileStringA(section, key, def, buffer, (DWORD)capacity, file);
}

// The private-profile writer fails on a read-only kq.ini or Windows directory (the
// manifest's administrator rights leave Windows no per-user copy to redirect to) and
// on a full disk; the caller must hear of it.
bool PlatSettingWrite(const char* file, const char* section, const char* key, const char* value) {
    return WritePrivateProfileStringA(section, key, value, file) != 0;
}

// Without administrator rights, Windows (Vista and later, for a 32-bit program without
// an execution level in its manifest) sends writes to the Windows directory into the
// user's virtual store: C:\Windows\kq.ini becomes
// %LOCALAPPDATA%\VirtualStore\Windows\kq.ini. The copy is read by its full path, which
// nothing redirects.
bool PlatSettingReadUserCopy(const char* file, const char* section, const char* key, char* buffer,
                             size_t capacity) {
    if (capacity == 0) return false;
    buffer[0] = 0;
    char local[MAX_PATH], windows[MAX_PATH], path[2 * MAX_PATH + 32];
    if (SHGetFolderPathA(NULL, CSIDL_LOCAL_APPDATA, NULL, SHGFP_TYPE_CURRENT, local) != S_OK) return false;
    UINT n = GetWindowsDirectoryA(windows, sizeof windows);
    if (n == 0 || n >= sizeof windows) return false;
    const char* folder = windows[0] != 0 && windows[1] == ':' ? windows + 2 : windows;  // no drive
    int length = snprintf(path, sizeof path, "%s\\VirtualStore%s\\%s", local, folder, file);
    if (length < 0 || (size_t)length >= sizeof path) return false;
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return false;
    GetPrivateProfileStringA(section, key, "", buffer, (DWORD)capacity, path);
    return buffer[0] != 0;
}
