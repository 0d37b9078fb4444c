// test_usb.cpp - consoles on an emulated USB bus as the Linux backend lists them, and
// the pipe names it recognises. Runs with libumockdev-preload (see CMakeLists.txt): the
// bus below is the whole bus the process sees.
#include <gtest/gtest.h>
#include <umockdev.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/screen.h"
#include "platform/posix/posix.h"
#include "tests/backend/testbed.h"

namespace {

struct BusDevice {
    int bus, address;
    uint16_t vendor, product;
    std::vector<std::vector<uint8_t>> endpoints;  // descriptors in interface order
};
const std::vector<uint8_t> BULK_OUT = {0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00};
const std::vector<uint8_t> BULK_IN = {0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00};
const std::vector<uint8_t> INTERRUPT_IN = {0x07, 0x05, 0x82, 0x03, 0x08, 0x00, 0x0A};

// Listed in no particular order, as a bus enumerates.
const BusDevice BUS[] = {
    {1, 9, 0x045B, 0x0025, {BULK_OUT, BULK_IN}},       // processor in boot mode
    {1, 4, 0x1D2B, 0x0001, {BULK_OUT, BULK_IN}},       // running console
    {1, 2, 0x1D2B, 0x0003, {BULK_IN, BULK_OUT}},       // endpoints in the wrong order
    {2, 3, 0x046D, 0xC31C, {BULK_OUT, BULK_IN}},       // not ours: ignored silently
    {1, 12, 0xFFFF, 0x0001, {BULK_OUT}},               // one endpoint only
    {1, 13, 0x1D2B, 0x0001, {BULK_OUT, INTERRUPT_IN}}, // IN pipe not bulk
};

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string hex;
    char two[3];
    for (uint8_t b : bytes) {
        snprintf(two, sizeof two, "%02X", b);
        hex += two;
    }
    return hex;
}

std::string DeviceText(const BusDevice& d) {
    std::vector<uint8_t> desc = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40,
                                 (uint8_t)d.vendor, (uint8_t)(d.vendor >> 8),
                                 (uint8_t)d.product, (uint8_t)(d.product >> 8),
                                 0x00, 0x01, 0x00, 0x00, 0x00, 0x01};
    uint8_t total = (uint8_t)(18 + 7 * d.endpoints.size());
    std::vector<uint8_t> config = {0x09, 0x02, total, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
                                   0x09, 0x04, 0x00, 0x00, (uint8_t)d.endpoints.size(), 0xFF, 0x00, 0x00, 0x00};
    desc.insert(desc.end(), config.begin(), config.end());
    for (const auto& e : d.endpoints) desc.insert(desc.end(), e.begin(), e.end());
    char text[1024];
    snprintf(text, sizeof text,
             "P: /devices/pci0000:00/0000:00:14.0/usb%d/%d-%d\n"
             "N: bus/usb/%03d/%03d\n"
             "E: DEVNAME=/dev/bus/usb/%03d/%03d\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n"
             "A: busnum=%d\\n\nA: devnum=%d\\n\nA: idVendor=%04x\\n\nA: idProduct=%04x\\n\n"
             "A: speed=12\\n\nA: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\n"
             "H: descriptors=%s\n",
             d.bus, d.bus, d.address, d.bus, d.address, d.bus, d.address, d.bus, d.address,
             d.vendor, d.product, Hex(desc).c_str());
    return text;
}

// The bus is built once, before libusb first looks at it.
class UsbBus : public ::testing::Environment {
public:
    void SetUp() override {
        testbed_ = umockdev_testbed_new();
        for (const BusDevice& d : BUS) {
            GError* error = nullptr;
            ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, DeviceText(d).c_str(), &error))
                << (error ? error->message : "");
        }
    }
    void TearDown() override { g_object_unref(testbed_); }

private:
    UMockdevTestbed* testbed_ = nullptr;
};
::testing::Environment* const Bus = ::testing::AddGlobalTestEnvironment(new UsbBus);

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

TEST(UsbBus, ListsConsolesByBusAndAddressAndPassesOverUnfitOnesOnce) {
    testbed::Reset();
    ScreenClear();
    std::vector<std::string> first, second;
    UsbListConsoles(&first);
    UsbListConsoles(&second);  // discovery runs again and again while seeking
    const std::vector<std::string> expected = {"usb#vid_1d2b&pid_0001#bus001-dev004",
                                               "usb#vid_045b&pid_0025#bus001-dev009"};
    EXPECT_EQ(first, expected);
    EXPECT_EQ(second, expected);
    std::string screen = testbed::ScreenText();
    EXPECT_EQ(Count(screen, "passed over"), 3) << screen;
    EXPECT_EQ(Count(screen, "vid_1d2b&pid_0003 (bus 1, device 2)"), 1) << screen;
    EXPECT_EQ(Count(screen, "vid_ffff&pid_0001 (bus 1, device 12)"), 1) << screen;
    EXPECT_EQ(Count(screen, "vid_1d2b&pid_0001 (bus 1, device 13)"), 1) << screen;
    EXPECT_EQ(Count(screen, "vid_046d"), 0) << screen;
}

TEST(UsbBus, PipeNamesOpenOnlyWhatTheListNamed) {
    // A name whose device is not on the bus, or has another identity there, opens nothing.
    const char* names[] = {"usb#vid_1d2b&pid_0001#bus001-dev005/PIPE00",
                           "usb#vid_1d2b&pid_0003#bus001-dev004/PIPE00",
                           "usb#vid_1d2b&pid_0003#bus001-dev002/PIPE01"};
    for (const char* name : names) EXPECT_EQ(UsbPipeOpen(name), PLAT_NO_HANDLE) << name;
}

struct PathCase {
    const char* path;
    bool ok;
    int bus, address, pipe;
};
TEST(UsbNames, PipePathsInTheDriversFormOnly) {
    const PathCase cases[] = {
        {"usb#vid_1d2b&pid_0001#bus001-dev004/PIPE00", true, 1, 4, 0},
        {"usb#vid_045b&pid_0025#bus003-dev127/PIPE01", true, 3, 127, 1},
        {"usb#vid_1D2B&pid_0001#bus001-dev004/PIPE00", false, 0, 0, 0},  // upper case
        {"usb#vid_1d2b&pid_0001#bus001-dev004/PIPE02", false, 0, 0, 0},
        {"usb#vid_1d2b&pid_0001#bus001-dev004/PIPE00x", false, 0, 0, 0},
        {"usb#vid_1d2b&pid_0001#bus1-dev4/PIPE00", false, 0, 0, 0},      // not zero-padded
        {"/run/kqusb/usb#vid_1d2b&pid_0001#0001/PIPE00", false, 0, 0, 0}, // device directory
        {"usb#vid_1d2b&pid_0001#0001/PIPE00", false, 0, 0, 0},
        {"usb#vid_1d2b&pid_0001#bus001-dev004", false, 0, 0, 0},
    };
    for (const PathCase& c : cases) {
        UsbPipeName name{};
        EXPECT_EQ(UsbParsePipePath(c.path, &name), c.ok) << c.path;
        if (!c.ok) continue;
        EXPECT_EQ(name.bus, c.bus) << c.path;
        EXPECT_EQ(name.address, c.address) << c.path;
        EXPECT_EQ(name.pipe, c.pipe) << c.path;
        // The name the list gives, and the core's match text, come back from it.
        char again[64];
        ASSERT_TRUE(UsbInterfaceName(name.vendor, name.product, name.bus, name.address, again, sizeof again));
        EXPECT_EQ(std::string(c.path).rfind(again, 0), 0u) << c.path;
    }
}

struct EndpointCase {
    std::vector<uint8_t> addresses, attributes;
    bool fit;
};
TEST(UsbNames, FirstEndpointBulkOutSecondBulkIn) {
    const EndpointCase cases[] = {
        {{0x01, 0x81}, {0x02, 0x02}, true},
        {{0x02, 0x86, 0x83}, {0x02, 0x02, 0x03}, true},  // a third endpoint is not ours
        {{0x81, 0x01}, {0x02, 0x02}, false},             // IN first
        {{0x01, 0x02}, {0x02, 0x02}, false},             // two OUT
        {{0x01, 0x81}, {0x02, 0x03}, false},             // interrupt IN
        {{0x01, 0x81}, {0x01, 0x02}, false},             // isochronous OUT
        {{0x01}, {0x02}, false},
    };
    for (const EndpointCase& c : cases) {
        UsbEndpoints e{};
        bool fit = UsbEndpointsFit(c.addresses.data(), c.attributes.data(), (int)c.addresses.size(), &e);
        EXPECT_EQ(fit, c.fit) << (int)c.addresses[0];
        if (fit) EXPECT_EQ(e.out, c.addresses[0]);
        if (fit) EXPECT_EQ(e.in, c.addresses[1]);
    }
}

TEST(UsbNames, HandlesNeverLookLikeFileDescriptorsOrClosed) {
    EXPECT_FALSE(UsbIsHandle(PLAT_NO_HANDLE));
    for (PlatHandle fd : {0, 1, 2, 1023, 1 << 20}) EXPECT_FALSE(UsbIsHandle(fd)) << fd;
    // Reads and writes on a handle that was never opened fail, they do not block.
    uint8_t b[4] = {0, 0, 0, 0};
    EXPECT_EQ(UsbPipeRead(0x40000001, b, sizeof b), -1);
    EXPECT_EQ(UsbPipeWrite(0x40000000, b, sizeof b), -1);
}

}  // namespace
