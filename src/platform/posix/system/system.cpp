// system.cpp - clock, sleep, threads, files, the end of the process and the user's
// language.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix.h"

const char PLAT_PATH_SEPARATOR = '/';

// ---- Clock -------------------------------------------------------------------------------
uint64_t PlatCounterFrequency() { return 1000000000ull; }

uint64_t PlatCounterValue() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000ull + (uint64_t)t.tv_nsec;
}

void PlatSleepMs(uint32_t ms) {
    timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);  // an early wake-up (the stop signal) is fine
}

// ---- Process -------------------------------------------------------------------------------
// The process ends inside a command (a close at a prompt or in a box, a fatal error):
// the command's last lines stay on the shell's screen. A close that waited for an
// update's end says with the exit code how the update ended.
void PlatExitProcess(int code) {
    TerminalEnd();  // give the operator a usable terminal back whatever happens
    TerminalPrintScreen();
    if (CloseWaitedForWork()) code = WorkSucceeded() ? 0 : 1;
    fflush(nullptr);
    _exit(code);
}

// LC_ALL, else LC_MESSAGES, else LANG: the first that is set and not empty decides.
int PlatUserPrimaryLanguage() {
    static const char* const names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* name : names) {
        const char* value = getenv(name);
        if (value == nullptr || value[0] == 0) continue;
        return strncmp(value, "es", 2) == 0 ? 0x0A : 0x09;
    }
    return 0x09;
}

// ---- Threads -------------------------------------------------------------------------------
static void* ThreadMain(void* routine) {
    reinterpret_cast<void (*)()>(routine)();
    return nullptr;
}

PlatThread PlatThreadStart(void (*routine)()) {
    // The thread must not take the close signals or the terminal's resize: those
    // belong to the window thread, whose waits they end.
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    sigaddset(&block, SIGWINCH);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    pthread_t t;
    int r = pthread_create(&t, nullptr, ThreadMain, reinterpret_cast<void*>(routine));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return r == 0 ? (PlatThread)t : 0;
}

void PlatThreadCancelAndJoin(PlatThread thread) {
    if (thread == 0) return;
    pthread_t t = (pthread_t)thread;
    // SIGUSR1 has a handler without SA_RESTART, so a blocking read (or a sleep) in the
    // thread returns early and the routine sees its stop flag. The signal may land just
    // before the read starts, so it is sent again until the thread has ended. A thread
    // resting in PlatLinkWait is woken by the link's signal, which is kept.
    PlatLinkSignal();
    for (;;) {
        UsbWakeReaders();  // a read from a USB console waits in libusb, not in read()
        pthread_kill(t, SIGUSR1);
        if (pthread_tryjoin_np(t, nullptr) == 0) return;
        PlatSleepMs(1);
    }
}

// ---- Files and directories ----------------------------------------------------------------
void PlatMakeDirectory(const char* path) { mkdir(path, 0755); }

void PlatRemoveDirectory(const char* path) { rmdir(path); }

bool PlatDeleteFile(const char* path) { return unlink(path) == 0; }

long PlatWriteWholeFile(const char* path, const void* bytes, unsigned long count) {
    int fd = open(path, O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    long done = 0;
    while ((unsigned long)done < count) {
        ssize_t n = write(fd, (const char*)bytes + done, count - (unsigned long)done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    close(fd);
    return done;
}

// A drive letter has no meaning here: KQ_DRIVE_E=/media/usbstick names the directory
// where the stick of "drive E" is mounted; without it the letter's directory under
// /media (/media/e) is taken.
bool PlatDriveFilePath(char letter, const char* name, char* path, size_t capacity) {
    char variable[] = "KQ_DRIVE_?";
    variable[sizeof variable - 2] = (char)toupper((unsigned char)letter);
    const char* dir = getenv(variable);
    int n;
    if (dir != nullptr && dir[0] != 0)
        n = snprintf(path, capacity, "%s/%s", dir, name);
    else
        n = snprintf(path, capacity, "/media/%c/%s", (char)tolower((unsigned char)letter), name);
    return n >= 0 && (size_t)n < capacity;
}
