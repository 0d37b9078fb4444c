// tempabox.cpp - the Tempa BOX in boot mode.
//
// Its microcontroller's boot program measures the host's 0x00 bytes at 9600 bit/s and
// answers one 0x00 once locked; 0x55 erases the whole 4 KiB flash (about 0.4 s, the PC
// allows 2 s) and is answered with 0xAA. It then takes the boot record's size (two
// bytes, most significant first) and the record itself, echoing every byte, and jumps
// to the record: a loader that answers KQ-LINK loader packets at 250 000 bit/s as
// address 14, 64 bytes a write with 16-bit addresses, no erase of its own.
//
// Power-on (a model choice): the Tempa BOX is always updated with its boot jumper
// set, and its boot program lives apart from the flash it writes: after any cut it
// starts again at the bit-rate adjustment, whatever the flash holds.
#include <cstdio>

#include "sim/model/peripherals.h"

namespace sim {

TempaBoxBoot::TempaBoxBoot() : PacketStation(kBootRate, kFlashSize) {
    FillOldFirmware(flash_.get());
    OpenLoader(kLoaderAddress, 64, false, true);
    timing_.writeUs = 3000;
}

bool TempaBoxBoot::PowerOn() {
    Model::PowerOn();
    ResetLoader();
    stage_ = Stage::Adjust;
    locked_ = false;
    recordSize_ = 0;
    record_.clear();
    SetBitRate(kBootRate);
    BackOnBus();
    return true;
}

std::vector<uint8_t> TempaBoxBoot::Wire(const std::vector<uint8_t>& bytes) const {
    return stage_ == Stage::Loader ? PacketStation::Wire(bytes) : bytes;
}

size_t TempaBoxBoot::PacketLength(const std::vector<uint8_t>& p) const {
    return IsLoaderPacket(p) ? LoaderLength(p) : kSkip;
}

void TempaBoxBoot::OnPacket(uint64_t nowUs, const std::vector<uint8_t>& p) { LoaderPacket(nowUs, p); }

void TempaBoxBoot::Hear(uint64_t nowUs, const std::vector<uint8_t>& bytes) {
    if (stage_ == Stage::Loader) return PacketStation::Hear(nowUs, bytes);
    bool answeredZero = false;  // one 0x00 answer per burst
    for (size_t i = 0; i < bytes.size() && !OffBus(); i++) {
        BootByte(nowUs, bytes[i], &answeredZero);
        if (stage_ == Stage::Loader) {
            // The loader starts after the last record byte; what follows in the same
            // transmission reaches it at the wrong rate and is lost.
            SetBitRate(kLoaderRate);
            return;
        }
    }
}

void TempaBoxBoot::Echo(uint64_t nowUs, const char* kind, uint8_t byte) {
    char detail[16];
    snprintf(detail, sizeof detail, "0x%02X", byte);
    Request* r = Log(nowUs, kind, detail);
    if (r) Reply(*r, nowUs + timing_.echoUs, Answer{{byte}, 0, false}, "echo");
}

void TempaBoxBoot::BootByte(uint64_t nowUs, uint8_t byte, bool* answeredZero) {
    switch (stage_) {
        case Stage::Adjust: {
            if (byte == 0x00) {
                Request* r = Log(nowUs, "boot00", "");
                if (r == nullptr) return;
                locked_ = true;
                if (*answeredZero) return NoReply(*r, "ignored, same burst");
                *answeredZero = true;
                return Reply(*r, nowUs + timing_.echoUs, Answer{{0x00}, 0, false});
            }
            if (byte != 0x55 || !locked_) return;  // not understood before the lock
            Request* r = Log(nowUs, "boot55", "");
            if (r == nullptr) return;
            flash_->Erase(0, Share(flash_->Size(), WorkShare(*r)));
            busyUntil_ = Busy(nowUs, timing_.chipEraseUs);
            stage_ = Stage::SizeHigh;
            return Reply(*r, busyUntil_ + timing_.replyUs, Answer{{0xAA}, 0, false}, "erased");
        }
        case Stage::SizeHigh:
            recordSize_ = (uint16_t)(byte << 8);
            stage_ = Stage::SizeLow;
            return Echo(nowUs, "bootsize", byte);
        case Stage::SizeLow:
            recordSize_ |= byte;
            record_.clear();
            Echo(nowUs, "bootsize", byte);  // still at 9600, before the loader starts
            stage_ = recordSize_ == 0 ? Stage::Loader : Stage::Record;
            return;
        case Stage::Record:
            record_.push_back(byte);
            Echo(nowUs, "bootdata", byte);
            if (record_.size() >= recordSize_) stage_ = Stage::Loader;
            return;
        case Stage::Loader:
            return;
    }
}

}  // namespace sim
