// The pure parts behind download and upload: the DFU suffix, the JSON text,
// the functional descriptor walk and the progress renderers.
#include "DfuSuffix.h"
#include "Sha256.h"
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
    EXPECT_EQ(lines.back().rfind(R"({"type":"result","device":"\\\\.\\COM7","label":"\\\\.\\COM7","operation":"download","ok":true,"status":0,)", 0), 0u)
        << lines.back();
    EXPECT_EQ(json.find("note"), std::string::npos) << "people's notes stay off standard output";

    const std::string upload = Render(ProgressStyle::Json, std::nullopt, 10, std::chrono::milliseconds(300));
    EXPECT_NE(upload.find(R"("percent":null,"bytes":640,"total":null)"), std::string::npos) << upload;
}

namespace {

// A renderer for several devices, writing into memory: out and err.
class Capture {
public:
    explicit Capture(ProgressStyle style)
        : out_(open_memstream(&outText_, &outSize_)), err_(open_memstream(&errText_, &errSize_)),
          renderer_(MakeRenderer(style, out_, err_, true))
    {
    }
    ~Capture()
    {
        close();
        std::free(outText_);
        std::free(errText_);
    }
    ProgressRenderer& renderer() { return *renderer_; }
    void event(ProgressEvent::Kind kind, const std::string& device, const std::string& text = "", uint64_t bytes = 0)
    {
        ProgressEvent e;
        e.kind = kind;
        e.device = device;
        e.text = text;
        e.bytes = bytes;
        e.total = 1000;
        e.at = at_ += std::chrono::milliseconds(150);
        renderer_->render(e);
    }
    std::string out()
    {
        close();
        return std::string(outText_, outSize_);
    }
    std::string err()
    {
        close();
        return std::string(errText_, errSize_);
    }

private:
    void close()
    {
        renderer_.reset();
        if (out_)
            std::fclose(out_);
        if (err_)
            std::fclose(err_);
        out_ = err_ = nullptr;
    }
    char* outText_ = nullptr;
    char* errText_ = nullptr;
    size_t outSize_ = 0, errSize_ = 0;
    std::FILE* out_;
    std::FILE* err_;
    std::unique_ptr<ProgressRenderer> renderer_;
    ProgressClock::time_point at_{};
};

ProgressEvent Result(const std::string& device, bool ok, uint8_t status, uint64_t bytes, double seconds)
{
    ProgressEvent event;
    event.kind = ProgressEvent::Kind::Result;
    event.device = device;
    event.operation = "download";
    event.outcome.ok = ok;
    event.outcome.status = status;
    event.outcome.bytes = bytes;
    event.outcome.seconds = seconds;
    event.outcome.reason = ok ? "" : "transfer";
    if (!ok)
        event.outcome.dfuStatus = 8; // errADDRESS
    return event;
}

} // namespace

TEST(Progress, SeveralDevicesTagEveryLineForPeopleOnce)
{
    Capture lines(ProgressStyle::Lines);
    lines.event(ProgressEvent::Kind::Note, "COM7", "device COM7: transfer size 1024 bytes");
    lines.event(ProgressEvent::Kind::Note, "COM8", "fw.bin has no DFU suffix");
    lines.event(ProgressEvent::Kind::Problem, "COM8", "download to device COM8 failed");
    lines.event(ProgressEvent::Kind::Begin, "COM7", "download");
    EXPECT_EQ(lines.out(), "COM7: transfer size 1024 bytes\nCOM8: fw.bin has no DFU suffix\n"
                           "COM7: download   0% (0 of 1000 bytes, -- KiB/s)\n");
    EXPECT_EQ(lines.err(), "velt-dfu: COM8: download to device COM8 failed\n");

    // One device alone keeps its lines as they are.
    char* text = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    {
        auto single = MakeRenderer(ProgressStyle::Lines, out, stderr);
        ProgressEvent note;
        note.device = "COM7";
        note.text = "device COM7: transfer size 1024 bytes";
        single->render(note);
    }
    std::fclose(out);
    EXPECT_EQ(std::string(text, size), "device COM7: transfer size 1024 bytes\n");
    std::free(text);
}

TEST(Progress, BarsOfSeveralDevicesAreRedrawnTogetherInPlace)
{
    Capture bars(ProgressStyle::Bar);
    bars.event(ProgressEvent::Kind::Begin, "COM7", "download");
    bars.event(ProgressEvent::Kind::Begin, "COM8", "download");
    bars.event(ProgressEvent::Kind::Advance, "COM7", "", 500);
    bars.event(ProgressEvent::Kind::Note, "COM8", "a note");
    const std::string out = bars.out();
    // Two bars on two lines: the cursor goes one line up to redraw both.
    EXPECT_NE(out.find("\x1b[1A"), std::string::npos) << out;
    const size_t last = out.rfind("COM7: download [############............]  50%");
    ASSERT_NE(last, std::string::npos) << out;
    EXPECT_NE(out.find("COM8: download [........................]   0%", last), std::string::npos) << out;
    // The note is printed above the bars, which are drawn again below it.
    const size_t note = out.find("COM8: a note\n");
    ASSERT_NE(note, std::string::npos) << out;
    EXPECT_NE(out.find("COM7: download [", note), std::string::npos) << out;
}

TEST(Progress, SummaryIsATableForPeopleAndOneLineForPrograms)
{
    RunSummary summary;
    summary.devices = "all";
    summary.seconds = 1.5;
    summary.results = {Result("COM7", true, 0, 5000, 0.5), Result("usb-device-long-name", false, 0x44, 1024, 1.25)};
    ProgressEvent verify = Result("COM8", false, 0, 5000, 1);
    verify.outcome.reason = "verify";
    verify.outcome.dfuStatus = 0;
    summary.results.push_back(verify);

    Capture table(ProgressStyle::Lines);
    table.renderer().summarize(summary);
    EXPECT_EQ(table.out(), "device                result                                    bytes  seconds\n"
                           "COM7                  DFU_STATUS_SUCCESS                         5000     0.50\n"
                           "usb-device-long-name  DFU_STATUS_UNEXPECTED_STATE (errADDRESS)   1024     1.25\n"
                           "COM8                  verify mismatch                            5000     1.00\n"
                           "3 devices in 1.50 s: 1 succeeded, 2 failed\n");

    Capture json(ProgressStyle::Json);
    json.renderer().summarize(summary);
    const std::string line = json.out();
    ASSERT_FALSE(line.empty());
    EXPECT_TRUE(jsoncheck::IsObject(line.substr(0, line.size() - 1))) << line;
    EXPECT_EQ(line.rfind(R"({"type":"summary","device":"all","devices":3,"succeeded":1,"failed":2,"cancelled":0,)", 0),
              0u)
        << line;
    EXPECT_NE(line.find(R"({"device":"COM8","label":"COM8","ok":false,"status":0,"status_name":"DFU_STATUS_SUCCESS",)"
                        R"("result":"verify mismatch","bytes":5000,"elapsed_s":1.000}])"),
              std::string::npos)
        << line;
}

TEST(Sha256, KnownDigestsAcrossTheBlockBoundaries)
{
    const auto hex = [](const std::string& text) {
        return veltdfu::Sha256Hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    };
    EXPECT_EQ(hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits the first block.
    EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}
