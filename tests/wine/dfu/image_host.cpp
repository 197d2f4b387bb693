// Windows test host: loads VELT_DFU.dll at run time and moves a whole image
// through Wine's serial code to a simulated COM port and back, with a
// progress callback. The calling script compares the files byte for byte.
//
// Usage: image_host.exe COM IMAGE UPLOAD TRANSFER_SIZE
#include <VELT_DFU.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "HostChecks.h"

using hostcheck::Check;

namespace {

struct Api {
    decltype(&::DFU_OpenByDevicePath) open = nullptr;
    decltype(&::DFU_Close) close = nullptr;
    decltype(&::DFU_DownloadImage) download = nullptr;
    decltype(&::DFU_UploadImage) upload = nullptr;
    decltype(&::DFU_DfuGetState) getState = nullptr;

    bool bind(HMODULE module)
    {
        open = hostcheck::Resolve<decltype(open)>(module, "DFU_OpenByDevicePath");
        close = hostcheck::Resolve<decltype(close)>(module, "DFU_Close");
        download = hostcheck::Resolve<decltype(download)>(module, "DFU_DownloadImage");
        upload = hostcheck::Resolve<decltype(upload)>(module, "DFU_UploadImage");
        getState = hostcheck::Resolve<decltype(getState)>(module, "DFU_DfuGetState");
        return open && close && download && upload && getState;
    }
};

struct Progress {
    std::vector<int> percents, inProgress, blocks;
};

int OnProgress(int32_t percent, int32_t inProgress, int32_t block, uintptr_t userData)
{
    auto* progress = reinterpret_cast<Progress*>(userData);
    progress->percents.push_back(percent);
    progress->inProgress.push_back(inProgress);
    progress->blocks.push_back(block);
    return 1;
}

// The calls of one transfer: opening, one per block with rising figures,
// closing.
void CheckProgress(const Progress& p, const char* what, size_t blocks)
{
    const size_t n = p.percents.size();
    bool shape = n == blocks + 2 && p.percents[0] == 0 && p.inProgress[0] == 1 && p.blocks[0] == -1 &&
                 p.percents[n - 1] == 100 && p.inProgress[n - 1] == 0 && p.blocks[n - 1] == -1;
    for (size_t i = 1; shape && i + 1 < n; ++i)
        shape = p.inProgress[i] == 1 && p.blocks[i] == static_cast<int>(i - 1) && p.percents[i] >= p.percents[i - 1];
    std::string name = std::string(what) + ": opening call, one call per block in order, closing call";
    Check(shape, name.c_str(), "%zu calls for %zu blocks", n, blocks);
}

long FileSize(const char* path)
{
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr)
        return -1;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    return size;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::printf("usage: image_host.exe COM IMAGE UPLOAD TRANSFER_SIZE\n");
        return 2;
    }
    const std::string path = std::string("\\\\.\\") + argv[1];
    const char* image = argv[2];
    const char* uploadPath = argv[3];
    const uint16_t transferSize = static_cast<uint16_t>(std::strtoul(argv[4], nullptr, 0));

    HMODULE module = LoadLibraryW(L"VELT_DFU.dll");
    Api dfu;
    if (module == nullptr || !dfu.bind(module)) {
        std::printf("FAIL LoadLibrary/GetProcAddress for the image exports\n0 passed, 1 failed\n");
        return 1;
    }

    DFU_HANDLE h = nullptr;
    DFU_STATUS st = dfu.open(&h, path.c_str());
    Check(st == DFU_STATUS_SUCCESS, "open the simulated COM port", "%s: status 0x%02X", path.c_str(), st);
    if (st != DFU_STATUS_SUCCESS)
        return hostcheck::Summary();

    const long size = FileSize(image);
    const size_t blocks = size < 0 ? 0 : (static_cast<size_t>(size) + transferSize - 1) / transferSize;
    Progress down;
    DFU_GETSTATUS_RESULT status = {};
    const DWORD start = GetTickCount();
    st = dfu.download(h, transferSize, image, OnProgress, reinterpret_cast<uintptr_t>(&down), &status);
    const DWORD downMs = GetTickCount() - start;
    Check(st == DFU_STATUS_SUCCESS && status.bStatus == 0, "DFU_DownloadImage", "status 0x%02X, bStatus %u, bState %u",
          st, status.bStatus, status.bState);
    CheckProgress(down, "download progress", blocks);
    std::printf("     %ld bytes in %lu ms\n", size, static_cast<unsigned long>(downMs));

    uint8_t state = 0xEE;
    st = dfu.getState(h, &state);
    Check(st == DFU_STATUS_SUCCESS && state == 2, "the device is in dfuIDLE after the download",
          "status 0x%02X, state %u", st, state);

    Progress up;
    st = dfu.upload(h, transferSize, uploadPath, OnProgress, reinterpret_cast<uintptr_t>(&up));
    Check(st == DFU_STATUS_SUCCESS, "DFU_UploadImage", "status 0x%02X", st);
    const long uploaded = FileSize(uploadPath);
    Check(uploaded == static_cast<long>(blocks * transferSize), "the upload holds every block written",
          "%ld bytes, expected %zu", uploaded, blocks * transferSize);
    CheckProgress(up, "upload progress", blocks);

    st = dfu.close(h);
    Check(st == DFU_STATUS_SUCCESS, "close", "status 0x%02X", st);
    FreeLibrary(module);
    return hostcheck::Summary();
}
