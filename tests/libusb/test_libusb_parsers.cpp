// What the libusb backend reads without a device: the GUID mapping file,
// Microsoft OS descriptors a device may send malformed, and the one table of
// libusb errors.
#include <libusb.h>

#include <gtest/gtest.h>

#include <sstream>

#include "libusb_errors.h"
#include "msos_descriptors.h"
#include "usb_guid_map.h"

using namespace velt::platform;

namespace {

const GUID kGuid = {0x8A1C2B3D, 0x4E5F, 0x4061, {0x97, 0x28, 0x3A, 0x4B, 0x5C, 0x6D, 0x7E, 0x8F}};

TEST(GuidMap, TakesWellFormedBindingsAndSkipsTheRest) {
    std::istringstream in("0483:DF11 {8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F}\n"
                          "  1:2/3   {8a1c2b3d-4e5f-4061-9728-3a4b5c6d7e8f}   # comment\n"
                          "# 0483:0001 {8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F}\n"
                          "0483:DF11 8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F\n"   // no braces
                          "10483:DF11 {8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F}\n" // VID too long
                          "0483:DF11/256 {8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F}\n"
                          "0483:DF11/x {8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F}\n"
                          "0483:DF11 {8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F} extra\n"
                          "0483-DF11 {8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F}\n"
                          // hexadecimal digits only: no sign, prefix or other letter
                          "+483:DF11 {8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F}\n"
                          "0x48:DF11 {8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F}\n"
                          "0483:DF1G {8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F}\n"
                          "0483:DF11 {+A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F}\n"
                          "0483:DF11 {8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8G}\n"
                          "0483:DF11 {8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E 8}\n");
    std::vector<GuidBinding> b = ParseGuidMap(in);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0].vid, 0x0483);
    EXPECT_EQ(b[0].pid, 0xDF11);
    EXPECT_EQ(b[0].interfaceNumber, -1);
    EXPECT_TRUE(IsEqualGUID(b[0].guid, kGuid));
    EXPECT_EQ(b[1].vid, 1);
    EXPECT_EQ(b[1].pid, 2);
    EXPECT_EQ(b[1].interfaceNumber, 3);
}

// A 2.0 descriptor set holding one registry property with this value.
std::vector<uint8_t> Set20(const std::u16string& value, uint16_t dataType = 7) {
    const std::u16string name = u"DeviceInterfaceGUIDs";
    std::vector<uint8_t> p;
    auto put16 = [&](unsigned v) {
        p.push_back(static_cast<uint8_t>(v));
        p.push_back(static_cast<uint8_t>(v >> 8));
    };
    put16(0);
    put16(4);
    put16(dataType);
    put16(static_cast<unsigned>((name.size() + 1) * 2));
    for (char16_t c : name)
        put16(c);
    put16(0);
    put16(static_cast<unsigned>(value.size() * 2));
    for (char16_t c : value)
        put16(c);
    p[0] = static_cast<uint8_t>(p.size());
    std::vector<uint8_t> set(10 + p.size());
    const uint8_t header[10] = {10, 0, 0, 0, 0, 0, 3, 6, 0, 0};
    std::copy(header, header + 10, set.begin());
    std::copy(p.begin(), p.end(), set.begin() + 10);
    set[8] = static_cast<uint8_t>(set.size());
    return set;
}

TEST(MsOsDescriptors, ASetGivesItsGuidsAndNothingBeyondWhatWasSent) {
    const std::u16string two = std::u16string(u"{8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F}") + u'\0' +
                               u"{04C77E93-B54D-4714-AC96-15A62BFA307B}" + u'\0' + u'\0';
    std::vector<uint8_t> set = Set20(two);
    std::vector<DeclaredGuid> got = ParseMsOs20Set(set.data(), set.size());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].interfaceNumber, -1);
    EXPECT_TRUE(IsEqualGUID(got[0].guid, kGuid));

    // Every truncation parses to at most what fits, never past the buffer
    // (ASan watches the reads).
    for (size_t n = 0; n < set.size(); ++n) {
        std::vector<uint8_t> cut(set.begin(), set.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_LE(ParseMsOs20Set(cut.data(), cut.size()).size(), 1u) << n;
    }
    std::vector<uint8_t> lying = set;
    lying[10] = 0xFF;  // a property longer than the set
    EXPECT_TRUE(ParseMsOs20Set(lying.data(), lying.size()).empty());
    std::vector<uint8_t> dword = Set20(two, 4);  // REG_DWORD: not a GUID list
    EXPECT_TRUE(ParseMsOs20Set(dword.data(), dword.size()).empty());
}

TEST(MsOsDescriptors, TheBosPlatformCapabilityGivesTheVendorCodeOfTheNewestSet) {
    std::vector<uint8_t> bos = {5, 0x0F, 0, 0, 1, 36, 0x10, 0x05, 0,
                                0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                                0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F,
                                0x00, 0x00, 0x03, 0x06, 0x40, 0x00, 0x11, 0x00,   // Windows 8.1, code 0x11
                                0x00, 0x00, 0x00, 0x0A, 0x80, 0x00, 0x22, 0x00};  // Windows 10, code 0x22
    bos[2] = static_cast<uint8_t>(bos.size());
    std::optional<MsOs20Location> at = FindMsOs20Set(bos.data(), bos.size());
    ASSERT_TRUE(at);
    EXPECT_EQ(at->vendorCode, 0x22);
    EXPECT_EQ(at->totalLength, 0x80);
    bos[12] ^= 1;  // another platform's UUID
    EXPECT_FALSE(FindMsOs20Set(bos.data(), bos.size()));
    EXPECT_FALSE(FindMsOs20Set(bos.data(), 4));
}

TEST(MsOsDescriptors, OnlyAnMsft100StringGivesAVendorCode) {
    uint8_t s[18] = {18, 3, 'M', 0, 'S', 0, 'F', 0, 'T', 0, '1', 0, '0', 0, '0', 0, 0x42, 0};
    EXPECT_EQ(MsOs10VendorCode(s, sizeof s), std::optional<uint8_t>(0x42));
    EXPECT_FALSE(MsOs10VendorCode(s, 17));
    s[4] = 'X';
    EXPECT_FALSE(MsOs10VendorCode(s, sizeof s));
}

TEST(LibusbErrors, MapToTheCodesWinUsbLeaves) {
    EXPECT_EQ(WindowsErrorFromLibusb(LIBUSB_ERROR_TIMEOUT), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(WindowsErrorFromLibusb(LIBUSB_ERROR_PIPE), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(WindowsErrorFromLibusb(LIBUSB_ERROR_NO_DEVICE), static_cast<DWORD>(ERROR_BAD_COMMAND));
    EXPECT_EQ(WindowsErrorFromLibusb(LIBUSB_ERROR_BUSY), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(WindowsErrorFromLibusb(LIBUSB_ERROR_ACCESS), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(WindowsErrorFromLibusb(LIBUSB_ERROR_IO), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(WindowsErrorFromLibusb(-99), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

}  // namespace
