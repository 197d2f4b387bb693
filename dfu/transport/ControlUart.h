// A device on a serial COM port. Control transfers travel in frames of our
// own (transport/SerialFrame.h), each answered by one acknowledgement byte,
// after a 0x55/0xAA handshake. This class moves the bytes; the frame's
// layout and CRC are the codec's.
#pragma once

#include "api/WideString.h"
#include "transport/IControlDevice.h"
#include "transport/TickDeadline.h"

class CControlUart : public IControlDevice
{
public:
    static constexpr uint8_t FRAME_ACK = 0x00;
    static constexpr uint8_t FRAME_NAK = 0xFF;
    static constexpr uint8_t SYNC_REQUEST = 0x55;
    static constexpr uint8_t SYNC_REPLY = 0xAA;
    static constexpr size_t REQUEST_HEADER_SIZE = 7;

    CControlUart();

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
    void ResetSync() override;
    BOOL Initialize() override;
    void ResetState() override;
    virtual BOOL Sync();

private:
    // Opens m_path; the caller holds the COM-list lock.
    BOOL OpenStoredPath();
    // Sends one frame until it is acknowledged; N on success, 0 on failure.
    size_t WriteFrame(const uint8_t* payload, size_t length);
    // Receives one frame of at most capacity payload bytes, acknowledging it.
    bool ReadFrame(uint8_t* buffer, size_t capacity, size_t* length);
    // The transfer failed with the line in an unknown state: let whatever
    // the device still sends go by, and greet it again on the next transfer.
    void Recover();
    // The transfer succeeded but saw a rejection, a repeated or stale frame
    // or stray bytes: copies of a reply may still be on their way. Let them
    // go by and greet the device again before the next request.
    void Settle();
    // Reads and drops what arrives until the line has been quiet for quiet
    // ms, for at most limit ms in all.
    void DrainLine(uint64_t quiet, uint64_t limit);
    // Reads and drops the rest of a frame whose start byte was just read,
    // by its length, giving up when the deadline has passed.
    void SkipFrame(const CTickDeadline& deadline);
    BOOL ApplyTimeouts(uint32_t milliseconds, uint32_t charTimeUs);
    bool WriteAll(const void* bytes, DWORD count);
    // False when ReadFile fails; *read is what arrived within the time-outs.
    bool Read(void* bytes, DWORD count, DWORD* read);
    // A frame's payload, within the time-out plus its line time.
    bool ReadPayload(uint8_t* buffer, DWORD count, DWORD* read);
    // One byte, reading again until the deadline has passed.
    bool ReadByteWithin(uint8_t* value, const CTickDeadline& deadline);
    // Milliseconds the line needs to carry count bytes at the rate in effect.
    uint64_t LineTime(size_t count) const;
    // How long a line must stay quiet before nothing more is on its way.
    uint64_t QuietTime() const;

    WCHAR m_path[PATH_CHARS];
    // Bounds every read and write and the retry windows; 1000 until the
    // first accepted SetTransferTimeout, the value every open asks for.
    uint32_t m_timeout;
    // The read and write multipliers in effect: one character time at the
    // port's rate and frame, in whole milliseconds rounded up (0 with a
    // time-out of 0, whose reads must stay immediate).
    uint32_t m_msPerByte;
    // One character time at the port's rate and frame in microseconds,
    // rounded up: what the retry windows allow for the line.
    uint32_t m_charTimeUs;
    int m_synchronised;
    // Set by anything the current transfer did not expect; see Settle.
    bool m_unclean;
};
