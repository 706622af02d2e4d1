// XML services: the DOM element subset that configuration code uses (tag name, getAttribute,
// setAttribute) and the SAX reader interfaces. Implemented over libxml2. Interfaces derive from
// IUnknown directly (the automation base is not needed); methods keep the SDK's names and
// signatures.
#pragma once

#include "objbase.h"

typedef enum tagDOMNodeType {
    NODE_INVALID = 0,
    NODE_ELEMENT = 1,
    NODE_ATTRIBUTE = 2,
    NODE_TEXT = 3,
    NODE_DOCUMENT = 9
} DOMNodeType;

MIDL_INTERFACE("2933BF86-7B36-11d2-B20E-00C04F983E60")
IXMLDOMElement : public IUnknown {
public:
    // The element's qualified name.
    virtual HRESULT STDMETHODCALLTYPE get_tagName(BSTR * tagName) = 0;
    // The attribute's value as VT_BSTR, or VT_NULL and S_FALSE when the attribute is absent.
    virtual HRESULT STDMETHODCALLTYPE getAttribute(BSTR name, VARIANT * value) = 0;
    // Sets (creates or replaces) the attribute; the value is converted to text.
    virtual HRESULT STDMETHODCALLTYPE setAttribute(BSTR name, VARIANT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE removeAttribute(BSTR name) = 0;
};
__CRT_UUID_DECL(IXMLDOMElement, 0x2933BF86, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60)
inline constexpr IID IID_IXMLDOMElement = K47UuidOf<IXMLDOMElement>::value;
