// A device bound to WinUSB, driven over its default control pipe.
#pragma once

#include "api/WideString.h"
#include "transport/IControlDevice.h"

class CControlUsb : public IControlDevice
{
public:
    CControlUsb();

    BOOL OpenByIndex(uint32_t index) override;
    BOOL OpenByDevicePath(const WCHAR* path) override;
    BOOL Close() override;
    BOOL GetDevicePath(WCHAR* path) override;
    BOOL GetVidPid(uint16_t* vid, uint16_t* pid) override;
    int GetInterface() override;
    BOOL GetDeviceDescriptor(USB_DEVICE_DESCRIPTOR* descriptor) override;
    BOOL GetInterfaceDescriptor(USB_INTERFACE_DESCRIPTOR* descriptor) override;
    BOOL ControlTransfer(WINUSB_SETUP_PACKET setup, uint8_t* data, uint32_t* lengthTransferred) override;
    BOOL SetTransferTimeout(uint32_t milliseconds) override;
    BOOL GetTransferTimeout(uint32_t* milliseconds) override;
    BOOL SetUartConfig(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits,
                       uint8_t flowControl) override;
    BOOL GetUartConfig(uint32_t* baudRate, uint8_t* dataBits, uint8_t* parity, uint8_t* stopBits,
                       uint8_t* flowControl) override;
    BOOL Initialize() override;
    void ResetState() override;

private:
    static WINUSB_INTERFACE_HANDLE InvalidWinUsbHandle();

    WINUSB_INTERFACE_HANDLE m_hWinUsb;
    WCHAR m_path[PATH_CHARS];
    // Until the first accepted SetTransferTimeout this holds 1000 ms, the
    // value every open asks for: an open whose pipe-policy call failed still
    // reports the time-out the device was meant to have.
    uint32_t m_timeout;
};
