// A small JSON reader for the tests that check the tools' JSON lines: objects, arrays, strings
// (with \uXXXX escapes below 0x80 and the usual short escapes), numbers, true, false, null.
// Parse() returns nullopt for anything that is not exactly one JSON value, so a malformed line
// fails the test that reads it. Missing members read as null, so chains like v["a"]["b"] never
// throw. Plain values; thread-compatible.
#pragma once

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace k47test {

class Json {
  public:
    enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };

    static std::optional<Json> Parse(std::string_view text) {
        Json value;
        size_t at = 0;
        if (!ParseValue(text, at, value, 0)) {
            return std::nullopt;
        }
        SkipSpace(text, at);
        if (at != text.size()) {
            return std::nullopt;
        }
        return value;
    }

    Type type() const { return type_; }
    bool is_null() const { return type_ == Type::kNull; }
    bool has(const std::string& key) const {
        return type_ == Type::kObject && object_.count(key) != 0;
    }
    const Json& operator[](const std::string& key) const {
        static const Json kNull;
        auto it = object_.find(key);
        return it == object_.end() ? kNull : it->second;
    }
    double num() const { return number_; }
    int integer() const { return static_cast<int>(number_); }
    bool boolean() const { return boolean_; }
    const std::string& str() const { return string_; }

  private:
    static constexpr int kMaxDepth = 32;

    static void SkipSpace(std::string_view t, size_t& at) {
        while (at < t.size() && (t[at] == ' ' || t[at] == '\t' || t[at] == '\r' || t[at] == '\n')) {
            ++at;
        }
    }

    static bool Literal(std::string_view t, size_t& at, std::string_view word) {
        if (t.substr(at, word.size()) != word) {
            return false;
        }
        at += word.size();
        return true;
    }

    static bool ParseString(std::string_view t, size_t& at, std::string& out) {
        if (at >= t.size() || t[at] != '"') {
            return false;
        }
        ++at;
        while (at < t.size()) {
            char c = t[at++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;  // control characters must be escaped
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at >= t.size()) {
                return false;
            }
            char e = t[at++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    if (at + 4 > t.size()) {
                        return false;
                    }
                    std::string hex(t.substr(at, 4));
                    char* end = nullptr;
                    long code = std::strtol(hex.c_str(), &end, 16);
                    if (end != hex.c_str() + 4 || code >= 0x80) {
                        return false;
                    }
                    out += static_cast<char>(code);
                    at += 4;
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    static bool ParseValue(std::string_view t, size_t& at, Json& out, int depth) {
        if (depth > kMaxDepth) {
            return false;
        }
        SkipSpace(t, at);
        if (at >= t.size()) {
            return false;
        }
        const char c = t[at];
        if (c == '{') {
            out.type_ = Type::kObject;
            ++at;
            SkipSpace(t, at);
            if (at < t.size() && t[at] == '}') {
                ++at;
                return true;
            }
            for (;;) {
                SkipSpace(t, at);
                std::string key;
                if (!ParseString(t, at, key)) {
                    return false;
                }
                SkipSpace(t, at);
                if (at >= t.size() || t[at++] != ':') {
                    return false;
                }
                Json value;
                if (!ParseValue(t, at, value, depth + 1) || out.object_.count(key)) {
                    return false;  // duplicate keys are a writer's bug
                }
                out.object_.emplace(std::move(key), std::move(value));
                SkipSpace(t, at);
                if (at < t.size() && t[at] == ',') {
                    ++at;
                    continue;
                }
                if (at < t.size() && t[at] == '}') {
                    ++at;
                    return true;
                }
                return false;
            }
        }
        if (c == '[') {
            out.type_ = Type::kArray;
            ++at;
            SkipSpace(t, at);
            if (at < t.size() && t[at] == ']') {
                ++at;
                return true;
            }
            for (;;) {
                Json value;
                if (!ParseValue(t, at, value, depth + 1)) {
                    return false;
                }
                out.array_.push_back(std::move(value));
                SkipSpace(t, at);
                if (at < t.size() && t[at] == ',') {
                    ++at;
                    continue;
                }
                if (at < t.size() && t[at] == ']') {
                    ++at;
                    return true;
                }
                return false;
            }
        }
        if (c == '"') {
            out.type_ = Type::kString;
            return ParseString(t, at, out.string_);
        }
        if (Literal(t, at, "true")) {
            out.type_ = Type::kBool;
            out.boolean_ = true;
            return true;
        }
        if (Literal(t, at, "false")) {
            out.type_ = Type::kBool;
            return true;
        }
        if (Literal(t, at, "null")) {
            return true;
        }
        // Numbers: JSON's grammar is stricter than strtod's (no hex, no inf, no leading +).
        const size_t start = at;
        if (at < t.size() && t[at] == '-') {
            ++at;
        }
        size_t digits = 0;
        while (at < t.size() && ((t[at] >= '0' && t[at] <= '9') || t[at] == '.' || t[at] == 'e' ||
                                 t[at] == 'E' || t[at] == '+' || t[at] == '-')) {
            ++at;
            ++digits;
        }
        if (digits == 0) {
            return false;
        }
        std::string number(t.substr(start, at - start));
        char* end = nullptr;
        out.number_ = std::strtod(number.c_str(), &end);
        out.type_ = Type::kNumber;
        return end == number.c_str() + number.size();
    }

    Type type_ = Type::kNull;
    bool boolean_ = false;
    double number_ = 0;
    std::string string_;
    std::vector<Json> array_;
    std::map<std::string, Json> object_;
};

}  // namespace k47test
