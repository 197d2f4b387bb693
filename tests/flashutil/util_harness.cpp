#include "util_harness.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "hex/CHexImage.h"
#include "hex/HexWriter.h"

const char* const kConnectedLine = "Connected to Adapter SN: LKP00012345\n";
const char* const kClosingLines = "Disconnect successful.\nSuccess.  No errors reported.\n";

void UtilityTest::SetUp()
{
    char pattern[] = "/tmp/flashutil-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::filesystem::create_directory(dir_ + "/sim");
}

void UtilityTest::TearDown()
{
    if (!HasFailure()) std::filesystem::remove_all(dir_);
    else std::fprintf(stderr, "kept %s for inspection\n", dir_.c_str());
}

RunOutput UtilityTest::Run(const std::vector<std::string>& args)
{
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        close(fds[0]);
        if (chdir(dir_.c_str()) != 0) _exit(126);
        setenv("VELT_ADI_SIM_DIR", (dir_ + "/sim").c_str(), 1);
        if (fileSizeLimit_ != 0) {
            std::signal(SIGXFSZ, SIG_IGN);   // a write past the limit then fails with EFBIG
            const rlimit limit{rlim_t(fileSizeLimit_), rlim_t(fileSizeLimit_)};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(FLASHUTIL_EXE));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(FLASHUTIL_EXE, argv.data());
        _exit(127);
    }
    close(fds[1]);
    RunOutput result;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) result.out.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<std::string> UtilityTest::CallLog() const
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile("sim/calls.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> UtilityTest::Calls(const std::string& function) const
{
    std::vector<std::string> out;
    for (const std::string& line : CallLog())
        if (line.compare(0, function.size() + 1, function + " ") == 0) out.push_back(line);
    return out;
}

std::vector<uint8_t> UtilityTest::Flash(const std::string& serial) const
{
    std::string data = ReadFile("sim/flash-" + serial + ".bin");
    if (data.empty()) return std::vector<uint8_t>(256 * 1024, 0xFF);
    return std::vector<uint8_t>(data.begin(), data.end());
}

void UtilityTest::SetFlash(const std::vector<uint8_t>& flash, const std::string& serial)
{
    WriteFile("sim/flash-" + serial + ".bin", std::string(flash.begin(), flash.end()));
}

void UtilityTest::WriteFile(const std::string& name, const std::string& contents) const
{
    std::ofstream(Path(name), std::ios::binary) << contents;
}

std::string UtilityTest::ReadFile(const std::string& name) const
{
    std::ifstream in(Path(name), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool UtilityTest::Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }

std::vector<std::string> UtilityTest::Entries(const std::string& name) const
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Path(name)))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string MakeHex(const std::vector<HexBlock>& blocks)
{
    CHexImage image;
    std::map<int32_t, size_t> used; // page -> its bytes up to the last one given
    for (const HexBlock& b : blocks) {
        image.SetBytes(b.address, b.bytes.data(), b.bytes.size());
        for (uint32_t a = b.address; a < b.address + b.bytes.size(); ++a) {
            size_t& end = used[static_cast<int32_t>(a / 1024)];
            end = std::max<size_t>(end, a % 1024 + 1);
        }
    }
    for (const auto& [page, size] : used) {
        std::vector<uint8_t> bytes = image.GetPage(page);
        bytes.resize(size);
        image.PutPage(page, bytes);
    }
    return ToHexText(image);
}
