// A device on the other end of the USB socket protocol, run on a thread of
// the test, so the backend is tested without the simulator program.
#ifndef VELT_TESTS_PLATFORM_FAKE_USB_DEVICE_H
#define VELT_TESTS_PLATFORM_FAKE_USB_DEVICE_H

#include <velt/usbsock.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeUsbDevice {
public:
    // Requests with these bRequest values get special treatment.
    static constexpr uint8_t kStallRequest = 0xFF;   // answered with error 31
    static constexpr uint8_t kSlowRequest = 0xEE;    // answered after slowReplyMs
    static constexpr uint8_t kHangUpRequest = 0xDD;  // connection closed, no answer

    // Binds <dir>/<stem>.sock, listens, then publishes <dir>/<stem>.dev
    // (with the lines of moreDev after path and guid).
    FakeUsbDevice(const std::string& dir, const std::string& stem, const std::string& path,
                  const std::string& guid, const std::string& moreDev = "");
    ~FakeUsbDevice();

    std::atomic<int> slowReplyMs{400};

    struct Logged {
        uint8_t op;
        uint32_t arg0, arg1;
        std::vector<uint8_t> data;
        std::vector<uint8_t> setup;
    };
    std::vector<Logged> Log();

private:
    void Run();
    void Serve(int client, std::vector<uint8_t>& rx, bool& drop);
    void Reply(int client, uint32_t seq, uint32_t error, const std::vector<uint8_t>& data);

    int listenFd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex logLock_;
    std::vector<Logged> log_;
    std::vector<uint8_t> lastOut_;  // echoed by IN control requests
};

#endif
