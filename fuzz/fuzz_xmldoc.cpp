// Fuzz target for the hardened XML document loader: arbitrary bytes are loaded as a document;
// when that succeeds, a fixed XPath selects protocol and camera elements, their attributes are
// read through IXMLDOMElement, one attribute is written, and the serialised document must load
// again (whatever we accept and modify we must be able to write out and read back).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "k47/strings.h"
#include "k47/xmldoc.h"
#include "objbase.h"

namespace {

void ReadAttributes(IXMLDOMElement* element) {
    for (const char* name : {"Name", "Port", "Protocol", "xmlns", "cfg:Port"}) {
        k47::UniqueBstr key = k47::UniqueBstr::FromUtf8(name);
        VARIANT value;
        VariantInit(&value);
        HRESULT hr = element->getAttribute(key.get(), &value);
        if ((hr == S_OK) != (value.vt == VT_BSTR) || (hr == S_FALSE) != (value.vt == VT_NULL))
            std::abort();
        VariantClear(&value);
    }
    k47::UniqueBstr tag;
    if (element->get_tagName(tag.receive()) != S_OK || SysStringLen(tag.get()) == 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    k47::XmlLoadOptions options;
    options.max_bytes = 1u << 20;
    k47::XmlError error;
    k47::XmlDocument doc = k47::XmlDocument::LoadString(
        std::string_view(reinterpret_cast<const char*>(data), size), &error, options);
    if (!doc)
        return 0;

    std::vector<xmlNode*> nodes;
    doc.SelectNodes("PTZProtocols/Protocol[@Name] | //*[@Protocol]", &nodes);
    if (nodes.size() > 64)
        nodes.resize(64);
    for (xmlNode* node : nodes) {
        IXMLDOMElement* element = nullptr;
        if (doc.GetElement(node, &element) != S_OK)
            continue;  // e.g. a selected attribute
        ReadAttributes(element);
        element->Release();
    }

    IXMLDOMElement* root = nullptr;
    if (doc.GetElement(doc.DocumentElement(), &root) != S_OK)
        std::abort();
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = static_cast<LONG>(size);
    k47::UniqueBstr key = k47::UniqueBstr::FromUtf8("FuzzSize");
    if (root->setAttribute(key.get(), value) != S_OK)
        std::abort();
    root->Release();

    std::string text = doc.Serialize();
    k47::XmlLoadOptions unlimited;
    unlimited.max_bytes = 64u << 20;
    if (!k47::XmlDocument::LoadString(text, &error, unlimited))
        std::abort();
    return 0;
}
