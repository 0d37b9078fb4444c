// record_files.cpp - the service record's folder and files on Windows: %ProgramData%
// \Kqsfupdt, the administrators' alone; appended to with one WriteFile on a handle that
// has append access only, created with CREATE_NEW, never through a reparse point.
// Everything here is in Windows Vista and so in every Windows the manifest names.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/win32.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

static const char STATE_FOLDER_NAME[] = "Kqsfupdt";

// The program always runs with administrator rights, so what it makes is the
// administrators' either way: full control for SYSTEM and Administrators, read for
// Users, nothing inherited from ProgramData (where every user may create files and
// folders), the owner Administrators whatever the account's default owner is.
const char WIN32_RECORD_FOLDER_SDDL[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// A file made in it: owned by Administrators, its rights inherited from the folder.
static const char RECORD_FILE_SDDL[] = "O:BA";

// Rights that let the holder change a folder or file, or its rights.
static const DWORD CHANGE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                   FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                   GENERIC_ALL | MAXIMUM_ALLOWED;

static bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof known;
    return CreateWellKnownSid(type, NULL, known, &size) && EqualSid(sid, known);
}

// Wine runs every program of the prefix as the one Unix account and reports that
// account as the owner of every file (it keeps no owner of its own), and there is no
// other account that could have made the folder: there the process's own user counts
// as the program's.
static bool IsWineUser(PSID sid) {
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == NULL) return false;
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    BYTE buffer[256];
    DWORD size = 0;
    bool same = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                EqualSid(sid, ((TOKEN_USER*)buffer)->User.Sid);
    CloseHandle(token);
    return same;
}

bool Win32OwnerTrusted(PSID owner) {
    return owner != NULL && IsValidSid(owner) &&
           (IsWellKnown(owner, WinBuiltinAdministratorsSid) || IsWellKnown(owner, WinLocalSystemSid) ||
            IsWineUser(owner));
}

bool Win32DaclProtected(PSECURITY_DESCRIPTOR sd) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    if (!GetSecurityDescriptorControl(sd, &control, &revision) || !(control & SE_DACL_PROTECTED) ||
        !GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || dacl == NULL)
        return false;  // no access list at all lets everyone in
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER* ace = NULL;
        if (!GetAce(dacl, i, (void**)&ace)) return false;
        if (ace->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        ACCESS_ALLOWED_ACE* allowed = (ACCESS_ALLOWED_ACE*)ace;
        PSID sid = (PSID)&allowed->SidStart;
        if (IsWellKnown(sid, WinBuiltinAdministratorsSid) || IsWellKnown(sid, WinLocalSystemSid)) continue;
        if (allowed->Mask & CHANGE_RIGHTS) return false;
    }
    return true;
}

PlatFolderState Win32JudgeFolder(DWORD attributes, bool ownerTrusted) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PLAT_FOLDER_LINK;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return PLAT_FOLDER_NOT_FOLDER;
    return ownerTrusted ? PLAT_FOLDER_OK : PLAT_FOLDER_FOREIGN;
}

// The owner of what h is open on (with READ_CONTROL) is the program's.
static bool OwnerOfHandleTrusted(HANDLE h) {
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR sd = NULL;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL, &sd) != ERROR_SUCCESS)
        return false;
    bool trusted = Win32OwnerTrusted(owner);
    LocalFree(sd);
    return trusted;
}

// The folder's rights made the program's: applied to the handle, and so (as Windows
// does for a new access list) passed on to what the folder holds.
static bool Protect(HANDLE folder) {
    PSECURITY_DESCRIPTOR sd = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(WIN32_RECORD_FOLDER_SDDL, SDDL_REVISION_1, &sd, NULL))
        return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    bool done = GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) &&
                SetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                NULL, NULL, dacl, NULL) == ERROR_SUCCESS;
    LocalFree(sd);
    return done;
}

static void MakeFolder(const char* path) {
    PSECURITY_DESCRIPTOR sd = NULL;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(WIN32_RECORD_FOLDER_SDDL, SDDL_REVISION_1, &sd, NULL)) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
        BOOL made = CreateDirectoryA(path, &sa);
        DWORD error = GetLastError();
        LocalFree(sd);
        if (made || error == ERROR_ALREADY_EXISTS) return;
    }
    CreateDirectoryA(path, NULL);  // the owner refused: the rights are set below
}

PlatFolderState PlatRecordFolder(const char* path) {
    MakeFolder(path);
    HANDLE d = CreateFileA(path, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (d == INVALID_HANDLE_VALUE) {
        DWORD attributes = GetFileAttributesA(path);
        return attributes == INVALID_FILE_ATTRIBUTES ? PLAT_FOLDER_NONE : Win32JudgeFolder(attributes, false);
    }
    BY_HANDLE_FILE_INFORMATION info;
    PlatFolderState state = PLAT_FOLDER_NONE;
    if (GetFileInformationByHandle(d, &info)) state = Win32JudgeFolder(info.dwFileAttributes, OwnerOfHandleTrusted(d));
    if (state == PLAT_FOLDER_OK) {
        PSECURITY_DESCRIPTOR sd = NULL;
        PACL dacl = NULL;
        bool protectedNow = GetSecurityInfo(d, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL,
                                            &sd) == ERROR_SUCCESS &&
                            Win32DaclProtected(sd);
        LocalFree(sd);
        if (!protectedNow && !Protect(d)) state = PLAT_FOLDER_OPEN;
    }
    CloseHandle(d);
    return state;
}

PlatFolderState PlatStateFolder(char* path, size_t capacity) {
    char base[MAX_PATH];
    if (SHGetFolderPathA(NULL, CSIDL_COMMON_APPDATA, NULL, SHGFP_TYPE_CURRENT, base) != S_OK) {
        DWORD n = GetEnvironmentVariableA("ProgramData", base, sizeof base);
        if (n == 0 || n >= sizeof base) return PLAT_FOLDER_NONE;
    }
    int n = snprintf(path, capacity, "%s\\%s", base, STATE_FOLDER_NAME);
    if (n < 0 || (size_t)n >= capacity) return PLAT_FOLDER_NONE;
    return PlatRecordFolder(path);
}

// ---- Files ------------------------------------------------------------------------------------

// Every open names the file itself, never what a reparse point at its name leads to.
static const DWORD NO_FOLLOW = FILE_FLAG_OPEN_REPARSE_POINT;
static const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A file of ours: a plain file, not a reparse point, with one name, owned by the program.
static bool OwnFile(HANDLE f) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(f, &info) &&
           !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
           info.nNumberOfLinks == 1 && OwnerOfHandleTrusted(f);
}

// An existing file opened, and let go again when it is not ours.
static HANDLE OpenOwn(const char* path, DWORD access, DWORD share) {
    HANDLE f = CreateFileA(path, access | READ_CONTROL | FILE_READ_ATTRIBUTES, share, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | NO_FOLLOW, NULL);
    if (f == INVALID_HANDLE_VALUE || OwnFile(f)) return f;
    CloseHandle(f);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

// A new file, owned by Administrators; an account whose token cannot name that owner
// makes it its own (and the folder's rights still apply).
static HANDLE CreateOwn(const char* path, DWORD access, DWORD share) {
    PSECURITY_DESCRIPTOR sd = NULL;
    HANDLE f = INVALID_HANDLE_VALUE;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(RECORD_FILE_SDDL, SDDL_REVISION_1, &sd, NULL)) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
        f = CreateFileA(path, access, share, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | NO_FOLLOW, NULL);
        DWORD error = GetLastError();
        LocalFree(sd);
        if (f != INVALID_HANDLE_VALUE || error != ERROR_INVALID_OWNER) {
            SetLastError(error);
            return f;
        }
    }
    return CreateFileA(path, access, share, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | NO_FOLLOW, NULL);
}

static bool Taken(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

// Append access without write access: every WriteFile goes to the end of the file as it
// is at that moment, so the lines of two programs never overlap. Shared for everything,
// so another copy may append beside us and the old generation may be renamed away.
static const DWORD APPEND_ACCESS = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

PlatHandle PlatAppendOpen(const char* path, bool* created) {
    *created = false;
    for (int attempt = 0; attempt < 3; attempt++) {
        HANDLE f = CreateOwn(path, APPEND_ACCESS, SHARE_ALL);
        if (f != INVALID_HANDLE_VALUE) {
            *created = true;
            return (PlatHandle)f;
        }
        if (!Taken(GetLastError())) return PLAT_NO_HANDLE;
        // A spreadsheet that holds the file without write sharing fails this open.
        f = OpenOwn(path, APPEND_ACCESS, SHARE_ALL);
        if (f != INVALID_HANDLE_VALUE) return (PlatHandle)f;
        if (GetLastError() != ERROR_FILE_NOT_FOUND) return PLAT_NO_HANDLE;
        // removed between the two opens: try again
    }
    return PLAT_NO_HANDLE;
}

PlatHandle PlatCreateNew(const char* path, bool* taken) {
    HANDLE f = CreateOwn(path, APPEND_ACCESS, SHARE_ALL);
    *taken = f == INVALID_HANDLE_VALUE && Taken(GetLastError());
    return f == INVALID_HANDLE_VALUE ? PLAT_NO_HANDLE : (PlatHandle)f;
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
    HANDLE f = OpenOwn(path, GENERIC_READ, SHARE_ALL);
    if (f == INVALID_HANDLE_VALUE) return -1;
    long done = PlatLogReadAt((PlatHandle)f, offset, buffer, count);  // the same read at an offset
    CloseHandle(f);
    return done;
}

// Renamed through the handle whose size was read: a second copy that opened the same
// full file renames it onto the name it already has, and one that opened the first
// copy's fresh file finds it small.
static bool RenameHandle(HANDLE f, const char* to) {
    struct {
        FILE_RENAME_INFO info;
        WCHAR room[MAX_PATH];
    } rename = {};
    int n = MultiByteToWideChar(CP_ACP, 0, to, -1, rename.info.FileName, MAX_PATH + 1);
    if (n <= 1) return false;
    rename.info.ReplaceIfExists = TRUE;
    rename.info.FileNameLength = (DWORD)(n - 1) * sizeof(WCHAR);
    return SetFileInformationByHandle(f, FileRenameInfo, &rename, sizeof rename) != 0;
}

bool PlatRotateFile(const char* from, const char* to, int64_t limit) {
    HANDLE f = OpenOwn(from, DELETE | SYNCHRONIZE, SHARE_ALL);
    if (f == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    bool renamed = GetFileSizeEx(f, &size) && size.QuadPart > limit && RenameHandle(f, to);
    CloseHandle(f);
    return renamed;
}

static bool DeleteHandle(HANDLE f) {
    FILE_DISPOSITION_INFO gone = {TRUE};
    return SetFileInformationByHandle(f, FileDispositionInfo, &gone, sizeof gone) != 0;
}

// Shared with nobody until it is whole, so no taker can open it before.
int PlatWriteNewFile(const char* path, const void* bytes, size_t count) {
    HANDLE f = CreateOwn(path, GENERIC_WRITE | DELETE | SYNCHRONIZE, 0);
    if (f == INVALID_HANDLE_VALUE) return Taken(GetLastError()) ? 0 : -1;
    bool written = PlatAppendWrite((PlatHandle)f, bytes, count);
    if (!written) DeleteHandle(f);
    CloseHandle(f);
    return written ? 1 : -1;
}

// Shared with nobody: a second taker, or a writer not yet done, fails the open.
PlatHandle PlatTakeOpen(const char* path, void* buffer, size_t capacity, size_t* count) {
    HANDLE f = OpenOwn(path, GENERIC_READ | DELETE | SYNCHRONIZE, 0);
    if (f == INVALID_HANDLE_VALUE) return PLAT_NO_HANDLE;
    LARGE_INTEGER size;
    if (GetFileSizeEx(f, &size) && size.QuadPart > 0 && (uint64_t)size.QuadPart <= capacity &&
        PlatLogReadAt((PlatHandle)f, 0, buffer, (size_t)size.QuadPart) == (long)size.QuadPart) {
        *count = (size_t)size.QuadPart;
        return (PlatHandle)f;
    }
    CloseHandle(f);
    return PLAT_NO_HANDLE;
}

void PlatTakeClose(PlatHandle h, const char*, bool remove) {
    if (remove) DeleteHandle((HANDLE)h);
    CloseHandle((HANDLE)h);
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
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
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
