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
__CRT_UUID_DECL(IXMLDOMElement, 0x2933BF86, 0x7B36, 0x11d2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98,
                0x3E, 0x60)
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
    virtual HRESULT STDMETHODCALLTYPE open(BSTR bstrMethod, BSTR bstrUrl, VARIANT varAsync,
                                           VARIANT bstrUser, VARIANT bstrPassword) = 0;
    virtual HRESULT STDMETHODCALLTYPE setRequestHeader(BSTR bstrHeader, BSTR bstrValue) = 0;
    // varBody: VT_EMPTY/VT_NULL (no body) or VT_BSTR (sent as UTF-8).
    virtual HRESULT STDMETHODCALLTYPE send(VARIANT varBody) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_status(LONG * plStatus) = 0;
    // VT_UNKNOWN holding an IStream over the response body.
    virtual HRESULT STDMETHODCALLTYPE get_responseStream(VARIANT * pvarBody) = 0;
};
__CRT_UUID_DECL(IXMLHTTPRequest, 0xED8C108D, 0x4349, 0x11D2, 0x91, 0xA4, 0x00, 0xC0, 0x4F, 0x79,
                0x69, 0xE8)
inline constexpr IID IID_IXMLHTTPRequest = K47UuidOf<IXMLHTTPRequest>::value;

MIDL_INTERFACE("2E9196BF-13BA-4DD4-91CA-6C571F281495")
IServerXMLHTTPRequest : public IXMLHTTPRequest {
  public:
    // Milliseconds; 0 or a negative value waits without limit.
    virtual HRESULT STDMETHODCALLTYPE setTimeouts(LONG resolveTimeout, LONG connectTimeout,
                                                  LONG sendTimeout, LONG receiveTimeout) = 0;
    virtual HRESULT STDMETHODCALLTYPE getOption(SERVERXMLHTTP_OPTION option, VARIANT * value) = 0;
    virtual HRESULT STDMETHODCALLTYPE setOption(SERVERXMLHTTP_OPTION option, VARIANT value) = 0;
};
__CRT_UUID_DECL(IServerXMLHTTPRequest, 0x2E9196BF, 0x13BA, 0x4DD4, 0x91, 0xCA, 0x6C, 0x57, 0x1F,
                0x28, 0x14, 0x95)
inline constexpr IID IID_IServerXMLHTTPRequest = K47UuidOf<IServerXMLHTTPRequest>::value;

DEFINE_GUID(CLSID_ServerXMLHTTP60, 0xAFB40FFD, 0xB609, 0x40A3, 0x98, 0x28, 0xF8, 0x8B, 0xBE, 0x11,
            0xE4, 0xE3);

// ---- SAX2 ----
// The SAX reader (CLSID_SAXXMLReader60, a built-in class of the platform's COM runtime: created
// in-process without any registry entry) parses from an ISequentialStream/IStream or a BSTR held
// in a VARIANT and calls the content handler in document order. Wide strings are passed as a
// pointer and a length (no NUL guaranteed); they are valid only during the call. Text may be
// split across several characters() calls. A handler method that fails stops the parse: parse
// returns its HRESULT and no further event is delivered.
//
// Untrusted input is safe to parse: no DTD is accepted (prohibit-dtd cannot be turned off), no
// external entity or network resource is ever read, and the document size is capped (property
// "max-xml-size", in KB; default 4096). parse fails with E_ACCESSDENIED for a document with a
// DTD, HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE) (0x800700DF) past the size cap,
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA) for a document that is not well-formed, and with a
// stream's own HRESULT when reading fails. Features: the namespaces and namespace-prefixes
// features of SAX2. Entity resolvers, DTD handlers, error handlers and parseURL are not
// supported (E_NOTIMPL).
//
// Threading: a reader serves one thread at a time; handlers are called on the thread that calls
// parse.

struct ISAXEntityResolver;
struct ISAXDTDHandler;
struct ISAXErrorHandler;

MIDL_INTERFACE("9b7e472a-0de4-4640-bff3-84d38a051c31")
ISAXLocator : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE getColumnNumber(int* pnColumn) = 0;
    virtual HRESULT STDMETHODCALLTYPE getLineNumber(int* pnLine) = 0;
    virtual HRESULT STDMETHODCALLTYPE getPublicId(const WCHAR** ppwchPublicId) = 0;
    virtual HRESULT STDMETHODCALLTYPE getSystemId(const WCHAR** ppwchSystemId) = 0;
};
__CRT_UUID_DECL(ISAXLocator, 0x9b7e472a, 0x0de4, 0x4640, 0xbf, 0xf3, 0x84, 0xd3, 0x8a, 0x05, 0x1c,
                0x31)
inline constexpr IID IID_ISAXLocator = K47UuidOf<ISAXLocator>::value;

MIDL_INTERFACE("f078abe1-45d2-4832-91ea-4466ce2f25c9")
ISAXAttributes : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE getLength(int* pnLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE getURI(int nIndex, const WCHAR** ppwchUri, int* pcchUri) = 0;
    virtual HRESULT STDMETHODCALLTYPE getLocalName(int nIndex, const WCHAR** ppwchLocalName,
                                                   int* pcchLocalName) = 0;
    virtual HRESULT STDMETHODCALLTYPE getQName(int nIndex, const WCHAR** ppwchQName,
                                               int* pcchQName) = 0;
    virtual HRESULT STDMETHODCALLTYPE getName(int nIndex, const WCHAR** ppwchUri, int* pcchUri,
                                              const WCHAR** ppwchLocalName, int* pcchLocalName,
                                              const WCHAR** ppwchQName, int* pcchQName) = 0;
    virtual HRESULT STDMETHODCALLTYPE getIndexFromName(const WCHAR* pwchUri, int cchUri,
                                                       const WCHAR* pwchLocalName, int cchLocalName,
                                                       int* pnIndex) = 0;
    virtual HRESULT STDMETHODCALLTYPE getIndexFromQName(const WCHAR* pwchQName, int cchQName,
                                                        int* pnIndex) = 0;
    virtual HRESULT STDMETHODCALLTYPE getType(int nIndex, const WCHAR** ppwchType,
                                              int* pcchType) = 0;
    virtual HRESULT STDMETHODCALLTYPE getTypeFromName(const WCHAR* pwchUri, int cchUri,
                                                      const WCHAR* pwchLocalName, int cchLocalName,
                                                      const WCHAR** ppwchType, int* pcchType) = 0;
    virtual HRESULT STDMETHODCALLTYPE getTypeFromQName(const WCHAR* pwchQName, int cchQName,
                                                       const WCHAR** ppwchType, int* pcchType) = 0;
    virtual HRESULT STDMETHODCALLTYPE getValue(int nIndex, const WCHAR** ppwchValue,
                                               int* pcchValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE getValueFromName(
        const WCHAR* pwchUri, int cchUri, const WCHAR* pwchLocalName, int cchLocalName,
        const WCHAR** ppwchValue, int* pcchValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE getValueFromQName(
        const WCHAR* pwchQName, int cchQName, const WCHAR** ppwchValue, int* pcchValue) = 0;
};
__CRT_UUID_DECL(ISAXAttributes, 0xf078abe1, 0x45d2, 0x4832, 0x91, 0xea, 0x44, 0x66, 0xce, 0x2f,
                0x25, 0xc9)
inline constexpr IID IID_ISAXAttributes = K47UuidOf<ISAXAttributes>::value;

MIDL_INTERFACE("1545cdfa-9e4e-4497-a8a4-2bf7d0112c44")
ISAXContentHandler : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator * pLocator) = 0;
    virtual HRESULT STDMETHODCALLTYPE startDocument() = 0;
    virtual HRESULT STDMETHODCALLTYPE endDocument() = 0;
    virtual HRESULT STDMETHODCALLTYPE startPrefixMapping(const WCHAR* pwchPrefix, int cchPrefix,
                                                         const WCHAR* pwchUri, int cchUri) = 0;
    virtual HRESULT STDMETHODCALLTYPE endPrefixMapping(const WCHAR* pwchPrefix, int cchPrefix) = 0;
    virtual HRESULT STDMETHODCALLTYPE startElement(
        const WCHAR* pwchNamespaceUri, int cchNamespaceUri, const WCHAR* pwchLocalName,
        int cchLocalName, const WCHAR* pwchQName, int cchQName, ISAXAttributes* pAttributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE endElement(const WCHAR* pwchNamespaceUri, int cchNamespaceUri,
                                                 const WCHAR* pwchLocalName, int cchLocalName,
                                                 const WCHAR* pwchQName, int cchQName) = 0;
    virtual HRESULT STDMETHODCALLTYPE characters(const WCHAR* pwchChars, int cchChars) = 0;
    virtual HRESULT STDMETHODCALLTYPE ignorableWhitespace(const WCHAR* pwchChars, int cchChars) = 0;
    virtual HRESULT STDMETHODCALLTYPE processingInstruction(const WCHAR* pwchTarget, int cchTarget,
                                                            const WCHAR* pwchData, int cchData) = 0;
    virtual HRESULT STDMETHODCALLTYPE skippedEntity(const WCHAR* pwchName, int cchName) = 0;
};
__CRT_UUID_DECL(ISAXContentHandler, 0x1545cdfa, 0x9e4e, 0x4497, 0xa8, 0xa4, 0x2b, 0xf7, 0xd0, 0x11,
                0x2c, 0x44)
inline constexpr IID IID_ISAXContentHandler = K47UuidOf<ISAXContentHandler>::value;

MIDL_INTERFACE("a4f96ed0-f829-476e-81c0-cdc7bd2a0802")
ISAXXMLReader : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE getFeature(const WCHAR* pwchName, VARIANT_BOOL* pvfValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE putFeature(const WCHAR* pwchName, VARIANT_BOOL vfValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE getProperty(const WCHAR* pwchName, VARIANT* pvarValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE putProperty(const WCHAR* pwchName, VARIANT varValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE getEntityResolver(ISAXEntityResolver * *ppResolver) = 0;
    virtual HRESULT STDMETHODCALLTYPE putEntityResolver(ISAXEntityResolver * pResolver) = 0;
    virtual HRESULT STDMETHODCALLTYPE getContentHandler(ISAXContentHandler * *ppHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE putContentHandler(ISAXContentHandler * pHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE getDTDHandler(ISAXDTDHandler * *ppDTDHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE putDTDHandler(ISAXDTDHandler * pDTDHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE getErrorHandler(ISAXErrorHandler * *ppErrorHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE putErrorHandler(ISAXErrorHandler * pErrorHandler) = 0;
    virtual HRESULT STDMETHODCALLTYPE getBaseURL(const WCHAR** ppwchBaseUrl) = 0;
    virtual HRESULT STDMETHODCALLTYPE putBaseURL(const WCHAR* pwchBaseUrl) = 0;
    virtual HRESULT STDMETHODCALLTYPE getSecureBaseURL(const WCHAR** ppwchSecureBaseUrl) = 0;
    virtual HRESULT STDMETHODCALLTYPE putSecureBaseURL(const WCHAR* pwchSecureBaseUrl) = 0;
    virtual HRESULT STDMETHODCALLTYPE parse(VARIANT varInput) = 0;
    virtual HRESULT STDMETHODCALLTYPE parseURL(const WCHAR* pwchUrl) = 0;
};
__CRT_UUID_DECL(ISAXXMLReader, 0xa4f96ed0, 0xf829, 0x476e, 0x81, 0xc0, 0xcd, 0xc7, 0xbd, 0x2a, 0x08,
                0x02)
inline constexpr IID IID_ISAXXMLReader = K47UuidOf<ISAXXMLReader>::value;

// The SAX reader class.
DEFINE_GUID(CLSID_SAXXMLReader60, 0x079AA557, 0x4A18, 0x424A, 0x8E, 0xEE, 0xE3, 0x9F, 0x0A, 0x8D,
            0x41, 0xB9);
