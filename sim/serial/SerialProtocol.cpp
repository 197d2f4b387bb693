#include "SerialProtocol.h"

#include "framing.h"

#include <algorithm>
#include <cstdio>

namespace velt::sim {

using namespace framing;

SerialProtocol::SerialProtocol(DfuModel& model, const DeviceFaults& faults, Logger log)
    : model_(model), faults_(faults), log_(std::move(log)), random_(faults.random)
{
}

std::optional<uint64_t> SerialProtocol::faultSeed() const
{
    if (!random_.active())
        return std::nullopt;
    return random_.seed();
}

bool SerialProtocol::isDeviceToHost(uint8_t request)
{
    return request == DFU_REQ_UPLOAD || request == DFU_REQ_GETSTATUS || request == DFU_REQ_GETSTATE ||
           request == VENDOR_REQ_GET_INFO;
}

void SerialProtocol::log(const std::string& line) const
{
    if (log_)
        log_(line);
}

void SerialProtocol::dropPartial()
{
    if (!input_.empty())
        log("frame incomplete after a pause: " + std::to_string(input_.size()) + " bytes dropped");
    streamPos_ += input_.size();
    input_.clear();
}

void SerialProtocol::feed(const uint8_t* data, size_t size, Output& out)
{
    if (random_.active()) {
        feedFaulty(data, size, out);
        return;
    }
    // Parse straight from the caller's buffer; only the tail of an incomplete
    // frame is kept between calls.
    const uint8_t* cursor = data;
    size_t left = size;
    if (!input_.empty()) {
        input_.insert(input_.end(), data, data + size);
        cursor = input_.data();
        left = input_.size();
    }
    size_t consumed = 0;
    while (consumed < left) {
        size_t used = step(cursor + consumed, left - consumed, out);
        if (used == 0)
            break;
        consumed += used;
    }
    logStrayBytes();
    std::vector<uint8_t> rest(cursor + consumed, cursor + left);
    input_.swap(rest);
}

// Bytes skipped while hunting for a frame are reported once per feed.
void SerialProtocol::logStrayBytes()
{
    if (strayBytes_ > 0) {
        log(std::to_string(strayBytes_) + " stray bytes dropped");
        strayBytes_ = 0;
    }
}

// With random faults every byte goes through input_, where a fault can
// change a host frame before it is parsed, as the line would have.
void SerialProtocol::feedFaulty(const uint8_t* data, size_t size, Output& out)
{
    input_.insert(input_.end(), data, data + size);
    size_t consumed = 0;
    while (consumed < input_.size()) {
        if (judgeHostFrame(consumed))
            continue;
        size_t used = step(input_.data() + consumed, input_.size() - consumed, out);
        frameAckFault_ = AckFault::None;
        rejectFrame_ = false;
        if (used == 0)
            break;
        consumed += used;
    }
    logStrayBytes();
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(consumed));
    streamPos_ += consumed;
}

bool SerialProtocol::judgeHostFrame(size_t offset)
{
    const uint64_t at = streamPos_ + offset;
    if (at < judged_ || input_[offset] != kStart || !synchronised_)
        return false;
    const Decoded frame = decodeFrame(input_.data() + offset, input_.size() - offset);
    if (frame.status != DecodeStatus::Ok && frame.status != DecodeStatus::BadCrc)
        return false;
    judged_ = at + frame.frameSize;
    if (!random_.hit())
        return false;
    const auto where = static_cast<std::ptrdiff_t>(offset);
    switch (random_.below(6)) {
    case 0: {
        const unsigned count = 1 + random_.below(8);
        std::vector<uint8_t> noise(count);
        for (uint8_t& b : noise)
            b = random_.byte();
        input_.insert(input_.begin() + where, noise.begin(), noise.end());
        judged_ += count;
        log("fault noise: " + std::to_string(count) + " bytes before a host frame");
        return true;
    }
    case 1: {
        const size_t index = random_.below(static_cast<uint32_t>(frame.frameSize));
        const unsigned bit = random_.below(8);
        input_[offset + index] ^= static_cast<uint8_t>(1u << bit);
        log("fault bitflip: host frame byte " + std::to_string(index) + " bit " + std::to_string(bit));
        return true;
    }
    case 2: {
        const size_t index = random_.below(static_cast<uint32_t>(frame.frameSize));
        input_.erase(input_.begin() + where + static_cast<std::ptrdiff_t>(index));
        judged_ -= 1;
        log("fault drop: host frame byte " + std::to_string(index) + " lost");
        return true;
    }
    case 3:
        frameAckFault_ = AckFault::Lost;
        return false;
    case 4:
        frameAckFault_ = AckFault::Corrupt;
        return false;
    default:
        rejectFrame_ = true;
        return false;
    }
}

void SerialProtocol::acknowledge(Output& out, uint8_t byte)
{
    const AckFault fault = frameAckFault_;
    frameAckFault_ = AckFault::None;
    char line[80];
    if (fault == AckFault::Lost) {
        std::snprintf(line, sizeof line, "fault lost-ack: acknowledgement 0x%02X of a host frame lost", byte);
        log(line);
        return;
    }
    if (fault == AckFault::Corrupt) {
        const uint8_t sent = static_cast<uint8_t>(byte ^ (1u << random_.below(8)));
        std::snprintf(line, sizeof line, "fault bad-ack: acknowledgement 0x%02X of a host frame arrives as 0x%02X",
                      byte, sent);
        log(line);
        byte = sent;
    }
    sendByte(out, byte);
}

bool SerialProtocol::hostAcknowledgement(uint8_t& byte)
{
    const AckFault fault = replyAckFault_;
    replyAckFault_ = AckFault::None;
    char line[80];
    if (fault == AckFault::Lost) {
        std::snprintf(line, sizeof line, "fault lost-ack: the host's acknowledgement 0x%02X of the reply lost", byte);
        log(line);
        return false;
    }
    if (fault == AckFault::Corrupt || fault == AckFault::Flipped) {
        const unsigned bit = fault == AckFault::Flipped ? 2 : random_.below(8);
        const uint8_t got = static_cast<uint8_t>(byte ^ (1u << bit));
        std::snprintf(line, sizeof line, "fault bad-ack: the host's acknowledgement 0x%02X of the reply arrives as 0x%02X",
                      byte, got);
        log(line);
        byte = got;
    }
    return true;
}

size_t SerialProtocol::step(const uint8_t* data, size_t size, Output& out)
{
    uint8_t byte = data[0];
    if (awaitingReplyAck_ && byte != kStart && byte != kSyncRequest && !hostAcknowledgement(byte))
        return 1;
    if (awaitingReplyAck_) {
        if (byte == kAck) {
            awaitingReplyAck_ = false;
            return 1;
        }
        if (byte != kStart && byte != kSyncRequest) {
            char line[48];
            std::snprintf(line, sizeof line, "reply rejected (0x%02X): sent again", byte);
            log(line);
            sendReply(out, 0);
            return 1;
        }
        awaitingReplyAck_ = false; // the host moved on without acknowledging
    }
    if (byte == kSyncRequest) {
        handshake(out);
        return 1;
    }
    if (byte != kStart || !synchronised_) {
        ++strayBytes_; // a device that has not been greeted ignores the line
        return 1;
    }
    Decoded frame = decodeFrame(data, size);
    if (frame.status == DecodeStatus::Incomplete)
        return 0;
    if (frame.status == DecodeStatus::BadCrc) {
        acknowledge(out, kNak);
        log("frame of " + std::to_string(frame.payloadSize) + " bytes with a bad CRC: NAK");
        return frame.frameSize;
    }
    onFrame(data, frame.frameSize, frame.payload, frame.payloadSize, out);
    return frame.frameSize;
}

void SerialProtocol::sendByte(Output& out, uint8_t byte)
{
    if (out.empty() || out.back().reply)
        out.emplace_back();
    out.back().bytes.push_back(byte);
}

void SerialProtocol::handshake(Output& out)
{
    if (faults_.noSync) {
        log("fault nosync: handshake not answered");
        return;
    }
    if (faults_.badSync) {
        sendByte(out, *faults_.badSync);
        char line[64];
        std::snprintf(line, sizeof line, "fault badsync: handshake answered 0x%02X", *faults_.badSync);
        log(line);
        return;
    }
    sendByte(out, kSyncReply);
    synchronised_ = true;
    log("sync");
}

void SerialProtocol::onFrame(const uint8_t* frame, size_t frameSize, const uint8_t* payload, size_t payloadSize,
                             Output& out)
{
    if (faults_.nak > 0) {
        --faults_.nak;
        acknowledge(out, kNak);
        log("fault nak: frame rejected (" + std::to_string(faults_.nak) + " more)");
        return;
    }
    if (rejectFrame_) {
        acknowledge(out, kNak);
        log("fault reject: a good host frame rejected unread");
        return;
    }
    if (payloadSize < kRequestHeaderSize) {
        acknowledge(out, kNak);
        log("frame of " + std::to_string(payloadSize) + " bytes is too short for a request: NAK");
        return;
    }
    if (stalled_.size() == frameSize && std::equal(stalled_.begin(), stalled_.end(), frame)) {
        acknowledge(out, kNak); // repetition of a stalled request
        return;
    }
    // The host sends a frame again when its acknowledgement arrived damaged,
    // though the device took it: the same host-to-device request as the
    // frame just carried out is that repetition, never a new request (DFU
    // allows no DNLOAD, ABORT or CLRSTATUS right after the same one).
    const bool repeated = accepted_.size() == frameSize && std::equal(accepted_.begin(), accepted_.end(), frame);
    accepted_.clear();
    if (repeated && !faults_.executeRepeats) {
        log("frame repeated after its acknowledgement: acknowledged again, not carried out twice");
        acknowledge(out, kAck);
        return;
    }
    SetupPacket setup;
    setup.request = payload[0];
    setup.value = static_cast<uint16_t>(payload[1] | payload[2] << 8);
    setup.index = static_cast<uint16_t>(payload[3] | payload[4] << 8);
    setup.length = static_cast<uint16_t>(payload[5] | payload[6] << 8);
    bool in = isDeviceToHost(setup.request);
    bool vendor = setup.request == VENDOR_REQ_GET_INFO || setup.request == VENDOR_REQ_RESET;
    setup.requestType = vendor ? (in ? kVendorIn : kVendorOut) : (in ? kClassIn : kClassOut);
    size_t dataSize = payloadSize - kRequestHeaderSize;
    if (dataSize != (in ? 0u : setup.length)) {
        acknowledge(out, kNak);
        log("frame carries " + std::to_string(dataSize) + " data bytes for Length " + std::to_string(setup.length) + ": NAK");
        return;
    }

    ControlResult result = model_.handle(setup, payload + kRequestHeaderSize, dataSize);
    log("request " + describeRequest(setup, result, model_.state()));
    if (result.stall) {
        stalled_.assign(frame, frame + frameSize);
        acknowledge(out, kNak);
        return;
    }
    stalled_.clear();
    acknowledge(out, kAck);
    ++acceptedCount_;
    if (!in)
        accepted_.assign(frame, frame + frameSize);
    if (setup.request == VENDOR_REQ_RESET) {
        synchronised_ = false; // the restarted device waits for a fresh handshake
        return;
    }
    if (!in)
        return;
    if (faults_.silent) {
        log("fault silent: no reply frame");
        return;
    }
    if (faults_.longReply) {
        result.data.resize(size_t(setup.length) + 4, 0xEE);
        log("fault long: reply of " + std::to_string(result.data.size()) + " bytes for Length " +
            std::to_string(setup.length));
    }
    reply_ = encodeFrame(result.data);
    uint32_t delay = 0;
    if (faults_.delayMs > 0 && (faults_.delayOnly == 0 || faults_.delayOnly == acceptedCount_)) {
        delay = faults_.delayMs;
        log("fault delay: reply held back " + std::to_string(delay) + " ms");
    }
    sendReply(out, delay);
}

void SerialProtocol::sendReply(Output& out, uint32_t delayMs)
{
    if (reply_.empty())
        return;
    Outgoing reply;
    reply.reply = true;
    reply.delayMs = delayMs;
    if (faults_.noise > 0) {
        for (unsigned i = 0; i < faults_.noise; ++i) {
            uint8_t junk = static_cast<uint8_t>(i * 37 + 11);
            reply.bytes.push_back(junk == kStart ? static_cast<uint8_t>(junk + 1) : junk);
        }
        log("fault noise: " + std::to_string(faults_.noise) + " bytes before the reply");
    }
    reply.bytes.insert(reply.bytes.end(), reply_.begin(), reply_.end());
    if (faults_.badCrc > 0) {
        --faults_.badCrc;
        reply.bytes[reply.bytes.size() - 2] ^= 0x5A;
        log("fault badcrc: reply sent with a wrong CRC (" + std::to_string(faults_.badCrc) + " more)");
    }
    replyAckFault_ = AckFault::None;
    if (random_.hit())
        hitReply(reply);
    if (faults_.badAck > 0) {
        --faults_.badAck;
        replyAckFault_ = AckFault::Flipped;
    }
    out.push_back(std::move(reply));
    awaitingReplyAck_ = true;
}

// Each transmission of a reply is a frame of its own, hit or spared anew.
void SerialProtocol::hitReply(Outgoing& reply)
{
    std::vector<uint8_t>& bytes = reply.bytes;
    switch (random_.below(5)) {
    case 0: {
        const unsigned count = 1 + random_.below(8);
        std::vector<uint8_t> noise(count);
        for (uint8_t& b : noise)
            b = random_.byte();
        bytes.insert(bytes.begin(), noise.begin(), noise.end());
        log("fault noise: " + std::to_string(count) + " bytes before the reply");
        break;
    }
    case 1: {
        const size_t index = random_.below(static_cast<uint32_t>(bytes.size()));
        const unsigned bit = random_.below(8);
        bytes[index] ^= static_cast<uint8_t>(1u << bit);
        log("fault bitflip: reply byte " + std::to_string(index) + " bit " + std::to_string(bit));
        break;
    }
    case 2: {
        const size_t index = random_.below(static_cast<uint32_t>(bytes.size()));
        bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(index));
        log("fault drop: reply byte " + std::to_string(index) + " lost");
        break;
    }
    case 3:
        replyAckFault_ = AckFault::Lost;
        break;
    default:
        replyAckFault_ = AckFault::Corrupt;
        break;
    }
}

} // namespace velt::sim
