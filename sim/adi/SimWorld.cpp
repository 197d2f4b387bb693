#include "SimWorld.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace adisim {
namespace {

const char* kDefaultSerial = "LKP00012345";

std::string DefaultDirectory()
{
#if defined(_WIN32)
    const char* home = std::getenv("USERPROFILE");
#else
    const char* home = std::getenv("HOME");
#endif
    if (!home || !*home) return ".velt-adi-sim";
    return std::string(home) + "/.velt/adi-sim";
}

bool ParseNumber(const std::string& text, unsigned long& value)
{
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, 0);
    return *end == '\0';
}

void Warn(unsigned lineNo, const std::string& what)
{
    std::fprintf(stderr, "adi-sim: scenario line %u: %s (ignored)\n", lineNo, what.c_str());
}

} // namespace

World& World::Get()
{
    static World world;
    return world;
}

World::World()
{
    const char* dir = std::getenv("VELT_ADI_SIM_DIR");
    dir_ = (dir && *dir) ? dir : DefaultDirectory();
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    LoadScenario();
}

World World::FromScenarioText(const std::string& text)
{
    World world{NoDirectory{}};
    world.ApplyScenario(text);
    return world;
}

void World::LoadScenario()
{
    std::string text;
    if (FILE* f = std::fopen((dir_ + "/scenario").c_str(), "rb")) {
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
        std::fclose(f);
    }
    ApplyScenario(text);
}

void World::ApplyScenario(const std::string& text)
{
    bool sawAdapterLine = false;
    std::istringstream in(text);
    std::string line;
    unsigned lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        std::string first;
        if (!(words >> first)) continue;
        if (first == "adapter" || first == "adapters") sawAdapterLine = true;
        ParseScenarioLine(line, lineNo);
    }
    if (!sawAdapterLine) {
        Adapter a;
        a.serial = kDefaultSerial;
        adapters_.push_back(a);
    }
}

void World::ParseScenarioLine(const std::string& line, unsigned lineNo)
{
    std::istringstream words(line);
    std::string key;
    words >> key;
    std::vector<std::string> args;
    for (std::string w; words >> w;) args.push_back(w);

    if (key == "adapters") {
        if (args.size() != 1 || args[0] != "none") Warn(lineNo, "expected 'adapters none'");
        return;
    }
    if (key == "adapter") {
        if (args.empty()) return Warn(lineNo, "adapter without a serial number");
        Adapter a;
        a.serial = args[0];
        for (size_t i = 1; i < args.size(); ++i) {
            unsigned long v = 0;
            if (args[i] == "running") {
                a.targetRunning = true;
            } else if (args[i].rfind("verify-fault=", 0) == 0 && ParseNumber(args[i].substr(13), v) &&
                       v < kFlashSize) {
                a.verifyFaultPage = static_cast<uint32_t>(v / kPageSize);
            } else {
                Warn(lineNo, "unknown adapter option " + args[i]);
            }
        }
        adapters_.push_back(a);
        return;
    }
    if (key == "library") {
        unsigned long major = 0, minor = 0;
        if (args.size() != 3 || !ParseNumber(args[0], major) || !ParseNumber(args[1], minor) ||
            (args[2] != "release" && args[2] != "debug"))
            return Warn(lineNo, "expected 'library MAJOR MINOR release|debug'");
        major_ = static_cast<uint8_t>(major);
        minor_ = static_cast<uint8_t>(minor);
        release_ = args[2] == "release";
        return;
    }
    if (key == "status" || key == "connected") {
        if (key == "status" && args.empty()) return Warn(lineNo, "status without a function name");
        std::vector<int32_t> values;
        for (size_t i = key == "status" ? 1 : 0; i < args.size(); ++i) {
            unsigned long v = 0;
            if (!ParseNumber(args[i], v) || (key == "status" && v > 255))
                return Warn(lineNo, "bad value " + args[i]);
            values.push_back(static_cast<int32_t>(v));
        }
        if (key == "connected") {
            connectedAnswers_ = values;
        } else {
            std::vector<uint8_t>& list = scripted_[args[0]];
            list.clear();
            for (int32_t v : values) list.push_back(static_cast<uint8_t>(v));
        }
        return;
    }
    Warn(lineNo, "unknown keyword " + key);
}

uint8_t World::NextScriptedStatus(const std::string& function)
{
    size_t call = callCount_[function]++;
    auto it = scripted_.find(function);
    if (it == scripted_.end() || call >= it->second.size()) return 0;
    return it->second[call];
}

bool World::NextScriptedConnected(int32_t& answer)
{
    if (connectedCalls_ >= connectedAnswers_.size()) return false;
    answer = connectedAnswers_[connectedCalls_++];
    return true;
}

Adapter* World::FromHandle(uint32_t handle)
{
    if (handle < 0x1000u || handle - 0x1000u >= adapters_.size()) return nullptr;
    Adapter& a = adapters_[handle - 0x1000u];
    return a.open ? &a : nullptr;
}

std::string World::FlashPath(const Adapter& a) const
{
    std::string name;
    for (char c : a.serial) {
        bool safe = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_';
        name += safe ? c : '_';
    }
    return dir_ + "/flash-" + name + ".bin";
}

std::vector<uint8_t>& World::Flash(Adapter& a)
{
    if (a.flashLoaded) return a.flash;
    a.flash.assign(kFlashSize, 0xFF);
    if (FILE* f = std::fopen(FlashPath(a).c_str(), "rb")) {
        std::vector<uint8_t> stored(kFlashSize);
        if (std::fread(stored.data(), 1, kFlashSize, f) == kFlashSize) a.flash = stored;
        std::fclose(f);
    }
    a.flashLoaded = true;
    return a.flash;
}

namespace {

// A short write (a full disk) counts as a failure, as a failed open does.
bool WriteWholeFile(const std::string& path, const void* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool written = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && written;
}

}

void World::SaveFlash(const Adapter& a)
{
    if (!WriteWholeFile(FlashPath(a), a.flash.data(), a.flash.size()))
        std::fprintf(stderr, "adi-sim: cannot save flash to %s\n", FlashPath(a).c_str());
}

void World::SaveCopy(const std::string& name, const std::string& contents)
{
    if (!WriteWholeFile(dir_ + "/" + name, contents.data(), contents.size()))
        std::fprintf(stderr, "adi-sim: cannot save %s\n", (dir_ + "/" + name).c_str());
}

void World::Log(const std::string& line)
{
    if (FILE* f = std::fopen((dir_ + "/calls.log").c_str(), "ab")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

} // namespace adisim
