// The state that lives as long as the library is loaded. It is one static
// object so that construction and destruction follow the member order.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "api/WideString.h"

class CHandleDevice;

// A handle given to callers is an opaque value that names one of these
// entries. Values only grow, so a closed handle never names a device again.
struct HandleEntry {
    uintptr_t value;
    std::shared_ptr<CHandleDevice> device;
};

class CLibraryState
{
public:
    CLibraryState();
    ~CLibraryState();
    CLibraryState(const CLibraryState&) = delete;
    CLibraryState& operator=(const CLibraryState&) = delete;

    // COM ports found by the last count, each "\\.\" and the DOS name.
    std::vector<WideString> comPorts;
    // Guards comPorts and serialises the opening of COM ports.
    CRITICAL_SECTION comLock;

    // Guards classGuid and deviceInfoSet; also held around every USB open.
    CRITICAL_SECTION usbLock;
    GUID classGuid;
    HDEVINFO deviceInfoSet;
    bool hasDeviceInfoSet;

    // Open handles in creation order (so in ascending value), under
    // handleLock, and the value the last one was given.
    CRITICAL_SECTION handleLock;
    std::vector<HandleEntry> handles;
    uintptr_t lastHandleValue;

    // USB members of the last count: indexes below it are USB devices, the
    // rest COM ports. Written by a count and read without a lock, so it is
    // atomic to keep concurrent counts and lookups well defined.
    std::atomic<uint32_t> usbCount;
};

CLibraryState& Library();
