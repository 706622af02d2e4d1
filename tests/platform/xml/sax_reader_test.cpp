// The SAX reader: created through COM without registration, events in document order with
// namespaces, text split in arbitrary chunks, a failing handler stopping the parse, DTDs and
// external entities refused, the size cap, malformed input.
#include <gtest/gtest.h>
#include <msxml6.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "k47/strings.h"

using Microsoft::WRL::ComPtr;

namespace {

std::string U8(const WCHAR* s, int n) {
    return s != nullptr ? k47::Utf16ToUtf8(std::u16string_view(s, static_cast<size_t>(n))) : "";
}

// Counts references for real, so the tests also see that the reader releases what it holds.
template <class Interface>
class Counted : public Interface {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == K47UuidOf<Interface>::value) {
            *ppv = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    std::atomic<ULONG> refs{1};
};

// Writes every event as a line; consecutive characters() calls are joined into one "text" line
// (the reader may split text anywhere) and counted. Fails with `fail_hr` at event `fail_at`.
class RecordingHandler final : public Counted<ISAXContentHandler> {
  public:
    std::vector<std::string> events;
    int character_calls = 0;
    int fail_at = -1;
    HRESULT fail_hr = S_OK;

    HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator* locator) override {
        return Event("locator", locator != nullptr);
    }
    HRESULT STDMETHODCALLTYPE startDocument() override { return Event("start-doc"); }
    HRESULT STDMETHODCALLTYPE endDocument() override { return Event("end-doc"); }
    HRESULT STDMETHODCALLTYPE startPrefixMapping(const WCHAR* p, int cp, const WCHAR* u,
                                                 int cu) override {
        return Event("prefix " + U8(p, cp) + "=" + U8(u, cu));
    }
    HRESULT STDMETHODCALLTYPE endPrefixMapping(const WCHAR* p, int cp) override {
        return Event("end-prefix " + U8(p, cp));
    }
    HRESULT STDMETHODCALLTYPE startElement(const WCHAR* u, int cu, const WCHAR* l, int cl,
                                           const WCHAR* q, int cq, ISAXAttributes* attrs) override {
        std::string line = "start {" + U8(u, cu) + "}" + U8(l, cl) + " " + U8(q, cq);
        int n = 0;
        attrs->getLength(&n);
        for (int i = 0; i < n; ++i) {
            const WCHAR *au, *al, *aq, *av;
            int cau, cal, caq, cav;
            attrs->getName(i, &au, &cau, &al, &cal, &aq, &caq);
            attrs->getValue(i, &av, &cav);
            line += " [{" + U8(au, cau) + "}" + U8(al, cal) + " " + U8(aq, caq) + "=" +
                    U8(av, cav) + "]";
        }
        last_attributes = attrs;
        return Event(line);
    }
    HRESULT STDMETHODCALLTYPE endElement(const WCHAR* u, int cu, const WCHAR* l, int cl,
                                         const WCHAR* q, int cq) override {
        return Event("end {" + U8(u, cu) + "}" + U8(l, cl) + " " + U8(q, cq));
    }
    HRESULT STDMETHODCALLTYPE characters(const WCHAR* s, int n) override {
        ++character_calls;
        std::string text = U8(s, n);
        if (!events.empty() && events.back().rfind("text ", 0) == 0) {
            events.back() += text;
            return Outcome();  // part of the same line: fails with it
        }
        return Event("text " + text);
    }
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const WCHAR* s, int n) override {
        return characters(s, n);
    }
    HRESULT STDMETHODCALLTYPE processingInstruction(const WCHAR* t, int ct, const WCHAR* d,
                                                    int cd) override {
        return Event("pi " + U8(t, ct) + " " + U8(d, cd));
    }
    HRESULT STDMETHODCALLTYPE skippedEntity(const WCHAR* s, int n) override {
        return Event("skipped " + U8(s, n));
    }

    ISAXAttributes* last_attributes = nullptr;

  private:
    HRESULT Event(const std::string& line, bool ok = true) {
        events.push_back(ok ? line : line + " (null)");
        return Outcome();
    }
    HRESULT Outcome() const {
        return static_cast<int>(events.size()) - 1 == fail_at ? fail_hr : S_OK;
    }
};

// A stream that hands out at most `chunk` bytes per Read, and fails with `fail_hr` once
// `fail_after` bytes have been read (if set).
class ChunkedStream final : public Counted<ISequentialStream> {
  public:
    ChunkedStream(std::string data, size_t chunk) : data_(std::move(data)), chunk_(chunk) {}
    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* read) override {
        ++reads;
        if (fail_after != std::string::npos && pos_ >= fail_after) {
            return fail_hr;
        }
        size_t n = std::min({static_cast<size_t>(cb), chunk_, data_.size() - pos_});
        std::memcpy(pv, data_.data() + pos_, n);
        pos_ += n;
        *read = static_cast<ULONG>(n);
        return n < cb ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    int reads = 0;
    size_t fail_after = std::string::npos;
    HRESULT fail_hr = S_OK;

  private:
    std::string data_;
    size_t chunk_;
    size_t pos_ = 0;
};

class SaxReader : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SAXXMLReader60, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_ISAXXMLReader,
                                         reinterpret_cast<void**>(reader_.GetAddressOf())));
        ASSERT_EQ(S_OK, reader_->putContentHandler(&handler_));
    }
    void TearDown() override {
        reader_.Reset();
        EXPECT_EQ(1u, handler_.refs.load()) << "the reader kept a handler reference";
        CoUninitialize();
    }

    HRESULT ParseStream(const std::string& xml, size_t chunk, ChunkedStream** keep = nullptr) {
        stream_ = std::make_unique<ChunkedStream>(xml, chunk);
        if (keep != nullptr) {
            *keep = stream_.get();
        }
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_UNKNOWN;
        v.punkVal = stream_.get();
        return reader_->parse(v);
    }

    HRESULT ParseText(const std::u16string& xml) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocStringLen(xml.data(), static_cast<UINT>(xml.size()));
        HRESULT hr = reader_->parse(v);
        VariantClear(&v);
        return hr;
    }

    ComPtr<ISAXXMLReader> reader_;
    RecordingHandler handler_;
    std::unique_ptr<ChunkedStream> stream_;
};

const char kEnvelope[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<soap:Body><R xmlns=\"http://example.com/VLT\" a=\"1\" soap:m=\"x&amp;y&lt;&amp;#38;\">"
    "<port> 5000 </port><?note keep?><![CDATA[<raw>]]>&#x41;&lt;</R></soap:Body>"
    "</soap:Envelope>";

const std::vector<std::string> kEnvelopeEvents = {
    "locator",
    "start-doc",
    "prefix soap=http://schemas.xmlsoap.org/soap/envelope/",
    "start {http://schemas.xmlsoap.org/soap/envelope/}Envelope soap:Envelope",
    "start {http://schemas.xmlsoap.org/soap/envelope/}Body soap:Body",
    "prefix =http://example.com/VLT",
    "start {http://example.com/VLT}R R [{}a a=1] "
    "[{http://schemas.xmlsoap.org/soap/envelope/}m soap:m=x&y<&#38;]",
    "start {http://example.com/VLT}port port",
    "text  5000 ",
    "end {http://example.com/VLT}port port",
    "pi note keep",
    "text <raw>A<",
    "end {http://example.com/VLT}R R",
    "end-prefix ",
    "end {http://schemas.xmlsoap.org/soap/envelope/}Body soap:Body",
    "end {http://schemas.xmlsoap.org/soap/envelope/}Envelope soap:Envelope",
    "end-prefix soap",
    "end-doc",
};

}  // namespace

// The same events whatever the chunking of the stream, and from a BSTR.
TEST_F(SaxReader, EventsInDocumentOrderWithNamespacesForEveryChunking) {
    for (size_t chunk : {1u, 2u, 3u, 7u, 64u, 100000u}) {
        handler_.events.clear();
        ASSERT_EQ(S_OK, ParseStream(kEnvelope, chunk)) << "chunk " << chunk;
        EXPECT_EQ(kEnvelopeEvents, handler_.events) << "chunk " << chunk;
    }
    handler_.events.clear();
    // A BSTR is UTF-16 whatever its declaration says.
    ASSERT_EQ(S_OK, ParseText(k47::Utf8ToUtf16(kEnvelope)));
    EXPECT_EQ(kEnvelopeEvents, handler_.events);
}

// A failing handler method stops the parse at once: parse returns its HRESULT, nothing follows.
TEST_F(SaxReader, HandlerFailureStopsTheParseWithItsResult) {
    const HRESULT kOwn = static_cast<HRESULT>(0x80041234);
    for (int fail_at = 0; fail_at < static_cast<int>(kEnvelopeEvents.size()); ++fail_at) {
        handler_.events.clear();
        handler_.fail_at = fail_at;
        handler_.fail_hr = kOwn;
        handler_.character_calls = 0;
        // Whole document in one chunk: libxml2 would otherwise have nothing left to stop.
        EXPECT_EQ(kOwn, ParseStream(kEnvelope, 100000)) << "failing at " << fail_at;
        // Everything up to the failing event, nothing after it; a text line may end early,
        // since its first piece already failed.
        ASSERT_EQ(static_cast<size_t>(fail_at + 1), handler_.events.size()) << fail_at;
        for (int i = 0; i < fail_at; ++i) {
            EXPECT_EQ(kEnvelopeEvents[i], handler_.events[i]) << "failing at " << fail_at;
        }
        EXPECT_EQ(0u, kEnvelopeEvents[fail_at].rfind(handler_.events.back(), 0))
            << handler_.events.back();
    }
    // S_FALSE is success: the parse goes on.
    handler_.events.clear();
    handler_.fail_at = 3;
    handler_.fail_hr = S_FALSE;
    EXPECT_EQ(S_OK, ParseStream(kEnvelope, 100000));
    EXPECT_EQ(kEnvelopeEvents, handler_.events);
}

TEST_F(SaxReader, DtdsAndExternalEntitiesAreRefused) {
    const char* const refused[] = {
        "<!DOCTYPE a><a/>",
        "<!DOCTYPE a SYSTEM \"file:///etc/hostname\"><a/>",
        "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><a>&x;</a>",
        "<!DOCTYPE a [<!ENTITY l \"lol\"><!ENTITY l2 \"&l;&l;&l;&l;\">]><a>&l2;</a>",
    };
    for (const char* xml : refused) {
        for (size_t chunk : {1u, 100000u}) {
            handler_.events.clear();
            EXPECT_EQ(E_ACCESSDENIED, ParseStream(xml, chunk)) << xml;
            for (const std::string& e : handler_.events) {
                EXPECT_TRUE(e == "locator" || e == "start-doc") << xml << ": " << e;
            }
        }
    }
    VARIANT_BOOL on = VARIANT_FALSE;
    ASSERT_EQ(S_OK, reader_->getFeature(u"prohibit-dtd", &on));
    EXPECT_EQ(VARIANT_TRUE, on);
    EXPECT_EQ(E_NOTIMPL, reader_->putFeature(u"prohibit-dtd", VARIANT_FALSE));
    EXPECT_EQ(E_NOTIMPL,
              reader_->putFeature(u"http://xml.org/sax/features/external-general-entities",
                                  VARIANT_TRUE));
    // An entity that no DTD declares is a well-formedness error, not a lookup.
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), ParseStream("<a>&x;</a>", 3));
}

TEST_F(SaxReader, DocumentsOverTheSizeCapAreRefused) {
    VARIANT v;
    VariantInit(&v);
    ASSERT_EQ(S_OK, reader_->getProperty(u"max-xml-size", &v));
    EXPECT_EQ(VT_I4, v.vt);
    EXPECT_EQ(4096, v.lVal) << "4 MB by default";
    v.lVal = 1;
    ASSERT_EQ(S_OK, reader_->putProperty(u"max-xml-size", v));

    std::string fits = "<a>" + std::string(1000, 'x') + "</a>";
    EXPECT_EQ(S_OK, ParseStream(fits, 100));
    std::string big = "<a>" + std::string(1100, 'x') + "</a>";
    EXPECT_EQ(HRESULT_FROM_WIN32(223), ParseStream(big, 100));
    EXPECT_EQ(HRESULT_FROM_WIN32(223), ParseText(k47::Utf8ToUtf16(big)));
    // The cap counts bytes fed, not the bytes of a stream: no read beyond it.
    ChunkedStream* stream = nullptr;
    EXPECT_EQ(HRESULT_FROM_WIN32(223),
              ParseStream("<a>" + std::string(1 << 20, 'x') + "</a>", 256, &stream));
    EXPECT_LE(stream->reads, 5);
    v.lVal = 0;
    EXPECT_EQ(E_INVALIDARG, reader_->putProperty(u"max-xml-size", v));
}

TEST_F(SaxReader, MalformedInputFails) {
    using namespace std::string_literals;
    const std::string bad[] = {
        ""s,
        "<a>"s,
        "<a></b>"s,
        "<a x='1' x='2'/>"s,
        "just text"s,
        "<a/><b/>"s,
        "<p:a/>"s,
        "<a>\x01</a>"s,
        "<a b=c/>"s,
        "<?xml version=\"1.0\"?>"s,
        "<a>\xC3</a>"s,
        // UTF-16 with a lone surrogate: libxml2 halts without an error callback.
        "\xff\xfe<\0a\0>\0\0\xD8<\0/\0a\0>\0"s,
    };
    for (const std::string& xml : bad) {
        for (size_t chunk : {1u, 100000u}) {
            handler_.events.clear();
            EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), ParseStream(xml, chunk))
                << "'" << xml << "' chunk " << chunk;
            EXPECT_TRUE(handler_.events.empty() || handler_.events.back() != "end-doc") << xml;
        }
    }
    // A stream that fails mid-way fails the parse with its own HRESULT.
    stream_ = std::make_unique<ChunkedStream>(kEnvelope, 10);
    stream_->fail_after = 20;
    stream_->fail_hr = HRESULT_FROM_WIN32(ERROR_NETNAME_DELETED);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UNKNOWN;
    v.punkVal = stream_.get();
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NETNAME_DELETED), reader_->parse(v));
    v.vt = VT_I4;
    EXPECT_EQ(E_INVALIDARG, reader_->parse(v));
}

TEST_F(SaxReader, AttributesAnswerLookupsDuringStartElement) {
    // Checked inside the callback: the attributes live only for its duration.
    class Probe final : public Counted<ISAXContentHandler> {
      public:
        std::vector<std::string> answers;
        HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator*) override { return S_OK; }
        HRESULT STDMETHODCALLTYPE startDocument() override { return S_OK; }
        HRESULT STDMETHODCALLTYPE endDocument() override { return S_OK; }
        HRESULT STDMETHODCALLTYPE startPrefixMapping(const WCHAR*, int, const WCHAR*,
                                                     int) override {
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE endPrefixMapping(const WCHAR*, int) override { return S_OK; }
        HRESULT STDMETHODCALLTYPE startElement(const WCHAR*, int, const WCHAR*, int, const WCHAR*,
                                               int, ISAXAttributes* a) override {
            const WCHAR* s = nullptr;
            int n = 0, index = -1;
            answers.push_back(a->getIndexFromName(u"urn:i", 5, u"nil", 3, &index) == S_OK
                                  ? std::to_string(index)
                                  : "missing");
            answers.push_back(a->getValueFromQName(u"plain", -1, &s, &n) == S_OK ? U8(s, n)
                                                                                 : "missing");
            answers.push_back(a->getValueFromName(u"", 0, u"nil", 3, &s, &n) == S_OK ? U8(s, n)
                                                                                     : "missing");
            answers.push_back(a->getType(0, &s, &n) == S_OK ? U8(s, n) : "missing");
            answers.push_back(a->getValue(9, &s, &n) == E_INVALIDARG ? "range" : "no range check");
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE endElement(const WCHAR*, int, const WCHAR*, int, const WCHAR*,
                                             int) override {
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE characters(const WCHAR*, int) override { return S_OK; }
        HRESULT STDMETHODCALLTYPE ignorableWhitespace(const WCHAR*, int) override { return S_OK; }
        HRESULT STDMETHODCALLTYPE processingInstruction(const WCHAR*, int, const WCHAR*,
                                                        int) override {
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE skippedEntity(const WCHAR*, int) override { return S_OK; }
    } probe;
    ASSERT_EQ(S_OK, reader_->putContentHandler(&probe));
    ComPtr<ISAXContentHandler> current;
    ASSERT_EQ(S_OK, reader_->getContentHandler(current.GetAddressOf()));
    EXPECT_EQ(&probe, current.Get());
    current.Reset();
    ASSERT_EQ(S_OK, ParseStream("<e xmlns:i=\"urn:i\" plain=\"v&amp;w\" i:nil=\"true\"/>", 6));
    EXPECT_EQ((std::vector<std::string>{"1", "v&w", "missing", "CDATA", "range"}), probe.answers);
    ASSERT_EQ(S_OK, reader_->putContentHandler(nullptr));
    EXPECT_EQ(1u, probe.refs.load());
}
