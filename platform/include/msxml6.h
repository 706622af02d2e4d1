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

// ---- Server XML HTTP request (the HTTPS client object) ----
// The subset the HTTPS transport calls, with the SDK's names, signatures and relative order.
// The class is implemented by the component library (webservice/ServerXMLHTTPRequest.h), which
// registers its class object in-process the first time it needs it; the default of the option
// SXH_OPTION_IGNORE_SERVER_SSL_CERT_ERROR_FLAGS is SXH_SERVER_CERT_IGNORE_ALL_SERVER_ERRORS.

typedef enum _SERVERXMLHTTP_OPTION {
    SXH_OPTION_URL = -1,
    SXH_OPTION_URL_CODEPAGE = 0,
    SXH_OPTION_ESCAPE_PERCENT_IN_URL = 1,
    SXH_OPTION_IGNORE_SERVER_SSL_CERT_ERROR_FLAGS = 2,
    SXH_OPTION_SELECT_CLIENT_SSL_CERT = 3
} SERVERXMLHTTP_OPTION;

typedef enum _SXH_SERVER_CERT_OPTION {
    SXH_SERVER_CERT_IGNORE_UNKNOWN_CA = 0x100,
    SXH_SERVER_CERT_IGNORE_WRONG_USAGE = 0x200,
    SXH_SERVER_CERT_IGNORE_CERT_CN_INVALID = 0x1000,
    SXH_SERVER_CERT_IGNORE_CERT_DATE_INVALID = 0x2000,
    SXH_SERVER_CERT_IGNORE_ALL_SERVER_ERRORS = 0x3300
} SXH_SERVER_CERT_OPTION;

MIDL_INTERFACE("ED8C108D-4349-11D2-91A4-00C04F7969E8")
IXMLHTTPRequest : public IUnknown {
public:
    // varAsync must be false (synchronous); user and password are not supported (empty or absent).
    virtual HRESULT STDMETHODCALLTYPE open(BSTR bstrMethod, BSTR bstrUrl, VARIANT varAsync, VARIANT bstrUser,
                                          VARIANT bstrPassword) = 0;
    virtual HRESULT STDMETHODCALLTYPE setRequestHeader(BSTR bstrHeader, BSTR bstrValue) = 0;
    // varBody: VT_EMPTY/VT_NULL (no body) or VT_BSTR (sent as UTF-8).
    virtual HRESULT STDMETHODCALLTYPE send(VARIANT varBody) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_status(LONG * plStatus) = 0;
    // VT_UNKNOWN holding an IStream over the response body.
    virtual HRESULT STDMETHODCALLTYPE get_responseStream(VARIANT * pvarBody) = 0;
};
__CRT_UUID_DECL(IXMLHTTPRequest, 0xED8C108D, 0x4349, 0x11D2, 0x91, 0xA4, 0x00, 0xC0, 0x4F, 0x79, 0x69, 0xE8)
inline constexpr IID IID_IXMLHTTPRequest = K47UuidOf<IXMLHTTPRequest>::value;

MIDL_INTERFACE("2E9196BF-13BA-4DD4-91CA-6C571F281495")
IServerXMLHTTPRequest : public IXMLHTTPRequest {
public:
    // Milliseconds; 0 or a negative value waits without limit.
    virtual HRESULT STDMETHODCALLTYPE setTimeouts(LONG resolveTimeout, LONG connectTimeout, LONG sendTimeout,
                                                 LONG receiveTimeout) = 0;
    virtual HRESULT STDMETHODCALLTYPE getOption(SERVERXMLHTTP_OPTION option, VARIANT * value) = 0;
    virtual HRESULT STDMETHODCALLTYPE setOption(SERVERXMLHTTP_OPTION option, VARIANT value) = 0;
};
__CRT_UUID_DECL(IServerXMLHTTPRequest, 0x2E9196BF, 0x13BA, 0x4DD4, 0x91, 0xCA, 0x6C, 0x57, 0x1F, 0x28, 0x14, 0x95)
inline constexpr IID IID_IServerXMLHTTPRequest = K47UuidOf<IServerXMLHTTPRequest>::value;

DEFINE_GUID(CLSID_ServerXMLHTTP60, 0xAFB40FFD, 0xB609, 0x40A3, 0x98, 0x28, 0xF8, 0x8B, 0xBE, 0x11, 0xE4, 0xE3);
