#include "Json.h"

#include <cstdio>

namespace veltdfu {

namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
size_t Utf8Length(const std::string& text, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    uint32_t min = 0, code = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, min = 0x80, code = lead & 0x1Fu;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, min = 0x800, code = lead & 0x0Fu;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, min = 0x10000, code = lead & 0x07u;
    else
        return 0;
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(i + k) & 0x3Fu);
    }
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are not text.
    if (code < min || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

} // namespace

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const size_t length = Utf8Length(text, i);
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text, i, length);
                i += length;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    return out + "\"";
}

JsonObject& JsonObject::member(const char* key, const std::string& json)
{
    if (text_.size() > 1)
        text_ += ",";
    text_ += JsonString(key) + ":" + json;
    return *this;
}

JsonObject& JsonObject::add(const char* key, const std::string& value)
{
    return member(key, JsonString(value));
}

JsonObject& JsonObject::add(const char* key, const char* value)
{
    return member(key, JsonString(value));
}

JsonObject& JsonObject::add(const char* key, int64_t value)
{
    return member(key, std::to_string(value));
}

JsonObject& JsonObject::add(const char* key, uint64_t value)
{
    return member(key, std::to_string(value));
}

JsonObject& JsonObject::add(const char* key, bool value)
{
    return member(key, value ? "true" : "false");
}

JsonObject& JsonObject::add(const char* key, double value, int decimals)
{
    char number[64];
    std::snprintf(number, sizeof number, "%.*f", decimals, value);
    return member(key, number);
}

JsonObject& JsonObject::add(const char* key, const std::vector<JsonObject>& items)
{
    std::string array = "[";
    for (const JsonObject& item : items)
        array += (array.size() > 1 ? "," : "") + item.str();
    return member(key, array + "]");
}

JsonObject& JsonObject::add(const char* key, const std::vector<std::string>& items)
{
    std::string array = "[";
    for (const std::string& item : items)
        array += (array.size() > 1 ? "," : "") + JsonString(item);
    return member(key, array + "]");
}

JsonObject& JsonObject::addNull(const char* key)
{
    return member(key, "null");
}

} // namespace veltdfu
