// The server side of the control web service's messages: reading a SOAP 1.1 request envelope
// (document/literal, the operation's wrapper element in the service namespace) and writing the
// response envelope or a SOAP fault. Pure functions over bytes; no I/O, no state, thread-safe.
//
// Requests are untrusted: they go through the hardened XML loader (no DTD, no entities from
// outside, a size cap), and every problem becomes a Client fault with a clear text.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace k47host {

inline constexpr char kSoapEnvelopeNamespace[] = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr char kSchemaInstanceNamespace[] = "http://www.w3.org/2001/XMLSchema-instance";
inline constexpr size_t kMaxRequestBytes = 64 * 1024;

struct SoapFault {
    std::string code;    // "Client" or "Server" (written with the soap: prefix)
    std::string text;    // faultstring
    std::string detail;  // optional plain text
};

struct SoapRequest {
    std::string operation;  // the wrapper's local name
    // Parameter values by element name: the text, or nullopt for xsi:nil.
    std::map<std::string, std::optional<std::string>> parameters;

    // A parameter as text; nullopt when absent or nil.
    std::optional<std::string> Text(const std::string& name) const;
    // A parameter as a decimal 32-bit integer; false when absent, nil or not such a number.
    bool Int(const std::string& name, int32_t* value) const;
};

// Parses a request envelope. On failure returns nothing and fills *fault (always a Client fault).
std::optional<SoapRequest> ParseSoapRequest(std::string_view body, SoapFault* fault);

// The operation a SOAPAction header value names: quotes and blanks dropped, then what follows the
// last '/' or '#' ("\"http://ns/PtzCommand\"", "PtzCommand" and "urn:x#PtzCommand" all name
// PtzCommand). Empty when the value names none ("" is SOAP 1.1's "the request URI").
std::string_view SoapActionOperation(std::string_view header);

// Whether the request's SOAPAction header (nothing: absent) names `operation`, the operation of
// its body. Empty when it does, else the faultstring of the Client fault that answers it.
std::string CheckSoapAction(std::optional<std::string_view> header, std::string_view operation);

// One output of a response, in order.
struct SoapValue {
    std::string name;
    std::string text;  // already in XML text form (numbers here)
};

// "<Operation>Response" in the service namespace holding the outputs.
std::string BuildSoapResponse(std::string_view operation, const std::vector<SoapValue>& outputs);
std::string BuildSoapFault(const SoapFault& fault);

// Escapes text for XML character data and attribute values.
std::string XmlEscape(std::string_view text);

}  // namespace k47host
