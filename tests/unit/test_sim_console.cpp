// The console model against its protocol: frames in, bytes out, flash afterwards.
#include <gtest/gtest.h>

#include "sim/model/sim.h"
#include "tests/backend/sim_plug.h"
#include "tests/backend/fixture.h"
#include "link/link.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes WithSum(Bytes f) {
    uint8_t s = 0;
    for (uint8_t b : f) s += b;
    f.push_back((uint8_t)-s);
    return f;
}
Bytes Stuff(const Bytes& f) {
    Bytes out;
    for (size_t i = 0; i < f.size(); i++) {
        out.push_back(f[i]);
        if (i && f[i] == 0x80) out.push_back(0x80);
    }
    return out;
}
Bytes ProgramFrame(uint8_t type, uint8_t sub, uint32_t offset, const Bytes& data) {
    Bytes f{0x80, type, sub, (uint8_t)offset, (uint8_t)(offset >> 8), (uint8_t)(offset >> 16), (uint8_t)(offset >> 24)};
    f.insert(f.end(), data.begin(), data.end());
    return WithSum(f);
}

// Writes the frame (stuffed) at time t and collects what the device sends up to until.
Bytes Send(sim::SimDevice& d, uint64_t t, const Bytes& frame, uint64_t until) {
    Bytes wire = Stuff(frame), out;
    d.HostWrote(t, wire.data(), wire.size());
    bool unplug = false;
    d.RunUntil(until, &out, &unplug);
    return out;
}

const Bytes START{0x80, 0x7F, 0x00, 0x01}, END{0x80, 0x7F, 0x03, 0xFE}, ACK{0x80, 0x7F, 0x04, 0xFD};
const Bytes VACK{0x80, 0x00, 0x04, 0x7C};

TEST(SimConsole, UserUpdateErasesProgramsAndAcksAfterTheWork) {
    sim::Console c;
    EXPECT_EQ(Send(c, 0, START, 10000), ACK);

    // Erase block 1: no ack before the sector erase time has passed.
    uint64_t t = 100000;
    EXPECT_EQ(Send(c, t, WithSum({0x80, 0x7F, 0x01, 0x01}), t + 500000), Bytes());
    EXPECT_EQ(Send(c, t + 600000, {}, t + 700000), ACK);
    const auto& flash = c.Flash();
    EXPECT_TRUE(std::all_of(flash.begin() + 0x8000, flash.begin() + 0x10000, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_NE(flash[0x7FFF], 0xFF);  // block 0 untouched

    // Program 1 KiB at 0x8000: the offset's 0x80 byte is doubled on the wire.
    Bytes data(1024);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i * 7);
    t = 1000000;
    EXPECT_EQ(Send(c, t, ProgramFrame(0x7F, 0x02, 0x8000, data), t + 5000), Bytes());
    EXPECT_EQ(Send(c, t + 20000, {}, t + 20000), ACK);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), c.Flash().begin() + 0x8000));
    EXPECT_EQ(Send(c, 2000000, END, 2100000), ACK);
    EXPECT_TRUE(c.Errors().empty());

    ASSERT_EQ(c.Requests().size(), 4u);
    EXPECT_EQ(c.Requests()[1].kind, "erase");
    EXPECT_EQ(c.Requests()[1].detail, "block 1");
    EXPECT_EQ(c.Requests()[2].detail, "offset 0x08000");
    EXPECT_EQ(c.Requests()[2].timeUs, 1000000u);
}

TEST(SimConsole, ProgrammingUnerasedBytesIsRecordedAndLeavesOldAndNew) {
    sim::Console c;
    Send(c, 0, START, 10000);
    uint8_t old = c.Flash()[0];
    Bytes data(1024, 0xFF);
    data[0] = 0x0F;
    Send(c, 20000, ProgramFrame(0x7F, 0x02, 0, data), 100000);
    EXPECT_EQ(c.Flash()[0], old & 0x0F);
    ASSERT_EQ(c.Errors().size(), 1u);
    EXPECT_EQ(c.Errors()[0].kind, "program");
    EXPECT_NE(c.Errors()[0].text.find("not erased"), std::string::npos);
}

TEST(SimConsole, RefusesFlashRequestsOutsideAnUpdateAndBadFrames) {
    sim::Console c;
    // No start: the erase is refused, nothing answers.
    EXPECT_EQ(Send(c, 0, WithSum({0x80, 0x7F, 0x01, 0x00}), 2000000), Bytes());
    EXPECT_EQ(c.Errors().size(), 1u);
    // Bad checksum: ignored; then a good start still works (the parser resynchronises).
    EXPECT_EQ(Send(c, 3000000, {0x80, 0x7F, 0x00, 0x02}, 3100000), Bytes());
    EXPECT_EQ(Send(c, 3200000, START, 3300000), ACK);
    EXPECT_EQ(Send(c, 3400000, WithSum({0x80, 0x7F, 0x01, 16}), 5000000), Bytes());  // no block 16
    EXPECT_EQ(c.CountOf("badframe"), 1);
    EXPECT_EQ(c.CountOf("start"), 1);
}

TEST(SimConsole, FrameParserHandlesDoubled80AndRestartsOnALone80) {
    sim::Console c;
    c.SetMac({0x00, 0x1F, 0x19, 0x00, 0x00, 0x80});
    // A MAC reply with a 0x80 byte goes out doubled.
    Bytes reply = Send(c, 0, {0x80, 0x02, 0x7E}, 10000);
    EXPECT_EQ(reply, (Bytes{0x80, 0x03, 0x00, 0x1F, 0x19, 0x00, 0x00, 0x80, 0x80, 0xC5}));
    // A frame cut short by a new start is lost; the new one counts.
    Bytes raw{0x80, 0x01, 0x00, 0x1F, 0x80, 0x02, 0x7E};
    Bytes out;
    c.HostWrote(20000, raw.data(), raw.size());
    c.RunUntil(30000, &out, nullptr);
    EXPECT_EQ(out.size(), 10u);
    // Set MAC with a data byte 0x80 (doubled on the wire), then read it back.
    Send(c, 40000, WithSum({0x80, 0x01, 0x00, 0x1F, 0x19, 0x12, 0x80, 0x5F}), 41000);
    EXPECT_EQ(c.Mac(), (std::array<uint8_t, 6>{0x00, 0x1F, 0x19, 0x12, 0x80, 0x5F}));
    EXPECT_EQ(c.CountOf("macset"), 1);
}

TEST(SimConsole, VinculumVerifyAcksOnlyMatchingData) {
    sim::Console c;
    Bytes image(1024);
    for (size_t i = 0; i < image.size(); i++) image[i] = (uint8_t)(i ^ 0x5A);
    EXPECT_EQ(Send(c, 0, {0x80, 0x00, 0x00, 0x80, 0x80}, 1000000), VACK);  // 0x80 checksum doubled
    EXPECT_EQ(Send(c, 1000000, ProgramFrame(0x00, 0x02, 0x400, image), 1100000), VACK);
    EXPECT_EQ(Send(c, 2000000, ProgramFrame(0x00, 0x05, 0x400, image), 2100000), VACK);
    image[1023] ^= 1;
    EXPECT_EQ(Send(c, 3000000, ProgramFrame(0x00, 0x05, 0x400, image), 5000000), Bytes());
    EXPECT_EQ(Send(c, 6000000, {0x80, 0x00, 0x03, 0x7D}, 7000000), VACK);
    EXPECT_EQ(c.VinculumFlash()[0x7FF], (uint8_t)(1023 ^ 0x5A));
    // After the end the Vinculum is back in its firmware: chunks are refused.
    EXPECT_EQ(Send(c, 8000000, ProgramFrame(0x00, 0x02, 0, image), 9000000), Bytes());
}

// A peripheral that answers each byte it hears with that byte + 1, 1 ms later.
struct Echo : sim::BusPeer {
    uint32_t rate = 250000;
    uint64_t due = sim::kNever;
    Bytes reply;
    void OnBusBytes(uint64_t now, const Bytes& bytes, uint32_t bitRate) override {
        for (uint8_t b : sim::Garble(bytes, bitRate, rate)) reply.push_back((uint8_t)(b + 1));
        due = now + 1000;
    }
    uint64_t NextEventUs() override { return due; }
    void RunUntil(uint64_t now) override {
        bus_->Put(now, this, reply, rate);
        reply.clear();
        due = sim::kNever;
    }
};

TEST(SimConsole, LinkListenAnswersWithWhatTheBusCarried) {
    sim::Console c;
    Echo echo;
    c.KqLink().Attach(&echo);
    Send(c, 0, WithSum({0x80, 0x04, 0x90, 0xD0, 0x03, 0x00}), 0);  // 250000 bit/s
    EXPECT_EQ(c.LinkBitRate(), 250000u);
    Send(c, 10, WithSum({0x80, 0x05, 3, 0x10, 0x20, 0x30}), 30000);
    // Wanted 2 of the 3 echoed bytes: answered as soon as two are there, third kept.
    Bytes heard = Send(c, 30000, WithSum({0x80, 0x06, 2, 0x10, 0x27, 0, 0}), 31000);
    EXPECT_EQ(heard, WithSum({0x80, 0x07, 2, 0x11, 0x21}));
    // Nothing more arrives: the rest comes at the end of a 10 ms window, not before.
    EXPECT_EQ(Send(c, 40000, WithSum({0x80, 0x06, 0xFF, 0x10, 0x27, 0, 0}), 49000), Bytes());
    EXPECT_EQ(Send(c, 50000, {}, 52000), WithSum({0x80, 0x07, 1, 0x31}));
    // At another bit rate the peripheral hears garbage.
    Send(c, 60000, WithSum({0x80, 0x04, 0x00, 0x4B, 0x00, 0x00}), 60000);  // 19200
    Send(c, 60010, WithSum({0x80, 0x05, 1, 0x10}), 70000);
    EXPECT_NE(c.KqLink().History().back().bytes, Bytes{0x11});
    EXPECT_EQ(Send(c, 100000, {0x80, 0x08, 0x78}, 100000), Bytes());
    EXPECT_FALSE(c.InLinkMode());
}

TEST(SimConsoleFaults, EachFaultShapesTheAnswer) {
    struct Case {
        const char* plan;
        Bytes expected;
    } cases[] = {
        {"", ACK},
        {"drop:start", {}},
        {"twice:start#1", {0x80, 0x7F, 0x04, 0xFD, 0x80, 0x7F, 0x04, 0xFD}},
        {"corrupt:start#1=3/0x03", {0x80, 0x7F, 0x04, 0xFE}},
        {"wrongcode:start#1", {0x80, 0x7F, 0x05, 0xFC}},
        {"badsum:start#1", {0x80, 0x7F, 0x04, 0xFE}},
        {"short:start#1", {0x80, 0x7F, 0x04}},
        {"short:start#1=1", {0x80}},
        {"drop:start#2", ACK},  // aimed at another request
    };
    for (const Case& k : cases) {
        sim::Console c;
        c.SetFaults(sim::FaultPlan::FromText(k.plan));
        EXPECT_EQ(Send(c, 0, START, 100000), k.expected) << k.plan;
    }
}

TEST(SimConsoleFaults, DelayAndUnplugAndRanges) {
    sim::Console c;
    c.SetFaults(sim::FaultPlan::FromText("delay:start#1=500000,drop:start#2-3,unplug:erase#2"));
    EXPECT_EQ(Send(c, 0, START, 400000), Bytes());
    EXPECT_EQ(Send(c, 500000, {}, 510000), ACK);
    EXPECT_EQ(Send(c, 600000, START, 700000), Bytes());
    EXPECT_EQ(Send(c, 800000, START, 900000), Bytes());
    EXPECT_EQ(Send(c, 1000000, START, 1100000), ACK);
    EXPECT_EQ(Send(c, 1200000, WithSum({0x80, 0x7F, 0x01, 0x00}), 2000000), ACK);
    // The second erase pulls the plug: no answer, block 1 keeps its old contents.
    Bytes wire = WithSum({0x80, 0x7F, 0x01, 0x01}), out;
    bool unplug = false;
    c.HostWrote(3000000, wire.data(), wire.size());
    EXPECT_EQ(c.NextEventUs(), 3000000u);
    c.RunUntil(5000000, &out, &unplug);
    EXPECT_TRUE(unplug);
    EXPECT_TRUE(out.empty());
    EXPECT_NE(c.Flash()[0x8000], 0xFF);
    EXPECT_EQ(c.Requests().back().result, "unplug");
    c.Replug();
    EXPECT_FALSE(c.Unplugged());
}

// The model plugged into the test backend answers the core's own link primitives.
class SimConsoleOnTestbed : public CoreTest {};

TEST_F(SimConsoleOnTestbed, CoreStartHandshakeAgainstTheModel) {
    sim::Console console(sim::kConsoleSecondId);
    sim::TestbedPlug plug(&console);
    LinkThreadStart(ReceiveThread);
    OpenConsolePipes(0x1D2B, 0x0003);
    ASSERT_NE(OutPipe.load(), PLAT_NO_HANDLE);
    SendFrame(START.data(), 4);
    EXPECT_EQ(WaitReply(100000, 0x7F), WaitResult::Ok);
    uint8_t erase[5] = {0x80, 0x7F, 0x01, 0x03, 0};
    erase[4] = FrameChecksum(erase, 4);
    SendFrame(erase, 5);
    EXPECT_EQ(WaitReply(10200000, 0x7F), WaitResult::Ok);
    EXPECT_GE(testbed::NowUs(), 600000u);
    LinkThreadStop();
    ClosePipes();
    EXPECT_EQ(console.CountOf("erase"), 1);
}

}  // namespace

// A power cut keeps the flash exactly as far as the work got; at power-on the start-up
// code runs only an image it recognises.
TEST(SimConsolePower, CutKeepsTheWorkDoneAndTheStartUpCodeJudgesTheImage) {
    struct Case {
        const char* plan;
        uint32_t erasedBytes;     // of block 0, from its start
        uint32_t programmed;      // bytes of the chunk at 0x8000 written
        bool startsAfter;
    } cases[] = {
        {"cut:start#1", 0, 0, true},           // on arrival: nothing done
        {"cut:erase#1=500", 0x4000, 0, false}, // half the sector erased
        {"cut:erase#1=1000", 0x8000, 0, false},// erased, the answer lost
        {"cut:program#1=250", 0x8000, 256, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plan);
        sim::Console console;
        const Bytes old = console.Flash();
        console.SetFaults(sim::FaultPlan::FromText(c.plan));
        Bytes data(1024, 0x00);
        uint64_t t = 0;
        Bytes heard = Send(console, t, START, t + 10000);
        // Each frame goes at t, and the console runs for its window after it.
        struct Step { uint64_t after; Bytes frame; uint64_t window; } steps[] = {
            {100000, WithSum({0x80, 0x7F, 0x01, 0x00}), 1000000},
            {1000000, WithSum({0x80, 0x7F, 0x01, 0x01}), 1000000},
            {1000000, ProgramFrame(0x7F, 0x02, 0x8000, data), 100000},
        };
        for (const Step& step : steps) {
            t += step.after;
            Send(console, t, step.frame, t + step.window);
        }
        ASSERT_TRUE(console.PoweredOff());
        EXPECT_EQ(console.Requests().back().result.substr(0, 9), "power cut");
        const Bytes& flash = console.Flash();
        uint32_t erased = 0;
        while (erased < 0x8000 && flash[erased] == 0xFF) erased++;
        EXPECT_EQ(erased, c.erasedBytes);
        if (c.erasedBytes < 0x8000) {
            EXPECT_EQ(flash[c.erasedBytes], old[c.erasedBytes]);
        }
        uint32_t zeros = 0;
        while (zeros < 1024 && flash[0x8000 + zeros] == 0x00) zeros++;
        EXPECT_EQ(zeros, c.programmed);
        EXPECT_EQ(console.PowerOn(), c.startsAfter);
        EXPECT_EQ(console.FirmwareWhole(), c.startsAfter);
    }
}

TEST(SimConsolePower, AnImageTheStartUpCodeKnowsStartsAndOneByteOffDoesNot) {
    sim::Console console;
    Bytes image(sim::Console::kImageArea);
    for (size_t i = 0; i < image.size(); i++) image[i] = (uint8_t)(i * 31 + (i >> 9));
    console.KnowFirmware(image.data());
    std::vector<uint8_t>& flash = console.FlashMemory()->Bytes();
    std::copy(image.begin(), image.end(), flash.begin());
    EXPECT_TRUE(console.PowerOn());
    flash[0x74185] ^= 0x01;  // the last byte of the image area
    EXPECT_FALSE(console.PowerOn());
    flash[0x74185] ^= 0x01;
    flash[0x74186] = 0x00;   // the language area is not checked
    EXPECT_TRUE(console.PowerOn());
}

TEST(SimConsolePower, TheBootProgramStartsWhateverTheFlashHolds) {
    sim::BootDevice boot;
    boot.SetFaults(sim::FaultPlan::FromText("cut:boot55"));
    Send(boot, 0, {0x55}, 10000);
    EXPECT_TRUE(boot.PoweredOff());
    boot.FlashMemory()->Erase(0, 0x100);
    EXPECT_TRUE(boot.PowerOn());
    EXPECT_EQ(boot.CurrentState(), sim::BootDevice::State::WaitSync);
    boot.SetFaults(sim::FaultPlan());
    boot.Replug();
    EXPECT_EQ(Send(boot, 20000, {0x55}, 30000), Bytes{0xE6});
}

TEST(SimFaultPlan, CutTakesAShareOfTheWork) {
    EXPECT_EQ(sim::FaultPlan::FromText("cut:erase#3=500").ToString(), "cut:erase#3=500");
    sim::FaultPlan plan;
    std::string error;
    EXPECT_FALSE(sim::FaultPlan::Parse("cut:erase#3=1001", &plan, &error));
    EXPECT_EQ(sim::Share(1024, 250), 256u);
    EXPECT_EQ(sim::Share(0x10000, 1000), 0x10000u);
}
