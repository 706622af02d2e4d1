// The console's strict JSON reader: recursive descent, bounded by the depth limit.
#include "host/JsonBody.h"

namespace k47host {

const JsonValue* JsonObject::Find(std::string_view key) const {
    for (const auto& [name, value] : members_)
        if (name == key)
            return &value;
    return nullptr;
}

namespace {

class Reader {
  public:
    Reader(std::string_view text, const JsonLimits& limits) : text_(text), limits_(limits) {}

    std::optional<JsonObject> Document(std::string* error) {
        std::optional<JsonObject> object;
        SkipBlanks();
        if (Peek() != '{')
            Fail("the body is not a JSON object");
        else
            object = Object(1);
        SkipBlanks();
        if (error_.empty() && at_ != text_.size())
            Fail("text follows the JSON object");
        if (!error_.empty()) {
            *error = error_;
            return std::nullopt;
        }
        return object;
    }

  private:
    // The first failure is the one reported; the parse unwinds from there.
    void Fail(std::string text) {
        if (error_.empty())
            error_ = std::move(text) + " (at byte " + std::to_string(at_) + ")";
    }
    bool Failed() const { return !error_.empty(); }
    char Peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    bool AtEnd() const { return at_ >= text_.size(); }

    void SkipBlanks() {
        while (!AtEnd() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' ||
                            text_[at_] == '\r'))
            ++at_;
    }

    bool Expect(char c, const char* what) {
        SkipBlanks();
        if (Peek() != c) {
            Fail(std::string("expected ") + what);
            return false;
        }
        ++at_;
        return true;
    }

    std::optional<JsonObject> Object(unsigned depth) {
        if (depth > limits_.maxDepth) {
            Fail("objects nest deeper than " + std::to_string(limits_.maxDepth));
            return std::nullopt;
        }
        ++at_;  // '{'
        JsonObject object;
        SkipBlanks();
        if (Peek() == '}') {
            ++at_;
            return object;
        }
        for (;;) {
            SkipBlanks();
            if (Peek() != '"') {
                Fail("expected a quoted member name");
                return std::nullopt;
            }
            std::optional<std::string> key = String();
            if (!key || !Expect(':', "':' after a member name"))
                return std::nullopt;
            if (object.Find(*key) != nullptr) {
                Fail("the member \"" + *key + "\" is given twice");
                return std::nullopt;
            }
            if (++members_ > limits_.maxMembers) {
                Fail("more than " + std::to_string(limits_.maxMembers) + " members");
                return std::nullopt;
            }
            std::optional<JsonValue> value = Value(depth, *key);
            if (!value)
                return std::nullopt;
            object.Add(std::move(*key), std::move(*value));
            SkipBlanks();
            if (Peek() == ',') {
                ++at_;
                continue;
            }
            if (Peek() == '}') {
                ++at_;
                return object;
            }
            Fail("expected ',' or '}'");
            return std::nullopt;
        }
    }

    std::optional<JsonValue> Value(unsigned depth, const std::string& key) {
        SkipBlanks();
        const char c = Peek();
        if (c == '"') {
            std::optional<std::string> text = String();
            if (!text)
                return std::nullopt;
            return JsonValue(std::move(*text));
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            std::optional<int64_t> number = Integer(key);
            if (!number)
                return std::nullopt;
            return JsonValue(*number);
        }
        if (c == '{') {
            std::optional<JsonObject> inner = Object(depth + 1);
            if (!inner)
                return std::nullopt;
            return JsonValue(std::make_shared<const JsonObject>(std::move(*inner)));
        }
        if (c == '[')
            Fail("\"" + key + "\" is an array; only integers, strings and objects are taken");
        else if (c == 't' || c == 'f' || c == 'n')
            Fail("\"" + key + "\" is true, false or null; only integers, strings and objects " +
                 "are taken");
        else
            Fail("\"" + key + "\" has no JSON value");
        return std::nullopt;
    }

    std::optional<int64_t> Integer(const std::string& key) {
        const bool negative = Peek() == '-';
        if (negative)
            ++at_;
        if (Peek() < '0' || Peek() > '9') {
            Fail("\"" + key + "\": '-' without digits");
            return std::nullopt;
        }
        if (Peek() == '0' && at_ + 1 < text_.size() && text_[at_ + 1] >= '0' &&
            text_[at_ + 1] <= '9') {
            Fail("\"" + key + "\": a number with a leading zero");
            return std::nullopt;
        }
        // Accumulated negatively: -9223372036854775808 has no positive counterpart.
        int64_t value = 0;
        while (Peek() >= '0' && Peek() <= '9') {
            const int digit = Peek() - '0';
            if (value < (INT64_MIN + digit) / 10) {
                Fail("\"" + key + "\" is a number too large");
                return std::nullopt;
            }
            value = value * 10 - digit;
            ++at_;
        }
        if (Peek() == '.' || Peek() == 'e' || Peek() == 'E') {
            Fail("\"" + key + "\" must be a whole number");
            return std::nullopt;
        }
        if (!negative) {
            if (value == INT64_MIN) {
                Fail("\"" + key + "\" is a number too large");
                return std::nullopt;
            }
            value = -value;
        }
        return value;
    }

    static int HexDigit(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    std::optional<unsigned> Hex4() {
        if (text_.size() - at_ < 4) {
            Fail("a \\u escape needs four hex digits");
            return std::nullopt;
        }
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = HexDigit(text_[at_ + i]);
            if (digit < 0) {
                Fail("a \\u escape needs four hex digits");
                return std::nullopt;
            }
            value = value * 16 + static_cast<unsigned>(digit);
        }
        at_ += 4;
        return value;
    }

    static void AppendUtf8(std::string* out, unsigned code) {
        if (code < 0x80) {
            out->push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (code >> 6)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (code >> 12)));
            out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (code >> 18)));
            out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }

    // One UTF-8 sequence as RFC 3629 allows it (no overlong forms, no surrogates, at most
    // U+10FFFF); its length, or 0.
    size_t Utf8Sequence() const {
        const auto byte = [&](size_t i) {
            return at_ + i < text_.size() ? static_cast<unsigned char>(text_[at_ + i]) : 0u;
        };
        const unsigned lead = byte(0);
        const auto tail = [&](size_t i) { return (byte(i) & 0xC0) == 0x80; };
        if (lead >= 0xC2 && lead <= 0xDF)
            return tail(1) ? 2 : 0;
        if (lead >= 0xE0 && lead <= 0xEF) {
            const unsigned second = byte(1);
            if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F))
                return 0;
            return tail(1) && tail(2) ? 3 : 0;
        }
        if (lead >= 0xF0 && lead <= 0xF4) {
            const unsigned second = byte(1);
            if ((lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
                return 0;
            return tail(1) && tail(2) && tail(3) ? 4 : 0;
        }
        return 0;
    }

    std::optional<std::string> String() {
        ++at_;  // '"'
        std::string out;
        for (;;) {
            if (AtEnd()) {
                Fail("a string is not closed");
                return std::nullopt;
            }
            if (out.size() > limits_.maxStringBytes) {
                Fail("a string is longer than " + std::to_string(limits_.maxStringBytes) +
                     " bytes");
                return std::nullopt;
            }
            const auto c = static_cast<unsigned char>(text_[at_]);
            if (c == '"') {
                ++at_;
                if (out.size() > limits_.maxStringBytes) {
                    Fail("a string is longer than " + std::to_string(limits_.maxStringBytes) +
                         " bytes");
                    return std::nullopt;
                }
                return out;
            }
            if (c < 0x20) {
                Fail("a control character in a string (write it as an escape)");
                return std::nullopt;
            }
            if (c >= 0x80) {
                const size_t length = Utf8Sequence();
                if (length == 0) {
                    Fail("a string is not valid UTF-8");
                    return std::nullopt;
                }
                out.append(text_.substr(at_, length));
                at_ += length;
                continue;
            }
            ++at_;
            if (c != '\\') {
                out.push_back(static_cast<char>(c));
                continue;
            }
            const char escape = Peek();
            ++at_;
            switch (escape) {
                case '"':
                case '\\':
                case '/':
                    out.push_back(escape);
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'u': {
                    std::optional<unsigned> code = Hex4();
                    if (!code)
                        return std::nullopt;
                    if (*code >= 0xDC00 && *code <= 0xDFFF) {
                        Fail("a low surrogate without its high one");
                        return std::nullopt;
                    }
                    if (*code >= 0xD800 && *code <= 0xDBFF) {
                        if (text_.substr(at_, 2) != "\\u") {
                            Fail("a high surrogate without its low one");
                            return std::nullopt;
                        }
                        at_ += 2;
                        std::optional<unsigned> low = Hex4();
                        if (!low)
                            return std::nullopt;
                        if (*low < 0xDC00 || *low > 0xDFFF) {
                            Fail("a high surrogate without its low one");
                            return std::nullopt;
                        }
                        *code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
                    }
                    AppendUtf8(&out, *code);
                    break;
                }
                default:
                    Fail("an unknown escape in a string");
                    return std::nullopt;
            }
        }
    }

    std::string_view text_;
    const JsonLimits& limits_;
    size_t at_ = 0;
    size_t members_ = 0;
    std::string error_;
};

}  // namespace

std::optional<JsonObject> ParseJsonObject(std::string_view text, std::string* error,
                                          const JsonLimits& limits) {
    if (text.size() > limits.maxBytes) {
        *error = "the body is larger than " + std::to_string(limits.maxBytes) + " bytes";
        return std::nullopt;
    }
    return Reader(text, limits).Document(error);
}

}  // namespace k47host
