// URLs of the HTTP client: CUrl holds a URL split into scheme, host, port, user name, password,
// path and extra part (query or fragment, from the first '?' or '#'), and the pure functions that
// escape a URL text, split one, rebuild one and resolve a redirect location against one.
//
// Plain values: no shared state, safe to use from any thread; a CUrl is copied freely.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace k47::http {

// The longest URL the socket transport accepts after escaping, and the longest text the HTTPS
// transport rebuilds from the parts.
inline constexpr size_t kMaxEscapedUrlLength = 2083;
inline constexpr size_t kMaxRebuiltUrlLength = 2084;

// Escapes `url` into *out: up to the first '?' or '#', every byte below 0x20 or above 0x7E and
// each of  space " # $ & + , ; < = > @ [ \ ] ^ ` { | }  becomes '%' and two lower-case hex digits;
// '%' itself is kept, and from the first '?' or '#' on bytes are copied unchanged. False (and
// *out unchanged) when the result would be longer than `maxLength`.
bool EscapeUrl(std::string_view url, std::string* out, size_t maxLength = kMaxEscapedUrlLength);

// The port a scheme uses when the URL names none: 80 for "http", 443 for "https" (exact,
// case-sensitive names), 0 for any other.
unsigned short DefaultPortOfScheme(std::string_view scheme);

class CUrl {
  public:
    // Scheme "http", port 80, everything else empty.
    CUrl();

    // Splits "scheme://[user[:password]@]host[:port][/path][?extra|#extra]". A bracketed host
    // ("[::1]") loses its brackets. A URL without a port gets its scheme's default port and
    // HasExplicitPort() false. False (and *this unchanged) for a text without "://", an invalid
    // scheme, or a port that is empty, not decimal, 0 or above 65535.
    bool CrackUrl(std::string_view url);

    // "scheme://[user[:password]@]host[:port]path extra", the port written only when the cracked
    // URL named one, the host in brackets when it holds a ':' or begins with '['. The text cracks
    // into the same parts again. False when it would be longer than `maxLength`.
    bool CreateUrl(std::string* out, size_t maxLength = kMaxRebuiltUrlLength) const;

    // The URL that a redirect's "Location" value names, relative to this one: an absolute URL
    // replaces everything, "//host/..." keeps the scheme, "/path" keeps scheme, host and port,
    // "?query" keeps the path, anything else replaces the last segment of the path.
    bool ResolveLocation(std::string_view location, CUrl* out) const;

    const std::string& GetSchemeName() const { return scheme_; }
    const std::string& GetHostName() const { return host_; }
    const std::string& GetUserName() const { return user_; }
    const std::string& GetPassword() const { return password_; }
    const std::string& GetUrlPath() const { return path_; }
    const std::string& GetExtraInfo() const { return extra_; }
    unsigned short GetPortNumber() const { return port_; }
    bool HasExplicitPort() const { return explicit_port_; }

    void SetUrlPath(std::string path) { path_ = std::move(path); }
    void SetPortNumber(unsigned short port, bool explicitPort) {
        port_ = port;
        explicit_port_ = explicitPort;
    }

  private:
    std::string scheme_;
    std::string host_;
    std::string user_;
    std::string password_;
    std::string path_;
    std::string extra_;
    unsigned short port_;
    bool explicit_port_ = false;
};

}  // namespace k47::http
