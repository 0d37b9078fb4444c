// serve.h - kqsim's server: the devices it serves in the device directory, each
// plugged in as the kqusb driver would publish it, and the loop that carries bytes
// between the program's FIFOs and the device models in real time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/model/sim.h"

namespace kqsim {

// A peripheral on a served console's KQ-LINK port.
struct Attached {
    std::unique_ptr<sim::Station> station;
    std::string label;  // "remote", "receiver-2", "tempabox"...
    size_t errorsShown = 0;
    uint64_t powerBackUs = 0;  // after a power cut: when it is switched on again
};

struct Served {
    std::unique_ptr<sim::SimDevice> device;
    std::vector<Attached> peripherals;
    std::string label;  // "console" / "boot"
    std::string dir;
    double plugAfter = 0, unplugAfter = -1;
    bool plugged = false, gone = false;
    int in = -1, out = -1;  // PIPE00 (we read), PIPE01 (we write)
    bool connected = false;
    size_t errorsShown = 0;
    uint64_t powerBackUs = 0;  // after a power cut: when it is switched on again
    // When set, the device is plugged in exactly while this says so (a replayed field
    // run's devices come and go as the trace moves on); plug-after and unplug-after
    // do not apply.
    std::function<bool()> present;
};

// The device directory ($KQUSB_DEVICES, --dir).
extern std::string BaseDir;
// Seconds between a "cut" fault and the power coming back (--power-pause).
extern double PowerPause;

// Microseconds since kqsim started.
uint64_t MonotonicUs();
void StartClock();
// One line of kqsim's report: time, who, what.
void Say(uint64_t us, const std::string& who, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Serves the devices until SIGINT or SIGTERM, then reports on each and, with a
// prefix, saves their flash. Returns the exit code.
int Serve(std::vector<Served>& served, const std::string& savePrefix, bool fast);

}  // namespace kqsim
