// Fuzzes what the console's API reads from a client before any camera is called: the path as
// sent (percent-escapes, the camera name and action) and the JSON body.
//
// Input: a path up to the first line feed, then the body. A body that parses is written back as
// JSON and must parse to the same members; its strings are valid UTF-8 within the limits. A
// decoded path is never longer than the text; a name it yields is non-empty and free of control
// characters; re-encoding every byte of it decodes to it again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "host/ConsoleApi.h"
#include "host/JsonBody.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

std::string Write(const k47host::JsonObject& object) {
    std::string out = "{";
    for (const auto& [key, value] : object.Members()) {
        if (out.size() > 1)
            out += ",";
        out += Quoted(key) + ":";
        if (const int64_t* number = std::get_if<int64_t>(&value))
            out += std::to_string(*number);
        else if (const std::string* text = std::get_if<std::string>(&value))
            out += Quoted(*text);
        else
            out += Write(*std::get<std::shared_ptr<const k47host::JsonObject>>(value));
    }
    return out + "}";
}

bool Same(const k47host::JsonObject& a, const k47host::JsonObject& b) {
    if (a.Members().size() != b.Members().size())
        return false;
    for (size_t i = 0; i < a.Members().size(); ++i) {
        const auto& [keyA, valueA] = a.Members()[i];
        const auto& [keyB, valueB] = b.Members()[i];
        if (keyA != keyB || valueA.index() != valueB.index())
            return false;
        if (const auto* inner = std::get_if<std::shared_ptr<const k47host::JsonObject>>(&valueA)) {
            if (!Same(**inner, *std::get<std::shared_ptr<const k47host::JsonObject>>(valueB)))
                return false;
        } else if (valueA != valueB) {
            return false;
        }
    }
    return true;
}

void CheckStrings(const k47host::JsonObject& object, const k47host::JsonLimits& limits) {
    for (const auto& [key, value] : object.Members()) {
        Check(key.size() <= limits.maxStringBytes);
        if (const std::string* text = std::get_if<std::string>(&value))
            Check(text->size() <= limits.maxStringBytes);
        if (const auto* inner = std::get_if<std::shared_ptr<const k47host::JsonObject>>(&value))
            CheckStrings(**inner, limits);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t newline = input.find('\n');
    const std::string_view path = input.substr(0, newline);
    const std::string_view body =
        newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

    if (std::optional<std::string> decoded = k47host::PercentDecode(path)) {
        Check(decoded->size() <= path.size());
        std::string encoded;
        for (unsigned char c : *decoded) {
            char escape[4];
            std::snprintf(escape, sizeof(escape), "%%%02X", c);
            encoded += escape;
        }
        Check(k47host::PercentDecode(encoded) == decoded);
    }
    unsigned status = 0;
    std::string error;
    if (auto target = k47host::ParseConsolePath(path, &status, &error)) {
        Check(!target->camera.empty());
        for (char c : target->camera)
            Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    } else {
        Check((status == 400 || status == 404) && !error.empty());
    }

    const k47host::JsonLimits limits;
    error.clear();
    std::optional<k47host::JsonObject> object = k47host::ParseJsonObject(body, &error, limits);
    if (!object) {
        Check(!error.empty());
        return 0;
    }
    CheckStrings(*object, limits);
    // Written back, the text may grow past the size limit (escapes); the members must not change.
    k47host::JsonLimits roomy = limits;
    roomy.maxBytes = SIZE_MAX;
    std::string again;
    std::optional<k47host::JsonObject> reread =
        k47host::ParseJsonObject(Write(*object), &again, roomy);
    Check(reread.has_value());
    Check(Same(*object, *reread));
    return 0;
}
