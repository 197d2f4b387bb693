#include "com_database.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "text.h"

namespace velt::platform {
namespace {

// "COM12" -> 12; 0 for anything else. The letters may be in any case, as
// Windows names devices: an entry "com2" holds the number 2.
unsigned ComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 8 || !EqualNoCase(Utf8ToUtf16(name.substr(0, 3)), u"COM"))
        return 0;
    unsigned n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        n = n * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return n;
}

void MakeParents(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
}

bool WriteAtomically(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << text;
        out.flush();
        if (!out)
            return false;
    }
    return rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

ComDatabase ComDatabase::Parse(const std::string& text) {
    ComDatabase db;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        Entry e;
        e.line = line;
        const size_t space = line.find(' ');
        if (space != std::string::npos && space + 1 < line.size()) {
            e.number = ComNumber(line.substr(0, space));
            if (e.number)
                e.key = line.substr(space + 1);
        }
        db.entries.push_back(e);
    }
    return db;
}

std::string ComDatabase::Text() const {
    std::string text;
    for (const Entry& e : entries)
        text += (e.number ? "COM" + std::to_string(e.number) + " " + e.key : e.line) + "\n";
    return text;
}

bool ComDatabase::Assign(const std::vector<std::string>& keys, const std::vector<std::string>& taken,
                         std::vector<unsigned>& numbers) {
    std::set<unsigned> blocked;  // names no key of this call may keep or get
    for (const std::string& name : taken)
        if (unsigned n = ComNumber(name))
            blocked.insert(n);
    std::set<unsigned> held;  // every number the database gives out
    for (const Entry& e : entries)
        if (e.number)
            held.insert(e.number);
    bool changed = false;
    numbers.clear();
    for (const std::string& key : keys) {
        auto entry = std::find_if(entries.begin(), entries.end(),
                                  [&](const Entry& e) { return e.number && e.key == key; });
        if (entry != entries.end() && !blocked.count(entry->number)) {
            numbers.push_back(entry->number);
            blocked.insert(entry->number);
            continue;
        }
        unsigned n = 1;
        while (blocked.count(n) || held.count(n))
            ++n;
        if (entry != entries.end())
            entry->number = n;  // displaced: the adapter moves, its old name stays with the owner
        else
            entries.push_back({n, key, ""});
        numbers.push_back(n);
        blocked.insert(n);
        held.insert(n);
        changed = true;
    }
    return changed;
}

std::vector<unsigned> AssignComNumbers(const std::string& path, const std::vector<std::string>& keys,
                                       const std::vector<std::string>& taken) {
    MakeParents(path);
    // Two programs listing at once must not hand one name to two adapters:
    // the read, the assignment and the rename happen under one lock.
    const int lock = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock >= 0) {
        while (flock(lock, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    ComDatabase db = ComDatabase::Parse(text.str());
    std::vector<unsigned> numbers;
    if (db.Assign(keys, taken, numbers))
        WriteAtomically(path, db.Text());
    if (lock >= 0)
        close(lock);
    return numbers;
}

}  // namespace velt::platform
