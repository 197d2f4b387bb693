// The USB device through its socket, driven by a hand-written client.
#include "SimTestHosts.h"

#include <SimProcess.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using simtest::UsbClient;
using velt::sim::SimProcess;

namespace {

std::string soleStem(const std::string& dir)
{
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".sock")
            return (std::filesystem::path(dir) / entry.path().stem()).string();
    return {};
}

} // namespace

TEST(UsbDevice, DescribesItselfInTheDevFile)
{
    SimProcess sim({"--usb", "vid=1209,pid=ABCD,serial=XY-7,name=dev0,guid={0f0e0d0c-0b0a-0908-0706-050403020100}"});
    std::ifstream dev(sim.usbDir() + "/dev0.dev");
    std::string text((std::istreambuf_iterator<char>(dev)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "path=\\\\?\\usb#vid_1209&pid_abcd#XY-7#{0f0e0d0c-0b0a-0908-0706-050403020100}\n"
                    "guid={0F0E0D0C-0B0A-0908-0706-050403020100}\n");
}

// interface=1: a vendor interface 0, the DFU interface 1 that alone takes
// DFU requests, and the GUID bound to interface 1 by MS OS 2.0 descriptors.
TEST(UsbDevice, ACompositeDeviceNamesItsDfuInterfaceEverywhere)
{
    SimProcess sim({"--usb", "serial=C1,name=comp,interface=1,guid={0f0e0d0c-0b0a-0908-0706-050403020100}"});
    std::ifstream dev(sim.usbDir() + "/comp.dev");
    std::string text((std::istreambuf_iterator<char>(dev)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "path=\\\\?\\usb#vid_f055&pid_d0f1&mi_01#C1#{0f0e0d0c-0b0a-0908-0706-050403020100}\n"
                    "guid={0F0E0D0C-0B0A-0908-0706-050403020100}\ninterface=1\n");

    UsbClient host(sim.usbDir() + "/comp.sock");
    auto config = host.control(0x80, 6, 0x0200, 255).data;
    ASSERT_EQ(config.size(), 36u);
    EXPECT_EQ(config[4], 2) << "two interfaces";
    EXPECT_EQ(std::vector<uint8_t>(config.begin() + 9, config.begin() + 18),
              std::vector<uint8_t>({9, 4, 0, 0, 0, 0xFF, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(config.begin() + 18, config.begin() + 27),
              std::vector<uint8_t>({9, 4, 1, 0, 0, 0xFE, 1, 2, 2}));
    EXPECT_EQ(host.call(VUSB_OP_QUERY_INTERFACE, 0, 0, {}, 9).data[2], 1) << "the handle's interface is the DFU one";

    // BOS (bcdUSB 2.01) -> MS OS 2.0 platform capability -> vendor request for the set.
    EXPECT_EQ(host.control(0x80, 6, 0x0100, 18).data[2], 0x01);
    auto bos = host.control(0x80, 6, 0x0F00, 255).data;
    ASSERT_EQ(bos.size(), 33u);
    const uint16_t setLength = static_cast<uint16_t>(bos[29] | bos[30] << 8);
    auto set = host.control(0xC0, bos[31], 0, setLength, {}, 7).data;
    ASSERT_EQ(set.size(), setLength);
    EXPECT_EQ(set[8] | set[9] << 8, setLength) << "the set's wTotalLength";
    EXPECT_EQ(std::vector<uint8_t>(set.begin() + 18, set.begin() + 23), std::vector<uint8_t>({8, 0, 2, 0, 1}))
        << "a function subset of interface 1";
    std::string guid;
    for (size_t i = set.size() - 80; i + 1 < set.size() - 4; i += 2)
        guid += static_cast<char>(set[i]);
    EXPECT_EQ(guid, "{0F0E0D0C-0B0A-0908-0706-050403020100}");

    // Class and vendor requests go to interface 1 only.
    EXPECT_EQ(host.control(0xA1, 5, 0, 1, {}, 1).data, std::vector<uint8_t>{2});
    EXPECT_EQ(host.control(0xC1, 7, 0, 48, {}, 1).data.size(), 48u);
    EXPECT_EQ(host.control(0xA1, 5, 0, 1, {}, 0).error, 31u);
    EXPECT_EQ(host.control(0xA1, 5, 0, 1, {}, 1).data, std::vector<uint8_t>{10});
}

TEST(UsbDevice, ServesOneHostAtATime)
{
    SimProcess sim({"--usb"});
    std::string stem = soleStem(sim.usbDir());
    auto first = std::make_unique<UsbClient>(stem + ".sock");
    EXPECT_EQ(first->greeting(), VUSB_GREETING_OK);
    UsbClient second(stem + ".sock");
    EXPECT_EQ(second.greeting(), VUSB_GREETING_BUSY);
    EXPECT_TRUE(second.closedByPeer());
    first.reset();
    // Once the first host is gone the device is free again.
    bool freed = false;
    for (int i = 0; i < 100 && !freed; ++i) {
        UsbClient third(stem + ".sock");
        freed = third.greeting() == VUSB_GREETING_OK;
        if (!freed)
            ::usleep(5000);
    }
    EXPECT_TRUE(freed);
}

TEST(UsbDevice, AnswersDescriptorsAndInterfaceQueries)
{
    SimProcess sim({"--usb", "vid=1209,pid=0001,serial=S1"});
    UsbClient host(soleStem(sim.usbDir()) + ".sock");
    auto device = host.call(VUSB_OP_GET_DESCRIPTOR, 1, 0, {}, 18);
    EXPECT_EQ(device.error, 0u);
    EXPECT_EQ(device.data, std::vector<uint8_t>({18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x01, 0x00, 0x00, 0x01, 1, 2, 3, 1}));
    EXPECT_EQ(host.call(VUSB_OP_GET_DESCRIPTOR, 1, 0, {}, 8).data.size(), 8u) << "never more than the capacity";
    auto serial = host.call(VUSB_OP_GET_DESCRIPTOR, 3, 3 | 0x0409 << 16, {}, 255);
    EXPECT_EQ(serial.data, std::vector<uint8_t>({6, 3, 'S', 0, '1', 0}));
    EXPECT_EQ(host.call(VUSB_OP_GET_DESCRIPTOR, 9, 0, {}, 64).error, 31u);

    auto interface = host.call(VUSB_OP_QUERY_INTERFACE, 0, 0, {}, 9);
    EXPECT_EQ(interface.data, std::vector<uint8_t>({9, 4, 0, 0, 0, 0xFE, 1, 2, 2}));
    EXPECT_NE(host.call(VUSB_OP_QUERY_INTERFACE, 1, 0, {}, 9).error, 0u);

    auto policy = host.call(VUSB_OP_SET_PIPE_POLICY, 0, 3, {}, 4, {0xE8, 0x03, 0, 0});
    EXPECT_EQ(policy.error, 0u);
    EXPECT_NE(sim.readLog().find("pipe policy pipe=0 policy=3 value=1000"), std::string::npos);
}

TEST(UsbDevice, CarriesControlTransfersToTheModel)
{
    SimProcess sim({"--usb", "busy=1,poll=300"});
    UsbClient host(soleStem(sim.usbDir()) + ".sock");
    EXPECT_EQ(host.control(0xA1, 5, 0, 1).data, std::vector<uint8_t>{2});
    auto dn = host.control(0x21, 1, 0, 3, {7, 8, 9});
    EXPECT_EQ(dn.error, 0u);
    EXPECT_TRUE(dn.data.empty());
    EXPECT_EQ(host.control(0xA1, 3, 0, 6).data, std::vector<uint8_t>({0, 0x2C, 0x01, 0, 4, 0}));
    EXPECT_EQ(host.control(0xA1, 3, 0, 6).data, std::vector<uint8_t>({0, 0, 0, 0, 5, 0}));
    EXPECT_EQ(host.control(0x21, 1, 0, 0).error, 0u);
    EXPECT_EQ(host.control(0xA1, 3, 0, 6).data[4], 2);
    EXPECT_EQ(host.control(0xA1, 2, 0, 16).data, std::vector<uint8_t>({7, 8, 9}));
    EXPECT_EQ(host.control(0xC1, 7, 0, 48).data.size(), 48u);

    auto stall = host.control(0x21, 4, 0, 0); // CLRSTATUS outside dfuERROR
    EXPECT_EQ(stall.error, 31u);
    EXPECT_EQ(host.control(0xA1, 5, 0, 1).data, std::vector<uint8_t>{10});

    // Standard requests are the USB device's own and leave the DFU state alone.
    auto descriptor = host.control(0x80, 6, 0x0100, 18);
    EXPECT_EQ(descriptor.data.size(), 18u);
    EXPECT_EQ(host.control(0xA1, 5, 0, 1).data, std::vector<uint8_t>{10});
}

TEST(UsbDevice, ConfigurationDescriptorCarriesTheDfuFunctionalDescriptor)
{
    SimProcess sim({"--usb", "transfer-size=700,attributes=0x0B,detach-timeout=300"});
    UsbClient host(soleStem(sim.usbDir()) + ".sock");
    const std::vector<uint8_t> expected = {
        9, 2, 27, 0, 1, 1, 0, 0x80, 50,        // configuration, wTotalLength 27
        9, 4, 0, 0, 0, 0xFE, 1, 2, 2,          // DFU interface in DFU mode
        9, 0x21, 0x0B, 0x2C, 0x01, 0xBC, 0x02, 0x10, 0x01, // attributes, 300 ms, 700 bytes, DFU 1.1
    };
    EXPECT_EQ(host.call(VUSB_OP_GET_DESCRIPTOR, 2, 0, {}, 255).data, expected);
    // A host reads the 9-byte header first for wTotalLength, then the whole: the
    // same bytes as a standard GET_DESCRIPTOR control transfer.
    EXPECT_EQ(host.control(0x80, 6, 0x0200, 9).data, std::vector<uint8_t>(expected.begin(), expected.begin() + 9));
    EXPECT_EQ(host.control(0x80, 6, 0x0200, 27).data, expected);

    SimProcess plain({"--usb"});
    UsbClient other(soleStem(plain.usbDir()) + ".sock");
    auto defaults = other.control(0x80, 6, 0x0200, 255).data;
    ASSERT_EQ(defaults.size(), 27u);
    EXPECT_EQ(std::vector<uint8_t>(defaults.begin() + 18, defaults.end()),
              std::vector<uint8_t>({9, 0x21, 0x07, 0xE8, 0x03, 0x00, 0x10, 0x10, 0x01}));
}

// latency=US answers every control transfer that late; interface queries are
// the host driver's own and pay nothing.
TEST(UsbDevice, LatencyDelaysEachControlTransfer)
{
    SimProcess sim({"--usb", "latency=150000"});
    UsbClient host(soleStem(sim.usbDir()) + ".sock");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(host.control(0xA1, 5, 0, 1).data, std::vector<uint8_t>{2});
    EXPECT_EQ(host.control(0x21, 1, 0, 3, {7, 8, 9}).error, 0u);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(ms.count(), 300);
}

// Random faults on USB: every transfer hit at rate 1, each fault an honest
// failure of the transfer (never wrong bytes), named in the log.
TEST(UsbDevice, RandomFaultsFailTransfersAndAreLogged)
{
    SimProcess sim({"--usb", "faults=1:5"});
    UsbClient host(soleStem(sim.usbDir()) + ".sock");
    unsigned failed = 0, shortReplies = 0, answered = 0;
    for (int i = 0; i < 60; ++i) {
        const auto reply = host.controlWithin(0xA1, 3, 0, 6, 100);
        if (!reply)
            continue; // never answered
        ++answered;
        if (reply->error != 0)
            ++failed;
        else if (reply->data.size() < 6)
            ++shortReplies;
        else
            ADD_FAILURE() << "a transfer hit by a fault came back whole";
    }
    EXPECT_GT(failed, 0u);
    EXPECT_GT(shortReplies, 0u);
    EXPECT_LT(answered, 60u);
    const std::string log = sim.readLog();
    for (const char* kind : {"fault transfer-error", "fault status-lost", "fault stall", "fault no-reply", "fault short"})
        EXPECT_NE(log.find(kind), std::string::npos) << kind;
    EXPECT_NE(log.find("random faults: rate 1.000000 seed 5"), std::string::npos);
}
