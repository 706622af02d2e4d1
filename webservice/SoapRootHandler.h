// CSoapRootHandler: the SOAP envelope writer and the SAX-driven response reader of the control-
// service proxy. The derived (generated) class supplies the operation tables, the service
// namespace and the parameter block of the call in progress.
//
// Writer: GenerateRequest writes, byte for byte and pure ASCII, the
// envelope start tag, "<soap:Body>", the wrapper element in the service namespace with one child
// per input parameter (strings escaped, null strings as nil), and the end tags.
//
// Reader: the handler receives the SAX reader's element and text events and accepts exactly:
// Envelope (SOAP envelope namespace) holding an optional Header (each child skipped with all its
// content unless it carries mustUnderstand="1"/"true" of the envelope namespace, which fails)
// and a Body whose first child is the response wrapper (name and namespace not compared); each
// wrapper child is matched by local name against the operation's outputs (unknown or repeated
// names fail; xsi:nil="true" fails for a non-nullable output); a value is the element's text,
// surrounding XML white space allowed, a decimal number within its type's range; when the wrapper
// ends every non-nullable output must have been seen. Outputs go into the parameter block.
//
// Not thread-safe: one call at a time per proxy. The parse state lives for one parse.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <msxml6.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "webservice/SoapMap.h"
#include "webservice/SoapStreams.h"

// One attribute of a start-element event.
struct SoapAttribute {
    std::u16string_view uri;
    std::u16string_view localName;
    std::u16string_view value;
};

// The attributes of a SAX start-element event as views (valid during the event).
HRESULT K47CollectSaxAttributes(ISAXAttributes* attributes, std::vector<SoapAttribute>* out);

// The SAX content handler is part of its owner (the proxy), which is not reference-counted
// through it: AddRef and Release only satisfy the reader, and the owner must outlive every parse.
class CSoapRootHandler : public ISAXContentHandler {
  public:
    // Caps on what a response may hold.
    static constexpr size_t kMaxValueChars = 256;
    static constexpr int kMaxSkipDepth = 64;

    virtual ~CSoapRootHandler() = default;

    // The generated class's tables and parameter block.
    virtual const SoapFunctionMap* GetFunctionMap() = 0;
    virtual const SoapFunctionMap* GetHeaderMap() = 0;
    virtual const char* GetNamespaceUriA() = 0;
    virtual const char16_t* GetNamespaceUri() = 0;
    virtual void* GetParamBlock() = 0;

    // Writes the request envelope of the current operation into `stream`.
    virtual HRESULT GenerateRequest(CWriteStreamOnCString& stream);
    // Sets up the parse state for the current operation and block; E_FAIL without a table.
    virtual HRESULT BeginParse(const SoapFunctionMap* functionMap, void* paramBlock);
    // Forgets the parse state (and any output written into the block by a failed parse).
    virtual void UninitializeSOAP();

    // SAX events of the response (UTF-16, lengths given by the views). Each returns S_OK or
    // E_FAIL; after the first failure every later event fails too.
    HRESULT OnStartElement(std::u16string_view uri, std::u16string_view localName,
                           std::span<const SoapAttribute> attributes);
    HRESULT OnEndElement(std::u16string_view uri, std::u16string_view localName);
    HRESULT OnCharacters(std::u16string_view text);
    // The document ended: S_OK only for a complete, accepted response.
    HRESULT OnEndDocument();

    // ISAXContentHandler: each event goes to the On* members above.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startDocument() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE endDocument() override { return OnEndDocument(); }
    HRESULT STDMETHODCALLTYPE startPrefixMapping(const WCHAR*, int, const WCHAR*, int) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE endPrefixMapping(const WCHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startElement(const WCHAR* uri, int cchUri, const WCHAR* localName,
                                           int cchLocalName, const WCHAR* qName, int cchQName,
                                           ISAXAttributes* attributes) override;
    HRESULT STDMETHODCALLTYPE endElement(const WCHAR* uri, int cchUri, const WCHAR* localName,
                                         int cchLocalName, const WCHAR* qName,
                                         int cchQName) override;
    HRESULT STDMETHODCALLTYPE characters(const WCHAR* chars, int cchChars) override;
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const WCHAR*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE processingInstruction(const WCHAR*, int, const WCHAR*, int) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE skippedEntity(const WCHAR*, int) override { return Fail(); }

    // Escapes a string value as the envelope writes it (exposed for tests and the fault text).
    static void AppendEscaped(std::u16string_view text, std::string* out);

  protected:
    CSoapRootHandler() = default;
    CSoapRootHandler(const CSoapRootHandler&) = delete;
    CSoapRootHandler& operator=(const CSoapRootHandler&) = delete;

  private:
    enum class State {
        Start,         // before the root element
        Envelope,      // inside Envelope, before Body
        Header,        // inside Header, between header entries
        SkipHeader,    // inside a header entry being skipped
        Body,          // inside Body, before the wrapper
        Wrapper,       // inside the response wrapper, between outputs
        Value,         // inside an output element, collecting its text
        AfterWrapper,  // the wrapper ended, Body not yet
        AfterBody,     // Body ended, Envelope not yet
        Done,          // Envelope ended
        Failed,
    };
    HRESULT Fail();
    bool StoreValue();

    State m_state = State::Start;
    const SoapFunctionMap* m_map = nullptr;
    void* m_block = nullptr;
    const SoapMapEntry* m_current = nullptr;
    uint64_t m_seen = 0;
    int m_skipDepth = 0;
    bool m_headerSeen = false;
    std::u16string m_text;
};
