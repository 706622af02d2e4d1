// libxml2 set-up and the MSXML-style attribute helpers; see xml_internal.h.
#include <libxml/parser.h>

#include <cstring>
#include <mutex>

#include "k47/xmldoc.h"
#include "support/utf_codec.h"
#include "xml/xml_internal.h"

namespace k47::xml {
namespace {

// Nothing outside the document is ever read: no DTD, no external entity, whatever the input
// asks for. libxml2 calls this for every external resource.
// The parser then reports the resource as not loadable.
xmlParserInputPtr DenyExternalEntity(const char* url, const char* id, xmlParserCtxtPtr ctxt) {
    (void)url;
    (void)id;
    (void)ctxt;
    return nullptr;
}

const xmlChar* Xml(const std::string& s) {
    return reinterpret_cast<const xmlChar*>(s.c_str());
}

// Splits "p:local" (prefix empty when unprefixed).
void SplitName(std::string_view name, std::string* prefix, std::string* local) {
    size_t colon = name.find(':');
    if (colon == std::string_view::npos) {
        prefix->clear();
        local->assign(name);
    } else {
        prefix->assign(name.substr(0, colon));
        local->assign(name.substr(colon + 1));
    }
}

xmlAttrPtr FindAttribute(const xmlNode* element, std::string_view name) {
    for (xmlAttrPtr a = element->properties; a != nullptr; a = a->next)
        if (QualifiedName(reinterpret_cast<const xmlNode*>(a)) == name)
            return a;
    return nullptr;
}

// "xmlns" → the default namespace slot (prefix ""), "xmlns:p" → p; false for other names.
bool IsNamespaceDeclaration(std::string_view name, std::string* prefix) {
    if (name == "xmlns") {
        prefix->clear();
        return true;
    }
    if (name.size() > 6 && name.substr(0, 6) == "xmlns:") {
        prefix->assign(name.substr(6));
        return true;
    }
    return false;
}

xmlNsPtr FindNamespaceDeclaration(const xmlNode* element, const std::string& prefix) {
    for (xmlNsPtr ns = element->nsDef; ns != nullptr; ns = ns->next) {
        const char* p = reinterpret_cast<const char*>(ns->prefix);
        if ((p == nullptr && prefix.empty()) || (p != nullptr && prefix == p))
            return ns;
    }
    return nullptr;
}

}  // namespace

void EnsureXmlInitialized() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(DenyExternalEntity);
    });
}

std::string QualifiedName(const xmlNode* node) {
    std::string name;
    if (node == nullptr || node->name == nullptr)
        return name;
    if ((node->type == XML_ELEMENT_NODE || node->type == XML_ATTRIBUTE_NODE) &&
        node->ns != nullptr && node->ns->prefix != nullptr) {
        name = reinterpret_cast<const char*>(node->ns->prefix);
        name += ':';
    }
    name += reinterpret_cast<const char*>(node->name);
    return name;
}

std::optional<std::string> ReadAttribute(const xmlNode* element, std::string_view name) {
    if (element == nullptr || element->type != XML_ELEMENT_NODE)
        return std::nullopt;
    if (xmlAttrPtr a = FindAttribute(element, name)) {
        xmlChar* value = xmlNodeGetContent(reinterpret_cast<const xmlNode*>(a));
        std::string result = value != nullptr ? reinterpret_cast<const char*>(value) : "";
        xmlFree(value);
        return result;
    }
    std::string prefix;
    if (IsNamespaceDeclaration(name, &prefix)) {
        if (xmlNsPtr ns = FindNamespaceDeclaration(element, prefix))
            return std::string(ns->href != nullptr ? reinterpret_cast<const char*>(ns->href) : "");
    }
    return std::nullopt;
}

bool IsXmlText(std::string_view value) {
    const auto* s = reinterpret_cast<const unsigned char*>(value.data());
    size_t i = 0;
    while (i < value.size()) {
        char32_t cp;
        if (!support::DecodeUtf8At(s, value.size(), i, &cp))
            return false;
        bool allowed = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
                       (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
        if (!allowed)
            return false;
    }
    return true;
}

HRESULT WriteAttribute(xmlNode* element, std::string_view name, std::string_view value) {
    if (element == nullptr || element->type != XML_ELEMENT_NODE)
        return E_INVALIDARG;
    if (!IsXmlText(value))
        return E_INVALIDARG;
    std::string qname(name), text(value);
    if (name.empty() || !IsXmlText(name) || xmlValidateQName(Xml(qname), 0) != 0)
        return E_FAIL;

    std::string prefix, local;
    if (IsNamespaceDeclaration(name, &prefix)) {
        // A declaration can be added or restated, not changed: elements already use it.
        if (xmlNsPtr ns = FindNamespaceDeclaration(element, prefix)) {
            return xmlStrEqual(ns->href, Xml(text)) ? S_OK : E_FAIL;
        }
        if (!prefix.empty() && text.empty())
            return E_FAIL;  // xmlns:p="" is not allowed
        return xmlNewNs(element, Xml(text), prefix.empty() ? nullptr : Xml(prefix)) != nullptr
                   ? S_OK
                   : E_FAIL;
    }
    if (xmlAttrPtr a = FindAttribute(element, name)) {
        // Replaced in place, so the attribute keeps its position.
        return xmlSetNsProp(element, a->ns, a->name, Xml(text)) != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    SplitName(name, &prefix, &local);
    xmlNsPtr ns = nullptr;
    if (!prefix.empty()) {
        ns = xmlSearchNs(element->doc, element, Xml(prefix));
        if (ns == nullptr)
            return E_FAIL;
    }
    return xmlNewNsProp(element, ns, Xml(local), Xml(text)) != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT DeleteAttribute(xmlNode* element, std::string_view name) {
    if (element == nullptr || element->type != XML_ELEMENT_NODE)
        return E_INVALIDARG;
    xmlAttrPtr a = FindAttribute(element, name);
    if (a == nullptr)
        return S_FALSE;
    return xmlRemoveProp(a) == 0 ? S_OK : E_FAIL;
}

}  // namespace k47::xml

namespace k47 {

std::string XPathStringLiteral(std::string_view value) {
    if (value.find('\'') == std::string_view::npos)
        return "'" + std::string(value) + "'";
    if (value.find('"') == std::string_view::npos)
        return "\"" + std::string(value) + "\"";
    // Both quote kinds: concatenate runs without apostrophes and quoted apostrophes.
    std::string result = "concat(";
    size_t start = 0;
    bool first = true;
    while (start <= value.size()) {
        size_t quote = value.find('\'', start);
        std::string_view run = value.substr(
            start, quote == std::string_view::npos ? std::string_view::npos : quote - start);
        if (!run.empty()) {
            result += (first ? "'" : ", '") + std::string(run) + "'";
            first = false;
        }
        if (quote == std::string_view::npos)
            break;
        result += first ? "\"'\"" : ", \"'\"";
        first = false;
        start = quote + 1;
    }
    return result + ")";
}

}  // namespace k47
