// The SOAP 1.2 side of the ONVIF device: reading a request envelope (the operation, its
// arguments and the WS-Security UsernameToken of its header), checking that token against the
// configured users, and writing response and fault envelopes.
//
// Requests are untrusted: they go through the hardened XML loader (no DTD, no entities, no
// network, a size cap) and the argument walk has its own depth cap. Every refusal is a fault
// a client can be sent as it is.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace k47host::onvif {

inline constexpr char kSoap12Namespace[] = "http://www.w3.org/2003/05/soap-envelope";
inline constexpr char kSoap11Namespace[] = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr char kDeviceNamespace[] = "http://www.onvif.org/ver10/device/wsdl";
inline constexpr char kMediaNamespace[] = "http://www.onvif.org/ver10/media/wsdl";
inline constexpr char kPtzNamespace[] = "http://www.onvif.org/ver20/ptz/wsdl";
inline constexpr char kSchemaNamespace[] = "http://www.onvif.org/ver10/schema";
inline constexpr char kErrorNamespace[] = "http://www.onvif.org/ver10/error";
inline constexpr char kWsseNamespace[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
inline constexpr char kWsuNamespace[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";
inline constexpr char kPasswordDigestType[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0"
    "#PasswordDigest";
inline constexpr char kPasswordTextType[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0"
    "#PasswordText";

// ONVIF requests are small; anything larger is refused before parsing.
inline constexpr size_t kMaxOnvifRequestBytes = 64 * 1024;
// Elements below the operation deeper than this are refused (ONVIF arguments nest a few levels).
inline constexpr int kMaxArgumentDepth = 16;
// How far a token's Created may be from our clock, either way.
inline constexpr std::chrono::seconds kMaxClockSkew{300};

struct OnvifFault {
    std::string code;     // "env:Sender", "env:Receiver" or "env:VersionMismatch"
    std::string subcode;  // e.g. "ter:NotAuthorized"; empty for none
    std::string reason;   // plain text
    // The subcode's own subcode (ONVIF's second level, "ter:NoProfile" below "ter:InvalidArgVal");
    // empty for none.
    std::string subsubcode;
};

enum class PasswordType { kText, kDigest, kUnknown };

struct UsernameToken {
    std::string username;
    std::string password;  // the text, or the base64 digest
    PasswordType type = PasswordType::kText;
    std::string nonce;    // decoded bytes; empty when absent
    std::string created;  // as sent; empty when absent
};

struct OnvifRequest {
    std::string operation;  // the Body's first element, local name
    std::string service;    // its namespace
    std::optional<UsernameToken> token;

    // An argument by path of local names below the operation: "ProfileToken",
    // "Velocity/PanTilt@x" (an attribute), "Timeout". The first occurrence when an element
    // repeats; leading and trailing blanks dropped. Nothing when absent.
    std::optional<std::string> Text(std::string_view path) const;
    // Every path that has a value, in order (for diagnostics and tests).
    const std::map<std::string, std::string, std::less<>>& Values() const { return values_; }

    std::map<std::string, std::string, std::less<>> values_;
};

// Parses a request envelope; on failure returns nothing and fills *fault.
std::optional<OnvifRequest> ParseOnvifRequest(std::string_view body, OnvifFault* fault);

// Nonces seen recently, so that a token cannot be sent twice. Bounded: when full, expired nonces
// go first, then the oldest (a flood of valid tokens can thus push one out; it needs the
// password to make them). Thread-safe.
class NonceCache {
  public:
    explicit NonceCache(size_t capacity = 4096) : capacity_(capacity) {}
    // False when `nonce` was already seen within the skew window of `now`; otherwise remembers it.
    bool Remember(std::string_view nonce, std::chrono::system_clock::time_point now);
    size_t Size() const;

  private:
    const size_t capacity_;
    mutable std::mutex nonce_lock_;  // guards seen_ and order_
    std::unordered_map<std::string, std::chrono::system_clock::time_point> seen_;
    std::deque<std::string> order_;  // insertion order, oldest first
};

struct OnvifUser {
    std::string name;
    std::string password;
};

// Whether the token names a user and proves the password: PasswordDigest is
// Base64(SHA-1(nonce + Created + password)) and needs a nonce and Created; PasswordText is
// compared in constant time. Created more than kMaxClockSkew from `now` and a nonce seen before
// are refused. On refusal, *why says what failed (for the log; clients get NotAuthorized).
bool CheckUsernameToken(const UsernameToken& token, const std::vector<OnvifUser>& users,
                        std::chrono::system_clock::time_point now, NonceCache* nonces,
                        std::string* why);

// xs:dateTime with a time zone ("2026-12-07T01:20:00Z", "...00.123+01:00") to a time point.
std::optional<std::chrono::system_clock::time_point> ParseXsDateTime(std::string_view text);

// Base64(SHA-1(nonce + created + password)).
std::string PasswordDigest(std::string_view nonce, std::string_view created,
                           std::string_view password);

// Escapes text for element content and attribute values; carriage returns, tabs and line feeds
// become character references so that they survive a reader's normalisation; characters XML
// cannot carry are dropped.
std::string OnvifEscape(std::string_view text);
// "<name>escaped text</name>" (name is a qualified name such as "tt:Name").
std::string OnvifTextElement(std::string_view name, std::string_view text);

// An envelope whose Body holds `element` (e.g. "tds:GetSystemDateAndTimeResponse") around
// `inner_xml` (already XML, built with OnvifTextElement and the like). The env, tds, trt, tptz,
// tt and ter prefixes are declared on the envelope.
std::string BuildOnvifResponse(std::string_view element, std::string_view inner_xml);
std::string BuildOnvifFault(const OnvifFault& fault);

}  // namespace k47host::onvif
