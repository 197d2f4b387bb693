#include "handles.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace velt::platform {
namespace {

struct Registry {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> objects;
    uintptr_t next = 0x1000;
};

// Never destroyed: the library's own static destructors may still close
// handles while the process unloads.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

}  // namespace

HANDLE RegisterHandle(std::shared_ptr<HandleObject> obj) {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    // Multiples of 4 like kernel handles; far from 0 and from all-ones.
    uintptr_t value = r.next;
    r.next += 4;
    r.objects.emplace(value, std::move(obj));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> FindHandle(HANDLE h) {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.objects.find(reinterpret_cast<uintptr_t>(h));
    return it == r.objects.end() ? nullptr : it->second;
}

std::shared_ptr<HandleObject> RemoveHandle(HANDLE h) {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.objects.find(reinterpret_cast<uintptr_t>(h));
    if (it == r.objects.end())
        return nullptr;
    std::shared_ptr<HandleObject> obj = std::move(it->second);
    r.objects.erase(it);
    return obj;
}

}  // namespace velt::platform
