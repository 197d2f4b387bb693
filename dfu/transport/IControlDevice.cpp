#include "transport/IControlDevice.h"

BOOL IControlDevice::IsOpened()
{
    return m_hDevice != INVALID_HANDLE_VALUE;
}

void IControlDevice::ResetSync()
{
}

IControlDevice::~IControlDevice() = default;

BOOL IControlDevice::NotSupported()
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL IControlDevice::NotOpen()
{
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
