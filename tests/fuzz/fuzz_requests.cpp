// The request exports and the image transfers over a serial port whose
// device frames correctly but answers with whatever the input says: short,
// long, empty and odd replies to GETSTATUS, GETSTATE, the info request,
// UPLOAD and raw control transfers, replies with a bad CRC, replies sent
// twice.
//
// Input: a count of calls (1 to 16), then two bytes per call (export,
// parameter), then the device's replies in order, each as flags, length and
// bytes (flags bit 0: the first copy has a bad CRC; bit 1: the frame is sent
// twice; bit 2: no reply at all).
//
// Properties: every export ends with a status code the library defines; a
// failed GETSTATUS, GETSTATE or info request leaves the caller's record as
// it was, a successful one holds exactly the reply's bytes; a count never
// exceeds the caller's length.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <unistd.h>

#include "ScriptedPort.h"
#include "VELT_DFU.h"

using namespace velt::fuzz;

namespace {

constexpr uint8_t kFillByte = 0xA5;
const char* const kPath = "\\\\.\\COM9";
std::string g_imagePath;

struct Reply {
    uint8_t flags = 0;
    std::vector<uint8_t> bytes;
};

bool IsDeviceToHost(uint8_t request)
{
    return request == 2 || request == 3 || request == 5 || request == 7 || request == 0x80;
}

// A device that frames correctly: 0xAA to every handshake, 0x00 to every
// frame it receives, then the next scripted reply for a request that has a
// data stage towards the host.
class Responder {
public:
    Responder(ScriptedPort& port, std::vector<Reply> replies) : port_(port), replies_(std::move(replies)) {}

    void OnWrite(const uint8_t* bytes, size_t size)
    {
        pending_.insert(pending_.end(), bytes, bytes + size);
        for (;;) {
            if (pending_.empty())
                return;
            const uint8_t b = pending_[0];
            const framing::Decoded frame = framing::decodeFrame(pending_.data(), pending_.size());
            if (frame.status == framing::DecodeStatus::NoStart) {
                pending_.erase(pending_.begin());
                if (b == 0x55)
                    Send({0xAA});
                else if (b == 0xFF && !lastFrame_.empty())
                    Send(lastFrame_);  // rejected: the device repeats it
                continue;
            }
            if (frame.status == framing::DecodeStatus::Incomplete)
                return;
            // Taken whatever its CRC: the serial target checks the host's frames.
            const uint8_t request = frame.payloadSize >= 1 ? frame.payload[0] : 0;
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(frame.frameSize));
            Send({0x00});
            if (IsDeviceToHost(request))
                Answer(request);
        }
    }

    // The bytes of the reply the host last received intact.
    const std::vector<uint8_t>& LastReply() const { return lastReply_; }

private:
    void Answer(uint8_t request)
    {
        if (next_ >= replies_.size()) {
            // The device has nothing more to say. A silent line would only
            // make every later call wait out its time-out; one that is gone
            // ends them at once, and the time-out paths are the serial
            // target's to explore.
            port_.SetAtEnd(ScriptedPort::AtEnd::HangUp);
            return;
        }
        Reply reply = replies_[next_++];
        if (reply.flags & 4)
            return;
        // The poll time-out is the device's to ask for, however long; kept
        // short here so that a run stays fast.
        if (request == 3 && reply.bytes.size() >= 4) {
            reply.bytes[1] &= 3;
            reply.bytes[2] = reply.bytes[3] = 0;
        }
        lastReply_ = reply.bytes;
        lastFrame_ = framing::encodeFrame(reply.bytes);
        if (reply.flags & 1) {
            std::vector<uint8_t> bad = lastFrame_;
            bad.back() ^= 0x5A;
            Send(bad);
        } else {
            Send(lastFrame_);
        }
        if (reply.flags & 2)
            Send(lastFrame_);
    }

    void Send(const std::vector<uint8_t>& bytes) { port_.Queue(bytes.data(), bytes.size()); }

    ScriptedPort& port_;
    std::vector<Reply> replies_;
    size_t next_ = 0;
    std::vector<uint8_t> pending_;
    std::vector<uint8_t> lastReply_;
    std::vector<uint8_t> lastFrame_;
};

bool IsKnownStatus(DFU_STATUS status)
{
    static const DFU_STATUS kKnown[] = {0x00, 0x40, 0x41, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
                                        0x49, 0x4A, 0x4B, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85};
    for (DFU_STATUS known : kKnown) {
        if (status == known)
            return true;
    }
    return false;
}

void Check(bool condition, const char* what)
{
    if (!condition)
        Violated(what);
}

void CallGetStatus(DFU_HANDLE handle, const Responder& device)
{
    DFU_GETSTATUS_RESULT record;
    std::memset(&record, kFillByte, sizeof record);
    DFU_GETSTATUS_RESULT before = record;
    const DFU_STATUS status = DFU_DfuGetStatus(handle, &record);
    Check(IsKnownStatus(status), "GETSTATUS returned an unknown status");
    if (status != DFU_STATUS_SUCCESS) {
        Check(std::memcmp(&record, &before, sizeof record) == 0, "a failed GETSTATUS changed the record");
        return;
    }
    const std::vector<uint8_t>& r = device.LastReply();
    Check(r.size() == 6, "GETSTATUS succeeded on a reply that is not 6 bytes");
    Check(record.bStatus == r[0] && record.bwPollTimeout == uint32_t(r[1] | r[2] << 8 | r[3] << 16) &&
              record.bState == r[4] && record.iString == r[5],
          "GETSTATUS record differs from the reply");
}

void CallGetState(DFU_HANDLE handle, const Responder& device)
{
    uint8_t state = kFillByte;
    const DFU_STATUS status = DFU_DfuGetState(handle, &state);
    Check(IsKnownStatus(status), "GETSTATE returned an unknown status");
    if (status != DFU_STATUS_SUCCESS) {
        Check(state == kFillByte, "a failed GETSTATE wrote the state");
        return;
    }
    Check(device.LastReply().size() == 1 && state == device.LastReply()[0], "GETSTATE state differs from the reply");
}

void CallGetInfo(DFU_HANDLE handle, const Responder& device)
{
    DFU_DEVICE_INFO info;
    std::memset(&info, kFillByte, sizeof info);
    DFU_DEVICE_INFO before = info;
    const DFU_STATUS status = DFU_VeltGetInfo(handle, &info);
    Check(IsKnownStatus(status), "info request returned an unknown status");
    if (status != DFU_STATUS_SUCCESS) {
        Check(std::memcmp(&info, &before, sizeof info) == 0, "a failed info request changed the record");
        return;
    }
    const std::vector<uint8_t>& r = device.LastReply();
    Check(r.size() == 48, "info request succeeded on a reply that is not 48 bytes");
    Check(info.infoWord == (r[0] | r[1] << 8) && info.infoByte2 == r[2] && info.infoByte1 == r[3] &&
              std::memcmp(info.infoData, &r[16], 32) == 0,
          "info record differs from the reply");
}

void CallBlock(DFU_HANDLE handle, bool upload, uint16_t length)
{
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[length ? length : 1]);
    std::memset(buffer.get(), 0x5C, length ? length : 1);
    uint16_t count = 0xFFFF;
    const DFU_STATUS status = upload ? DFU_DfuUpload(handle, buffer.get(), length, 2, &count)
                                     : DFU_DfuDnload(handle, buffer.get(), length, 2, &count);
    Check(IsKnownStatus(status), "UPLOAD or DNLOAD returned an unknown status");
    Check(count <= length, "UPLOAD or DNLOAD counted more bytes than asked for");
    if (status == DFU_STATUS_SUCCESS)
        Check(count == length, "UPLOAD or DNLOAD succeeded with a short count");
}

void CallControl(DFU_HANDLE handle, uint8_t parameter)
{
    // A vendor request the device answers with data, into a buffer of
    // exactly the caller's length.
    const uint16_t length = static_cast<uint16_t>(parameter & 0x7F);
    WINUSB_SETUP_PACKET setup = {0xC1, 0x80, 0, 0, length};
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[length ? length : 1]);
    uint32_t count = 0;
    const uint32_t capacity = (parameter & 0x80) ? length / 2u : length;
    const DFU_STATUS status = DFU_ControlTransfer(handle, &setup, buffer.get(), capacity, &count);
    Check(IsKnownStatus(status), "control transfer returned an unknown status");
    Check(count <= capacity, "control transfer counted more bytes than the buffer holds");
}

// Goes on for the opening call and two blocks, then cancels.
int CancelAfterFew(int32_t, int32_t, int32_t blockIndex, uintptr_t)
{
    return blockIndex < 2 ? 1 : 0;
}

void CallImage(DFU_HANDLE handle, bool upload, uint8_t parameter)
{
    const uint16_t transferSize = static_cast<uint16_t>((parameter & 0x3F) + 1);
    DFU_PROGRESS_CALLBACK callback = (parameter & 0x40) ? CancelAfterFew : nullptr;
    DFU_STATUS status;
    if (upload) {
        status = DFU_UploadImage(handle, transferSize, "/dev/null", callback, 0);
    } else {
        DFU_GETSTATUS_RESULT record;
        status = DFU_DownloadImage(handle, transferSize, g_imagePath.c_str(), callback, 0, &record);
    }
    Check(IsKnownStatus(status), "image transfer returned an unknown status");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    velt::platform::SetCommPortFactory(OpenScriptedPort);
    // A small image for the downloads: three blocks of the smallest sizes.
    char path[] = "/tmp/velt-fuzz-image-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        Violated("no temporary image file");
    uint8_t image[150];
    for (size_t i = 0; i < sizeof image; ++i)
        image[i] = static_cast<uint8_t>(i);
    if (write(fd, image, sizeof image) != static_cast<ssize_t>(sizeof image))
        Violated("temporary image not written");
    close(fd);
    g_imagePath = path;
    std::atexit([] { unlink(g_imagePath.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t calls = (data[0] & 15) + 1u;
    if (size < 1 + 2 * calls)
        return 0;
    const uint8_t* script = data + 1;
    std::vector<Reply> replies;
    for (size_t i = 1 + 2 * calls; i + 2 <= size;) {
        Reply reply;
        reply.flags = data[i];
        const size_t length = std::min<size_t>(data[i + 1], size - i - 2);
        reply.bytes.assign(data + i + 2, data + i + 2 + length);
        replies.push_back(std::move(reply));
        i += 2 + length;
    }

    auto port = std::make_shared<ScriptedPort>(nullptr, 0, ScriptedPort::AtEnd::Silence);
    Responder device(*port, std::move(replies));
    port->onWrite = [&device](const uint8_t* bytes, size_t count) { device.OnWrite(bytes, count); };
    NextPort() = port;

    DFU_HANDLE handle = nullptr;
    if (DFU_OpenByDevicePath(&handle, kPath) != DFU_STATUS_SUCCESS)
        Violated("the scripted port did not open");
    if (DFU_SetTransferTimeout(handle, 1) != DFU_STATUS_SUCCESS)
        Violated("the time-out was not taken");

    for (size_t c = 0; c < calls; ++c) {
        const uint8_t op = script[2 * c];
        const uint8_t parameter = script[2 * c + 1];
        switch (op % 11) {
        case 0: CallGetStatus(handle, device); break;
        case 1: CallGetState(handle, device); break;
        case 2: CallGetInfo(handle, device); break;
        case 3: CallBlock(handle, true, parameter); break;
        case 4: CallBlock(handle, false, parameter); break;
        case 5: Check(IsKnownStatus(DFU_DfuClearStatus(handle)), "CLRSTATUS returned an unknown status"); break;
        case 6: Check(IsKnownStatus(DFU_DfuAbort(handle)), "ABORT returned an unknown status"); break;
        case 7: Check(IsKnownStatus(DFU_VeltReset(handle)), "reset returned an unknown status"); break;
        case 8: CallControl(handle, parameter); break;
        case 9: CallImage(handle, false, parameter); break;
        default: CallImage(handle, true, parameter); break;
        }
    }
    DFU_Close(handle);
    return 0;
}
