// Device-information sets over the members of the USB backends.
#include <setupapi.h>

#include <cstddef>
#include <vector>

#include "handles.h"
#include "usb_backend.h"

#define ERROR_INVALID_FLAGS 1004L

namespace velt::platform {
namespace {

class DeviceInfoSet : public HandleObject {
public:
    std::vector<UsbMember> members;  // a snapshot: later arrivals are not seen
};

std::shared_ptr<DeviceInfoSet> FindSet(HDEVINFO h) {
    std::shared_ptr<DeviceInfoSet> set = FindHandleAs<DeviceInfoSet>(h);
    if (!set)
        SetLastError(ERROR_INVALID_HANDLE);
    return set;
}

// Fixed part of the detail record; the path follows it.
constexpr DWORD kDetailFixed = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);

}  // namespace
}  // namespace velt::platform

using namespace velt::platform;

extern "C" {

// The enumerator and window arguments are accepted and have no effect: every
// interface here is a USB one and there is no user interface.
HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags) {
    if (!(Flags & DIGCF_DEVICEINTERFACE)) {  // device setup classes are not modelled
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    const bool allClasses = Flags & DIGCF_ALLCLASSES;
    if (!ClassGuid && !allClasses) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    for (UsbBackend* backend : ActiveUsbBackends()) {
        for (UsbMember& e : backend->Members()) {
            if (!allClasses && !IsEqualGUID(e.interfaceClass, *ClassGuid))
                continue;
            if ((Flags & DIGCF_PRESENT) && !e.live)
                continue;  // a description left behind by a device that is gone
            set->members.push_back(std::move(e));
        }
    }
    return RegisterHandle(std::move(set));
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    std::shared_ptr<velt::platform::DeviceInfoSet> set = FindSet(DeviceInfoSet);
    if (!set)
        return FALSE;
    // No device-information elements are handed out, so none can be named.
    if (DeviceInfoData || !InterfaceClassGuid || !DeviceInterfaceData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    // The index counts only members of the class asked for, which need not
    // be the class the set was built for.
    DWORD seen = 0;
    for (size_t i = 0; i < set->members.size(); ++i) {
        const UsbMember& m = set->members[i];
        if (!IsEqualGUID(m.interfaceClass, *InterfaceClassGuid))
            continue;
        if (seen++ != MemberIndex)
            continue;
        DeviceInterfaceData->InterfaceClassGuid = m.interfaceClass;
        DeviceInterfaceData->Flags = m.live ? SPINT_ACTIVE : 0;
        DeviceInterfaceData->Reserved = i + 1;  // which member, for the detail call
        return TRUE;
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

// The size asked for is the fixed part plus the path with its terminator;
// a buffer must declare cbSize as the fixed part and be large enough.
BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
    std::shared_ptr<velt::platform::DeviceInfoSet> set = FindSet(DeviceInfoSet);
    if (!set)
        return FALSE;
    if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        DeviceInterfaceData->Reserved == 0 || DeviceInterfaceData->Reserved > set->members.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const UsbMember& m = set->members[DeviceInterfaceData->Reserved - 1];
    const DWORD pathBytes = static_cast<DWORD>((m.interfacePath.size() + 1) * sizeof(WCHAR));
    const DWORD required = kDetailFixed + pathBytes;
    if (!DeviceInterfaceDetailData) {
        if (DeviceInterfaceDetailDataSize != 0) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (RequiredSize)
            *RequiredSize = required;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (DeviceInterfaceDetailDataSize < kDetailFixed || DeviceInterfaceDetailData->cbSize != kDetailFixed) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (DeviceInterfaceDetailDataSize < offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + pathBytes) {
        if (RequiredSize)
            *RequiredSize = required;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (DeviceInfoData) {
        if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        DeviceInfoData->ClassGuid = m.interfaceClass;
        DeviceInfoData->DevInst = static_cast<DWORD>(DeviceInterfaceData->Reserved);
        DeviceInfoData->Reserved = 0;
    }
    WCHAR* out = DeviceInterfaceDetailData->DevicePath;
    std::copy(m.interfacePath.begin(), m.interfacePath.end(), out);
    out[m.interfacePath.size()] = 0;
    if (RequiredSize)
        *RequiredSize = required;
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    if (!FindHandleAs<velt::platform::DeviceInfoSet>(DeviceInfoSet) || !RemoveHandle(DeviceInfoSet)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
