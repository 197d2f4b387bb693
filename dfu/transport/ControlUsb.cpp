#include "transport/ControlUsb.h"

#include <cstring>

#include "api/LibraryState.h"
#include "api/Lock.h"
#include "discovery/Discovery.h"

namespace {

constexpr uint32_t DEFAULT_TIMEOUT_MS = 1000;
constexpr UCHAR DEFAULT_CONTROL_PIPE = 0;

} // namespace

WINUSB_INTERFACE_HANDLE CControlUsb::InvalidWinUsbHandle()
{
    return reinterpret_cast<WINUSB_INTERFACE_HANDLE>(INVALID_HANDLE_VALUE);
}

CControlUsb::CControlUsb() : m_hWinUsb(InvalidWinUsbHandle()), m_path(), m_timeout(DEFAULT_TIMEOUT_MS)
{
}

BOOL CControlUsb::OpenByIndex(uint32_t index)
{
    std::char_traits<WCHAR>::assign(m_path, PATH_CHARS, 0);
    m_hDevice = OpenUsbDevice(index, m_path);
    if (m_hDevice == INVALID_HANDLE_VALUE)
        return FALSE;
    if (Initialize())
        return TRUE;
    Close();
    return FALSE;
}

BOOL CControlUsb::OpenByDevicePath(const WCHAR* path)
{
    std::char_traits<WCHAR>::assign(m_path, PATH_CHARS, 0);
    {
        // Never overlaps a USB count or member lookup.
        CAutoLock lock(Library().usbLock);
        m_hDevice = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    }
    if (m_hDevice == INVALID_HANDLE_VALUE)
        return FALSE;
    CopyPath(m_path, path);
    if (Initialize())
        return TRUE;
    Close();
    return FALSE;
}

BOOL CControlUsb::Initialize()
{
    if (m_hDevice == INVALID_HANDLE_VALUE)
        return FALSE;
    const BOOL initialized = WinUsb_Initialize(m_hDevice, &m_hWinUsb);
    if (!initialized)
        m_hWinUsb = InvalidWinUsbHandle();
    SetTransferTimeout(DEFAULT_TIMEOUT_MS);
    return initialized;
}

BOOL CControlUsb::Close()
{
    BOOL ok = TRUE;
    if (m_hWinUsb != InvalidWinUsbHandle()) {
        ok = WinUsb_Free(m_hWinUsb);
        m_hWinUsb = InvalidWinUsbHandle();
    } else {
        ok = FALSE;
    }
    // INVALID_HANDLE_VALUE is also the current-process pseudo handle on
    // Windows, so a device that never opened must not pass it to CloseHandle.
    if (m_hDevice == INVALID_HANDLE_VALUE || !CloseHandle(m_hDevice))
        ok = FALSE;
    ResetState();
    return ok;
}

void CControlUsb::ResetState()
{
    m_hDevice = INVALID_HANDLE_VALUE;
    m_hWinUsb = InvalidWinUsbHandle();
    std::char_traits<WCHAR>::assign(m_path, PATH_CHARS, 0);
}

BOOL CControlUsb::GetDevicePath(WCHAR* path)
{
    if (!IsOpened())
        return FALSE;
    CopyPath(path, m_path);
    return TRUE;
}

BOOL CControlUsb::GetVidPid(uint16_t* vid, uint16_t* pid)
{
    if (!IsOpened())
        return FALSE;
    return ParseVidPid(m_path, vid, pid);
}

int CControlUsb::GetInterface()
{
    return 0;
}

BOOL CControlUsb::GetDeviceDescriptor(USB_DEVICE_DESCRIPTOR* descriptor)
{
    std::memset(descriptor, 0, sizeof(*descriptor));
    if (!IsOpened())
        return NotOpen();
    ULONG transferred = 0;
    if (!WinUsb_GetDescriptor(m_hWinUsb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, reinterpret_cast<PUCHAR>(descriptor),
                              sizeof(*descriptor), &transferred))
        return FALSE;
    // A device descriptor has one size; fewer bytes would be handed out as
    // a descriptor whose tail is zeros the device never sent.
    if (transferred != sizeof(*descriptor)) {
        std::memset(descriptor, 0, sizeof(*descriptor));
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    return TRUE;
}

BOOL CControlUsb::GetInterfaceDescriptor(USB_INTERFACE_DESCRIPTOR* descriptor)
{
    std::memset(descriptor, 0, sizeof(*descriptor));
    if (!IsOpened())
        return NotOpen();
    return WinUsb_QueryInterfaceSettings(m_hWinUsb, 0, descriptor);
}

BOOL CControlUsb::ControlTransfer(WINUSB_SETUP_PACKET setup, uint8_t* data, uint32_t* lengthTransferred)
{
    if (!IsOpened())
        return NotOpen();
    // WinUSB may report bytes for a transfer that failed. They are no count a
    // caller may act on: only a transfer that succeeded gives one, a failed
    // transfer 0.
    ULONG transferred = 0;
    const BOOL ok = WinUsb_ControlTransfer(m_hWinUsb, setup, data, setup.Length, &transferred, nullptr);
    if (lengthTransferred != nullptr)
        *lengthTransferred = ok ? transferred : 0;
    return ok;
}

BOOL CControlUsb::SetTransferTimeout(uint32_t milliseconds)
{
    if (!IsOpened())
        return NotOpen();
    // WinUSB reads a pipe time-out of 0 as "wait for ever"; the caller's 0
    // means "as short as possible", so the pipe gets 1 ms.
    ULONG value = milliseconds == 0 ? 1 : milliseconds;
    if (!WinUsb_SetPipePolicy(m_hWinUsb, DEFAULT_CONTROL_PIPE, PIPE_TRANSFER_TIMEOUT, sizeof(value), &value))
        return FALSE;
    m_timeout = milliseconds;
    return TRUE;
}

BOOL CControlUsb::GetTransferTimeout(uint32_t* milliseconds)
{
    *milliseconds = m_timeout;
    return TRUE;
}

BOOL CControlUsb::SetUartConfig(uint32_t, uint8_t, uint8_t, uint8_t, uint8_t)
{
    return NotSupported();
}

BOOL CControlUsb::GetUartConfig(uint32_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*)
{
    return NotSupported();
}
