// Small fixtures shared by the library's tests: temporary directories, a
// dosdevices directory the platform layer lists, and environment overrides.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace velt::test {

inline void RemoveTree(const std::string& path)
{
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string child = path + "/" + name;
            struct stat info {};
            if (lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                RemoveTree(child);
            else
                unlink(child.c_str());
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

class TempDir
{
public:
    TempDir()
    {
        char pattern[] = "/tmp/velt-dfu-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir() { RemoveTree(m_path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }

    // A dosdevices entry: a symbolic link named like COM7 to a tty.
    void Link(const std::string& name, const std::string& target) const
    {
        if (symlink(target.c_str(), (m_path + "/" + name).c_str()) != 0)
            throw std::runtime_error("symlink failed for " + name);
    }

private:
    std::string m_path;
};

// Points the platform layer at private device directories for one test.
class ScopedDeviceDirs
{
public:
    ScopedDeviceDirs(const std::string& dosDevices, const std::string& usbDevices)
    {
        setenv("VELT_DOSDEVICES", dosDevices.c_str(), 1);
        setenv("VELT_USBDEVICES", usbDevices.c_str(), 1);
        setenv("VELT_COMPORTS", "none", 1);  // no host serial ports among the test's devices
    }
    ~ScopedDeviceDirs()
    {
        unsetenv("VELT_DOSDEVICES");
        unsetenv("VELT_USBDEVICES");
        unsetenv("VELT_COMPORTS");
    }
};

} // namespace velt::test
