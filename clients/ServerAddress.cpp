// Server address parsing and composition.
#include "clients/ServerAddress.h"

namespace {

// The token rule, with "/" as the only delimiter: skip a run of "/"; the token runs to the next
// "/" or the end. `next` gets the position one past the character that ended it (past the end
// when the token ran to the end), or npos when no token was found.
std::string Token(std::string_view text, size_t from, size_t* next) {
    size_t begin = text.find_first_not_of('/', from);
    if (begin == std::string_view::npos) {
        *next = std::string_view::npos;
        return std::string();
    }
    size_t end = text.find('/', begin);
    if (end == std::string_view::npos) {
        *next = text.size() + 1;
        return std::string(text.substr(begin));
    }
    *next = end + 1;
    return std::string(text.substr(begin, end - begin));
}

// Appends a path part, preceded by "/" unless it begins with one or the path part before it
// ended with one (so "site/" and "VLTControl/..." join with a single slash).
void AppendPath(std::string* url, std::string_view part, bool* endsWithSlash) {
    if (part.empty())
        return;
    if (part.front() != '/' && !*endsWithSlash)
        *url += '/';
    *url += part;
    *endsWithSlash = part.back() == '/';
}

}  // namespace

K47ServerAddress K47ServerAddress::Parse(std::string_view address) {
    K47ServerAddress parsed;
    size_t rest = 0;
    size_t separator = address.find("://");
    if (separator != std::string_view::npos && separator > 0) {
        parsed.scheme = std::string(address.substr(0, separator));
        rest = separator + 3;
    } else {
        parsed.scheme = "http";
    }
    size_t next = std::string_view::npos;
    size_t colon = rest < address.size() ? address.find(':', rest) : std::string_view::npos;
    if (rest < address.size() && colon != std::string_view::npos && colon > 0) {
        parsed.host = std::string(address.substr(rest, colon - rest));
        parsed.portText = Token(address, colon + 1, &next);
    } else {
        parsed.host = Token(address, rest, &next);
    }
    if (next != std::string_view::npos && next < address.size())
        parsed.path = std::string(address.substr(next));
    return parsed;
}

std::string K47ServerAddress::Compose(std::string_view extraPath) const {
    std::string url = scheme + "://" + host;
    if (!portText.empty())
        url += ":" + portText;
    bool endsWithSlash = false;
    AppendPath(&url, path, &endsWithSlash);
    AppendPath(&url, extraPath, &endsWithSlash);
    return url;
}
