#include "Names.h"

#include <VELT_DFU.h>

#include <cstddef>
#include <cstdio>
#include <iterator>

namespace veltdfu {

namespace {

struct NumberName {
    uint8_t number;
    const char* name;
};

constexpr NumberName kLibraryStatuses[] = {
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

// Each entry stands at its own number, so a name is looked up by index.
template <size_t N>
constexpr bool AtTheirNumbers(const NumberName (&table)[N])
{
    for (size_t i = 0; i < N; ++i) {
        if (table[i].number != i)
            return false;
    }
    return true;
}

constexpr NumberName kDfuStates[] = {
    {DFU_STATE_APP_IDLE, "appIDLE"},
    {DFU_STATE_APP_DETACH, "appDETACH"},
    {DFU_STATE_DFU_IDLE, "dfuIDLE"},
    {DFU_STATE_DFU_DNLOAD_SYNC, "dfuDNLOAD-SYNC"},
    {DFU_STATE_DFU_DNBUSY, "dfuDNBUSY"},
    {DFU_STATE_DFU_DNLOAD_IDLE, "dfuDNLOAD-IDLE"},
    {DFU_STATE_DFU_MANIFEST_SYNC, "dfuMANIFEST-SYNC"},
    {DFU_STATE_DFU_MANIFEST, "dfuMANIFEST"},
    {DFU_STATE_DFU_MANIFEST_WAIT_RESET, "dfuMANIFEST-WAIT-RESET"},
    {DFU_STATE_DFU_UPLOAD_IDLE, "dfuUPLOAD-IDLE"},
    {DFU_STATE_DFU_ERROR, "dfuERROR"},
};
static_assert(AtTheirNumbers(kDfuStates), "DFU states out of number order");

constexpr NumberName kDfuStatuses[] = {
    {DFU_DEVICE_STATUS_OK, "OK"},
    {DFU_DEVICE_STATUS_ERR_TARGET, "errTARGET"},
    {DFU_DEVICE_STATUS_ERR_FILE, "errFILE"},
    {DFU_DEVICE_STATUS_ERR_WRITE, "errWRITE"},
    {DFU_DEVICE_STATUS_ERR_ERASE, "errERASE"},
    {DFU_DEVICE_STATUS_ERR_CHECK_ERASED, "errCHECK_ERASED"},
    {DFU_DEVICE_STATUS_ERR_PROG, "errPROG"},
    {DFU_DEVICE_STATUS_ERR_VERIFY, "errVERIFY"},
    {DFU_DEVICE_STATUS_ERR_ADDRESS, "errADDRESS"},
    {DFU_DEVICE_STATUS_ERR_NOTDONE, "errNOTDONE"},
    {DFU_DEVICE_STATUS_ERR_FIRMWARE, "errFIRMWARE"},
    {DFU_DEVICE_STATUS_ERR_VENDOR, "errVENDOR"},
    {DFU_DEVICE_STATUS_ERR_USBR, "errUSBR"},
    {DFU_DEVICE_STATUS_ERR_POR, "errPOR"},
    {DFU_DEVICE_STATUS_ERR_UNKNOWN, "errUNKNOWN"},
    {DFU_DEVICE_STATUS_ERR_STALLEDPKT, "errSTALLEDPKT"},
};
static_assert(AtTheirNumbers(kDfuStatuses), "DFU device statuses out of number order");

} // namespace

std::string LibraryStatusName(uint8_t status)
{
    for (const NumberName& entry : kLibraryStatuses) {
        if (entry.number == status)
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
    return state < std::size(kDfuStates) ? kDfuStates[state].name : "unknown";
}

const char* DfuStatusName(uint8_t status)
{
    return status < std::size(kDfuStatuses) ? kDfuStatuses[status].name : "unknown";
}

} // namespace veltdfu
