/* Helper for the kqclean end-to-end tests, run under the same Wine prefix.
 *
 *   kqclean_helper hold FILE READY STOP
 *       Opens FILE with no sharing, creates READY, waits until STOP exists
 *       (at most 60 s), then closes FILE. Exit 1 if FILE does not open.
 *   kqclean_helper deep KEY LEVELS
 *       Creates under HKLM\KEY a chain of LEVELS subkeys, each named with
 *       255 characters (the longest name the registry takes), one relative to
 *       the other so that the chain may be deeper than any full path.
 *   kqclean_helper depth KEY
 *       Prints how many levels of subkeys hang under HKLM\KEY, following the
 *       first subkey of each level; prints -1 when KEY is absent.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int Hold(const char *File, const char *Ready, const char *Stop)
{
    HANDLE Handle = CreateFileA(File, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (Handle == INVALID_HANDLE_VALUE)
        return 1;
    FILE *Flag = fopen(Ready, "w");
    if (Flag != NULL)
        fclose(Flag);
    for (int Tick = 0; Tick < 600; Tick++) {
        if (GetFileAttributesA(Stop) != INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(100);
    }
    CloseHandle(Handle);
    return 0;
}

static int Deep(const char *Path, int Levels)
{
    WCHAR Name[256];
    for (int Index = 0; Index < 255; Index++)
        Name[Index] = L'D';
    Name[255] = L'\0';
    HKEY Key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, Path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &Key, NULL))
        return 1;
    for (int Level = 0; Level < Levels; Level++) {
        HKEY Child;
        if (RegCreateKeyExW(Key, Name, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &Child, NULL))
            return 1;
        RegCloseKey(Key);
        Key = Child;
    }
    RegCloseKey(Key);
    return 0;
}

static int Depth(const char *Path)
{
    HKEY Key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path, 0, KEY_READ, &Key)) {
        printf("-1\n");
        return 0;
    }
    int Levels = 0;
    for (;;) {
        WCHAR Name[260];
        DWORD Length = 260;
        HKEY Child;
        if (RegEnumKeyExW(Key, 0, Name, &Length, NULL, NULL, NULL, NULL)
            || RegOpenKeyExW(Key, Name, 0, KEY_READ, &Child))
            break;
        RegCloseKey(Key);
        Key = Child;
        Levels++;
    }
    RegCloseKey(Key);
    printf("%d\n", Levels);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 5 && !strcmp(argv[1], "hold"))
        return Hold(argv[2], argv[3], argv[4]);
    if (argc == 4 && !strcmp(argv[1], "deep"))
        return Deep(argv[2], atoi(argv[3]));
    if (argc == 3 && !strcmp(argv[1], "depth"))
        return Depth(argv[2]);
    fprintf(stderr, "usage: kqclean_helper hold FILE READY STOP | deep KEY LEVELS | depth KEY\n");
    return 2;
}
