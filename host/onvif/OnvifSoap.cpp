// ONVIF SOAP 1.2 requests, UsernameToken checks, responses and faults.
#include "host/onvif/OnvifSoap.h"

#include <libxml/tree.h>
#include <k47/xmldoc.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstring>
#include <ctime>

#include "host/http/Access.h"

namespace k47host::onvif {

namespace {

bool InNamespace(const xmlNode* node, const char* uri) {
    return node->ns != nullptr && node->ns->href != nullptr &&
           std::strcmp(reinterpret_cast<const char*>(node->ns->href), uri) == 0;
}

bool IsElement(const xmlNode* node, const char* localName, const char* uri) {
    return node->type == XML_ELEMENT_NODE &&
           std::strcmp(reinterpret_cast<const char*>(node->name), localName) == 0 &&
           InNamespace(node, uri);
}

const xmlNode* FirstElement(const xmlNode* parent) {
    for (const xmlNode* child = parent->children; child != nullptr; child = child->next)
        if (child->type == XML_ELEMENT_NODE)
            return child;
    return nullptr;
}

const xmlNode* Child(const xmlNode* parent, const char* localName, const char* uri) {
    for (const xmlNode* child = parent->children; child != nullptr; child = child->next)
        if (IsElement(child, localName, uri))
            return child;
    return nullptr;
}

std::string_view Trim(std::string_view text) {
    const char* blanks = " \t\r\n";
    size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string_view::npos)
        return {};
    size_t end = text.find_last_not_of(blanks);
    return text.substr(begin, end - begin + 1);
}

std::string NodeText(const xmlNode* node) {
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content != nullptr ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return std::string(Trim(text));
}

std::optional<OnvifRequest> Fail(OnvifFault* fault, const char* code, const char* subcode,
                                 std::string reason) {
    if (fault != nullptr)
        *fault = OnvifFault{code, subcode, std::move(reason)};
    return std::nullopt;
}

// Records the attributes and leaf texts below `element` under `prefix`; false when the arguments
// nest deeper than kMaxArgumentDepth.
bool Flatten(const xmlNode* element, const std::string& prefix, int depth,
             std::map<std::string, std::string, std::less<>>* values) {
    if (depth > kMaxArgumentDepth)
        return false;
    for (const xmlAttr* attribute = element->properties; attribute != nullptr;
         attribute = attribute->next) {
        std::string path = prefix + "@" + reinterpret_cast<const char*>(attribute->name);
        values->emplace(path, NodeText(reinterpret_cast<const xmlNode*>(attribute)));
    }
    bool leaf = true;
    for (const xmlNode* child = element->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        leaf = false;
        std::string path = prefix.empty() ? std::string() : prefix + "/";
        path += reinterpret_cast<const char*>(child->name);
        if (!Flatten(child, path, depth + 1, values))
            return false;
    }
    if (leaf && !prefix.empty())
        values->emplace(prefix, NodeText(element));
    return true;
}

// Reads wsse:Security/wsse:UsernameToken from the Header, if any. An empty string when fine,
// else why it is refused.
std::string ReadToken(const xmlNode* header, std::optional<UsernameToken>* out) {
    const xmlNode* security = Child(header, "Security", kWsseNamespace);
    if (security == nullptr)
        return {};
    const xmlNode* tokenNode = Child(security, "UsernameToken", kWsseNamespace);
    if (tokenNode == nullptr)
        return {};
    UsernameToken token;
    const xmlNode* username = Child(tokenNode, "Username", kWsseNamespace);
    if (username == nullptr)
        return "the UsernameToken has no Username";
    token.username = NodeText(username);
    if (const xmlNode* password = Child(tokenNode, "Password", kWsseNamespace)) {
        token.password = NodeText(password);
        // An absent Type means PasswordText.
        xmlChar* type = xmlGetNoNsProp(password, reinterpret_cast<const xmlChar*>("Type"));
        if (type != nullptr) {
            std::string_view value = Trim(reinterpret_cast<const char*>(type));
            if (value == kPasswordDigestType) {
                token.type = PasswordType::kDigest;
            } else if (value != kPasswordTextType) {
                token.type = PasswordType::kUnknown;
            }
            xmlFree(type);
        }
    }
    if (const xmlNode* nonce = Child(tokenNode, "Nonce", kWsseNamespace)) {
        std::string encoded;
        for (char c : NodeText(nonce))
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
                encoded += c;
        std::optional<std::string> decoded = http::DecodeBase64(encoded);
        if (!decoded)
            return "the UsernameToken's Nonce is not base64";
        token.nonce = std::move(*decoded);
    }
    if (const xmlNode* created = Child(tokenNode, "Created", kWsuNamespace))
        token.created = NodeText(created);
    *out = std::move(token);
    return {};
}

}  // namespace

std::optional<std::string> OnvifRequest::Text(std::string_view path) const {
    auto it = values_.find(path);
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

std::optional<OnvifRequest> ParseOnvifRequest(std::string_view body, OnvifFault* fault) {
    if (body.size() > kMaxOnvifRequestBytes)
        return Fail(fault, "env:Sender", "ter:WellFormed",
                    "the request is larger than this device accepts");
    k47::XmlError error;
    k47::XmlLoadOptions options;
    options.max_bytes = kMaxOnvifRequestBytes;
    k47::XmlDocument document = k47::XmlDocument::LoadString(body, &error, options);
    if (!document)
        return Fail(fault, "env:Sender", "ter:WellFormed",
                    "the request is not well-formed XML: " + error.message);

    const xmlNode* envelope = document.DocumentElement();
    if (envelope == nullptr ||
        std::strcmp(reinterpret_cast<const char*>(envelope->name), "Envelope") != 0)
        return Fail(fault, "env:Sender", "ter:TagMismatch", "the request is not a SOAP envelope");
    if (!InNamespace(envelope, kSoap12Namespace))
        return Fail(fault, "env:VersionMismatch", "",
                    std::string("this device speaks SOAP 1.2 only (envelope namespace ") +
                        kSoap12Namespace + ")");

    const xmlNode* header = nullptr;
    const xmlNode* soapBody = nullptr;
    for (const xmlNode* child = envelope->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        if (soapBody == nullptr && header == nullptr &&
            IsElement(child, "Header", kSoap12Namespace)) {
            header = child;
        } else if (soapBody == nullptr && IsElement(child, "Body", kSoap12Namespace)) {
            soapBody = child;
        } else {
            return Fail(fault, "env:Sender", "ter:TagMismatch",
                        "unexpected element in the SOAP envelope");
        }
    }
    if (soapBody == nullptr)
        return Fail(fault, "env:Sender", "ter:TagMismatch", "the SOAP envelope has no Body");
    const xmlNode* operation = FirstElement(soapBody);
    if (operation == nullptr)
        return Fail(fault, "env:Sender", "ter:TagMismatch", "the SOAP Body names no operation");
    if (operation->ns == nullptr || operation->ns->href == nullptr)
        return Fail(fault, "env:Sender", "ter:Namespace", "the operation has no namespace");

    OnvifRequest request;
    request.operation = reinterpret_cast<const char*>(operation->name);
    request.service = reinterpret_cast<const char*>(operation->ns->href);
    if (!Flatten(operation, "", 0, &request.values_))
        return Fail(fault, "env:Sender", "ter:InvalidArgVal",
                    "the arguments nest deeper than this device reads");
    if (header != nullptr) {
        std::string problem = ReadToken(header, &request.token);
        if (!problem.empty())
            return Fail(fault, "env:Sender", "ter:NotAuthorized", problem);
    }
    return request;
}

bool NonceCache::Remember(std::string_view nonce, std::chrono::system_clock::time_point now) {
    std::lock_guard<std::mutex> lock(nonce_lock_);
    std::string key(nonce);
    // A token passes while its Created is within the skew of our clock, so one accepted at
    // `now` can come back for up to twice the skew: that long a nonce is kept.
    auto it = seen_.find(key);
    if (it != seen_.end()) {
        if (now - it->second <= 2 * kMaxClockSkew)
            return false;
        it->second = now;  // long expired: its token's Created is refused anyway
        return true;
    }
    // Drop what has expired from the front, then the oldest if still full.
    while (!order_.empty()) {
        auto oldest = seen_.find(order_.front());
        bool expired = oldest == seen_.end() || now - oldest->second > 2 * kMaxClockSkew;
        if (!expired && seen_.size() < capacity_)
            break;
        if (oldest != seen_.end())
            seen_.erase(oldest);
        order_.pop_front();
    }
    if (capacity_ == 0)
        return true;
    seen_.emplace(key, now);
    order_.push_back(std::move(key));
    return true;
}

size_t NonceCache::Size() const {
    std::lock_guard<std::mutex> lock(nonce_lock_);
    return seen_.size();
}

std::optional<std::chrono::system_clock::time_point> ParseXsDateTime(std::string_view text) {
    text = Trim(text);
    auto digits = [&](size_t at, size_t count, int* value) {
        if (at + count > text.size())
            return false;
        int v = 0;
        for (size_t i = at; i < at + count; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return false;
            v = v * 10 + (text[i] - '0');
        }
        *value = v;
        return true;
    };
    int year, month, day, hour, minute, second;
    if (!digits(0, 4, &year) || text.size() < 19 || text[4] != '-' || !digits(5, 2, &month) ||
        text[7] != '-' || !digits(8, 2, &day) || text[10] != 'T' || !digits(11, 2, &hour) ||
        text[13] != ':' || !digits(14, 2, &minute) || text[16] != ':' || !digits(17, 2, &second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    size_t at = 19;
    std::chrono::microseconds fraction{0};
    if (at < text.size() && text[at] == '.') {
        ++at;
        long scale = 100000;
        size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            fraction += std::chrono::microseconds((text[at] - '0') * scale);
            scale /= 10;
            ++at;
        }
        if (at == start)
            return std::nullopt;
    }
    // A time without a zone is local to someone we do not know; refuse it.
    int offsetMinutes = 0;
    if (at < text.size() && text[at] == 'Z') {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        int oh, om;
        if (!digits(at + 1, 2, &oh) || at + 3 >= text.size() || text[at + 3] != ':' ||
            !digits(at + 4, 2, &om) || oh > 14 || om > 59)
            return std::nullopt;
        offsetMinutes = (text[at] == '-' ? -1 : 1) * (oh * 60 + om);
        at += 6;
    } else {
        return std::nullopt;
    }
    if (at != text.size())
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    time_t seconds = timegm(&tm);
    return std::chrono::system_clock::from_time_t(seconds) - std::chrono::minutes(offsetMinutes) +
           fraction;
}

std::string PasswordDigest(std::string_view nonce, std::string_view created,
                           std::string_view password) {
    std::string input;
    input.reserve(nonce.size() + created.size() + password.size());
    input.append(nonce).append(created).append(password);
    unsigned char hash[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), hash);
    unsigned char encoded[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
    int length = EVP_EncodeBlock(encoded, hash, SHA_DIGEST_LENGTH);
    return std::string(reinterpret_cast<const char*>(encoded), static_cast<size_t>(length));
}

namespace {

bool SameSecret(std::string_view a, std::string_view b) {
    // Lengths are not secret here (a digest's is fixed); the bytes are compared in full.
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool Refuse(std::string* why, std::string text) {
    if (why != nullptr)
        *why = std::move(text);
    return false;
}

}  // namespace

bool CheckUsernameToken(const UsernameToken& token, const std::vector<OnvifUser>& users,
                        std::chrono::system_clock::time_point now, NonceCache* nonces,
                        std::string* why) {
    // An unknown name takes the same path as a wrong password, digest included, so that the
    // time of a refusal does not tell which names exist.
    static const OnvifUser kNobody{"", "\x01no user has this password"};
    const OnvifUser* user = &kNobody;
    bool known = false;
    for (const OnvifUser& candidate : users) {
        if (candidate.name == token.username) {
            user = &candidate;
            known = true;
        }
    }
    if (token.type == PasswordType::kUnknown)
        return Refuse(why, "unknown password type");
    if (token.type == PasswordType::kDigest && (token.nonce.empty() || token.created.empty()))
        return Refuse(why, "a password digest needs a Nonce and a Created");
    if (!token.created.empty()) {
        std::optional<std::chrono::system_clock::time_point> created =
            ParseXsDateTime(token.created);
        if (!created)
            return Refuse(why, "Created is not a date and time with a zone: " + token.created);
        if (*created > now + kMaxClockSkew || *created < now - kMaxClockSkew)
            return Refuse(why, "Created is more than five minutes from this device's clock");
    }
    const bool proven =
        token.type == PasswordType::kDigest
            ? SameSecret(PasswordDigest(token.nonce, token.created, user->password), token.password)
            : SameSecret(user->password, token.password);
    if (!known)
        return Refuse(why, "no such user: " + token.username);
    if (!proven)
        return Refuse(why,
                      std::string(token.type == PasswordType::kDigest ? "wrong password digest for "
                                                                      : "wrong password for ") +
                          token.username);
    // Only a proven token's nonce is remembered, so that forged ones cannot fill the cache.
    if (!token.nonce.empty() && nonces != nullptr && !nonces->Remember(token.nonce, now))
        return Refuse(why, "the nonce was used before");
    return true;
}

std::string OnvifEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                if (static_cast<unsigned char>(c) >= 0x20)
                    out += c;
        }
    }
    return out;
}

std::string OnvifTextElement(std::string_view name, std::string_view text) {
    std::string out = "<";
    out.append(name).append(">").append(OnvifEscape(text)).append("</").append(name).append(">");
    return out;
}

namespace {

std::string EnvelopeStart() {
    std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?><env:Envelope xmlns:env=\"";
    out += kSoap12Namespace;
    out += "\" xmlns:tds=\"";
    out += kDeviceNamespace;
    out += "\" xmlns:trt=\"";
    out += kMediaNamespace;
    out += "\" xmlns:tptz=\"";
    out += kPtzNamespace;
    out += "\" xmlns:tt=\"";
    out += kSchemaNamespace;
    out += "\" xmlns:ter=\"";
    out += kErrorNamespace;
    out += "\"><env:Body>";
    return out;
}

const char kEnvelopeEnd[] = "</env:Body></env:Envelope>";

}  // namespace

std::string BuildOnvifResponse(std::string_view element, std::string_view inner_xml) {
    std::string out = EnvelopeStart();
    out.append("<").append(element).append(">").append(inner_xml);
    out.append("</").append(element).append(">").append(kEnvelopeEnd);
    return out;
}

std::string BuildOnvifFault(const OnvifFault& fault) {
    std::string out = EnvelopeStart();
    out += "<env:Fault><env:Code>";
    out += OnvifTextElement("env:Value", fault.code);
    if (!fault.subcode.empty()) {
        out += "<env:Subcode>" + OnvifTextElement("env:Value", fault.subcode);
        if (!fault.subsubcode.empty())
            out += "<env:Subcode>" + OnvifTextElement("env:Value", fault.subsubcode) +
                   "</env:Subcode>";
        out += "</env:Subcode>";
    }
    out += "</env:Code><env:Reason><env:Text xml:lang=\"en\">" + OnvifEscape(fault.reason) +
           "</env:Text></env:Reason></env:Fault>";
    out += kEnvelopeEnd;
    return out;
}

}  // namespace k47host::onvif
