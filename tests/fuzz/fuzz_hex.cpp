// The utility's Intel HEX reader on any text. Whatever it accepts must come
// back unchanged through the writer: the text ToHexText makes of the image
// loads again, into the same pages.
//
// Input: one byte choosing the page size, then the text.
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "hex/CHexImage.h"
#include "hex/HexWriter.h"

using velt::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // The utility's own page size first; others the model allows.
    static const uint32_t kPageSizes[] = {1024, 1024, 1024, 1024, 256, 4096, 16, 1000};
    const uint32_t pageSize = kPageSizes[data[0] & 7];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    CHexImage image(pageSize);
    const int result = image.LoadFromText(text);
    Require(result == CHexImage::kLoadOk || result == CHexImage::kLoadEmpty || result == CHexImage::kLoadMalformed,
            "LoadFromText returned an unknown result");
    Require(result != CHexImage::kLoadEmpty || text.empty(), "a text with characters was reported empty");
    for (const auto& [number, page] : image.Pages())
        Require(page.size() == pageSize, "a loaded page does not have the page size");
    if (result != CHexImage::kLoadOk)
        return 0;

    const std::string written = ToHexText(image);
    CHexImage again(pageSize);
    Require(again.LoadFromText(written) == CHexImage::kLoadOk, "the writer's text does not load");
    // Pages with negative numbers have no address and are not written.
    auto expected = image.Pages();
    for (auto it = expected.begin(); it != expected.end();)
        it = it->first < 0 ? expected.erase(it) : std::next(it);
    Require(again.Pages() == expected, "the image changed through write and read");
    return 0;
}
