// The simulated world behind the stand-in adapter library: the adapters on
// the bus, the target behind each of them, the scripted answers of the
// scenario file and the call log. One world per process, loaded from the
// simulation directory on first use.
#ifndef VELT_SIM_ADI_WORLD_H
#define VELT_SIM_ADI_WORLD_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace adisim {

constexpr uint32_t kFlashSize = 256 * 1024;
constexpr uint32_t kPageSize = 1024;
constexpr uint32_t kNoFault = 0xFFFFFFFFu;

struct Adapter {
    std::string serial;
    bool targetRunning = false;
    uint32_t verifyFaultPage = kNoFault;    // page whose verify always mismatches
    // State of this process's session with the adapter.
    bool open = false;
    bool connected = false;
    bool flashLoaded = false;
    std::vector<uint8_t> flash;
};

class World {
public:
    static World& Get();
    // A world made from a scenario's text alone, with no directory behind
    // it: what a scenario file says, for checking it without a session.
    static World FromScenarioText(const std::string& text);

    std::vector<Adapter>& Adapters() { return adapters_; }
    uint8_t LibraryMajor() const { return major_; }
    uint8_t LibraryMinor() const { return minor_; }
    bool LibraryRelease() const { return release_; }

    // The scripted status of the next call of `function`: 0 means "behave
    // normally", anything else is returned without any effect.
    uint8_t NextScriptedStatus(const std::string& function);
    // The scripted answer of the next ADIU_IsConnected call, if any.
    bool NextScriptedConnected(int32_t& answer);

    // Handle values are opaque to the caller; 0 is never handed out.
    Adapter* FromHandle(uint32_t handle);
    static uint32_t HandleOf(uint32_t index) { return 0x1000u + index; }

    std::vector<uint8_t>& Flash(Adapter& a);
    void SaveFlash(const Adapter& a);

    void Log(const std::string& line);
    // Writes a file of the given name into the simulation directory.
    void SaveCopy(const std::string& name, const std::string& contents);
    const std::string& Directory() const { return dir_; }

private:
    World();
    struct NoDirectory {};
    explicit World(NoDirectory) {}
    void LoadScenario();
    void ApplyScenario(const std::string& text);
    void ParseScenarioLine(const std::string& line, unsigned lineNo);
    std::string FlashPath(const Adapter& a) const;

    std::string dir_;
    std::vector<Adapter> adapters_;
    uint8_t major_ = 1;
    uint8_t minor_ = 2;
    bool release_ = true;
    std::map<std::string, std::vector<uint8_t>> scripted_;
    std::map<std::string, size_t> callCount_;
    std::vector<int32_t> connectedAnswers_;
    size_t connectedCalls_ = 0;
};

} // namespace adisim

#endif
