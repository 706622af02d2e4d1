// CK47SoapSocketClientT<TSocket>: the SOAP transport over the system's own HTTP client
// (CAtlHttpClientT<TSocket>, TSocket = ZEvtSyncSocket2), used for every endpoint whose scheme is
// not exactly "https". The endpoint URL is escaped (at most 2083 characters) and split at
// construction; a URL that cannot be escaped or split leaves the initial value (scheme "http",
// port 80, no host) and every call fails before connecting.
//
// SendEnvelope POSTs the write stream's bytes with the action line, "Accept: text/xml" and
// "Content-Type: text/xml; charset=utf-8", then judges the answer: 200 with a body -> the read
// stream is attached (an empty body: error state 9); 202 -> success with an empty stream; any
// other accepted status -> 6; status 500 -> 7 and the fault is read (8 when it cannot be);
// anything else -> 5. Every failure returns E_FAIL; nothing is thrown. Each call starts on a new
// connection (ResetForCall closes the previous one).
//
// Not thread-safe: one call at a time. The read stream lives inside the transport.
#pragma once

#include <windows.h>
#include <msxml6.h>

#include <string>

#include "webservice/AtlHttpClient.h"
#include "webservice/HttpUrl.h"
#include "webservice/SoapClientError.h"
#include "webservice/SoapFaultParser.h"
#include "webservice/SoapStreams.h"

template <class TSocket>
class CK47SoapSocketClientT {
  public:
    explicit CK47SoapSocketClientT(LPCSTR url) {
        std::string escaped;
        k47::http::CUrl cracked;
        if (url != nullptr && k47::http::EscapeUrl(url, &escaped) && cracked.CrackUrl(escaped))
            m_url = cracked;
    }
    virtual ~CK47SoapSocketClientT() = default;
    CK47SoapSocketClientT(const CK47SoapSocketClientT&) = delete;
    CK47SoapSocketClientT& operator=(const CK47SoapSocketClientT&) = delete;

    void ResetForCall() {
        m_writeStream.Cleanup();
        m_fault.Clear();
        m_error = SOAPCLIENT_SUCCESS;
        m_readStream.Detach();
        m_socket.Close();
    }
    CWriteStreamOnCString& GetWriteStream() { return m_writeStream; }
    HRESULT SendEnvelope(LPCSTR actionLine);
    // The body of the last response as a stream owned by the transport.
    HRESULT GetResponseStream(IUnknown** stream) {
        if (stream == nullptr)
            return E_POINTER;
        *stream = static_cast<IStream*>(&m_readStream);
        return S_OK;
    }
    HRESULT CreateXmlReader(ISAXXMLReader** reader) { return K47CreateSaxReader(reader); }

    SOAPCLIENT_ERROR GetClientError() const { return m_error; }
    void SetClientError(SOAPCLIENT_ERROR error) { m_error = error; }
    // 0 keeps the request default (10000 ms).
    void SetTimeout(DWORD ms) { m_dwTimeout = ms; }
    const CSoapFault& GetFault() const { return m_fault; }
    const k47::http::CUrl& GetUrl() const { return m_url; }
    CAtlHttpClientT<TSocket>& GetHttpClient() { return m_socket; }

  private:
    k47::http::CUrl m_url;
    CWriteStreamOnCString m_writeStream;
    CReadStreamOnSocket<CAtlHttpClientT<TSocket>> m_readStream;
    DWORD m_dwTimeout = 0;
    SOAPCLIENT_ERROR m_error = SOAPCLIENT_SUCCESS;
    CAtlHttpClientT<TSocket> m_socket;
    CSoapFault m_fault;
};

template <class TSocket>
HRESULT CK47SoapSocketClientT<TSocket>::SendEnvelope(LPCSTR actionLine) {
    try {
        std::string headers =
            std::string(actionLine != nullptr ? actionLine : "") + "Accept: text/xml\r\n";
        const std::string& envelope = m_writeStream.Text();
        k47::http::HttpRequestOptions options;
        options.extraHeaders = headers.c_str();
        options.method = "POST";
        options.port = m_url.GetPortNumber();
        options.body = reinterpret_cast<const BYTE*>(envelope.data());
        options.dataLength = DWORD(envelope.size());
        options.dataType = "text/xml; charset=utf-8";
        if (m_dwTimeout != 0)
            options.timeoutMs = m_dwTimeout;

        if (m_socket.PerformRequest(m_url, &options)) {
            int status = m_socket.GetStatus();
            if (status == 200) {
                if (!m_readStream.Init(&m_socket)) {
                    m_error = SOAPCLIENT_READ_ERROR;
                    return E_FAIL;
                }
                return S_OK;
            }
            if (status == 202)
                return S_OK;
            m_error = SOAPCLIENT_SERVER_ERROR;
            return E_FAIL;
        }
        if (m_socket.GetStatus() == 500) {
            m_error = SOAPCLIENT_SOAPFAULT;
            if (m_readStream.Init(&m_socket)) {
                HRESULT hr =
                    K47ParseSoapFault(nullptr, static_cast<IStream*>(&m_readStream), &m_fault);
                m_readStream.Detach();
                if (FAILED(hr))
                    m_error = SOAPCLIENT_PARSEFAULT_ERROR;
            }
            return E_FAIL;
        }
        m_error = SOAPCLIENT_SEND_ERROR;
        return E_FAIL;
    } catch (...) {
        return E_FAIL;
    }
}
