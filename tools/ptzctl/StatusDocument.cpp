// The host's status document (GET /status): read from untrusted JSON, shown as tables.
#include "tools/ptzctl/Status.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace ptzctl {

namespace {

// A JSON value, as far as the status document needs one.
struct Json {
    enum class Type { kNull, kBool, kNumber, kString, kArray, kObject } type = Type::kNull;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json& operator[](const std::string& key) const {
        static const Json kNull;
        auto it = members.find(key);
        return it == members.end() ? kNull : it->second;
    }
};

class JsonReader {
  public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    bool Document(Json* value) {
        if (!Value(value, 0))
            return false;
        Space();
        return at_ == text_.size();
    }

  private:
    static constexpr int kMaxDepth = 16;

    void Space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' ||
                                      text_[at_] == '\r' || text_[at_] == '\t'))
            ++at_;
    }
    bool Take(char c) {
        Space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word) {
        if (text_.substr(at_, word.size()) != word)
            return false;
        at_ += word.size();
        return true;
    }
    bool Hex4(unsigned* code) {
        if (at_ + 4 > text_.size())
            return false;
        *code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            *code <<= 4;
            if (c >= '0' && c <= '9')
                *code |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                *code |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                *code |= static_cast<unsigned>(c - 'A' + 10);
            else
                return false;
        }
        return true;
    }
    static void AppendUtf8(unsigned code, std::string* out) {
        if (code < 0x80) {
            *out += static_cast<char>(code);
        } else if (code < 0x800) {
            *out += static_cast<char>(0xC0 | (code >> 6));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *out += static_cast<char>(0xE0 | (code >> 12));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (code >> 18));
            *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    bool String(std::string* out) {
        if (!Take('"'))
            return false;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (at_ >= text_.size())
                return false;
            const char escape = text_[at_++];
            static const std::string_view kShort = "\"\\/bfnrt";
            static const std::string_view kMeaning = "\"\\/\b\f\n\r\t";
            if (size_t i = kShort.find(escape); i != std::string_view::npos) {
                *out += kMeaning[i];
                continue;
            }
            unsigned code = 0;
            if (escape != 'u' || !Hex4(&code))
                return false;
            if (code >= 0xD800 && code <= 0xDBFF) {
                unsigned low = 0;
                if (!Word("\\u") || !Hex4(&low) || low < 0xDC00 || low > 0xDFFF)
                    return false;
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else if (code >= 0xDC00 && code <= 0xDFFF) {
                return false;
            }
            AppendUtf8(code, out);
        }
        return false;
    }
    bool Value(Json* value, int depth) {
        if (depth > kMaxDepth)
            return false;
        Space();
        if (at_ >= text_.size())
            return false;
        const char c = text_[at_];
        if (c == '"') {
            value->type = Json::Type::kString;
            return String(&value->text);
        }
        if (c == '{') {
            ++at_;
            value->type = Json::Type::kObject;
            if (Take('}'))
                return true;
            do {
                std::string key;
                Json member;
                if (!String(&key) || !Take(':') || !Value(&member, depth + 1))
                    return false;
                value->members[key] = std::move(member);
            } while (Take(','));
            return Take('}');
        }
        if (c == '[') {
            ++at_;
            value->type = Json::Type::kArray;
            if (Take(']'))
                return true;
            do {
                value->items.emplace_back();
                if (!Value(&value->items.back(), depth + 1))
                    return false;
            } while (Take(','));
            return Take(']');
        }
        if (Word("null"))
            return true;
        if (Word("true") || Word("false")) {
            value->type = Json::Type::kBool;
            return true;
        }
        const std::string rest(text_.substr(at_, 32));
        char* end = nullptr;
        value->number = std::strtod(rest.c_str(), &end);
        if (end == rest.c_str())
            return false;
        value->type = Json::Type::kNumber;
        at_ += static_cast<size_t>(end - rest.c_str());
        return true;
    }

    std::string_view text_;
    size_t at_ = 0;
};

// Text from the server as a terminal may show it: control characters (a name could carry an
// escape sequence) written as escapes.
std::string Printable(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c == '\t') {
            shown += "\\t";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

// Characters (not bytes) of UTF-8 text, for the columns.
size_t Width(const std::string& text) {
    size_t width = 0;
    for (unsigned char c : text)
        width += (c & 0xC0) != 0x80 ? 1 : 0;
    return width;
}

std::string Table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], Width(row[i]));
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - Width(row[i]) + 2, ' ');
        }
        text += line + "\n";
    }
    return text;
}

std::string OrDash(const std::string& text) {
    return text.empty() ? "-" : Printable(text);
}

const StatusLine* FindLine(const StatusDocument& status, const std::string& name) {
    for (const StatusLine& line : status.lines)
        if (line.name == name)
            return &line;
    return nullptr;
}

// A counter: a whole number from 0 to 2^53 (what a double holds exactly), else -1.
long long Count(const Json& value) {
    if (value.type != Json::Type::kNumber || !(value.number >= 0) ||
        value.number > 9007199254740992.0 ||
        value.number != static_cast<double>(static_cast<long long>(value.number)))
        return -1;
    return static_cast<long long>(value.number);
}

std::optional<StatusLineCounters> LineCounters(const Json& counters) {
    if (counters.type != Json::Type::kObject)
        return std::nullopt;
    return StatusLineCounters{Count(counters["framesWritten"]), Count(counters["bytesWritten"]),
                              Count(counters["movesDropped"]),  Count(counters["writeFailures"]),
                              Count(counters["writeTimeouts"]), Count(counters["reopens"])};
}

std::optional<StatusCameraCounters> CameraCounters(const Json& counters) {
    if (counters.type != Json::Type::kObject)
        return std::nullopt;
    StatusCameraCounters c;
    c.moves = Count(counters["moves"]);
    c.stops = Count(counters["stops"]);
    c.deadManStops = Count(counters["deadManStops"]);
    c.repeatedStops = Count(counters["repeatedStops"]);
    c.datagramsAccepted = Count(counters["datagramsAccepted"]);
    c.datagramsStale = Count(counters["datagramsStale"]);
    c.datagramsForeign = Count(counters["datagramsForeign"]);
    c.datagramsMalformed = Count(counters["datagramsMalformed"]);
    c.sessionsStarted = Count(counters["sessionsStarted"]);
    c.lastCommand = counters["lastCommand"].text;
    c.lastCommandAgeMs = Count(counters["lastCommandAgeMs"]);
    return c;
}

std::string Number(long long value) {
    return value < 0 ? "-" : std::to_string(value);
}

std::string CountersText(const StatusCamera& camera, const StatusLine* line) {
    if (!camera.counters)
        return "counters: - (none reported)\n";
    const StatusCameraCounters& c = *camera.counters;
    std::string text = "moves:   " + Number(c.moves) + " sent; stops: " + Number(c.stops) + " (" +
                       Number(c.deadManStops) + " on the 5 s time-out, " + Number(c.repeatedStops) +
                       " repeated after an end of motion)\n";
    text += "datagrams: " + Number(c.datagramsAccepted) + " accepted, " + Number(c.datagramsStale) +
            " stale, " + Number(c.datagramsForeign) + " foreign, " + Number(c.datagramsMalformed) +
            " malformed; sessions started: " + Number(c.sessionsStarted) + "\n";
    if (c.lastCommand.empty()) {
        text += "last call: none yet\n";
    } else {
        text += "last call: " + Printable(c.lastCommand);
        if (c.lastCommandAgeMs >= 0) {
            char age[48];
            std::snprintf(age, sizeof(age), ", %.1f s ago",
                          static_cast<double>(c.lastCommandAgeMs) / 1000.0);
            text += age;
        }
        text += "\n";
    }
    if (line != nullptr && line->counters) {
        const StatusLineCounters& l = *line->counters;
        text += "line counters: " + Number(l.framesWritten) + " frames (" + Number(l.bytesWritten) +
                " bytes) written, " + Number(l.movesDropped) + " moves dropped on the busy line, " +
                Number(l.writeFailures) + " write failures, " + Number(l.writeTimeouts) +
                " write time-outs, " + Number(l.reopens) + " reopens\n";
    }
    return text;
}

}  // namespace

bool ParseStatus(std::string_view json, StatusDocument* status, std::string* error) {
    Json document;
    if (!JsonReader(json).Document(&document) || document.type != Json::Type::kObject ||
        document["lines"].type != Json::Type::kArray ||
        document["cameras"].type != Json::Type::kArray) {
        *error = "the server's status is not the document ptzctl knows";
        return false;
    }
    *status = StatusDocument{};
    for (const Json& line : document["lines"].items)
        status->lines.push_back(StatusLine{line["name"].text, line["protocol"].text,
                                           line["device"].text, line["state"].text,
                                           line["lastError"].text, LineCounters(line["counters"])});
    for (const Json& camera : document["cameras"].items) {
        StatusCamera row{camera["name"].text, camera["line"].text, std::nullopt,
                         camera["sessionOwner"].text, CameraCounters(camera["counters"])};
        // Bus addresses are small integers; anything else is shown as none, not cast.
        const double address = camera["address"].number;
        if (camera["address"].type == Json::Type::kNumber && address >= 0 && address <= 1e9)
            row.address = static_cast<long long>(address);
        status->cameras.push_back(std::move(row));
    }
    return true;
}

std::string FormatList(const StatusDocument& status) {
    std::vector<std::vector<std::string>> lines = {
        {"LINE", "PROTOCOL", "DEVICE", "STATE", "LAST ERROR"}};
    for (const StatusLine& line : status.lines)
        lines.push_back({Printable(line.name), Printable(line.protocol), OrDash(line.device),
                         Printable(line.state), OrDash(line.lastError)});
    std::vector<std::vector<std::string>> cameras = {
        {"CAMERA", "LINE", "ADDRESS", "LINE STATE", "HELD BY"}};
    for (const StatusCamera& camera : status.cameras) {
        const StatusLine* line = FindLine(status, camera.line);
        cameras.push_back({Printable(camera.name), Printable(camera.line),
                           camera.address ? std::to_string(*camera.address) : "-",
                           line != nullptr ? Printable(line->state) : "-",
                           OrDash(camera.sessionOwner)});
    }
    return Table(lines) + "\n" + Table(cameras);
}

std::optional<std::string> FormatCameraStatus(const StatusDocument& status,
                                              const std::string& name) {
    const StatusCamera* camera = nullptr;
    for (const StatusCamera& candidate : status.cameras)
        if (candidate.name == name)
            camera = &candidate;
    if (camera == nullptr)
        return std::nullopt;
    std::string text = "camera:  " + Printable(camera->name) + ", address " +
                       (camera->address ? std::to_string(*camera->address) : "- (not bound)") +
                       "\n";
    const StatusLine* line = FindLine(status, camera->line);
    text += "line:    " + Printable(camera->line);
    if (line != nullptr) {
        text += " (" + (line->protocol.empty() ? "" : Printable(line->protocol) + ", ") +
                OrDash(line->device) + "): " + Printable(line->state) + "\n";
        if (line->state == "down")
            text +=
                "         the camera's line is down: its commands are accepted but not sent "
                "until the host has the device again\n";
        else if (line->state == "stuck")
            text +=
                "         the camera's line is stuck: frames do not leave it, commands time "
                "out\n";
        else if (line->state == "none")
            text += "         the line has no port: commands go nowhere\n";
        if (!line->lastError.empty())
            text += "         last error: " + Printable(line->lastError) + "\n";
    } else {
        text += ": unknown to the host\n";
    }
    if (camera->sessionOwner.empty()) {
        text += "session: free; the first client to send datagrams takes the camera\n";
    } else {
        text += "session: held by " + Printable(camera->sessionOwner) +
                "; datagrams from this client would be ignored while that client holds the "
                "camera (until it stops sending for 5 s)\n";
    }
    return text + CountersText(*camera, line);
}

}  // namespace ptzctl
