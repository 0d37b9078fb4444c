// sim_plug.h - plugs a simulated device into the test backend.
//
//   sim::Console console;
//   sim::TestbedPlug plug(&console);   // plugged in under console.InterfacePath()
//
// The plug must outlive the device's use by the backend (declare it after the device,
// in the same scope). When the model unplugs itself (an "unplug" fault), the backend
// removes the interface; plug.Plug() puts it back.
//
// sim::LinkTunnel drives a console model's KQ-LINK tunnel the way the PC does, with
// console frames in virtual time, for model tests of the peripherals:
//
//   sim::Console console;  sim::Remote remote(3);  console.KqLink().Attach(&remote);
//   sim::LinkTunnel link(&console);
//   link.Speed(250000);  link.Packet({0x80, 0xE0, 0x60});
//   Bytes heard = link.Listen(255, 32000);
#pragma once

#include <algorithm>

#include "sim/model/sim.h"
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

class LinkTunnel {
public:
    using Bytes = std::vector<uint8_t>;
    explicit LinkTunnel(Console* console) : console_(console) {}
    uint64_t now = 0;

    // 0x04: the port's bit rate; the PC then waits 30 ms.
    void Speed(uint32_t bitRate) {
        Write({0x80, 0x04, (uint8_t)bitRate, (uint8_t)(bitRate >> 8), (uint8_t)(bitRate >> 16), (uint8_t)(bitRate >> 24)});
        Wait(30000);
    }
    // 0x05: bytes on KQ-LINK as they are; the PC then waits 30 ms + 100 us a byte.
    void Send(const Bytes& bytes) {
        Bytes f{0x80, 0x05, (uint8_t)bytes.size()};
        f.insert(f.end(), bytes.begin(), bytes.end());
        Write(f);
        Wait(30000 + 100 * (uint32_t)bytes.size());
    }
    // A KQ-LINK packet: every 0x80 after the start byte doubled.
    void Packet(const Bytes& packet) {
        Bytes wire;
        for (size_t i = 0; i < packet.size(); i++) {
            wire.push_back(packet[i]);
            if (i > 0 && packet[i] == 0x80) wire.push_back(0x80);
        }
        Send(wire);
    }
    // 0x06: what the console heard, from its 0x07 answer (empty when none came within
    // the window + 30 ms).
    Bytes Listen(uint8_t wanted, uint32_t windowUs) {
        Write({0x80, 0x06, wanted, (uint8_t)windowUs, (uint8_t)(windowUs >> 8), (uint8_t)(windowUs >> 16),
               (uint8_t)(windowUs >> 24)});
        uint64_t deadline = now + windowUs + 30000;
        Bytes in;
        while (now < deadline) {
            uint64_t t = std::min(std::max(console_->NextEventUs(), now), deadline);
            console_->RunUntil(t, &in, nullptr);
            now = t;
            Bytes frame = Unstuff(in);
            if (frame.size() >= 4 && frame[1] == 0x07 && frame.size() >= (size_t)frame[2] + 4)
                return Bytes(frame.begin() + 3, frame.begin() + 3 + frame[2]);
        }
        return {};
    }
    void End() { Write({0x80, 0x08}); }
    void Wait(uint64_t us) {
        console_->RunUntil(now + us, nullptr, nullptr);
        now += us;
    }

private:
    void Write(Bytes f) {
        uint8_t sum = 0;
        for (uint8_t b : f) sum += b;
        f.push_back((uint8_t)-sum);
        Bytes wire;
        for (size_t i = 0; i < f.size(); i++) {
            wire.push_back(f[i]);
            if (i > 0 && f[i] == 0x80) wire.push_back(0x80);
        }
        console_->RunUntil(now, nullptr, nullptr);
        console_->HostWrote(now, wire.data(), wire.size());
    }
    static Bytes Unstuff(const Bytes& wire) {
        Bytes f;
        for (size_t i = 0; i < wire.size(); i++) {
            f.push_back(wire[i]);
            if (i > 0 && wire[i] == 0x80 && i + 1 < wire.size() && wire[i + 1] == 0x80) i++;
        }
        return f;
    }
    Console* console_;
};

}  // namespace sim
