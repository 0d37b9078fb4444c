// pipes.cpp - discovery of a device among the kqusb driver's interfaces, its two
// pipes, the receive thread with its ring, and the traffic lines of the log.
#include <cstdio>
#include <cstring>

#include "link/link.h"
#include "base/screen.h"
#include "base/base.h"
#include "base/waits.h"
#include "record/record.h"

const UsbIdentity ID_CONSOLE = {0x1D2B, 0x0001};
const UsbIdentity ID_CONSOLE_SECOND = {0x1D2B, 0x0003};
const UsbIdentity ID_CONSOLE_LAST = {0xFFFF, 0x0001};
const UsbIdentity ID_BOOT_MODE = {0x045B, 0x0025};

std::atomic<PlatHandle> OutPipe{PLAT_NO_HANDLE};
std::atomic<PlatHandle> InPipe{PLAT_NO_HANDLE};

// The driver publishes at most this many interfaces that we look at (0 to 30).
static const int MAX_INTERFACE_INDEX = 30;
static const uint32_t READ_BLOCK = 256;
static const size_t DEVICE_PATH_CAPACITY = 1024;

static void ClosePipe(std::atomic<PlatHandle>* pipe) {
    PlatHandle h = pipe->exchange(PLAT_NO_HANDLE);
    if (h != PLAT_NO_HANDLE) PlatPipeClose(h);
}

void ClosePipes() {
    ClosePipe(&OutPipe);
    ClosePipe(&InPipe);
}

static void ReportDiscoveryFailure(const char* step) {
    ScreenPrint("\n%s\n", step);
    ClosePipes();
}

// Opens "<path>\PIPE00" and "<path>\PIPE01"; false (after "CreateFile") when either fails.
static bool OpenPipesOf(const char* path) {
    char name[DEVICE_PATH_CAPACITY + 16];
    snprintf(name, sizeof name, "%s%cPIPE00", path, PLAT_PATH_SEPARATOR);
    OutPipe = PlatPipeOpen(name);
    snprintf(name, sizeof name, "%s%cPIPE01", path, PLAT_PATH_SEPARATOR);
    InPipe = PlatPipeOpen(name);
    if (OutPipe == PLAT_NO_HANDLE || InPipe == PLAT_NO_HANDLE) {
        ReportDiscoveryFailure("CreateFile");
        return false;
    }
    PlatLinkSignal();  // the receive thread rests until the pipes are there
    return true;
}

void OpenConsolePipes(uint16_t vendor, uint16_t product) {
    char match[32];
    snprintf(match, sizeof match, "vid_%04x&pid_%04x", vendor, product);
    if (!PlatDeviceListOpen()) {
        ReportDiscoveryFailure("SetupDiGetClassDevs");
        return;
    }
    char path[DEVICE_PATH_CAPACITY];
    for (int index = 0; index <= MAX_INTERFACE_INDEX && OutPipe == PLAT_NO_HANDLE; index++) {
        PlatDeviceResult r = PlatDeviceListPath(index, path, sizeof path);
        if (r == PLAT_DEVICE_END) {
            ClosePipes();
            break;
        }
        if (r != PLAT_DEVICE_OK) {
            ReportDiscoveryFailure(r == PLAT_DEVICE_NO_MEMORY ? "malloc"
                                                              : "SetupDiGetDeviceInterfaceDetail");
            break;
        }
        // The driver names the IDs in lower case; the match is a plain, case-sensitive
        // substring test, and the first interface whose pipes open wins.
        if (strstr(path, match) == nullptr) continue;
        if (!OpenPipesOf(path)) break;
        RecordInterface(vendor, product, path);
    }
    PlatDeviceListClose();
}

// One traffic line: head, "%02x " per byte, newline, in one log entry.
static void LogTraffic(const char* direction, const uint8_t* bytes, uint32_t count) {
    static const char hex[] = "0123456789abcdef";
    char stackLine[64 + 3 * 300];
    char* line = stackLine;
    size_t need = 64 + 3 * (size_t)count;
    char* heap = nullptr;
    if (need > sizeof stackLine) line = heap = new char[need];
    int n = snprintf(line, 64, "Time:%08x %s Nbytes:%u ", MicroClock(), direction, count);
    for (uint32_t i = 0; i < count; i++) {
        line[n++] = hex[bytes[i] >> 4];
        line[n++] = hex[bytes[i] & 15];
        line[n++] = ' ';
    }
    line[n++] = '\n';
    line[n] = 0;
    LogAppend("%s", line);
    delete[] heap;
}

void PipeWrite(const uint8_t* bytes, uint32_t count) {
    if (OutPipe == PLAT_NO_HANDLE) return;
    LogTraffic("Mesa<-", bytes, count);
    uint32_t done = 0;
    while (done < count) {
        PlatHandle h = OutPipe;
        if (h == PLAT_NO_HANDLE) return;  // closed: the rest is dropped silently
        long written = PlatPipeWrite(h, bytes + done, count - done);
        if (written < 0) {
            ClosePipes();
            return;
        }
        done += (uint32_t)written;
    }
}

// ---- Receive thread ------------------------------------------------------------------------
static PlatThread LinkThread = 0;
static std::atomic<bool> LinkStop{false};

bool LinkThreadStopping() { return LinkStop; }

long LinkThreadRead(uint8_t* block, uint32_t capacity) {
    LogMarkReceiveThread();
    while (!LinkStop) {
        PlatHandle h = InPipe;
        if (h == PLAT_NO_HANDLE) {
            // The link is closed: sleep until OpenConsolePipes opens it or we are told
            // to stop, however long the operator reads a prompt meanwhile.
            PlatLinkWait();
            continue;
        }
        long n = PlatPipeRead(h, block, capacity);
        if (n >= 0) return n;
        if (LinkStop) break;  // our own cancel, not a broken pipe
        ClosePipes();
    }
    return -1;
}

// LinkThreadStart has emptied the ring before this thread began, so the reader never
// races the reset.
void ReceiveThread() {
    uint8_t block[READ_BLOCK];
    for (long n; (n = LinkThreadRead(block, READ_BLOCK)) >= 0;) {
        if (n == 0) continue;
        LogTraffic("->PC", block, (uint32_t)n);
        RxRingStore(block, (uint32_t)n);
    }
}

void LinkThreadStart(void (*routine)()) {
    LinkThreadStop();
    RxTail = 0;
    RxHead = 0;
    LinkStop = false;
    LinkThread = PlatThreadStart(routine);
}

void LinkThreadStop() {
    if (LinkThread == 0) return;
    LinkStop = true;
    PlatThreadCancelAndJoin(LinkThread);
    LinkThread = 0;
}
