// Finding devices: USB members of the device-interface class through
// SetupAPI, and COM ports through the DOS device names.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "api/WideString.h"

// Rebuilds the device-information set for the current class GUID and counts
// the consecutive members, from 0, whose path can be read.
uint32_t CountUsbDevices();

// Device interface path of a member of the last count, into a PATH_CHARS
// buffer. A path that does not fit the buffer is a failed lookup (and so ends
// the count): a truncated path would name another device or none.
BOOL GetUsbDevicePath(uint32_t memberIndex, WCHAR* out);

// Looks the member up and opens it exclusively, all under the enumeration
// lock. On success the path goes to out.
HANDLE OpenUsbDevice(uint32_t memberIndex, WCHAR* out);

// VID and PID from the fixed positions of a "\\?\usb#vid_vvvv&pid_pppp#..."
// path; characters that are not hexadecimal end a field early.
BOOL ParseVidPid(const WCHAR* path, uint16_t* vid, uint16_t* pid);

// Replaces the COM-port list and returns its length.
uint32_t CountComPorts();

// Every DOS device name that begins with upper-case COM, as "\\.\" + name.
std::vector<WideString> EnumerateComPorts();

// The filtering step of EnumerateComPorts on a QueryDosDeviceW result of n
// characters. Names that would make a path of PATH_CHARS or more characters
// are left out: no path buffer could hold them.
std::vector<WideString> ComPortsFromDosDeviceList(const WCHAR* list, size_t n);
