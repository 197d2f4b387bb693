// Whole firmware images between a file and a device in dfuIDLE: the
// download sends the file block by block and ends with the zero-length
// DNLOAD; the upload reads blocks until the device sends an empty one.
#include "VELT_DFU.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "api/ExportChecks.h"
#include "requests/DfuRequests.h"

namespace {

constexpr int32_t NO_BLOCK = -1;
constexpr uint32_t UPLOAD_PROGRESS_BLOCKS = 240;

// The caller's callback, or nothing: a null callback never cancels.
class CProgress
{
public:
    CProgress(DFU_PROGRESS_CALLBACK callback, uintptr_t userData) : m_callback(callback), m_userData(userData) {}

    bool Opening() const { return Report(0, 1, NO_BLOCK); }
    bool Block(uint64_t percent, uint64_t block) const
    {
        return Report(static_cast<int32_t>(percent), 1, static_cast<int32_t>(block));
    }
    void Closing() const { Report(100, 0, NO_BLOCK); }

private:
    bool Report(int32_t percent, int32_t inProgress, int32_t block) const
    {
        return m_callback == nullptr || m_callback(percent, inProgress, block, m_userData) != 0;
    }

    DFU_PROGRESS_CALLBACK m_callback;
    uintptr_t m_userData;
};

class CFile
{
public:
    CFile(const char* path, const char* mode) : m_file(std::fopen(path, mode)) {}
    ~CFile() { Close(); }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    std::FILE* get() const { return m_file; }
    // False when the data could not all reach the file.
    bool Close()
    {
        if (m_file == nullptr)
            return true;
        const bool ok = std::fclose(m_file) == 0;
        m_file = nullptr;
        return ok;
    }

private:
    std::FILE* m_file;
};

// Both image transfers require dfuIDLE before anything else happens.
DFU_STATUS RequireIdle(IControlDevice& device)
{
    uint8_t state = 0;
    const DFU_STATUS result = GetStateRequest(device, &state);
    if (result != DFU_STATUS_SUCCESS)
        return result;
    return state == DFU_STATE_DFU_IDLE ? DFU_STATUS_SUCCESS : DFU_STATUS_NOT_IDLE;
}

// What both transfers share: dfuIDLE before anything else (no callback
// when it fails), then the opening call, the transfer unless cancelled, and
// the closing call on every path that reached the opening one.
template <typename Transfer>
DFU_STATUS RunTransfer(IControlDevice& device, const CProgress& progress, Transfer&& transfer)
{
    const DFU_STATUS idle = RequireIdle(device);
    if (idle != DFU_STATUS_SUCCESS)
        return idle;
    const DFU_STATUS result = progress.Opening() ? transfer() : DFU_STATUS_CANCELLED;
    progress.Closing();
    return result;
}

// One DNLOAD, then GETSTATUS until the device has taken the block.
DFU_STATUS DownloadBlock(IControlDevice& device, uint16_t blockNumber, uint8_t* data, uint16_t length,
                         DFU_GETSTATUS_RESULT* status)
{
    uint32_t count = 0;
    DFU_STATUS result = BlockRequest(device, REQUEST_TYPE_CLASS_OUT, DFU_DNLOAD, blockNumber, data, length, &count);
    if (result != DFU_STATUS_SUCCESS)
        return result;
    for (;;) {
        result = GetStatusRequest(device, status);
        if (result != DFU_STATUS_SUCCESS)
            return result;
        if (status->bState == DFU_STATE_DFU_IDLE || status->bState == DFU_STATE_DFU_DNLOAD_IDLE)
            return DFU_STATUS_SUCCESS;
        if (status->bState != DFU_STATE_DFU_DNBUSY)
            return DFU_STATUS_UNEXPECTED_STATE;
        Sleep(status->bwPollTimeout);
    }
}

// The whole file in one buffer rounded up to whole blocks, the tail 0xFF.
// The file is closed before the first block goes out.
DFU_STATUS ReadImage(const char* path, uint16_t transferSize, std::unique_ptr<uint8_t[]>& image, uint64_t& size)
{
    CFile file(path, "rb");
    if (file.get() == nullptr || std::fseek(file.get(), 0, SEEK_END) != 0)
        return DFU_STATUS_FILE_READ_ERROR;
    const long end = std::ftell(file.get());
    if (end < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0)
        return DFU_STATUS_FILE_READ_ERROR;
    const uint64_t fileSize = static_cast<uint64_t>(end);
    // Something that seeks but cannot be read (a directory, where the C
    // library opens one) is a read error, not an image of its apparent size.
    if (fileSize != 0 && (std::fgetc(file.get()) == EOF || std::fseek(file.get(), 0, SEEK_SET) != 0))
        return DFU_STATUS_FILE_READ_ERROR;
    size = (fileSize + transferSize - 1) / transferSize * transferSize;
    if (static_cast<size_t>(size) != size)
        return DFU_STATUS_GENERAL_ERROR;
    image.reset(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
    if (!image)
        return DFU_STATUS_GENERAL_ERROR;
    std::fill(image.get(), image.get() + size, static_cast<uint8_t>(0xFF));
    if (std::fread(image.get(), 1, static_cast<size_t>(fileSize), file.get()) != fileSize)
        return DFU_STATUS_FILE_READ_ERROR;
    return DFU_STATUS_SUCCESS;
}

DFU_STATUS DownloadBlocks(IControlDevice& device, uint16_t transferSize, const char* path, const CProgress& progress,
                          DFU_GETSTATUS_RESULT* status)
{
    std::unique_ptr<uint8_t[]> image;
    uint64_t size = 0;
    const DFU_STATUS read = ReadImage(path, transferSize, image, size);
    if (read != DFU_STATUS_SUCCESS)
        return read;

    const uint64_t blocks = size / transferSize;
    for (uint64_t i = 0; i < blocks; ++i) {
        const DFU_STATUS result =
            DownloadBlock(device, static_cast<uint16_t>(i & 0xFFFF), image.get() + i * transferSize, transferSize, status);
        if (result != DFU_STATUS_SUCCESS)
            return result;
        if (!progress.Block((i + 1) * 100 / blocks, i))
            return DFU_STATUS_CANCELLED;
    }
    image.reset();

    // The zero-length DNLOAD ends the transfer; its block number is 0.
    const DFU_STATUS result = DownloadBlock(device, 0, nullptr, 0, status);
    if (result != DFU_STATUS_SUCCESS)
        return result;
    return status->bStatus == DFU_DEVICE_STATUS_OK ? DFU_STATUS_SUCCESS : DFU_STATUS_DOWNLOAD_FAILED;
}

// Blocks until the device sends an empty one. A short block does not end the
// upload. A write that fails ends it: the file would not hold the image.
// wValue is the 16-bit block counter; progress and the block index given to
// the callback keep counting past 65535, as the download's do.
DFU_STATUS UploadBlocks(IControlDevice& device, uint16_t transferSize, std::FILE* file, const CProgress& progress)
{
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[transferSize]);
    if (!block)
        return DFU_STATUS_GENERAL_ERROR;
    for (uint64_t b = 0;; ++b) {
        uint32_t count = 0;
        const DFU_STATUS result = BlockRequest(device, REQUEST_TYPE_CLASS_IN, DFU_UPLOAD,
                                               static_cast<uint16_t>(b & 0xFFFF), block.get(), transferSize, &count);
        if (result != DFU_STATUS_SUCCESS && result != DFU_STATUS_INCOMPLETE_TRANSFER)
            return result;
        if (count == 0)
            return DFU_STATUS_SUCCESS;
        if (std::fwrite(block.get(), 1, count, file) != count)
            return DFU_STATUS_FILE_WRITE_ERROR;
        const uint64_t percent = (b + 1) * 100 / UPLOAD_PROGRESS_BLOCKS;
        if (!progress.Block(std::min<uint64_t>(percent, 100), b))
            return DFU_STATUS_CANCELLED;
    }
}

} // namespace

DFU_API DFU_STATUS DFU_DownloadImage(DFU_HANDLE handle, uint16_t transferSize, const char* path,
                                     DFU_PROGRESS_CALLBACK callback, uintptr_t userData,
                                     DFU_GETSTATUS_RESULT* status)
{
    const DFU_STATUS arguments = ArgumentsValid(path != nullptr && status != nullptr && transferSize != 0);
    return OnOpenDevice(handle, arguments, [&](IControlDevice& device) {
        const CProgress progress(callback, userData);
        return RunTransfer(device, progress,
                           [&] { return DownloadBlocks(device, transferSize, path, progress, status); });
    });
}

DFU_API DFU_STATUS DFU_UploadImage(DFU_HANDLE handle, uint16_t transferSize, const char* path,
                                   DFU_PROGRESS_CALLBACK callback, uintptr_t userData)
{
    const DFU_STATUS arguments = ArgumentsValid(path != nullptr && transferSize != 0);
    // The file is created before the device is looked at: a refused upload
    // leaves it empty.
    return OnDevice(handle, arguments, OpenCheck::Skipped, [&](IControlDevice& device) {
        CFile file(path, "wb");
        if (file.get() == nullptr)
            return DFU_STATUS_FILE_WRITE_ERROR;
        if (!device.IsOpened())
            return DFU_STATUS_DEVICE_NOT_OPENED;
        const CProgress progress(callback, userData);
        DFU_STATUS result =
            RunTransfer(device, progress, [&] { return UploadBlocks(device, transferSize, file.get(), progress); });
        // Data still buffered may fail to reach the disk only now.
        if (!file.Close() && result == DFU_STATUS_SUCCESS)
            result = DFU_STATUS_FILE_WRITE_ERROR;
        return result;
    });
}
