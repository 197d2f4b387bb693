#include "Names.h"

#include <VELT_DFU.h>

#include <cstdio>
#include <iterator>

namespace veltdfu {

namespace {

struct StatusEntry {
    uint8_t code;
    const char* name;
};

constexpr StatusEntry kLibraryStatuses[] = {
    {DFU_STATUS_SUCCESS, "DFU_STATUS_SUCCESS"},
    {DFU_STATUS_INVALID_PARAMETER, "DFU_STATUS_INVALID_PARAMETER"},
    {DFU_STATUS_BUFFER_TOO_SMALL, "DFU_STATUS_BUFFER_TOO_SMALL"},
    {DFU_STATUS_NOT_IDLE, "DFU_STATUS_NOT_IDLE"},
    {DFU_STATUS_UNEXPECTED_STATE, "DFU_STATUS_UNEXPECTED_STATE"},
    {DFU_STATUS_DOWNLOAD_FAILED, "DFU_STATUS_DOWNLOAD_FAILED"},
    {DFU_STATUS_FILE_READ_ERROR, "DFU_STATUS_FILE_READ_ERROR"},
    {DFU_STATUS_FILE_WRITE_ERROR, "DFU_STATUS_FILE_WRITE_ERROR"},
    {DFU_STATUS_INVALID_HANDLE, "DFU_STATUS_INVALID_HANDLE"},
    {DFU_STATUS_INTERFACE_MISMATCH, "DFU_STATUS_INTERFACE_MISMATCH"},
    {DFU_STATUS_CANCELLED, "DFU_STATUS_CANCELLED"},
    {DFU_STATUS_NOT_SUPPORTED, "DFU_STATUS_NOT_SUPPORTED"},
    {DFU_STATUS_DEVICE_NOT_FOUND, "DFU_STATUS_DEVICE_NOT_FOUND"},
    {DFU_STATUS_DEVICE_NOT_OPENED, "DFU_STATUS_DEVICE_NOT_OPENED"},
    {DFU_STATUS_GENERAL_ERROR, "DFU_STATUS_GENERAL_ERROR"},
    {DFU_STATUS_TRANSFER_ERROR, "DFU_STATUS_TRANSFER_ERROR"},
    {DFU_STATUS_TIMEOUT, "DFU_STATUS_TIMEOUT"},
    {DFU_STATUS_INCOMPLETE_TRANSFER, "DFU_STATUS_INCOMPLETE_TRANSFER"},
};

// Indexed by the DFU 1.1 number.
constexpr const char* kDfuStates[] = {
    "appIDLE",          "appDETACH",   "dfuIDLE",
    "dfuDNLOAD-SYNC",   "dfuDNBUSY",   "dfuDNLOAD-IDLE",
    "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET",
    "dfuUPLOAD-IDLE",   "dfuERROR",
};

constexpr const char* kDfuStatuses[] = {
    "OK",       "errTARGET",   "errFILE",     "errWRITE",
    "errERASE", "errCHECK_ERASED", "errPROG", "errVERIFY",
    "errADDRESS", "errNOTDONE", "errFIRMWARE", "errVENDOR",
    "errUSBR",  "errPOR",      "errUNKNOWN",  "errSTALLEDPKT",
};

} // namespace

std::string LibraryStatusName(uint8_t status)
{
    for (const StatusEntry& entry : kLibraryStatuses) {
        if (entry.code == status)
            return entry.name;
    }
    return "unknown status";
}

std::string LibraryStatusText(uint8_t status)
{
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X", status);
    return LibraryStatusName(status) + " (" + code + ")";
}

const char* DfuStateName(uint8_t state)
{
    return state < std::size(kDfuStates) ? kDfuStates[state] : "unknown";
}

const char* DfuStatusName(uint8_t status)
{
    return status < std::size(kDfuStatuses) ? kDfuStatuses[status] : "unknown";
}

} // namespace veltdfu
