// Intel HEX reading into the page image, and the image model itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "hex/CHexImage.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Byte at an address, or -1 when its page is absent.
int At(const CHexImage& image, uint32_t address) {
    const Bytes page = image.GetPage(static_cast<int32_t>(address / image.PageSize()));
    const uint32_t offset = address % image.PageSize();
    return offset < page.size() ? page[offset] : -1;
}

TEST(HexReaderInput, EmptyTextIsReportedAndBlankLinesAreNot) {
    CHexImage image;
    EXPECT_EQ(image.LoadFromText(""), CHexImage::kLoadEmpty);
    EXPECT_EQ(image.LoadFromText("\r\n\r\n \t\r\n"), CHexImage::kLoadOk);
    EXPECT_TRUE(image.Pages().empty());
    EXPECT_EQ(image.HighestPageNumber(), -1);
}

TEST(HexReaderInput, DataLandsInFilledPages) {
    CHexImage image;
    ASSERT_EQ(image.LoadFromText(":03001000010203E7\r\n"), CHexImage::kLoadOk);
    ASSERT_EQ(image.Pages().size(), 1u);
    const Bytes page = image.GetPage(0);
    ASSERT_EQ(page.size(), 1024u);
    for (uint32_t a = 0; a < 1024; ++a) {
        const int expected = a == 0x10 ? 1 : a == 0x11 ? 2 : a == 0x12 ? 3 : 0xFF;
        ASSERT_EQ(page[a], expected) << a;
    }
}

TEST(HexReaderInput, LenientLayoutIsAccepted) {
    CHexImage image;
    // Lower-case digits, LF-only and CR LF endings, surrounding blanks and
    // tabs, an end-of-file record followed by more data, ignored start
    // address records, and a last line with no line feed.
    const std::string text = "  :01000000AB54\t\r\n"
                             ":01000100cd31\n"
                             "  :00000001FF\t\r\n"
                             ":0400000312345678E5\r\n"
                             ":0400000500001000E7\r\n"
                             "\r\n"
                             ":010400007784";
    ASSERT_EQ(image.LoadFromText(text), CHexImage::kLoadOk);
    EXPECT_EQ(At(image, 0), 0xAB);
    EXPECT_EQ(At(image, 1), 0xCD);
    EXPECT_EQ(At(image, 0x400), 0x77);
    EXPECT_EQ(image.Pages().size(), 2u);
}

TEST(HexReaderInput, LoadingReplacesEverythingFromTheLastLoad) {
    CHexImage image;
    ASSERT_EQ(image.LoadFromText(":020000040002F8\r\n:0100100011DE\r\n"), CHexImage::kLoadOk);
    EXPECT_EQ(At(image, 0x20010), 0x11);
    // The linear base of the first text must not carry over.
    ASSERT_EQ(image.LoadFromText(":0100100022CD\r\n"), CHexImage::kLoadOk);
    EXPECT_EQ(image.Pages().size(), 1u);
    EXPECT_EQ(At(image, 0x10), 0x22);
    EXPECT_EQ(At(image, 0x20010), -1);
}

TEST(HexReaderMalformed, BadRecordsStopParsingWithResultTwo) {
    const std::vector<std::string> bad = {
        ":0300100001020300",        // wrong checksum
        ":03001000010203",          // checksum missing
        "S1130000000102030405060708090A0B0C0D0E0F64",
        "0300100001020300",         // no colon
        ":",                        // nothing after the colon
        ":00000001F",               // odd number of digits
        ":0300100001020GEA",        // not a hex digit (sum is right if G read as 0)
        ":03 00100001020300",       // blank inside the record
        ":05001000010203E5",        // count says five, three follow
        ":0100000400FB",            // type 04 must carry two bytes
        ":03000002100000EB",        // type 02 must carry two bytes
        std::string(":0300100001020\0EA", 17), // embedded zero byte
    };
    for (const std::string& line : bad) {
        CHexImage image;
        const std::string text = ":010000005AA5\r\n" + line + "\r\n:010800005B9C\r\n";
        EXPECT_EQ(image.LoadFromText(text), CHexImage::kLoadMalformed) << line;
        // Lines before the bad one stay; nothing after it is parsed.
        EXPECT_EQ(At(image, 0), 0x5A) << line;
        EXPECT_EQ(At(image, 0x800), -1) << line;
    }
}

TEST(HexReaderMalformed, UnterminatedBadLastLineIsStillChecked) {
    CHexImage image;
    EXPECT_EQ(image.LoadFromText(":0100000001FE\r\n:0300100001020300"), CHexImage::kLoadMalformed);
}

TEST(HexReaderMalformed, OverlongRecordIsRejectedWithoutOverrun) {
    CHexImage image;
    std::string line = ":FF000000" + std::string(2 * 300, 'A') + "00\r\n";
    EXPECT_EQ(image.LoadFromText(line), CHexImage::kLoadMalformed);
    // The longest legal record is fine: 255 data bytes 0x42 at 0x0100, whose
    // checksum (the two's complement of FF+01+00+00+255*42, 0xBE) is 0x42 too.
    std::string longest = ":FF010000";
    for (int i = 0; i < 256; ++i) longest += "42";
    EXPECT_EQ(image.LoadFromText(longest), CHexImage::kLoadOk);
    EXPECT_EQ(At(image, 0x100 + 254), 0x42);
}

TEST(HexReaderAddressing, SegmentAndLinearBasesReachTheSameAddress) {
    CHexImage segment;
    ASSERT_EQ(segment.LoadFromText(":020000021000EC\r\n:0100000055AA\r\n"), CHexImage::kLoadOk);
    EXPECT_EQ(At(segment, 0x10000), 0x55);
    CHexImage linear;
    ASSERT_EQ(linear.LoadFromText(":020000040001F9\r\n:0100000055AA\r\n"), CHexImage::kLoadOk);
    EXPECT_EQ(At(linear, 0x10000), 0x55);
    EXPECT_EQ(linear.Pages().size(), 1u);
}

TEST(HexReaderAddressing, DataRunsOnAcrossBlockBoundariesWithoutWrapping) {
    CHexImage plain;
    ASSERT_EQ(plain.LoadFromText(":02FFFF00AABB9B\r\n"), CHexImage::kLoadOk);
    EXPECT_EQ(At(plain, 0xFFFF), 0xAA);
    EXPECT_EQ(At(plain, 0x10000), 0xBB);
    EXPECT_EQ(At(plain, 0x0000), -1);

    CHexImage linear;
    ASSERT_EQ(linear.LoadFromText(":020000040005F5\r\n:04FFFE0001020304F5\r\n"), CHexImage::kLoadOk);
    EXPECT_EQ(At(linear, 0x5FFFE), 1);
    EXPECT_EQ(At(linear, 0x60001), 4);

    // Segment base + address is taken modulo 1 MiB, but the bytes of the
    // record then run on past it.
    CHexImage segment;
    ASSERT_EQ(segment.LoadFromText(":02000002FFFFFE\r\n:0100100001EE\r\n"
                                   ":02000002F0000C\r\n:02FFFF000203FB\r\n"),
              CHexImage::kLoadOk);
    EXPECT_EQ(At(segment, 0x00000), 0x01);
    EXPECT_EQ(At(segment, 0xFFFFF), 0x02);
    EXPECT_EQ(At(segment, 0x100000), 0x03);
}

TEST(HexReaderAddressing, TopOfTheAddressSpaceWrapsToZero) {
    CHexImage image;
    ASSERT_EQ(image.LoadFromText(":02000004FFFFFC\r\n:02FFFF001122CD\r\n"), CHexImage::kLoadOk);
    EXPECT_EQ(At(image, 0xFFFFFFFF), 0x11);
    EXPECT_EQ(At(image, 0), 0x22);
    EXPECT_EQ(image.HighestPageNumber(), static_cast<int32_t>(0xFFFFFFFFu / 1024));
}

TEST(HexImageModel, PagesFollowTheConfiguredSizeAndFill) {
    CHexImage image(256, false, 0x00);
    image.SetByte(0x1234, 0x99);
    ASSERT_EQ(image.HighestPageNumber(), 0x12);
    const Bytes page = image.GetPage(0x12);
    ASSERT_EQ(page.size(), 256u);
    EXPECT_EQ(page[0x34], 0x99);
    EXPECT_EQ(page[0x33], 0x00);
    image.SetByte(0x1234, 0x98); // a later write replaces an earlier one
    EXPECT_EQ(image.GetPage(0x12)[0x34], 0x98);
    EXPECT_TRUE(image.GetPage(0x11).empty());
    EXPECT_TRUE(image.GetPage(-5).empty());

    CHexImage padded(256, true, 0xA5);
    EXPECT_EQ(padded.GetPage(7), Bytes(256, 0xA5));
    EXPECT_TRUE(padded.Pages().empty());
    EXPECT_THROW(CHexImage(1), std::invalid_argument);
}

TEST(HexImageModel, PutPageKeepsShortPagesAndSetByteCompletesThem) {
    CHexImage image;
    image.SetByte(0x0005, 0x01); // page 0 is now the cached page
    image.PutPage(0, {1, 2, 3});
    EXPECT_EQ(image.GetPage(0), (Bytes{1, 2, 3}));
    image.PutPage(1, Bytes(2000, 0x44));
    EXPECT_EQ(image.GetPage(1).size(), 1024u);

    // A byte past the end of a short page must not land outside it.
    image.SetByte(0x0010, 0x77);
    const Bytes page = image.GetPage(0);
    ASSERT_EQ(page.size(), 1024u);
    EXPECT_EQ(page[2], 3);
    EXPECT_EQ(page[3], 0xFF);
    EXPECT_EQ(page[0x10], 0x77);
}

TEST(HexImageModel, CopiesAreIndependent) {
    CHexImage original;
    original.SetByte(0, 1);
    CHexImage copy = original;
    copy.SetByte(0, 2);
    original.SetByte(0, 3);
    EXPECT_EQ(copy.GetPage(0)[0], 2);
    EXPECT_EQ(original.GetPage(0)[0], 3);
    copy = original;
    copy.SetByte(1, 4);
    EXPECT_EQ(original.GetPage(0)[1], 0xFF);

    CHexImage moved = std::move(copy);
    moved.SetByte(2, 5);
    copy.SetByte(2, 6); // the moved-from image is empty and usable
    EXPECT_EQ(moved.GetPage(0)[2], 5);
    EXPECT_EQ(copy.GetPage(0)[0], 0xFF);
}

// Fake of the adapter library's block read for the read-through tests.
struct FakeFlash {
    static inline int calls = 0;
    static inline ADIU_STATUS status = 0;
    static inline ADIU_HANDLE lastHandle = 0;
    static inline uint32_t lastAddress = 0;
    static inline uint32_t lastCount = 0;
    static inline bool callbackGiven = false;

    static ADIU_STATUS ADIU_CALL ReadBlock(ADIU_HANDLE handle, uint32_t address, uint8_t* buffer, uint32_t count,
                                           ADIU_READ_CALLBACK callback, void* context) {
        ++calls;
        lastHandle = handle;
        lastAddress = address;
        lastCount = count;
        callbackGiven = callback != nullptr || context != nullptr;
        for (uint32_t i = 0; i < count; ++i) buffer[i] = static_cast<uint8_t>(address + i);
        return status;
    }
    static void Reset(ADIU_STATUS result) {
        calls = 0;
        status = result;
        lastHandle = lastAddress = lastCount = 0;
        callbackGiven = false;
    }
};

TEST(HexImageReadThrough, NewPagesStartFromTheTargetFlash) {
    FakeFlash::Reset(0);
    ADIU_HANDLE handle = 0;
    CHexImage image(1024, false, 0xFF, &handle, &FakeFlash::ReadBlock);
    handle = 0x1234; // the image reads the handle when it needs it
    image.SetByte(0x0C05, 0xEE);
    image.SetByte(0x0C06, 0xED); // same page: no second read
    EXPECT_EQ(FakeFlash::calls, 1);
    EXPECT_EQ(FakeFlash::lastHandle, 0x1234u);
    EXPECT_EQ(FakeFlash::lastAddress, 0x0C00u);
    EXPECT_EQ(FakeFlash::lastCount, 1024u);
    EXPECT_FALSE(FakeFlash::callbackGiven);
    const Bytes page = image.GetPage(3);
    EXPECT_EQ(page[4], 0x04);
    EXPECT_EQ(page[5], 0xEE);
    EXPECT_EQ(page[6], 0xED);
    EXPECT_EQ(page[7], 0x07);

    image.PutPage(4, {1});
    image.SetByte(0x1002, 5); // extending a stored page reads nothing
    EXPECT_EQ(FakeFlash::calls, 1);
}

TEST(HexImageReadThrough, FailedReadLeavesFillBytes) {
    FakeFlash::Reset(0x83);
    ADIU_HANDLE handle = 7;
    CHexImage image(1024, false, 0xFF, &handle, &FakeFlash::ReadBlock);
    ASSERT_EQ(image.LoadFromText(":0100000055AA\r\n"), CHexImage::kLoadOk);
    EXPECT_EQ(FakeFlash::calls, 1);
    Bytes expected(1024, 0xFF);
    expected[0] = 0x55;
    EXPECT_EQ(image.GetPage(0), expected);
}

TEST(HexImageReadThrough, NoAdapterMeansNoRead) {
    FakeFlash::Reset(0);
    CHexImage image(1024, false, 0xFF, nullptr, &FakeFlash::ReadBlock);
    image.SetByte(0, 1);
    EXPECT_EQ(FakeFlash::calls, 0);
}

std::string ReadBack(const std::string& content) {
    FILE* file = std::tmpfile();
    if (file == nullptr) return "tmpfile failed";
    std::fwrite(content.data(), 1, content.size(), file);
    std::fseek(file, 3, SEEK_SET); // the read starts from the beginning regardless
    const std::string text = CHexImage::ReadWholeFile(file);
    std::fclose(file);
    return text;
}

TEST(HexReadWholeFile, ReturnsEveryByteOrNothing) {
    const std::string content(":00\r\n\0\x01\xFF tail", 12);
    EXPECT_EQ(ReadBack(content), content);
    EXPECT_EQ(ReadBack(""), "");
    EXPECT_EQ(CHexImage::ReadWholeFile(nullptr), "");

    // A stream opened for writing only has a length but yields no bytes: a
    // short read gives the empty string, not a partial text.
    char path[] = "/tmp/hex_read_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    FILE* writer = std::fopen(path, "wb");
    ASSERT_NE(writer, nullptr);
    std::fputs(":00000001FF\r\n", writer);
    std::fflush(writer);
    EXPECT_EQ(CHexImage::ReadWholeFile(writer), "");
    std::fclose(writer);
    std::remove(path);
}

} // namespace
