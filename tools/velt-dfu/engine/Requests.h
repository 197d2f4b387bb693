// The DFU 1.1 requests the transfer engine is built from: one call per
// request, as the library's single-request exports make them. The engine
// talks to this interface only, so its loops and its recovery can be driven
// by a scripted device in the tests, waits included.
#ifndef VELT_DFU_TOOL_ENGINE_REQUESTS_H
#define VELT_DFU_TOOL_ENGINE_REQUESTS_H

#include <VELT_DFU.h>

#include <cstdint>

namespace veltdfu::engine {

// Device states are the public header's DFU_STATE_ numbers.
class Requests {
public:
    virtual ~Requests() = default;
    virtual DFU_STATUS Dnload(uint16_t block, const uint8_t* data, uint16_t length) = 0;
    // A short block is not a failure: `received` says how much came.
    virtual DFU_STATUS Upload(uint16_t block, uint8_t* data, uint16_t length, uint16_t& received) = 0;
    virtual DFU_STATUS GetStatus(DFU_GETSTATUS_RESULT& status) = 0;
    virtual DFU_STATUS GetState(uint8_t& state) = 0;
    virtual DFU_STATUS ClearStatus() = 0;
    virtual DFU_STATUS Abort() = 0;
    // Waits at least `milliseconds`, as little longer as the system allows.
    virtual void Wait(uint32_t milliseconds) = 0;
};

// The requests on an open library handle.
class LibraryRequests : public Requests {
public:
    explicit LibraryRequests(DFU_HANDLE handle) : handle_(handle) {}
    DFU_STATUS Dnload(uint16_t block, const uint8_t* data, uint16_t length) override;
    DFU_STATUS Upload(uint16_t block, uint8_t* data, uint16_t length, uint16_t& received) override;
    DFU_STATUS GetStatus(DFU_GETSTATUS_RESULT& status) override;
    DFU_STATUS GetState(uint8_t& state) override;
    DFU_STATUS ClearStatus() override;
    DFU_STATUS Abort() override;
    void Wait(uint32_t milliseconds) override;

private:
    DFU_HANDLE handle_;
};

} // namespace veltdfu::engine

#endif
