#include "transport/ControlUart.h"

#include <algorithm>
#include <vector>

#include "api/LibraryState.h"
#include "api/Lock.h"
#include "transport/SerialFrame.h"

namespace {

constexpr uint32_t DEFAULT_TIMEOUT_MS = 1000;
constexpr uint32_t DEFAULT_BAUD_RATE = 115200;
constexpr uint8_t DEFAULT_DATA_BITS = 8;
constexpr uint8_t FLOW_CONTROL_RTS_CTS = 1;
constexpr DWORD DRAIN_CHUNK = 256;
// How long a device may take to start sending once it has read a byte (a
// USB serial adapter's latency timer included), and the character times
// that a gap inside a frame may last: a line quiet for both after an
// unclean transfer has no reply left in flight.
constexpr uint64_t DEVICE_TURNAROUND_MS = 20;
constexpr size_t SETTLE_CHARACTERS = 8;

// One character on the wire at the DCB's rate and frame (start bit, data
// bits, parity bit, stop bits), in microseconds rounded up.
uint32_t CharacterTimeUs(const DCB& dcb)
{
    if (dcb.BaudRate == 0)
        return 0;
    const uint64_t stopHalfBits = dcb.StopBits == ONESTOPBIT ? 2 : dcb.StopBits == ONE5STOPBITS ? 3 : 4;
    const uint64_t halfBits = 2 + 2 * uint64_t(dcb.ByteSize) + (dcb.Parity != NOPARITY ? 2 : 0) + stopHalfBits;
    const uint64_t divisor = 2 * uint64_t(dcb.BaudRate);
    return static_cast<uint32_t>((halfBits * 1000000 + divisor - 1) / divisor);
}

} // namespace

CControlUart::CControlUart()
    : m_path(), m_timeout(DEFAULT_TIMEOUT_MS), m_msPerByte(1), m_charTimeUs(1000), m_synchronised(0),
      m_unclean(false)
{
}

BOOL CControlUart::OpenByIndex(uint32_t index)
{
    CLibraryState& library = Library();
    CAutoLock lock(library.comLock);
    if (index >= library.comPorts.size())
        return FALSE;
    CopyPath(m_path, library.comPorts[index].c_str());
    return OpenStoredPath();
}

BOOL CControlUart::OpenByDevicePath(const WCHAR* path)
{
    CAutoLock lock(Library().comLock);
    CopyPath(m_path, path);
    return OpenStoredPath();
}

BOOL CControlUart::OpenStoredPath()
{
    m_hDevice = CreateFileW(m_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_hDevice == INVALID_HANDLE_VALUE) {
        std::char_traits<WCHAR>::assign(m_path, PATH_CHARS, 0);
        return FALSE;
    }
    if (Initialize())
        return TRUE;
    const DWORD error = GetLastError();
    Close();
    SetLastError(error);
    return FALSE;
}

BOOL CControlUart::Close()
{
    // INVALID_HANDLE_VALUE is also the current-process pseudo handle on
    // Windows; a port that never opened has nothing to close.
    BOOL ok = FALSE;
    if (m_hDevice != INVALID_HANDLE_VALUE)
        ok = CloseHandle(m_hDevice);
    else
        SetLastError(ERROR_INVALID_HANDLE);
    ResetState();
    return ok;
}

void CControlUart::ResetState()
{
    m_hDevice = INVALID_HANDLE_VALUE;
    m_synchronised = 0;
    std::char_traits<WCHAR>::assign(m_path, PATH_CHARS, 0);
}

BOOL CControlUart::Initialize()
{
    return SetTransferTimeout(DEFAULT_TIMEOUT_MS) &&
           SetUartConfig(DEFAULT_BAUD_RATE, DEFAULT_DATA_BITS, NOPARITY, ONESTOPBIT, 0);
}

BOOL CControlUart::GetDevicePath(WCHAR* path)
{
    if (!IsOpened())
        return FALSE;
    CopyPath(path, m_path);
    return TRUE;
}

BOOL CControlUart::GetVidPid(uint16_t*, uint16_t*)
{
    return NotSupported();
}

int CControlUart::GetInterface()
{
    return 1;
}

BOOL CControlUart::GetDeviceDescriptor(USB_DEVICE_DESCRIPTOR*)
{
    return NotSupported();
}

BOOL CControlUart::GetInterfaceDescriptor(USB_INTERFACE_DESCRIPTOR*)
{
    return NotSupported();
}

BOOL CControlUart::SetTransferTimeout(uint32_t milliseconds)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    const uint32_t charTimeUs = GetCommState(m_hDevice, &dcb) ? CharacterTimeUs(dcb) : m_charTimeUs;
    if (!ApplyTimeouts(milliseconds, charTimeUs))
        return FALSE;
    m_timeout = milliseconds;
    return TRUE;
}

// The constants bound how long the device may take to answer; the
// multipliers add the time the line needs to carry the bytes, so that a slow
// rate does not fail a transfer the device answered in time.
BOOL CControlUart::ApplyTimeouts(uint32_t milliseconds, uint32_t charTimeUs)
{
    COMMTIMEOUTS timeouts = {};
    GetCommTimeouts(m_hDevice, &timeouts);
    // 0 turns reads into polls that return at once with what has arrived;
    // a multiplier would give them a limit again.
    const uint32_t multiplier = milliseconds == 0 ? 0 : (charTimeUs + 999) / 1000;
    timeouts.ReadIntervalTimeout = milliseconds == 0 ? MAXDWORD : 0;
    timeouts.ReadTotalTimeoutMultiplier = multiplier;
    timeouts.ReadTotalTimeoutConstant = milliseconds;
    timeouts.WriteTotalTimeoutMultiplier = multiplier;
    timeouts.WriteTotalTimeoutConstant = milliseconds;
    if (!SetCommTimeouts(m_hDevice, &timeouts))
        return FALSE;
    m_msPerByte = multiplier;
    m_charTimeUs = charTimeUs;
    return TRUE;
}

BOOL CControlUart::GetTransferTimeout(uint32_t* milliseconds)
{
    *milliseconds = m_timeout;
    return TRUE;
}

BOOL CControlUart::SetUartConfig(uint32_t baudRate, uint8_t dataBits, uint8_t parity, uint8_t stopBits,
                                 uint8_t flowControl)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(m_hDevice, &dcb))
        return FALSE;
    dcb.BaudRate = baudRate;
    dcb.ByteSize = dataBits;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    dcb.fParity = 1;
    dcb.fAbortOnError = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EvtChar = 0;
    if (flowControl == FLOW_CONTROL_RTS_CTS) {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
    if (!SetCommState(m_hDevice, &dcb))
        return FALSE;
    // A new rate or frame changes the character time the time-outs allow.
    return ApplyTimeouts(m_timeout, CharacterTimeUs(dcb));
}

BOOL CControlUart::GetUartConfig(uint32_t* baudRate, uint8_t* dataBits, uint8_t* parity, uint8_t* stopBits,
                                 uint8_t* flowControl)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(m_hDevice, &dcb))
        return FALSE;
    *baudRate = dcb.BaudRate;
    *dataBits = dcb.ByteSize;
    *parity = dcb.Parity;
    *stopBits = dcb.StopBits;
    *flowControl = (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fOutxCtsFlow) ? 1 : 0;
    return TRUE;
}

void CControlUart::ResetSync()
{
    m_synchronised = 0;
}

BOOL CControlUart::Sync()
{
    if (m_synchronised == 1)
        return TRUE;
    const uint8_t request = SYNC_REQUEST;
    if (!WriteAll(&request, 1)) {
        SetLastError(ERROR_SEM_TIMEOUT);
        return FALSE;
    }
    // A reply frame still on its way comes before the device's answer to
    // the greeting: it is let go by whole, so that no byte of it is taken
    // for that answer.
    const CTickDeadline deadline(m_timeout);
    uint8_t reply = 0;
    for (;;) {
        DWORD got = 0;
        if (!Read(&reply, 1, &got) || got != 1) {
            SetLastError(ERROR_SEM_TIMEOUT);
            return FALSE;
        }
        if (reply != FRAME_START)
            break;
        m_unclean = true;
        SkipFrame(deadline);
        if (deadline.Expired()) {
            SetLastError(ERROR_SEM_TIMEOUT);
            return FALSE;
        }
    }
    if (reply != SYNC_REPLY) {
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    m_synchronised = 1;
    return TRUE;
}

BOOL CControlUart::ControlTransfer(WINUSB_SETUP_PACKET setup, uint8_t* data, uint32_t* lengthTransferred)
{
    if (!IsOpened())
        return NotOpen();

    const bool deviceToHost = (setup.RequestType & 0x80) != 0;
    // The frame length field is 16 bits: a request that cannot be described
    // is refused before anything goes out on the line.
    if (!deviceToHost && REQUEST_HEADER_SIZE + setup.Length > MAX_FRAME_PAYLOAD) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    m_unclean = false;
    // A line error (a break or framing error while the device resets, say)
    // would fail every later read and write until cleared; the purge does
    // not clear it. Both results are not looked at: the exchange shows
    // whether the line works.
    DWORD lineErrors = 0;
    ClearCommError(m_hDevice, &lineErrors, nullptr);
    PurgeComm(m_hDevice, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    if (!Sync()) {
        Recover();
        return FALSE;
    }

    uint8_t header[REQUEST_HEADER_SIZE] = {
        setup.Request,
        static_cast<uint8_t>(setup.Value & 0xFF), static_cast<uint8_t>(setup.Value >> 8),
        static_cast<uint8_t>(setup.Index & 0xFF), static_cast<uint8_t>(setup.Index >> 8),
        static_cast<uint8_t>(setup.Length & 0xFF), static_cast<uint8_t>(setup.Length >> 8),
    };

    if (deviceToHost) {
        size_t received = 0;
        if (WriteFrame(header, sizeof(header)) != sizeof(header) || !ReadFrame(data, setup.Length, &received)) {
            Recover();
            SetLastError(ERROR_SEM_TIMEOUT);
            return FALSE;
        }
        Settle();
        if (lengthTransferred != nullptr)
            *lengthTransferred = static_cast<uint32_t>(received);
        return TRUE;
    }

    // Header and data travel as one payload under one CRC.
    std::vector<uint8_t> payload(REQUEST_HEADER_SIZE + setup.Length);
    std::copy(header, header + REQUEST_HEADER_SIZE, payload.begin());
    if (setup.Length != 0)
        std::copy(data, data + setup.Length, payload.begin() + REQUEST_HEADER_SIZE);
    if (WriteFrame(payload.data(), payload.size()) != payload.size()) {
        Recover();
        SetLastError(ERROR_SEM_TIMEOUT);
        return FALSE;
    }
    Settle();
    if (lengthTransferred != nullptr)
        *lengthTransferred = setup.Length;
    return TRUE;
}

// Nothing in a frame says which request it answers: a reply that comes
// after its transfer gave up would be taken as the answer to the next one.
// The line is read until it has been quiet for the time-out (later than
// that breaks the device's own contract), for at most twice the time-out,
// and the next transfer opens with a fresh handshake. A device that
// restarted on its own is found again the same way.
void CControlUart::Recover()
{
    const DWORD error = GetLastError();
    DrainLine(m_timeout, 2 * uint64_t(m_timeout));
    m_synchronised = 0;
    SetLastError(error);
}

// A rejection may have been a damaged acknowledgement, so the device
// answered both copies of the request; a reply the host rejected may have
// been sent once more than the host needed; an acknowledgement of ours that
// reached the device damaged has it send its reply again. None of these
// copies is announced, and none says which request it answers, so the next
// request must not start while one may still come. A clean transfer skips
// all of this and costs nothing.
void CControlUart::Settle()
{
    if (!m_unclean)
        return;
    DrainLine(QuietTime(), 2 * uint64_t(m_timeout));
    m_synchronised = 0;
}

uint64_t CControlUart::QuietTime() const
{
    return std::min<uint64_t>(m_timeout, DEVICE_TURNAROUND_MS) + LineTime(SETTLE_CHARACTERS);
}

void CControlUart::DrainLine(uint64_t quiet, uint64_t limit)
{
    COMMTIMEOUTS saved = {};
    if (m_timeout == 0 || !GetCommTimeouts(m_hDevice, &saved))
        return;
    const CTickDeadline deadline(limit);
    uint8_t scrap[DRAIN_CHUNK];
    for (;;) {
        const uint64_t left = deadline.Remaining();
        if (left == 0)
            break;
        // Each read returns at once with what has arrived, or waits up to
        // the quiet period for a first byte.
        const uint64_t wait = std::min<uint64_t>({quiet, left, MAXDWORD - 1});
        COMMTIMEOUTS drain = saved;
        drain.ReadIntervalTimeout = MAXDWORD;
        drain.ReadTotalTimeoutMultiplier = MAXDWORD;
        drain.ReadTotalTimeoutConstant = static_cast<DWORD>(wait);
        DWORD got = 0;
        if (!SetCommTimeouts(m_hDevice, &drain) || !Read(scrap, sizeof(scrap), &got) || got == 0)
            break;
    }
    SetCommTimeouts(m_hDevice, &saved);
}

void CControlUart::SkipFrame(const CTickDeadline& deadline)
{
    uint8_t header[FRAME_HEADER_SIZE] = {FRAME_START};
    DWORD got = 0;
    if (!Read(header + 1, FRAME_HEADER_SIZE - 1, &got) || got != FRAME_HEADER_SIZE - 1)
        return;
    size_t left = FramePayloadLength(header) + FRAME_TRAILER_SIZE;
    uint8_t scrap[DRAIN_CHUNK];
    while (left != 0 && !deadline.Expired()) {
        if (!Read(scrap, static_cast<DWORD>(std::min<size_t>(left, sizeof(scrap))), &got) || got == 0)
            return;
        left -= got;
    }
}

bool CControlUart::WriteAll(const void* bytes, DWORD count)
{
    DWORD written = 0;
    return WriteFile(m_hDevice, bytes, count, &written, nullptr) && written == count;
}

bool CControlUart::Read(void* bytes, DWORD count, DWORD* read)
{
    *read = 0;
    return ReadFile(m_hDevice, bytes, count, read, nullptr) != FALSE;
}

// The port's read multiplier is whole milliseconds per byte; for a long
// payload that is many times the line's real pace (a minute for 64 KiB at
// 115200 bit/s), and a device that stops mid-frame would hold the caller
// that long. Such a read gets a limit of its own: the time-out plus the
// payload's line time.
bool CControlUart::ReadPayload(uint8_t* buffer, DWORD count, DWORD* read)
{
    const uint64_t lineTime = LineTime(count);
    COMMTIMEOUTS saved = {};
    if (uint64_t(m_msPerByte) * count <= lineTime + m_timeout || !GetCommTimeouts(m_hDevice, &saved))
        return Read(buffer, count, read);
    COMMTIMEOUTS bounded = saved;
    bounded.ReadTotalTimeoutMultiplier = 0;
    bounded.ReadTotalTimeoutConstant = static_cast<DWORD>(std::min<uint64_t>(m_timeout + lineTime, MAXDWORD - 1));
    if (!SetCommTimeouts(m_hDevice, &bounded))
        return Read(buffer, count, read);
    const bool ok = Read(buffer, count, read);
    SetCommTimeouts(m_hDevice, &saved);
    return ok;
}

bool CControlUart::ReadByteWithin(uint8_t* value, const CTickDeadline& deadline)
{
    for (;;) {
        DWORD got = 0;
        if (!Read(value, 1, &got))
            return false;
        if (got == 1)
            return true;
        if (deadline.Expired())
            return false;
    }
}

// From the exact character time: the port's multipliers are whole
// milliseconds per byte, which at 115200 bit/s is eleven times the line's
// real pace, and a 64 KiB frame would wait a minute for a silent device.
uint64_t CControlUart::LineTime(size_t count) const
{
    if (m_msPerByte == 0)
        return 0;
    return (uint64_t(count) * m_charTimeUs + 999) / 1000;
}

// A write can complete before its bytes are on the wire (a USB serial
// adapter buffers them; so does a pty): the device's acknowledgement is
// awaited for the frame's line time plus the time-out, and rejections are
// answered with the frame again within the same window.
//
// No acknowledgement is ever 0x3A, so a start byte read here begins a reply
// to an earlier exchange that the device sent again (our acknowledgement of
// it reached the device damaged, or it answered a rejected copy of a
// request it had in fact taken). That frame is read whole and dropped;
// taking it, or its first byte for a rejection, would send this frame again
// and leave two answers to it on the line, one of which would then be taken
// for the answer to the next request.
size_t CControlUart::WriteFrame(const uint8_t* payload, size_t length)
{
    const SerialFrameEnvelope envelope = FrameEnvelope(payload, length);
    const uint64_t window = m_timeout + LineTime(length + FRAME_OVERHEAD);
    const CTickDeadline retries(window);

    for (;;) {
        if (!WriteAll(envelope.header, sizeof(envelope.header)))
            return 0;
        if (length != 0 && !WriteAll(payload, static_cast<DWORD>(length)))
            return 0;
        if (!WriteAll(envelope.trailer, sizeof(envelope.trailer)))
            return 0;
        const CTickDeadline answer(window);
        uint8_t ack = 0;
        for (;;) {
            if (!ReadByteWithin(&ack, answer))
                return 0;
            if (ack != FRAME_START)
                break;
            m_unclean = true;
            SkipFrame(answer);
        }
        if (ack == FRAME_ACK)
            return length;
        m_unclean = true;
        const uint64_t left = retries.Remaining();
        if (left == 0)
            return 0;
        // A rejection is one byte, and then the device waits for the frame.
        // Bytes right behind it (the rest of a cut frame, noise, or the
        // reply to a frame whose acknowledgement was damaged into a
        // rejection) would each be read as one more rejection, and each
        // would send the frame again.
        DrainLine(QuietTime(), left);
    }
}

bool CControlUart::ReadFrame(uint8_t* buffer, size_t capacity, size_t* length)
{
    // The device starts its reply within the time-out; once a frame has
    // been rejected its repetition also needs the frame's line time.
    CTickDeadline deadline(m_timeout);
    // One frame as it came off the line, for the codec to take apart; the
    // caller's buffer gets only a payload that passed its CRC.
    std::vector<uint8_t> frame(FRAME_OVERHEAD + capacity);
    frame[0] = FRAME_START;
    for (;;) {
        // Hunt for the start byte, dropping anything else.
        for (;;) {
            uint8_t next = 0;
            DWORD got = 0;
            if (!Read(&next, 1, &got))
                return false;
            if (got == 1 && next == FRAME_START)
                break;
            // Noise, or the tail of a frame the purge cut short.
            if (got == 1)
                m_unclean = true;
            if (deadline.Expired())
                return false;
        }

        DWORD got = 0;
        if (!Read(&frame[1], FRAME_HEADER_SIZE - 1, &got) || got != FRAME_HEADER_SIZE - 1)
            return false;
        const size_t n = FramePayloadLength(frame.data());
        const size_t wanted = n < capacity ? n : capacity;
        if (wanted != 0 &&
            (!ReadPayload(&frame[FRAME_HEADER_SIZE], static_cast<DWORD>(wanted), &got) || got != wanted))
            return false;
        // A frame longer than the caller can take fails unacknowledged; the
        // line is drained before the next transfer.
        if (wanted != n)
            return false;
        if (!Read(&frame[FRAME_HEADER_SIZE + n], FRAME_TRAILER_SIZE, &got) || got != FRAME_TRAILER_SIZE)
            return false;

        const SerialFrameView parsed = ParseFrame(frame.data(), FRAME_OVERHEAD + n, capacity);
        if (parsed.result == FrameParse::Ok) {
            if (parsed.length != 0)
                std::copy(parsed.payload, parsed.payload + parsed.length, buffer);
            const uint8_t ack = FRAME_ACK;
            WriteAll(&ack, 1);
            *length = parsed.length;
            return true;
        }
        // The device sends the frame again for every rejection that reaches
        // it, and may be doing so already: copies can follow the one taken.
        m_unclean = true;
        const uint8_t nak = FRAME_NAK;
        WriteAll(&nak, 1);
        deadline.SetWindow(m_timeout + LineTime(n + FRAME_OVERHEAD));
        if (deadline.Expired())
            return false;
    }
}
