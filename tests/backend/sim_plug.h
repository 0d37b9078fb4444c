// sim_plug.h - plugs a simulated device into the test backend.
//
//   sim::Console console;
//   sim::TestbedPlug plug(&console);   // plugged in under console.InterfacePath()
//
// The plug must outlive the device's use by the backend (declare it after the device,
// in the same scope). When the model unplugs itself (an "unplug" fault), the backend
// removes the interface; plug.Plug() puts it back.
#pragma once

#include "sim/sim.h"
#include "tests/backend/testbed.h"

namespace sim {

class TestbedPlug : public testbed::VirtualDevice {
public:
    explicit TestbedPlug(SimDevice* device, bool plugNow = true) : device_(device) {
        if (plugNow) Plug();
    }
    ~TestbedPlug() override { Unplug(); }
    TestbedPlug(const TestbedPlug&) = delete;
    TestbedPlug& operator=(const TestbedPlug&) = delete;

    void Plug() {
        device_->Replug();
        path_ = device_->InterfacePath();
        testbed::Plug(path_, this);
    }
    void Unplug() {
        if (!path_.empty()) testbed::Unplug(path_);
        path_.clear();
    }

    void HostWrote(uint64_t nowUs, const uint8_t* bytes, size_t count) override {
        device_->HostWrote(nowUs, bytes, count);
    }
    uint64_t NextEventUs() override { return device_->NextEventUs(); }
    void RunUntil(uint64_t nowUs, std::vector<uint8_t>* toHost, bool* unplug) override {
        device_->RunUntil(nowUs, toHost, unplug);
    }

private:
    SimDevice* device_;
    std::string path_;
};

}  // namespace sim
