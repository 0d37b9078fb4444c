// kqclean: removes what the installation of the console's USB driver left on
// a PC: the USB enumeration keys of the console's identities, the driver file
// KqUsb.sys, and every INF file (with its precompiled PNF twin) that names
// Kq-Light as its maker near the top.
//
// It takes no arguments, asks nothing and prints two progress lines. What is
// absent is passed over. What is there and resists removal (no rights, a key
// that belongs to the system, a file in use or protected) stays as it was, the
// run goes on with the next item, and after the two lines one line per such
// item names it with the system's reason; the exit code is then 1, and 0 when
// everything that was there is gone.
//
// Independent of the updater: nothing here is shared with Kqsfupdt.

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// USB enumeration keys under HKEY_LOCAL_MACHINE, deleted in this order. The
// first, second, third and fifth are the identities the updater looks for
// (boot-mode processor, bare processor, running console, second console
// identity); the fourth and sixth are cleaned as well.
static const WCHAR *const CLEAN_KEY_PATHS[] = {
    L"SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_045b&Pid_0025",
    L"SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_ffff&Pid_0001",
    L"SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_1d2b&Pid_0001",
    L"SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_1d2b&Pid_0002",
    L"SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_1d2b&Pid_0003",
    L"SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_1d2b&Pid_0004",
};

#define CLEAN_KEY_COUNT (sizeof(CLEAN_KEY_PATHS) / sizeof(CLEAN_KEY_PATHS[0]))

static const char CLEAN_DRIVER_FILE[] = "C:\\Windows\\System32\\Drivers\\KqUsb.sys";
static const char CLEAN_INF_DIR[] = "C:\\Windows\\Inf";
static const char CLEAN_INF_PATTERN[] = "*.inf";
static const char CLEAN_INF_MARKER[] = "Kq-Light";
static const char CLEAN_TWIN_EXTENSION[] = "pnf";

// Only the head of an INF file is searched: the maker's name sits in the
// [Version] section near the top.
#define CLEAN_INF_HEAD_SIZE 999

// Subkey names are fetched into a buffer of this many characters; the
// registry's own limit for a key name is 255.
#define CLEAN_SUBKEY_NAME_SIZE 260

// Capacity of the key path buffer, terminating zero included. The registry
// takes a key path of at most 32767 characters (the kernel counts name
// lengths in a 16-bit byte count), so a deeper key could not be named by its
// path anyway. A path that would not fit is treated as a key that cannot be
// deleted; nothing is ever written past the end.
#define CLEAN_KEY_PATH_SIZE 32768

// The registry is worked on with the wide-character calls. The ANSI ones
// pass a key path through the code page, which turns a name with characters
// outside it into '?' (a key that can then never be opened, and with it its
// whole tree stays), and on some systems they refuse a path longer than 260
// characters (Wine does), which a single 255-character subkey name already
// exceeds.
static WCHAR KeyPath[CLEAN_KEY_PATH_SIZE];
static char InfHead[CLEAN_INF_HEAD_SIZE + 1];

static const WCHAR CLEAN_ROOT_NAME[] = L"HKEY_LOCAL_MACHINE\\";

// Not an error of the system: the file was reported deleted and is still there.
#define CLEAN_STILL_THERE ((DWORD)-1)

// ---- The report of what resisted ---------------------------------------------
// Kept while the run goes on and printed after the two progress lines, in the
// order the items were met: "Could not remove <name>: <reason> (error <n>)".
static char *Report;
static size_t ReportLength, ReportCapacity;
static unsigned ReportCount;

static void ReportText(const char *Text, size_t Length)
{
    if (ReportLength + Length + 1 > ReportCapacity) {
        size_t Capacity = (ReportLength + Length + 1) * 2;
        char *Larger = (char *)realloc(Report, Capacity);
        if (Larger == NULL)
            return; /* the count still says that something resisted */
        Report = Larger;
        ReportCapacity = Capacity;
    }
    memcpy(Report + ReportLength, Text, Length);
    ReportLength += Length;
    Report[ReportLength] = '\0';
}

// Names and the system's texts are wide; the console shows its own code page.
static void ReportWide(const WCHAR *Text)
{
    UINT CodePage = GetConsoleOutputCP();
    if (CodePage == 0)
        CodePage = CP_OEMCP;
    int Size = WideCharToMultiByte(CodePage, 0, Text, -1, NULL, 0, NULL, NULL);
    if (Size <= 1)
        return;
    char *Bytes = (char *)malloc((size_t)Size);
    if (Bytes == NULL)
        return;
    WideCharToMultiByte(CodePage, 0, Text, -1, Bytes, Size, NULL, NULL);
    ReportText(Bytes, (size_t)Size - 1);
    free(Bytes);
}

// One line: what was tried ("remove", "read", "search"), the item's full name
// (NameHead followed by Name) and the system's text for Error, in one line.
static void ReportFailure(const char *Action, const WCHAR *NameHead, const WCHAR *Name, DWORD Error)
{
    ReportCount++;
    char Head[32];
    snprintf(Head, sizeof Head, "Could not %s ", Action);
    ReportText(Head, strlen(Head));
    ReportWide(NameHead);
    ReportWide(Name);
    ReportText(": ", 2);

    if (Error == CLEAN_STILL_THERE) {
        static const char STILL_THERE[] = "still there after the system accepted its deletion\n";
        ReportText(STILL_THERE, strlen(STILL_THERE));
        return;
    }
    WCHAR Reason[512];
    DWORD Length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS
                                      | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  NULL, Error, 0, Reason, sizeof Reason / sizeof Reason[0], NULL);
    while (Length > 0 && (Reason[Length - 1] == L' ' || Reason[Length - 1] == L'\r'
                          || Reason[Length - 1] == L'\n'))
        Length--;
    Reason[Length] = L'\0';
    if (Length > 0) {
        ReportWide(Reason);
        ReportText(" ", 1);
    }
    char Code[32];
    snprintf(Code, sizeof Code, "(error %lu)\n", (unsigned long)Error);
    ReportText(Code, strlen(Code));
}

// A file given by its ANSI name (the driver file, an INF file).
static void ReportFile(const char *Action, const char *Directory, const char *Name, DWORD Error)
{
    WCHAR WideDirectory[MAX_PATH + 2] = L"";
    WCHAR WideName[MAX_PATH + 8] = L"";
    if (Directory != NULL) {
        MultiByteToWideChar(CP_ACP, 0, Directory, -1, WideDirectory, MAX_PATH);
        wcscat(WideDirectory, L"\\");
    }
    MultiByteToWideChar(CP_ACP, 0, Name, -1, WideName, MAX_PATH + 7);
    ReportFailure(Action, WideDirectory, WideName, Error);
}

// A file or directory that is not there is nothing to remove.
static BOOL IsAbsence(DWORD Error)
{
    return Error == ERROR_FILE_NOT_FOUND || Error == ERROR_PATH_NOT_FOUND;
}

// Deletes the file Name (in Directory for the report, NULL when Name is a full
// path) and reports it when it is there and stays. A deletion the system
// accepts may still leave the file: it is removed when the last handle to it
// closes, and a file the file system refuses to unlink (Wine finds that out
// only then) is not removed at all. So the name is looked at again.
static void RemoveFile(const char *Directory, const char *Name)
{
    if (!DeleteFileA(Name)) {
        DWORD Error = GetLastError();
        if (!IsAbsence(Error))
            ReportFile("remove", Directory, Name, Error);
        return;
    }
    if (GetFileAttributesA(Name) != INVALID_FILE_ATTRIBUTES) {
        ReportFile("remove", Directory, Name, CLEAN_STILL_THERE);
    } else {
        DWORD Error = GetLastError();
        if (!IsAbsence(Error))
            ReportFile("remove", Directory, Name, Error); /* deletion pending, for one */
    }
}

// Deletes the key named by Path under Root together with all its subkeys,
// depth first. Returns TRUE when the key is gone, FALSE when it did not open
// (absent, for one) or could not be deleted. Path is extended in place while
// the subkeys are worked on and holds the same text again on return.
//
// A key that is there and stays is reported: the deepest one that resisted,
// with the system's reason. The keys above it stay because of it and are not
// reported again (their own deletion fails only for the subkey they keep).
static BOOL DeleteKeyTree(HKEY Root, WCHAR *Path)
{
    if (RegDeleteKeyW(Root, Path) == ERROR_SUCCESS)
        return TRUE;

    HKEY Key;
    LSTATUS Opened = RegOpenKeyExW(Root, Path, 0, KEY_READ, &Key);
    if (Opened != ERROR_SUCCESS) {
        if (!IsAbsence((DWORD)Opened))
            ReportFailure("remove", CLEAN_ROOT_NAME, Path, (DWORD)Opened);
        return FALSE;
    }

    size_t EntryLength = wcslen(Path);
    unsigned ReportedBefore = ReportCount;
    DWORD Reason = ERROR_SUCCESS; /* why the subkeys stopped, when it was not a subkey */

    // Always ask for index 0: each subkey is gone before the next request,
    // so the next one moves up to index 0. A subkey that resists ends the
    // loop, so the same subkey is never asked for twice; this key then stays
    // with its remaining subkeys.
    for (;;) {
        WCHAR Name[CLEAN_SUBKEY_NAME_SIZE];
        DWORD NameLength = CLEAN_SUBKEY_NAME_SIZE;
        LSTATUS Listed = RegEnumKeyExW(Key, 0, Name, &NameLength, NULL, NULL, NULL, NULL);
        if (Listed != ERROR_SUCCESS) {
            if (Listed != ERROR_NO_MORE_ITEMS)
                Reason = (DWORD)Listed;
            break;
        }
        // "\", the name and the terminating zero must fit; a path too long
        // to name counts as a subkey that resists, and this key is reported.
        if (NameLength >= CLEAN_SUBKEY_NAME_SIZE
            || EntryLength + 1 + NameLength + 1 > CLEAN_KEY_PATH_SIZE) {
            Reason = ERROR_FILENAME_EXCED_RANGE;
            break;
        }
        Path[EntryLength] = L'\\';
        memcpy(Path + EntryLength + 1, Name, NameLength * sizeof(WCHAR));
        Path[EntryLength + 1 + NameLength] = L'\0';
        BOOL Deleted = DeleteKeyTree(Root, Path);
        Path[EntryLength] = L'\0';
        if (!Deleted)
            break;
    }

    RegCloseKey(Key);
    LSTATUS Deleted = RegDeleteKeyW(Root, Path);
    if (Deleted == ERROR_SUCCESS)
        return TRUE;
    // A subkey that resisted has said so; otherwise this key is the one.
    if (ReportCount == ReportedBefore)
        ReportFailure("remove", CLEAN_ROOT_NAME, Path,
                      Reason != ERROR_SUCCESS ? Reason : (DWORD)Deleted);
    return FALSE;
}

// TRUE when the head of the INF file Name names Kq-Light. A file that does
// not open (in use, protected) or cannot be read counts as not marked; as it
// may be ours, it is reported.
static BOOL InfIsMarked(const char *Name)
{
    SetLastError(ERROR_SUCCESS);
    FILE *File = fopen(Name, "rt");
    if (File == NULL) {
        DWORD Error = GetLastError();
        ReportFile("read", CLEAN_INF_DIR, Name, Error != ERROR_SUCCESS ? Error : ERROR_OPEN_FAILED);
        return FALSE;
    }

    SetLastError(ERROR_SUCCESS);
    size_t Count = fread(InfHead, 1, CLEAN_INF_HEAD_SIZE, File);
    if (Count < CLEAN_INF_HEAD_SIZE && !feof(File)) {
        DWORD Error = GetLastError();
        fclose(File);
        ReportFile("read", CLEAN_INF_DIR, Name, Error != ERROR_SUCCESS ? Error : ERROR_READ_FAULT);
        return FALSE;
    }
    fclose(File);
    InfHead[Count] = '\0';

    // A plain, case-sensitive search that stops at the first zero byte: an
    // INF stored as UTF-16 text never matches.
    return strstr(InfHead, CLEAN_INF_MARKER) != NULL;
}

// Deletes the precompiled twin of an INF file: the same name with its
// extension replaced by "pnf" (oem12.inf -> oem12.pnf). A missing twin is
// nothing to remove.
static void DeleteTwin(const char *InfName)
{
    char TwinName[MAX_PATH + sizeof(CLEAN_TWIN_EXTENSION) + 1];
    size_t Length = strlen(InfName);
    if (Length >= MAX_PATH)
        return;
    memcpy(TwinName, InfName, Length + 1);

    char *Dot = strrchr(TwinName, '.');
    if (Dot != NULL) {
        Dot[1] = '\0';
    } else {
        TwinName[Length] = '.';
        TwinName[Length + 1] = '\0';
    }
    strcat(TwinName, CLEAN_TWIN_EXTENSION);
    RemoveFile(CLEAN_INF_DIR, TwinName);
}

// Deletes every INF file in the current directory that names Kq-Light, with
// its twin, in the order the search returns them.
static void DeleteMarkedInfFiles(void)
{
    WIN32_FIND_DATAA Found;
    HANDLE Search = FindFirstFileA(CLEAN_INF_PATTERN, &Found);
    if (Search == INVALID_HANDLE_VALUE) {
        DWORD Error = GetLastError();
        if (Error != ERROR_FILE_NOT_FOUND && Error != ERROR_NO_MORE_FILES)
            ReportFile("search", NULL, CLEAN_INF_DIR, Error);
        return;
    }
    do {
        if (InfIsMarked(Found.cFileName)) {
            RemoveFile(CLEAN_INF_DIR, Found.cFileName);
            DeleteTwin(Found.cFileName);
        }
    } while (FindNextFileA(Search, &Found));
    DWORD Ended = GetLastError();
    if (Ended != ERROR_NO_MORE_FILES)
        ReportFile("search", NULL, CLEAN_INF_DIR, Ended);
    FindClose(Search);
}

/* kqclean is a 32-bit program. On 64-bit Windows the system shows a 32-bit program
   SysWOW64 where it asks for System32, so the driver file (which lives in the real
   System32\Drivers) would never be found. Redirection is turned off around that one
   delete. The two functions exist only on 64-bit capable Windows: they are looked up at
   run time, and without them there is no redirection to turn off. */
typedef BOOL(WINAPI* RedirectionOff)(PVOID*);
typedef BOOL(WINAPI* RedirectionRevert)(PVOID);

static void DeleteDriverFile(void)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    RedirectionOff off = NULL;
    RedirectionRevert revert = NULL;
    if (kernel != NULL) {
        off = (RedirectionOff)(void (*)(void))GetProcAddress(kernel, "Wow64DisableWow64FsRedirection");
        revert = (RedirectionRevert)(void (*)(void))GetProcAddress(kernel, "Wow64RevertWow64FsRedirection");
    }
    PVOID previous = NULL;
    BOOL redirectionOff = off != NULL && revert != NULL && off(&previous);
    RemoveFile(NULL, CLEAN_DRIVER_FILE);
    if (redirectionOff) revert(previous);
}

int main(void)
{
    fputs("Cleaning KQ registry keys...\n", stdout);
    for (size_t Index = 0; Index < CLEAN_KEY_COUNT; Index++) {
        wcscpy(KeyPath, CLEAN_KEY_PATHS[Index]);
        DeleteKeyTree(HKEY_LOCAL_MACHINE, KeyPath);
    }

    fputs("Deleting KQ files...\n", stdout);
    DeleteDriverFile();

    // The search works in the current directory. If the INF directory cannot
    // be entered, searching wherever we happen to be could delete someone
    // else's files, so the INF step is skipped.
    if (SetCurrentDirectoryA(CLEAN_INF_DIR)) {
        DeleteMarkedInfFiles();
    } else {
        DWORD Error = GetLastError();
        if (!IsAbsence(Error))
            ReportFile("search", NULL, CLEAN_INF_DIR, Error);
    }

    if (ReportCount == 0)
        return 0;
    if (Report != NULL)
        fputs(Report, stdout);
    return 1;
}
