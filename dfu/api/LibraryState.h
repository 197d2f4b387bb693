// The state that lives as long as the library is loaded. It is one static
// object so that construction and destruction follow the member order.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "api/WideString.h"

class IControlDevice;

// A handle given to callers is the address of one of these cells.
using HandleCell = IControlDevice*;

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

    // Open handles in creation order, under handleLock.
    CRITICAL_SECTION handleLock;
    std::vector<HandleCell*> handles;

    // USB members of the last count: indexes below it are USB devices, the
    // rest COM ports. Written by a count and read without a lock, so it is
    // atomic to keep concurrent counts and lookups well defined.
    std::atomic<uint32_t> usbCount;
};

CLibraryState& Library();
