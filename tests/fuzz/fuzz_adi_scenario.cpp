// The simulated adapter library's scenario file: any text. Lines it cannot
// use are reported and ignored; what it takes gives a world whose answers
// stay within their kinds.
//
// Input: the file's text.
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "SimWorld.h"

using velt::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    adisim::World world = adisim::World::FromScenarioText(text);
    for (const adisim::Adapter& adapter : world.Adapters()) {
        Require(!adapter.serial.empty(), "an adapter without a serial number");
        Require(adapter.verifyFaultPage == adisim::kNoFault ||
                    adapter.verifyFaultPage < adisim::kFlashSize / adisim::kPageSize,
                "a verify fault outside the flash");
    }
    for (int call = 0; call < 3; ++call) {
        world.NextScriptedStatus("ADIU_ConnectSwd");
        world.NextScriptedStatus("ADIU_DownloadHexFile");
        int32_t answer = 0;
        world.NextScriptedConnected(answer);
    }
    return 0;
}
