// velt-dfu-sim: simulated DFU devices on USB sockets and serial ptys.
#include "../common/EventLog.h"
#include "../common/Options.h"
#include "DeviceFactory.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velt::sim;

namespace {

int waitForTermination()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    int signal = 0;
    sigwait(&set, &signal);
    return signal;
}

// Shuts down every device (in reverse order of creation); false if any flash could not be saved.
bool shutdownAll(std::vector<std::unique_ptr<SimDevice>>& devices)
{
    bool ok = true;
    for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
        try {
            (*it)->shutdown();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velt-dfu-sim: %s: %s\n", (*it)->name().c_str(), e.what());
            ok = false;
        }
    }
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    CommandLine cl;
    try {
        cl = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "velt-dfu-sim: %s\n", e.what());
        return 2;
    }
    if (cl.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }

    // Termination signals are taken by sigwait on the main thread only; the
    // device threads inherit the blocked mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    EventLog log;
    std::vector<std::unique_ptr<SimDevice>> devices;
    try {
        log.open(cl.logPath);
        for (const auto& cfg : cl.devices)
            devices.push_back(makeDevice(cfg, cl, log));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velt-dfu-sim: %s\n", e.what());
        shutdownAll(devices);
        return 1;
    }

    int stopPipe[2];
    if (::pipe(stopPipe) != 0) {
        std::perror("velt-dfu-sim: pipe");
        shutdownAll(devices);
        return 1;
    }
    std::vector<std::thread> threads;
    threads.reserve(devices.size());
    for (auto& device : devices)
        threads.emplace_back([&device, &stopPipe] { device->run(stopPipe[0]); });

    std::printf("READY\n");
    std::fflush(stdout);
    int signal = waitForTermination();
    log.write("sim", "signal " + std::to_string(signal) + ", shutting down");

    // Closing the write end makes the read end readable for every device thread.
    ::close(stopPipe[1]);
    for (auto& thread : threads)
        thread.join();
    ::close(stopPipe[0]);
    bool ok = shutdownAll(devices);
    log.write("sim", "stopped");
    return ok ? 0 : 1;
}
