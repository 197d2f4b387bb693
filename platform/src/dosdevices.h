// The DOS device namespace: a directory of symbolic links named like DOS
// devices ("COM7"), each pointing at a tty.
#ifndef VELT_PLATFORM_DOSDEVICES_H
#define VELT_PLATFORM_DOSDEVICES_H

#include <optional>
#include <string>
#include <vector>

namespace velt::platform {

// $VELT_DOSDEVICES, else $HOME/.velt/dosdevices.
std::string DosDevicesDir();

// The entry names, sorted by byte value; nullopt when the directory cannot be
// read. Names beginning with '.' are not devices (editors' and installers'
// temporary files) and are left out.
std::optional<std::vector<std::string>> ListDosDevices();

// Host path of the entry for a DOS name. DOS names ignore case, as on
// Windows: an exact match wins, else the first entry equal but for ASCII case.
std::optional<std::string> FindDosDevice(const std::u16string& name);

}  // namespace velt::platform

#endif
