// usb.cpp - a real console on the USB bus, reached through libusb without a kernel
// driver.
//
// The console's Windows driver shows the interface's first endpoint (bulk OUT) as
// PIPE00 and its second (bulk IN) as PIPE01. Here each console found on the bus gets
// an interface path in the driver's form, "usb#vid_1d2b&pid_0001#bus001-dev004", so
// the core's "vid_%04x&pid_%04x" match works unchanged, and the pipe names
// "<path>/PIPE00" and "<path>/PIPE01" open those two endpoints.
//
// Both pipes of a device share one libusb handle with the interface claimed; the
// handle is closed (and a detached kernel driver given back) when the last pipe is
// closed and no transfer is running on it. Reads and writes run their transfers in
// short event-handling steps, so a closed pipe or a cancel of the receive thread ends
// them within one step.
#include <libusb.h>
#include <signal.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/screen.h"
#include "platform/platform.h"
#include "platform/posix/posix.h"

// The identities the program looks for: the running console (two), the identity the
// console shows before its USB set-up is complete, and its processor in boot mode.
static const UsbIdentityPair CONSOLE_IDENTITIES[] = {
    {0x1D2B, 0x0001},
    {0x1D2B, 0x0003},
    {0xFFFF, 0x0001},
    {0x045B, 0x0025},
};

const char USB_RULES_FILE[] = "tools/udev/70-kqsfupdt.rules";

// Handles of USB pipes lie far above any file descriptor: slot * 2 + pipe (0 OUT, 1 IN).
static const PlatHandle USB_HANDLE_BASE = 0x40000000;
static const int USB_SLOTS = 4;
// One event-handling step: how soon a close or a cancel is noticed.
static const int USB_STEP_US = 20000;
// The console answers an erase only when the block is done (up to ~10 s) and may not
// take OUT packets meanwhile; a write that has moved nothing for longer has failed.
static const unsigned USB_WRITE_TIMEOUT_MS = 15000;

struct UsbDevice {
    libusb_device_handle* handle = nullptr;
    UsbEndpoints endpoints{};
    int bus = 0, address = 0;
    bool pipeOpen[2] = {false, false};
    int users = 0;  // transfers running on the handle
    bool reattach = false;
};

static std::mutex UsbLock;  // guards Slots and the open/close of handles
static UsbDevice Slots[USB_SLOTS];
static libusb_context* UsbContext = nullptr;
static bool UsbInitTried = false;
static std::atomic<uint32_t> WakeGeneration{0};
static std::set<std::string> Reported;  // messages already shown this run

// ---- Pure helpers ---------------------------------------------------------------------
bool UsbIsConsoleIdentity(uint16_t vendor, uint16_t product) {
    for (const UsbIdentityPair& id : CONSOLE_IDENTITIES)
        if (id.vendor == vendor && id.product == product) return true;
    return false;
}

bool UsbInterfaceName(uint16_t vendor, uint16_t product, int bus, int address, char* name,
                      size_t capacity) {
    int n = snprintf(name, capacity, "usb#vid_%04x&pid_%04x#bus%03d-dev%03d", vendor, product,
                     bus, address);
    return n > 0 && (size_t)n < capacity;
}

bool UsbParsePipePath(const char* path, UsbPipeName* out) {
    unsigned vendor, product, bus, address, pipe;
    int end = 0;
    if (sscanf(path, "usb#vid_%4x&pid_%4x#bus%3u-dev%3u/PIPE0%1u%n", &vendor, &product, &bus,
               &address, &pipe, &end) != 5 || path[end] != 0 || pipe > 1)
        return false;
    // Only the exact form UsbInterfaceName writes: the same text must come back.
    char name[64];
    if (!UsbInterfaceName((uint16_t)vendor, (uint16_t)product, (int)bus, (int)address, name, sizeof name))
        return false;
    size_t len = strlen(name);
    if (strncmp(path, name, len) != 0 || strcmp(path + len, pipe ? "/PIPE01" : "/PIPE00") != 0)
        return false;
    out->vendor = (uint16_t)vendor;
    out->product = (uint16_t)product;
    out->bus = (int)bus;
    out->address = (int)address;
    out->pipe = (int)pipe;
    return true;
}

bool UsbEndpointsFit(const uint8_t* addresses, const uint8_t* attributes, int count,
                     UsbEndpoints* out) {
    if (count < 2) return false;
    const uint8_t bulk = LIBUSB_TRANSFER_TYPE_BULK;
    if ((attributes[0] & 3) != bulk || (attributes[1] & 3) != bulk) return false;
    if ((addresses[0] & 0x80) != 0 || (addresses[1] & 0x80) == 0) return false;
    out->out = addresses[0];
    out->in = addresses[1];
    return true;
}

bool UsbIsHandle(PlatHandle h) {
    return h >= USB_HANDLE_BASE && h < USB_HANDLE_BASE + 2 * USB_SLOTS;
}

// ---- libusb --------------------------------------------------------------------------------
// A message on the text screen, once per device and kind for the whole run: discovery
// is called again and again while the program seeks a console.
static void ReportOnce(const std::string& key, const char* text) {
    if (!Reported.insert(key).second) return;
    ScreenPrint("\n%s\n", text);  // the screen breaks lines only in the format
}

// libusb starts threads of its own; they must not take the signals that belong to the
// window thread (close requests, terminal resizes), so they start with all blocked.
static libusb_context* Context() {
    if (UsbInitTried) return UsbContext;
    UsbInitTried = true;
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    if (libusb_init(&UsbContext) != 0) UsbContext = nullptr;  // no USB here: directory only
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return UsbContext;
}

// The interface the console's pipes belong to: the first interface, first setting.
static bool InterfaceOf(libusb_device* dev, int* number, UsbEndpoints* endpoints) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != 0 &&
        libusb_get_config_descriptor(dev, 0, &config) != 0)
        return false;
    bool fit = false;
    if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
        const libusb_interface_descriptor& alt = config->interface[0].altsetting[0];
        uint8_t addresses[2] = {0, 0}, attributes[2] = {0, 0};
        int count = std::min<int>(alt.bNumEndpoints, 2);
        for (int i = 0; i < count; i++) {
            addresses[i] = alt.endpoint[i].bEndpointAddress;
            attributes[i] = alt.endpoint[i].bmAttributes;
        }
        *number = alt.bInterfaceNumber;
        fit = UsbEndpointsFit(addresses, attributes, alt.bNumEndpoints, endpoints);
    }
    libusb_free_config_descriptor(config);
    return fit;
}

static std::string DeviceKey(const char* kind, int bus, int address) {
    char key[48];
    snprintf(key, sizeof key, "%s %d-%d", kind, bus, address);
    return key;
}

// A console whose endpoints are not the driver's two pipes cannot be talked to.
static bool EndpointsUsable(libusb_device* dev, const libusb_device_descriptor& d, int* number,
                            UsbEndpoints* endpoints) {
    if (InterfaceOf(dev, number, endpoints)) return true;
    int bus = libusb_get_bus_number(dev), address = libusb_get_device_address(dev);
    char text[200];
    snprintf(text, sizeof text,
             "USB device vid_%04x&pid_%04x (bus %d, device %d): its first two endpoints are "
             "not bulk OUT and bulk IN; passed over",
             d.idVendor, d.idProduct, bus, address);
    ReportOnce(DeviceKey("endpoints", bus, address), text);
    return false;
}

void UsbListConsoles(std::vector<std::string>* paths) {
    libusb_context* ctx = Context();
    if (ctx == nullptr) return;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0) return;
    struct Found {
        int bus, address;
        std::string name;
    };
    std::vector<Found> found;
    for (ssize_t i = 0; i < count; i++) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
        if (!UsbIsConsoleIdentity(d.idVendor, d.idProduct)) continue;
        int number;
        UsbEndpoints endpoints;
        if (!EndpointsUsable(list[i], d, &number, &endpoints)) continue;
        int bus = libusb_get_bus_number(list[i]), address = libusb_get_device_address(list[i]);
        char name[64];
        if (UsbInterfaceName(d.idVendor, d.idProduct, bus, address, name, sizeof name))
            found.push_back({bus, address, name});
    }
    libusb_free_device_list(list, 1);
    // libusb lists in no fixed order; the bus and address give one.
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
    });
    for (const Found& f : found) paths->push_back(f.name);
}

// Opens the device of name and claims its interface; false (with a message where the
// technician can do something about it) when that fails. Called with UsbLock held.
static bool OpenDevice(const UsbPipeName& name, UsbDevice* slot) {
    libusb_context* ctx = Context();
    if (ctx == nullptr) return false;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0) return false;
    libusb_device* dev = nullptr;
    for (ssize_t i = 0; i < count && dev == nullptr; i++) {
        libusb_device_descriptor d;
        if (libusb_get_bus_number(list[i]) == name.bus &&
            libusb_get_device_address(list[i]) == name.address &&
            libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == name.vendor &&
            d.idProduct == name.product)
            dev = list[i];
    }
    bool ok = false;
    int number = 0;
    libusb_device_handle* handle = nullptr;
    if (dev != nullptr && InterfaceOf(dev, &number, &slot->endpoints)) {
        int r = libusb_open(dev, &handle);
        if (r == LIBUSB_ERROR_ACCESS) {
            char text[240];
            snprintf(text, sizeof text,
                     "No permission to open USB device vid_%04x&pid_%04x (bus %d, device %d): "
                     "install the udev rule %s (scripts/setup.sh does) and plug the console in "
                     "again",
                     name.vendor, name.product, name.bus, name.address, USB_RULES_FILE);
            ReportOnce(DeviceKey("access", name.bus, name.address), text);
        }
        if (r != 0) handle = nullptr;
    }
    if (handle != nullptr) {
        // A kernel driver bound to the interface is lent to us and given back at close.
        slot->reattach = libusb_kernel_driver_active(handle, number) == 1 &&
                         libusb_detach_kernel_driver(handle, number) == 0;
        int r = libusb_claim_interface(handle, number);
        if (r == 0) {
            ok = true;
        } else {
            char text[200];
            snprintf(text, sizeof text,
                     "USB device vid_%04x&pid_%04x (bus %d, device %d) is in use by another "
                     "program (%s)",
                     name.vendor, name.product, name.bus, name.address, libusb_error_name(r));
            ReportOnce(DeviceKey("claim", name.bus, name.address), text);
            if (slot->reattach) libusb_attach_kernel_driver(handle, number);
            libusb_close(handle);
        }
    }
    libusb_free_device_list(list, 1);
    if (!ok) return false;
    slot->handle = handle;
    slot->bus = name.bus;
    slot->address = name.address;
    slot->users = 0;
    slot->pipeOpen[0] = slot->pipeOpen[1] = false;
    return true;
}

// Gives the interface back once no pipe and no transfer uses the handle. UsbLock held.
static void CloseIfUnused(UsbDevice* slot) {
    if (slot->handle == nullptr || slot->pipeOpen[0] || slot->pipeOpen[1] || slot->users > 0)
        return;
    int number = 0;
    UsbEndpoints unused;
    libusb_device* dev = libusb_get_device(slot->handle);
    InterfaceOf(dev, &number, &unused);
    libusb_release_interface(slot->handle, number);
    if (slot->reattach) libusb_attach_kernel_driver(slot->handle, number);
    libusb_close(slot->handle);
    *slot = UsbDevice();
}

PlatHandle UsbPipeOpen(const char* path) {
    UsbPipeName name;
    if (!UsbParsePipePath(path, &name)) return PLAT_NO_HANDLE;
    std::lock_guard<std::mutex> lock(UsbLock);
    int index = -1;
    for (int i = 0; i < USB_SLOTS && index < 0; i++)
        if (Slots[i].handle != nullptr && Slots[i].bus == name.bus && Slots[i].address == name.address)
            index = i;
    if (index < 0) {
        for (int i = 0; i < USB_SLOTS && index < 0; i++)
            if (Slots[i].handle == nullptr) index = i;
        if (index < 0 || !OpenDevice(name, &Slots[index])) return PLAT_NO_HANDLE;
    }
    UsbDevice& slot = Slots[index];
    if (slot.pipeOpen[name.pipe]) return PLAT_NO_HANDLE;  // one opener per pipe
    slot.pipeOpen[name.pipe] = true;
    return USB_HANDLE_BASE + index * 2 + name.pipe;
}

void UsbPipeClose(PlatHandle h) {
    if (!UsbIsHandle(h)) return;
    std::lock_guard<std::mutex> lock(UsbLock);
    UsbDevice& slot = Slots[(h - USB_HANDLE_BASE) / 2];
    slot.pipeOpen[(h - USB_HANDLE_BASE) % 2] = false;
    CloseIfUnused(&slot);
}

// Takes the pipe's device for one transfer; nullptr when the pipe is closed.
static UsbDevice* Acquire(PlatHandle h) {
    if (!UsbIsHandle(h)) return nullptr;
    std::lock_guard<std::mutex> lock(UsbLock);
    UsbDevice& slot = Slots[(h - USB_HANDLE_BASE) / 2];
    if (slot.handle == nullptr || !slot.pipeOpen[(h - USB_HANDLE_BASE) % 2]) return nullptr;
    slot.users++;
    return &slot;
}

static void Release(UsbDevice* slot) {
    std::lock_guard<std::mutex> lock(UsbLock);
    slot->users--;
    CloseIfUnused(slot);
}

static bool PipeStillOpen(PlatHandle h) {
    std::lock_guard<std::mutex> lock(UsbLock);
    return Slots[(h - USB_HANDLE_BASE) / 2].pipeOpen[(h - USB_HANDLE_BASE) % 2];
}

static void LIBUSB_CALL TransferDone(libusb_transfer* transfer) {
    *static_cast<int*>(transfer->user_data) = 1;
}

// Runs one bulk transfer on the pipe's endpoint to its end. It is cancelled when the
// pipe is closed under it or, if wakeable, when the receive thread is told to stop (a
// signal or UsbWakeReaders). Returns the bytes moved, or -1.
static long RunTransfer(PlatHandle h, uint8_t* bytes, unsigned long count, unsigned timeoutMs,
                        bool wakeable) {
    UsbDevice* slot = Acquire(h);
    if (slot == nullptr) return -1;
    bool in = (h - USB_HANDLE_BASE) % 2 == 1;
    uint32_t generation = WakeGeneration;
    libusb_transfer* t = libusb_alloc_transfer(0);
    int done = 0;
    long result = -1;
    if (t != nullptr) {
        libusb_fill_bulk_transfer(t, slot->handle, in ? slot->endpoints.in : slot->endpoints.out,
                                  bytes, (int)count, TransferDone, &done, timeoutMs);
        if (libusb_submit_transfer(t) == 0) {
            bool cancelled = false;
            // A cancelled transfer still ends through its callback: wait for it.
            while (!done) {
                timeval step = {0, USB_STEP_US};
                int r = libusb_handle_events_timeout_completed(UsbContext, &step, &done);
                bool woken = wakeable && (r == LIBUSB_ERROR_INTERRUPTED || generation != WakeGeneration);
                if (!done && !cancelled && (woken || !PipeStillOpen(h))) {
                    cancelled = true;
                    libusb_cancel_transfer(t);
                }
            }
            // Bytes that arrived before a cancel or a time-out are still the device's.
            if (t->status == LIBUSB_TRANSFER_COMPLETED || t->actual_length > 0)
                result = t->actual_length;
        }
        libusb_free_transfer(t);
    }
    Release(slot);
    return result;
}

// Reads what arrives in one bulk IN transfer; count is a multiple of the packet size
// (the receive thread reads 256 bytes), so a packet never overflows the buffer.
long UsbPipeRead(PlatHandle h, void* buffer, unsigned long count) {
    if (!UsbIsHandle(h) || (h - USB_HANDLE_BASE) % 2 != 1) return -1;  // only PIPE01 is read
    return RunTransfer(h, static_cast<uint8_t*>(buffer), count, 0, true);
}

long UsbPipeWrite(PlatHandle h, const void* bytes, unsigned long count) {
    if (!UsbIsHandle(h) || (h - USB_HANDLE_BASE) % 2 != 0) return -1;  // only PIPE00 is written
    if (count == 0) return 0;
    long n = RunTransfer(h, const_cast<uint8_t*>(static_cast<const uint8_t*>(bytes)), count,
                         USB_WRITE_TIMEOUT_MS, false);
    return n > 0 ? n : -1;  // nothing moved is a failed write, never an endless retry
}

void UsbWakeReaders() { WakeGeneration++; }
