// One device command's reporting and its ending: every line a download or
// an upload shows goes through its Session to the one renderer, and every
// step that can end the command returns an Ending.
#ifndef VELT_DFU_TOOL_RUN_SESSION_H
#define VELT_DFU_TOOL_RUN_SESSION_H

#include "Device.h"
#include "Progress.h"

#include <VELT_DFU.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltdfu {

// How a device command ends: its result for the renderer and its exit code,
// and whether a fresh attempt could end differently.
struct Ending {
    TransferOutcome outcome;
    int exitCode = kExitFailure;
    bool retryable = false;  // a failure of the transfer or of the device, not of the input
    bool deviceLost = false; // the device did not answer afterwards: reopen before trying again
};

// One device command's reporting: every line it shows goes to the renderer.
class Session {
public:
    // `device` identifies the device for programs (its path, where known);
    // `label` is the name people know it by.
    Session(ProgressRenderer& renderer, std::string device, std::string label, const char* operation)
        : renderer_(renderer), device_(std::move(device)), label_(std::move(label)), operation_(operation)
    {
    }

    // The device as people know it, for every message.
    const std::string& device() const { return label_; }
    const char* operation() const { return operation_; }
    uint16_t transferSize = 0;

    void note(const std::string& text) { render(ProgressEvent::Kind::Note, text); }
    void problem(const std::string& text) { render(ProgressEvent::Kind::Problem, text); }

    void begin(const char* what, std::optional<uint64_t> total)
    {
        ProgressEvent event = make(ProgressEvent::Kind::Begin, what);
        event.total = total;
        event.transferSize = transferSize;
        renderer_.render(event);
        transferBegan_ = event.at;
    }
    void advance(uint64_t bytes)
    {
        ProgressEvent event = make(ProgressEvent::Kind::Advance, "");
        event.bytes = bytes;
        renderer_.render(event);
    }
    // Seconds since begin().
    double finish()
    {
        ProgressEvent event = make(ProgressEvent::Kind::Finish, "");
        renderer_.render(event);
        return std::chrono::duration<double>(event.at - transferBegan_).count();
    }

    void retry(uint32_t attempt, uint32_t attempts, const std::string& text, const TransferOutcome& failure)
    {
        ProgressEvent event = make(ProgressEvent::Kind::Retry, text);
        event.operation = operation_;
        event.attempt = attempt;
        event.attempts = attempts;
        event.outcome = failure;
        renderer_.render(event);
    }

    // What the device is, for every result from now on.
    void identify(const std::string& serial, const std::string& vidPid)
    {
        serial_ = serial;
        vidPid_ = vidPid;
    }

    // The device's last event; gives the exit code.
    int end(Ending ending)
    {
        ProgressEvent event = make(ProgressEvent::Kind::Result, "");
        if (ending.outcome.serial.empty())
            ending.outcome.serial = serial_;
        if (ending.outcome.vidPid.empty())
            ending.outcome.vidPid = vidPid_;
        ending.outcome.seconds = std::chrono::duration<double>(event.at - began_).count();
        event.operation = operation_;
        event.transferSize = transferSize;
        event.outcome = std::move(ending.outcome);
        renderer_.render(event);
        return ending.exitCode;
    }

    // A failure that no other attempt would change: said once.
    Ending fail(const std::string& reason, uint8_t status, const std::string& message, int exitCode = kExitFailure)
    {
        problem(message);
        Ending ending;
        ending.outcome.reason = reason;
        ending.outcome.status = status;
        ending.outcome.message = message;
        ending.exitCode = exitCode;
        return ending;
    }

private:
    ProgressEvent make(ProgressEvent::Kind kind, const std::string& text) const
    {
        ProgressEvent event;
        event.kind = kind;
        event.device = device_;
        event.label = label_;
        event.text = text;
        return event;
    }
    void render(ProgressEvent::Kind kind, const std::string& text) { renderer_.render(make(kind, text)); }

    ProgressRenderer& renderer_;
    std::string device_;
    std::string label_;
    std::string serial_;
    std::string vidPid_;
    const char* operation_;
    ProgressClock::time_point began_ = ProgressClock::now();
    ProgressClock::time_point transferBegan_ = began_;
};

using Step = std::optional<Ending>; // nothing: go on with the next step

// The device and how it is reached, once it is open, and what it is.
struct Target {
    std::unique_ptr<OpenDevice> device;
    bool usb = true;
    std::string path;    // as the library opened it
    std::string vidPid;  // "F055:D0F1" (USB)
    std::string serial;  // USB, where the device has one
    std::string comName; // "COM7"
};

Ending Cancelled(Session& session, const std::string& what);

std::string Hex(unsigned value, int digits);
std::string Seconds(double seconds);
std::string Rate(uint64_t bytes, double seconds);
std::string Join(const std::vector<std::string>& parts, const char* between);
// "device status errTARGET (3), state dfuERROR (10)"
std::string DeviceStatusText(const DFU_GETSTATUS_RESULT& reply);

} // namespace veltdfu

#endif
