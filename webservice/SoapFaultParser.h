// CSoapFaultParser: reads a SOAP 1.1 fault (the body of a status 500 answer) from SAX events:
// Envelope, Body and Fault in the SOAP envelope namespace (a Header is skipped), and the texts of
// faultcode, faultstring, faultactor and detail (detail's content as text, markup included).
// faultcode and faultstring are required. The local part of the fault code (after its prefix)
// is mapped to a number: VersionMismatch 100, MustUnderstand 200, Client 300, Server 400, any
// other 0.
//
// Not thread-safe: it belongs to one transport and parses one fault at a time.
#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <string_view>

#include "webservice/SoapRootHandler.h"

enum SOAP_ERROR_CODE {
    SOAP_E_UNK = 0,
    SOAP_E_VERSION_MISMATCH = 100,
    SOAP_E_MUST_UNDERSTAND = 200,
    SOAP_E_CLIENT = 300,
    SOAP_E_SERVER = 400,
};

// The number and the fixed description of a fault code's local part ("Server", or "soap:Server"
// whose prefix is ignored); the description is null for SOAP_E_UNK.
SOAP_ERROR_CODE SoapFaultCodeFromText(std::u16string_view code, const char** description = nullptr);

struct CSoapFault {
    SOAP_ERROR_CODE m_soapErrCode = SOAP_E_UNK;
    std::u16string m_strFaultCode;
    std::u16string m_strFaultString;
    std::u16string m_strFaultActor;
    std::u16string m_strDetail;

    void Clear() { *this = CSoapFault{}; }
};

// A new platform SAX reader (CLSID_SAXXMLReader60, in-process).
HRESULT K47CreateSaxReader(ISAXXMLReader** reader);

// Reads the fault in `body` (an ISequentialStream) with `reader` (a new one when null) into
// *fault, which is cleared first. S_OK for a complete fault.
HRESULT K47ParseSoapFault(ISAXXMLReader* reader, IUnknown* body, CSoapFault* fault);

class CSoapFaultParser {
  public:
    static constexpr size_t kMaxFieldChars = 64 * 1024;
    static constexpr int kMaxDepth = 64;

    explicit CSoapFaultParser(CSoapFault* fault) : m_fault(fault) {}

    void Reset();
    HRESULT OnStartElement(std::u16string_view uri, std::u16string_view localName,
                           std::u16string_view qName, std::span<const SoapAttribute> attributes);
    HRESULT OnEndElement(std::u16string_view uri, std::u16string_view localName,
                         std::u16string_view qName);
    HRESULT OnCharacters(std::u16string_view text);
    // S_OK when a complete fault was read; the code number is set then.
    HRESULT OnEndDocument();

  private:
    enum class State {
        Start,       // before Envelope
        Envelope,    // inside Envelope, before Body
        SkipHeader,  // inside Header
        Body,        // inside Body, before Fault
        Fault,       // inside Fault, between its children
        Field,       // inside faultcode, faultstring or faultactor
        Detail,      // inside detail (nested markup kept as text)
        AfterFault,  // Fault ended
        AfterBody,   // Body ended
        Done,
        Failed,
    };
    HRESULT Fail();
    bool Append(std::u16string& field, std::u16string_view text);

    CSoapFault* m_fault;
    State m_state = State::Start;
    std::u16string* m_field = nullptr;
    int m_depth = 0;
    bool m_haveCode = false;
    bool m_haveString = false;
};
