// Server-side SOAP messages of the control service.
#include "host/SoapService.h"

#include <libxml/tree.h>
#include <k47/xmldoc.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "webservice/VLTControlNamespace.h"

namespace k47host {

namespace {

bool HasNamespace(const xmlNode* node, const char* uri) {
    return node->ns != nullptr && node->ns->href != nullptr &&
           std::strcmp(reinterpret_cast<const char*>(node->ns->href), uri) == 0;
}

bool IsNamed(const xmlNode* node, const char* localName) {
    return node->type == XML_ELEMENT_NODE &&
           std::strcmp(reinterpret_cast<const char*>(node->name), localName) == 0;
}

const xmlNode* FirstElement(const xmlNode* parent) {
    for (const xmlNode* child = parent->children; child != nullptr; child = child->next)
        if (child->type == XML_ELEMENT_NODE)
            return child;
    return nullptr;
}

bool IsNil(const xmlNode* element) {
    for (const xmlAttr* attribute = element->properties; attribute != nullptr;
         attribute = attribute->next) {
        if (std::strcmp(reinterpret_cast<const char*>(attribute->name), "nil") != 0)
            continue;
        if (attribute->ns == nullptr || attribute->ns->href == nullptr ||
            std::strcmp(reinterpret_cast<const char*>(attribute->ns->href),
                        kSchemaInstanceNamespace) != 0)
            continue;
        xmlChar* value = xmlNodeGetContent(reinterpret_cast<const xmlNode*>(attribute));
        bool nil = value != nullptr && (std::strcmp(reinterpret_cast<char*>(value), "1") == 0 ||
                                        std::strcmp(reinterpret_cast<char*>(value), "true") == 0);
        xmlFree(value);
        return nil;
    }
    return false;
}

std::optional<SoapRequest> Fail(SoapFault* fault, std::string text) {
    if (fault != nullptr)
        *fault = SoapFault{"Client", std::move(text), {}};
    return std::nullopt;
}

}  // namespace

std::optional<std::string> SoapRequest::Text(const std::string& name) const {
    auto it = parameters.find(name);
    if (it == parameters.end())
        return std::nullopt;
    return it->second;
}

bool SoapRequest::Int(const std::string& name, int32_t* value) const {
    std::optional<std::string> text = Text(name);
    if (!text)
        return false;
    size_t begin = text->find_first_not_of(" \t\r\n");
    size_t end = text->find_last_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return false;
    std::string body = text->substr(begin, end - begin + 1);
    size_t digits = (body[0] == '-' || body[0] == '+') ? 1 : 0;
    if (digits >= body.size())
        return false;
    for (size_t i = digits; i < body.size(); ++i)
        if (body[i] < '0' || body[i] > '9')
            return false;
    errno = 0;
    long long parsed = std::strtoll(body.c_str(), nullptr, 10);
    if (errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX)
        return false;
    *value = static_cast<int32_t>(parsed);
    return true;
}

std::optional<SoapRequest> ParseSoapRequest(std::string_view body, SoapFault* fault) {
    if (body.size() > kMaxRequestBytes)
        return Fail(fault, "the request is larger than this service accepts");
    k47::XmlError error;
    k47::XmlLoadOptions options;
    options.max_bytes = kMaxRequestBytes;
    k47::XmlDocument document = k47::XmlDocument::LoadString(body, &error, options);
    if (!document)
        return Fail(fault, "the request is not well-formed XML: " + error.message);

    const xmlNode* envelope = document.DocumentElement();
    if (envelope == nullptr || !IsNamed(envelope, "Envelope") ||
        !HasNamespace(envelope, kSoapEnvelopeNamespace))
        return Fail(fault, "the request is not a SOAP 1.1 envelope");
    const xmlNode* soapBody = nullptr;
    for (const xmlNode* child = envelope->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        if (IsNamed(child, "Body") && HasNamespace(child, kSoapEnvelopeNamespace)) {
            soapBody = child;
            break;
        }
        if (!(IsNamed(child, "Header") && HasNamespace(child, kSoapEnvelopeNamespace)))
            return Fail(fault, "unexpected element in the SOAP envelope");
    }
    if (soapBody == nullptr)
        return Fail(fault, "the SOAP envelope has no Body");
    const xmlNode* wrapper = FirstElement(soapBody);
    if (wrapper == nullptr)
        return Fail(fault, "the SOAP Body names no operation");
    if (!HasNamespace(wrapper, k47::vlt::kServiceNamespace))
        return Fail(fault, std::string("the operation is not in the service namespace ") +
                               k47::vlt::kServiceNamespace);

    SoapRequest request;
    request.operation = reinterpret_cast<const char*>(wrapper->name);
    for (const xmlNode* child = wrapper->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        std::string name = reinterpret_cast<const char*>(child->name);
        if (request.parameters.count(name) != 0)
            return Fail(fault, "parameter \"" + name + "\" appears twice");
        if (FirstElement(child) != nullptr)
            return Fail(fault, "parameter \"" + name + "\" is not a simple value");
        if (IsNil(child)) {
            request.parameters.emplace(name, std::nullopt);
        } else {
            request.parameters.emplace(name, document.Text(child));
        }
    }
    return request;
}

std::string_view SoapActionOperation(std::string_view header) {
    auto trim = [](std::string_view text) {
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
            text.remove_prefix(1);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
            text.remove_suffix(1);
        return text;
    };
    header = trim(header);
    if (header.size() >= 2 && header.front() == '"' && header.back() == '"')
        header = trim(header.substr(1, header.size() - 2));
    const size_t last = header.find_last_of("/#");
    return last == std::string_view::npos ? header : header.substr(last + 1);
}

std::string CheckSoapAction(std::optional<std::string_view> header, std::string_view operation) {
    const std::string expected =
        "\"" + std::string(k47::vlt::kServiceNamespace) + "/" + std::string(operation) + "\"";
    if (!header)
        return "the SOAPAction header is missing; SOAP 1.1 requests name their operation there "
               "(SOAPAction: " +
               expected + ")";
    const std::string_view named = SoapActionOperation(*header);
    if (named.empty())
        return "the SOAPAction header names no operation; this one must name " +
               std::string(operation) + " (SOAPAction: " + expected + ")";
    if (named != operation)
        return "the SOAPAction header names " + std::string(named) + " but the body asks for " +
               std::string(operation);
    return {};
}

std::string XmlEscape(std::string_view text) {
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
            default:
                // Control characters other than tab and line breaks cannot appear in XML 1.0.
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                    out += ' ';
                } else {
                    out += c;
                }
        }
    }
    return out;
}

namespace {

const char kEnvelopeStart[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">"
    "<soap:Body>";
const char kEnvelopeEnd[] = "</soap:Body></soap:Envelope>";

}  // namespace

std::string BuildSoapResponse(std::string_view operation, const std::vector<SoapValue>& outputs) {
    std::string out = kEnvelopeStart;
    out += "<";
    out += operation;
    out += "Response xmlns=\"";
    out += k47::vlt::kServiceNamespace;
    out += "\">";
    for (const SoapValue& value : outputs) {
        out += "<" + value.name + ">" + XmlEscape(value.text) + "</" + value.name + ">";
    }
    out += "</";
    out += operation;
    out += "Response>";
    out += kEnvelopeEnd;
    return out;
}

std::string BuildSoapFault(const SoapFault& fault) {
    std::string out = kEnvelopeStart;
    out += "<soap:Fault><faultcode>soap:" + XmlEscape(fault.code) + "</faultcode>";
    out += "<faultstring>" + XmlEscape(fault.text) + "</faultstring>";
    if (!fault.detail.empty())
        out += "<detail>" + XmlEscape(fault.detail) + "</detail>";
    out += "</soap:Fault>";
    out += kEnvelopeEnd;
    return out;
}

}  // namespace k47host
