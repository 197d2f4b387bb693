// Intel HEX writing: the fixed layout, exact lines, and round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "hex/CHexImage.h"
#include "hex/HexWriter.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back("<unterminated>" + text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

std::string Ff16(const char* address, const char* checksum) {
    return std::string(":10") + address + "00" + std::string(32, 'F') + checksum;
}

TEST(HexWriterLayout, EmptyImageIsOnlyTheEndRecord) {
    EXPECT_EQ(ToHexText(CHexImage()), ":00000001FF\r\n");
}

TEST(HexWriterLayout, FullPageZero) {
    CHexImage image;
    image.PutPage(0, Bytes(1024, 0xFF));
    const std::vector<std::string> lines = Lines(ToHexText(image));
    ASSERT_EQ(lines.size(), 66u);
    EXPECT_EQ(lines[0], ":020000040000FA");
    EXPECT_EQ(lines[1], Ff16("0000", "00"));
    EXPECT_EQ(lines[2], Ff16("0010", "F0"));
    EXPECT_EQ(lines[64], Ff16("03F0", "0D"));
    EXPECT_EQ(lines[65], ":00000001FF");
    for (size_t i = 1; i <= 64; ++i) {
        char address[5];
        std::snprintf(address, sizeof address, "%04zX", (i - 1) * 16);
        EXPECT_EQ(lines[i].substr(0, 9), std::string(":10") + address + "00") << i;
    }
}

TEST(HexWriterLayout, AbsentPagesAreSkippedAndEachPageRepeatsItsBase) {
    CHexImage image;
    image.PutPage(0, Bytes(1024, 0xFF));
    image.PutPage(2, Bytes(1024, 0xFF));
    const std::vector<std::string> lines = Lines(ToHexText(image));
    ASSERT_EQ(lines.size(), 131u);
    EXPECT_EQ(lines[65], ":020000040000FA");
    EXPECT_EQ(lines[66], Ff16("0800", "F8"));
    EXPECT_EQ(lines[129], Ff16("0BF0", "05"));
}

TEST(HexWriterLayout, HighPageCarriesItsUpperAddress) {
    CHexImage image;
    image.SetByte(0x3FFFC, 0xAB);
    const std::vector<std::string> lines = Lines(ToHexText(image));
    ASSERT_EQ(lines.size(), 66u);
    EXPECT_EQ(lines[0], ":020000040003F7");
    EXPECT_EQ(lines[1].substr(0, 9), ":10FC0000");
    EXPECT_EQ(lines[64], ":10FFF000FFFFFFFFFFFFFFFFFFFFFFFFABFFFFFF65");
}

TEST(HexWriterLayout, ShortPageEndsInAShortRecord) {
    CHexImage image;
    image.PutPage(0, {1, 2, 3, 4, 5});
    EXPECT_EQ(ToHexText(image), ":020000040000FA\r\n:050000000102030405EC\r\n:00000001FF\r\n");

    CHexImage dump;
    dump.PutPage(0, Bytes(1024, 0));
    dump.PutPage(1, Bytes(6, 0));
    const std::vector<std::string> lines = Lines(ToHexText(dump));
    ASSERT_EQ(lines.size(), 1u + 64 + 2 + 1);
    EXPECT_EQ(lines[66], ":06040000000000000000F6");
}

TEST(HexWriterLayout, PaddedImageWritesEveryPageUpToTheHighest) {
    CHexImage image(1024, true, 0xFF);
    image.SetByte(0x800, 0x01);
    const std::vector<std::string> lines = Lines(ToHexText(image));
    ASSERT_EQ(lines.size(), 3u * 65 + 1);
    EXPECT_EQ(lines[65], ":020000040000FA");
    EXPECT_EQ(lines[66], Ff16("0400", "FC"));
}

TEST(HexWriterLayout, PagesWithoutAnAddressAreNotWritten) {
    CHexImage image;
    image.PutPage(-1, Bytes(16, 0x11));
    image.PutPage(3, {});
    EXPECT_EQ(ToHexText(image), ":00000001FF\r\n");
}

// An image whose pages are full or short, random content, random numbers.
CHexImage RandomImage(std::mt19937& rng, uint32_t pageSize) {
    CHexImage image(pageSize, false, 0xFF);
    const int pages = 1 + static_cast<int>(rng() % 8);
    for (int p = 0; p < pages; ++p) {
        const uint32_t address = rng() % (0xFFFFFFFFu - 4 * pageSize);
        const uint32_t length = 1 + rng() % std::min(2 * pageSize, 5000u);
        for (uint32_t i = 0; i < length; ++i) image.SetByte(address + i, static_cast<uint8_t>(rng()));
    }
    return image;
}

TEST(HexWriterRoundTrip, ReaderRebuildsWhatTheWriterWrote) {
    std::mt19937 rng(20240611);
    for (uint32_t pageSize : {1024u, 1000u, 4096u, 100000u}) {
        for (int round = 0; round < 20; ++round) {
            const CHexImage image = RandomImage(rng, pageSize);
            const std::string text = ToHexText(image);
            CHexImage back(pageSize, false, 0xFF);
            ASSERT_EQ(back.LoadFromText(text), CHexImage::kLoadOk);
            ASSERT_EQ(back.Pages(), image.Pages()) << "page size " << pageSize << " round " << round;
        }
    }
}

TEST(HexWriterStream, PiecesAddUpToTheTextAndARefusalStopsTheWrite) {
    CHexImage image;
    for (int32_t p = 0; p < 256; ++p) image.PutPage(p, Bytes(1024, static_cast<uint8_t>(p))); // ~740 KB of text
    std::string joined;
    int pieces = 0;
    EXPECT_TRUE(WriteHexText(image, [&](const char* data, size_t size) {
        joined.append(data, size);
        return ++pieces > 0;
    }));
    EXPECT_GT(pieces, 1);
    EXPECT_EQ(joined, ToHexText(image));

    pieces = 0;
    EXPECT_FALSE(WriteHexText(image, [&](const char*, size_t) { return ++pieces < 2; }));
    EXPECT_EQ(pieces, 2);
}

TEST(HexWriterRoundTrip, PagesThatCrossABlockKeepTheirAddresses) {
    // The 1000-byte page 65 covers 0xFDE8 to 0x101CF, across a 64 KiB boundary:
    // its data past the boundary needs a base record of its own.
    CHexImage image(1000, false, 0xFF);
    image.SetByte(65000, 0x01);
    image.SetByte(0x10000, 0x02);
    const std::vector<std::string> lines = Lines(ToHexText(image));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], ":020000040000FA");
    EXPECT_NE(std::find(lines.begin(), lines.end(), ":020000040001F9"), lines.end());
    CHexImage back;
    ASSERT_EQ(back.LoadFromText(ToHexText(image)), CHexImage::kLoadOk);
    EXPECT_EQ(back.GetPage(65000 / 1024)[65000 % 1024], 0x01);
    EXPECT_EQ(back.GetPage(64)[0], 0x02);
    EXPECT_EQ(back.GetPage(64)[0x1CF], 0xFF);
    EXPECT_TRUE(back.GetPage(0).empty());
}

} // namespace
