// Runs velt-dfu-sim for a test: a private temporary directory for the USB
// devices, the COMn links and the event log, started and stopped with the
// object's lifetime.
//
//   velt::sim::SimProcess sim({"--usb", "serial=A1", "--com", "COM7,busy=2"});
//   sim.exportEnvironment();   // the library under test now finds these devices
//
// stop() ends the simulator (its flash files are saved and its sockets, .dev
// files and links removed) but keeps the temporary directory, so a test can
// still read the log and look at the directories; the destructor removes it.
#ifndef VELT_SIM_TESTING_SIM_PROCESS_H
#define VELT_SIM_TESTING_SIM_PROCESS_H

#ifndef VELT_SIM_BINARY
#error "link the velt_sim_testing target, which defines VELT_SIM_BINARY"
#endif

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace velt::sim {

class SimProcess {
public:
    // Starts velt-dfu-sim with deviceArgs plus --usb-dir, --dosdevices and
    // --log in a fresh temporary directory; waits (up to 10 s) for READY.
    // Throws std::runtime_error with the simulator's message on failure.
    explicit SimProcess(const std::vector<std::string>& deviceArgs)
    {
        char pattern[] = "/tmp/velt-sim-XXXXXX";
        if (!::mkdtemp(pattern))
            throw std::runtime_error(std::string("SimProcess: mkdtemp: ") + std::strerror(errno));
        root_ = pattern;
        usbDir_ = root_ + "/usb";
        dosDir_ = root_ + "/dosdevices";
        logPath_ = root_ + "/sim.log";
        errPath_ = root_ + "/stderr.txt";
        ::mkdir(usbDir_.c_str(), 0755);
        ::mkdir(dosDir_.c_str(), 0755);
        try {
            start(deviceArgs);
        } catch (...) {
            cleanup();
            throw;
        }
    }

    ~SimProcess() { cleanup(); }

    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& usbDir() const { return usbDir_; }
    const std::string& dosDevicesDir() const { return dosDir_; }
    const std::string& logPath() const { return logPath_; }

    std::string readLog() const { return readFile(logPath_); }

    void exportEnvironment() const
    {
        ::setenv("VELT_USBDEVICES", usbDir_.c_str(), 1);
        ::setenv("VELT_DOSDEVICES", dosDir_.c_str(), 1);
        // The host's own serial ports would join the simulated ones.
        ::setenv("VELT_COMPORTS", "none", 1);
    }

    // SIGTERM and wait; idempotent. The temporary directory stays until destruction.
    void stop()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            ::usleep(2000);
        }
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        pid_ = -1;
        if (readyFd_ >= 0)
            ::close(readyFd_);
        readyFd_ = -1;
    }

    // Exit code of the simulator after stop() (-1 while it runs).
    int exitStatus() const { return exitStatus_; }
    pid_t pid() const { return pid_; }
    // What the simulator wrote to standard error.
    std::string errorOutput() const { return readFile(errPath_); }

private:
    static std::string readFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    void start(const std::vector<std::string>& deviceArgs)
    {
        std::vector<std::string> args{VELT_SIM_BINARY, "--usb-dir", usbDir_, "--dosdevices", dosDir_, "--log", logPath_};
        args.insert(args.end(), deviceArgs.begin(), deviceArgs.end());
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);

        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("SimProcess: pipe failed");
        pid_ = ::fork();
        if (pid_ < 0) {
            ::close(out[0]);
            ::close(out[1]);
            throw std::runtime_error("SimProcess: fork failed");
        }
        if (pid_ == 0) {
            // The test may block signals on its threads; the simulator must see SIGTERM.
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::dup2(out[1], STDOUT_FILENO);
            int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0)
                ::dup2(err, STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        readyFd_ = out[0];
        waitForReady();
    }

    void waitForReady()
    {
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (text.find("READY\n") == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd fd{readyFd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
                fail("no READY within 10 s");
            char buffer[256];
            ssize_t n = ::read(readyFd_, buffer, sizeof buffer);
            if (n <= 0)
                fail("exited before READY");
            text.append(buffer, static_cast<size_t>(n));
        }
    }

    [[noreturn]] void fail(const std::string& what)
    {
        stop();
        throw std::runtime_error("velt-dfu-sim " + what + " (exit " + std::to_string(exitStatus_) + "): " + errorOutput());
    }

    void cleanup()
    {
        stop();
        if (!root_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(root_, ignored);
            root_.clear();
        }
    }

    std::string root_, usbDir_, dosDir_, logPath_, errPath_;
    pid_t pid_ = -1;
    int readyFd_ = -1;
    int exitStatus_ = -1;
};

} // namespace velt::sim

#endif
