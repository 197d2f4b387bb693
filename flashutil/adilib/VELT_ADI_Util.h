// Interface of the debug-adapter library VELT_ADI_Util, as OrvixFlashUtility
// calls it. The library itself comes from the adapter's maker; the build
// links against it at load time (on this machine: the simulated stand-in
// under sim/adi).
//
// Binary interface: C linkage, undecorated names, __cdecl on 32-bit Windows
// (the x86 default, so the DLL's export table carries the plain names).
#ifndef VELT_ADI_UTIL_H
#define VELT_ADI_UTIL_H

#include <stdint.h>

#if defined(_WIN32)
#  define ADIU_CALL __cdecl
#  if defined(VELT_ADI_UTIL_BUILD)
#    define ADIU_API __declspec(dllexport)
#  else
#    define ADIU_API __declspec(dllimport)
#  endif
#else
#  define ADIU_CALL
#  define ADIU_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t ADIU_STATUS;  // 0 = success; names in flashutil/adapter/StatusNames.h
typedef uint32_t ADIU_HANDLE; // opaque handle of an opened adapter

#define ADIU_SERIAL_BUFFER_SIZE 256

// Called once per flash page while a download runs. pageStatus 81 means the
// page failed its verify. The return value is not interpreted by the library.
typedef int32_t(ADIU_CALL* ADIU_DOWNLOAD_CALLBACK)(int32_t percent, uint32_t pageAddress,
                                                    ADIU_STATUS pageStatus, int32_t pageWritten,
                                                    void* context);
// Called while a block of target memory is read; report is non-zero when the
// percentage is worth showing.
typedef int32_t(ADIU_CALL* ADIU_READ_CALLBACK)(int32_t percent, int32_t report, void* context);

ADIU_API ADIU_STATUS ADIU_CALL ADIU_GetLibraryVersion(uint8_t* major, uint8_t* minor, uint32_t* release);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_GetNumDevices(uint32_t* count);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_GetSerial(uint32_t index, char* serial);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_OpenByIndex(ADIU_HANDLE* handle, uint32_t index);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_GetOpenedSerial(ADIU_HANDLE handle, char* serial);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_ConnectJtag(ADIU_HANDLE handle, uint8_t resetCode, uint32_t arg2,
                                                uint32_t arg3, uint32_t arg4, uint32_t arg5,
                                                uint32_t* outWord);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_ConnectSwd(ADIU_HANDLE handle, uint8_t resetCode, uint32_t arg2,
                                               uint32_t arg3, uint32_t arg4, uint32_t* outWord);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_UpgradeDebugFirmware(ADIU_HANDLE handle, uint32_t arg1, uint32_t arg2);
ADIU_API int32_t ADIU_CALL ADIU_IsConnected(ADIU_HANDLE handle);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_UserSpaceErase(ADIU_HANDLE handle);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_IsTargetRunning(ADIU_HANDLE handle, uint32_t* running);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_HaltTarget(ADIU_HANDLE handle);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_DownloadHexFile(ADIU_HANDLE handle, const char* path, uint32_t address,
                                                    uint32_t sectorErase, uint32_t merge, uint32_t pageSize,
                                                    uint32_t verify, ADIU_DOWNLOAD_CALLBACK callback,
                                                    void* context);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_ReadBlock(ADIU_HANDLE handle, uint32_t address, uint8_t* buffer,
                                              uint32_t count, ADIU_READ_CALLBACK callback, void* context);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_ResetSystem(ADIU_HANDLE handle, uint32_t arg1);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_Disconnect(ADIU_HANDLE handle);
ADIU_API ADIU_STATUS ADIU_CALL ADIU_Close(ADIU_HANDLE handle);

#ifdef __cplusplus
}
#endif

#endif
