// fuzz_platform.cpp - a platform that does nothing, so the core's parsers can be fed
// in a fuzzer: no window, no device, no file; the clock counts up by itself.
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

const char PLAT_PATH_SEPARATOR = '/';
static uint64_t Counter = 0;

uint64_t PlatCounterFrequency() { return 1000000; }
uint64_t PlatCounterValue() { return Counter += 10; }
void PlatSleepMs(uint32_t ms) { Counter += (uint64_t)ms * 1000; }
void PlatDataWait(uint32_t us) { Counter += us; }
void PlatDataSignal() {}
void PlatInputWait(uint32_t us) { Counter += us; }
void PlatLinkWait() {}
void PlatLinkSignal() {}
PlatMessageKind PlatTakeMessage() { return PLAT_MSG_NONE; }
void PlatDispatchMessage() {}
void PlatPaintStep() {}
void PlatRepaint() {}
void PlatShowProgress(const PlatProgress*) {}
bool PlatKeyDown(int) { return false; }
void PlatExitProcess(int code) {
    fprintf(stderr, "the program would end here with %d\n", code);
    abort();
}
void PlatMessageBox(const char*, const char*) {}
int PlatUserPrimaryLanguage() { return 0x09; }
PlatThread PlatThreadStart(void (*)()) { return 0; }
void PlatThreadCancelAndJoin(PlatThread) {}
void PlatMakeDirectory(const char*) {}
void PlatRemoveDirectory(const char*) {}
bool PlatDeleteFile(const char*) { return false; }
long PlatWriteWholeFile(const char*, const void*, unsigned long) { return -1; }
PlatHandle PlatLogOpen(const char*) { return PLAT_NO_HANDLE; }
bool PlatLogWrite(PlatHandle, const char*, size_t) { return false; }
long PlatLogReadAt(PlatHandle, uint64_t, void*, size_t) { return -1; }
void PlatLogClose(PlatHandle) {}
bool PlatDriveFilePath(char, const char*, char*, size_t) { return false; }
bool PlatFontRemove(const char*) { return false; }
void PlatFontAdd(const char*) {}
void PlatFontCreate() {}
void PlatFontDelete() {}
void PlatWindowShowAndSize() {}
void PlatWindowClose() {}
bool PlatDeviceListOpen() { return true; }
PlatDeviceResult PlatDeviceListPath(int, char*, size_t) { return PLAT_DEVICE_END; }
void PlatDeviceListClose() {}
PlatHandle PlatPipeOpen(const char*) { return PLAT_NO_HANDLE; }
long PlatPipeRead(PlatHandle, void*, unsigned long) { return -1; }
long PlatPipeWrite(PlatHandle, const void*, unsigned long count) { return (long)count; }
void PlatPipeClose(PlatHandle) {}
void PlatSettingRead(const char*, const char*, const char*, const char* def, char* buffer,
                     size_t capacity) {
    snprintf(buffer, capacity, "%s", def ? def : "");
}
bool PlatSettingWrite(const char*, const char*, const char*, const char*) { return true; }
bool PlatSettingReadUserCopy(const char*, const char*, const char*, char*, size_t) { return false; }
void PlatLanguageDialog() {}
void PlatMacDialog() {}
void PlatMacDialogChanged() {}
PlatFolderState PlatStateFolder(char*, size_t) { return PLAT_FOLDER_NONE; }
PlatFolderState PlatRecordFolder(const char*) { return PLAT_FOLDER_NONE; }
PlatHandle PlatAppendOpen(const char*, bool* created) {
    *created = false;
    return PLAT_NO_HANDLE;
}
PlatHandle PlatCreateNew(const char*, bool* taken) {
    *taken = false;
    return PLAT_NO_HANDLE;
}
bool PlatAppendWrite(PlatHandle, const void*, size_t) { return false; }
void PlatAppendClose(PlatHandle) {}
int64_t PlatFileSize(PlatHandle) { return -1; }
long PlatReadFileAt(const char*, uint64_t, void*, size_t) { return -1; }
bool PlatRotateFile(const char*, const char*, int64_t) { return false; }
int PlatWriteNewFile(const char*, const void*, size_t) { return -1; }
PlatHandle PlatTakeOpen(const char*, void*, size_t, size_t*) { return PLAT_NO_HANDLE; }
void PlatTakeClose(PlatHandle, const char*, bool) {}
bool PlatListFiles(const char*, void (*)(const char*, uint64_t, void*), void*) { return false; }
void PlatGetLocalTime(PlatLocalTime* now) { *now = {2026, 12, 9, 14, 30, 12, 60}; }
