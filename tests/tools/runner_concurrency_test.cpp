// The runner that flashes several devices at once, in-process, so that the
// thread sanitizer sees every thread: events reach the renderer on the
// caller's thread only, each device's in its own order; a cancel reaches
// every device; and real downloads on simulated devices, one handle per thread.
#include "Cancel.h"
#include "Commands.h"
#include "ImageCommands.h"
#include "Runner.h"
#include "SimProcess.h"
#include "ToolText.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

using namespace veltdfu;

namespace {

// Records what it is given, and from which thread.
class Recorder : public ProgressRenderer {
public:
    void render(const ProgressEvent& event) override
    {
        if (std::this_thread::get_id() != owner_)
            ++foreignCalls;
        events[event.device].push_back(event);
    }

    std::thread::id owner_ = std::this_thread::get_id();
    int foreignCalls = 0;
    std::map<std::string, std::vector<ProgressEvent>> events;
};

ProgressEvent Event(ProgressEvent::Kind kind, const DeviceRef& device, uint64_t bytes)
{
    ProgressEvent event;
    event.kind = kind;
    event.device = device.label();
    event.bytes = bytes;
    return event;
}

std::vector<DeviceRef> Devices(size_t count)
{
    std::vector<DeviceRef> devices;
    for (size_t i = 0; i < count; ++i)
        devices.push_back(ParseDeviceRef("COM" + std::to_string(i + 1)));
    return devices;
}

TEST(Runner, EventsReachTheRendererOnItsThreadInEachDevicesOrder)
{
    constexpr uint64_t kEvents = 2000;
    const std::vector<DeviceRef> devices = Devices(12);
    Recorder recorder;
    const std::vector<DeviceRun> runs = RunOnDevices(
        devices,
        [](const DeviceRef& device, ProgressRenderer& events) {
            events.render(Event(ProgressEvent::Kind::Begin, device, 0));
            for (uint64_t i = 1; i <= kEvents; ++i)
                events.render(Event(ProgressEvent::Kind::Advance, device, i));
            ProgressEvent result = Event(ProgressEvent::Kind::Result, device, kEvents);
            // Every third device fails.
            const bool ok = device.path.back() % 3 != 0;
            result.outcome.ok = ok;
            result.outcome.bytes = kEvents;
            events.render(result);
            return ok ? kExitOk : kExitFailure;
        },
        recorder);

    EXPECT_EQ(recorder.foreignCalls, 0);
    ASSERT_EQ(runs.size(), devices.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        const auto& seen = recorder.events[devices[i].label()];
        ASSERT_EQ(seen.size(), kEvents + 2) << devices[i].label();
        for (uint64_t k = 1; k <= kEvents; ++k)
            ASSERT_EQ(seen[k].bytes, k) << devices[i].label();
        EXPECT_EQ(seen.back().kind, ProgressEvent::Kind::Result);
        EXPECT_EQ(runs[i].result.device, devices[i].label()) << "results in the order the devices were named";
        EXPECT_EQ(runs[i].exitCode, runs[i].result.outcome.ok ? kExitOk : kExitFailure);
    }
    EXPECT_EQ(CombinedExitCode(runs), kExitFailure);
}

TEST(Runner, ADeviceWithoutAResultStillGetsOneAndAThrowDoesNotStopTheOthers)
{
    Recorder recorder;
    const std::vector<DeviceRef> devices = Devices(3);
    const std::vector<DeviceRun> runs = RunOnDevices(
        devices,
        [](const DeviceRef& device, ProgressRenderer& events) -> int {
            if (device.path.back() == '2')
                throw std::runtime_error("out of threads");
            ProgressEvent result = Event(ProgressEvent::Kind::Result, device, 0);
            result.outcome.ok = true;
            events.render(result);
            return kExitOk;
        },
        recorder);
    EXPECT_TRUE(runs[0].result.outcome.ok);
    EXPECT_FALSE(runs[1].result.outcome.ok);
    EXPECT_EQ(runs[1].exitCode, kExitFailure);
    EXPECT_EQ(recorder.events[devices[1].label()].front().kind, ProgressEvent::Kind::Problem);
    EXPECT_EQ(recorder.events[devices[1].label()].back().kind, ProgressEvent::Kind::Result);
    EXPECT_TRUE(runs[2].result.outcome.ok);
}

TEST(Runner, CancelReachesEveryDevice)
{
    CancelOnSignal cancelOnSignal; // starts uncancelled
    std::atomic<int> running{0};
    std::thread canceller([&] {
        while (running.load() < 6)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        RequestCancel();
    });
    Recorder recorder;
    const std::vector<DeviceRun> runs = RunOnDevices(
        Devices(6),
        [&](const DeviceRef& device, ProgressRenderer& events) {
            running.fetch_add(1);
            uint64_t blocks = 0;
            while (!CancelRequested())
                events.render(Event(ProgressEvent::Kind::Advance, device, ++blocks));
            ProgressEvent result = Event(ProgressEvent::Kind::Result, device, blocks);
            result.outcome.reason = "cancelled";
            events.render(result);
            return kExitCancelled;
        },
        recorder);
    canceller.join();
    for (const DeviceRun& run : runs)
        EXPECT_EQ(run.exitCode, kExitCancelled);
    EXPECT_EQ(CombinedExitCode(runs), kExitCancelled);
}

TEST(Runner, DownloadsToSimulatedDevicesEachOnItsOwnHandle)
{
    char dir[] = "/tmp/velt-dfu-runner-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string work = dir;
    {
        velt::sim::SimProcess sim({"--com", "COM7,flash=" + work + "/com7.bin", "--com", "COM8,flash=" + work + "/com8.bin",
                                   "--usb", "serial=A,flash=" + work + "/a.bin", "--usb", "serial=B,flash=" + work + "/b.bin"});
        sim.exportEnvironment();
        const tooltest::Bytes image = tooltest::Pattern(20000, 41);
        tooltest::WriteBytes(work + "/image.bin", image);
        const std::string guid = "#{04c77e93-b54d-4714-ac96-15a62bfa307b}";
        const std::string devices = "COM7,COM8,\\\\?\\usb#vid_f055&pid_d0f1#A" + guid + ",\\\\?\\usb#vid_f055&pid_d0f1#B" + guid;
        Invocation invocation;
        invocation.command = "download";
        invocation.operands = {devices, work + "/image.bin"};
        invocation.verify = true;
        invocation.json = true;
        CommandContext context{invocation, nullptr};
        EXPECT_EQ(RunDownload(context), kExitOk);
        sim.stop();
        for (const char* flash : {"/com7.bin", "/com8.bin", "/a.bin", "/b.bin"}) {
            const tooltest::Bytes written = tooltest::ReadBytes(work + flash);
            ASSERT_GE(written.size(), image.size()) << flash;
            EXPECT_TRUE(std::equal(image.begin(), image.end(), written.begin())) << flash;
        }
    }
    std::filesystem::remove_all(work);
}

} // namespace
