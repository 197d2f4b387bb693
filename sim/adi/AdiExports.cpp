// The 17 exported functions of the simulated adapter library. Each one takes
// its scripted status from the scenario first (a non-zero entry is returned
// without any effect), then behaves like the adapter would, and appends one
// line with its arguments and status to the call log.
#include "SimHexReader.h"
#include "SimTarget.h"
#include "SimWorld.h"
#include "VELT_ADI_Util.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

using adisim::Adapter;
using adisim::World;

namespace {

constexpr ADIU_STATUS kOk = 0;
constexpr ADIU_STATUS kInvalidParameter = 0x40;
constexpr ADIU_STATUS kInvalidHexChecksum = 0x48;
constexpr ADIU_STATUS kInvalidHexRecord = 0x49;
constexpr ADIU_STATUS kInvalidHexFile = 0x4A;
constexpr ADIU_STATUS kNotConnected = 0x4F;
constexpr ADIU_STATUS kMustBeHalted = 0x50;
constexpr ADIU_STATUS kDeviceNotFound = 0x80;
constexpr ADIU_STATUS kDeviceNotOpened = 0x81;

// The flash controller the download algorithm drives; any other value is a
// caller error.
constexpr uint32_t kFlashControllerBase = 0x4002E000;

[[gnu::format(printf, 1, 2)]] std::string Format(const char* fmt, ...) // NOLINT(cert-dcl50-cpp): printf-style, checked by the format attribute
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

ADIU_STATUS Logged(const std::string& call, ADIU_STATUS status)
{
    World::Get().Log(call + Format(" -> %u", status));
    return status;
}

// Looks up the handle of a call that needs an opened adapter.
ADIU_STATUS Open(ADIU_HANDLE handle, Adapter*& adapter)
{
    adapter = World::Get().FromHandle(handle);
    return adapter ? kOk : kDeviceNotOpened;
}

ADIU_STATUS Connected(ADIU_HANDLE handle, Adapter*& adapter)
{
    if (ADIU_STATUS s = Open(handle, adapter)) return s;
    return adapter->connected ? kOk : kNotConnected;
}

ADIU_STATUS HexError(adisim::HexError e)
{
    switch (e) {
    case adisim::HexError::None: return kOk;
    case adisim::HexError::BadChecksum: return kInvalidHexChecksum;
    case adisim::HexError::BadRecord: return kInvalidHexRecord;
    case adisim::HexError::NoEndRecord: break;
    }
    return kInvalidHexFile;
}

const char* CallbackText(const void* callback) { return callback ? "set" : "none"; }

ADIU_STATUS Connect(const std::string& name, const std::string& call, ADIU_HANDLE handle, uint32_t* outWord)
{
    World& w = World::Get();
    if (ADIU_STATUS s = w.NextScriptedStatus(name)) return Logged(call, s);
    Adapter* a = nullptr;
    if (ADIU_STATUS s = Open(handle, a)) return Logged(call, s);
    if (!outWord) return Logged(call, kInvalidParameter);
    *outWord = 0x2BA01477;   // the target's debug-port identification
    a->connected = true;
    return Logged(call, kOk);
}

// The simple handle-only operations: scripted status, open/connected check,
// then the effect.
template <typename Effect>
ADIU_STATUS HandleCall(const char* name, ADIU_HANDLE handle, bool needsConnection, Effect effect)
{
    World& w = World::Get();
    std::string call = Format("%s handle=0x%X", name, handle);
    if (ADIU_STATUS s = w.NextScriptedStatus(name)) return Logged(call, s);
    Adapter* a = nullptr;
    if (ADIU_STATUS s = needsConnection ? Connected(handle, a) : Open(handle, a)) return Logged(call, s);
    return Logged(call, effect(*a));
}

} // namespace

extern "C" {

ADIU_STATUS ADIU_CALL ADIU_GetLibraryVersion(uint8_t* major, uint8_t* minor, uint32_t* release)
{
    World& w = World::Get();
    const char* call = "ADIU_GetLibraryVersion";
    if (ADIU_STATUS s = w.NextScriptedStatus(call)) return Logged(call, s);
    if (!major || !minor || !release) return Logged(call, kInvalidParameter);
    *major = w.LibraryMajor();
    *minor = w.LibraryMinor();
    *release = w.LibraryRelease() ? 1 : 0;
    return Logged(call, kOk);
}

ADIU_STATUS ADIU_CALL ADIU_GetNumDevices(uint32_t* count)
{
    World& w = World::Get();
    const char* call = "ADIU_GetNumDevices";
    if (ADIU_STATUS s = w.NextScriptedStatus(call)) return Logged(call, s);
    if (!count) return Logged(call, kInvalidParameter);
    *count = static_cast<uint32_t>(w.Adapters().size());
    return Logged(Format("%s count=%u", call, *count), kOk);
}

ADIU_STATUS ADIU_CALL ADIU_GetSerial(uint32_t index, char* serial)
{
    World& w = World::Get();
    std::string call = Format("ADIU_GetSerial index=%u", index);
    if (ADIU_STATUS s = w.NextScriptedStatus("ADIU_GetSerial")) return Logged(call, s);
    if (!serial) return Logged(call, kInvalidParameter);
    if (index >= w.Adapters().size()) return Logged(call, kDeviceNotFound);
    std::snprintf(serial, ADIU_SERIAL_BUFFER_SIZE, "%s", w.Adapters()[index].serial.c_str());
    return Logged(call, kOk);
}

ADIU_STATUS ADIU_CALL ADIU_OpenByIndex(ADIU_HANDLE* handle, uint32_t index)
{
    World& w = World::Get();
    std::string call = Format("ADIU_OpenByIndex index=%u", index);
    if (ADIU_STATUS s = w.NextScriptedStatus("ADIU_OpenByIndex")) return Logged(call, s);
    if (!handle) return Logged(call, kInvalidParameter);
    if (index >= w.Adapters().size()) return Logged(call, kDeviceNotFound);
    w.Adapters()[index].open = true;
    *handle = World::HandleOf(index);
    return Logged(call + Format(" handle=0x%X", *handle), kOk);
}

ADIU_STATUS ADIU_CALL ADIU_GetOpenedSerial(ADIU_HANDLE handle, char* serial)
{
    World& w = World::Get();
    std::string call = Format("ADIU_GetOpenedSerial handle=0x%X", handle);
    if (ADIU_STATUS s = w.NextScriptedStatus("ADIU_GetOpenedSerial")) return Logged(call, s);
    Adapter* a = nullptr;
    if (ADIU_STATUS s = Open(handle, a)) return Logged(call, s);
    if (!serial) return Logged(call, kInvalidParameter);
    std::snprintf(serial, ADIU_SERIAL_BUFFER_SIZE, "%s", a->serial.c_str());
    return Logged(call, kOk);
}

ADIU_STATUS ADIU_CALL ADIU_ConnectJtag(ADIU_HANDLE handle, uint8_t resetCode, uint32_t arg2, uint32_t arg3,
                                       uint32_t arg4, uint32_t arg5, uint32_t* outWord)
{
    return Connect("ADIU_ConnectJtag",
                   Format("ADIU_ConnectJtag handle=0x%X reset=%u args=%u,%u,%u,%u", handle, resetCode, arg2, arg3,
                          arg4, arg5),
                   handle, outWord);
}

ADIU_STATUS ADIU_CALL ADIU_ConnectSwd(ADIU_HANDLE handle, uint8_t resetCode, uint32_t arg2, uint32_t arg3,
                                      uint32_t arg4, uint32_t* outWord)
{
    return Connect("ADIU_ConnectSwd",
                   Format("ADIU_ConnectSwd handle=0x%X reset=%u args=%u,%u,%u", handle, resetCode, arg2, arg3, arg4),
                   handle, outWord);
}

ADIU_STATUS ADIU_CALL ADIU_UpgradeDebugFirmware(ADIU_HANDLE handle, uint32_t arg1, uint32_t arg2)
{
    World& w = World::Get();
    std::string call = Format("ADIU_UpgradeDebugFirmware handle=0x%X args=%u,%u", handle, arg1, arg2);
    if (ADIU_STATUS s = w.NextScriptedStatus("ADIU_UpgradeDebugFirmware")) return Logged(call, s);
    Adapter* a = nullptr;
    return Logged(call, Open(handle, a));
}

int32_t ADIU_CALL ADIU_IsConnected(ADIU_HANDLE handle)
{
    World& w = World::Get();
    int32_t answer = 0;
    if (!w.NextScriptedConnected(answer)) {
        Adapter* a = w.FromHandle(handle);
        answer = a && a->connected ? 1 : 0;
    }
    w.Log(Format("ADIU_IsConnected handle=0x%X -> %d", handle, answer));
    return answer;
}

ADIU_STATUS ADIU_CALL ADIU_UserSpaceErase(ADIU_HANDLE handle)
{
    return HandleCall("ADIU_UserSpaceErase", handle, true, [](Adapter& a) {
        World& w = World::Get();
        w.Flash(a).assign(adisim::kFlashSize, 0xFF);
        w.SaveFlash(a);
        return kOk;
    });
}

ADIU_STATUS ADIU_CALL ADIU_IsTargetRunning(ADIU_HANDLE handle, uint32_t* running)
{
    World& w = World::Get();
    std::string call = Format("ADIU_IsTargetRunning handle=0x%X", handle);
    if (ADIU_STATUS s = w.NextScriptedStatus("ADIU_IsTargetRunning")) return Logged(call, s);
    Adapter* a = nullptr;
    if (ADIU_STATUS s = Connected(handle, a)) return Logged(call, s);
    if (!running) return Logged(call, kInvalidParameter);
    *running = a->targetRunning ? 1 : 0;
    return Logged(call + Format(" running=%u", *running), kOk);
}

ADIU_STATUS ADIU_CALL ADIU_HaltTarget(ADIU_HANDLE handle)
{
    return HandleCall("ADIU_HaltTarget", handle, true, [](Adapter& a) {
        a.targetRunning = false;
        return kOk;
    });
}

ADIU_STATUS ADIU_CALL ADIU_DownloadHexFile(ADIU_HANDLE handle, const char* path, uint32_t address,
                                           uint32_t sectorErase, uint32_t merge, uint32_t pageSize,
                                           uint32_t verify, ADIU_DOWNLOAD_CALLBACK callback, void* context)
{
    World& w = World::Get();
    std::string call = Format("ADIU_DownloadHexFile handle=0x%X path=%s address=0x%08X erase=%u merge=%u "
                              "pagesize=%u verify=%u callback=%s context=%s",
                              handle, path ? path : "(null)", address, sectorErase, merge, pageSize, verify,
                              CallbackText(reinterpret_cast<const void*>(callback)), context ? "set" : "0");
    if (ADIU_STATUS s = w.NextScriptedStatus("ADIU_DownloadHexFile")) return Logged(call, s);
    Adapter* a = nullptr;
    if (ADIU_STATUS s = Connected(handle, a)) return Logged(call, s);
    if (!path || address != kFlashControllerBase || pageSize != adisim::kPageSize || sectorErase > 1 ||
        merge > 1 || verify > 1 || (sectorErase && merge))
        return Logged(call, kInvalidParameter);
    if (a->targetRunning) return Logged(call, kMustBeHalted);

    std::string text;
    if (!adisim::ReadFileText(path, text)) return Logged(call, kInvalidHexFile);
    // Keep what was downloaded: a temporary file the caller deletes afterwards
    // can still be inspected.
    w.SaveCopy("last-download.hex", text);
    adisim::HexReadResult hex = adisim::ParseHexText(text);
    if (hex.error != adisim::HexError::None) return Logged(call, HexError(hex.error));

    adisim::DownloadOptions options;
    options.sectorErase = sectorErase != 0;
    options.merge = merge != 0;
    options.verify = verify != 0;
    ADIU_STATUS s = adisim::ProgramImage(*a, w.Flash(*a), hex.bytes, options, callback, context);
    w.SaveFlash(*a);
    return Logged(call, s);
}

ADIU_STATUS ADIU_CALL ADIU_ReadBlock(ADIU_HANDLE handle, uint32_t address, uint8_t* buffer, uint32_t count,
                                     ADIU_READ_CALLBACK callback, void* context)
{
    World& w = World::Get();
    std::string call = Format("ADIU_ReadBlock handle=0x%X address=0x%08X count=%u callback=%s context=%s", handle,
                              address, count, CallbackText(reinterpret_cast<const void*>(callback)),
                              context ? "set" : "0");
    if (ADIU_STATUS s = w.NextScriptedStatus("ADIU_ReadBlock")) return Logged(call, s);
    Adapter* a = nullptr;
    if (ADIU_STATUS s = Connected(handle, a)) return Logged(call, s);
    if (!buffer && count) return Logged(call, kInvalidParameter);
    if (a->targetRunning) return Logged(call, kMustBeHalted);
    return Logged(call, adisim::ReadFlash(w.Flash(*a), address, buffer, count, callback, context));
}

ADIU_STATUS ADIU_CALL ADIU_ResetSystem(ADIU_HANDLE handle, uint32_t arg1)
{
    World& w = World::Get();
    std::string call = Format("ADIU_ResetSystem handle=0x%X arg=%u", handle, arg1);
    if (ADIU_STATUS s = w.NextScriptedStatus("ADIU_ResetSystem")) return Logged(call, s);
    // The adapter drives the target's reset line itself, so a reset works
    // even when the debug connection could not be made.
    Adapter* a = nullptr;
    if (ADIU_STATUS s = Open(handle, a)) return Logged(call, s);
    a->targetRunning = true;   // out of reset the target runs its firmware
    return Logged(call, kOk);
}

ADIU_STATUS ADIU_CALL ADIU_Disconnect(ADIU_HANDLE handle)
{
    return HandleCall("ADIU_Disconnect", handle, false, [](Adapter& a) {
        a.connected = false;
        return kOk;
    });
}

ADIU_STATUS ADIU_CALL ADIU_Close(ADIU_HANDLE handle)
{
    return HandleCall("ADIU_Close", handle, false, [](Adapter& a) {
        a.open = false;
        a.connected = false;
        return kOk;
    });
}

} // extern "C"
