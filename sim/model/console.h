// console.h - the running console firmware: the console command protocol over its USB
// pipes, the user-mode update of its 512 KiB flash, its Vinculum with the Vinculum's
// own flash, its MAC address, and its KQ-LINK port (the bit rate it is set to, the
// bytes it sends and hears on the bus). Its behaviour is in console.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "sim/model/framework.h"

namespace sim {

// ---- The running console ---------------------------------------------------------------------
// Times of the console's firmware. The flash is a 4 Mbit parallel NOR with 16 uniform
// 32 KiB sectors; see console.cpp for why these figures.
struct ConsoleTiming {
    uint32_t replyUs = 1000;           // USB turn-around of a short answer
    uint32_t startUs = 2000;           // leave show mode, ready for an update
    uint32_t eraseBlockUs = 600000;    // one 32 KiB sector
    uint32_t programByteUs = 10;       // per byte, 1024 bytes per request
    uint32_t endUs = 5000;
    uint32_t vstartUs = 250000;        // Vinculum into its loader
    uint32_t vprogramUs = 30000;       // one 1 KiB Vinculum page: erase and write
    uint32_t vverifyUs = 5000;
    uint32_t vendUs = 100000;
    // Busy times divided by divisor (kqsim --timing=fast uses 100); replyUs stays.
    ConsoleTiming Scaled(uint32_t divisor) const;
};

class Console : public SimDevice {
public:
    static constexpr uint32_t kFlashSize = 0x80000;
    static constexpr uint32_t kBlockCount = 16;
    static constexpr uint32_t kBlockSize = kFlashSize / kBlockCount;  // 32 KiB
    static constexpr uint32_t kChunk = 1024;
    static constexpr uint32_t kVinculumSize = 0x10000;

    explicit Console(Identity id = kConsoleId);

    // Flash of the console (512 KiB), old firmware until erased.
    const std::vector<uint8_t>& Flash() const { return flash_->Bytes(); }
    std::shared_ptr<sim::Flash> FlashMemory() { return flash_; }
    // The boot program and the running firmware write the same chip.
    void ShareFlash(std::shared_ptr<sim::Flash> flash) { flash_ = std::move(flash); }
    const std::vector<uint8_t>& VinculumFlash() const { return vinculum_.Bytes(); }
    std::vector<uint8_t>& VinculumFlashForTest() { return vinculum_.Bytes(); }

    std::array<uint8_t, 6> Mac() const { return mac_; }
    void SetMac(const std::array<uint8_t, 6>& mac) { mac_ = mac; }

    // KQ-LINK: the port's bit rate (250000 after power-up) and the bus peripherals
    // attach to.
    uint32_t LinkBitRate() const { return linkRate_; }
    Bus& KqLink() { return bus_; }
    bool InLinkMode() const { return linkMode_; }

    const ConsoleTiming& Timing() const { return timing_; }
    void SetTiming(const ConsoleTiming& timing) { timing_ = timing; }
    bool UpdateOpen() const { return updateOpen_; }
    bool VinculumOpen() const { return vinculumOpen_; }

    // ---- Power-on (see console.cpp for the start-up code's rule)
    // The firmware's image area: from 0 to where the language area begins.
    static constexpr uint32_t kImageArea = 0x74186;
    // A firmware the start-up code recognises: the CRC-32 of its image area. The one in
    // flash at construction is known already.
    void KnowFirmware(const uint8_t* imageArea) { knownFirmware_.push_back(Crc32(imageArea, kImageArea)); }
    // Whether the start-up code would run the firmware that the flash holds now.
    bool FirmwareWhole() const;
    bool PowerOn() override;

protected:
    void Receive(uint64_t nowUs, const uint8_t* bytes, size_t count) override;
    std::vector<uint8_t> Wire(const std::vector<uint8_t>& bytes) const override;
    void Forget() override;
    uint64_t OwnNextEventUs() override;
    void RunOwn(uint64_t nowUs) override;

private:
    void Frame(uint64_t nowUs, const std::vector<uint8_t>& frame);
    void UserUpdate(uint64_t nowUs, const std::vector<uint8_t>& frame);
    void Vinculum(uint64_t nowUs, const std::vector<uint8_t>& frame);
    void Link(uint64_t nowUs, const std::vector<uint8_t>& frame);
    void Heard(uint64_t nowUs, const std::vector<uint8_t>& bytes, uint32_t bitRate);
    void AnswerListen(uint64_t nowUs);
    size_t ExpectedLength() const;

    std::shared_ptr<sim::Flash> flash_;
    sim::Flash vinculum_;
    std::array<uint8_t, 6> mac_{{0x00, 0x1F, 0x19, 0x00, 0x00, 0x01}};
    ConsoleTiming timing_;
    bool updateOpen_ = false;
    bool vinculumOpen_ = false;
    std::vector<uint32_t> knownFirmware_;

    // Frame receiver state.
    std::vector<uint8_t> frame_;
    bool pending80_ = false;

    // KQ-LINK port.
    Bus bus_;
    uint32_t linkRate_ = 250000;
    bool linkMode_ = false;
    std::deque<uint8_t> heard_;
    struct Listen {
        bool active = false;
        uint64_t startUs = 0, deadlineUs = 0;
        uint8_t wanted = 0;
        int request = -1;  // index into the request log
    } listen_;
};

}  // namespace sim
