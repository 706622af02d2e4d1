// The SAX reader of the XML services (ISAXXMLReader, see msxml6.h) over libxml2's
// namespace-aware SAX2 push parser. The input (a stream read in chunks, or a BSTR) is pushed into
// the parser piece by piece; each libxml2 callback is turned into the content handler's call with
// UTF-16 strings. A handler failure stops the parser from inside the callback (xmlStopParser), so
// no event follows it, and parse returns that handler's HRESULT.
//
// Hardening: no DTD (a DOCTYPE stops the parse with E_ACCESSDENIED, so no entity can ever be
// declared), the process-wide deny-all external entity loader (xml_internal.h), no network, and
// a cap on the bytes fed. libxml2's own limits (depth 256, 10 MB text node) stay in force.
#include "xml/xml_sax_reader.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <atomic>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <wrl/client.h>

#include "com/com_object.h"
#include "support/boundary.h"
#include "support/utf_bridge.h"
#include "xml/xml_internal.h"

#ifndef ERROR_FILE_TOO_LARGE
#define ERROR_FILE_TOO_LARGE 223L
#endif

using Microsoft::WRL::ComPtr;

namespace k47::xml {

namespace {

constexpr ULONG kDefaultMaxSizeKb = 4096;
constexpr size_t kReadChunk = 16384;

std::u16string Wide(const xmlChar* s) {
    return s != nullptr ? support::Utf8ToUtf16(reinterpret_cast<const char*>(s)) : std::u16string();
}

std::u16string Wide(const xmlChar* s, size_t n) {
    return support::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(s), n));
}

// An attribute value as libxml2 hands it over without entity substitution: every '&' of the
// value is escaped as "&#38;" (and only those), so undoing that one escape gives the value.
std::u16string AttributeValue(const xmlChar* begin, const xmlChar* end) {
    std::string_view raw(reinterpret_cast<const char*>(begin), static_cast<size_t>(end - begin));
    if (raw.find("&#38;") == std::string_view::npos) {
        return support::Utf8ToUtf16(raw);
    }
    std::string value;
    value.reserve(raw.size());
    for (size_t i = 0; i < raw.size();) {
        if (raw.compare(i, 5, "&#38;") == 0) {
            value += '&';
            i += 5;
        } else {
            value += raw[i++];
        }
    }
    return support::Utf8ToUtf16(value);
}

std::u16string QName(const xmlChar* prefix, const xmlChar* local) {
    std::u16string q;
    if (prefix != nullptr) {
        q = Wide(prefix);
        q += u':';
    }
    q += Wide(local);
    return q;
}

int Length(const std::u16string& s) {
    return static_cast<int>(s.size());
}

std::u16string_view View(const WCHAR* s, int n) {
    if (s == nullptr) {
        return {};
    }
    if (n < 0) {  // -1: NUL-terminated
        n = 0;
        while (s[n] != 0) {
            ++n;
        }
    }
    return std::u16string_view(s, static_cast<size_t>(n));
}

// COM objects that live on the parse's stack: handlers may AddRef them during a call, but SAX
// gives them no life past the parse. The count is kept only so that AddRef/Release answer.
template <class Interface>
class ParseScoped : public Interface {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == K47UuidOf<Interface>::value) {
            *ppv = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

  private:
    std::atomic<ULONG> refs_{1};
};

class Attributes final : public ParseScoped<ISAXAttributes> {
  public:
    struct Attribute {
        std::u16string uri, local, qname, value;
    };
    std::vector<Attribute> list;

    HRESULT STDMETHODCALLTYPE getLength(int* n) override {
        if (n == nullptr) {
            return E_POINTER;
        }
        *n = static_cast<int>(list.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getURI(int i, const WCHAR** s, int* n) override {
        return Field(i, &Attribute::uri, s, n);
    }
    HRESULT STDMETHODCALLTYPE getLocalName(int i, const WCHAR** s, int* n) override {
        return Field(i, &Attribute::local, s, n);
    }
    HRESULT STDMETHODCALLTYPE getQName(int i, const WCHAR** s, int* n) override {
        return Field(i, &Attribute::qname, s, n);
    }
    HRESULT STDMETHODCALLTYPE getName(int i, const WCHAR** uri, int* cu, const WCHAR** local,
                                      int* cl, const WCHAR** qname, int* cq) override {
        HRESULT hr = Field(i, &Attribute::uri, uri, cu);
        if (SUCCEEDED(hr)) {
            hr = Field(i, &Attribute::local, local, cl);
        }
        if (SUCCEEDED(hr)) {
            hr = Field(i, &Attribute::qname, qname, cq);
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE getIndexFromName(const WCHAR* uri, int cu, const WCHAR* local, int cl,
                                               int* index) override {
        if (index == nullptr || local == nullptr) {
            return E_POINTER;
        }
        *index = FindByName(View(uri, cu), View(local, cl));
        return *index >= 0 ? S_OK : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE getIndexFromQName(const WCHAR* qname, int cq, int* index) override {
        if (index == nullptr || qname == nullptr) {
            return E_POINTER;
        }
        *index = FindByQName(View(qname, cq));
        return *index >= 0 ? S_OK : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE getType(int i, const WCHAR** s, int* n) override {
        if (s == nullptr || n == nullptr) {
            return E_POINTER;
        }
        if (i < 0 || i >= static_cast<int>(list.size())) {
            return E_INVALIDARG;
        }
        return Cdata(s, n);
    }
    HRESULT STDMETHODCALLTYPE getTypeFromName(const WCHAR* uri, int cu, const WCHAR* local, int cl,
                                              const WCHAR** s, int* n) override {
        int i;
        HRESULT hr = getIndexFromName(uri, cu, local, cl, &i);
        return SUCCEEDED(hr) ? getType(i, s, n) : hr;
    }
    HRESULT STDMETHODCALLTYPE getTypeFromQName(const WCHAR* qname, int cq, const WCHAR** s,
                                               int* n) override {
        int i;
        HRESULT hr = getIndexFromQName(qname, cq, &i);
        return SUCCEEDED(hr) ? getType(i, s, n) : hr;
    }
    HRESULT STDMETHODCALLTYPE getValue(int i, const WCHAR** s, int* n) override {
        return Field(i, &Attribute::value, s, n);
    }
    HRESULT STDMETHODCALLTYPE getValueFromName(const WCHAR* uri, int cu, const WCHAR* local, int cl,
                                               const WCHAR** s, int* n) override {
        int i;
        HRESULT hr = getIndexFromName(uri, cu, local, cl, &i);
        return SUCCEEDED(hr) ? getValue(i, s, n) : hr;
    }
    HRESULT STDMETHODCALLTYPE getValueFromQName(const WCHAR* qname, int cq, const WCHAR** s,
                                                int* n) override {
        int i;
        HRESULT hr = getIndexFromQName(qname, cq, &i);
        return SUCCEEDED(hr) ? getValue(i, s, n) : hr;
    }

  private:
    HRESULT Field(int i, std::u16string Attribute::*field, const WCHAR** s, int* n) const {
        if (s == nullptr || n == nullptr) {
            return E_POINTER;
        }
        if (i < 0 || i >= static_cast<int>(list.size())) {
            return E_INVALIDARG;
        }
        const std::u16string& text = list[static_cast<size_t>(i)].*field;
        *s = text.c_str();
        *n = Length(text);
        return S_OK;
    }
    static HRESULT Cdata(const WCHAR** s, int* n) {
        static const WCHAR kCdata[] = u"CDATA";  // no DTD, so every attribute is CDATA
        *s = kCdata;
        *n = 5;
        return S_OK;
    }
    int FindByName(std::u16string_view uri, std::u16string_view local) const {
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i].uri == uri && list[i].local == local) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    int FindByQName(std::u16string_view qname) const {
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i].qname == qname) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
};

class Locator final : public ParseScoped<ISAXLocator> {
  public:
    xmlParserCtxtPtr ctxt = nullptr;

    HRESULT STDMETHODCALLTYPE getColumnNumber(int* n) override {
        if (n == nullptr) {
            return E_POINTER;
        }
        *n = ctxt != nullptr ? xmlSAX2GetColumnNumber(ctxt) : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getLineNumber(int* n) override {
        if (n == nullptr) {
            return E_POINTER;
        }
        *n = ctxt != nullptr ? xmlSAX2GetLineNumber(ctxt) : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getPublicId(const WCHAR** s) override {
        if (s == nullptr) {
            return E_POINTER;
        }
        *s = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getSystemId(const WCHAR** s) override { return getPublicId(s); }
};

void IgnoreGenericError(void*, const char*, ...) {}

struct ParseOptions {
    bool namespaces = true;
    bool namespace_prefixes = false;
    size_t max_bytes = size_t{kDefaultMaxSizeKb} * 1024;
};

// One parse: the libxml2 push context and the state its callbacks share.
class Parse {
  public:
    Parse(ISAXContentHandler* handler, const ParseOptions& options)
        : handler_(handler), options_(options) {
        // libxml2 reports some failures (encoding errors) only through the thread's generic
        // error function, which prints to stderr: silence it for this parse. Those failures
        // halt the parser, which Finish notices.
        saved_error_ = xmlGenericError;
        saved_error_context_ = xmlGenericErrorContext;
        xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
    }
    Parse(const Parse&) = delete;
    Parse& operator=(const Parse&) = delete;
    ~Parse() {
        if (ctxt_ != nullptr) {
            xmlFreeParserCtxt(ctxt_);
        }
        xmlSetGenericErrorFunc(saved_error_context_, saved_error_);
    }

    // Pushes the next bytes; false once the parse has failed (Result() tells why).
    bool Feed(const char* data, size_t n, bool ignore_encoding) {
        if (Failed()) {
            return false;
        }
        if (n > options_.max_bytes - fed_) {
            Fail(HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE));
            return false;
        }
        fed_ += n;
        if (ctxt_ == nullptr) {
            // The first four bytes decide the encoding: hold them back until they are there.
            head_.append(data, n);
            if (head_.size() < 4) {
                return true;
            }
            if (!Start(ignore_encoding)) {
                return false;
            }
            return Push(head_.data() + 4, head_.size() - 4, false);
        }
        return Push(data, n, false);
    }

    HRESULT Finish(bool ignore_encoding) {
        if (!Failed() && ctxt_ == nullptr && !Start(ignore_encoding)) {
            return result_;
        }
        if (!Failed()) {
            Push(nullptr, 0, true);
        }
        if (Failed()) {
            return result_;
        }
        // A parser halted without an error callback (undecodable input) never ends the document.
        return ctxt_->wellFormed && ended_ ? S_OK : HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    }

    HRESULT Result() const { return result_; }
    bool Failed() const { return FAILED(result_); }

  private:
    bool Start(bool ignore_encoding) {
        EnsureXmlInitialized();
        xmlSAXHandler sax{};
        sax.initialized = XML_SAX2_MAGIC;
        sax.setDocumentLocator = [](void* p, xmlSAXLocatorPtr) { Self(p)->OnLocator(); };
        sax.startDocument = [](void* p) { Self(p)->OnStartDocument(); };
        sax.endDocument = [](void* p) { Self(p)->OnEndDocument(); };
        sax.startElementNs = [](void* p, const xmlChar* local, const xmlChar* prefix,
                                const xmlChar* uri, int nb_ns, const xmlChar** ns, int nb_attr, int,
                                const xmlChar** attrs) {
            Self(p)->OnStartElement(local, prefix, uri, nb_ns, ns, nb_attr, attrs);
        };
        sax.endElementNs = [](void* p, const xmlChar* local, const xmlChar* prefix,
                              const xmlChar* uri) { Self(p)->OnEndElement(local, prefix, uri); };
        sax.characters = [](void* p, const xmlChar* ch, int len) {
            Self(p)->OnCharacters(ch, len);
        };
        sax.cdataBlock = sax.characters;
        sax.ignorableWhitespace = sax.characters;
        sax.processingInstruction = [](void* p, const xmlChar* target, const xmlChar* data) {
            Self(p)->OnProcessingInstruction(target, data);
        };
        // Any DOCTYPE is refused: without a DTD no entity can be declared or loaded.
        sax.internalSubset = [](void* p, const xmlChar*, const xmlChar*, const xmlChar*) {
            Self(p)->Fail(E_ACCESSDENIED);
        };
        sax.externalSubset = sax.internalSubset;
        // libxml2 2.9 passes a non-const error, 2.12 a const one: a generic lambda takes both.
        sax.serror = [](void* p, auto* error) { Self(p)->OnError(error->domain, error->level); };

        const size_t head = head_.size() < 4 ? head_.size() : 4;
        ctxt_ = xmlCreatePushParserCtxt(&sax, this, head_.data(), static_cast<int>(head), nullptr);
        if (ctxt_ == nullptr) {
            Fail(E_OUTOFMEMORY);
            return false;
        }
        locator_.ctxt = ctxt_;
        int options = XML_PARSE_NONET | XML_PARSE_NOCDATA;
        if (ignore_encoding) {
            options |= XML_PARSE_IGNORE_ENC;  // the text is UTF-8 whatever its declaration says
        }
        xmlCtxtUseOptions(ctxt_, options);
        return !Failed();
    }

    bool Push(const char* data, size_t n, bool terminate) {
        while (!Failed()) {
            int piece = static_cast<int>(n > (1u << 30) ? (1u << 30) : n);
            xmlParseChunk(ctxt_, data, piece, terminate && static_cast<size_t>(piece) == n);
            data += piece;
            n -= static_cast<size_t>(piece);
            if (n == 0) {
                break;
            }
        }
        return !Failed();
    }

    static Parse* Self(void* p) { return static_cast<Parse*>(p); }

    // The first failure wins; the parser is stopped so that no event follows.
    void Fail(HRESULT hr) {
        if (!Failed()) {
            result_ = hr;
            if (ctxt_ != nullptr) {
                xmlStopParser(ctxt_);
            }
        }
    }

    void Check(HRESULT hr) {
        if (FAILED(hr)) {
            Fail(hr);
        }
    }

    bool Deliver() const { return !Failed() && handler_ != nullptr; }

    void OnError(int domain, int level) {
        // Namespace errors (an undeclared prefix) count only when namespaces are processed.
        if (level >= XML_ERR_ERROR && !(domain == XML_FROM_NAMESPACE && !options_.namespaces)) {
            Fail(HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
        }
    }

    void OnLocator() {
        if (Deliver()) {
            Check(handler_->putDocumentLocator(&locator_));
        }
    }

    void OnStartDocument() {
        if (Deliver()) {
            Check(handler_->startDocument());
        }
    }

    void OnEndDocument() {
        ended_ = true;
        if (Deliver() && ctxt_->wellFormed) {
            Check(handler_->endDocument());
        }
    }

    void OnStartElement(const xmlChar* local, const xmlChar* prefix, const xmlChar* uri, int nb_ns,
                        const xmlChar** ns, int nb_attr, const xmlChar** attrs) {
        if (!Deliver()) {
            return;
        }
        // Everything libxml2 handed over is copied before the first handler call: a failing
        // handler stops the parser, which frees the input those pointers point into.
        Attributes attributes;
        std::vector<std::pair<std::u16string, std::u16string>> mappings;
        for (int i = 0; i < nb_ns; ++i) {
            std::u16string p = Wide(ns[2 * i]);
            std::u16string u = Wide(ns[2 * i + 1]);
            if (options_.namespace_prefixes || !options_.namespaces) {
                // The declaration as an attribute: "xmlns" or "xmlns:p", in no namespace.
                std::u16string q = p.empty() ? u"xmlns" : u"xmlns:" + p;
                attributes.list.push_back({u"", options_.namespaces ? p : u"", q, u});
            }
            if (options_.namespaces) {
                mappings.emplace_back(std::move(p), std::move(u));
            }
        }
        for (int i = 0; i < nb_attr; ++i) {
            const xmlChar** a = attrs + 5 * i;
            Attributes::Attribute attr;
            attr.qname = QName(a[1], a[0]);
            if (options_.namespaces) {
                attr.uri = Wide(a[2]);
                attr.local = Wide(a[0]);
            }
            attr.value = AttributeValue(a[3], a[4]);
            attributes.list.push_back(std::move(attr));
        }
        std::u16string q = QName(prefix, local);
        std::u16string u = options_.namespaces ? Wide(uri) : std::u16string();
        std::u16string l = options_.namespaces ? Wide(local) : std::u16string();

        std::vector<std::u16string> declared;
        for (const auto& [p, mapped] : mappings) {
            if (Deliver()) {
                Check(handler_->startPrefixMapping(p.c_str(), Length(p), mapped.c_str(),
                                                   Length(mapped)));
                declared.push_back(p);
            }
        }
        declared_.push_back(std::move(declared));
        if (Deliver()) {
            Check(handler_->startElement(u.c_str(), Length(u), l.c_str(), Length(l), q.c_str(),
                                         Length(q), &attributes));
        }
    }

    void OnEndElement(const xmlChar* local, const xmlChar* prefix, const xmlChar* uri) {
        if (!Deliver()) {
            return;
        }
        std::u16string q = QName(prefix, local);
        std::u16string u = options_.namespaces ? Wide(uri) : std::u16string();
        std::u16string l = options_.namespaces ? Wide(local) : std::u16string();
        Check(
            handler_->endElement(u.c_str(), Length(u), l.c_str(), Length(l), q.c_str(), Length(q)));
        if (!declared_.empty()) {
            for (const std::u16string& p : declared_.back()) {
                if (Deliver()) {
                    Check(handler_->endPrefixMapping(p.c_str(), Length(p)));
                }
            }
            declared_.pop_back();
        }
    }

    void OnCharacters(const xmlChar* ch, int len) {
        if (Deliver() && len > 0) {
            std::u16string text = Wide(ch, static_cast<size_t>(len));
            Check(handler_->characters(text.c_str(), Length(text)));
        }
    }

    void OnProcessingInstruction(const xmlChar* target, const xmlChar* data) {
        if (Deliver()) {
            std::u16string t = Wide(target);
            std::u16string d = Wide(data);
            Check(handler_->processingInstruction(t.c_str(), Length(t), d.c_str(), Length(d)));
        }
    }

    ISAXContentHandler* const handler_;
    const ParseOptions options_;
    xmlParserCtxtPtr ctxt_ = nullptr;
    HRESULT result_ = S_OK;
    size_t fed_ = 0;
    std::string head_;
    Locator locator_;
    std::vector<std::vector<std::u16string>> declared_;  // prefixes declared per open element
    bool ended_ = false;
    xmlGenericErrorFunc saved_error_ = nullptr;
    void* saved_error_context_ = nullptr;
};

constexpr char16_t kFeatureNamespaces[] = u"http://xml.org/sax/features/namespaces";
constexpr char16_t kFeaturePrefixes[] = u"http://xml.org/sax/features/namespace-prefixes";
constexpr char16_t kFeatureProhibitDtd[] = u"prohibit-dtd";
constexpr char16_t kFeatureExternalGeneral[] =
    u"http://xml.org/sax/features/external-general-entities";
constexpr char16_t kFeatureExternalParameter[] =
    u"http://xml.org/sax/features/external-parameter-entities";
constexpr char16_t kPropertyMaxSize[] = u"max-xml-size";

class SaxXmlReader final : public k47::com::RefCountedObject<ISAXXMLReader> {
  public:
    HRESULT STDMETHODCALLTYPE getFeature(const WCHAR* name, VARIANT_BOOL* value) override {
        if (name == nullptr || value == nullptr) {
            return E_POINTER;
        }
        std::u16string_view n(name);
        bool on;
        if (n == kFeatureNamespaces) {
            on = options_.namespaces;
        } else if (n == kFeaturePrefixes) {
            on = options_.namespace_prefixes;
        } else if (n == kFeatureProhibitDtd) {
            on = true;
        } else if (n == kFeatureExternalGeneral || n == kFeatureExternalParameter) {
            on = false;
        } else {
            return E_INVALIDARG;
        }
        *value = on ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE putFeature(const WCHAR* name, VARIANT_BOOL value) override {
        if (name == nullptr) {
            return E_POINTER;
        }
        if (parsing_) {
            return E_FAIL;  // features are fixed while a parse runs
        }
        std::u16string_view n(name);
        const bool on = value != VARIANT_FALSE;
        if (n == kFeatureNamespaces) {
            options_.namespaces = on;
        } else if (n == kFeaturePrefixes) {
            options_.namespace_prefixes = on;
        } else if (n == kFeatureProhibitDtd) {
            return on ? S_OK : E_NOTIMPL;  // DTDs are never accepted
        } else if (n == kFeatureExternalGeneral || n == kFeatureExternalParameter) {
            return on ? E_NOTIMPL : S_OK;  // external entities are never read
        } else {
            return E_INVALIDARG;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE getProperty(const WCHAR* name, VARIANT* value) override {
        if (name == nullptr || value == nullptr) {
            return E_POINTER;
        }
        if (std::u16string_view(name) != kPropertyMaxSize) {
            return E_INVALIDARG;
        }
        VariantInit(value);
        value->vt = VT_I4;
        value->lVal = static_cast<LONG>(options_.max_bytes / 1024);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE putProperty(const WCHAR* name, VARIANT value) override {
        if (name == nullptr) {
            return E_POINTER;
        }
        if (std::u16string_view(name) != kPropertyMaxSize) {
            return E_INVALIDARG;
        }
        if (parsing_) {
            return E_FAIL;
        }
        VARIANT kb;
        VariantInit(&kb);
        HRESULT hr = VariantChangeType(&kb, &value, 0, VT_I4);
        if (FAILED(hr) || kb.lVal <= 0) {
            // 0 would mean "no limit", which this reader does not offer.
            return E_INVALIDARG;
        }
        options_.max_bytes = static_cast<size_t>(kb.lVal) * 1024;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE getEntityResolver(ISAXEntityResolver** p) override {
        return NotSupported(p);
    }
    HRESULT STDMETHODCALLTYPE putEntityResolver(ISAXEntityResolver*) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE getContentHandler(ISAXContentHandler** handler) override {
        if (handler == nullptr) {
            return E_POINTER;
        }
        return handler_.CopyTo(handler);
    }

    HRESULT STDMETHODCALLTYPE putContentHandler(ISAXContentHandler* handler) override {
        if (parsing_) {
            return E_FAIL;  // the handler of a running parse stays until it ends
        }
        handler_ = handler;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE getDTDHandler(ISAXDTDHandler** p) override { return NotSupported(p); }
    HRESULT STDMETHODCALLTYPE putDTDHandler(ISAXDTDHandler*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE getErrorHandler(ISAXErrorHandler** p) override {
        return NotSupported(p);
    }
    HRESULT STDMETHODCALLTYPE putErrorHandler(ISAXErrorHandler*) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE getBaseURL(const WCHAR** url) override {
        if (url == nullptr) {
            return E_POINTER;
        }
        *url = base_url_.empty() ? nullptr : base_url_.c_str();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE putBaseURL(const WCHAR* url) override {
        base_url_ = url != nullptr ? url : u"";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getSecureBaseURL(const WCHAR** url) override {
        if (url == nullptr) {
            return E_POINTER;
        }
        *url = secure_base_url_.empty() ? nullptr : secure_base_url_.c_str();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE putSecureBaseURL(const WCHAR* url) override {
        secure_base_url_ = url != nullptr ? url : u"";
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE parse(VARIANT input) override {
        if (parsing_) {
            return E_FAIL;  // not re-entrant
        }
        parsing_ = true;
        HRESULT hr =
            support::Boundary(E_OUTOFMEMORY, E_UNEXPECTED, [&] { return ParseInput(input); });
        parsing_ = false;
        return hr;
    }

    HRESULT STDMETHODCALLTYPE parseURL(const WCHAR*) override {
        return E_NOTIMPL;  // nothing is ever fetched by URL
    }

  private:
    template <class T>
    static HRESULT NotSupported(T** p) {
        if (p == nullptr) {
            return E_POINTER;
        }
        *p = nullptr;
        return E_NOTIMPL;
    }

    HRESULT ParseInput(const VARIANT& input) {
        // The handler is held for the whole parse, even if a callback replaces it.
        ComPtr<ISAXContentHandler> handler = handler_;
        Parse parse(handler.Get(), options_);
        if (input.vt == VT_BSTR) {
            std::string text = support::Utf16ToUtf8(
                std::u16string_view(input.bstrVal, SysStringLen(input.bstrVal)));
            parse.Feed(text.data(), text.size(), true);
            return parse.Finish(true);
        }
        if (input.vt != VT_UNKNOWN && input.vt != VT_DISPATCH) {
            return E_INVALIDARG;
        }
        IUnknown* unknown =
            input.vt == VT_UNKNOWN ? input.punkVal : reinterpret_cast<IUnknown*>(input.pdispVal);
        if (unknown == nullptr) {
            return E_INVALIDARG;
        }
        ComPtr<ISequentialStream> stream;
        if (FAILED(unknown->QueryInterface(IID_ISequentialStream,
                                           reinterpret_cast<void**>(stream.GetAddressOf())))) {
            return E_INVALIDARG;
        }
        std::vector<char> chunk(kReadChunk);
        for (;;) {
            ULONG got = 0;
            HRESULT hr = stream->Read(chunk.data(), static_cast<ULONG>(chunk.size()), &got);
            if (FAILED(hr)) {
                return hr;
            }
            if (got == 0) {
                break;
            }
            if (!parse.Feed(chunk.data(), std::min<size_t>(got, chunk.size()), false)) {
                return parse.Result();
            }
        }
        return parse.Finish(false);
    }

    ComPtr<ISAXContentHandler> handler_;
    ParseOptions options_;
    std::u16string base_url_, secure_base_url_;
    bool parsing_ = false;
};

}  // namespace

HRESULT CreateSaxXmlReader(IUnknown* outer, REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    auto* reader = new (std::nothrow) SaxXmlReader;  // owner: its reference count
    if (reader == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = reader->QueryInterface(riid, ppv);
    reader->Release();
    return hr;
}

}  // namespace k47::xml
