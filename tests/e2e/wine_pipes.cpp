// wine_pipes.cpp - the pipe and thread functions of the Windows backend under Wine,
// on Linux FIFOs such as the device simulators serve. Built by wine_smoke.sh from the
// backend's own sources together with this file; the FIFOs are made and fed from the
// Linux side by the script.
//
//   wine_pipes DIR      DIR holds the FIFOs "in" (a line "hello" is written into it
//                       after about 0.3 s, then held open) and "out" (read by the
//                       script)
//
// Prints one "PASS name" or "FAIL name" line per check.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

static int Failures = 0;
static void Check(bool ok, const char* name) {
    printf("%s %s\n", ok ? "PASS" : "FAIL", name);
    if (!ok) Failures++;
}

static PlatHandle ReaderPipe = PLAT_NO_HANDLE;
static volatile long ReaderResult = -99;
static void Reader() {
    char block[256];
    ReaderResult = PlatPipeRead(ReaderPipe, block, sizeof block);
}

// Starts Reader on a thread and lets it block in its read.
static PlatThread StartBlockedReader(PlatHandle h) {
    ReaderPipe = h;
    ReaderResult = -99;
    PlatThread t = PlatThreadStart(Reader);
    Sleep(300);
    return t;
}

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    char in[MAX_PATH], out[MAX_PATH];
    snprintf(in, sizeof in, "%s\\in", argv[1]);
    snprintf(out, sizeof out, "%s\\out", argv[1]);

    PlatHandle h = PlatPipeOpen(in);
    PlatHandle w = PlatPipeOpen(out);
    Check(h != PLAT_NO_HANDLE && w != PLAT_NO_HANDLE, "pipes open as files");
    if (h == PLAT_NO_HANDLE || w == PLAT_NO_HANDLE) return 1;

    char block[256] = "";
    long n = PlatPipeRead(h, block, sizeof block);
    Check(n == 6 && memcmp(block, "hello\n", 6) == 0, "a read returns the bytes the device sent");

    Check(PlatPipeWrite(w, "\x80\x02\x7e", 3) == 3, "a write sends all its bytes");

    // Stopping the thread wakes its blocked read; the read reports a failure.
    PlatThread t = StartBlockedReader(h);
    Check(ReaderResult == -99, "the read blocks while the device is silent");
    DWORD start = GetTickCount();
    PlatThreadCancelAndJoin(t);
    DWORD took = GetTickCount() - start;
    Check(ReaderResult == -1, "a stopped read returns -1");
    Check(took < 1000, "the stopped thread ends within a second");

    // Closing the pipe under a blocked read (the other thread's ClosePipes) ends it.
    t = StartBlockedReader(h);
    PlatPipeClose(h);
    for (int i = 0; i < 100 && ReaderResult == -99; i++) Sleep(10);
    Check(ReaderResult == -1, "closing the pipe under a blocked read makes it return -1");
    PlatThreadCancelAndJoin(t);

    Check(PlatPipeOpen("Z:\\nonexistent\\PIPE00") == PLAT_NO_HANDLE, "a missing pipe gives -1");
    PlatPipeClose(w);
    return Failures ? 1 : 0;
}
