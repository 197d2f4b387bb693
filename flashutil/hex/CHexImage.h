// Sparse flash image: fixed-size pages of bytes keyed by page number, filled
// from Intel HEX text or from blocks read out of the target, and written back
// out by ToHexText (HexWriter.h).
#ifndef FLASHUTIL_CHEXIMAGE_H
#define FLASHUTIL_CHEXIMAGE_H

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "adilib/VELT_ADI_Util.h"

class CHexImage {
public:
    // Results of LoadFromText.
    enum : int { kLoadOk = 0, kLoadEmpty = 1, kLoadMalformed = 2 };

    // How a page that SetByte creates is pre-loaded from the target when the
    // image has an adapter. It has ADIU_ReadBlock's shape so that the utility
    // passes &ADIU_ReadBlock; tests pass a fake. The image calls it with no
    // progress callback and a null context.
    using ReadBlockFunction = ADIU_STATUS(ADIU_CALL*)(ADIU_HANDLE handle, uint32_t address, uint8_t* buffer,
                                                      uint32_t count, ADIU_READ_CALLBACK callback,
                                                      void* context);

    // pageSize must be at least 2 so that every 32-bit address has a page
    // number that fits the signed page key (throws std::invalid_argument
    // otherwise). adapterHandleRef, when not null, refers to the handle of an
    // opened adapter and must outlive the image; pages that SetByte creates are
    // then first read from the target through readBlock.
    explicit CHexImage(uint32_t pageSize = 1024, bool padMissingPages = false, uint8_t fillByte = 0xFF,
                       const ADIU_HANDLE* adapterHandleRef = nullptr, ReadBlockFunction readBlock = nullptr);

    // Copies and moves carry the pages but not the remembered write page.
    CHexImage(const CHexImage& other);
    CHexImage& operator=(const CHexImage& other);
    CHexImage(CHexImage&& other) noexcept;
    CHexImage& operator=(CHexImage&& other) noexcept;

    // Parses Intel HEX text into the image, replacing what it held. Returns
    // kLoadOk, kLoadEmpty for a text of zero characters, or kLoadMalformed at
    // the first bad record (the pages written before it stay).
    //
    // Lines are trimmed of CR, LF, TAB and space at both ends; blank lines are
    // skipped; a last line without a line feed is parsed like the others.
    // Records of types 00, 02 and 04 are applied; every other type (end of
    // file included, which does not end parsing) is checked and ignored. A
    // record is malformed when it does not start with ':', has an odd number
    // of digits or any character that is not a hexadecimal digit (either
    // case), holds fewer than five bytes or a count that disagrees with its
    // length, has a checksum that does not sum it to zero, or is a type 02 or
    // 04 record without exactly two data bytes.
    int LoadFromText(const std::string& text);

    // Stores one byte, creating its page (all fillByte, or read from the
    // target) when absent. A page stored short by PutPage is first extended to
    // the full page size with fillByte.
    void SetByte(uint32_t address, uint8_t value);

    // Stores count bytes at consecutive addresses (32-bit, wrapping only at
    // 4 GiB); the same as count calls of SetByte.
    void SetBytes(uint32_t address, const uint8_t* data, size_t count);

    // A copy of a page: at most pageSize bytes of it; pageSize fill bytes for
    // an absent page when padMissingPages is set; otherwise empty.
    std::vector<uint8_t> GetPage(int32_t pageNumber) const;

    // Largest page number present; -1 when the image has no pages.
    int32_t HighestPageNumber() const;

    // Stores a whole page, replacing any page with that number. A page may be
    // shorter than pageSize (the last page of a dump); bytes beyond pageSize
    // are not kept.
    void PutPage(int32_t pageNumber, std::vector<uint8_t> bytes);

    // Reads a whole file opened in binary mode from its start. Returns the
    // empty string when the length cannot be found or fewer bytes arrive.
    static std::string ReadWholeFile(FILE* file);

    uint32_t PageSize() const { return pageSize; }
    bool PadMissingPages() const { return padMissingPages; }
    uint8_t FillByte() const { return fillByte; }
    const std::map<int32_t, std::vector<uint8_t>>& Pages() const { return pages; }

private:
    std::vector<uint8_t>& PageForWrite(int32_t pageNumber);
    void LoadFromTarget(int32_t pageNumber, std::vector<uint8_t>& page);
    int ParseRecordLine(const char* line, size_t length);

    uint32_t pageSize;
    bool padMissingPages;
    uint8_t fillByte;
    std::map<int32_t, std::vector<uint8_t>> pages;
    const ADIU_HANDLE* adapterHandleRef;
    ReadBlockFunction readBlock;

    // Consecutive writes nearly always land in the same page; remembering it
    // saves a map search per byte. Map nodes do not move, so the pointer stays
    // valid until the page is erased (only LoadFromText erases pages).
    int32_t cachedNumber = -1;
    std::vector<uint8_t>* cachedPage = nullptr;

    // Address state of the record stream being parsed.
    int addressMode = 0; // 0 none, 1 segment (type 02), 2 linear (type 04)
    uint16_t segmentBase = 0;
    uint16_t upperLinearAddress = 0;
};

#endif
