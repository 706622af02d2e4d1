// A JSON object written field by field into one line of text: strings escaped, numbers with a
// fixed number of decimals, nested objects as finished text. Only what the report needs; not a
// general JSON library. Plain value type.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ptzsim {

class JsonObject {
  public:
    JsonObject& Add(std::string_view key, std::string_view value);
    JsonObject& Add(std::string_view key, const char* value) {
        return Add(key, std::string_view(value));
    }
    JsonObject& Add(std::string_view key, int64_t value);
    JsonObject& Add(std::string_view key, int value) { return Add(key, int64_t{value}); }
    JsonObject& Add(std::string_view key, uint64_t value);
    JsonObject& Add(std::string_view key, double value, int decimals);
    JsonObject& Add(std::string_view key, bool value);
    JsonObject& AddNull(std::string_view key);
    // An integer, or null when it is negative (the "not set" of the camera's fields).
    JsonObject& AddOrNull(std::string_view key, int value);
    JsonObject& Add(std::string_view key, const JsonObject& object);

    std::string Text() const { return body_ + "}"; }

  private:
    void Key(std::string_view key);
    std::string body_ = "{";
};

// `text` as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);

}  // namespace ptzsim
