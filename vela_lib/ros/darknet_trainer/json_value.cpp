#include "json_value.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

class Reader
{
public:
    explicit Reader(const std::string& text) : at(text.c_str()), end(text.c_str() + text.size()) {}

    bool document(JsonValue* value)
    {
        return this->value(value, 0) && (skipBlanks(), at == end);
    }

private:
    static constexpr int kDeepest = 64;

    void skipBlanks()
    {
        while (at < end && std::strchr(" \t\r\n", *at) && *at)
            ++at;
    }

    bool take(char c)
    {
        skipBlanks();
        if (at == end || *at != c)
            return false;
        ++at;
        return true;
    }

    bool word(const char* w)
    {
        const size_t n = std::strlen(w);
        if (size_t(end - at) < n || std::strncmp(at, w, n) != 0)
            return false;
        at += n;
        return true;
    }

    bool string(std::string* out)
    {
        if (!take('"'))
            return false;
        while (at < end && *at != '"') {
            if (*at != '\\') {
                *out += *at++;
                continue;
            }
            if (++at == end)
                return false;
            static const char kEscapes[] = "\"\\/bfnrt";
            static const char kMeanings[] = "\"\\/\b\f\n\r\t";
            const char escaped = *at++;
            const char* plain = escaped ? std::strchr(kEscapes, escaped) : nullptr;
            if (escaped == 'u') {
                if (end - at < 4)
                    return false;
                const unsigned code = unsigned(std::strtoul(std::string(at, 4).c_str(), nullptr, 16));
                at += 4;
                // What the report escapes: control characters; anything else as UTF-8.
                if (code < 0x80) {
                    *out += char(code);
                } else if (code < 0x800) {
                    *out += char(0xc0 | (code >> 6));
                    *out += char(0x80 | (code & 0x3f));
                } else {
                    *out += char(0xe0 | (code >> 12));
                    *out += char(0x80 | ((code >> 6) & 0x3f));
                    *out += char(0x80 | (code & 0x3f));
                }
            } else if (plain) {
                *out += kMeanings[plain - kEscapes];
            } else {
                return false;
            }
        }
        return at++ < end;
    }

    bool value(JsonValue* v, int depth)
    {
        skipBlanks();
        if (at == end || depth > kDeepest)
            return false;
        switch (*at) {
        case '{':
            ++at;
            v->kind = JsonValue::Kind::Object;
            if (take('}'))
                return true;
            do {
                std::pair<std::string, JsonValue> member;
                if (!string(&member.first) || !take(':') || !value(&member.second, depth + 1))
                    return false;
                v->members.push_back(std::move(member));
            } while (take(','));
            return take('}');
        case '[':
            ++at;
            v->kind = JsonValue::Kind::Array;
            if (take(']'))
                return true;
            do {
                v->items.emplace_back();
                if (!value(&v->items.back(), depth + 1))
                    return false;
            } while (take(','));
            return take(']');
        case '"':
            v->kind = JsonValue::Kind::String;
            return string(&v->text);
        case 't':
        case 'f':
            v->kind = JsonValue::Kind::Bool;
            v->flag = *at == 't';
            return word(v->flag ? "true" : "false");
        case 'n':
            return word("null");
        default: {
            char* stop = nullptr;
            const std::string rest(at, size_t(std::min<std::ptrdiff_t>(end - at, 64)));
            v->kind = JsonValue::Kind::Number;
            v->number = std::strtod(rest.c_str(), &stop);
            if (stop == rest.c_str())
                return false;
            at += stop - rest.c_str();
            return true;
        }
        }
    }

    const char* at;
    const char* const end;
};

} // namespace

const JsonValue& JsonValue::operator[](const std::string& key) const
{
    static const JsonValue none;
    for (const auto& member : members)
        if (member.first == key)
            return member.second;
    return none;
}

bool JsonValue::parse(const std::string& text, JsonValue* value)
{
    *value = JsonValue();
    return Reader(text).document(value);
}
