// Fuzz target of the SAX reader (the SOAP response and fault reader's parser): the first input
// byte picks the chunk size of the stream and the features, the rest is the document. Beyond
// memory errors it checks the reader's promises: element events balance on success, nothing
// follows a handler's failure, and parse returns the handler's own HRESULT when it stops.
#include <msxml6.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

template <class Interface>
class Fixed : public Interface {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == K47UuidOf<Interface>::value) {
            *ppv = static_cast<Interface*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

constexpr HRESULT kStop = static_cast<HRESULT>(0x80049999);

class Handler final : public Fixed<ISAXContentHandler> {
  public:
    int depth = 0;
    int events = 0;
    int stop_at = -1;  // fail at this event
    bool stopped = false;

    HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator* l) override {
        int line = 0;
        l->getLineNumber(&line);
        return Event();
    }
    HRESULT STDMETHODCALLTYPE startDocument() override { return Event(); }
    HRESULT STDMETHODCALLTYPE endDocument() override { return Event(); }
    HRESULT STDMETHODCALLTYPE startPrefixMapping(const WCHAR* p, int cp, const WCHAR* u,
                                                 int cu) override {
        Touch(p, cp);
        Touch(u, cu);
        return Event();
    }
    HRESULT STDMETHODCALLTYPE endPrefixMapping(const WCHAR* p, int cp) override {
        Touch(p, cp);
        return Event();
    }
    HRESULT STDMETHODCALLTYPE startElement(const WCHAR* u, int cu, const WCHAR* l, int cl,
                                           const WCHAR* q, int cq, ISAXAttributes* a) override {
        Touch(u, cu);
        Touch(l, cl);
        Touch(q, cq);
        int n = 0;
        a->getLength(&n);
        for (int i = 0; i < n; ++i) {
            const WCHAR *au, *al, *aq, *av;
            int cau, cal, caq, cav;
            if (a->getName(i, &au, &cau, &al, &cal, &aq, &caq) != S_OK ||
                a->getValue(i, &av, &cav) != S_OK) {
                std::abort();
            }
            Touch(au, cau);
            Touch(aq, caq);
            Touch(av, cav);
            int index = -1;
            if (a->getIndexFromQName(aq, caq, &index) != S_OK || index > i) {
                std::abort();  // the first attribute of that name, at most this one
            }
        }
        ++depth;
        return Event();
    }
    HRESULT STDMETHODCALLTYPE endElement(const WCHAR* u, int cu, const WCHAR* l, int cl,
                                         const WCHAR* q, int cq) override {
        Touch(u, cu);
        Touch(l, cl);
        Touch(q, cq);
        if (--depth < 0) {
            std::abort();
        }
        return Event();
    }
    HRESULT STDMETHODCALLTYPE characters(const WCHAR* s, int n) override {
        Touch(s, n);
        return Event();
    }
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const WCHAR* s, int n) override {
        return characters(s, n);
    }
    HRESULT STDMETHODCALLTYPE processingInstruction(const WCHAR* t, int ct, const WCHAR* d,
                                                    int cd) override {
        Touch(t, ct);
        Touch(d, cd);
        return Event();
    }
    HRESULT STDMETHODCALLTYPE skippedEntity(const WCHAR* s, int n) override {
        Touch(s, n);
        return Event();
    }

  private:
    // Reads every unit, so a bad pointer or length shows under the sanitizers.
    static void Touch(const WCHAR* s, int n) {
        if (n < 0 || (n > 0 && s == nullptr)) {
            std::abort();
        }
        volatile WCHAR sink = 0;
        for (int i = 0; i < n; ++i) {
            sink = static_cast<WCHAR>(sink ^ s[i]);
        }
    }
    HRESULT Event() {
        if (stopped) {
            std::abort();  // an event after the handler failed
        }
        if (events++ == stop_at) {
            stopped = true;
            return kStop;
        }
        return S_OK;
    }
};

class Stream final : public Fixed<ISequentialStream> {
  public:
    Stream(const uint8_t* data, size_t size, size_t chunk)
        : data_(data), size_(size), chunk_(chunk) {}
    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* read) override {
        size_t n = std::min({static_cast<size_t>(cb), chunk_, size_ - pos_});
        if (n > 0) {
            std::memcpy(pv, data_ + pos_, n);
        }
        pos_ += n;
        *read = static_cast<ULONG>(n);
        return n < cb ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t chunk_;
    size_t pos_ = 0;
};

ISAXXMLReader* Reader() {
    static ISAXXMLReader* reader = [] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ISAXXMLReader* r = nullptr;
        if (FAILED(CoCreateInstance(CLSID_SAXXMLReader60, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_ISAXXMLReader, reinterpret_cast<void**>(&r)))) {
            std::abort();
        }
        return r;  // kept for the life of the process
    }();
    return reader;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const uint8_t mode = data[0];
    static const size_t kChunks[] = {1, 2, 3, 5, 8, 64, 4096, 1 << 20};
    const size_t chunk = kChunks[mode & 7];
    ISAXXMLReader* reader = Reader();
    reader->putFeature(u"http://xml.org/sax/features/namespaces",
                       (mode & 0x08) ? VARIANT_FALSE : VARIANT_TRUE);
    reader->putFeature(u"http://xml.org/sax/features/namespace-prefixes",
                       (mode & 0x10) ? VARIANT_TRUE : VARIANT_FALSE);
    Handler handler;
    if (mode & 0x20) {
        handler.stop_at = (mode >> 6) * 3 + 1;
    }
    reader->putContentHandler(&handler);
    Stream stream(data + 1, size - 1, chunk);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UNKNOWN;
    v.punkVal = &stream;
    HRESULT hr = reader->parse(v);
    reader->putContentHandler(nullptr);
    if (handler.stopped && hr != kStop) {
        std::abort();  // a stopping handler's HRESULT is what parse returns
    }
    if (SUCCEEDED(hr) && handler.depth != 0) {
        std::abort();  // a well-formed document closes every element it opens
    }
    return 0;
}
