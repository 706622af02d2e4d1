// CSoapMSXMLInetClientNoCertError: the SOAP transport over the platform's server XML HTTP
// request object (CLSID_ServerXMLHTTP60), used when the endpoint's scheme is exactly "https".
// At the first send of a call it creates, opens (POST, synchronous) and configures a new request
// object: it reads the certificate-error ignore mask (option 2), clears unknown authority (0x100),
// wrong usage (0x200) and bad date (0x2000) in it and writes it back, so those stop the call while
// the remaining bits (a name mismatch, 0x1000, by the object's default) stay as they were; then,
// unless the platform's default time-outs are in force, it sets the four time-outs.
//
// Error states: 4 connect (create/open/configure) failed, 5 header or send failed, 7 status 500
// (the fault is read; 8 when it cannot be), 9 no byte stream for the response.
//
// Not thread-safe: one call at a time.
#pragma once

#include <windows.h>
#include <msxml6.h>
#include <wrl/client.h>

#include "webservice/HttpUrl.h"
#include "webservice/SoapClientError.h"
#include "webservice/SoapFaultParser.h"
#include "webservice/SoapStreams.h"

class CSoapMSXMLInetClientNoCertError {
  public:
    // The certificate errors the transport never lets through.
    static constexpr LONG kRefusedCertErrors = 0x2300;

    explicit CSoapMSXMLInetClientNoCertError(LPCSTR url);
    virtual ~CSoapMSXMLInetClientNoCertError() = default;
    CSoapMSXMLInetClientNoCertError(const CSoapMSXMLInetClientNoCertError&) = delete;
    CSoapMSXMLInetClientNoCertError& operator=(const CSoapMSXMLInetClientNoCertError&) = delete;

    void ResetForCall();
    CWriteStreamOnCString& GetWriteStream() { return m_writeStream; }
    HRESULT SendEnvelope(LPCSTR actionLine);
    HRESULT GetResponseStream(IUnknown** stream);
    HRESULT CreateXmlReader(ISAXXMLReader** reader) { return K47CreateSaxReader(reader); }

    SOAPCLIENT_ERROR GetClientError() const { return m_error; }
    void SetClientError(SOAPCLIENT_ERROR error) { m_error = error; }
    // True (the initial value): the platform object's own time-outs stay in force.
    void SetUseDefaultTimeouts(bool useDefaults) { m_useDefaultTimeouts = useDefaults; }
    void SetTimeouts(DWORD resolveMs, DWORD connectMs, DWORD sendMs, DWORD receiveMs) {
        m_resolveTimeout = resolveMs;
        m_connectTimeout = connectMs;
        m_sendTimeout = sendMs;
        m_receiveTimeout = receiveMs;
    }
    const CSoapFault& GetFault() const { return m_fault; }
    const k47::http::CUrl& GetUrl() const { return m_url; }
    // The request object of the call in progress (null between calls or after a failed connect).
    IServerXMLHTTPRequest* GetRequest() const { return m_request.Get(); }

  private:
    HRESULT ConnectToServer();

    k47::http::CUrl m_url;
    CWriteStreamOnCString m_writeStream;
    SOAPCLIENT_ERROR m_error = SOAPCLIENT_SUCCESS;
    bool m_useDefaultTimeouts = true;
    DWORD m_resolveTimeout = 0;
    DWORD m_connectTimeout = 0;
    DWORD m_sendTimeout = 0;
    DWORD m_receiveTimeout = 0;
    Microsoft::WRL::ComPtr<IServerXMLHTTPRequest> m_request;
    CSoapFault m_fault;
};
