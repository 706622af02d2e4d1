// URL escaping, splitting, rebuilding and redirect resolution of the HTTP client.
#include "webservice/HttpUrl.h"

#include <cstdio>

namespace k47::http {

namespace {

bool NeedsEscape(unsigned char c) {
    if (c < 0x20 || c > 0x7E)
        return true;
    switch (c) {
        case ' ':
        case '"':
        case '#':
        case '$':
        case '&':
        case '+':
        case ',':
        case ';':
        case '<':
        case '=':
        case '>':
        case '@':
        case '[':
        case '\\':
        case ']':
        case '^':
        case '`':
        case '{':
        case '|':
        case '}':
            return true;
        default:
            return false;
    }
}

bool IsSchemeChar(char c, bool first) {
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (first)
        return alpha;
    return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// Decimal port 1..65535, digits only.
bool ParsePort(std::string_view text, unsigned short* port) {
    if (text.empty() || text.size() > 5)
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + unsigned(c - '0');
    }
    if (value == 0 || value > 65535)
        return false;
    *port = static_cast<unsigned short>(value);
    return true;
}

}  // namespace

bool EscapeUrl(std::string_view url, std::string* out, size_t maxLength) {
    static const char kHex[] = "0123456789abcdef";
    std::string result;
    result.reserve(url.size());
    bool copying = false;
    for (char ch : url) {
        auto c = static_cast<unsigned char>(ch);
        if (!copying && (c == '?' || c == '#'))
            copying = true;
        if (!copying && NeedsEscape(c)) {
            result += '%';
            result += kHex[c >> 4];
            result += kHex[c & 0xF];
        } else {
            result += ch;
        }
        if (result.size() > maxLength)
            return false;
    }
    *out = std::move(result);
    return true;
}

unsigned short DefaultPortOfScheme(std::string_view scheme) {
    if (scheme == "http")
        return 80;
    if (scheme == "https")
        return 443;
    return 0;
}

CUrl::CUrl() : scheme_("http"), port_(80) {}

bool CUrl::CrackUrl(std::string_view url) {
    size_t sep = url.find("://");
    if (sep == std::string_view::npos || sep == 0)
        return false;
    std::string_view scheme = url.substr(0, sep);
    for (size_t i = 0; i < scheme.size(); ++i)
        if (!IsSchemeChar(scheme[i], i == 0))
            return false;

    std::string_view rest = url.substr(sep + 3);
    size_t authorityEnd = rest.find_first_of("/?#");
    if (authorityEnd == std::string_view::npos)
        authorityEnd = rest.size();
    std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view tail = rest.substr(authorityEnd);

    std::string_view user, password;
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view userinfo = authority.substr(0, at);
        size_t colon = userinfo.find(':');
        user = userinfo.substr(0, colon);
        if (colon != std::string_view::npos)
            password = userinfo.substr(colon + 1);
        authority = authority.substr(at + 1);
    }

    std::string_view host, portText;
    bool explicitPort = false;
    if (!authority.empty() && authority.front() == '[') {
        size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        host = authority.substr(1, close - 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':')
                return false;
            portText = after.substr(1);
            explicitPort = true;
        }
    } else {
        size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            portText = authority.substr(colon + 1);
            explicitPort = true;
        }
    }
    unsigned short port = DefaultPortOfScheme(scheme);
    if (explicitPort && !ParsePort(portText, &port))
        return false;

    size_t extraStart = tail.find_first_of("?#");
    if (extraStart == std::string_view::npos)
        extraStart = tail.size();

    scheme_.assign(scheme);
    host_.assign(host);
    user_.assign(user);
    password_.assign(password);
    path_.assign(tail.substr(0, extraStart));
    extra_.assign(tail.substr(extraStart));
    port_ = port;
    explicit_port_ = explicitPort;
    return true;
}

bool CUrl::CreateUrl(std::string* out, size_t maxLength) const {
    std::string text = scheme_ + "://";
    // A password goes out even without a user name ("http://:pw@srv/"), or it would be lost.
    if (!user_.empty() || !password_.empty()) {
        text += user_;
        if (!password_.empty())
            text += ":" + password_;
        text += "@";
    }
    // Brackets for a host that has a ':' (IPv6) or begins with '[': unbracketed, either would be
    // cracked differently. A cracked host never holds both a ':' and a ']'.
    bool bracket = host_.find(':') != std::string::npos || host_.starts_with('[');
    text += bracket ? "[" + host_ + "]" : host_;
    if (explicit_port_)
        text += ":" + std::to_string(port_);
    text += path_;
    text += extra_;
    if (text.size() > maxLength)
        return false;
    *out = std::move(text);
    return true;
}

bool CUrl::ResolveLocation(std::string_view location, CUrl* out) const {
    size_t sep = location.find("://");
    size_t firstSlash = location.find('/');
    if (sep != std::string_view::npos && sep > 0 &&
        (firstSlash == std::string_view::npos || sep < firstSlash))
        return out->CrackUrl(location);
    if (location.substr(0, 2) == "//")
        return out->CrackUrl(scheme_ + ":" + std::string(location));

    CUrl result = *this;
    size_t extraStart = location.find_first_of("?#");
    std::string_view path = location.substr(0, extraStart);
    std::string_view extra =
        extraStart == std::string_view::npos ? std::string_view() : location.substr(extraStart);
    if (path.empty()) {
        // "?query" or "#fragment": same document, new extra part.
        if (extra.empty())
            return false;
    } else if (path.front() == '/') {
        result.path_.assign(path);
    } else {
        size_t slash = path_.rfind('/');
        std::string base =
            slash == std::string::npos ? std::string("/") : path_.substr(0, slash + 1);
        result.path_ = base + std::string(path);
    }
    result.extra_.assign(extra);
    *out = std::move(result);
    return true;
}

}  // namespace k47::http
