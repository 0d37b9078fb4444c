// kqclean: removes what the installation of the console's USB driver left on
// a PC: the USB enumeration keys of the console's identities, the driver file
// KqUsb.sys, and every INF file (with its precompiled PNF twin) that names
// Kq-Light as its maker near the top.
//
// It takes no arguments, asks nothing and prints two progress lines. Anything
// that is absent or resists removal is passed over silently and stays as it
// was; the exit code is always 0, so an installer script can run it blindly.
//
// Independent of the updater: nothing here is shared with Kqsfupdt.

#include <windows.h>
#include <stdio.h>
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

// Deletes the key named by Path under Root together with all its subkeys,
// depth first. Returns TRUE when the key is gone, FALSE when it did not open
// (absent, for one) or could not be deleted. Path is extended in place while
// the subkeys are worked on and holds the same text again on return.
static BOOL DeleteKeyTree(HKEY Root, WCHAR *Path)
{
    if (RegDeleteKeyW(Root, Path) == ERROR_SUCCESS)
        return TRUE;

    HKEY Key;
    if (RegOpenKeyExW(Root, Path, 0, KEY_READ, &Key) != ERROR_SUCCESS)
        return FALSE;

    size_t EntryLength = wcslen(Path);

    // Always ask for index 0: each subkey is gone before the next request,
    // so the next one moves up to index 0. A subkey that resists ends the
    // loop, so the same subkey is never asked for twice; this key then stays
    // with its remaining subkeys.
    for (;;) {
        WCHAR Name[CLEAN_SUBKEY_NAME_SIZE];
        DWORD NameLength = CLEAN_SUBKEY_NAME_SIZE;
        if (RegEnumKeyExW(Key, 0, Name, &NameLength, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        // "\", the name and the terminating zero must fit; a path too long
        // to name counts as a subkey that resists.
        if (NameLength >= CLEAN_SUBKEY_NAME_SIZE
            || EntryLength + 1 + NameLength + 1 > CLEAN_KEY_PATH_SIZE)
            break;
        Path[EntryLength] = L'\\';
        memcpy(Path + EntryLength + 1, Name, NameLength * sizeof(WCHAR));
        Path[EntryLength + 1 + NameLength] = L'\0';
        BOOL Deleted = DeleteKeyTree(Root, Path);
        Path[EntryLength] = L'\0';
        if (!Deleted)
            break;
    }

    RegCloseKey(Key);
    return RegDeleteKeyW(Root, Path) == ERROR_SUCCESS;
}

// TRUE when the head of the INF file Name names Kq-Light. A file that does
// not open (in use, protected) or cannot be read counts as not marked.
static BOOL InfIsMarked(const char *Name)
{
    FILE *File = fopen(Name, "rt");
    if (File == NULL)
        return FALSE;

    size_t Count = fread(InfHead, 1, CLEAN_INF_HEAD_SIZE, File);
    if (Count < CLEAN_INF_HEAD_SIZE && !feof(File)) {
        fclose(File);
        return FALSE;
    }
    fclose(File);
    InfHead[Count] = '\0';

    // A plain, case-sensitive search that stops at the first zero byte: an
    // INF stored as UTF-16 text never matches.
    return strstr(InfHead, CLEAN_INF_MARKER) != NULL;
}

// Deletes the precompiled twin of an INF file: the same name with its
// extension replaced by "pnf" (oem12.inf -> oem12.pnf).
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
    DeleteFileA(TwinName);
}

// Deletes every INF file in the current directory that names Kq-Light, with
// its twin, in the order the search returns them.
static void DeleteMarkedInfFiles(void)
{
    WIN32_FIND_DATAA Found;
    HANDLE Search = FindFirstFileA(CLEAN_INF_PATTERN, &Found);
    if (Search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (InfIsMarked(Found.cFileName)) {
            DeleteFileA(Found.cFileName);
            DeleteTwin(Found.cFileName);
        }
    } while (FindNextFileA(Search, &Found));
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
    DeleteFileA(CLEAN_DRIVER_FILE);
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
    if (SetCurrentDirectoryA(CLEAN_INF_DIR))
        DeleteMarkedInfFiles();

    return 0;
}
