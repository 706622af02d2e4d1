// Linux-only XML document for the host, the tools and the tests: safe loading of a file or a
// string, XPath 1.0 selection, element and attribute creation, serialisation, and the bridge to
// the IXMLDOMElement objects that configuration code reads.
//
// Loading is hardened for untrusted input: no network access, no DTD (a DOCTYPE is refused, so
// no entity can be declared), no external entity loading (a deny-all loader is installed), no
// XInclude, libxml2's default depth and text limits, and a size cap (XmlLoadOptions).
//
// Lifetime: XmlDocument is a shared handle; copies refer to the same document, which lives until
// the last handle and the last IXMLDOMElement made from it are gone. Node pointers (xmlNode*)
// stay valid while the document lives (nodes are never deleted; attributes removed with
// RemoveAttribute are).
//
// Threading: every operation takes the document's reader-writer lock: reads (attribute reads,
// XPath, serialisation, IXMLDOMElement::getAttribute/get_tagName) run concurrently from several
// threads; writes (CreateElement, SetAttribute, RemoveAttribute, setAttribute, removeAttribute)
// are exclusive. Code that walks xmlNode* with libxml2 directly must not race with writes.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../msxml6.h"

// libxml2's node type, declared here so that users need not include libxml2.
typedef struct _xmlNode xmlNode;

namespace k47 {

namespace xml {
struct XmlDocState;
}

struct XmlError {
    std::string message;
    int line = 0;  // 1-based; 0 when the error has no position (size cap, I/O, XPath)
    int column = 0;
};

struct XmlLoadOptions {
    static constexpr size_t kDefaultMaxBytes = 8u << 20;
    // Larger input is refused before parsing.
    size_t max_bytes = kDefaultMaxBytes;
};

class XmlDocument {
  public:
    XmlDocument() noexcept;  // no document
    ~XmlDocument();
    XmlDocument(const XmlDocument&) noexcept;
    XmlDocument& operator=(const XmlDocument&) noexcept;
    XmlDocument(XmlDocument&&) noexcept;
    XmlDocument& operator=(XmlDocument&&) noexcept;

    // Each returns an empty handle and fills *error (if given) on failure.
    static XmlDocument LoadFile(const std::string& path, XmlError* error = nullptr,
                                const XmlLoadOptions& options = {});
    static XmlDocument LoadString(std::string_view text, XmlError* error = nullptr,
                                  const XmlLoadOptions& options = {});
    // A new document with one empty root element (a qualified name; no namespace).
    static XmlDocument Create(std::string_view root_name, XmlError* error = nullptr);

    explicit operator bool() const noexcept { return state_ != nullptr; }
    xmlNode* DocumentElement() const noexcept;

    // XPath 1.0 relative to the document element (so "PTZProtocols/Protocol" under a <Config>
    // root), or to `context`, a node of this document. Prefixes in expressions are those given
    // to SetSelectionNamespace. A malformed expression, a context from another document or a
    // result that is not a node set is an error (false, *nodes empty).
    bool SelectNodes(std::string_view xpath, std::vector<xmlNode*>* nodes,
                     XmlError* error = nullptr) const;
    bool SelectNodes(xmlNode* context, std::string_view xpath, std::vector<xmlNode*>* nodes,
                     XmlError* error = nullptr) const;
    // The first node in document order, or null (no match or error).
    xmlNode* SelectSingleNode(xmlNode* context, std::string_view xpath,
                              XmlError* error = nullptr) const;
    void SetSelectionNamespace(std::string_view prefix, std::string_view uri);

    // Qualified name of an element or attribute node ("p:Name").
    static std::string NodeName(const xmlNode* node);
    // The attribute's value, matched by qualified name (including "xmlns" and "xmlns:p"
    // declarations), or nullopt when absent.
    std::optional<std::string> GetAttribute(const xmlNode* element, std::string_view name) const;
    // The text content of an element, or the value of an attribute or text node.
    std::string Text(const xmlNode* node) const;

    // Appends a new element as the last child of `parent` (a qualified name whose prefix must be
    // declared; an unprefixed name takes the default namespace in scope). Null on error.
    xmlNode* CreateElement(xmlNode* parent, std::string_view name, XmlError* error = nullptr);
    // Creates or replaces an attribute (value as plain text; it is escaped on output).
    // E_INVALIDARG for a bad node or a value with characters XML cannot carry; E_FAIL for an
    // invalid name or an undeclared prefix.
    HRESULT SetAttribute(xmlNode* element, std::string_view name, std::string_view value);
    // S_OK, or S_FALSE when there was no such attribute.
    HRESULT RemoveAttribute(xmlNode* element, std::string_view name);

    // UTF-8 text with an XML declaration.
    std::string Serialize(bool indent = false) const;

    // A new reference to an IXMLDOMElement for an element node of this document; it keeps the
    // document alive.
    HRESULT GetElement(xmlNode* element, IXMLDOMElement** out) const;
    // The document and node behind an IXMLDOMElement that this platform made; false for any
    // other implementation (the outputs are then reset).
    static bool FromElement(IXMLDOMElement* element, XmlDocument* document, xmlNode** node);

  private:
    explicit XmlDocument(std::shared_ptr<xml::XmlDocState> state) noexcept;
    std::shared_ptr<xml::XmlDocState> state_;
};

// An XPath string literal for any text: 'a', "it's", or concat('say "', "it's", '"').
std::string XPathStringLiteral(std::string_view value);

}  // namespace k47
