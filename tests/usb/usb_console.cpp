// usb_console.cpp - the console on an emulated USB bus, for the Linux build's libusb
// path without hardware.
//
// umockdev builds a sandbox /sys and /dev holding one USB device with the console's
// descriptors (bus 1, device 4); a program started with libumockdev-preload and this
// sandbox's UMOCKDEV_DIR finds it through libusb. Its usbfs requests come here: bulk OUT
// URBs feed the console model of sim/ (HostWrote), the model's answers (RunUntil, on a
// monotonic clock) fill the bulk IN URBs, and reaping hands completed URBs back.
//
// Usage: kq_usb_console --ready=FILE [--save-flash=FILE] [--summary=FILE] [--boot]
//                       [--faults=PLAN] [--endpoints=swapped] [--kernel-driver]
// Writes the sandbox directory into the ready file once the device is attached, serves
// until SIGTERM or SIGINT, then saves the flash and a summary of what happened.
#include <linux/usbdevice_fs.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <unistd.h>
#include <umockdev.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/model/sim.h"

namespace {

struct Options {
    std::string ready, saveFlash, summary, faults;
    bool boot = false, swapped = false, kernelDriver = false;
};

struct Urb {
    UMockdevIoctlData* urb;     // the client's struct usbdevfs_urb
    UMockdevIoctlData* buffer;  // its data buffer
};

// What the usbfs side of the emulated device keeps between requests.
struct UsbState {
    std::mutex lock;
    std::unique_ptr<sim::SimDevice> device;
    sim::Console* console = nullptr;
    sim::BootDevice* boot = nullptr;
    gint64 startUs = 0;
    std::deque<Urb> pendingIn;  // IN URBs waiting for the device's bytes
    std::deque<Urb> done;       // completed URBs waiting to be reaped
    std::deque<uint8_t> toHost;
    bool unplugged = false;
    bool driverBound = false;
    int claims = 0, releases = 0, detaches = 0, attaches = 0;
    std::vector<std::string> unknown;
};
UsbState State;

usbdevfs_urb* UrbOf(const Urb& u) { return reinterpret_cast<usbdevfs_urb*>(u.urb->data); }

void Finish(Urb u, int status, int length) {
    UrbOf(u)->status = status;
    UrbOf(u)->actual_length = length;
    State.done.push_back(u);
}

// Runs the model up to now and hands its bytes to waiting IN URBs. Lock held.
void Pump() {
    uint64_t now = (uint64_t)(g_get_monotonic_time() - State.startUs);
    std::vector<uint8_t> out;
    bool unplug = false;
    if (!State.unplugged) State.device->RunUntil(now, &out, &unplug);
    State.toHost.insert(State.toHost.end(), out.begin(), out.end());
    if (unplug) State.unplugged = true;
    while (!State.pendingIn.empty() && !State.toHost.empty()) {
        Urb u = State.pendingIn.front();
        State.pendingIn.pop_front();
        int n = std::min<int>(UrbOf(u)->buffer_length, (int)State.toHost.size());
        for (int i = 0; i < n; i++) {
            u.buffer->data[i] = State.toHost.front();
            State.toHost.pop_front();
        }
        Finish(u, 0, n);
    }
    // A device gone from the bus ends every URB as the host controller does.
    while (State.unplugged && !State.pendingIn.empty()) {
        Finish(State.pendingIn.front(), -ESHUTDOWN, 0);
        State.pendingIn.pop_front();
    }
}

void Submit(UMockdevIoctlClient* client) {
    GError* error = nullptr;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (urb == nullptr) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_urb* u = reinterpret_cast<usbdevfs_urb*>(urb->data);
    UMockdevIoctlData* buffer =
        umockdev_ioctl_data_resolve(urb, offsetof(usbdevfs_urb, buffer), (gsize)u->buffer_length, &error);
    if (buffer == nullptr || u->type != USBDEVFS_URB_TYPE_BULK) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    Urb entry{urb, buffer};
    g_object_ref(urb);
    if (u->endpoint & 0x80) {
        State.pendingIn.push_back(entry);
    } else {
        uint64_t now = (uint64_t)(g_get_monotonic_time() - State.startUs);
        State.device->HostWrote(now, buffer->data, (size_t)u->buffer_length);
        Finish(entry, 0, u->buffer_length);
    }
    Pump();
    umockdev_ioctl_client_complete(client, 0, 0);
}

void Reap(UMockdevIoctlClient* client) {
    Pump();
    if (State.done.empty()) {
        // Nothing yet: the client polls again at once, so give the model a moment.
        State.lock.unlock();
        g_usleep(300);
        State.lock.lock();
        Pump();
    }
    if (State.done.empty()) {
        umockdev_ioctl_client_complete(client, -1, State.unplugged ? ENODEV : EAGAIN);
        return;
    }
    Urb u = State.done.front();
    State.done.pop_front();
    GError* error = nullptr;
    UMockdevIoctlData* slot =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*), &error);
    if (slot == nullptr) g_clear_error(&error);
    if (slot != nullptr) umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
    umockdev_ioctl_client_complete(client, slot != nullptr ? 0 : -1, slot != nullptr ? 0 : EFAULT);
    g_object_unref(u.urb);
}

void Discard(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    gulong address = 0;
    if (arg->data_len >= (gint)sizeof address) memcpy(&address, arg->data, sizeof address);
    for (auto it = State.pendingIn.begin(); it != State.pendingIn.end(); ++it) {
        if (it->urb->client_addr != address) continue;
        Urb u = *it;
        State.pendingIn.erase(it);
        Finish(u, -ENOENT, 0);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

// usbdevfs_ioctl: the kernel driver's disconnect and connect.
void DriverRequest(UMockdevIoctlClient* client) {
    GError* error = nullptr;
    UMockdevIoctlData* arg =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_ioctl), &error);
    if (arg == nullptr) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    int code = reinterpret_cast<usbdevfs_ioctl*>(arg->data)->ioctl_code;
    if (code == (int)USBDEVFS_DISCONNECT && State.driverBound) {
        State.driverBound = false;
        State.detaches++;
        umockdev_ioctl_client_complete(client, 0, 0);
    } else if (code == (int)USBDEVFS_CONNECT && !State.driverBound) {
        State.driverBound = true;
        State.attaches++;
        umockdev_ioctl_client_complete(client, 0, 0);
    } else {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
    }
}

void GetDriver(UMockdevIoctlClient* client) {
    if (!State.driverBound) {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return;
    }
    GError* error = nullptr;
    UMockdevIoctlData* arg =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_getdriver), &error);
    if (arg == nullptr) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_getdriver* d = reinterpret_cast<usbdevfs_getdriver*>(arg->data);
    snprintf(d->driver, sizeof d->driver, "cdc_acm");
    umockdev_ioctl_client_complete(client, 0, 0);
}

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    std::unique_lock<std::mutex> hold(State.lock);
    gulong request = umockdev_ioctl_client_get_request(client);
    if (State.unplugged && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
        request != USBDEVFS_RELEASEINTERFACE) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_SUBMITURB: Submit(client); break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: Reap(client); break;
    case USBDEVFS_DISCARDURB: Discard(client); break;
    case USBDEVFS_GETDRIVER: GetDriver(client); break;
    case USBDEVFS_IOCTL: DriverRequest(client); break;
    case USBDEVFS_CLAIMINTERFACE:
        if (State.driverBound) {
            umockdev_ioctl_client_complete(client, -1, EBUSY);
        } else {
            State.claims++;
            umockdev_ioctl_client_complete(client, 0, 0);
        }
        break;
    case USBDEVFS_RELEASEINTERFACE:
        State.releases++;
        umockdev_ioctl_client_complete(client, 0, 0);
        break;
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESETEP: umockdev_ioctl_client_complete(client, 0, 0); break;
    default: {
        char text[32];
        snprintf(text, sizeof text, "0x%lx", request);
        State.unknown.push_back(text);
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
    }
    }
    return TRUE;
}

// Device, configuration, interface and two endpoint descriptors of a full-speed device
// with the identity; the console's interface has its bulk OUT endpoint first.
std::string Descriptors(sim::Identity id, bool swapped) {
    const uint8_t out[] = {0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00};
    const uint8_t in[] = {0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00};
    std::vector<uint8_t> d = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40,
                              (uint8_t)id.vendor, (uint8_t)(id.vendor >> 8),
                              (uint8_t)id.product, (uint8_t)(id.product >> 8),
                              0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
                              0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
                              0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00};
    const uint8_t* first = swapped ? in : out;
    const uint8_t* second = swapped ? out : in;
    d.insert(d.end(), first, first + 7);
    d.insert(d.end(), second, second + 7);
    std::string hex;
    char two[3];
    for (uint8_t b : d) {
        snprintf(two, sizeof two, "%02X", b);
        hex += two;
    }
    return hex;
}

std::string DeviceText(sim::Identity id, bool swapped) {
    char text[1024];
    snprintf(text, sizeof text,
             "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n"
             "N: bus/usb/001/004\n"
             "E: DEVNAME=/dev/bus/usb/001/004\n"
             "E: DEVTYPE=usb_device\n"
             "E: DRIVER=usb\n"
             "E: PRODUCT=%x/%x/100\n"
             "E: SUBSYSTEM=usb\n"
             "E: BUSNUM=001\n"
             "E: DEVNUM=004\n"
             "A: busnum=1\\n\n"
             "A: devnum=4\\n\n"
             "A: idVendor=%04x\\n\n"
             "A: idProduct=%04x\\n\n"
             "A: speed=12\\n\n"
             "A: bConfigurationValue=1\\n\n"
             "A: bNumConfigurations=1\\n\n"
             "A: dev=189:3\\n\n"
             "H: descriptors=%s\n",
             id.vendor, id.product, id.vendor, id.product, Descriptors(id, swapped).c_str());
    return text;
}

bool ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char* name, std::string* into) {
            size_t n = strlen(name);
            if (a.compare(0, n, name) != 0) return false;
            *into = a.substr(n);
            return true;
        };
        if (value("--ready=", &o->ready) || value("--save-flash=", &o->saveFlash) ||
            value("--summary=", &o->summary) || value("--faults=", &o->faults))
            continue;
        if (a == "--boot") o->boot = true;
        else if (a == "--endpoints=swapped") o->swapped = true;
        else if (a == "--kernel-driver") o->kernelDriver = true;
        else return false;
    }
    return !o->ready.empty();
}

bool WriteFile(const std::string& path, const void* bytes, size_t count) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = fwrite(bytes, 1, count, f) == count;
    return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseArgs(argc, argv, &o)) {
        fprintf(stderr, "usage: %s --ready=FILE [--save-flash=FILE] [--summary=FILE] [--boot] "
                        "[--faults=PLAN] [--endpoints=swapped] [--kernel-driver]\n", argv[0]);
        return 2;
    }
    sim::FaultPlan plan;
    std::string why;
    if (!sim::FaultPlan::Parse(o.faults, &plan, &why)) {
        fprintf(stderr, "bad fault plan: %s\n", why.c_str());
        return 2;
    }
    if (o.boot) {
        sim::BootConfig config;
        config.timing = config.timing.Scaled(100);
        auto boot = std::make_unique<sim::BootDevice>(config);
        State.boot = boot.get();
        State.device = std::move(boot);
    } else {
        auto console = std::make_unique<sim::Console>();
        console->SetTiming(console->Timing().Scaled(100));
        sim::FillOldFirmware(console->FlashMemory().get());
        State.console = console.get();
        State.device = std::move(console);
    }
    State.device->SetFaults(plan);
    State.driverBound = o.kernelDriver;
    State.startUs = g_get_monotonic_time();

    // Signals are taken by sigwait below, not by the umockdev worker thread.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    UMockdevTestbed* testbed = umockdev_testbed_new();
    GError* error = nullptr;
    std::string text = DeviceText(State.device->Id(), o.swapped);
    if (!umockdev_testbed_add_from_string(testbed, text.c_str(), &error)) {
        fprintf(stderr, "device: %s\n", error->message);
        return 1;
    }
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(HandleIoctl), nullptr);
    if (!umockdev_testbed_attach_ioctl(testbed, "/dev/bus/usb/001/004", handler, &error)) {
        fprintf(stderr, "ioctl handler: %s\n", error->message);
        return 1;
    }
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    std::string ready = std::string(root) + "\n";
    std::string partial = o.ready + ".part";
    if (!WriteFile(partial, ready.data(), ready.size()) || rename(partial.c_str(), o.ready.c_str()) != 0) {
        fprintf(stderr, "cannot write %s\n", o.ready.c_str());
        return 1;
    }
    int signal = 0;
    sigwait(&stop, &signal);

    std::lock_guard<std::mutex> hold(State.lock);
    const std::vector<uint8_t>& flash = State.console ? State.console->Flash() : State.boot->Flash();
    if (!o.saveFlash.empty() && !WriteFile(o.saveFlash, flash.data(), flash.size())) return 1;
    if (!o.summary.empty()) {
        std::string s;
        char line[160];
        snprintf(line, sizeof line, "erase=%d program=%d errors=%zu unplugged=%d\n",
                 State.device->CountOf("erase"), State.device->CountOf("program"),
                 State.device->Errors().size(), State.unplugged ? 1 : 0);
        s += line;
        snprintf(line, sizeof line, "claims=%d releases=%d detaches=%d attaches=%d driver=%d\n",
                 State.claims, State.releases, State.detaches, State.attaches, State.driverBound ? 1 : 0);
        s += line;
        for (const std::string& u : State.unknown) s += "unknown ioctl " + u + "\n";
        if (!WriteFile(o.summary, s.data(), s.size())) return 1;
    }
    // The sandbox directory goes with the testbed; leave at once, the worker may be busy.
    fflush(nullptr);
    _exit(0);
}
