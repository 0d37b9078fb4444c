// serve.cpp - kqsim serves simulated devices in a device directory, as the kqusb driver would
// publish them: one sub-directory per interface ("usb#vid_1d2b&pid_0001#0001") with
// the FIFOs PIPE00 (program to device) and PIPE01 (device to program).
//
// While a device is plugged in, kqsim holds PIPE00 open for reading and PIPE01 open
// for writing, so that the program's non-blocking opens succeed. PIPE01 is held with
// O_RDWR: a FIFO cannot be opened write-only without a reader, and it must stay open
// between connections so the program's reads do not see end of file. Because kqsim is
// then also a reader of PIPE01, it only writes while a program is connected (bytes
// arrived on PIPE00 since the last end of file) and throws away whatever is left in
// the FIFO when the program goes, so the next connection starts clean.
//
// End of file on PIPE00 means the program closed its end: kqsim reopens PIPE00 for
// the next connection (a fresh open reports no hang-up until a writer has come and
// gone again, so this does not spin).
#include "sim/kqsim/serve.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kqsim {

namespace {

volatile sig_atomic_t Stop = 0;
void OnSignal(int) { Stop = 1; }

uint64_t Origin = 0;

}  // namespace

double PowerPause;
std::string BaseDir;

void StartClock() {
    Origin = 0;
    Origin = MonotonicUs();
}

uint64_t MonotonicUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u - Origin;
}

void Say(uint64_t us, const std::string& who, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    printf("%4llu.%06llu %s %s\n", (unsigned long long)(us / 1000000), (unsigned long long)(us % 1000000),
           who.c_str(), text);
    fflush(stdout);
}

namespace {

bool CreatedBase = false;

std::string Seconds(uint64_t us) {
    char text[32];
    snprintf(text, sizeof text, "%llu.%06llu", (unsigned long long)(us / 1000000), (unsigned long long)(us % 1000000));
    return text;
}


bool Plug(Served& s, uint64_t now);

// The power comes back: the device starts as its flash decides (a console whose image
// is not whole shows no USB identity; a Remote or Receiver whose firmware is not whole
// stays silent on KQ-LINK).
void PowerBack(Served& s, uint64_t now) {
    if (s.powerBackUs != 0 && now >= s.powerBackUs) {
        s.powerBackUs = 0;
        if (s.device->PowerOn()) {
            s.gone = false;
            if (!Plug(s, now)) s.gone = true;
        } else {
            Say(now, s.device->InterfacePath(), "power back: the start-up code finds no whole image, no USB identity");
        }
    }
    for (Attached& a : s.peripherals) {
        if (a.station->PoweredOff() && a.powerBackUs == 0) a.powerBackUs = now + (uint64_t)(PowerPause * 1e6);
        if (a.powerBackUs == 0 || now < a.powerBackUs) continue;
        a.powerBackUs = 0;
        bool shows = a.station->PowerOn();
        Say(now, s.device->InterfacePath() + "/" + a.label, "power back: %s",
            shows ? "running" : "its firmware is not whole, it stays silent");
    }
}


void Drain(int fd) {
    uint8_t junk[4096];
    while (fd >= 0 && read(fd, junk, sizeof junk) > 0) {
    }
}

bool OpenIn(Served& s) {
    s.in = open((s.dir + "/PIPE00").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return s.in >= 0;
}

bool Plug(Served& s, uint64_t now) {
    mkdir(s.dir.c_str(), 0755);  // may be left over from a run that was killed
    for (const char* pipe : {"/PIPE00", "/PIPE01"}) {
        std::string path = s.dir + pipe;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) unlink(path.c_str());
        if (mkfifo(path.c_str(), 0666) != 0 && errno != EEXIST) {
            Say(now, s.device->InterfacePath(), "cannot make %s: %s", path.c_str(), strerror(errno));
            return false;
        }
    }
    if (!OpenIn(s)) return false;
    s.out = open((s.dir + "/PIPE01").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (s.out < 0) return false;
    Drain(s.out);
    s.plugged = true;
    s.connected = false;
    s.device->Replug();
    Say(now, s.device->InterfacePath(), "plugged in (%s)", s.label.c_str());
    return true;
}

void Unplug(Served& s, uint64_t now, const char* why) {
    if (!s.plugged) return;
    if (s.in >= 0) close(s.in);
    if (s.out >= 0) close(s.out);
    s.in = s.out = -1;
    unlink((s.dir + "/PIPE00").c_str());
    unlink((s.dir + "/PIPE01").c_str());
    rmdir(s.dir.c_str());
    s.plugged = false;
    s.connected = false;
    Say(now, s.device->InterfacePath(), "unplugged (%s)", why);
}

void ShowErrors(Served& s) {
    const auto& errors = s.device->Errors();
    for (; s.errorsShown < errors.size(); s.errorsShown++)
        Say(errors[s.errorsShown].timeUs, s.device->InterfacePath(), "DEVICE ERROR %s: %s",
            errors[s.errorsShown].kind.c_str(), errors[s.errorsShown].text.c_str());
    for (Attached& a : s.peripherals) {
        const auto& e = a.station->Errors();
        for (; a.errorsShown < e.size(); a.errorsShown++)
            Say(e[a.errorsShown].timeUs, s.device->InterfacePath() + "/" + a.label, "DEVICE ERROR %s: %s",
                e[a.errorsShown].kind.c_str(), e[a.errorsShown].text.c_str());
    }
}

void HostBytes(Served& s, uint64_t now) {
    uint8_t buf[8192];
    ssize_t n = read(s.in, buf, sizeof buf);
    if (n > 0) {
        if (!s.connected) {
            Drain(s.out);
            s.connected = true;
            Say(now, s.device->InterfacePath(), "program connected");
        }
        s.device->HostWrote(now, buf, (size_t)n);
        ShowErrors(s);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // The program closed PIPE00: this connection is over.
        s.device->HostClosed(now);
        if (s.connected) Say(now, s.device->InterfacePath(), "program disconnected");
        s.connected = false;
        Drain(s.out);
        close(s.in);
        if (!OpenIn(s)) Unplug(s, now, "PIPE00 cannot be reopened");
    }
}

void RunDevice(Served& s, uint64_t now) {
    if (!s.plugged || s.device->NextEventUs() > now) return;
    std::vector<uint8_t> out;
    bool unplug = false;
    s.device->RunUntil(now, &out, &unplug);
    if (!out.empty()) {
        if (!s.connected) {
            Say(now, s.device->InterfacePath(), "%zu bytes dropped: no program connected", out.size());
        } else {
            ssize_t n = write(s.out, out.data(), out.size());
            if (n < (ssize_t)out.size())
                Say(now, s.device->InterfacePath(), "%zu bytes dropped: PIPE01 full", out.size() - (n > 0 ? n : 0));
        }
    }
    if (unplug) {
        Unplug(s, now, s.device->PoweredOff() ? "power cut" : "fault plan");
        s.gone = true;
        if (s.device->PoweredOff()) s.powerBackUs = now + (uint64_t)(PowerPause * 1e6);
    }
    ShowErrors(s);
}

// A real device has a processor of its own; kqsim shares the PC's with everything else.
// A simulated console that waits for a CPU answers late, and the program, which
// gives the console only 30 ms past a KQ-LINK listen window, reads that as a console
// fault. So the serve loop takes first-in-first-out real-time scheduling where that is
// allowed, one level above the KQ-LINK checks (tests/e2e/kqlink_priority.sh runs them
// at round-robin level 1): not even a second check or program at their level delays
// it. It sleeps whenever no device has something due, so it takes nothing from the
// rest meanwhile. Returns how it is scheduled, for the first report line.
const int REALTIME_LEVEL = 2;
const uint64_t LATE_WAKE_US = 10000;
std::string TakeDeviceTime() {
    sched_param p{};
    p.sched_priority = REALTIME_LEVEL;
    if (sched_setscheduler(0, SCHED_FIFO, &p) == 0) return "real-time scheduling";
    return std::string("ordinary scheduling (real-time refused: ") + strerror(errno) + ")";
}

// Nanoseconds this thread has spent ready to run but waiting for a CPU, since it
// started (0 where the kernel does not keep the figure).
uint64_t CpuWaitNs() {
    FILE* f = fopen("/proc/thread-self/schedstat", "r");
    if (f == nullptr) return 0;
    unsigned long long running = 0, waiting = 0;
    if (fscanf(f, "%llu %llu", &running, &waiting) != 2) waiting = 0;
    fclose(f);
    return waiting;
}

bool SaveFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// Plugs in and unplugs the device as its options (or the trace) say, and brings *wake
// forward to the next moment it has something due.
void Schedule(Served& s, uint64_t now, uint64_t* wake) {
    PowerBack(s, now);
    if (s.powerBackUs != 0) *wake = std::min(*wake, s.powerBackUs);
    for (const Attached& a : s.peripherals)
        if (a.powerBackUs != 0) *wake = std::min(*wake, a.powerBackUs);
    if (s.present) {
        bool wanted = s.present();
        if (!s.plugged && wanted && !Plug(s, now)) {
            Say(now, s.device->InterfacePath(), "cannot plug in: %s", strerror(errno));
            s.present = nullptr;
            s.gone = true;
        }
        if (s.plugged && !wanted && s.device->NextEventUs() == sim::kNever) Unplug(s, now, "the trace has moved on");
        if (s.plugged) *wake = std::min(*wake, s.device->NextEventUs());
        return;
    }
    if (!s.plugged && !s.gone && now >= (uint64_t)(s.plugAfter * 1e6)) {
        if (!Plug(s, now)) {
            Say(now, s.device->InterfacePath(), "cannot plug in: %s", strerror(errno));
            Unplug(s, now, "failed");
            s.gone = true;
        }
    }
    if (s.plugged && s.unplugAfter >= 0 && now >= (uint64_t)(s.unplugAfter * 1e6)) {
        Unplug(s, now, "--unplug-after");
        s.gone = true;
    }
    if (!s.plugged && !s.gone) *wake = std::min(*wake, (uint64_t)(s.plugAfter * 1e6));
    if (s.plugged && s.unplugAfter >= 0) *wake = std::min(*wake, (uint64_t)(s.unplugAfter * 1e6));
    if (s.plugged) *wake = std::min(*wake, s.device->NextEventUs());
}

// How long the loop waited for a CPU at most between two looks at the devices, and
// how late it woke for something due: past 30 ms a listen's answer can miss the
// program's window, and a failed check says whose fault that was.
struct Lateness {
    uint64_t latestWakeUs = 0, lateWakes = 0, longestCpuWaitUs = 0, cpuWaitNs = CpuWaitNs();

    void Woke(uint64_t now, uint64_t wake, bool timedOut) {
        uint64_t waited = CpuWaitNs();
        longestCpuWaitUs = std::max(longestCpuWaitUs, (waited - cpuWaitNs) / 1000);
        cpuWaitNs = waited;
        if (timedOut && now > wake) {
            latestWakeUs = std::max(latestWakeUs, now - wake);
            if (now - wake > LATE_WAKE_US) lateWakes++;
        }
    }
};

// One look at the devices: plugs and unplugs, waits until the next thing due or bytes
// from a program, and runs the devices. False when polling fails.
bool ServeOnce(std::vector<Served>& served, Lateness* lateness) {
    uint64_t now = MonotonicUs();
    uint64_t wake = now + 500000;
    for (Served& s : served) Schedule(s, now, &wake);
    std::vector<pollfd> fds;
    std::vector<Served*> owners;
    for (Served& s : served)
        if (s.plugged) fds.push_back(pollfd{s.in, POLLIN, 0}), owners.push_back(&s);
    // To the microsecond: a device answers when its model says, not at the next
    // whole millisecond (that would add a millisecond to every request).
    uint64_t sleepUs = wake <= now ? 0 : wake - now;
    timespec timeout = {(time_t)(sleepUs / 1000000), (long)(sleepUs % 1000000) * 1000L};
    int n = ppoll(fds.data(), fds.size(), &timeout, nullptr);
    if (n < 0 && errno != EINTR) {
        perror("kqsim: poll");
        return false;
    }
    now = MonotonicUs();
    lateness->Woke(now, wake, n == 0);
    for (size_t i = 0; n > 0 && i < fds.size(); i++)
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) HostBytes(*owners[i], now);
    for (Served& s : served) RunDevice(s, now);
    return true;
}

// With a prefix, each flash of the device and its peripherals in a file.
void SaveFlash(const Served& s, const std::string& savePrefix) {
    const sim::SimDevice& d = *s.device;
    std::string base = savePrefix + d.InterfacePath();
    bool ok;
    if (auto* c = dynamic_cast<const sim::Console*>(&d))
        ok = SaveFile(base + ".bin", c->Flash()) && SaveFile(base + "-vinculum.bin", c->VinculumFlash());
    else
        ok = SaveFile(base + ".bin", static_cast<const sim::BootDevice&>(d).Flash());
    for (const Attached& a : s.peripherals) {
        const std::vector<uint8_t>* flash = nullptr;
        if (auto* ps = dynamic_cast<const sim::PacketStation*>(a.station.get())) flash = &ps->Flash();
        if (auto* bp = dynamic_cast<const sim::BootPeer*>(a.station.get())) flash = &bp->Flash();
        if (flash && !SaveFile(base + "-" + a.label + ".bin", *flash))
            fprintf(stderr, "kqsim: cannot write %s-%s.bin\n", base.c_str(), a.label.c_str());
    }
    if (!ok) fprintf(stderr, "kqsim: cannot write %s.bin\n", base.c_str());
}

// At the end: what each device and its peripherals served.
void Report(Served& s, uint64_t now) {
    const sim::SimDevice& d = *s.device;
    Say(now, d.InterfacePath(), "%zu requests, %zu device errors, busy %s s", d.Requests().size(),
        d.Errors().size(), Seconds(d.BusyTotalUs()).c_str());
    // The peripherals' own work, and how long KQ-LINK carried bytes at the rates
    // they were sent at (the console's port and the peripherals' answers apart):
    // the benchmark sets these against the waits the program fixes.
    for (const Attached& a : s.peripherals)
        Say(now, d.InterfacePath() + "/" + a.label, "%zu requests, %zu device errors, busy %s s",
            a.station->Requests().size(), a.station->Errors().size(), Seconds(a.station->BusyTotalUs()).c_str());
    if (auto* c = dynamic_cast<sim::Console*>(s.device.get())) {
        uint64_t port = 0, peripherals = 0;
        for (const sim::Bus::Transmission& t : c->KqLink().History())
            (t.from == nullptr ? port : peripherals) += t.endUs - t.startUs;
        if (!c->KqLink().History().empty())
            Say(now, d.InterfacePath(), "KQ-LINK bus time %s s: port %s s, peripherals %s s, %zu transmissions",
                Seconds(port + peripherals).c_str(), Seconds(port).c_str(), Seconds(peripherals).c_str(),
                c->KqLink().History().size());
    }
}

// The device directory, made when it is not there; SIGINT and SIGTERM end the loop.
bool Prepare() {
    struct stat st;
    if (stat(BaseDir.c_str(), &st) != 0) {
        if (mkdir(BaseDir.c_str(), 0755) != 0) {
            fprintf(stderr, "kqsim: cannot create %s: %s\n", BaseDir.c_str(), strerror(errno));
            return false;
        }
        CreatedBase = true;
    }
    signal(SIGPIPE, SIG_IGN);
    // The kernel may otherwise let a sleep run 50 us long to batch wake-ups.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return true;
}

}  // namespace

int Serve(std::vector<Served>& served, const std::string& savePrefix, bool fast) {
    if (!Prepare()) return 1;
    std::string scheduling = TakeDeviceTime();
    Say(0, "kqsim", "serving %s, %s timing, %s", BaseDir.c_str(), fast ? "fast" : "real", scheduling.c_str());
    Lateness lateness;
    while (!Stop && ServeOnce(served, &lateness)) {
    }
    uint64_t now = MonotonicUs();
    Say(now, "kqsim", "woke at most %s s late (%llu times more than %s s), waited at most %s s for a CPU",
        Seconds(lateness.latestWakeUs).c_str(), (unsigned long long)lateness.lateWakes, Seconds(LATE_WAKE_US).c_str(),
        Seconds(lateness.longestCpuWaitUs).c_str());
    for (Served& s : served) {
        Unplug(s, now, "kqsim stopping");
        Report(s, now);
        if (!savePrefix.empty()) SaveFlash(s, savePrefix);
    }
    if (CreatedBase) rmdir(BaseDir.c_str());
    return 0;
}

}  // namespace kqsim
