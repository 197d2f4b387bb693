// Small file-system helpers shared by the device kinds.
#ifndef VELT_SIM_FILES_H
#define VELT_SIM_FILES_H

#include <string>

namespace velt::sim {

// mkdir -p; throws std::runtime_error.
void makeDirectories(const std::string& path);
// Writes path atomically: a hidden temporary file in the same directory, then rename.
void writeFileAtomically(const std::string& path, const std::string& content);

} // namespace velt::sim

#endif
