// A strict reader for the small JSON bodies of the console's API: an object whose values are
// integers, strings or objects of the same kind. Anything else a client may send is refused with
// the reason in words: fractions and exponents (a speed of 0.5 is a mistake, not a half speed),
// true/false/null, arrays, duplicate keys (which of two "pan"s would count?), integers outside
// 64 bits, invalid UTF-8, lone surrogates, control characters in strings, text after the object,
// and bodies past the size, depth or member limits. Pure functions, thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace k47host {

class JsonObject;

using JsonValue = std::variant<int64_t, std::string, std::shared_ptr<const JsonObject>>;

class JsonObject {
  public:
    // Members in the body's order; keys are unique.
    const std::vector<std::pair<std::string, JsonValue>>& Members() const { return members_; }
    const JsonValue* Find(std::string_view key) const;

    void Add(std::string key, JsonValue value) { members_.emplace_back(std::move(key), value); }

  private:
    std::vector<std::pair<std::string, JsonValue>> members_;
};

struct JsonLimits {
    size_t maxBytes = 4096;        // the whole body
    unsigned maxDepth = 4;         // the top object is depth 1
    size_t maxMembers = 64;        // of every object together
    size_t maxStringBytes = 1024;  // of a key or a string value, decoded
};

// The object of `text`; nothing, with the reason in *error, when it is not such an object.
std::optional<JsonObject> ParseJsonObject(std::string_view text, std::string* error,
                                          const JsonLimits& limits = {});

}  // namespace k47host
