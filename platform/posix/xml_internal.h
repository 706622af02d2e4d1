// Internal: what the XML document class and the IXMLDOMElement objects share: the process-wide
// libxml2 set-up, the reference-counted document state with its reader-writer lock, and the
// attribute helpers that follow MSXML's rules (attributes matched by qualified name, namespace
// declarations visible as "xmlns"/"xmlns:p" attributes). Helpers marked "shared lock" or
// "exclusive lock" expect the caller to hold the document's lock in that mode.
#pragma once

#include <libxml/tree.h>

#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "msxml6.h"

namespace k47::detail {

// xmlInitParser and the deny-all external entity loader, once per process; safe to call from
// any thread, any number of times.
void EnsureXmlInitialized();

struct XmlDocState {
    explicit XmlDocState(xmlDocPtr d) noexcept : doc(d) {}
    ~XmlDocState() { xmlFreeDoc(doc); }
    XmlDocState(const XmlDocState&) = delete;
    XmlDocState& operator=(const XmlDocState&) = delete;

    xmlDocPtr const doc;
    mutable std::shared_mutex mutex;
    std::vector<std::pair<std::string, std::string>> namespaces;  // XPath prefixes; under mutex
};

std::string QualifiedName(const xmlNode* node);
// Shared lock.
std::optional<std::string> ReadAttribute(const xmlNode* element, std::string_view name);
// Exclusive lock. S_OK; E_INVALIDARG (not an element, value not representable in XML); E_FAIL
// (invalid name, undeclared prefix, changing a namespace declaration); E_OUTOFMEMORY.
HRESULT WriteAttribute(xmlNode* element, std::string_view name, std::string_view value);
// Exclusive lock. S_OK, or S_FALSE when absent.
HRESULT DeleteAttribute(xmlNode* element, std::string_view name);
// True when `value` is well-formed UTF-8 made only of characters XML 1.0 allows.
bool IsXmlText(std::string_view value);

// A new IXMLDOMElement for an element node of `state`'s document.
HRESULT MakeElement(std::shared_ptr<XmlDocState> state, xmlNode* node, IXMLDOMElement** out);
// The state and node behind an element this platform made; false otherwise.
bool ElementParts(IXMLDOMElement* element, std::shared_ptr<XmlDocState>* state, xmlNode** node);

}  // namespace k47::detail
