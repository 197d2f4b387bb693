// A strict JSON syntax check for the tool's --json output, independent of
// the tool's own JSON code.
#ifndef VELT_TESTS_TOOLS_JSONCHECK_H
#define VELT_TESTS_TOOLS_JSONCHECK_H

#include <cctype>
#include <string>

namespace jsoncheck {

class Parser {
public:
    explicit Parser(const std::string& text) : s_(text) {}

    // One object and nothing after it.
    bool object()
    {
        space();
        if (!peek('{') || !value())
            return false;
        space();
        return i_ == s_.size();
    }

private:
    bool peek(char c) const { return i_ < s_.size() && s_[i_] == c; }
    bool eat(char c)
    {
        space();
        if (!peek(c))
            return false;
        ++i_;
        return true;
    }
    void space()
    {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t'))
            ++i_;
    }
    bool word(const char* w)
    {
        const std::string text(w);
        if (s_.compare(i_, text.size(), text) != 0)
            return false;
        i_ += text.size();
        return true;
    }
    bool string()
    {
        if (!eat('"'))
            return false;
        while (i_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c == '\\') {
                if (i_ >= s_.size())
                    return false;
                const char e = s_[i_++];
                if (e == 'u') {
                    for (int k = 0; k < 4; ++k)
                        if (i_ >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[i_++])))
                            return false;
                } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
                    return false;
                }
            }
        }
        return false;
    }
    bool number()
    {
        const size_t start = i_;
        if (peek('-'))
            ++i_;
        if (peek('0'))
            ++i_;
        else if (!digits())
            return false;
        if (peek('.')) {
            ++i_;
            if (!digits())
                return false;
        }
        return i_ > start;
    }
    bool digits()
    {
        const size_t start = i_;
        while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_])))
            ++i_;
        return i_ > start;
    }
    bool value()
    {
        space();
        if (peek('"'))
            return string();
        if (peek('{')) {
            ++i_;
            if (eat('}'))
                return true;
            do {
                if (!string() || !eat(':') || !value())
                    return false;
            } while (eat(','));
            return eat('}');
        }
        if (peek('[')) {
            ++i_;
            if (eat(']'))
                return true;
            do {
                if (!value())
                    return false;
            } while (eat(','));
            return eat(']');
        }
        return word("true") || word("false") || word("null") || number();
    }

    const std::string& s_;
    size_t i_ = 0;
};

inline bool IsObject(const std::string& line)
{
    return Parser(line).object();
}

} // namespace jsoncheck

#endif
