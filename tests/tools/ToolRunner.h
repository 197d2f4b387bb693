// Runs the real velt-dfu binary as a user would, with the current
// environment; its output goes through files so neither stream can block.
#ifndef VELT_TESTS_TOOLS_TOOLRUNNER_H
#define VELT_TESTS_TOOLS_TOOLRUNNER_H

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tooltest {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A run in the background, for tests that signal the tool while it works.
class ToolProcess {
public:
    explicit ToolProcess(const std::vector<std::string>& args)
    {
        char dir[] = "/tmp/velt-dfu-test-XXXXXX";
        if (mkdtemp(dir) == nullptr)
            return;
        dir_ = dir;
        outPath_ = dir_ + "/out";
        errPath_ = dir_ + "/err";
        pid_ = fork();
        if (pid_ == 0) {
            int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char*> argv{const_cast<char*>(VELT_DFU_TOOL)};
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(VELT_DFU_TOOL, argv.data());
            _exit(127);
        }
    }
    ~ToolProcess()
    {
        if (pid_ > 0)
            wait();
        unlink(outPath_.c_str());
        unlink(errPath_.c_str());
        rmdir(dir_.c_str());
    }
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    pid_t pid() const { return pid_; }
    std::string outSoFar() const { return Slurp(outPath_); }

    ToolRun wait()
    {
        ToolRun run;
        if (pid_ <= 0)
            return run;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = Slurp(outPath_);
        run.err = Slurp(errPath_);
        return run;
    }

private:
    std::string dir_, outPath_, errPath_;
    pid_t pid_ = -1;
};

// The standard output of a shell command; its exit status in *status if asked.
inline std::string Capture(const std::string& command, int* status = nullptr)
{
    std::string out;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, got);
        const int closed = pclose(pipe);
        if (status != nullptr)
            *status = closed;
    }
    return out;
}

inline ToolRun RunTool(const std::vector<std::string>& args)
{
    return ToolProcess(args).wait();
}

} // namespace tooltest

#endif
