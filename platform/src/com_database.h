// The COM port database: which COM name each serial adapter has had, so that
// an adapter keeps its name across replugs and reboots, as Windows' COM port
// database does.
//
// A text file, one assignment a line: the name, one space, the key of the
// adapter ("COM3 by-id:usb-Maker_Adapter_A1B2-if00-port0"). Lines that do not
// start with "COM" and a number (comments with '#', say) are kept as they
// are. A name stays reserved for its adapter while the adapter is away.
#ifndef VELT_PLATFORM_COM_DATABASE_H
#define VELT_PLATFORM_COM_DATABASE_H

#include <string>
#include <vector>

namespace velt::platform {

struct ComDatabase {
    struct Entry {
        unsigned number = 0;  // 0: a line that is no assignment, kept in `line`
        std::string key;
        std::string line;
    };
    std::vector<Entry> entries;

    static ComDatabase Parse(const std::string& text);
    std::string Text() const;

    // The COM number of each key, in order. A key keeps its number unless a
    // name in `taken` (upper case, "COM7") or an earlier key of this call
    // has it; a new or displaced key gets the lowest number that no entry
    // and no taken name holds, and the database records it. Returns whether
    // the database changed.
    bool Assign(const std::vector<std::string>& keys, const std::vector<std::string>& taken,
                std::vector<unsigned>& numbers);
};

// Reads the database at `path`, assigns numbers to `keys` and writes the
// database back if it changed (under a lock, by rename, creating the
// directory if need be). When the file cannot be written the numbers are
// still given, but may change next time.
std::vector<unsigned> AssignComNumbers(const std::string& path, const std::vector<std::string>& keys,
                                       const std::vector<std::string>& taken);

}  // namespace velt::platform

#endif
