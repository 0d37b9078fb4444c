// The boot program model: its answers, its state machine, its flash; fault plan text.
#include <gtest/gtest.h>

#include "sim/model/sim.h"
#include "tests/backend/sim_plug.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes WithSum(Bytes f) {
    uint8_t s = 0;
    for (uint8_t b : f) s += b;
    f.push_back((uint8_t)-s);
    return f;
}

struct Boot {
    sim::BootDevice dev;
    uint64_t now = 0;
    explicit Boot(const sim::BootConfig& config = sim::BootConfig()) : dev(config) {}
    // Sends the bytes and returns everything answered within the window.
    Bytes Ask(const Bytes& bytes, uint64_t window = 200000) {
        Bytes out;
        dev.HostWrote(now, bytes.data(), bytes.size());
        now += window;
        dev.RunUntil(now, &out, nullptr);
        return out;
    }
    // The USB sequence up to the confirmed bit rate.
    void Select() {
        ASSERT_EQ(Ask({0x55}), Bytes{0xE6});
        ASSERT_EQ(Ask(WithSum({0x10, 0x04, 'K', 'Q', '6', '6'})), Bytes{0x06});
        ASSERT_EQ(Ask(WithSum({0x11, 0x01, 0x01})), Bytes{0x06});
        ASSERT_EQ(Ask({0x3F, 0x07, 0x09, 0xC4, 0x04, 0xB0, 0x02, 0x04, 0x02, 0x31}), Bytes{0x06});
        ASSERT_EQ(Ask({0x06}), Bytes{0x06});
    }
    Bytes Unit(uint32_t address, const Bytes& data) {
        Bytes f{0x50, (uint8_t)(address >> 24), (uint8_t)(address >> 16), (uint8_t)(address >> 8), (uint8_t)address};
        f.insert(f.end(), data.begin(), data.end());
        return WithSum(f);
    }
};

const Bytes END{0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4};

TEST(SimBoot, InquiryAnswersAreWellFormed) {
    Boot b;
    EXPECT_EQ(b.Ask({0x00}), Bytes{0x00});  // bit-rate adjustment echo before the sync
    EXPECT_EQ(b.Ask({0x20}), Bytes());      // nothing but 0x00 / 0x55 before the sync
    EXPECT_EQ(b.Ask({0x55}), Bytes{0xE6});
    EXPECT_EQ(b.Ask({0x20}), WithSum({0x30, 0x0E, 0x01, 0x0C, 'K', 'Q', '6', '6', 'K', 'Q', '6', '6', 'F', '5', '1', '2'}));
    EXPECT_EQ(b.Ask({0x21}), WithSum({0x31, 0x02, 0x01, 0x01}));
    EXPECT_EQ(b.Ask({0x27}), (Bytes{0x37, 0x02, 0x00, 0x80, 0x47}));
    EXPECT_EQ(b.Ask({0x25}), WithSum({0x35, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x07, 0xFF, 0xFF}));
}

TEST(SimBoot, WholeSequenceErasesAndProgramsTheFlash) {
    sim::BootConfig config;
    config.unit = 256;
    Boot b(config);
    b.Select();
    EXPECT_EQ(b.Ask({0x27}), WithSum({0x37, 0x02, 0x01, 0x00}));
    EXPECT_EQ(b.Ask({0x40}, 4000000), Bytes());  // the erase takes about 5 s
    EXPECT_EQ(b.Ask({}, 2000000), Bytes{0x06});
    EXPECT_TRUE(std::all_of(b.dev.Flash().begin(), b.dev.Flash().end(), [](uint8_t x) { return x == 0xFF; }));
    EXPECT_EQ(b.Ask({0x43}), Bytes{0x06});
    Bytes data(256);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i + 3);
    EXPECT_EQ(b.Ask(b.Unit(0x7FF00, data), 230000), Bytes{0x06});
    EXPECT_EQ(b.Ask(END), Bytes{0x06});
    EXPECT_TRUE(b.dev.ProgrammingEnded());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), b.dev.Flash().begin() + 0x7FF00));
    EXPECT_TRUE(b.dev.Errors().empty());
    EXPECT_EQ(b.dev.CountOf("boot50"), 1);
    EXPECT_EQ(b.dev.CountOf("bootend"), 1);
}

TEST(SimBoot, RefusesCommandsOutOfTurnAndWrongParameters) {
    Boot b;
    b.Ask({0x55});
    EXPECT_EQ(b.Ask(WithSum({0x10, 0x04, 'X', 'Q', '6', '6'})), (Bytes{0x90, 0x21}));  // device code
    EXPECT_EQ(b.Ask(WithSum({0x11, 0x01, 0x01})), (Bytes{0x91, 0x80}));  // no device selected yet
    EXPECT_EQ(b.Ask({0x40}), (Bytes{0xC0, 0x80}));                       // bit rate not confirmed
    EXPECT_EQ(b.Ask({0x43}), (Bytes{0xC3, 0x80}));
    EXPECT_EQ(b.Ask(b.Unit(0, Bytes(128, 0))), (Bytes{0xD0, 0x80}));  // 0x50 before 0x43
    EXPECT_EQ(b.Ask({0x10, 0x04, 'K', 'Q', '6', '6', 0x00}), (Bytes{0x90, 0x11}));  // checksum
    EXPECT_EQ(b.Ask({0x99}), (Bytes{0x80, 0x80}));
    // A command other than the confirmation after 0x3F: the bit rate is not taken.
    b.Ask(WithSum({0x10, 0x04, 'K', 'Q', '6', '6'}));
    b.Ask(WithSum({0x11, 0x01, 0x01}));
    EXPECT_EQ(b.Ask({0x3F, 0x07, 0x09, 0xC4, 0x04, 0xB0, 0x02, 0x04, 0x02, 0x31}), Bytes{0x06});
    EXPECT_EQ(b.Ask({0x40}), (Bytes{0xC0, 0x80}));
    EXPECT_EQ(b.dev.CurrentState(), sim::BootDevice::State::Inquiry);
}

TEST(SimBoot, ProgrammingFrameErrors) {
    Boot b;
    b.Select();
    b.Ask({0x40}, 6000000);
    b.Ask({0x43});
    EXPECT_EQ(b.Ask(b.Unit(0x40, Bytes(128, 0x11))), (Bytes{0xD0, 0x2A}));  // not on a unit boundary
    Bytes bad = b.Unit(0, Bytes(128, 0x11));
    bad.back() ^= 1;
    EXPECT_EQ(b.Ask(bad), (Bytes{0xD0, 0x11}));
    EXPECT_EQ(b.Ask(b.Unit(0, Bytes(128, 0x0F))), Bytes{0x06});
    // Same unit again with bits to raise: verify fails, recorded, old & new in flash.
    EXPECT_EQ(b.Ask(b.Unit(0, Bytes(128, 0xF0))), (Bytes{0xD0, 0x53}));
    EXPECT_EQ(b.dev.Flash()[5], 0x00);
    ASSERT_EQ(b.dev.Errors().size(), 1u);
    EXPECT_EQ(b.dev.Errors()[0].kind, "boot50");
}

// A memory read answers from the flash after 0x40 and refuses a bad request with D2 and
// the error byte. (The scenarios read the whole flash back through it.)
TEST(SimBoot, MemoryReadAnswersFromTheFlashAndRefusesBadRequests) {
    auto read = [](uint32_t at, uint8_t length, uint8_t area = 0x01) {
        return WithSum({0x52, 0x09, area, (uint8_t)(at >> 24), (uint8_t)(at >> 16), (uint8_t)(at >> 8), (uint8_t)at, 0,
                        0, 0, length});
    };
    Boot b;
    b.Select();
    EXPECT_EQ(b.Ask(read(0, 4)), (Bytes{0xD2, 0x80}));  // before 0x40
    b.Ask({0x40}, 6000000);
    EXPECT_EQ(b.Ask(read(0x7FFFF, 1)), WithSum({0x52, 0, 0, 0, 1, 0xFF}));
    EXPECT_EQ(b.Ask(read(0x80000, 1)), (Bytes{0xD2, 0x2A}));
    EXPECT_EQ(b.Ask(read(0, 1, 0x00)), (Bytes{0xD2, 0x2A}));  // only the user area
    EXPECT_EQ(b.Ask(read(0x7FFFF, 2)), (Bytes{0xD2, 0x2B}));
    EXPECT_EQ(b.Ask(Bytes{0x52, 0x09, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0}), (Bytes{0xD2, 0x11}));
}

TEST(SimBoot, ALastUnitReachingPastTheFlashIsWrittenWhenTheTailIsBlank) {
    sim::BootConfig config;
    config.unit = 4090;
    Boot b(config);
    b.Select();
    b.Ask({0x40}, 6000000);
    b.Ask({0x43});
    uint32_t last = 0x80000 / 4090 * 4090;  // 0x7FF04... the unit runs past 0x80000
    Bytes data(4090, 0xFF);
    data[0] = 0x12;
    EXPECT_EQ(b.Ask(b.Unit(last, data)), Bytes{0x06});
    EXPECT_EQ(b.dev.Flash()[last], 0x12);
    data[4089] = 0x00;  // a byte beyond the end of the flash
    EXPECT_EQ(b.Ask(b.Unit(last, data)), (Bytes{0xD0, 0x2A}));
}

TEST(SimBootFaults, ZeroUnitErrorAndWireFaults) {
    struct Case {
        const char* plan;
        Bytes ask;
        Bytes expected;
    } cases[] = {
        {"zero:boot20", {0x20}, WithSum({0x30, 0x01, 0x00})},
        {"zero:boot21", {0x21}, WithSum({0x31, 0x01, 0x00})},
        {"unit:boot27=4091", {0x27}, WithSum({0x37, 0x02, 0x0F, 0xFB})},
        {"unit:boot27=127", {0x27}, WithSum({0x37, 0x02, 0x00, 0x7F})},
        {"short:boot27=4", {0x27}, {0x37, 0x02, 0x00, 0x80}},
        {"wrongcode:boot27=0x38", {0x27}, WithSum({0x38, 0x02, 0x00, 0x80})},
        {"badsum:boot21", {0x21}, {0x31, 0x02, 0x01, 0x01, 0xCC}},
        {"error:boot10=0x21", WithSum({0x10, 0x04, 'K', 'Q', '6', '6'}), {0x90, 0x21}},
        {"badsum:boot10", WithSum({0x10, 0x04, 'K', 'Q', '6', '6'}), {0x06}},  // an ack has no checksum
    };
    for (const Case& k : cases) {
        Boot b;
        b.dev.SetFaults(sim::FaultPlan::FromText(k.plan));
        b.Ask({0x55});
        EXPECT_EQ(b.Ask(k.ask), k.expected) << k.plan;
    }
}

// The 0x4F answer names what the boot program waits for and the last error byte.
TEST(SimBoot, StatusFollowsTheStepsAndKeepsTheLastError) {
    Boot b;
    auto status = [&] { return b.Ask({0x4F}); };
    b.Ask({0x55});
    EXPECT_EQ(status(), WithSum({0x5F, 0x02, 0x11, 0x00}));
    b.Ask(WithSum({0x10, 0x04, 'K', 'Q', '6', '6'}));
    EXPECT_EQ(status(), WithSum({0x5F, 0x02, 0x12, 0x00}));
    b.Ask(WithSum({0x11, 0x01, 0x01}));
    EXPECT_EQ(status(), WithSum({0x5F, 0x02, 0x13, 0x00}));
    EXPECT_EQ(b.Ask({0x43}), (Bytes{0xC3, 0x80}));  // out of turn: the error byte stays
    EXPECT_EQ(status(), WithSum({0x5F, 0x02, 0x13, 0x80}));
    b.Ask({0x3F, 0x07, 0x09, 0xC4, 0x04, 0xB0, 0x02, 0x04, 0x02, 0x31});
    b.Ask({0x06});
    EXPECT_EQ(status(), WithSum({0x5F, 0x02, 0x1F, 0x80}));
    b.Ask({0x40}, 6000000);
    EXPECT_EQ(status(), WithSum({0x5F, 0x02, 0x3F, 0x80}));
    b.Ask({0x43});
    EXPECT_EQ(status(), WithSum({0x5F, 0x02, 0x4F, 0x80}));
    Bytes bad = b.Unit(0, Bytes(128, 0x11));
    bad.back() ^= 1;
    EXPECT_EQ(b.Ask(bad), (Bytes{0xD0, 0x11}));
    EXPECT_EQ(status(), WithSum({0x5F, 0x02, 0x4F, 0x11}));
    EXPECT_EQ(b.Ask(END), Bytes{0x06});
    EXPECT_EQ(status(), WithSum({0x5F, 0x02, 0x3F, 0x11}));
}

// Unknown codes and malformed frames get one error reply; their bytes are never run as
// commands, so a stray 0x40 in them erases nothing, and the state stays.
TEST(SimBoot, UnknownAndMalformedCommandsAreRefusedWhole) {
    using State = sim::BootDevice::State;
    struct Case {
        const char* what;
        bool selected;  // bit rate confirmed before the frame (0x40 would erase)
        Bytes frame;
        Bytes reply;
    } cases[] = {
        {"unknown code with a size", true, WithSum({0x12, 0x03, 0x40, 0x40, 0x43}), {0x80, 0x80}},
        {"unknown bare code", true, {0x99, 0x40}, {0x80, 0x80}},
        {"device selection, wrong size", false, WithSum({0x10, 0x05, 0x40, 'K', 'Q', '6', '6'}), {0x90, 0x2B}},
        {"clock mode out of turn", true, WithSum({0x11, 0x02, 0x40, 0x01}), {0x91, 0x80}},
        {"bit rate out of turn", true, WithSum({0x3F, 0x02, 0x40, 0x40}), {0xBF, 0x80}},
    };
    for (const Case& k : cases) {
        Boot b;
        if (k.selected)
            b.Select();
        else
            b.Ask({0x55});
        EXPECT_EQ(b.Ask(k.frame, 6000000), k.reply) << k.what;
        EXPECT_EQ(b.dev.CountOf("boot40"), 0) << k.what;
        EXPECT_NE(b.dev.Flash()[0], 0xFF) << k.what;  // old firmware still there
        EXPECT_EQ(b.dev.CurrentState(), k.selected ? State::Selected : State::Inquiry) << k.what;
        EXPECT_EQ(b.Ask({0x4F})[3], k.reply[1]) << k.what;  // its error byte is the last
    }
}

// Programming a unit that was not erased is refused even when the new bytes only clear
// bits, and recorded as a device error.
TEST(SimBoot, ProgrammingAnUnerasedUnitIsRefused) {
    Boot b;
    b.Select();
    b.Ask({0x40}, 6000000);
    b.Ask({0x43});
    EXPECT_EQ(b.Ask(b.Unit(0x80, Bytes(128, 0xF0))), Bytes{0x06});
    EXPECT_EQ(b.Ask(b.Unit(0x80, Bytes(128, 0x00))), (Bytes{0xD0, 0x53}));  // clears bits only
    ASSERT_EQ(b.dev.Errors().size(), 1u);
    EXPECT_NE(b.dev.Errors()[0].text.find("not erased"), std::string::npos);
}

// A Remote's or Receiver's boot program on KQ-LINK, driven through the console as the PC
// drives it: 19 200 bit/s up to the bit-rate selection, 250 000 after the confirmation.
TEST(SimBootPeer, KqLinkSequenceProgramsThe64KiBFlash) {
    sim::Console console;
    sim::BootPeer peer;
    console.KqLink().Attach(&peer);
    sim::LinkTunnel link(&console);
    auto ask = [&](const Bytes& frame, uint32_t window = 10000, uint8_t wanted = 255) {
        link.Send(frame);
        return link.Listen(wanted, window);
    };
    link.Speed(19200);
    EXPECT_EQ(ask({0x55}), Bytes());  // not understood before the bit rate is measured
    EXPECT_EQ(ask({0x00}), Bytes{0x00});
    EXPECT_EQ(ask({0x55}), Bytes{0xE6});
    EXPECT_EQ(ask({0x20}, 20000), WithSum({0x30, 0x0D, 0x01, 0x0B, 'K', 'Q', '2', '6', 'K', 'Q', '2', '6', 'F', '6', '4'}));
    EXPECT_EQ(ask({0x21}), WithSum({0x31, 0x02, 0x01, 0x00}));
    EXPECT_EQ(ask(WithSum({0x10, 0x04, 'K', 'Q', '2', '6'})), Bytes{0x06});
    EXPECT_EQ(ask(WithSum({0x11, 0x01, 0x00})), Bytes{0x06});
    EXPECT_EQ(ask({0x3F, 0x07, 0x09, 0xC4, 0x06, 0x40, 0x01, 0x02, 0x00, 0xA4}), Bytes{0x06});
    EXPECT_EQ(peer.BitRate(), 250000u);
    link.Speed(250000);
    EXPECT_EQ(ask({0x06}), Bytes{0x06});
    EXPECT_EQ(ask({0x25}, 20000), WithSum({0x35, 0x09, 0x01, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}));
    EXPECT_EQ(ask({0x40}, 2000000, 1), Bytes{0x06});
    EXPECT_EQ(ask({0x4F}), WithSum({0x5F, 0x02, 0x3F, 0x00}));
    EXPECT_EQ(ask({0x43}, 200000, 1), Bytes{0x06});
    Bytes data(128);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(0x80 + i);
    Boot frames;
    EXPECT_EQ(ask(frames.Unit(0xFF80, data), 20000, 1), Bytes{0x06});
    EXPECT_EQ(ask(END, 20000, 1), Bytes{0x06});
    EXPECT_TRUE(peer.ProgrammingEnded());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), peer.Flash().begin() + 0xFF80));
    EXPECT_EQ(peer.Flash().size(), 0x10000u);
    EXPECT_TRUE(peer.Errors().empty());
    // A 0x4F at 19 200 reaches the peer at 250 000 garbled: not taken for a 0x4F, and
    // its error reply comes back garbled too.
    link.Speed(19200);
    Bytes garbled = ask({0x4F}, 20000);
    EXPECT_EQ(peer.CountOf("boot4f"), 1);
    EXPECT_NE(garbled, (Bytes{0x80, 0x80}));
}

// The chip answers the adjustment once it has locked: one 0x00 per burst, and a fault
// plan can hold the lock back to the 40th byte (or past it).
TEST(SimBootPeer, BitRateLockAnswersOncePerBurst) {
    struct Case {
        const char* plan;
        int firstAnswer;  // 1-based 0x00 that is answered, 0 for none within 41
    } cases[] = {{"", 1}, {"drop:boot00#1-39", 40}, {"drop:boot00#1-40", 41}, {"drop:boot00", 0}};
    for (const Case& k : cases) {
        sim::Console console;
        sim::BootPeer peer;
        peer.SetFaults(sim::FaultPlan::FromText(k.plan));
        console.KqLink().Attach(&peer);
        sim::LinkTunnel link(&console);
        link.Speed(19200);
        int answered = 0;
        for (int i = 1; i <= 41 && answered == 0; i++) {
            link.Send({0x00});
            if (link.Listen(1, 10000) == Bytes{0x00}) answered = i;
        }
        EXPECT_EQ(answered, k.firstAnswer) << k.plan;
    }
    // A burst of 0x00 bytes in one transmission is answered once.
    sim::Console console;
    sim::BootPeer peer;
    console.KqLink().Attach(&peer);
    sim::LinkTunnel link(&console);
    link.Speed(19200);
    link.Send(Bytes(8, 0x00));
    EXPECT_EQ(link.Listen(255, 20000), Bytes{0x00});
}

TEST(SimFaultPlan, TextRoundTripAndErrors) {
    const char* canonical[] = {
        "drop:erase#3",
        "delay:program#10=500000,unplug:start#1",
        "corrupt:boot20#2=1/0x40,corrupt:mac#*,twice:vverify#2-4,short:boot27#5-=3",
        "wrongcode:start#1=0x05,error:boot40#1=0x51,zero:boot21#*,unit:boot27#*=4091",
        "drop:program#~25,seed=42",
        "",
    };
    for (const char* text : canonical) {
        sim::FaultPlan plan;
        std::string error;
        ASSERT_TRUE(sim::FaultPlan::Parse(text, &plan, &error)) << text << ": " << error;
        EXPECT_EQ(plan.ToString(), text);
    }
    sim::FaultPlan plan = sim::FaultPlan::FromText(" drop:erase , delay:program#2=7 ");
    EXPECT_EQ(plan.ToString(), "drop:erase#*,delay:program#2=7");

    const char* bad[] = {"drop", "explode:erase", "drop:erase#0", "drop:erase#5-3", "delay:erase",
                         "drop:erase=3", "wrongcode:start=0x100", "drop:#1", "corrupt:x=1/0", "seed=x"};
    for (const char* text : bad) {
        sim::FaultPlan p;
        std::string error;
        EXPECT_FALSE(sim::FaultPlan::Parse(text, &p, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(SimFaultPlan, SeededChoicesRepeatAndDependOnTheSeed) {
    auto picks = [](const char* text) {
        sim::FaultPlan p = sim::FaultPlan::FromText(text);
        std::string s;
        for (int i = 1; i <= 64; i++) s += p.Match("program", i).empty() ? '.' : 'x';
        return s;
    };
    std::string a = picks("drop:program#~30,seed=5");
    EXPECT_EQ(a, picks("drop:program#~30,seed=5"));
    EXPECT_NE(a, picks("drop:program#~30,seed=6"));
    size_t hits = std::count(a.begin(), a.end(), 'x');
    EXPECT_GT(hits, 5u);
    EXPECT_LT(hits, 40u);
}

}  // namespace
