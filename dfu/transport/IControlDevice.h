// The transport interface every open device is driven through. Operations
// return a BOOL and leave the reason for a failure in the thread's last-error
// value; only the exports turn that value into a status code.
#pragma once

#include <windows.h>
#include <winusb.h>

#include <cstdint>

class IControlDevice
{
public:
    // The order of these operations is the order of the table of virtual
    // operations and is kept stable.
    virtual BOOL OpenByIndex(uint32_t index) = 0;
    virtual BOOL OpenByDevicePath(const WCHAR* path) = 0;
    virtual BOOL Close() = 0;
    virtual BOOL IsOpened();
    virtual BOOL GetDevicePath(WCHAR* path) = 0;
    virtual BOOL GetVidPid(uint16_t* vid, uint16_t* pid) = 0;
    virtual int GetInterface() = 0;
    virtual BOOL GetDeviceDescriptor(USB_DEVICE_DESCRIPTOR* descriptor) = 0;
    virtual BOOL GetInterfaceDescriptor(USB_INTERFACE_DESCRIPTOR* descriptor) = 0;
    virtual BOOL ControlTransfer(WINUSB_SETUP_PACKET setup, uint8_t* data, uint32_t* lengthTransferred) = 0;
    virtual BOOL SetTransferTimeout(uint32_t milliseconds) = 0;
    virtual BOOL GetTransferTimeout(uint32_t* milliseconds) = 0;
    virtual BOOL SetUartConfig(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits,
                               uint8_t flowControl) = 0;
    virtual BOOL GetUartConfig(uint32_t* baudRate, uint8_t* dataBits, uint8_t* parity, uint8_t* stopBits,
                               uint8_t* flowControl) = 0;
    virtual void ResetSync();
    virtual BOOL Initialize() = 0;
    virtual void ResetState() = 0;
    virtual ~IControlDevice();

protected:
    IControlDevice() = default;
    IControlDevice(const IControlDevice&) = delete;
    IControlDevice& operator=(const IControlDevice&) = delete;

    // For operations a transport does not have: ERROR_NOT_SUPPORTED.
    static BOOL NotSupported();
    // For operations on a device that is not open: ERROR_INVALID_HANDLE.
    static BOOL NotOpen();

    // The open device's file handle; INVALID_HANDLE_VALUE while closed.
    HANDLE m_hDevice = INVALID_HANDLE_VALUE;
};
