// logfile.cpp - the log file: one handle for the run, appended to with one WriteFile
// per entry.

#include "platform/platform.h"
#include "platform/win32/win32.h"

// Append access without write access: every write goes to the end of the file as it is
// at that moment. Read access too, for the service record, which copies each job's
// stretch of the log through this handle.
// Shared for reading, writing and deletion, so a technician can look at the log while
// the program runs, and so that an entry of another program or a scanner holding the
// file never keeps ours out.
PlatHandle PlatLogOpen(const char* path) {
    HANDLE f = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    return f == INVALID_HANDLE_VALUE ? PLAT_NO_HANDLE : (PlatHandle)f;
}

// The file is text as the C runtime writes it in text mode: every "\n" of an entry
// becomes "\r\n". The two threads take turns for the write itself, so an entry is never
// split by the other thread's, whatever the file system makes of appends.
static SRWLOCK LogWriteLock = SRWLOCK_INIT;
static const size_t LOG_STACK_TEXT = 16384;

bool PlatLogWrite(PlatHandle h, const char* text, size_t count) {
    size_t lines = 0;
    for (size_t i = 0; i < count; i++) lines += text[i] == '\n';
    size_t size = count + lines;
    char stackText[LOG_STACK_TEXT];
    char* stored = size <= sizeof stackText ? stackText : new char[size];
    for (size_t i = 0, o = 0; i < count; i++) {
        if (text[i] == '\n') stored[o++] = '\r';
        stored[o++] = text[i];
    }
    DWORD written = 0;
    AcquireSRWLockExclusive(&LogWriteLock);
    BOOL ok = WriteFile((HANDLE)h, stored, (DWORD)size, &written, NULL);
    ReleaseSRWLockExclusive(&LogWriteLock);
    if (stored != stackText) delete[] stored;
    return ok && written == size;
}

void PlatLogClose(PlatHandle h) { CloseHandle((HANDLE)h); }

// A read at an offset moves the handle's file pointer, which appends never use: they go
// to the end of the file whatever the pointer says.
long PlatLogReadAt(PlatHandle h, uint64_t offset, void* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        OVERLAPPED at = {};
        at.Offset = (DWORD)(offset + done);
        at.OffsetHigh = (DWORD)((offset + done) >> 32);
        DWORD n = 0;
        if (!ReadFile((HANDLE)h, (char*)buffer + done, (DWORD)(count - done), &n, &at))
            return GetLastError() == ERROR_HANDLE_EOF ? (long)done : -1;
        if (n == 0) break;
        done += n;
    }
    return (long)done;
}
