// CK47ServerXMLHTTPRequest: the server XML HTTP request object (CLSID_ServerXMLHTTP60,
// IServerXMLHTTPRequest) for HTTPS, built on the system's own HTTP client over CK47TlsSocket.
// Synchronous only; https URLs only; no credentials. Each send opens a new connection, applies
// the four time-outs (setTimeouts: resolve, connect, send, receive; 0 or negative = no limit;
// defaults: resolve none, connect 60000, send 30000, receive 30000 ms) per I/O step, and checks
// the server certificate against the ignore mask of option 2
// (SXH_OPTION_IGNORE_SERVER_SSL_CERT_ERROR_FLAGS; default SXH_SERVER_CERT_IGNORE_ALL_SERVER_ERRORS,
// 0x3300). send succeeds when a response was read, whatever its status; transport failures are
// HRESULT_FROM_WIN32 of a WinHTTP error (ERROR_WINHTTP_SECURE_INVALID_CA, ..._CERT_DATE_INVALID,
// ..._CERT_WRONG_USAGE, ..._CERT_CN_INVALID, _TIMEOUT, _CANNOT_CONNECT, _NAME_NOT_RESOLVED, ...).
//
// Registration: K47EnsureServerXMLHTTPClassRegistered() registers the class object in this
// process (CoRegisterClassObject, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE) the first time it
// succeeds; the registration stays for the life of the process (and keeps the module loaded).
// The HTTPS transport calls it before CoCreateInstance.
//
// Threading: free-threaded object, but one caller at a time (calls take the object's lock).
#pragma once

#include <windows.h>
#include <objbase.h>
#include <msxml6.h>

#include <span>
#include <string>

#include "frame/ComObjectRoot.h"
#include "webservice/AtlHttpClient.h"
#include "webservice/TlsSocket.h"

HRESULT K47EnsureServerXMLHTTPClassRegistered();

class CK47ServerXMLHTTPRequest : public CK47ComObjectRoot, public IServerXMLHTTPRequest {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable();

    HRESULT STDMETHODCALLTYPE open(BSTR bstrMethod, BSTR bstrUrl, VARIANT varAsync,
                                   VARIANT bstrUser, VARIANT bstrPassword) override;
    HRESULT STDMETHODCALLTYPE setRequestHeader(BSTR bstrHeader, BSTR bstrValue) override;
    HRESULT STDMETHODCALLTYPE send(VARIANT varBody) override;
    HRESULT STDMETHODCALLTYPE get_status(LONG* plStatus) override;
    HRESULT STDMETHODCALLTYPE get_responseStream(VARIANT* pvarBody) override;
    HRESULT STDMETHODCALLTYPE setTimeouts(LONG resolveTimeout, LONG connectTimeout,
                                          LONG sendTimeout, LONG receiveTimeout) override;
    HRESULT STDMETHODCALLTYPE getOption(SERVERXMLHTTP_OPTION option, VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE setOption(SERVERXMLHTTP_OPTION option, VARIANT value) override;

    // Not part of the interface: the certificate error classes the last send let through.
    DWORD IgnoredCertErrors() const { return m_client.IgnoredCertErrors(); }

  protected:
    CK47ServerXMLHTTPRequest() = default;
    ~CK47ServerXMLHTTPRequest() = default;

  private:
    static DWORD Milliseconds(LONG value) { return value <= 0 ? 0 : DWORD(value); }

    CAtlHttpClientT<CK47TlsSocket> m_client;
    std::string m_method;
    k47::http::CUrl m_url;
    std::string m_urlText;
    std::string m_headers;
    bool m_opened = false;
    bool m_haveResponse = false;
    DWORD m_resolveTimeout = 0;
    DWORD m_connectTimeout = 60000;
    DWORD m_sendTimeout = 30000;
    DWORD m_receiveTimeout = 30000;
    LONG m_ignoreFlags = SXH_SERVER_CERT_IGNORE_ALL_SERVER_ERRORS;
};
