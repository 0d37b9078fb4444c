/* Lists the kqusb interfaces like the updater's discovery, then sends argv[2] (hex)
   to the first whose path holds argv[1] and prints what comes back (hex). */
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>
static const GUID KQUSB = {0x00873fdf, 0x61a8, 0x11d1, {0xaa, 0x5e, 0x00, 0xc0, 0x4f, 0xb1, 0x72, 0x8b}};
int main(int argc, char **argv) {
    HDEVINFO set = SetupDiGetClassDevsA(&KQUSB, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA itf = {sizeof itf};
    char found[512] = "";
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, NULL, &KQUSB, i, &itf); i++) {
        char buf[1024]; DWORD need = 0;
        SP_DEVICE_INTERFACE_DETAIL_DATA_A *d = (void *)buf;
        d->cbSize = sizeof *d;
        if (!SetupDiGetDeviceInterfaceDetailA(set, &itf, d, sizeof buf, &need, NULL)) continue;
        printf("path %s\n", d->DevicePath);
        if (!found[0] && strstr(d->DevicePath, argv[1])) strcpy(found, d->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!found[0]) return 1;
    char name[600];
    snprintf(name, sizeof name, "%s\\PIPE00", found);
    HANDLE out = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    snprintf(name, sizeof name, "%s\\PIPE01", found);
    HANDLE in = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE) { printf("CreateFile failed\n"); return 2; }
    unsigned char tx[64], rx[64]; DWORD n = 0, len = strlen(argv[2]) / 2;
    for (DWORD i = 0; i < len; i++) sscanf(argv[2] + 2 * i, "%2hhx", &tx[i]);
    WriteFile(out, tx, len, &n, NULL);
    if (!ReadFile(in, rx, sizeof rx, &n, NULL)) n = 0;
    printf("reply ");
    for (DWORD i = 0; i < n; i++) printf("%02x", rx[i]);
    printf("\n");
    return 0;
}
