// What the Comm functions (PurgeComm, GetCommState, SetCommTimeouts, ...)
// and ReadFile/WriteFile drive behind a COM-port handle: a tty normally, or
// a port that a test or a fuzz target puts in its place, so the library's
// serial protocol can be run against any byte stream without a terminal.
#ifndef VELT_PLATFORM_COMM_PORT_H
#define VELT_PLATFORM_COMM_PORT_H

#include <windows.h>

#include <memory>
#include <string>

#include "file_object.h"

namespace velt::platform {

class CommPort : public FileObject {
public:
    virtual BOOL Purge(DWORD flags) = 0;
    virtual BOOL GetState(DCB& dcb) = 0;
    virtual BOOL SetState(const DCB& dcb) = 0;
    virtual BOOL ClearErrors(DWORD* errors, COMSTAT* stat) = 0;
    virtual COMMTIMEOUTS Timeouts() = 0;
    virtual void SetTimeouts(const COMMTIMEOUTS& timeouts) = 0;
    // Line errors (CE_ flags) seen on the port, reported by ClearCommError.
    virtual void RecordErrors(DWORD errors) = 0;
};

// Asked first whenever a COM port is opened by its DOS name ("COM7"): a port
// it returns is opened in place of the dosdevices entry; null falls through
// to the directory. The factory is process-wide; null removes it.
using CommPortFactory = std::shared_ptr<CommPort> (*)(const std::u16string& dosName);
void SetCommPortFactory(CommPortFactory factory);

}  // namespace velt::platform

#endif
