// Just enough JSON for one-line objects: velt-dfu's --json output.
#ifndef VELT_DFU_TOOL_JSON_H
#define VELT_DFU_TOOL_JSON_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltdfu {

// `text` as a quoted JSON string. Quotes, backslashes and control characters
// are escaped; bytes that are not valid UTF-8 (a path can hold any bytes)
// become U+FFFD, so the result is always valid JSON.
std::string JsonString(const std::string& text);

// Builds {"key":value,...} in the order the members are added.
class JsonObject {
public:
    JsonObject& add(const char* key, const std::string& value);
    JsonObject& add(const char* key, const char* value);
    JsonObject& add(const char* key, int64_t value);
    JsonObject& add(const char* key, uint64_t value);
    JsonObject& add(const char* key, int value) { return add(key, static_cast<int64_t>(value)); }
    JsonObject& add(const char* key, unsigned value) { return add(key, static_cast<uint64_t>(value)); }
    JsonObject& add(const char* key, bool value);
    JsonObject& add(const char* key, double value, int decimals);
    JsonObject& addNull(const char* key);
    JsonObject& add(const char* key, const std::vector<JsonObject>& items); // an array of objects
    JsonObject& add(const char* key, const std::vector<std::string>& items); // an array of strings
    template <typename T>
    JsonObject& add(const char* key, const std::optional<T>& value)
    {
        return value ? add(key, *value) : addNull(key);
    }

    std::string str() const { return text_ + "}"; }

private:
    JsonObject& member(const char* key, const std::string& json);
    std::string text_ = "{";
};

} // namespace veltdfu

#endif
