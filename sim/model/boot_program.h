// boot_program.h - the boot program of a processor started in boot mode, as a state
// machine without a transport, and its two transports: USB (the console's processor)
// and KQ-LINK (a Remote or a Receiver with its boot jumper set).
//
//   sim::BootProgram   bytes in with a time; answers out with times, through the
//                      request log and fault plan of the model that carries it;
//                      its own flash, configuration and timing.
//   sim::BootDevice    the console's processor on USB (identity 045b:0025).
//   sim::BootPeer      a Remote or Receiver in boot mode on the console's KQ-LINK bus:
//                      19 200 bit/s until the new bit rate is selected and confirmed.
#pragma once

#include "sim/model/framework.h"

namespace sim {

struct BootTiming {
    uint32_t replyUs = 500;            // an inquiry or selection answer
    uint32_t eraseUs = 5000000;        // the whole user area
    uint32_t loadUs = 50000;           // 0x43: loading the flash writing program
    uint32_t programBaseUs = 1000;     // one 0x50 frame: fixed part
    uint32_t programByteUs = 16;       // and per byte of the unit (128 -> ~3 ms)
    BootTiming Scaled(uint32_t divisor) const;
};

struct BootConfig {
    std::string deviceCode = "KQ66";          // 4 characters
    std::string productName = "KQ66F512";     // what the 0x20 answer names
    std::vector<uint8_t> clockModes{0x01};
    uint16_t unit = 128;                       // programming unit the 0x27 answer gives
    uint32_t flashSize = 0x80000;              // the user area, from address 0
    // 0x00 bytes the boot program needs to measure the host's bit rate before it
    // answers the first one.
    unsigned lockAfter = 1;
    // On a serial line nothing is understood before the bit rate is locked; over USB
    // there is no bit rate to measure and 0x55 comes first.
    bool needsLock = false;
    // The checks of the programming/erasing state, memory read (0x52) and user-area sum
    // (0x4B): answered, or unknown to this boot program, which then refuses them with
    // 80 80 as any command it does not know, or says nothing at all.
    enum class Checks { Answer, Refuse, Silent } checks = Checks::Answer;
    BootTiming timing;
};

// The console processor's boot program as the USB boot mode shows it.
BootConfig ConsoleBootConfig();
// The boot program of a Remote's or Receiver's processor: 64 KiB of flash, 128-byte
// units, a 16 MHz crystal; it measures the bit rate of the host's 0x00 bytes.
BootConfig PeripheralBootConfig();

class BootProgram {
public:
    enum class State {
        WaitSync,     // before 0x55 (0x00 bit-rate adjustment answered with 0x00)
        Inquiry,      // inquiries and selections
        Confirm,      // 0x3F accepted, waiting for the confirmation 0x06
        Selected,     // bit rate confirmed: 0x40 may come
        Erased,       // 0x40 done: 0x43 may come
        Programming,  // 0x43 done: 0x50 frames until the end frame
    };

    // host: the model whose request log and fault plan the answers go through.
    BootProgram(const BootConfig& config, Model* host);

    // One chunk of bytes as the transport delivered it (one USB write, one bus
    // transmission), all at time now.
    void Receive(uint64_t nowUs, const uint8_t* bytes, size_t count);
    // A half-received command is forgotten (the host closed its end).
    void Forget() { cmd_.clear(); }
    // Powered off and on again in boot mode: back to the bit-rate adjustment.
    void Restart();

    const std::vector<uint8_t>& Flash() const { return flash_->Bytes(); }
    std::shared_ptr<sim::Flash> FlashMemory() { return flash_; }
    void ShareFlash(std::shared_ptr<sim::Flash> flash) { flash_ = std::move(flash); }
    State CurrentState() const { return state_; }
    const BootConfig& Config() const { return config_; }
    BootConfig& MutableConfig() { return config_; }
    // True once the end frame was acknowledged after an erase.
    bool ProgrammingEnded() const { return ended_; }
    // The bit rate the accepted 0x3F frame asked for, in bit/s (0 before).
    uint32_t SelectedBitRate() const { return selectedRate_; }
    // The error byte of the last error reply (0 while there was none).
    uint8_t LastError() const { return lastError_; }

private:
    // One command being answered: its bytes, its entry in the request log, when it
    // came, when the boot program is free to work on it and when a quick answer goes.
    struct Call {
        const std::vector<uint8_t>& c;
        Request& r;
        uint64_t nowUs, start, at;
    };
    using Handler = void (BootProgram::*)(Call&);
    enum class Shape { Bare, Sized, Program };
    // A command the boot program knows: its code, how it is framed on the wire (the
    // size byte a sized command carries) and its handler.
    struct Known {
        uint8_t code;
        Shape shape;
        uint8_t size;
        Handler handler;
    };
    static const Known* Find(uint8_t code);

    size_t ExpectedLength() const;
    uint8_t Status() const;
    bool Inquiring() const { return state_ == State::Inquiry || state_ == State::Selected; }
    void Command(uint64_t nowUs, const std::vector<uint8_t>& cmd);
    void Refuse(Call& k, uint8_t why);  // with the command's own error code
    void RefuseAs(Call& k, uint8_t code, uint8_t why);
    // The handlers, one a command.
    void Adjust(Call& k);          // 0x00
    void Synchronise(Call& k);     // 0x55
    void DeviceInquiry(Call& k);   // 0x20
    void ClockModes(Call& k);      // 0x21
    void Ratios(Call& k);          // 0x22
    void Frequencies(Call& k);     // 0x23
    void UserArea(Call& k);        // 0x25
    void UnitSize(Call& k);        // 0x27
    void StatusInquiry(Call& k);   // 0x4F
    void SelectDevice(Call& k);    // 0x10
    void SelectClock(Call& k);     // 0x11
    void SelectBitRate(Call& k);   // 0x3F
    void ConfirmBitRate(Call& k);  // 0x06
    void EraseAll(Call& k);        // 0x40
    void LoadWriter(Call& k);      // 0x43
    void Check(Call& k);           // 0x4B, 0x52
    void SumCheck(Call& k);
    void MemoryRead(Call& k);
    void ProgramUnit(Call& k);     // 0x50
    Answer Ack() const { return Answer{{0x06}, 0, false}; }
    Answer Err(uint8_t code, uint8_t why) const { return Answer{{code, why}, 0, false}; }
    Answer Data(uint8_t code, const std::vector<uint8_t>& data) const;

    BootConfig config_;
    Model* host_;
    std::shared_ptr<sim::Flash> flash_;
    State state_ = State::WaitSync;
    bool deviceSelected_ = false, modeSelected_ = false, ended_ = false;
    std::vector<uint8_t> cmd_;
    uint64_t busyUntil_ = 0;
    uint32_t selectedRate_ = 0;
    uint8_t lastError_ = 0;
    bool silenced_ = false;  // the fault plan took the device away mid-chunk
    bool refused_ = false;   // an error reply went out: the rest of the chunk is dropped
    // Bit-rate adjustment: 0x00 bytes measured, rate locked, burst already answered.
    unsigned zeros_ = 0;
    bool locked_ = false;
    bool adjustAnswered_ = false;
};

// The console's processor in boot mode, on USB.
class BootDevice : public SimDevice {
public:
    static constexpr uint32_t kFlashSize = 0x80000;
    using State = BootProgram::State;

    explicit BootDevice(const BootConfig& config = ConsoleBootConfig(), Identity id = kBootId);

    const std::vector<uint8_t>& Flash() const { return program_.Flash(); }
    std::shared_ptr<sim::Flash> FlashMemory() { return program_.FlashMemory(); }
    void ShareFlash(std::shared_ptr<sim::Flash> flash) { program_.ShareFlash(std::move(flash)); }
    State CurrentState() const { return program_.CurrentState(); }
    const BootConfig& Config() const { return program_.Config(); }
    void SetUnit(uint16_t unit) { program_.MutableConfig().unit = unit; }
    const BootTiming& Timing() const { return program_.Config().timing; }
    void SetTiming(const BootTiming& timing) { program_.MutableConfig().timing = timing; }
    bool ProgrammingEnded() const { return program_.ProgrammingEnded(); }
    BootProgram& Program() { return program_; }
    bool PowerOn() override;

protected:
    void Receive(uint64_t nowUs, const uint8_t* bytes, size_t count) override;
    void Forget() override { program_.Forget(); }

private:
    BootProgram program_;
};

// A Remote or Receiver in boot mode, on KQ-LINK.
class BootPeer : public Station {
public:
    static constexpr uint32_t kAdjustRate = 19200;
    using State = BootProgram::State;

    explicit BootPeer(const BootConfig& config = PeripheralBootConfig());

    const std::vector<uint8_t>& Flash() const { return program_.Flash(); }
    std::shared_ptr<sim::Flash> FlashMemory() { return program_.FlashMemory(); }
    State CurrentState() const { return program_.CurrentState(); }
    bool ProgrammingEnded() const { return program_.ProgrammingEnded(); }
    const BootTiming& Timing() const { return program_.Config().timing; }
    void SetTiming(const BootTiming& timing) { program_.MutableConfig().timing = timing; }
    BootProgram& Program() { return program_; }
    // The flash it writes: the Remote's or Receiver's own, shared with the Unit model.
    void ShareFlash(std::shared_ptr<sim::Flash> flash) { program_.ShareFlash(std::move(flash)); }
    bool PowerOn() override;

protected:
    void Hear(uint64_t nowUs, const std::vector<uint8_t>& bytes) override;

private:
    BootProgram program_;
};

}  // namespace sim
