/* wine_lnk_probe.c - "wine_lnk_probe FILE.lnk" prints the shortcut's target, arguments
   and working folder (UTF-8 lines "target=", "arguments=", "folder="), read back through
   the shell's link interface; exit code 2 when FILE is no shortcut. For wine_msi.sh. */
#define COBJMACROS
#include <windows.h>
#include <shlobj.h>
#include <stdio.h>

static void Print(const char* label, const wchar_t* text) {
    char utf8[4 * MAX_PATH];
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    printf("%s=%s\n", label, utf8);
}

int wmain(int argc, wchar_t** argv) {
    IShellLinkW* link = NULL;
    IPersistFile* file = NULL;
    wchar_t target[MAX_PATH] = L"", arguments[MAX_PATH] = L"", folder[MAX_PATH] = L"";
    CoInitialize(NULL);
    if (argc != 2 || FAILED(CoCreateInstance(&CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, &IID_IShellLinkW, (void**)&link)) ||
        FAILED(IShellLinkW_QueryInterface(link, &IID_IPersistFile, (void**)&file)) ||
        FAILED(IPersistFile_Load(file, argv[1], STGM_READ)))
        return 2;
    IShellLinkW_GetPath(link, target, MAX_PATH, NULL, SLGP_RAWPATH);
    IShellLinkW_GetArguments(link, arguments, MAX_PATH);
    IShellLinkW_GetWorkingDirectory(link, folder, MAX_PATH);
    Print("target", target);
    Print("arguments", arguments);
    Print("folder", folder);
    return 0;
}
