// The host side of the serial framing, CControlUart itself, against any byte
// stream a device could send: the handshake, device-to-host and
// host-to-device transfers, one after another on one open port.
//
// Input: mode byte, Length (LE16), write-failure byte, then the device's
// bytes. Mode bits 0-1: the transfers (in, out, in then out, out then in);
// bit 2: the line goes silent at the end of the stream instead of hanging
// up; bits 3-4: the transfer time-out, 0, 1 or 2 ms.
//
// Properties: every call ends; the caller's buffer is never written past its
// length (ASan); the count never exceeds Length and equals it for an out
// transfer; a failure leaves ERROR_SEM_TIMEOUT or ERROR_READ_FAULT (or
// ERROR_INVALID_PARAMETER for an out request the frame cannot describe, with
// nothing sent); every byte the host sends is a handshake, an
// acknowledgement or a well-formed frame of the request it was asked for.
#include <cstdint>
#include <memory>
#include <vector>

#include "ScriptedPort.h"
#include "transport/ControlUart.h"

using namespace velt::fuzz;

namespace {

constexpr size_t kControlBytes = 4;

bool IsFramingError(DWORD error)
{
    return error == ERROR_SEM_TIMEOUT || error == ERROR_READ_FAULT;
}

std::vector<uint8_t> RequestHeader(const WINUSB_SETUP_PACKET& setup)
{
    return {setup.Request, static_cast<uint8_t>(setup.Value & 0xFF), static_cast<uint8_t>(setup.Value >> 8),
            static_cast<uint8_t>(setup.Index & 0xFF), static_cast<uint8_t>(setup.Index >> 8),
            static_cast<uint8_t>(setup.Length & 0xFF), static_cast<uint8_t>(setup.Length >> 8)};
}

// The host's side of the line, token by token: 0x55, 0x00, 0xFF or a frame
// whose payload is one of the requests made.
void CheckSent(const std::vector<uint8_t>& sent, const std::vector<std::vector<uint8_t>>& requests)
{
    size_t i = 0;
    while (i < sent.size()) {
        const uint8_t b = sent[i];
        if (b == 0x55 || b == 0x00 || b == 0xFF) {
            ++i;
            continue;
        }
        const framing::Decoded frame = framing::decodeFrame(&sent[i], sent.size() - i);
        if (frame.status == framing::DecodeStatus::NoStart || sent.size() - i < framing::kOverhead ||
            sent[i + 1] != 0x00)
            Violated("host sent a byte that is no handshake, acknowledgement or frame");
        if (frame.status == framing::DecodeStatus::Incomplete)
            Violated("host sent a truncated frame");
        if (frame.status == framing::DecodeStatus::BadCrc)
            Violated("host sent a frame with a wrong CRC");
        const std::vector<uint8_t> payload(frame.payload, frame.payload + frame.payloadSize);
        bool known = false;
        for (const std::vector<uint8_t>& request : requests)
            known = known || payload == request;
        if (!known)
            Violated("host sent a frame that is not the request");
        i += frame.frameSize;
    }
}

void TransferIn(CControlUart& uart, uint16_t length, std::vector<std::vector<uint8_t>>& requests)
{
    WINUSB_SETUP_PACKET setup = {0xA1, 3, 0, 0, length};
    requests.push_back(RequestHeader(setup));
    // Exactly the caller's length, so that ASan sees any byte past it.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);
    uint32_t count = 0;
    if (uart.ControlTransfer(setup, buffer.get(), &count)) {
        if (count > length)
            Violated("in transfer reported more bytes than asked for");
    } else if (!IsFramingError(GetLastError())) {
        Violated("in transfer failed without a framing error");
    }
}

void TransferOut(CControlUart& uart, uint16_t length, std::vector<std::vector<uint8_t>>& requests,
                 const ScriptedPort& port)
{
    WINUSB_SETUP_PACKET setup = {0x21, 1, 0x1234, 0, length};
    std::unique_ptr<uint8_t[]> data(new uint8_t[length]);
    for (size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    std::vector<uint8_t> request = RequestHeader(setup);
    request.insert(request.end(), data.get(), data.get() + length);
    requests.push_back(std::move(request));

    const size_t sentBefore = port.Sent().size();
    uint32_t count = 0;
    const bool describable = CControlUart::REQUEST_HEADER_SIZE + length <= 0xFFFF;
    if (uart.ControlTransfer(setup, data.get(), &count)) {
        if (!describable)
            Violated("an out request too long for one frame was sent");
        if (count != length)
            Violated("out transfer reported a count other than its length");
        return;
    }
    const DWORD error = GetLastError();
    if (!describable) {
        if (error != ERROR_INVALID_PARAMETER || port.Sent().size() != sentBefore)
            Violated("an out request too long for one frame was not refused before sending");
    } else if (!IsFramingError(error)) {
        Violated("out transfer failed without a framing error");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    velt::platform::SetCommPortFactory(OpenScriptedPort);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kControlBytes)
        return 0;
    const uint8_t mode = data[0];
    const uint16_t length = static_cast<uint16_t>(data[1] | data[2] << 8);
    static const uint32_t kTimeouts[] = {0, 1, 2, 2};
    const uint32_t timeout = kTimeouts[(mode >> 3) & 3];

    auto port = std::make_shared<ScriptedPort>(data + kControlBytes, size - kControlBytes,
                                               (mode & 4) ? ScriptedPort::AtEnd::Silence
                                                          : ScriptedPort::AtEnd::HangUp);
    port->failWrite = data[3] < 16 ? data[3] : 0;
    NextPort() = port;

    CControlUart uart;
    if (!uart.OpenByDevicePath(u"\\\\.\\COM9"))
        Violated("the scripted port did not open");
    // The fastest rate a port takes: a silent device costs the line time of
    // the frames, which is real waiting, kept short here.
    if (!uart.SetUartConfig(12000000, 8, NOPARITY, ONESTOPBIT, 0) || !uart.SetTransferTimeout(timeout))
        Violated("the line settings were not taken");

    std::vector<std::vector<uint8_t>> requests;
    switch (mode & 3) {
    case 0:
        TransferIn(uart, length, requests);
        break;
    case 1:
        TransferOut(uart, length, requests, *port);
        break;
    case 2:
        TransferIn(uart, length, requests);
        TransferOut(uart, length, requests, *port);
        break;
    default:
        TransferOut(uart, length, requests, *port);
        TransferIn(uart, length, requests);
        break;
    }
    if (!port->WriteFailed())
        CheckSent(port->Sent(), requests);
    uart.Close();
    return 0;
}
