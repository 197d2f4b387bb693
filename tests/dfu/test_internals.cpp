// Pieces of the library that are pure functions: the error mapping, path
// conversions, VID/PID parsing, the serial frame codec and its CRC, the
// tick-count deadline and the COM-name filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "api/Status.h"
#include "api/WideString.h"
#include "discovery/Discovery.h"
#include "transport/Crc16.h"
#include "transport/SerialFrame.h"
#include "transport/TickDeadline.h"

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

std::vector<uint8_t> Wrapped(const std::vector<uint8_t>& payload)
{
    const SerialFrameEnvelope envelope = FrameEnvelope(payload.data(), payload.size());
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + FRAME_OVERHEAD);
    for (const uint8_t byte : envelope.header)
        frame.push_back(byte);
    frame.insert(frame.end(), payload.begin(), payload.end());
    for (const uint8_t byte : envelope.trailer)
        frame.push_back(byte);
    return frame;
}

// Frames whose bytes are known from the wire, and payloads of every size
// class up to the largest a length field can carry, there and back.
TEST(SerialFrameCodec, BuildsKnownFramesAndParsesWhatItBuilds)
{
    EXPECT_EQ(Wrapped({0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00}),
              (std::vector<uint8_t> {0x3A, 0x00, 0x07, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0xFA, 0xEA}));
    EXPECT_EQ(Wrapped({0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0xAA, 0xBB}),
              (std::vector<uint8_t> {0x3A, 0x00, 0x09, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0xAA, 0xBB,
                                     0xC5, 0x0A}));
    EXPECT_EQ(Wrapped({}), (std::vector<uint8_t> {0x3A, 0x00, 0x00, 0x00, 0x82, 0xC0}));

    for (const size_t size : {size_t(0), size_t(1), size_t(7), size_t(256), size_t(1024), MAX_FRAME_PAYLOAD}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> payload(size);
        for (size_t i = 0; i < size; ++i)
            payload[i] = static_cast<uint8_t>(i * 7 + size);
        std::vector<uint8_t> bytes = Wrapped(payload);
        EXPECT_EQ(FramePayloadLength(bytes.data()), size);
        bytes.push_back(FRAME_START); // the next frame's first byte is not this one's
        const SerialFrameView view = ParseFrame(bytes.data(), bytes.size(), size);
        ASSERT_EQ(view.result, FrameParse::Ok);
        EXPECT_EQ(view.size, size + FRAME_OVERHEAD);
        ASSERT_EQ(view.length, size);
        EXPECT_EQ(view.payload, bytes.data() + FRAME_HEADER_SIZE);
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), view.payload));
    }
}

TEST(SerialFrameCodec, ParseFailuresAndWhatTheyReport)
{
    const std::vector<uint8_t> good = Wrapped({0x02, 0x03});
    auto with = [&good](size_t at, uint8_t value) {
        std::vector<uint8_t> bytes = good;
        bytes[at] = value;
        return bytes;
    };
    std::vector<uint8_t> swapped = good;
    std::swap(swapped[6], swapped[7]);
    const std::vector<uint8_t> deviceFlags = {0x3A, 0x7E, 0x00, 0x00, 0x8B, 0x03};
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        size_t capacity;
        FrameParse result;
        size_t size;
    } cases[] = {
        {"nothing at all", {}, 16, FrameParse::Short, 0},
        {"another first byte", with(0, 0x3B), 16, FrameParse::NoStart, 0},
        {"an acknowledgement", {0x00, 0x3A, 0x00}, 16, FrameParse::NoStart, 0},
        {"part of the header", {0x3A, 0x00, 0x02}, 16, FrameParse::Short, 0},
        {"part of the payload", {good.begin(), good.begin() + 5}, 16, FrameParse::Short, 0},
        {"one CRC byte missing", {good.begin(), good.end() - 1}, 16, FrameParse::Short, 0},
        {"a payload byte changed", with(4, 0x12), 16, FrameParse::BadCrc, 8},
        {"the second byte changed", with(1, 0x01), 16, FrameParse::BadCrc, 8},
        {"the CRC's low byte changed", with(6, good[6] ^ 0x01), 16, FrameParse::BadCrc, 8},
        {"the CRC's bytes swapped", swapped, 16, FrameParse::BadCrc, 8},
        {"a length longer than the bytes", with(2, 0x03), 16, FrameParse::Short, 0},
        {"a length past the capacity", good, 1, FrameParse::TooLong, 0},
        {"a length field of 65535", {0x3A, 0x00, 0xFF, 0xFF, 0x01}, 16, FrameParse::TooLong, 0},
        {"65535 announced, 1 byte there", {0x3A, 0x00, 0xFF, 0xFF, 0x01}, MAX_FRAME_PAYLOAD, FrameParse::Short, 0},
        {"exactly the capacity", good, 2, FrameParse::Ok, 8},
        {"the device's second byte, in the CRC", deviceFlags, 0, FrameParse::Ok, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const SerialFrameView view = ParseFrame(c.bytes.data(), c.bytes.size(), c.capacity);
        EXPECT_EQ(view.result, c.result);
        EXPECT_EQ(view.size, c.size);
        if (c.result != FrameParse::Ok) {
            EXPECT_EQ(view.payload, nullptr) << "a payload handed out from a frame that failed";
        }
    }
}

// The comparison is the same everywhere: the window has passed once the
// ticks since the start reach it, across the 32-bit wrap as well.
TEST(TickDeadline, ExpiresWhenTheWindowIsReachedAcrossTheWrap)
{
    const struct {
        const char* what;
        DWORD start;
        uint64_t window;
        DWORD now;
        bool expired;
        uint64_t remaining;
    } cases[] = {
        {"a tick before", 1000, 50, 1049, false, 1},
        {"exactly at it", 1000, 50, 1050, true, 0},
        {"past it", 1000, 50, 1051, true, 0},
        {"at the start", 1000, 50, 1000, false, 50},
        {"a window of 0", 1000, 0, 1000, true, 0},
        {"a tick before, across the wrap", 0xFFFFFFF0u, 0x20, 0x0000000Fu, false, 1},
        {"exactly at it, across the wrap", 0xFFFFFFF0u, 0x20, 0x00000010u, true, 0},
        {"started on the last tick", 0xFFFFFFFFu, 1, 0, true, 0},
        {"a window past the tick count's range", 0, uint64_t(1) << 32, 0xFFFFFFFFu, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const CTickDeadline deadline(c.start, c.window);
        EXPECT_EQ(deadline.Expired(c.now), c.expired);
        EXPECT_EQ(deadline.Remaining(c.now), c.remaining);
    }

    // A rejected frame widens the window; the start stays where it was.
    CTickDeadline deadline(0xFFFFFFF0u, 0x10);
    ASSERT_TRUE(deadline.Expired(0));
    deadline.SetWindow(0x30);
    EXPECT_FALSE(deadline.Expired(0));
    EXPECT_EQ(deadline.Remaining(0), 0x20u);
    EXPECT_TRUE(deadline.Expired(0x20));
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
