#include "devices/OpenFailure.h"

#ifndef _WIN32
#include <velt/com_ports.h>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace veltdfu {

namespace {

#ifndef _WIN32
std::string PathOf(const DeviceRef& ref)
{
    if (!ref.byIndex)
        return ref.path;
    char path[DFU_PATH_SIZE] = {};
    return DFU_GetDevicePath(ref.index, path) == DFU_STATUS_SUCCESS ? std::string(path) : std::string();
}

std::string GroupName(gid_t gid)
{
    const struct group* g = getgrgid(gid);
    return g != nullptr ? g->gr_name : std::to_string(gid);
}

std::string NoAccess(const std::string& node, const struct stat& st)
{
    const std::string group = GroupName(st.st_gid);
    const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && st.st_gid != 0;
    std::string fix = groupMayUse ? "add the user to group " + group + " (sudo usermod -aG " + group +
                                        " $USER, then log in again)"
                                  : "give the port to group dialout with a udev rule (see "
                                    "packaging/udev/60-velt-dfu.rules) and add the user to that group";
    return "permission denied: " + node + " (group " + group + ") is not readable and writable for this user; " +
           fix;
}

std::string ProcessName(const std::string& pid)
{
    std::string comm;
    std::getline(std::ifstream("/proc/" + pid + "/comm"), comm);
    return "PID " + pid + " (" + comm + ")";
}

// The process that holds the lock every opener of a COM port takes here
// ("1: FLOCK  ADVISORY  WRITE 812 00:05:10 0 EOF", the node as
// major:minor:inode of its file system); "" when none does.
std::string LockHolder(const struct stat& node)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, " %02x:%02x:%llu ", major(node.st_dev), minor(node.st_dev),
                  static_cast<unsigned long long>(node.st_ino));
    while (std::getline(locks, line)) {
        const size_t at = line.find(wanted);
        if (line.find("FLOCK") == std::string::npos || at == std::string::npos)
            continue;
        const size_t pidStart = line.rfind(' ', at - 1) + 1;
        return ProcessName(line.substr(pidStart, at - pidStart));
    }
    return "";
}

// The processes other than this one with the node open, for a holder that
// took no lock (a terminal program, say). Other users' descriptors are not
// visible without privilege.
std::string Holders(const struct stat& node)
{
    std::string locker = LockHolder(node);
    if (!locker.empty())
        return locker;
    std::string holders;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return "";
    const std::string self = std::to_string(getpid());
    while (dirent* p = readdir(proc)) {
        const std::string pid = p->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        const std::string fds = "/proc/" + pid + "/fd";
        DIR* dir = opendir(fds.c_str());
        if (dir == nullptr)
            continue;
        bool holds = false;
        while (dirent* fd = readdir(dir)) {
            struct stat st;
            if (fd->d_name[0] != '.' && stat((fds + "/" + fd->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == node.st_rdev)
                holds = true;
        }
        closedir(dir);
        if (holds)
            holders += (holders.empty() ? "" : ", ") + ProcessName(pid);
    }
    closedir(proc);
    return holders;
}

// What the node says about a port that did not open.
std::string NodeProblem(const std::string& port, const std::string& node)
{
    struct stat st;
    if (stat(node.c_str(), &st) != 0) {
        if (errno == EACCES)
            return "permission denied: " + port + " leads to " + node + ", which this user may not reach";
        return "no such device: " + port + " leads to " + node + ", which does not exist (unplugged?)";
    }
    if (!S_ISCHR(st.st_mode))
        return "no such device: " + port + " leads to " + node + ", which is not a serial port";
    if (access(node.c_str(), R_OK | W_OK) != 0 && errno == EACCES)
        return NoAccess(node, st);
    const std::string holders = Holders(st);
    if (!holders.empty())
        return port + " (" + node + ") is held by another process: " + holders;
    return "";
}
#endif

} // namespace

std::string SerialOpenProblem(const DeviceRef& ref)
{
#ifdef _WIN32
    (void)ref;
    return "";
#else
    const std::string path = PathOf(ref);
    const std::string dos = "\\\\.\\";
    if (path.compare(0, 5, "/dev/") == 0)
        return NodeProblem(path, path);
    if (path.compare(0, dos.size(), dos) != 0)
        return "";
    const std::string name = path.substr(dos.size());
    const velt::ComPort port = velt::FindComPort(name);
    if (port.node.empty())
        return "no such port: " + name + " is no COM port of this host ('velt-dfu list' shows them)";
    return NodeProblem(name, port.node);
#endif
}

std::string NoAnswerHint(DFU_HANDLE handle, DFU_STATUS status)
{
    uint8_t kind = DFU_INTERFACE_USB;
    if (status != DFU_STATUS_TIMEOUT || DFU_GetOpenedInterface(handle, &kind) != DFU_STATUS_SUCCESS ||
        kind != DFU_INTERFACE_UART)
        return "";
    uint32_t baud = 0;
    uint8_t dataBits = 0, parity = 0, stopBits = 0, flow = 0;
    DFU_GetUartConfig(handle, &baud, &dataBits, &parity, &stopBits, &flow);
    return "no answer at " + std::to_string(baud) +
           " bit/s: a device on another rate never answers the link handshake; check --baud";
}

} // namespace veltdfu
