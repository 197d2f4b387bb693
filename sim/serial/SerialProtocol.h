// The device's half of the serial line protocol, independent of the port:
// bytes in, bytes out. It answers the 0x55 handshake, takes request frames,
// acknowledges them, hands the requests to the DFU model and sends the reply
// frame of a device-to-host request (again after each 0xFF from the host).
//
// A request the model stalls cannot be told over this line except by not
// taking it: the frame is rejected with 0xFF, and so is every identical
// repetition, without reaching the model again. The host therefore sees its
// transfer fail (after its time-out), and GETSTATUS then shows dfuERROR.
#ifndef VELT_SIM_SERIAL_PROTOCOL_H
#define VELT_SIM_SERIAL_PROTOCOL_H

#include "../dfu_model/DfuModel.h"
#include "../common/DeviceFaults.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velt::sim {

// What the device puts on its line, in the order it decided it: bytes that
// go at once (handshake replies, acknowledgements) and reply frames, which
// the delay fault holds back.
struct Outgoing {
    std::vector<uint8_t> bytes;
    bool reply = false;
    uint32_t delayMs = 0;
};
using Output = std::vector<Outgoing>;

class SerialProtocol {
public:
    using Logger = std::function<void(const std::string&)>;

    SerialProtocol(DfuModel& model, const DeviceFaults& faults, Logger log = {});

    // Consumes the bytes that arrived; appends what the device sends to out.
    void feed(const uint8_t* data, size_t size, Output& out);

    // A frame has begun but not all of it has arrived.
    bool midFrame() const { return !input_.empty(); }
    // Forgets an incomplete frame (the host went quiet in the middle of it).
    void dropPartial();
    bool synchronised() const { return synchronised_; }

    // Requests 2, 3, 5 and 7 carry data to the host; the line does not send bmRequestType.
    static bool isDeviceToHost(uint8_t request);

    // The seed of faults=RATE[:SEED] in use (none without random faults).
    std::optional<uint64_t> faultSeed() const;

private:
    // What a random fault does to a frame's acknowledgement: the device's
    // own of a host frame, or the host's of a reply frame.
    // Flipped: bit 2, for the fixed key; Corrupt: a random bit.
    enum class AckFault { None, Lost, Corrupt, Flipped };

    size_t step(const uint8_t* data, size_t size, Output& out); // bytes consumed, 0 = need more
    void feedFaulty(const uint8_t* data, size_t size, Output& out);
    void logStrayBytes();
    // Rolls the dice for a complete host frame at offset of input_ that has
    // not been judged before; true when the bytes were changed (parse again).
    bool judgeHostFrame(size_t offset);
    void hitReply(Outgoing& reply);
    // The acknowledgement (0x00) or rejection (0xFF) of a host frame.
    void acknowledge(Output& out, uint8_t byte);
    // The host's acknowledgement of our reply; false when it never arrived.
    bool hostAcknowledgement(uint8_t& byte);
    void handshake(Output& out);
    void onFrame(const uint8_t* frame, size_t frameSize, const uint8_t* payload, size_t payloadSize, Output& out);
    void sendReply(Output& out, uint32_t delayMs);
    static void sendByte(Output& out, uint8_t byte);
    void log(const std::string& line) const;

    DfuModel& model_;
    DeviceFaults faults_;
    Logger log_;
    std::vector<uint8_t> input_;      // unconsumed bytes of an incomplete frame
    std::vector<uint8_t> reply_;      // the last reply frame, for repetition
    std::vector<uint8_t> stalled_;    // the last frame whose request was stalled
    std::vector<uint8_t> accepted_;   // the last frame, if it was a host-to-device request carried out
    bool awaitingReplyAck_ = false;
    bool synchronised_ = false;
    size_t strayBytes_ = 0;
    unsigned acceptedCount_ = 0;      // request frames acknowledged, for delay=MS@N

    RandomFaults random_;
    uint64_t streamPos_ = 0;          // position in the host's stream of input_[0]
    uint64_t judged_ = 0;             // host frames starting before this were judged
    AckFault frameAckFault_ = AckFault::None;
    bool rejectFrame_ = false;
    AckFault replyAckFault_ = AckFault::None;
};

} // namespace velt::sim

#endif
