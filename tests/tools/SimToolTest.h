// A test of velt-dfu as a process against simulated devices: a private work
// directory, the simulator started on it and exported to the tool, and the
// lookups both sides need (files, a USB device's path, the device's log).
#ifndef VELT_TESTS_TOOLS_SIM_TOOL_TEST_H
#define VELT_TESTS_TOOLS_SIM_TOOL_TEST_H

#include "SimProcess.h"
#include "ToolRunner.h"
#include "ToolText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tooltest {

class SimToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/velt-dfu-tool-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        work_ = dir;
    }
    void TearDown() override
    {
        sim_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(work_, ignored);
    }
    void Start(const std::vector<std::string>& devices)
    {
        sim_ = std::make_unique<velt::sim::SimProcess>(devices);
        sim_->exportEnvironment();
    }
    std::string File(const std::string& name) const { return work_ + "/" + name; }
    // The device path the simulator wrote for a USB device.
    std::string UsbPath(const std::string& name) const
    {
        const std::string dev = Slurp(sim_->usbDir() + "/" + name + ".dev");
        return dev.substr(5, dev.find('\n') - 5);
    }
    // The simulator's log lines for one device, with their times.
    std::vector<std::string> LogLinesOf(const std::string& device) const
    {
        std::vector<std::string> lines;
        for (const std::string& line : Lines(sim_->readLog()))
            if (Contains(line, " " + device + " "))
                lines.push_back(line);
        return lines;
    }

    std::string work_;
    std::unique_ptr<velt::sim::SimProcess> sim_;
};

} // namespace tooltest

#endif
