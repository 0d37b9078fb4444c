/* wine_lnk_probe.c - reads a shortcut (.lnk) back through the shell's link interface
   (IShellLinkW loaded by IPersistFile), for the installer's check under Wine. Built
   with MinGW by wine_msi.sh; not part of the product.

     wine_lnk_probe FILE.lnk    three lines, UTF-8: "target=", "arguments=", "folder="

   Exit code 0 when the file was read as a shortcut, 2 otherwise. */
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
    int ok = 0;
    if (argc != 2) return 2;
    CoInitialize(NULL);
    if (SUCCEEDED(CoCreateInstance(&CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, &IID_IShellLinkW, (void**)&link)) &&
        SUCCEEDED(IShellLinkW_QueryInterface(link, &IID_IPersistFile, (void**)&file)) &&
        SUCCEEDED(IPersistFile_Load(file, argv[1], STGM_READ))) {
        IShellLinkW_GetPath(link, target, MAX_PATH, NULL, SLGP_RAWPATH);
        IShellLinkW_GetArguments(link, arguments, MAX_PATH);
        IShellLinkW_GetWorkingDirectory(link, folder, MAX_PATH);
        Print("target", target);
        Print("arguments", arguments);
        Print("folder", folder);
        ok = 1;
    }
    if (file) IPersistFile_Release(file);
    if (link) IShellLinkW_Release(link);
    CoUninitialize();
    return ok ? 0 : 2;
}
