// The envelope writer and response reader (see the header for the rules).
#include "webservice/SoapRootHandler.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kEnvelopeStart[] =
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">";
static_assert(sizeof(kEnvelopeStart) - 1 == 227, "the envelope start tag is 227 bytes");

bool IsXmlSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

std::u16string_view TrimXml(std::u16string_view s) {
    while (!s.empty() && IsXmlSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsXmlSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

// xsd:boolean true.
bool IsTrue(std::u16string_view value) {
    value = TrimXml(value);
    return value == u"1" || value == u"true";
}

// A decimal number, digits only (a leading '-' when `allowMinus`), within [min, max].
bool ParseDecimal(std::u16string_view text, bool allowMinus, int64_t min, int64_t max,
                  int64_t* out) {
    text = TrimXml(text);
    bool negative = false;
    if (allowMinus && !text.empty() && text.front() == u'-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty())
        return false;
    int64_t value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9')
            return false;
        value = value * 10 + (c - u'0');
        if (value > int64_t(1) << 33)
            return false;  // far beyond any 32-bit range
    }
    if (negative)
        value = -value;
    if (value < min || value > max)
        return false;
    *out = value;
    return true;
}

void AppendNumber(std::string* out, long long value) {
    char text[24];
    int n = std::snprintf(text, sizeof text, "%lld", value);
    out->append(text, size_t(n));
}

}  // namespace

void CSoapRootHandler::AppendEscaped(std::u16string_view text, std::string* out) {
    char reference[16];
    for (size_t i = 0; i < text.size() && text[i] != u'\0'; ++i) {
        char16_t c = text[i];
        if (c >= 0x20 && c <= 0x7E) {
            if (c == u'&') {
                out->append("&amp;");
            } else if (c == u'<') {
                out->append("&lt;");
            } else if (c == u'>') {
                out->append("&gt;");
            } else {
                out->push_back(char(c));
            }
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            unsigned codePoint =
                0x10000 + ((unsigned(c) - 0xD800) << 10) + (unsigned(text[i + 1]) - 0xDC00);
            std::snprintf(reference, sizeof reference, "&#x%06X;", codePoint);
            ++i;
        } else {
            std::snprintf(reference, sizeof reference, "&#x%04X;", unsigned(c));
        }
        out->append(reference);
    }
}

HRESULT CSoapRootHandler::GenerateRequest(CWriteStreamOnCString& stream) {
    const SoapFunctionMap* map = GetFunctionMap();
    const auto* block = static_cast<const unsigned char*>(GetParamBlock());
    if (map == nullptr || block == nullptr)
        return E_FAIL;
    std::string text;
    try {
        text.reserve(512);
        text += kEnvelopeStart;
        text += "<soap:Body>";
        text += "<";
        text += map->name;
        text += " xmlns=\"";
        text += GetNamespaceUriA();
        text += "\">";
        for (const SoapMapEntry& entry : map->params) {
            if ((entry.flags & SOAPFLAG_IN) == 0)
                continue;
            const unsigned char* field = block + entry.offset;
            text += "<";
            text += entry.name;
            if (entry.type == SoapXsdType::String) {
                BSTR value = *reinterpret_cast<const BSTR*>(field);
                if (value == nullptr) {
                    if ((entry.flags & SOAPFLAG_NULLABLE) == 0)
                        return E_INVALIDARG;
                    text += " xsi:nil=\"1\"/>";
                    continue;
                }
                text += ">";
                AppendEscaped(std::u16string_view(value, SysStringLen(value)), &text);
            } else {
                text += ">";
                switch (entry.type) {
                    case SoapXsdType::Int:
                        AppendNumber(&text, *reinterpret_cast<const int*>(field));
                        break;
                    case SoapXsdType::UnsignedInt:
                        AppendNumber(&text, *reinterpret_cast<const unsigned int*>(field));
                        break;
                    case SoapXsdType::UnsignedShort:
                        AppendNumber(&text, *reinterpret_cast<const unsigned short*>(field));
                        break;
                    case SoapXsdType::String:
                        break;
                }
            }
            text += "</";
            text += entry.name;
            text += ">";
        }
        text += "</";
        text += map->name;
        text += ">";
        text += "</soap:Body></soap:Envelope>";
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return stream.WriteStream(text);
}

HRESULT CSoapRootHandler::BeginParse(const SoapFunctionMap* functionMap, void* paramBlock) {
    UninitializeSOAP();
    if (functionMap == nullptr || paramBlock == nullptr || functionMap->params.size() > 64)
        return E_FAIL;
    m_map = functionMap;
    m_block = paramBlock;
    return S_OK;
}

void CSoapRootHandler::UninitializeSOAP() {
    m_state = State::Start;
    m_map = nullptr;
    m_block = nullptr;
    m_current = nullptr;
    m_seen = 0;
    m_skipDepth = 0;
    m_headerSeen = false;
    m_text.clear();
    m_text.shrink_to_fit();
}

HRESULT CSoapRootHandler::Fail() {
    m_state = State::Failed;
    return E_FAIL;
}

HRESULT CSoapRootHandler::OnStartElement(std::u16string_view uri, std::u16string_view localName,
                                         std::span<const SoapAttribute> attributes) {
    const bool inEnvelopeNs = uri == kSoapEnvelopeNamespaceW;
    switch (m_state) {
        case State::Start:
            if (m_map == nullptr || !inEnvelopeNs || localName != u"Envelope")
                return Fail();
            m_state = State::Envelope;
            return S_OK;
        case State::Envelope:
            if (inEnvelopeNs && localName == u"Header" && !m_headerSeen) {
                m_headerSeen = true;
                m_state = State::Header;
                return S_OK;
            }
            if (inEnvelopeNs && localName == u"Body") {
                m_state = State::Body;
                return S_OK;
            }
            return Fail();
        case State::Header:
            // The operations have no header entries: one the receiver must understand cannot be
            // honoured, any other is skipped with its content.
            for (const SoapAttribute& a : attributes)
                if (a.uri == kSoapEnvelopeNamespaceW && a.localName == u"mustUnderstand" &&
                    IsTrue(a.value))
                    return Fail();
            m_skipDepth = 1;
            m_state = State::SkipHeader;
            return S_OK;
        case State::SkipHeader:
            if (++m_skipDepth > kMaxSkipDepth)
                return Fail();
            return S_OK;
        case State::Body:
            m_state = State::Wrapper;
            return S_OK;
        case State::Wrapper: {
            const SoapMapEntry* match = nullptr;
            size_t index = 0;
            for (size_t i = 0; i < m_map->params.size(); ++i) {
                const SoapMapEntry& entry = m_map->params[i];
                if ((entry.flags & SOAPFLAG_OUT) != 0 && localName == entry.nameW) {
                    match = &entry;
                    index = i;
                    break;
                }
            }
            if (match == nullptr || (m_seen & (uint64_t(1) << index)) != 0)
                return Fail();
            for (const SoapAttribute& a : attributes)
                if (a.uri == kXsiNamespaceW && a.localName == u"nil" && IsTrue(a.value) &&
                    (match->flags & SOAPFLAG_NULLABLE) == 0)
                    return Fail();
            m_seen |= uint64_t(1) << index;
            m_current = match;
            m_text.clear();
            m_state = State::Value;
            return S_OK;
        }
        default:
            return Fail();
    }
}

bool CSoapRootHandler::StoreValue() {
    auto* field = static_cast<unsigned char*>(m_block) + m_current->offset;
    int64_t value = 0;
    switch (m_current->type) {
        case SoapXsdType::Int:
            if (!ParseDecimal(m_text, true, INT32_MIN, INT32_MAX, &value))
                return false;
            *reinterpret_cast<int*>(field) = int(value);
            return true;
        case SoapXsdType::UnsignedInt:
            if (!ParseDecimal(m_text, false, 0, UINT32_MAX, &value))
                return false;
            *reinterpret_cast<unsigned int*>(field) = unsigned(value);
            return true;
        case SoapXsdType::UnsignedShort:
            if (!ParseDecimal(m_text, false, 0, 65535, &value))
                return false;
            *reinterpret_cast<unsigned short*>(field) = static_cast<unsigned short>(value);
            return true;
        case SoapXsdType::String:
            // No operation of this service answers with a string.
            return false;
    }
    return false;
}

HRESULT CSoapRootHandler::OnEndElement(std::u16string_view, std::u16string_view) {
    switch (m_state) {
        case State::SkipHeader:
            if (--m_skipDepth == 0)
                m_state = State::Header;
            return S_OK;
        case State::Header:
            m_state = State::Envelope;
            return S_OK;
        case State::Value:
            if (!StoreValue())
                return Fail();
            m_current = nullptr;
            m_state = State::Wrapper;
            return S_OK;
        case State::Wrapper:
            for (size_t i = 0; i < m_map->params.size(); ++i) {
                const SoapMapEntry& entry = m_map->params[i];
                if ((entry.flags & SOAPFLAG_OUT) != 0 && (entry.flags & SOAPFLAG_NULLABLE) == 0 &&
                    (m_seen & (uint64_t(1) << i)) == 0)
                    return Fail();
            }
            m_state = State::AfterWrapper;
            return S_OK;
        case State::AfterWrapper:
            m_state = State::AfterBody;
            return S_OK;
        case State::AfterBody:
            m_state = State::Done;
            return S_OK;
        default:
            // Body ending before any wrapper, or an event out of order.
            return Fail();
    }
}

HRESULT CSoapRootHandler::OnCharacters(std::u16string_view text) {
    if (m_state == State::Failed)
        return E_FAIL;
    if (m_state != State::Value)
        return S_OK;  // text between elements is ignored
    if (m_text.size() + text.size() > kMaxValueChars)
        return Fail();
    m_text.append(text);
    return S_OK;
}

HRESULT K47CollectSaxAttributes(ISAXAttributes* attributes, std::vector<SoapAttribute>* out) {
    out->clear();
    if (attributes == nullptr)
        return S_OK;
    int count = 0;
    HRESULT hr = attributes->getLength(&count);
    if (FAILED(hr))
        return hr;
    for (int i = 0; i < count; ++i) {
        const WCHAR *uri = nullptr, *local = nullptr, *qName = nullptr, *value = nullptr;
        int cchUri = 0, cchLocal = 0, cchQName = 0, cchValue = 0;
        hr = attributes->getName(i, &uri, &cchUri, &local, &cchLocal, &qName, &cchQName);
        if (SUCCEEDED(hr))
            hr = attributes->getValue(i, &value, &cchValue);
        if (FAILED(hr))
            return hr;
        out->push_back(
            {{uri, size_t(cchUri)}, {local, size_t(cchLocal)}, {value, size_t(cchValue)}});
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CSoapRootHandler::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISAXContentHandler)) {
        *ppv = static_cast<ISAXContentHandler*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE CSoapRootHandler::startElement(const WCHAR* uri, int cchUri,
                                                         const WCHAR* localName, int cchLocalName,
                                                         const WCHAR*, int,
                                                         ISAXAttributes* attributes) {
    try {
        std::vector<SoapAttribute> list;
        if (FAILED(K47CollectSaxAttributes(attributes, &list)))
            return Fail();
        return OnStartElement({uri, size_t(cchUri)}, {localName, size_t(cchLocalName)}, list);
    } catch (...) {
        return Fail();
    }
}

HRESULT STDMETHODCALLTYPE CSoapRootHandler::endElement(const WCHAR* uri, int cchUri,
                                                       const WCHAR* localName, int cchLocalName,
                                                       const WCHAR*, int) {
    return OnEndElement({uri, size_t(cchUri)}, {localName, size_t(cchLocalName)});
}

HRESULT STDMETHODCALLTYPE CSoapRootHandler::characters(const WCHAR* chars, int cchChars) {
    try {
        return OnCharacters({chars, size_t(cchChars)});
    } catch (...) {
        return Fail();
    }
}

HRESULT CSoapRootHandler::OnEndDocument() {
    return m_state == State::Done ? S_OK : Fail();
}
