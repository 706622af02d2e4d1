// The SOAP fault reader and the fault-code table (see the header).
#include "webservice/SoapFaultParser.h"

#include <wrl/client.h>

#include <vector>

namespace {

struct FaultCodeEntry {
    std::u16string_view name;
    SOAP_ERROR_CODE code;
    const char* description;
};

constexpr FaultCodeEntry kFaultCodes[] = {
    {u"VersionMismatch", SOAP_E_VERSION_MISMATCH, "SOAP Version Mismatch Error"},
    {u"MustUnderstand", SOAP_E_MUST_UNDERSTAND, "SOAP Must Understand Error"},
    {u"Client", SOAP_E_CLIENT, "SOAP Invalid Request"},
    {u"Server", SOAP_E_SERVER, "SOAP Server Application Faulted"},
};

bool IsXmlSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// Markup inside detail is kept as text: character data escaped as in an envelope (so the text
// stays well-formed), names as they came.
void AppendMarkupText(std::u16string_view text, std::u16string* out) {
    for (char16_t c : text) {
        if (c == u'&') {
            out->append(u"&amp;");
        } else if (c == u'<') {
            out->append(u"&lt;");
        } else if (c == u'>') {
            out->append(u"&gt;");
        } else if (c == u'"') {
            out->append(u"&quot;");
        } else {
            out->push_back(c);
        }
    }
}

}  // namespace

SOAP_ERROR_CODE SoapFaultCodeFromText(std::u16string_view code, const char** description) {
    while (!code.empty() && IsXmlSpace(code.front()))
        code.remove_prefix(1);
    while (!code.empty() && IsXmlSpace(code.back()))
        code.remove_suffix(1);
    size_t colon = code.rfind(u':');
    if (colon != std::u16string_view::npos)
        code.remove_prefix(colon + 1);
    for (const FaultCodeEntry& entry : kFaultCodes) {
        if (entry.name == code) {
            if (description != nullptr)
                *description = entry.description;
            return entry.code;
        }
    }
    if (description != nullptr)
        *description = nullptr;
    return SOAP_E_UNK;
}

void CSoapFaultParser::Reset() {
    m_fault->Clear();
    m_state = State::Start;
    m_field = nullptr;
    m_depth = 0;
    m_haveCode = m_haveString = false;
}

HRESULT CSoapFaultParser::Fail() {
    m_state = State::Failed;
    return E_FAIL;
}

bool CSoapFaultParser::Append(std::u16string& field, std::u16string_view text) {
    if (field.size() + text.size() > kMaxFieldChars)
        return false;
    field.append(text);
    return true;
}

HRESULT CSoapFaultParser::OnStartElement(std::u16string_view uri, std::u16string_view localName,
                                         std::u16string_view qName,
                                         std::span<const SoapAttribute> attributes) {
    const bool inEnvelopeNs = uri == kSoapEnvelopeNamespaceW;
    switch (m_state) {
        case State::Start:
            if (!inEnvelopeNs || localName != u"Envelope")
                return Fail();
            m_state = State::Envelope;
            return S_OK;
        case State::Envelope:
            if (inEnvelopeNs && localName == u"Header") {
                m_depth = 1;
                m_state = State::SkipHeader;
                return S_OK;
            }
            if (!inEnvelopeNs || localName != u"Body")
                return Fail();
            m_state = State::Body;
            return S_OK;
        case State::SkipHeader:
            if (++m_depth > kMaxDepth)
                return Fail();
            return S_OK;
        case State::Body:
            if (!inEnvelopeNs || localName != u"Fault")
                return Fail();
            m_state = State::Fault;
            return S_OK;
        case State::Fault:
            if (localName == u"faultcode" && !m_haveCode) {
                m_haveCode = true;
                m_field = &m_fault->m_strFaultCode;
            } else if (localName == u"faultstring" && !m_haveString) {
                m_haveString = true;
                m_field = &m_fault->m_strFaultString;
            } else if (localName == u"faultactor") {
                m_field = &m_fault->m_strFaultActor;
            } else if (localName == u"detail") {
                m_field = &m_fault->m_strDetail;
                m_depth = 0;
                m_state = State::Detail;
                return S_OK;
            } else {
                return Fail();
            }
            m_field->clear();
            m_state = State::Field;
            return S_OK;
        case State::Detail: {
            if (++m_depth > kMaxDepth)
                return Fail();
            std::u16string tag = u"<";
            tag.append(qName);
            for (const SoapAttribute& a : attributes) {
                tag += u' ';
                tag.append(a.localName);
                tag += u"=\"";
                AppendMarkupText(a.value, &tag);
                tag += u'"';
            }
            tag += u'>';
            return Append(*m_field, tag) ? S_OK : Fail();
        }
        default:
            return Fail();
    }
}

HRESULT CSoapFaultParser::OnEndElement(std::u16string_view, std::u16string_view,
                                       std::u16string_view qName) {
    switch (m_state) {
        case State::SkipHeader:
            if (--m_depth == 0)
                m_state = State::Envelope;
            return S_OK;
        case State::Field:
            m_field = nullptr;
            m_state = State::Fault;
            return S_OK;
        case State::Detail:
            if (m_depth == 0) {
                m_field = nullptr;
                m_state = State::Fault;
                return S_OK;
            }
            --m_depth;
            return Append(*m_field, u"</") && Append(*m_field, qName) && Append(*m_field, u">")
                       ? S_OK
                       : Fail();
        case State::Fault:
            if (!m_haveCode || !m_haveString)
                return Fail();
            m_state = State::AfterFault;
            return S_OK;
        case State::AfterFault:
            m_state = State::AfterBody;
            return S_OK;
        case State::AfterBody:
            m_state = State::Done;
            return S_OK;
        default:
            return Fail();
    }
}

HRESULT CSoapFaultParser::OnCharacters(std::u16string_view text) {
    if (m_state == State::Failed)
        return E_FAIL;
    if (m_state == State::Field)
        return Append(*m_field, text) ? S_OK : Fail();
    if (m_state == State::Detail) {
        std::u16string escaped;
        AppendMarkupText(text, &escaped);
        return Append(*m_field, escaped) ? S_OK : Fail();
    }
    return S_OK;
}

HRESULT CSoapFaultParser::OnEndDocument() {
    if (m_state != State::Done)
        return Fail();
    m_fault->m_soapErrCode = SoapFaultCodeFromText(m_fault->m_strFaultCode);
    return S_OK;
}

namespace {

// Hands a SAX reader's events to a CSoapFaultParser. Lives on the stack of one parse.
class FaultSaxHandler final : public ISAXContentHandler {
  public:
    explicit FaultSaxHandler(CSoapFaultParser* parser) : parser_(parser) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISAXContentHandler)) {
            *ppv = static_cast<ISAXContentHandler*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startDocument() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE endDocument() override { return parser_->OnEndDocument(); }
    HRESULT STDMETHODCALLTYPE startPrefixMapping(const WCHAR*, int, const WCHAR*, int) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE endPrefixMapping(const WCHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startElement(const WCHAR* uri, int cchUri, const WCHAR* local,
                                           int cchLocal, const WCHAR* qName, int cchQName,
                                           ISAXAttributes* attributes) override {
        try {
            std::vector<SoapAttribute> list;
            HRESULT hr = K47CollectSaxAttributes(attributes, &list);
            if (FAILED(hr))
                return hr;
            return parser_->OnStartElement({uri, size_t(cchUri)}, {local, size_t(cchLocal)},
                                           {qName, size_t(cchQName)}, list);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    HRESULT STDMETHODCALLTYPE endElement(const WCHAR* uri, int cchUri, const WCHAR* local,
                                         int cchLocal, const WCHAR* qName, int cchQName) override {
        try {
            return parser_->OnEndElement({uri, size_t(cchUri)}, {local, size_t(cchLocal)},
                                         {qName, size_t(cchQName)});
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    HRESULT STDMETHODCALLTYPE characters(const WCHAR* chars, int cchChars) override {
        try {
            return parser_->OnCharacters({chars, size_t(cchChars)});
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const WCHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE processingInstruction(const WCHAR*, int, const WCHAR*, int) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE skippedEntity(const WCHAR*, int) override { return E_FAIL; }

  private:
    CSoapFaultParser* parser_;
};

}  // namespace

HRESULT K47CreateSaxReader(ISAXXMLReader** reader) {
    if (reader == nullptr)
        return E_POINTER;
    *reader = nullptr;
    return CoCreateInstance(CLSID_SAXXMLReader60, nullptr, CLSCTX_INPROC_SERVER, IID_ISAXXMLReader,
                            reinterpret_cast<void**>(reader));
}

HRESULT K47ParseSoapFault(ISAXXMLReader* reader, IUnknown* body, CSoapFault* fault) {
    if (body == nullptr || fault == nullptr)
        return E_POINTER;
    Microsoft::WRL::ComPtr<ISAXXMLReader> own;
    if (reader == nullptr) {
        HRESULT hr = K47CreateSaxReader(own.GetAddressOf());
        if (FAILED(hr))
            return hr;
        reader = own.Get();
    }
    CSoapFaultParser parser(fault);
    parser.Reset();
    FaultSaxHandler handler(&parser);
    HRESULT hr = reader->putContentHandler(&handler);
    if (SUCCEEDED(hr)) {
        VARIANT input;
        VariantInit(&input);
        input.vt = VT_UNKNOWN;
        input.punkVal = body;
        hr = reader->parse(input);
        reader->putContentHandler(nullptr);
    }
    if (FAILED(hr))
        fault->Clear();
    return hr;
}
