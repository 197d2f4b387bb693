#include "Runner.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace veltdfu {

namespace {

// Events from the device threads to the rendering thread, and how many
// devices are done. Events travel as values: nothing is shared but the queue.
struct Posted {
    size_t device; // index in the list of devices
    ProgressEvent event;
};

class EventQueue {
public:
    void push(size_t device, ProgressEvent event)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back({device, std::move(event)});
        }
        ready_.notify_one();
    }

    void finished(size_t device, int exitCode, std::vector<DeviceRun>& runs)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            runs[device].exitCode = exitCode;
            ++finished_;
        }
        ready_.notify_one();
    }

    // Waits for events or the last device's end; false once every device has
    // finished and its events have all been taken.
    bool take(std::deque<Posted>& out, size_t devices)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return !events_.empty() || finished_ == devices; });
        out.swap(events_);
        return !out.empty() || finished_ != devices;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Posted> events_;
    size_t finished_ = 0;
};

// What a device thread's job sees as its renderer.
class QueueSink : public ProgressRenderer {
public:
    QueueSink(EventQueue& queue, size_t device) : queue_(queue), device_(device) {}
    void render(const ProgressEvent& event) override { queue_.push(device_, event); }

private:
    EventQueue& queue_;
    size_t device_;
};

ProgressEvent MissingResult(const DeviceRef& device)
{
    ProgressEvent event;
    event.kind = ProgressEvent::Kind::Result;
    event.device = device.label();
    event.operation = "download";
    event.outcome.reason = "device";
    event.outcome.message = "device " + device.label() + " gave no result";
    return event;
}

} // namespace

std::vector<DeviceRun> RunOnDevices(const std::vector<DeviceRef>& devices, const DeviceJob& job,
                                    ProgressRenderer& renderer)
{
    std::vector<DeviceRun> runs(devices.size());
    std::vector<bool> reported(devices.size(), false);
    EventQueue queue;
    std::vector<std::thread> threads;
    threads.reserve(devices.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        threads.emplace_back([&, i] {
            int exitCode = kExitFailure;
            try {
                QueueSink sink(queue, i);
                exitCode = job(devices[i], sink);
            } catch (const std::exception& error) {
                ProgressEvent problem;
                problem.kind = ProgressEvent::Kind::Problem;
                problem.device = devices[i].label();
                problem.text = "device " + devices[i].label() + ": " + error.what();
                queue.push(i, problem);
            }
            queue.finished(i, exitCode, runs);
        });
    }

    // A device's events all come from its one thread, so the queue keeps
    // them in order.
    std::deque<Posted> batch;
    while (queue.take(batch, devices.size())) {
        for (Posted& posted : batch) {
            renderer.render(posted.event);
            if (posted.event.kind == ProgressEvent::Kind::Result && !reported[posted.device]) {
                runs[posted.device].result = std::move(posted.event);
                reported[posted.device] = true;
            }
        }
        batch.clear();
    }
    for (std::thread& thread : threads)
        thread.join();
    for (size_t i = 0; i < devices.size(); ++i) {
        if (!reported[i]) {
            runs[i].result = MissingResult(devices[i]);
            renderer.render(runs[i].result);
        }
    }
    return runs;
}

int CombinedExitCode(const std::vector<DeviceRun>& runs)
{
    int code = kExitOk;
    for (const DeviceRun& run : runs) {
        if (run.exitCode == kExitCancelled)
            return kExitCancelled;
        if (run.exitCode != kExitOk)
            code = kExitFailure;
    }
    return code;
}

} // namespace veltdfu
