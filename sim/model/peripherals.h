// peripherals.h - the units on the console's KQ-LINK port, as bus stations:
//
//   sim::Remote, sim::Receiver   running their firmware at 250 000 bit/s: they announce
//                                themselves, run their resident loader and answer the
//                                test queries; 64 KiB of flash, calibration in block 1.
//   sim::TempaBox                the Tempa BOX running its firmware (announce, status).
//   sim::TempaBoxBoot            the Tempa BOX in boot mode: bit-rate lock and erase at
//                                9600 bit/s, the downloaded loader at 250 000 as
//                                address 14; 4 KiB of flash.
//   (a Remote or Receiver in boot mode is sim::BootPeer, boot_program.h)
//
//   sim::Console console;
//   sim::Remote remote(3);
//   console.KqLink().Attach(&remote);
//   ... the PC updates or tests it through the console ...
//   remote.Flash(), remote.Errors(), remote.DisplayText(), remote.CountOf("write")
//
// Request kinds for fault plans: discover, begin, erase, write, finish, function,
// level, status, setremote, settext; in the Tempa BOX boot: boot00, boot55, bootsize,
// bootdata, then begin, write, finish.
#pragma once

#include <array>

#include "sim/model/framework.h"

namespace sim {

enum class PeripheralType : uint8_t { Remote = 0, Receiver = 1, TempaBox = 2 };

struct PeripheralTiming {
    uint32_t replyUs = 300;          // firmware turn-around of a short answer
    uint32_t announceSlotUs = 1000;  // discovery: address a answers in slot a + 1
    uint32_t beginUs = 1000;         // the loader takes over
    uint32_t eraseBlockUs = 60000;   // one 4 KiB block of on-chip flash
    uint32_t writeUs = 4000;         // one write packet (128 bytes; 64 in the Tempa BOX)
    uint32_t finishUs = 2000;
    uint32_t chipEraseUs = 400000;   // Tempa BOX boot: the whole 4 KiB on 0x55
    uint32_t echoUs = 200;           // Tempa BOX boot: echo of one byte
    PeripheralTiming Scaled(uint32_t divisor) const;
};

// A station that speaks KQ-LINK packets: 0x80 start, kind and address, contents, 7-bit
// checksum; a 0x80 after the start byte is doubled on the wire. It carries a flash
// loader (begin, erase, write, finish) when the subclass opens one.
class PacketStation : public Station {
public:
    const std::vector<uint8_t>& Flash() const { return flash_->Bytes(); }
    sim::Flash& FlashMemory() { return *flash_; }
    // The chip itself: the unit's boot program (BootPeer) writes the same flash.
    std::shared_ptr<sim::Flash> SharedFlash() { return flash_; }
    const PeripheralTiming& Timing() const { return timing_; }
    void SetTiming(const PeripheralTiming& timing) { timing_ = timing; }
    bool LoaderOpen() const { return loaderOpen_; }
    // True once LOADER_FINISH was acknowledged.
    bool LoaderFinished() const { return loaderFinished_; }

    // The 7-bit checksum of a packet's bytes 1..count-1.
    static uint8_t PacketSum(const std::vector<uint8_t>& packet, size_t count);

protected:
    static constexpr size_t kSkip = (size_t)-1;
    PacketStation(uint32_t bitRate, uint32_t flashSize);

    void Hear(uint64_t nowUs, const std::vector<uint8_t>& bytes) override;
    std::vector<uint8_t> Wire(const std::vector<uint8_t>& bytes) const override;
    // The whole length of the packet being read: 0 while not yet known, kSkip for a
    // packet that is not for this station (its bytes are passed over).
    virtual size_t PacketLength(const std::vector<uint8_t>& packet) const = 0;
    // A packet for this station, checksum already checked.
    virtual void OnPacket(uint64_t nowUs, const std::vector<uint8_t>& packet) = 0;
    Answer MakePacket(std::vector<uint8_t> bytes, int codeAt) const;

    // The loader: its address, data bytes per write, whether it erases blocks, and
    // whether write addresses are 16-bit (two leading zero bytes).
    void OpenLoader(uint8_t address, uint32_t dataBytes, bool erases, bool shortAddress);
    bool IsLoaderPacket(const std::vector<uint8_t>& packet) const;
    size_t LoaderLength(const std::vector<uint8_t>& packet) const;
    void LoaderPacket(uint64_t nowUs, const std::vector<uint8_t>& packet);

    // Back to what the station does after reset: no loader open, nothing half heard.
    void ResetLoader();

    std::shared_ptr<sim::Flash> flash_;
    PeripheralTiming timing_;
    uint64_t busyUntil_ = 0;

private:
    std::vector<uint8_t> packet_;
    bool pending80_ = false, skipping_ = false;
    bool hasLoader_ = false, loaderErases_ = false, loaderShort_ = false;
    uint8_t loaderAddress_ = 0;
    uint32_t loaderData_ = 128;
    bool loaderOpen_ = false, loaderFinished_ = false;
};

// Tempa BOX status as its QUERY_STATUS answer gives it: a running time code and inputs.
struct TempaStatus {
    uint8_t hours = 10, minutes = 0, seconds = 0, frames = 0;  // time code at time 0
    uint8_t fps = 25;
    uint8_t state = 2;      // 0 NO (stopped), 1 << (backwards), 2 >> (forwards)
    uint8_t inputs = 0x05;  // EXT1, EXT2, EXT3 in bits 0 to 2
    uint8_t gr = 0x10, md = 0x01, ag = 0x3C, pwr = 0x7E;
};

// A peripheral running its own firmware.
class Unit : public PacketStation {
public:
    static constexpr uint32_t kBitRate = 250000;
    static constexpr uint32_t kBlockSize = 0x1000;
    static constexpr uint32_t kNoFunction = 0xFFFF;

    // A key of the Remote pressed (down) or released at a time.
    struct Press {
        uint64_t atUs;
        uint16_t function;  // 0 to 264; kNoFunction: the answer carries 0xFF bytes
        bool down;
    };

    Unit(PeripheralType type, uint8_t address, uint32_t flashSize);

    PeripheralType Type() const { return type_; }
    uint8_t Address() const { return address_; }
    // The two extra bytes of the announce (the firmware's version).
    void SetAnnounceExtras(uint8_t first, uint8_t second) { extra1_ = first, extra2_ = second; }
    // Block 1 of a Remote or Receiver as it left the factory; the update leaves it.
    std::vector<uint8_t> Calibration() const;

    // ---- Power-on (see peripherals.cpp for the start-up code's rule)
    // A firmware the start-up code recognises, as the flash would hold it from address
    // 0 (0xFF beyond the image); the one in flash at construction is known already.
    void KnowFirmware(const std::vector<uint8_t>& flashImage);
    // Whether the start-up code would run the firmware that the flash holds now.
    bool FirmwareWhole() const;
    bool PowerOn() override;

    // The keys pressed on the Remote: the script repeats every periodUs (0: once).
    void SetScript(std::vector<Press> script, uint64_t periodUs = 0);
    // Function number and state (1 pressed) at a time; kNoFunction before any key.
    std::pair<uint16_t, uint8_t> FunctionAt(uint64_t nowUs) const;
    void SetSignalLevel(std::function<uint8_t(uint64_t)> level) { level_ = std::move(level); }
    void SetStatus(const TempaStatus& status) { status_ = status; }
    std::array<uint8_t, 10> StatusAt(uint64_t nowUs) const;

    // What the unit would show: the last SET_TEXT (63 bytes, empty before), how many
    // came, and the Remote number of the last SET_REMOTE (0 before).
    const std::vector<uint8_t>& DisplayText() const { return display_; }
    int DisplayCount() const { return displayCount_; }
    uint8_t RemoteNumber() const { return remoteNumber_; }

protected:
    size_t PacketLength(const std::vector<uint8_t>& packet) const override;
    void OnPacket(uint64_t nowUs, const std::vector<uint8_t>& packet) override;

private:
    void Announce(uint64_t nowUs);
    void Query(uint64_t nowUs, const std::vector<uint8_t>& packet);
    void Set(uint64_t nowUs, const std::vector<uint8_t>& packet);

    PeripheralType type_;
    uint8_t address_;
    uint8_t extra1_ = 0x01, extra2_ = 0x07;
    std::vector<Press> script_;
    uint64_t periodUs_ = 0;
    std::function<uint8_t(uint64_t)> level_;
    TempaStatus status_;
    std::vector<uint8_t> display_;
    int displayCount_ = 0;
    uint8_t remoteNumber_ = 0;
    std::vector<uint32_t> knownFirmware_;
};

class Remote : public Unit {
public:
    explicit Remote(uint8_t address = 1) : Unit(PeripheralType::Remote, address, 0x10000) {}
};
class Receiver : public Unit {
public:
    explicit Receiver(uint8_t address = 2) : Unit(PeripheralType::Receiver, address, 0x10000) {}
};
class TempaBox : public Unit {
public:
    explicit TempaBox(uint8_t address = 3) : Unit(PeripheralType::TempaBox, address, 0x1000) {}
};

// The Tempa BOX with its boot jumper set.
class TempaBoxBoot : public PacketStation {
public:
    static constexpr uint32_t kBootRate = 9600;
    static constexpr uint32_t kLoaderRate = 250000;
    static constexpr uint8_t kLoaderAddress = 14;
    static constexpr uint32_t kFlashSize = 0x1000;

    enum class Stage {
        Adjust,    // 0x00 bytes until locked, then 0x55
        SizeHigh,  // erased: the boot record's size, most significant byte first
        SizeLow,
        Record,    // the boot record's bytes, each echoed
        Loader,    // the downloaded loader at 250 000 bit/s
    };

    TempaBoxBoot();
    Stage CurrentStage() const { return stage_; }
    const std::vector<uint8_t>& BootRecord() const { return record_; }
    bool PowerOn() override;

protected:
    void Hear(uint64_t nowUs, const std::vector<uint8_t>& bytes) override;
    std::vector<uint8_t> Wire(const std::vector<uint8_t>& bytes) const override;
    size_t PacketLength(const std::vector<uint8_t>& packet) const override;
    void OnPacket(uint64_t nowUs, const std::vector<uint8_t>& packet) override;

private:
    void BootByte(uint64_t nowUs, uint8_t byte, bool* answeredZero);
    void Echo(uint64_t nowUs, const char* kind, uint8_t byte);

    Stage stage_ = Stage::Adjust;
    bool locked_ = false;
    uint16_t recordSize_ = 0;
    std::vector<uint8_t> record_;
};

}  // namespace sim
