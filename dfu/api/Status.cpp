#include "api/Status.h"

DFU_STATUS StatusFromError(DWORD error)
{
    switch (error) {
    case ERROR_INVALID_HANDLE:      return DFU_STATUS_DEVICE_NOT_OPENED;
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:          return DFU_STATUS_TRANSFER_ERROR;
    case ERROR_GEN_FAILURE:         return DFU_STATUS_GENERAL_ERROR;
    case ERROR_NOT_SUPPORTED:       return DFU_STATUS_NOT_SUPPORTED;
    case ERROR_INVALID_PARAMETER:   return DFU_STATUS_INVALID_PARAMETER;
    case ERROR_SEM_TIMEOUT:         return DFU_STATUS_TIMEOUT;
    default:                        return DFU_STATUS_GENERAL_ERROR;
    }
}

DFU_STATUS StatusFromLastError()
{
    return StatusFromError(GetLastError());
}
