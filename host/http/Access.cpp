// Client address prefixes and HTTP Basic checks.
#include "host/http/Access.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "host/http/HttpRequest.h"

namespace k47host::http {

namespace {

// The client's address as prefix bytes; an IPv4-mapped IPv6 address counts as IPv4.
bool ClientBytes(const sockaddr* address, bool* v6, std::array<uint8_t, 16>* bytes) {
    bytes->fill(0);
    if (address == nullptr)
        return false;
    if (address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        std::memcpy(bytes->data(), &in->sin_addr, 4);
        *v6 = false;
        return true;
    }
    if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            std::memcpy(bytes->data(), in6->sin6_addr.s6_addr + 12, 4);
            *v6 = false;
        } else {
            std::memcpy(bytes->data(), in6->sin6_addr.s6_addr, 16);
            *v6 = true;
        }
        return true;
    }
    return false;
}

// Equal in the first `bits` bits.
bool SamePrefix(const std::array<uint8_t, 16>& a, const std::array<uint8_t, 16>& b, unsigned bits) {
    size_t whole = bits / 8;
    if (std::memcmp(a.data(), b.data(), whole) != 0)
        return false;
    unsigned rest = bits % 8;
    if (rest == 0)
        return true;
    const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

// Constant in time for equal lengths, so a guess does not learn how much of it was right.
bool SameSecret(std::string_view a, std::string_view b) {
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

std::optional<AddressPrefix> AddressPrefix::Parse(std::string_view text) {
    std::string address(text.substr(0, text.find('/')));
    AddressPrefix prefix;
    if (inet_pton(AF_INET, address.c_str(), prefix.bytes.data()) == 1) {
        prefix.bits = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), prefix.bytes.data()) == 1) {
        prefix.v6 = true;
        prefix.bits = 128;
    } else {
        return std::nullopt;
    }
    if (size_t slash = text.find('/'); slash != std::string_view::npos) {
        std::string_view digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3)
            return std::nullopt;
        unsigned bits = 0;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return std::nullopt;
            bits = bits * 10 + static_cast<unsigned>(c - '0');
        }
        if (bits > prefix.bits)
            return std::nullopt;
        prefix.bits = bits;
    }
    return prefix;
}

bool AddressPrefix::Matches(const sockaddr* address) const {
    bool clientV6 = false;
    std::array<uint8_t, 16> client{};
    return ClientBytes(address, &clientV6, &client) && clientV6 == v6 &&
           SamePrefix(client, bytes, bits);
}

bool ParseAddressPrefixes(std::string_view text, std::vector<AddressPrefix>* prefixes,
                          std::string* error) {
    prefixes->clear();
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find_first_of(" \t\r\n,", at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view word = text.substr(at, end - at);
        at = end + 1;
        if (word.empty())
            continue;
        std::optional<AddressPrefix> prefix = AddressPrefix::Parse(word);
        if (!prefix) {
            *error = std::string(word);
            return false;
        }
        prefixes->push_back(*prefix);
    }
    return true;
}

bool ClientAllowed(const std::vector<AddressPrefix>& allowed, const sockaddr* address) {
    if (allowed.empty())
        return true;
    for (const AddressPrefix& prefix : allowed)
        if (prefix.Matches(address))
            return true;
    return false;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            // '=' only at the end of the last group: "ab==" or "abc=".
            if (c == '=' && last && k >= 2 && (k == 3 || text[i + 3] == '=')) {
                v[k] = 0;
                ++padding;
                continue;
            }
            v[k] = Base64Value(c);
            if (v[k] < 0 || padding > 0)
                return std::nullopt;
        }
        const uint32_t bits = (static_cast<uint32_t>(v[0]) << 18) |
                              (static_cast<uint32_t>(v[1]) << 12) |
                              (static_cast<uint32_t>(v[2]) << 6) | static_cast<uint32_t>(v[3]);
        out.push_back(static_cast<char>(bits >> 16));
        if (padding < 2)
            out.push_back(static_cast<char>((bits >> 8) & 0xFF));
        if (padding < 1)
            out.push_back(static_cast<char>(bits & 0xFF));
    }
    return out;
}

std::optional<std::string> CheckBasic(const AuthSettings& settings,
                                      std::optional<std::string_view> authorization) {
    if (!authorization)
        return std::nullopt;
    std::string_view value = *authorization;
    // The scheme name is case-insensitive (RFC 9110 11.1).
    constexpr std::string_view kScheme = "basic ";
    if (value.size() <= kScheme.size())
        return std::nullopt;
    if (!EqualsIgnoringCase(value.substr(0, kScheme.size()), kScheme))
        return std::nullopt;
    value.remove_prefix(kScheme.size());
    while (!value.empty() && value.front() == ' ')
        value.remove_prefix(1);
    while (!value.empty() && value.back() == ' ')
        value.remove_suffix(1);
    std::optional<std::string> decoded = DecodeBase64(value);
    if (!decoded)
        return std::nullopt;
    const size_t colon = decoded->find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    const std::string_view name = std::string_view(*decoded).substr(0, colon);
    const std::string_view password = std::string_view(*decoded).substr(colon + 1);
    for (const BasicUser& user : settings.users)
        if (user.name == name && SameSecret(user.password, password))
            return user.name;
    return std::nullopt;
}

bool IsLoopback(const sockaddr* address) {
    bool v6 = false;
    std::array<uint8_t, 16> bytes{};
    if (!ClientBytes(address, &v6, &bytes))
        return false;
    if (!v6)
        return bytes[0] == 127;
    static const std::array<uint8_t, 16> kLoopback6 = {0, 0, 0, 0, 0, 0, 0, 0,
                                                       0, 0, 0, 0, 0, 0, 0, 1};
    return bytes == kLoopback6;
}

AccessDecision DecideAccess(const AuthSettings& listenerAuth, const RouteAccess* routeAccess,
                            bool secureListener, const sockaddr* client,
                            std::optional<std::string_view> authorization) {
    AccessDecision decision;
    const AuthSettings& auth = routeAccess != nullptr ? routeAccess->auth : listenerAuth;
    if (!auth.Enabled())
        return decision;
    if (routeAccess != nullptr && routeAccess->privateChannelWithUsers && !secureListener &&
        !IsLoopback(client)) {
        decision.status = 403;
        decision.text =
            "passwords are not taken over plain HTTP from another machine: use HTTPS or connect "
            "from this machine\n";
        return decision;
    }
    std::optional<std::string> user = CheckBasic(auth, authorization);
    if (!user) {
        decision.status = 401;
        decision.text = "credentials required\n";
        decision.challenge = "Basic realm=\"" + auth.realm + "\", charset=\"UTF-8\"";
        return decision;
    }
    decision.user = std::move(*user);
    return decision;
}

}  // namespace k47host::http
