// The pure parts behind download and upload: the DFU suffix, the JSON text,
// the functional descriptor walk and the progress renderers.
#include "DfuSuffix.h"
#include "Json.h"
#include "JsonCheck.h"
#include "Progress.h"
#include "TransferSize.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <vector>

using namespace veltdfu;

namespace {

std::vector<uint8_t> WithSuffix(std::vector<uint8_t> data, uint16_t vid, uint16_t pid, uint8_t length = 16)
{
    // bcdDevice 0x0102, idProduct, idVendor, bcdDFU 0x0100, "UFD", bLength.
    const uint8_t fields[] = {0x02, 0x01, uint8_t(pid), uint8_t(pid >> 8), uint8_t(vid), uint8_t(vid >> 8),
                              0x00, 0x01, 'U', 'F', 'D', length};
    data.insert(data.end(), std::begin(fields), std::end(fields));
    const uint32_t crc = DfuSuffixCrc(data.data(), data.size());
    for (int i = 0; i < 4; ++i)
        data.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    return data;
}

} // namespace

TEST(DfuSuffix, CrcIsTheComplementOfTheUsualCrc32)
{
    const std::string check = "123456789";
    EXPECT_EQ(DfuSuffixCrc(reinterpret_cast<const uint8_t*>(check.data()), check.size()), ~0xCBF43926u);
    EXPECT_EQ(DfuSuffixCrc(nullptr, 0), 0xFFFFFFFFu);
}

TEST(DfuSuffix, ValidSuffixGivesItsFieldsAndTheFirmwareBeforeIt)
{
    const std::vector<uint8_t> file = WithSuffix({1, 2, 3, 4, 5}, 0x1A2B, 0x00FF);
    const SuffixCheck check = CheckDfuSuffix(file.data(), file.size());
    ASSERT_EQ(check.kind, SuffixCheck::Kind::Valid);
    EXPECT_EQ(check.firmwareSize, 5u);
    EXPECT_EQ(check.suffix.idVendor, 0x1A2B);
    EXPECT_EQ(check.suffix.idProduct, 0x00FF);
    EXPECT_EQ(check.suffix.bcdDevice, 0x0102);
    EXPECT_EQ(check.suffix.bcdDfu, 0x0100);
    EXPECT_EQ(check.suffix.storedCrc, check.computedCrc);

    // Nothing but a suffix: valid, and no firmware at all.
    const std::vector<uint8_t> bare = WithSuffix({}, 0xFFFF, 0xFFFF);
    EXPECT_EQ(CheckDfuSuffix(bare.data(), bare.size()).kind, SuffixCheck::Kind::Valid);
    EXPECT_EQ(CheckDfuSuffix(bare.data(), bare.size()).firmwareSize, 0u);
}

TEST(DfuSuffix, EveryCoveredByteCountsAndBrokenSuffixesAreNamed)
{
    const std::vector<uint8_t> good = WithSuffix({9, 8, 7, 6}, 0x1234, 0x5678);
    for (size_t i = 0; i + 4 < good.size(); ++i) {
        std::vector<uint8_t> bad = good;
        bad[i] ^= 0x01;
        const SuffixCheck check = CheckDfuSuffix(bad.data(), bad.size());
        // A flipped signature byte leaves no suffix; anywhere else (bLength
        // 17 included) the CRC catches it.
        const bool signature = i >= good.size() - 8 && i < good.size() - 5;
        EXPECT_EQ(check.kind, signature ? SuffixCheck::Kind::None : SuffixCheck::Kind::BadCrc) << "byte " << i;
    }
    std::vector<uint8_t> crc = good;
    crc.back() ^= 0x80;
    EXPECT_EQ(CheckDfuSuffix(crc.data(), crc.size()).kind, SuffixCheck::Kind::BadCrc);

    const std::vector<uint8_t> tooLong = WithSuffix({1}, 1, 2, 40);
    EXPECT_EQ(CheckDfuSuffix(tooLong.data(), tooLong.size()).kind, SuffixCheck::Kind::BadLength);
    const std::vector<uint8_t> tooShort = WithSuffix({1, 2, 3}, 1, 2, 8);
    EXPECT_EQ(CheckDfuSuffix(tooShort.data(), tooShort.size()).kind, SuffixCheck::Kind::BadLength);
    // A longer suffix is allowed: the firmware ends where bLength says.
    const std::vector<uint8_t> longer = WithSuffix(std::vector<uint8_t>(30, 0xAA), 1, 2, 20);
    EXPECT_EQ(CheckDfuSuffix(longer.data(), longer.size()).kind, SuffixCheck::Kind::Valid);
    EXPECT_EQ(CheckDfuSuffix(longer.data(), longer.size()).firmwareSize, 30u + 16 - 20);

    const std::vector<uint8_t> plain(15, 'U');
    EXPECT_EQ(CheckDfuSuffix(plain.data(), plain.size()).kind, SuffixCheck::Kind::None);
    EXPECT_EQ(CheckDfuSuffix(plain.data(), plain.size()).firmwareSize, 15u);
}

TEST(Json, StringsAreEscapedAndAlwaysValid)
{
    EXPECT_EQ(JsonString("\\\\.\\COM7"), R"("\\\\.\\COM7")");
    EXPECT_EQ(JsonString("say \"hi\"\n\t\r\b\f"), R"("say \"hi\"\n\t\r\b\f")");
    EXPECT_EQ(JsonString(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\x7f\"");
    EXPECT_EQ(JsonString(std::string("a\0b", 3)), R"("a\u0000b")");
    EXPECT_EQ(JsonString("gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"), "\"gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80\"");
    // Bytes that are not UTF-8: a lone continuation, a cut sequence, an
    // overlong '/', a surrogate, a lead byte at the very end.
    EXPECT_EQ(JsonString("\x80"), R"("\ufffd")");
    EXPECT_EQ(JsonString("\xE2\x82"), R"("\ufffd\ufffd")");
    EXPECT_EQ(JsonString("\xC0\xAF"), R"("\ufffd\ufffd")");
    EXPECT_EQ(JsonString("\xED\xA0\x80"), R"("\ufffd\ufffd\ufffd")");
    EXPECT_EQ(JsonString("x\xF0"), R"("x\ufffd")");

    const std::string line = JsonObject()
                                 .add("type", "result")
                                 .add("path", std::string("C:\\new\\\x01\xFF\"", 10))
                                 .add("ok", false)
                                 .add("n", int64_t{-3})
                                 .add("t", 1.5, 3)
                                 .addNull("none")
                                 .str();
    EXPECT_EQ(line, R"({"type":"result","path":"C:\\new\\\u0001\ufffd\"","ok":false,"n":-3,"t":1.500,"none":null})");
    EXPECT_TRUE(jsoncheck::IsObject(line));
}

TEST(TransferSize, FoundAfterTheDfuInterfaceOnly)
{
    // Configuration, a vendor interface with a stray 0x21 descriptor, then the DFU interface and its own.
    std::vector<uint8_t> config = {9, 2, 45, 0, 2, 1, 0, 0x80, 50,
                                   9, 4, 0, 0, 0, 0xFF, 0, 0, 0,
                                   9, 0x21, 0x07, 0, 0, 0x40, 0x00, 0x10, 0x01,
                                   9, 4, 1, 0, 0, 0xFE, 1, 2, 0,
                                   9, 0x21, 0x0B, 0xE8, 0x03, 0x00, 0x08, 0x10, 0x01};
    EXPECT_EQ(FindDfuTransferSize(config.data(), config.size()), 2048);
    // A DFU 1.0 functional descriptor stops after wTransferSize.
    std::vector<uint8_t> old = {9, 4, 0, 0, 0, 0xFE, 1, 1, 0, 7, 0x21, 0x03, 0, 0, 0x00, 0x01};
    EXPECT_EQ(FindDfuTransferSize(old.data(), old.size()), 256);

    std::vector<uint8_t> zero = config;
    zero[41] = zero[42] = 0;
    EXPECT_FALSE(FindDfuTransferSize(zero.data(), zero.size()));
    std::vector<uint8_t> broken = config;
    broken[27] = 0; // a zero bLength would loop for ever
    EXPECT_FALSE(FindDfuTransferSize(broken.data(), broken.size()));
    EXPECT_FALSE(FindDfuTransferSize(config.data(), config.size() - 1)) << "a cut descriptor is not read past the end";
    EXPECT_FALSE(FindDfuTransferSize(config.data(), 27)) << "no DFU interface";
}

namespace {

// Feeds a renderer a transfer of `blocks` blocks `step` apart and returns what it wrote.
std::string Render(ProgressStyle style, std::optional<uint64_t> total, int blocks, std::chrono::milliseconds step)
{
    char* text = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    std::FILE* err = std::tmpfile();
    {
        auto renderer = MakeRenderer(style, out, err);
        ProgressEvent event;
        event.device = "\\\\.\\COM7";
        event.at = ProgressClock::time_point{};
        event.kind = ProgressEvent::Kind::Note;
        event.text = "note";
        renderer->render(event);
        event.kind = ProgressEvent::Kind::Begin;
        event.text = "download";
        event.total = total;
        event.transferSize = 64;
        renderer->render(event);
        event.kind = ProgressEvent::Kind::Advance;
        for (int i = 1; i <= blocks; ++i) {
            event.at += step;
            event.bytes = static_cast<uint64_t>(i) * 64;
            renderer->render(event);
        }
        event.kind = ProgressEvent::Kind::Finish;
        renderer->render(event);
        event.kind = ProgressEvent::Kind::Result;
        event.operation = "download";
        event.outcome.ok = true;
        event.outcome.message = "done";
        renderer->render(event);
    }
    std::fclose(out);
    std::fclose(err);
    std::string written(text, size);
    std::free(text);
    return written;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

TEST(Progress, PlainLinesComeAtMostPerTenthOrPerSecond)
{
    // 1000 blocks in 1 s: the tenths decide.
    const std::string fast = Render(ProgressStyle::Lines, 64000, 1000, std::chrono::milliseconds(1));
    EXPECT_EQ(fast.find('\r'), std::string::npos);
    const auto fastLines = Lines(fast);
    EXPECT_GE(fastLines.size(), 11u);
    EXPECT_LE(fastLines.size(), 1 + 1 + 11 + 1u) << fast; // note, 0 %, one per tenth, result
    EXPECT_NE(fast.find("100% (64000 of 64000 bytes"), std::string::npos) << fast;

    // An upload of unknown size over 10 s: about one line a second.
    const std::string slow = Render(ProgressStyle::Lines, std::nullopt, 1000, std::chrono::milliseconds(10));
    const auto slowLines = Lines(slow);
    EXPECT_GE(slowLines.size(), 10u);
    EXPECT_LE(slowLines.size(), 14u) << slow;
    EXPECT_NE(slow.find("64000 bytes received"), std::string::npos) << slow;
    EXPECT_EQ(slow.find('%'), std::string::npos) << "no percentage without a total";
}

TEST(Progress, BarRedrawsOneLineInPlace)
{
    const std::string bar = Render(ProgressStyle::Bar, 6400, 100, std::chrono::milliseconds(20));
    const auto lines = Lines(bar);
    ASSERT_EQ(lines.size(), 3u) << bar; // the note, the bar, the result
    EXPECT_GT(std::count(lines[1].begin(), lines[1].end(), '\r'), 5);
    EXPECT_NE(lines[1].find("[########################] 100%  6.2 KiB of 6.2 KiB"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("KiB/s"), std::string::npos);
    EXPECT_NE(lines[1].find(" left"), std::string::npos);
    EXPECT_EQ(lines[2], "done");
}

TEST(Progress, JsonLinesAreObjectsWithATypeEndingInTheResult)
{
    const std::string json = Render(ProgressStyle::Json, 64000, 1000, std::chrono::milliseconds(1));
    const auto lines = Lines(json);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_LE(lines.size(), 1 + 101 + 1u) << "at most one progress line per percent";
    for (const std::string& line : lines) {
        EXPECT_TRUE(jsoncheck::IsObject(line)) << line;
        EXPECT_EQ(line.rfind("{\"type\":\"", 0), 0u) << line;
    }
    EXPECT_EQ(lines.front(), R"({"type":"start","device":"\\\\.\\COM7","operation":"download","total":64000,"transfer_size":64})");
    EXPECT_EQ(lines[lines.size() - 2],
              R"({"type":"progress","device":"\\\\.\\COM7","operation":"download","percent":100,"bytes":64000,"total":64000})");
    EXPECT_EQ(lines.back().rfind(R"({"type":"result","device":"\\\\.\\COM7","operation":"download","ok":true,"status":0,)", 0), 0u)
        << lines.back();
    EXPECT_EQ(json.find("note"), std::string::npos) << "people's notes stay off standard output";

    const std::string upload = Render(ProgressStyle::Json, std::nullopt, 10, std::chrono::milliseconds(300));
    EXPECT_NE(upload.find(R"("percent":null,"bytes":640,"total":null)"), std::string::npos) << upload;
}
