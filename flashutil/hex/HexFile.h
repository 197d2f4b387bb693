// Writing an image to disk as an Intel HEX file, safely: a file the utility
// writes is either complete or not there, and a file it was not asked to
// replace is never touched. The dump, the locked copy and any other HEX
// output go through here.
#ifndef FLASHUTIL_HEXFILE_H
#define FLASHUTIL_HEXFILE_H

#include <cstdio>
#include <string>

#include "hex/CHexImage.h"

enum class HexFileMode {
    // The file at the path is replaced only once the new text is written,
    // flushed and closed: it is written under a temporary name beside it and
    // then renamed over it. Until then an existing file keeps its contents.
    kReplace,
    // The path must be free: it is created exclusively, and a file or
    // directory already there is left as it is.
    kCreateNew,
};

enum class HexFileResult {
    kOk,
    kNameTaken,   // kCreateNew and something already has the name
    kFailed,      // not creatable, a write, flush, close or rename failed
};

// One HEX file being made, in two steps so that a caller can find out that
// the file cannot be created before it does the expensive work of filling the
// image. Whatever Open created is removed again unless Commit succeeds
// (also when the object goes away because of an exception).
class CHexFileWriter {
public:
    CHexFileWriter() = default;
    ~CHexFileWriter();
    CHexFileWriter(const CHexFileWriter&) = delete;
    CHexFileWriter& operator=(const CHexFileWriter&) = delete;

    // Creates the file the text will go into. Call once.
    HexFileResult Open(const std::string& path, HexFileMode mode);

    // Writes the image (ToHexText's text, streamed), flushes it to the disk,
    // closes it and, for kReplace, renames it over the path. On failure
    // nothing that Open created is left behind.
    HexFileResult Commit(const CHexImage& image);

private:
    void Discard();

    std::string path_;       // where the file ends up
    std::string writing_;    // the file being written: path_ itself, or a temporary name beside it
    FILE* file_ = nullptr;
};

// Open and Commit in one call.
HexFileResult WriteHexFileSafely(const CHexImage& image, const std::string& path, HexFileMode mode);

#endif
