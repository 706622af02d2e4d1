// The IXMLDOMElement object over a libxml2 element node. Each object holds a reference to the
// document state, so the document outlives every element handed out. Reference counting is
// atomic; reads take the document's lock shared, writes exclusive.
#include <atomic>
#include <mutex>
#include <new>

#include "com/com_object.h"
#include "k47/strings.h"
#include "xml/xml_internal.h"

namespace k47::xml {
namespace {

// Private interface identity: QueryInterface for it answers only on objects of this class, which
// is how FromElement recognises its own elements.
MIDL_INTERFACE("938f03c1-eff3-47c8-bd4e-8c42f5f014cb") XmlDomElementIdentity : public IUnknown{};

}  // namespace
}  // namespace k47::xml

__CRT_UUID_DECL(k47::xml::XmlDomElementIdentity, 0x938f03c1, 0xeff3, 0x47c8, 0xbd, 0x4e, 0x8c, 0x42,
                0xf5, 0xf0, 0x14, 0xcb)

namespace k47::xml {
namespace {

constexpr IID IID_XmlDomElementIdentity = __uuidof(XmlDomElementIdentity);

// A NUL-terminated UTF-16 argument as UTF-8. Scans to the NUL rather than reading a length
// prefix, so a plain OLESTR literal passed where a BSTR is expected still works.
std::string ArgumentText(const OLECHAR* s) {
    if (s == nullptr)
        return {};
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return Utf16ToUtf8(std::u16string_view(s, n));
}

class XmlDomElement final : public com::RefCountedObject<IXMLDOMElement, XmlDomElementIdentity> {
  public:
    XmlDomElement(std::shared_ptr<XmlDocState> state, xmlNode* node) noexcept
        : state_(std::move(state)), node_(node) {}

    // IXMLDOMElement
    HRESULT STDMETHODCALLTYPE get_tagName(BSTR* tagName) override {
        if (tagName == nullptr)
            return E_INVALIDARG;
        std::string name;
        {
            std::shared_lock lock(state_->mutex);
            name = QualifiedName(node_);
        }
        *tagName = UniqueBstr::FromUtf8(name).release();
        return *tagName != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE getAttribute(BSTR name, VARIANT* value) override {
        if (name == nullptr || value == nullptr)
            return E_INVALIDARG;
        std::string key = ArgumentText(name);
        std::optional<std::string> text;
        {
            std::shared_lock lock(state_->mutex);
            text = ReadAttribute(node_, key);
        }
        if (!text) {
            value->vt = VT_NULL;
            return S_FALSE;
        }
        BSTR b = UniqueBstr::FromUtf8(*text).release();
        if (b == nullptr)
            return E_OUTOFMEMORY;
        value->vt = VT_BSTR;
        value->bstrVal = b;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE setAttribute(BSTR name, VARIANT value) override {
        if (name == nullptr)
            return E_INVALIDARG;
        std::string text;
        if (value.vt == VT_BSTR) {
            text = Utf16ToUtf8(std::u16string_view(value.bstrVal ? value.bstrVal : u"",
                                                   SysStringLen(value.bstrVal)));
        } else {
            VARIANT converted;
            VariantInit(&converted);
            HRESULT hr = VariantChangeTypeEx(&converted, &value, 0x0409, 0, VT_BSTR);
            if (FAILED(hr))
                return hr;
            text = Utf16ToUtf8(std::u16string_view(converted.bstrVal ? converted.bstrVal : u"",
                                                   SysStringLen(converted.bstrVal)));
            VariantClear(&converted);
        }
        std::string key = ArgumentText(name);
        std::unique_lock lock(state_->mutex);
        return WriteAttribute(node_, key, text);
    }

    HRESULT STDMETHODCALLTYPE removeAttribute(BSTR name) override {
        if (name == nullptr)
            return E_INVALIDARG;
        std::string key = ArgumentText(name);
        std::unique_lock lock(state_->mutex);
        return DeleteAttribute(node_, key);
    }

    const std::shared_ptr<XmlDocState>& state() const noexcept { return state_; }
    xmlNode* node() const noexcept { return node_; }

  private:
    ~XmlDomElement() = default;  // only Release destroys

    const std::shared_ptr<XmlDocState> state_;
    xmlNode* const node_;
};

}  // namespace

HRESULT MakeElement(std::shared_ptr<XmlDocState> state, xmlNode* node, IXMLDOMElement** out) {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (state == nullptr || node == nullptr || node->type != XML_ELEMENT_NODE ||
        node->doc != state->doc)
        return E_INVALIDARG;
    auto* element = new (std::nothrow) XmlDomElement(std::move(state), node);
    if (element == nullptr)
        return E_OUTOFMEMORY;
    *out = element;  // the initial reference goes to the caller
    return S_OK;
}

bool ElementParts(IXMLDOMElement* element, std::shared_ptr<XmlDocState>* state, xmlNode** node) {
    if (element == nullptr)
        return false;
    XmlDomElementIdentity* identity = nullptr;
    if (FAILED(element->QueryInterface(IID_XmlDomElementIdentity,
                                       reinterpret_cast<void**>(&identity))) ||
        identity == nullptr)
        return false;
    auto* self = static_cast<XmlDomElement*>(identity);
    *state = self->state();
    *node = self->node();
    identity->Release();
    return true;
}

}  // namespace k47::xml
