// Who may use the host's HTTP services: client address prefixes (checked when a connection is
// accepted) and HTTP Basic authentication against a configured user list (checked per request).
// Both are off by default: every client, no credentials. Pure functions, thread-safe.
//
// Basic sends the password in the clear on every request: configure users only on HTTPS
// listeners or on trusted networks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sockaddr;

namespace k47host::http {

// "10.0.0.0/8", "192.168.1.7" (/32), "::1" (/128), "fd00::/8". IPv4 prefixes also match
// IPv4-mapped IPv6 clients ("::ffff:10.1.2.3"), which a dual-stack listener sees.
struct AddressPrefix {
    bool v6 = false;
    std::array<uint8_t, 16> bytes{};  // IPv4 in the first 4
    unsigned bits = 0;

    static std::optional<AddressPrefix> Parse(std::string_view text);
    bool Matches(const sockaddr* address) const;
};

// Blank-separated prefixes; false (with the bad word in *error) when one does not parse.
bool ParseAddressPrefixes(std::string_view text, std::vector<AddressPrefix>* prefixes,
                          std::string* error);
// An empty list allows every client.
bool ClientAllowed(const std::vector<AddressPrefix>& allowed, const sockaddr* address);

struct BasicUser {
    std::string name;
    std::string password;
};

struct AuthSettings {
    std::vector<BasicUser> users;  // empty: authentication off
    std::string realm = "K47PTZ";

    bool Enabled() const { return !users.empty(); }
};

// Strict base64 (RFC 4648, with padding); nothing when the text is not such.
std::optional<std::string> DecodeBase64(std::string_view text);

// The user named by an "Authorization: Basic ..." value when the name and password match a
// configured user; nothing otherwise (no header, another scheme, bad encoding, wrong password).
std::optional<std::string> CheckBasic(const AuthSettings& settings,
                                      std::optional<std::string_view> authorization);

// 127.0.0.0/8, ::1 and IPv4-mapped 127.x.y.z: clients on this machine. False for nullptr.
bool IsLoopback(const sockaddr* address);

// What a route asks of a request beyond the listener's own rules (allowedClients, and its users
// for every route without this). For the console: its users, and no password in the clear
// across a network.
struct RouteAccess {
    AuthSettings auth;  // no users: open (the listener's Allow still applies)
    // With users: refused (403) unless the listener is HTTPS or the client is on this machine,
    // before any credentials are asked for, so a browser is never led to send them in the clear.
    bool privateChannelWithUsers = true;
};

struct AccessDecision {
    unsigned status = 0;  // 0: allowed; else 401 or 403, answered with `text`
    std::string text;
    std::string challenge;  // the WWW-Authenticate value of a 401
    std::string user;       // allowed: the user who passed, or empty without users
};

// The access rule of one request: the route's own (when it has one) or else the listener's
// users; pure, for tests without sockets.
AccessDecision DecideAccess(const AuthSettings& listenerAuth, const RouteAccess* routeAccess,
                            bool secureListener, const sockaddr* client,
                            std::optional<std::string_view> authorization);

}  // namespace k47host::http
