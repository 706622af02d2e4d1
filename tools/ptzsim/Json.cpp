// One-line JSON objects for the report (Json.h).
#include "tools/ptzsim/Json.h"

#include <cmath>
#include <cstdio>

namespace ptzsim {

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (u < 0x20 || u == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

void JsonObject::Key(std::string_view key) {
    if (body_.size() > 1) {
        body_ += ',';
    }
    body_ += JsonString(key);
    body_ += ':';
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value) {
    Key(key);
    body_ += JsonString(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, int64_t value) {
    Key(key);
    body_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, uint64_t value) {
    Key(key);
    body_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, double value, int decimals) {
    Key(key);
    if (!std::isfinite(value)) {
        body_ += "null";
        return *this;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    // "-0.000" reads oddly and compares unequal as text; it is zero.
    std::string number = text;
    if (number.find_first_not_of("-0.") == std::string::npos && number[0] == '-') {
        number.erase(0, 1);
    }
    body_ += number;
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value) {
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key) {
    Key(key);
    body_ += "null";
    return *this;
}

JsonObject& JsonObject::AddOrNull(std::string_view key, int value) {
    return value < 0 ? AddNull(key) : Add(key, value);
}

JsonObject& JsonObject::Add(std::string_view key, const JsonObject& object) {
    Key(key);
    body_ += object.Text();
    return *this;
}

}  // namespace ptzsim
