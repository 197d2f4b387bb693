// Pieces of the library that are pure functions: the error mapping, path
// conversions, VID/PID parsing, the frame CRC and the COM-name filter.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/Status.h"
#include "api/WideString.h"
#include "discovery/Discovery.h"
#include "transport/Crc16.h"

namespace {

WideString Wide(const char* text)
{
    WideString result;
    for (; *text; ++text)
        result.push_back(static_cast<WCHAR>(static_cast<unsigned char>(*text)));
    return result;
}

// A QueryDosDeviceW-style list: names each followed by a zero, then a zero.
WideString DosList(std::initializer_list<const char*> names)
{
    WideString list;
    for (const char* name : names) {
        list += Wide(name);
        list.push_back(0);
    }
    list.push_back(0);
    return list;
}

} // namespace

TEST(StatusMapping, EveryListedErrorAndTheDefault)
{
    EXPECT_EQ(StatusFromError(6), DFU_STATUS_DEVICE_NOT_OPENED);
    EXPECT_EQ(StatusFromError(29), DFU_STATUS_TRANSFER_ERROR);
    EXPECT_EQ(StatusFromError(30), DFU_STATUS_TRANSFER_ERROR);
    EXPECT_EQ(StatusFromError(31), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(StatusFromError(50), DFU_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(StatusFromError(87), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(StatusFromError(121), DFU_STATUS_TIMEOUT);
    EXPECT_EQ(StatusFromError(0), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(StatusFromError(122), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(StatusFromError(259), DFU_STATUS_GENERAL_ERROR);

    SetLastError(ERROR_SEM_TIMEOUT);
    EXPECT_EQ(StatusFromLastError(), DFU_STATUS_TIMEOUT);
}

TEST(StatusMapping, AllocationFailureBecomesGeneralErrorNotAnException)
{
    EXPECT_EQ(GuardedExport([]() -> DFU_STATUS { throw std::bad_alloc(); }), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(GuardedExport([] { return DFU_STATUS_TIMEOUT; }), DFU_STATUS_TIMEOUT);
}

TEST(PathConversion, HighBytesAreSignExtendedAndNarrowingKeepsTheLowByte)
{
    const char narrow[] = {'\\', 'x', static_cast<char>(0x80), static_cast<char>(0xFF), 0};
    WCHAR wide[PATH_CHARS];
    WidenPath(narrow, wide);
    EXPECT_EQ(wide[1], 'x');
    EXPECT_EQ(wide[2], 0xFF80);
    EXPECT_EQ(wide[3], 0xFFFF);
    EXPECT_EQ(wide[4], 0);
    EXPECT_EQ(wide[PATH_CHARS - 1], 0);

    char back[PATH_CHARS];
    std::memset(back, 0x5A, sizeof(back));
    NarrowPath(wide, back);
    EXPECT_EQ(std::memcmp(back, narrow, 4), 0);
    for (size_t i = 4; i < PATH_CHARS; ++i)
        ASSERT_EQ(back[i], 0) << "byte " << i << " of the narrow buffer was not cleared";
}

TEST(PathConversion, LengthStopsAtTheBufferSize)
{
    std::string longPath(300, 'a');
    EXPECT_EQ(NarrowPathLength(longPath.c_str()), PATH_CHARS);
    EXPECT_EQ(NarrowPathLength(std::string(259, 'a').c_str()), 259u);
}

// Windows names devices without regard to case, so the library does too.
TEST(ComNames, AnyCaseOfComAfterTheDevicePrefix)
{
    for (const char* path : {"\\\\.\\COM7", "\\\\.\\com7", "\\\\.\\cOm12", "\\\\.\\COMBO"})
        EXPECT_TRUE(IsComPortPath(Wide(path).c_str())) << path;
    for (const char* path : {"\\\\.\\CO", "\\\\.\\", "\\\\.\\CNCA0", "\\\\?\\COM7", "\\\\.COM7", "COM7", ""})
        EXPECT_FALSE(IsComPortPath(Wide(path).c_str())) << path;
}

TEST(ParseVidPid, FixedPositionsInEitherCase)
{
    uint16_t vid = 0, pid = 0;
    ASSERT_TRUE(ParseVidPid(Wide("\\\\?\\usb#vid_1a2B&pid_00fF#SN1#{guid}").c_str(), &vid, &pid));
    EXPECT_EQ(vid, 0x1A2B);
    EXPECT_EQ(pid, 0x00FF);
}

TEST(ParseVidPid, OtherFormsGiveWhatTheirCharactersGive)
{
    uint16_t vid = 1, pid = 1;
    // The PID field "zz" is not hexadecimal and gives 0; the VID field stops
    // at its first non-digit.
    ParseVidPid(Wide("\\\\?\\usb#vid_12x4&pid_zz00#").c_str(), &vid, &pid);
    EXPECT_EQ(vid, 0x12);
    EXPECT_EQ(pid, 0);
    // A path shorter than the fields is never read past its end.
    ParseVidPid(Wide("\\\\.\\COM3").c_str(), &vid, &pid);
    EXPECT_EQ(vid, 0);
    EXPECT_EQ(pid, 0);
}

TEST(FrameCrc, CcittFalseCheckValueAndFrameExamples)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(check, sizeof(check)), 0x29B1);
    const uint8_t emptyReply[] = {0x3A, 0x00, 0x00, 0x00};
    EXPECT_EQ(Crc16(emptyReply, sizeof(emptyReply)), 0xC082);
    const uint8_t getStatus[] = {0x3A, 0x00, 0x07, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00};
    EXPECT_EQ(Crc16(getStatus, sizeof(getStatus)), 0xEAFA);
    EXPECT_EQ(Crc16Update(Crc16(getStatus, 4), getStatus + 4, 7), 0xEAFA);
}

TEST(ComPortFilter, ComNamesInAnyCaseInListOrder)
{
    const WideString list = DosList({"COM4", "com1", "CNCA0", "COMBO", "", "CO", "Com12"});
    const std::vector<WideString> ports = ComPortsFromDosDeviceList(list.data(), list.size());
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(ports[0], Wide("\\\\.\\COM4"));
    EXPECT_EQ(ports[1], Wide("\\\\.\\com1"));
    EXPECT_EQ(ports[2], Wide("\\\\.\\COMBO"));
    EXPECT_EQ(ports[3], Wide("\\\\.\\Com12"));
    for (const WideString& port : ports)
        EXPECT_TRUE(IsComPortPath(port.c_str())) << "one rule for the list and for a path";
}

TEST(ComPortFilter, NamesTooLongForAPathBufferAreLeftOut)
{
    const std::string fits = "COM" + std::string(252, '9');   // "\\.\" + 255 = 259 characters
    const std::string tooLong = "COM" + std::string(253, '9'); // 260 characters
    const WideString list = DosList({fits.c_str(), tooLong.c_str()});
    const std::vector<WideString> ports = ComPortsFromDosDeviceList(list.data(), list.size());
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].size(), 259u);
}
