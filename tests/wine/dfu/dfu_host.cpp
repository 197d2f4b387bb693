// Windows test host: loads VELT_DFU.dll at run time, binds its exports by
// name and drives two simulated COM-port devices through Wine's own serial
// implementation. Prints one line per check and "N passed, N failed".
//
// Usage: dfu_host.exe COM_A COM_B START_STATE POLL_MS INFO_WORD [COM_LATE COM_SLOW]
//   COM_A and COM_B are simulator ports mapped into this prefix (COM_A is
//   opened by index, COM_B by path); START_STATE, POLL_MS and INFO_WORD are
//   what the simulator was started with. COM_LATE starts in dfuERROR and
//   answers its first request 700 ms late, past the 500 ms time-out. Wine's
//   read time-outs may end a little early, and then the hunt for the reply
//   runs one more read, so that request either fails or takes its own late
//   answer; either way the reply never reaches a later request. COM_SLOW is
//   paced at 9600 bit/s.
#include <VELT_DFU.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "HostChecks.h"

using hostcheck::Check;
using hostcheck::Resolve;

namespace {

// The exports this host uses, bound by undecorated name as a host program would.
struct Api {
#define VELT_EXPORT(name) decltype(&::name) name = nullptr;
#include "dfu_host_exports.inc"
#undef VELT_EXPORT

    bool bind(HMODULE module)
    {
        bool all = true;
#define VELT_EXPORT(fn)                                                           \
    fn = Resolve<decltype(&::fn)>(module, #fn);                                   \
    if (fn == nullptr) {                                                          \
        std::printf("FAIL GetProcAddress(%s) found nothing\n", #fn);              \
        all = false;                                                              \
    }
#include "dfu_host_exports.inc"
#undef VELT_EXPORT
        return all;
    }
};

Api dfu;

struct Config {
    std::string comA, comB, comLate, comSlow;
    uint8_t startState = 0;
    uint32_t pollMs = 0;
    uint16_t infoWord = 0;
};

std::string PathOf(const std::string& com)
{
    return "\\\\.\\" + com;
}

// Index of the device whose path is `path`, or -1.
long FindIndex(const std::string& path, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        char buffer[DFU_PATH_SIZE] = {};
        if (dfu.DFU_GetDevicePath(i, buffer) == DFU_STATUS_SUCCESS && path == buffer)
            return static_cast<long>(i);
    }
    return -1;
}

void CheckDiscovery(const Config& config, long& indexA)
{
    uint32_t count = 0;
    DFU_STATUS st = dfu.DFU_GetNumDevices(&count);
    Check(st == DFU_STATUS_SUCCESS, "DFU_GetNumDevices", "status 0x%02X", st);
    indexA = FindIndex(PathOf(config.comA), count);
    long indexB = FindIndex(PathOf(config.comB), count);
    Check(indexA >= 0 && indexB >= 0, "both mapped COM ports are discovered",
          "%s at %ld, %s at %ld of %u", config.comA.c_str(), indexA, config.comB.c_str(), indexB,
          count);
    uint8_t kind = 0xEE;
    st = dfu.DFU_GetInterfaceByIndex(static_cast<uint32_t>(indexA < 0 ? 0 : indexA), &kind);
    Check(indexA >= 0 && st == DFU_STATUS_SUCCESS && kind == DFU_INTERFACE_UART,
          "a discovered COM port is a UART device", "status 0x%02X kind %u", st, kind);
}

void CheckLineSettings(DFU_HANDLE h)
{
    uint32_t baud = 0;
    uint8_t bits = 0, parity = 9, stop = 9, flow = 9;
    DFU_STATUS st = dfu.DFU_GetUartConfig(h, &baud, &bits, &parity, &stop, &flow);
    Check(st == DFU_STATUS_SUCCESS && baud == 115200 && bits == 8 && parity == 0 && stop == 0 &&
              flow == 0,
          "a fresh open is at 115200 8N1 without flow control",
          "status 0x%02X: %u %u %u %u %u", st, baud, bits, parity, stop, flow);

    // A pty keeps the bit rate and RTS/CTS but not data bits or parity.
    st = dfu.DFU_SetUartConfig(h, 57600, 8, 0, 0, 1);
    Check(st == DFU_STATUS_SUCCESS, "DFU_SetUartConfig 57600 RTS/CTS", "status 0x%02X", st);
    st = dfu.DFU_GetUartConfig(h, &baud, &bits, &parity, &stop, &flow);
    Check(st == DFU_STATUS_SUCCESS && baud == 57600 && flow == 1,
          "DFU_GetUartConfig reads back 57600 and RTS/CTS", "status 0x%02X: %u flow %u", st, baud,
          flow);
    st = dfu.DFU_SetUartConfig(h, 115200, 8, 0, 0, 0);
    dfu.DFU_GetUartConfig(h, &baud, &bits, &parity, &stop, &flow);
    Check(st == DFU_STATUS_SUCCESS && baud == 115200 && flow == 0,
          "the line settings return to 115200 without flow control", "status 0x%02X: %u flow %u",
          st, baud, flow);

    uint32_t timeout = 0;
    st = dfu.DFU_GetTransferTimeout(h, &timeout);
    Check(st == DFU_STATUS_SUCCESS && timeout == 1000, "the time-out after open is 1000 ms",
          "status 0x%02X, %u", st, timeout);
    st = dfu.DFU_SetTransferTimeout(h, 250);
    dfu.DFU_GetTransferTimeout(h, &timeout);
    Check(st == DFU_STATUS_SUCCESS && timeout == 250, "the time-out reads back as set",
          "status 0x%02X, %u", st, timeout);
    dfu.DFU_SetTransferTimeout(h, 2000);
}

uint8_t GetState(DFU_HANDLE h, DFU_STATUS& st)
{
    uint8_t state = 0xEE;
    st = dfu.DFU_DfuGetState(h, &state);
    return state;
}

void CheckRequests(DFU_HANDLE h, const Config& config)
{
    DFU_STATUS st = 0;
    uint8_t state = GetState(h, st);
    Check(st == DFU_STATUS_SUCCESS && state == config.startState, "GETSTATE gives the start state",
          "status 0x%02X, state %u", st, state);

    DFU_GETSTATUS_RESULT status = {};
    st = dfu.DFU_DfuGetStatus(h, &status);
    Check(st == DFU_STATUS_SUCCESS && status.bStatus == 0 && status.bState == config.startState &&
              status.bwPollTimeout == config.pollMs,
          "GETSTATUS gives OK, the start state and the poll time-out",
          "status 0x%02X: bStatus %u bState %u poll %u", st, status.bStatus, status.bState,
          status.bwPollTimeout);

    uint8_t block[64];
    for (size_t i = 0; i < sizeof block; ++i)
        block[i] = static_cast<uint8_t>(0xA5 ^ (i * 7));
    uint16_t moved = 0xFFFF;
    st = dfu.DFU_DfuDnload(h, block, sizeof block, 0, &moved);
    Check(st == DFU_STATUS_SUCCESS && moved == sizeof block, "DNLOAD of a 64-byte block",
          "status 0x%02X, %u bytes", st, moved);
    st = dfu.DFU_DfuGetStatus(h, &status);
    Check(st == DFU_STATUS_SUCCESS && status.bStatus == 0 && status.bState == 5,
          "GETSTATUS after the block gives dfuDNLOAD-IDLE", "status 0x%02X: bStatus %u bState %u",
          st, status.bStatus, status.bState);
    st = dfu.DFU_DfuAbort(h);
    state = GetState(h, st);
    Check(st == DFU_STATUS_SUCCESS && state == 2, "ABORT returns the device to dfuIDLE",
          "status 0x%02X, state %u", st, state);

    uint8_t upload[64] = {};
    moved = 0;
    st = dfu.DFU_DfuUpload(h, upload, sizeof upload, 0, &moved);
    Check((st == DFU_STATUS_SUCCESS && moved == sizeof upload) ||
              (st == DFU_STATUS_INCOMPLETE_TRANSFER && moved < sizeof upload),
          "UPLOAD of block 0 moves the bytes it reports", "status 0x%02X, %u bytes", st, moved);
    Check(moved >= 1 && std::memcmp(upload, block, moved) == 0,
          "UPLOAD reads back the block DNLOAD wrote", "%u bytes, first %02X", moved, upload[0]);
    dfu.DFU_DfuAbort(h);

    DFU_DEVICE_INFO info = {};
    st = dfu.DFU_VeltGetInfo(h, &info);
    Check(st == DFU_STATUS_SUCCESS && info.infoWord == config.infoWord,
          "the info request returns the device's record", "status 0x%02X, infoWord 0x%04X", st,
          info.infoWord);

    st = dfu.DFU_VeltReset(h);
    Check(st == DFU_STATUS_SUCCESS, "the reset request", "status 0x%02X", st);
    state = GetState(h, st);
    Check(st == DFU_STATUS_SUCCESS && state == config.startState,
          "after the reset the link synchronises again and the device is at its start state",
          "status 0x%02X, state %u", st, state);
}

void CheckOpenByIndex(const Config& config, long index)
{
    DFU_HANDLE h = nullptr;
    DFU_STATUS st = dfu.DFU_OpenByIndex(&h, static_cast<uint32_t>(index < 0 ? 0 : index));
    Check(index >= 0 && st == DFU_STATUS_SUCCESS && h != nullptr, "open by index",
          "index %ld, status 0x%02X", index, st);
    if (st != DFU_STATUS_SUCCESS)
        return;
    char path[DFU_PATH_SIZE] = {};
    uint8_t kind = 0xEE;
    dfu.DFU_GetOpenedDevicePath(h, path);
    dfu.DFU_GetOpenedInterface(h, &kind);
    Check(PathOf(config.comA) == path && kind == DFU_INTERFACE_UART,
          "the opened device reports its COM path and the UART kind", "'%s', kind %u", path, kind);
    CheckLineSettings(h);
    CheckRequests(h, config);
    st = dfu.DFU_Close(h);
    Check(st == DFU_STATUS_SUCCESS && !dfu.DFU_IsOpened(h), "close", "status 0x%02X", st);
}

void CheckOpenByPath(const Config& config)
{
    DFU_HANDLE h = nullptr;
    DFU_STATUS st = dfu.DFU_OpenByDevicePath(&h, PathOf(config.comB).c_str());
    Check(st == DFU_STATUS_SUCCESS, "open by path", "%s: status 0x%02X", PathOf(config.comB).c_str(),
          st);
    if (st != DFU_STATUS_SUCCESS)
        return;
    uint8_t state = GetState(h, st);
    Check(st == DFU_STATUS_SUCCESS && state == config.startState, "GETSTATE on the port opened by path",
          "status 0x%02X, state %u", st, state);
    dfu.DFU_Close(h);

    st = dfu.DFU_OpenByDevicePath(&h, "\\\\.\\COM49");
    Check(st == DFU_STATUS_GENERAL_ERROR, "a COM port that is not mapped does not open",
          "status 0x%02X", st);
}

// A reply later than the time-out must not be taken by the next request.
void CheckLateReply(const Config& config)
{
    DFU_HANDLE h = nullptr;
    DFU_STATUS st = dfu.DFU_OpenByDevicePath(&h, PathOf(config.comLate).c_str());
    Check(st == DFU_STATUS_SUCCESS, "open the late-answering port", "status 0x%02X", st);
    if (st != DFU_STATUS_SUCCESS)
        return;
    dfu.DFU_SetTransferTimeout(h, 500);
    const DWORD start = GetTickCount();
    uint8_t state = GetState(h, st);
    Check(st == DFU_STATUS_TIMEOUT || (st == DFU_STATUS_SUCCESS && state == 10),
          "a reply later than the time-out fails its request or answers it, never another",
          "status 0x%02X, state %u after %lu ms", st, state, static_cast<unsigned long>(GetTickCount() - start));
    st = dfu.DFU_DfuClearStatus(h);
    Check(st == DFU_STATUS_SUCCESS, "CLRSTATUS after the late reply", "status 0x%02X", st);
    state = GetState(h, st);
    Check(st == DFU_STATUS_SUCCESS && state == 2,
          "the next GETSTATE gets its own answer, not the late one",
          "status 0x%02X, state %u (10 is the late reply's)", st, state);
    dfu.DFU_Close(h);
}

// 1 KiB blocks at 9600 bit/s need longer than the default time-out on the line.
void CheckSlowLine(const Config& config)
{
    DFU_HANDLE h = nullptr;
    DFU_STATUS st = dfu.DFU_OpenByDevicePath(&h, PathOf(config.comSlow).c_str());
    Check(st == DFU_STATUS_SUCCESS, "open the 9600 bit/s port", "status 0x%02X", st);
    if (st != DFU_STATUS_SUCCESS)
        return;
    st = dfu.DFU_SetUartConfig(h, 9600, 8, 0, 0, 0);
    Check(st == DFU_STATUS_SUCCESS, "DFU_SetUartConfig 9600 8N1", "status 0x%02X", st);
    static uint8_t block[1024];
    for (size_t i = 0; i < sizeof block; ++i)
        block[i] = static_cast<uint8_t>(i * 29 + 3);
    uint16_t moved = 0;
    const DWORD start = GetTickCount();
    st = dfu.DFU_DfuDnload(h, block, sizeof block, 0, &moved);
    const DWORD took = GetTickCount() - start;
    Check(st == DFU_STATUS_SUCCESS && moved == sizeof block,
          "DNLOAD of 1024 bytes at 9600 bit/s with the default time-out",
          "status 0x%02X, %u bytes, %lu ms", st, moved, static_cast<unsigned long>(took));
    DFU_GETSTATUS_RESULT status = {};
    st = dfu.DFU_DfuGetStatus(h, &status);
    Check(st == DFU_STATUS_SUCCESS && status.bState == 5, "GETSTATUS after the slow block",
          "status 0x%02X, state %u", st, status.bState);
    dfu.DFU_DfuAbort(h);
    static uint8_t back[1024];
    moved = 0;
    st = dfu.DFU_DfuUpload(h, back, sizeof back, 0, &moved);
    Check(st == DFU_STATUS_SUCCESS && moved == sizeof back && std::memcmp(back, block, sizeof back) == 0,
          "UPLOAD of 1024 bytes at 9600 bit/s reads the block back", "status 0x%02X, %u bytes", st,
          moved);
    dfu.DFU_Close(h);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 6 && argc != 8) {
        std::printf("usage: dfu_host.exe COM_A COM_B START_STATE POLL_MS INFO_WORD [COM_LATE COM_SLOW]\n");
        return 2;
    }
    Config config;
    config.comA = argv[1];
    config.comB = argv[2];
    config.startState = static_cast<uint8_t>(std::strtoul(argv[3], nullptr, 0));
    config.pollMs = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 0));
    config.infoWord = static_cast<uint16_t>(std::strtoul(argv[5], nullptr, 0));
    if (argc == 8) {
        config.comLate = argv[6];
        config.comSlow = argv[7];
    }

    HMODULE module = LoadLibraryW(L"VELT_DFU.dll");
    if (module == nullptr) {
        std::printf("FAIL LoadLibrary(VELT_DFU.dll): error %lu\n0 passed, 1 failed\n",
                    static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    if (!dfu.bind(module)) {
        std::printf("%d passed, %d failed\n", hostcheck::g_passed, hostcheck::g_failed + 1);
        return 1;
    }

    uint8_t major = 0, minor = 0;
    uint32_t third = 0;
    DFU_STATUS st = dfu.DFU_GetLibraryVersion(&major, &minor, &third);
    Check(st == DFU_STATUS_SUCCESS && major == 1 && minor == 1 && third == 1,
          "DFU_GetLibraryVersion is 1.1.1", "status 0x%02X: %u.%u.%u", st, major, minor, third);

    long indexA = -1;
    CheckDiscovery(config, indexA);
    CheckOpenByIndex(config, indexA);
    CheckOpenByPath(config);
    if (!config.comLate.empty()) {
        CheckLateReply(config);
        CheckSlowLine(config);
    }

    FreeLibrary(module);
    return hostcheck::Summary();
}
