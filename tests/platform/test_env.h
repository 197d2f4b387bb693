// A private device namespace per test: temporary dosdevices and usbdevices
// directories, pointed at through the environment.
#ifndef VELT_TESTS_PLATFORM_TEST_ENV_H
#define VELT_TESTS_PLATFORM_TEST_ENV_H

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

class TempDeviceDirs {
public:
    TempDeviceDirs() {
        char tmpl[] = "/tmp/velt-platform-XXXXXX";
        root_ = mkdtemp(tmpl);
        std::filesystem::create_directory(dos());
        std::filesystem::create_directory(usb());
        setenv("VELT_DOSDEVICES", dos().c_str(), 1);
        setenv("VELT_USBDEVICES", usb().c_str(), 1);
        setenv("VELT_COMPORTS", "none", 1);  // no host serial ports among the test's devices
    }
    ~TempDeviceDirs() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    std::string dos() const { return root_ + "/dos"; }
    std::string usb() const { return root_ + "/usb"; }
    std::string root() const { return root_; }

private:
    std::string root_;
};

#endif
