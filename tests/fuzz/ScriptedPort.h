// A COM port without a terminal behind it, for the serial fuzz targets: its
// received bytes are a script (given up front, or queued by a responder as
// the host writes), and everything the host sends is kept for checking.
// Opened by the library as "\\.\COM9" through the platform's port factory,
// so the real CControlUart code runs on top of it.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm_port.h"
#include "serial/framing.h"

namespace velt::fuzz {

class ScriptedPort final : public velt::platform::CommPort {
public:
    // When the script runs dry: the line is gone (reads fail) or silent
    // (reads return nothing, so the host waits out its time-outs).
    enum class AtEnd { HangUp, Silence };

    ScriptedPort(const uint8_t* bytes, size_t size, AtEnd atEnd) : rx_(bytes, bytes + size), atEnd_(atEnd) {}

    // Called with each block the host writes; may Queue() an answer.
    std::function<void(const uint8_t*, size_t)> onWrite;
    // The write with this number (1 = the first) fails; 0: none does.
    unsigned failWrite = 0;
    // The responder's answers are still on the line when the host purges
    // (a slow line, or a device that answers a byte the host sent just
    // before): they arrive after the purge.
    bool answersInFlight = false;

    void Queue(const uint8_t* bytes, size_t size) { rx_.insert(rx_.end(), bytes, bytes + size); }
    void SetAtEnd(AtEnd atEnd) { atEnd_ = atEnd; }
    const std::vector<uint8_t>& Sent() const { return sent_; }
    bool WriteFailed() const { return writeFailed_; }

    BOOL Read(void* buffer, DWORD size, DWORD* done) override
    {
        const size_t n = std::min<size_t>(size, rx_.size());
        std::copy(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(n), static_cast<uint8_t*>(buffer));
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(n));
        *done = static_cast<DWORD>(n);
        if (n == 0 && size != 0 && atEnd_ == AtEnd::HangUp) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        return TRUE;
    }

    BOOL Write(const void* buffer, DWORD size, DWORD* done) override
    {
        *done = 0;
        if (++writes_ == failWrite) {
            writeFailed_ = true;
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
        sent_.insert(sent_.end(), bytes, bytes + size);
        *done = size;
        if (onWrite)
            onWrite(bytes, size);
        return TRUE;
    }

    // A script given up front stands for bytes that arrive over time, not
    // bytes already waiting, and a purge leaves it. A responder's answers
    // have arrived once queued: a purge drops what the host has not read.
    BOOL Purge(DWORD flags) override
    {
        if (onWrite && !answersInFlight && (flags & (PURGE_RXABORT | PURGE_RXCLEAR)))
            rx_.clear();
        return TRUE;
    }
    BOOL GetState(DCB& dcb) override
    {
        dcb = dcb_;
        return TRUE;
    }
    BOOL SetState(const DCB& dcb) override
    {
        dcb_ = dcb;
        return TRUE;
    }
    BOOL ClearErrors(DWORD* errors, COMSTAT* stat) override
    {
        if (errors)
            *errors = 0;
        if (stat)
            std::memset(stat, 0, sizeof *stat);
        return TRUE;
    }
    COMMTIMEOUTS Timeouts() override { return timeouts_; }
    void SetTimeouts(const COMMTIMEOUTS& timeouts) override { timeouts_ = timeouts; }
    void RecordErrors(DWORD) override {}

private:
    std::deque<uint8_t> rx_;
    AtEnd atEnd_;
    std::vector<uint8_t> sent_;
    unsigned writes_ = 0;
    bool writeFailed_ = false;
    DCB dcb_ = [] {
        DCB d = {};
        d.DCBlength = sizeof(DCB);
        d.BaudRate = 115200;
        d.ByteSize = 8;
        return d;
    }();
    COMMTIMEOUTS timeouts_ = {};
};

// The port the next open of "COM9" gets; one at a time, taken by the open.
inline std::shared_ptr<ScriptedPort>& NextPort()
{
    static std::shared_ptr<ScriptedPort> port;
    return port;
}

inline std::shared_ptr<velt::platform::CommPort> OpenScriptedPort(const std::u16string& name)
{
    if (name != u"COM9")
        return nullptr;
    std::shared_ptr<velt::platform::CommPort> port = NextPort();
    NextPort().reset();
    return port;
}

// Frames are made and checked with the device side's codec, not the
// library's, so the frames the host sends are checked independently.
namespace framing = velt::sim::framing;

// What the host writes, cut into its tokens however its writes split them:
// the handshake byte, an acknowledgement, a rejection, a whole frame (by
// its payload; its CRC is checked) or a byte that is none of these.
class HostTokens {
public:
    enum class Kind { Sync, Ack, Nak, Frame, Junk };
    struct Token {
        Kind kind;
        std::vector<uint8_t> payload;
    };

    std::vector<Token> Feed(const uint8_t* bytes, size_t size)
    {
        pending_.insert(pending_.end(), bytes, bytes + size);
        std::vector<Token> tokens;
        size_t at = 0;
        while (at < pending_.size()) {
            const framing::Decoded frame = framing::decodeFrame(&pending_[at], pending_.size() - at);
            if (frame.status == framing::DecodeStatus::Incomplete)
                break;
            if (frame.status == framing::DecodeStatus::NoStart) {
                const uint8_t b = pending_[at];
                const Kind kind = b == framing::kSyncRequest ? Kind::Sync
                                  : b == framing::kAck       ? Kind::Ack
                                  : b == framing::kNak       ? Kind::Nak
                                                             : Kind::Junk;
                tokens.push_back({kind, {}});
                ++at;
                continue;
            }
            tokens.push_back({frame.status == framing::DecodeStatus::Ok ? Kind::Frame : Kind::Junk,
                              std::vector<uint8_t>(frame.payload, frame.payload + frame.payloadSize)});
            at += frame.frameSize;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
        return tokens;
    }

private:
    std::vector<uint8_t> pending_;
};

[[noreturn]] inline void Violated(const char* what)
{
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

} // namespace velt::fuzz
