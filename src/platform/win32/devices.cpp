// devices.cpp - the kqusb driver's interface list and its pipes on Windows.
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/win32.h"  // windows.h before setupapi.h

#include <setupapi.h>

// The interface class under which kqusb publishes every device it serves.
static const GUID KQUSB_INTERFACE_CLASS = {
    0x00873FDF, 0x61A8, 0x11D1, {0xAA, 0x5E, 0x00, 0xC0, 0x4F, 0xB1, 0x72, 0x8B}};

static HDEVINFO DeviceList = INVALID_HANDLE_VALUE;

bool PlatDeviceListOpen() {
    DeviceList = SetupDiGetClassDevsA(&KQUSB_INTERFACE_CLASS, NULL, NULL,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return DeviceList != INVALID_HANDLE_VALUE;
}

PlatDeviceResult PlatDeviceListPath(int index, char* path, size_t capacity) {
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(DeviceList, NULL, &KQUSB_INTERFACE_CLASS, (DWORD)index, &data))
        return PLAT_DEVICE_END;
    // The size query has no buffer to fill, so it must fail and report the size.
    DWORD size = 0;
    if (SetupDiGetDeviceInterfaceDetailA(DeviceList, &data, NULL, 0, &size, NULL))
        return PLAT_DEVICE_DETAIL_ERROR;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)malloc(size);
    if (detail == NULL) return PLAT_DEVICE_NO_MEMORY;
    // The size of the fixed part for this build's pointer size: 5 on 32-bit, 8 on 64-bit.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(DeviceList, &data, detail, size, NULL, NULL)) {
        free(detail);
        return PLAT_DEVICE_DETAIL_ERROR;
    }
    if (capacity > 0) {
        strncpy(path, detail->DevicePath, capacity - 1);
        path[capacity - 1] = 0;
    }
    free(detail);
    return PLAT_DEVICE_OK;
}

void PlatDeviceListClose() {
    if (DeviceList != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(DeviceList);
    DeviceList = INVALID_HANDLE_VALUE;
}

// ---- Pipes ------------------------------------------------------------------------------------
// The pipes are opened for overlapped I/O, and every read and write waits for its own
// completion, so to the core they block like plain synchronous files. The overlap is
// what lets the receive thread be stopped while it waits for the console: its read
// also waits on the thread's stop event and is cancelled when that fires, and it lets
// a write give up on a device that has stopped reading. A plain
// synchronous read cannot be relied on to wake up: Wine 8 answers CancelSynchronousIo
// with "not found" and neither CancelIoEx nor closing the handle ends a blocked
// ReadFile on a FIFO, which is how the device simulators serve the pipes. Closing the
// handle under an overlapped read does complete it (as failed), on Windows and on Wine.

PlatHandle PlatPipeOpen(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (h == INVALID_HANDLE_VALUE) return PLAT_NO_HANDLE;
    return (PlatHandle)h;
}

// Runs one overlapped read to its end. A stop event that fires first cancels it; the
// read is still waited for, because it owns the caller's buffer until then.
long PlatPipeRead(PlatHandle h, void* buffer, unsigned long count) {
    HANDLE file = (HANDLE)h;
    HANDLE stop = Win32CurrentStopEvent();
    if (stop != NULL && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return -1;
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (ov.hEvent == NULL) return -1;
    DWORD done = 0;
    BOOL started = ReadFile(file, buffer, (DWORD)count, NULL, &ov);
    long result = -1;
    if (started || GetLastError() == ERROR_IO_PENDING) {
        if (!started && stop != NULL) {
            HANDLE waits[2] = {ov.hEvent, stop};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
                CancelIoEx(file, &ov);
        }
        // Bytes that arrived before the cancel took effect are still handed over.
        if (GetOverlappedResult(file, &ov, &done, TRUE)) result = (long)done;
    }
    CloseHandle(ov.hEvent);
    return result;
}

// A write the device does not take. It owns its copy of the bytes and its OVERLAPPED,
// so a write that outlives its caller (a device that stopped reading, a cancel the
// driver does not honour) never touches the caller's memory.
struct PendingWrite {
    OVERLAPPED ov;
    unsigned char bytes[1];
};

// How long a cancelled write is given to report its end before it is left to the
// handle's close (the caller closes both pipes after a failed write).
static const DWORD CANCEL_GRACE_MS = 500;

long PlatPipeWrite(PlatHandle h, const void* bytes, unsigned long count) {
    HANDLE file = (HANDLE)h;
    PendingWrite* w = (PendingWrite*)calloc(1, sizeof(PendingWrite) + count);
    if (w == NULL) return -1;
    memcpy(w->bytes, bytes, count);
    w->ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (w->ov.hEvent == NULL) {
        free(w);
        return -1;
    }
    DWORD done = 0;
    long result = -1;
    bool finished = true;
    BOOL started = WriteFile(file, w->bytes, (DWORD)count, NULL, &w->ov);
    if (started || GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(w->ov.hEvent, PLAT_PIPE_WRITE_LIMIT_MS) != WAIT_OBJECT_0) {
            CancelIoEx(file, &w->ov);  // the device has stopped reading
            finished = WaitForSingleObject(w->ov.hEvent, CANCEL_GRACE_MS) == WAIT_OBJECT_0;
            if (finished) GetOverlappedResult(file, &w->ov, &done, FALSE);
        } else if (GetOverlappedResult(file, &w->ov, &done, FALSE)) {
            result = (long)done;
        }
    }
    if (!finished) return -1;  // still owned by the system: left, not freed under it
    CloseHandle(w->ov.hEvent);
    free(w);
    return result;
}

void PlatPipeClose(PlatHandle h) { CloseHandle((HANDLE)h); }
