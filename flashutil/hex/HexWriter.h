// Intel HEX writer. The layout is fixed by the image's pages: every page that
// holds data gets one extended linear address record (type 04) and then its
// bytes in data records of at most 16 bytes that never cross the page end;
// an end-of-file record closes the text. Lines end in CR LF, digits are upper
// case. Start address records are never written.
#ifndef FLASHUTIL_HEXWRITER_H
#define FLASHUTIL_HEXWRITER_H

#include <cstdint>
#include <functional>
#include <string>

#include "hex/CHexImage.h"

// The complete file text for an image, pages in ascending order. Pages with
// negative numbers have no address and are not written.
std::string ToHexText(const CHexImage& image);

// The same text, handed to sink in pieces of up to 512 KiB as it is made,
// so a large image never needs its whole text in memory. Stops at the first
// piece the sink refuses (returns false) and then returns false. Files are
// written through WriteHexFileSafely (HexFile.h), which streams this way.
using HexTextSink = std::function<bool(const char* data, size_t size)>;
bool WriteHexText(const CHexImage& image, const HexTextSink& sink);

#endif
