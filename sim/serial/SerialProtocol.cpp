#include "SerialProtocol.h"

#include "framing.h"

#include <algorithm>
#include <cstdio>

namespace velt::sim {

using namespace framing;

SerialProtocol::SerialProtocol(DfuModel& model, const SerialFaults& faults, Logger log)
    : model_(model), faults_(faults), log_(std::move(log))
{
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
    input_.clear();
}

void SerialProtocol::feed(const uint8_t* data, size_t size, Output& out)
{
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
    if (strayBytes_ > 0) {
        log(std::to_string(strayBytes_) + " stray bytes dropped");
        strayBytes_ = 0;
    }
    std::vector<uint8_t> rest(cursor + consumed, cursor + left);
    input_.swap(rest);
}

size_t SerialProtocol::step(const uint8_t* data, size_t size, Output& out)
{
    uint8_t byte = data[0];
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
        sendByte(out, kNak);
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
        sendByte(out, kNak);
        log("fault nak: frame rejected (" + std::to_string(faults_.nak) + " more)");
        return;
    }
    if (payloadSize < kRequestHeaderSize) {
        sendByte(out, kNak);
        log("frame of " + std::to_string(payloadSize) + " bytes is too short for a request: NAK");
        return;
    }
    if (stalled_.size() == frameSize && std::equal(stalled_.begin(), stalled_.end(), frame)) {
        sendByte(out, kNak); // repetition of a stalled request
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
        sendByte(out, kNak);
        log("frame carries " + std::to_string(dataSize) + " data bytes for Length " + std::to_string(setup.length) + ": NAK");
        return;
    }

    ControlResult result = model_.handle(setup, payload + kRequestHeaderSize, dataSize);
    log("request " + describeRequest(setup, result, model_.state()));
    if (result.stall) {
        stalled_.assign(frame, frame + frameSize);
        sendByte(out, kNak);
        return;
    }
    stalled_.clear();
    sendByte(out, kAck);
    ++accepted_;
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
    if (faults_.delayMs > 0 && (faults_.delayOnly == 0 || faults_.delayOnly == accepted_)) {
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
    out.push_back(std::move(reply));
    awaitingReplyAck_ = true;
}

} // namespace velt::sim
