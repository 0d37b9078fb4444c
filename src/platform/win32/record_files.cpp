// record_files.cpp - the service record's folder and files on Windows: %ProgramData%
// \Kqsfupdt, appended to with one WriteFile on a handle that has append access only,
// created with CREATE_NEW. Everything here is in Windows 2000 / XP and so in Windows 7.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/win32.h"

#include <sddl.h>
#include <shlobj.h>

static const char STATE_FOLDER_NAME[] = "Kqsfupdt";

// The folder is made so that every user of the PC may add to the files in it. Without
// this, ProgramData makes each file its creator's: the record started by one
// technician's account would be read-only for the next one, and his jobs would be lost.
// Builtin Users get modify rights on the folder and everything made in it, beside what
// the folder inherits from ProgramData.
static void MakeSharedFolder(const char* path) {
    PSECURITY_DESCRIPTOR sd = NULL;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;OICI;0x1301bf;;;BU)", SDDL_REVISION_1, &sd,
                                                             NULL)) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
        CreateDirectoryA(path, &sa);
        LocalFree(sd);
    }
    CreateDirectoryA(path, NULL);  // when the rights could not be built; fails if made
}

bool PlatStateFolder(char* path, size_t capacity) {
    char base[MAX_PATH];
    if (SHGetFolderPathA(NULL, CSIDL_COMMON_APPDATA, NULL, SHGFP_TYPE_CURRENT, base) != S_OK) {
        DWORD n = GetEnvironmentVariableA("ProgramData", base, sizeof base);
        if (n == 0 || n >= sizeof base) return false;
    }
    int n = snprintf(path, capacity, "%s\\%s", base, STATE_FOLDER_NAME);
    if (n < 0 || (size_t)n >= capacity) return false;
    MakeSharedFolder(path);
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Append access without write access: every WriteFile goes to the end of the file as it
// is at that moment, so the lines of two programs never overlap. Shared for everything,
// so another copy may append beside us and the old generation may be renamed away.
PlatHandle PlatAppendOpen(const char* path, bool mustBeNew, bool* created) {
    const DWORD access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    *created = false;
    for (int attempt = 0; attempt < 3; attempt++) {
        HANDLE f = CreateFileA(path, access, share, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (f != INVALID_HANDLE_VALUE) {
            *created = true;
            return (PlatHandle)f;
        }
        if (GetLastError() != ERROR_FILE_EXISTS || mustBeNew) return PLAT_NO_HANDLE;
        f = CreateFileA(path, access, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (f != INVALID_HANDLE_VALUE) return (PlatHandle)f;
        if (GetLastError() != ERROR_FILE_NOT_FOUND) return PLAT_NO_HANDLE;
        // removed between the two opens: try again
    }
    return PLAT_NO_HANDLE;
}

bool PlatAppendWrite(PlatHandle h, const void* bytes, size_t count) {
    DWORD written = 0;
    return WriteFile((HANDLE)h, bytes, (DWORD)count, &written, NULL) && written == count;
}

void PlatAppendClose(PlatHandle h) { CloseHandle((HANDLE)h); }

int64_t PlatFileSize(PlatHandle h) {
    LARGE_INTEGER size;
    return GetFileSizeEx((HANDLE)h, &size) ? (int64_t)size.QuadPart : -1;
}

long PlatReadFileAt(const char* path, uint64_t offset, void* buffer, size_t count) {
    HANDLE f = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE) return -1;
    long done = PlatLogReadAt((PlatHandle)f, offset, buffer, count);  // the same read at an offset
    CloseHandle(f);
    return done;
}

bool PlatRenameFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool PlatListFiles(const char* folder, void (*each)(const char* name, uint64_t size, void* context),
                   void* context) {
    char pattern[MAX_PATH + 4];
    int n = snprintf(pattern, sizeof pattern, "%s\\*", folder);
    if (n < 0 || (size_t)n >= sizeof pattern) return false;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        each(found.cFileName, (uint64_t)found.nFileSizeHigh << 32 | found.nFileSizeLow, context);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

// Local time and its offset taken from the same instant, so that a change of daylight
// saving time between two calls cannot mismatch them.
void PlatGetLocalTime(PlatLocalTime* now) {
    FILETIME utc, local;
    GetSystemTimeAsFileTime(&utc);
    FileTimeToLocalFileTime(&utc, &local);
    SYSTEMTIME t;
    FileTimeToSystemTime(&local, &t);
    ULARGE_INTEGER u, l;
    u.LowPart = utc.dwLowDateTime;
    u.HighPart = utc.dwHighDateTime;
    l.LowPart = local.dwLowDateTime;
    l.HighPart = local.dwHighDateTime;
    int64_t ahead = (int64_t)(l.QuadPart - u.QuadPart);  // in 100 ns
    *now = {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, (int)(ahead / 600000000)};
}
