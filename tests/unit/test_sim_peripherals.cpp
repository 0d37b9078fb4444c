// The KQ-LINK peripheral models, driven through a console model's tunnel with the
// bytes the PC sends: discovery, the resident loader, the Tempa BOX boot, the queries.
#include <gtest/gtest.h>

#include "sim/model/sim.h"
#include "tests/backend/sim_plug.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A packet with its 7-bit checksum (bytes 1..n-1) appended.
Bytes Pkt(Bytes p) {
    p.push_back(sim::PacketStation::PacketSum(p, p.size()));
    return p;
}

// Heard bytes cut into packets by the PC's rule (lone 0x80 starts, 0x80 0x80 is 0x80).
std::vector<Bytes> Packets(const Bytes& heard) {
    std::vector<Bytes> out;
    bool escape = false;
    for (uint8_t b : heard) {
        if (b == 0x80 && !escape) {
            escape = true;
            continue;
        }
        if (b == 0x80) {
            escape = false;
            if (!out.empty()) out.back().push_back(0x80);
            continue;
        }
        if (escape) out.push_back({0x80}), escape = false;
        if (!out.empty()) out.back().push_back(b);
    }
    return out;
}

Bytes Write(uint8_t address, uint32_t offset, const Bytes& data) {
    Bytes p{0x80, (uint8_t)(0x20 | address), 0x02, (uint8_t)(offset >> 24), (uint8_t)(offset >> 16),
            (uint8_t)(offset >> 8), (uint8_t)offset};
    p.insert(p.end(), data.begin(), data.end());
    return Pkt(p);
}

Bytes LoaderAck(uint8_t a) { return {0x80, a, 0x04, (uint8_t)((a + 4) & 0x7F)}; }

struct Bus {
    sim::Console console;
    sim::LinkTunnel link{&console};
    explicit Bus(std::vector<sim::BusPeer*> peers, uint32_t rate = 250000) {
        for (sim::BusPeer* p : peers) console.KqLink().Attach(p);
        link.Speed(rate);
    }
    std::vector<Bytes> Ask(const Bytes& packet, uint32_t window = 20000, uint8_t wanted = 255) {
        link.Packet(packet);
        return Packets(link.Listen(wanted, window));
    }
};

const Bytes DISCOVER{0x80, 0xE0, 0x60};

TEST(SimPeripherals, DiscoveryAnnouncesEachUnitWithItsType) {
    sim::Remote remote(3);
    sim::Receiver receiver(9);
    sim::TempaBox tempa(5);
    Bus bus({&remote, &receiver, &tempa});
    std::vector<Bytes> heard = bus.Ask(DISCOVER, 32000);
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0], Pkt({0x80, 0xC3, 0x01, 0x00, 0x07}));
    EXPECT_EQ(heard[1], Pkt({0x80, 0xC5, 0x01, 0x02, 0x07}));
    EXPECT_EQ(heard[2], Pkt({0x80, 0xC9, 0x01, 0x01, 0x07}));
}

TEST(SimPeripheralFaults, DiscoveryFaults) {
    struct Case {
        const char* plan;
        size_t announces;
        Bytes first;
    } cases[] = {
        {"drop:discover", 0, {}},
        {"wrongcode:discover", 1, Pkt({0x80, 0xC3, 0x01, 0x01, 0x07})},
        {"wrongcode:discover=2", 1, Pkt({0x80, 0xC3, 0x01, 0x02, 0x07})},
        {"badsum:discover", 1, {0x80, 0xC3, 0x01, 0x00, 0x07, (uint8_t)((0xC3 + 0x01 + 0x07 + 1) & 0x7F)}},
        {"units:discover=2", 2, Pkt({0x80, 0xC3, 0x01, 0x00, 0x07})},
        {"units:discover=16", 16, Pkt({0x80, 0xC0, 0x01, 0x00, 0x07})},
        {"twice:discover", 2, Pkt({0x80, 0xC3, 0x01, 0x00, 0x07})},
    };
    for (const Case& k : cases) {
        sim::Remote remote(3);
        remote.SetFaults(sim::FaultPlan::FromText(k.plan));
        Bus bus({&remote});
        std::vector<Bytes> heard = bus.Ask(DISCOVER, 32000);
        ASSERT_EQ(heard.size(), k.announces) << k.plan;
        if (k.announces) {
            EXPECT_EQ(heard[0], k.first) << k.plan;
        }
    }
}

// A unit at 250 000 bit/s does not understand the discovery sent at 19 200.
TEST(SimPeripherals, BytesAtAnotherRateAreNotUnderstood) {
    sim::Remote remote(3);
    Bus bus({&remote}, 19200);
    EXPECT_TRUE(bus.Ask(DISCOVER, 32000).empty());
    EXPECT_EQ(remote.CountOf("discover"), 0);
}

// The user-mode update as the PC runs it: erase blocks 0 and 2..15, write the non-blank
// 128-byte chunks but block 1, finish. Block 1 keeps the unit's calibration.
TEST(SimPeripherals, ResidentLoaderWritesTheImageAndKeepsTheCalibration) {
    const uint8_t a = 4;
    sim::Receiver receiver(a);
    Bytes calibration = receiver.Calibration();
    Bus bus({&receiver});
    Bytes image(16466);
    for (size_t i = 0; i < image.size(); i++) image[i] = (uint8_t)(i * 13 + (i >> 8));
    std::fill(image.begin() + 0x1000, image.begin() + 0x2000, 0xFF);
    std::fill(image.begin() + 0x3000, image.begin() + 0x3100, 0xFF);  // blank chunks skipped

    EXPECT_EQ(bus.Ask(Pkt({0x80, (uint8_t)(0x20 | a), 0x00}), 20000, 4), std::vector<Bytes>{LoaderAck(a)});
    for (uint8_t block = 0; block < 16; block++) {
        if (block == 1) continue;
        EXPECT_EQ(bus.Ask(Pkt({0x80, (uint8_t)(0x20 | a), 0x01, block}), 6505000, 4), std::vector<Bytes>{LoaderAck(a)});
    }
    int writes = 0;
    for (uint32_t off = 0; off < image.size(); off += 128) {
        Bytes chunk(128, 0xFF);
        std::copy(image.begin() + off, image.begin() + std::min<size_t>(off + 128, image.size()), chunk.begin());
        if (std::all_of(chunk.begin(), chunk.end(), [](uint8_t b) { return b == 0xFF; })) continue;
        ASSERT_EQ(bus.Ask(Write(a, off, chunk), 15000, 4), std::vector<Bytes>{LoaderAck(a)}) << off;
        writes++;
    }
    EXPECT_EQ(bus.Ask(Pkt({0x80, (uint8_t)(0x20 | a), 0x03}), 20000, 4), std::vector<Bytes>{LoaderAck(a)});
    EXPECT_TRUE(receiver.LoaderFinished());
    EXPECT_TRUE(receiver.Errors().empty());
    EXPECT_EQ(receiver.CountOf("write"), writes);
    EXPECT_EQ(receiver.Calibration(), calibration);
    const Bytes& flash = receiver.Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x1000, flash.begin()));
    EXPECT_TRUE(std::equal(image.begin() + 0x2000, image.end(), flash.begin() + 0x2000));
    EXPECT_EQ(flash[image.size()], 0xFF);  // erased behind the image
}

// What the loader does with writes it cannot carry out: no acknowledgement, and a
// device error where the flash was not erased.
TEST(SimPeripherals, LoaderRefusals) {
    struct Case {
        const char* what;
        bool begin, erase;
        Bytes data;
        bool acked;
        size_t errors;
    } cases[] = {
        {"write before begin", false, false, Bytes(128, 0x12), false, 1},
        {"write without erase", true, false, Bytes(128, 0x12), false, 1},
        {"write of zeros without erase reads back right", true, false, Bytes(128, 0x00), true, 1},
        {"erased and begun", true, true, Bytes(128, 0x12), true, 0},
    };
    for (const Case& k : cases) {
        sim::Remote remote(1);
        Bus bus({&remote});
        if (k.begin) bus.Ask(Pkt({0x80, 0x21, 0x00}), 20000, 4);
        if (k.erase) bus.Ask(Pkt({0x80, 0x21, 0x01, 0x00}), 200000, 4);
        std::vector<Bytes> heard = bus.Ask(Write(1, 0x80, k.data), 15000, 4);
        EXPECT_EQ(heard.size(), k.acked ? 1u : 0u) << k.what;
        EXPECT_EQ(remote.Errors().size(), k.errors) << k.what;
    }
}

TEST(SimPeripheralFaults, AcknowledgementFaults) {
    struct Case {
        const char* plan;
        std::vector<Bytes> heard;
    } cases[] = {
        {"", {LoaderAck(1)}},
        {"delay:begin=60000", {}},  // after the PC's send pause and 20 ms listen
        {"twice:begin", {LoaderAck(1), LoaderAck(1)}},
        {"badsum:begin", {{0x80, 0x01, 0x04, 0x06}}},
        {"drop:begin", {}},
    };
    for (const Case& k : cases) {
        sim::Remote remote(1);
        remote.SetFaults(sim::FaultPlan::FromText(k.plan));
        Bus bus({&remote});
        EXPECT_EQ(bus.Ask(Pkt({0x80, 0x21, 0x00}), 20000, 255), k.heard) << k.plan;
    }
}

// The Tempa BOX boot: lock and erase at 9600, the boot record echoed, then the loader
// at 250 000 as address 14 writes the 64-byte chunks.
TEST(SimTempaBoxBoot, HandshakeAndLoaderWriteTheImage) {
    sim::TempaBoxBoot box;
    Bus bus({&box}, 9600);
    sim::LinkTunnel& link = bus.link;
    auto raw = [&](uint8_t byte, uint32_t window) {
        link.Send({byte});
        return link.Listen(1, window);
    };
    EXPECT_EQ(raw(0x55, 10000), Bytes());  // before the lock: not understood
    EXPECT_EQ(raw(0x00, 20000), Bytes{0x00});
    EXPECT_EQ(raw(0x55, 2000000), Bytes{0xAA});
    EXPECT_TRUE(std::all_of(box.Flash().begin(), box.Flash().end(), [](uint8_t b) { return b == 0xFF; }));
    Bytes record(922);
    for (size_t i = 0; i < record.size(); i++) record[i] = (uint8_t)(i * 7 + 0x80);
    EXPECT_EQ(raw(0x03, 20000), Bytes{0x03});
    EXPECT_EQ(raw(0x9A, 20000), Bytes{0x9A});
    for (size_t i = 0; i < record.size(); i++) ASSERT_EQ(raw(record[i], 20000), Bytes{record[i]}) << i;
    EXPECT_EQ(box.BootRecord(), record);
    EXPECT_EQ(box.BitRate(), 250000u);

    link.Speed(250000);
    const Bytes ack{0x80, 0x0E, 0x04, 0x12};
    EXPECT_EQ(bus.Ask({0x80, 0x2E, 0x00, 0x2E}, 20000, 4), std::vector<Bytes>{ack});
    Bytes image(2604);
    for (size_t i = 0; i < image.size(); i++) image[i] = (uint8_t)(i ^ (i >> 3));
    for (uint32_t off = 0; off < image.size(); off += 64) {
        Bytes p{0x80, 0x2E, 0x02, 0x00, 0x00, (uint8_t)(off >> 8), (uint8_t)off};
        for (uint32_t i = 0; i < 64; i++) p.push_back(off + i < image.size() ? image[off + i] : 0xFF);
        ASSERT_EQ(bus.Ask(Pkt(p), 260000, 4), std::vector<Bytes>{ack}) << off;
    }
    EXPECT_EQ(bus.Ask({0x80, 0x2E, 0x03, 0x31}, 20000, 4), std::vector<Bytes>{ack});
    EXPECT_TRUE(box.LoaderFinished());
    EXPECT_TRUE(box.Errors().empty());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), box.Flash().begin()));
}

TEST(SimTempaBoxBoot, HandshakeFaults) {
    struct Case {
        const char* plan;
        int step;  // 0 adjust, 1 erase, 2 and 3 size, 4 the record byte: where it fails
    } cases[] = {
        {"", -1},
        {"drop:boot00", 0},
        {"delay:boot55=2000000", 1},
        {"corrupt:bootsize#1", 2},
        {"wrongcode:bootsize#2=0x02", 3},
        {"corrupt:bootdata#1=0/0x10", 4},
    };
    for (const Case& k : cases) {
        sim::TempaBoxBoot box;
        box.SetFaults(sim::FaultPlan::FromText(k.plan));
        Bus bus({&box}, 9600);
        // A one-byte boot record: size 0x00 0x01, then the byte 0x41.
        const std::pair<uint8_t, uint32_t> steps[] = {
            {0x00, 20000}, {0x55, 2000000}, {0x00, 20000}, {0x01, 20000}, {0x41, 20000}};
        int failed = -1;
        for (int i = 0; i < 5 && failed < 0; i++) {
            bus.link.Send({steps[i].first});
            Bytes answer = bus.link.Listen(1, steps[i].second);
            Bytes want{i == 1 ? (uint8_t)0xAA : steps[i].first};
            if (answer != want) failed = i;
        }
        EXPECT_EQ(failed, k.step) << k.plan;
    }
}

// Queries of the running units and what the set packets leave on them.
TEST(SimPeripherals, QueriesFollowTheScriptAndTimeAndSetsAreRecorded) {
    sim::Remote remote(2);
    sim::Receiver receiver(6);
    sim::TempaBox tempa(11);
    remote.SetScript({{100000, 133, true}, {200000, 133, false}, {300000, 264, true}});
    receiver.SetSignalLevel([](uint64_t) { return (uint8_t)0x80; });
    sim::TempaStatus status;
    status.hours = 1, status.minutes = 59, status.seconds = 59, status.frames = 20;
    tempa.SetStatus(status);
    Bus bus({&remote, &receiver, &tempa});

    bus.link.Wait(150000 - bus.link.now);
    EXPECT_EQ(bus.Ask(Pkt({0x80, 0x62, 0x02})), std::vector<Bytes>{Pkt({0x80, 0x42, 0x02, 0x05, 0x21})});
    bus.link.Wait(300000 - bus.link.now);
    EXPECT_EQ(bus.Ask(Pkt({0x80, 0x62, 0x02})), std::vector<Bytes>{Pkt({0x80, 0x42, 0x02, 0x08, 0x41})});
    EXPECT_EQ(bus.Ask(Pkt({0x80, 0x66, 0x01})), std::vector<Bytes>{Pkt({0x80, 0x46, 0x01, 0x80})});
    std::vector<Bytes> st = bus.Ask(Pkt({0x80, 0x6B, 0x04}));
    ASSERT_EQ(st.size(), 1u);
    ASSERT_EQ(st[0].size(), 14u);
    EXPECT_EQ(Bytes(st[0].begin() + 1, st[0].begin() + 3), (Bytes{0x4B, 0x04}));
    EXPECT_EQ(Bytes(st[0].begin() + 3, st[0].begin() + 5), (Bytes{2, 0}));  // past 01:59:59:20
    EXPECT_EQ(Bytes(st[0].begin() + 7, st[0].begin() + 13), (Bytes{2, 0x05, 0x10, 0x01, 0x3C, 0x7E}));
    // A Remote is not asked for a level: no answer.
    EXPECT_TRUE(bus.Ask(Pkt({0x80, 0x62, 0x01})).empty());

    Bytes text(63, ' ');
    const char shown[] = "Fn: s37\x01  St: 1";
    std::copy(shown, shown + sizeof shown, text.begin() + 42);
    Bytes set{0x80, 0xA2, 0x02};
    set.insert(set.end(), text.begin(), text.end());
    EXPECT_TRUE(bus.Ask(Pkt(set)).empty());  // set packets get no answer
    bus.Ask(Pkt({0x80, 0xA6, 0x01, 12}));
    EXPECT_EQ(remote.DisplayText(), text);
    EXPECT_EQ(remote.DisplayCount(), 1);
    // kqsim's request line tells where the text starts and what it says.
    EXPECT_EQ(remote.Requests().back().kind, "settext");
    EXPECT_EQ(remote.Requests().back().detail, "@42 \"Fn: s37\\x01  St: 1\"");
    EXPECT_EQ(receiver.RemoteNumber(), 12);
    EXPECT_TRUE(receiver.DisplayText().empty());
}

// The default keys repeat every two seconds; before the first key there is no function.
TEST(SimPeripherals, DefaultScriptCyclesThroughFunctions) {
    sim::Remote remote;
    struct Case {
        uint64_t atUs;
        uint16_t function;
        uint8_t state;
    } cases[] = {
        {0, sim::Unit::kNoFunction, 0}, {250000, 1, 1},    {600000, 1, 0},    {900000, 133, 1},
        {1500000, 255, 1},              {1900000, 255, 0}, {2100000, 255, 0}, {2250000, 1, 1},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(remote.FunctionAt(k.atUs), std::make_pair(k.function, k.state)) << k.atUs;
    }
}

// The Receiver test's cycle: function and level asked back to back, both answers heard
// in one listen.
TEST(SimPeripherals, ReceiverAnswersFunctionAndLevelInOneListen) {
    sim::Receiver receiver(7);
    receiver.SetScript({{0, 264, true}});
    receiver.SetSignalLevel([](uint64_t) { return (uint8_t)0x42; });
    Bus bus({&receiver});
    bus.link.Packet(Pkt({0x80, 0x67, 0x02}));
    bus.link.Packet(Pkt({0x80, 0x67, 0x01}));
    std::vector<Bytes> heard = Packets(bus.link.Listen(255, 30000));
    EXPECT_EQ(heard, (std::vector<Bytes>{Pkt({0x80, 0x47, 0x02, 0x08, 0x41}), Pkt({0x80, 0x47, 0x01, 0x42})}));
}

TEST(SimPeripheralFaults, QueryFaults) {
    struct Case {
        const char* plan;
        std::vector<size_t> answered;  // replies heard to queries 1..4
        Bytes third;                   // the third reply, when there is one
    } cases[] = {
        {"", {1, 1, 1, 1}, Pkt({0x80, 0x42, 0x02, 0x05, 0x21})},
        {"drop:function#3-", {1, 1, 0, 0}, {}},
        {"unplug:function#3", {1, 1, 0, 0}, {}},
        {"wrongcode:function#3=0x03", {1, 1, 1, 1}, Pkt({0x80, 0x42, 0x03, 0x05, 0x21})},
        {"badsum:function#3", {1, 1, 1, 1}, {0x80, 0x42, 0x02, 0x05, 0x21, (uint8_t)((0x42 + 0x02 + 0x05 + 0x21 + 1) & 0x7F)}},
        {"blank:function#3", {1, 1, 1, 1}, Pkt({0x80, 0x42, 0x02, 0xFF, 0xFF})},
    };
    for (const Case& k : cases) {
        sim::Remote remote(2);
        remote.SetScript({{0, 133, true}});
        remote.SetFaults(sim::FaultPlan::FromText(k.plan));
        Bus bus({&remote});
        for (size_t i = 0; i < 4; i++) {
            std::vector<Bytes> heard = bus.Ask(Pkt({0x80, 0x62, 0x02}));
            EXPECT_EQ(heard.size(), k.answered[i]) << k.plan << " query " << i + 1;
            if (i == 2 && !heard.empty()) {
                EXPECT_EQ(heard[0], k.third) << k.plan;
            }
        }
    }
}

}  // namespace

// A Remote cut half-way through erasing block 0 stays silent after power-on; its boot
// program on the same flash answers; once the flash holds a firmware it knows, it
// announces itself again with its calibration as the flash holds it.
TEST(SimPeripheralPower, OnlyAWholeFirmwareAnnouncesItself) {
    const uint8_t a = 3;
    sim::Remote remote(a);
    Bytes calibration = remote.Calibration();
    remote.SetFaults(sim::FaultPlan::FromText("cut:erase#1=500"));
    Bus bus({&remote});
    EXPECT_EQ(bus.Ask(Pkt({0x80, (uint8_t)(0x20 | a), 0x00}), 20000, 4), std::vector<Bytes>{LoaderAck(a)});
    EXPECT_TRUE(bus.Ask(Pkt({0x80, (uint8_t)(0x20 | a), 0x01, 0x00}), 100000, 4).empty());
    ASSERT_TRUE(remote.PoweredOff());
    EXPECT_TRUE(remote.FlashMemory().IsErased(0, 0x800));
    EXPECT_FALSE(remote.FlashMemory().IsErased(0x800, 0x800));
    EXPECT_FALSE(remote.PowerOn());
    EXPECT_TRUE(bus.Ask(DISCOVER, 32000).empty());
    EXPECT_EQ(remote.Calibration(), calibration);

    // The same flash through the boot program: erase all, write one unit.
    sim::BootPeer boot;
    boot.ShareFlash(remote.SharedFlash());
    boot.FlashMemory()->Erase(0, 0x10000);
    EXPECT_TRUE(boot.FlashMemory()->IsErased(0x1000, 0x1000));  // calibration gone with it
    Bytes image(0x10000, 0xFF);
    image[0] = 0x00, image[1] = 0x00, image[2] = 0x20, image[3] = 0x00;
    std::copy(image.begin(), image.begin() + 4, boot.FlashMemory()->Bytes().begin());
    remote.KnowFirmware(image);
    remote.SetFaults(sim::FaultPlan());
    EXPECT_TRUE(remote.PowerOn());
    EXPECT_EQ(bus.Ask(DISCOVER, 32000).size(), 1u);
}

TEST(SimPeripheralPower, TheTempaBoxBootStartsOverAfterACut) {
    sim::TempaBoxBoot tempa;
    tempa.SetFaults(sim::FaultPlan::FromText("cut:boot55=500"));
    Bus bus({&tempa}, 9600);
    bus.link.Send({0x00});
    EXPECT_EQ(bus.link.Listen(1, 20000), Bytes{0x00});
    bus.link.Send({0x55});
    EXPECT_TRUE(bus.link.Listen(1, 2000000).empty());
    ASSERT_TRUE(tempa.PoweredOff());
    EXPECT_TRUE(tempa.FlashMemory().IsErased(0, 0x800));
    EXPECT_FALSE(tempa.FlashMemory().IsErased(0x800, 0x800));
    EXPECT_TRUE(tempa.PowerOn());
    EXPECT_EQ(tempa.CurrentStage(), sim::TempaBoxBoot::Stage::Adjust);
    tempa.SetFaults(sim::FaultPlan());
    bus.link.Send({0x00});
    EXPECT_EQ(bus.link.Listen(1, 20000), Bytes{0x00});
}
