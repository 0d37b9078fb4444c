// options.h - kqsim's command line: the devices it names, their options, and the
// program's own settings. The options are one table (options.cpp) that the parser and
// --help both read; the man page (docs/man/kqsim.1) lists the same options, and the
// kqsim smoke check compares the two lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/model/sim.h"

namespace kqsim {

// The options of one device (or, given before any device, of all).
struct DeviceOptions {
    std::string fault;
    double plugAfter = 0, unplugAfter = -1;
    long unit = -1;
    std::string mac;
    sim::BootConfig::Checks checks = sim::BootConfig::Checks::Answer;
};

// --console or --boot.
struct DeviceChoice {
    bool boot;
    sim::Identity id;
    DeviceOptions opt;
};

// --remote, --receiver or --tempabox.
struct PeripheralChoice {
    size_t console;    // index into CommandLine::devices
    std::string kind;  // "remote", "receiver", "tempabox"
    bool boot = false;
    int address = -1;
    std::string fault;
    sim::BootConfig::Checks checks;
};

struct CommandLine {
    std::string dir;  // the device directory
    bool fast = false;
    double powerPause = 2.0;
    std::string savePrefix;
    std::vector<uint8_t> firmware;
    std::string replayFile;
    DeviceOptions common;
    std::vector<DeviceChoice> devices;
    std::vector<PeripheralChoice> peripherals;
    bool lastIsPeripheral = false;
};

// Reads the arguments into *line (whose dir holds the default). Returns -1 to go on,
// or the exit code: 0 after --help, 2 after a bad argument (said on standard error).
int ParseCommandLine(int argc, char** argv, CommandLine* line);

}  // namespace kqsim
