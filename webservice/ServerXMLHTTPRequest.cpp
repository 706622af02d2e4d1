// The HTTPS request object and its in-process registration (see the header).
#include "webservice/ServerXMLHTTPRequest.h"

#include <mutex>

#include "frame/ClassFactory.h"
#include "k47/strings.h"
#include "webservice/SoapStreams.h"

namespace {

std::mutex g_registrationLock;
bool g_registered = false;

// A VARIANT that stands for "false" or "not given".
bool IsFalseOrAbsent(const VARIANT& v) {
    switch (v.vt) {
        case VT_EMPTY:
        case VT_ERROR:
            return true;
        case VT_BOOL:
            return v.boolVal == VARIANT_FALSE;
        case VT_I2:
            return v.iVal == 0;
        case VT_I4:
            return v.lVal == 0;
        default:
            return false;
    }
}

bool IsEmptyText(const VARIANT& v) {
    return v.vt == VT_EMPTY || v.vt == VT_ERROR || v.vt == VT_NULL ||
           (v.vt == VT_BSTR && SysStringLen(v.bstrVal) == 0);
}

// Holds the object's lock for a scope.
class ObjectGuard {
  public:
    [[nodiscard]] explicit ObjectGuard(CK47ComObjectRoot* object) : object_(object) {
        object_->Lock();
    }
    ~ObjectGuard() { object_->Unlock(); }
    ObjectGuard(const ObjectGuard&) = delete;
    ObjectGuard& operator=(const ObjectGuard&) = delete;

  private:
    CK47ComObjectRoot* object_;
};

std::string Utf8(BSTR text) {
    return k47::Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
}

}  // namespace

HRESULT K47EnsureServerXMLHTTPClassRegistered() {
    std::lock_guard<std::mutex> lock(g_registrationLock);
    if (g_registered)
        return S_OK;
    // The class object lives as long as the process: the COM runtime keeps it registered.
    static CK47ClassFactory factory(&K47CreateObject<CK47ServerXMLHTTPRequest>);
    DWORD cookie = 0;
    HRESULT hr = CoRegisterClassObject(CLSID_ServerXMLHTTP60, &factory, CLSCTX_INPROC_SERVER,
                                       REGCLS_MULTIPLEUSE, &cookie);
    if (SUCCEEDED(hr))
        g_registered = true;
    return hr;
}

std::span<const K47InterfaceEntry> CK47ServerXMLHTTPRequest::GetInterfaceTable() {
    static constexpr K47InterfaceEntry table[] = {
        K47Entry<CK47ServerXMLHTTPRequest, IServerXMLHTTPRequest>(),
        K47Entry<CK47ServerXMLHTTPRequest, IXMLHTTPRequest>(),
    };
    static_assert(K47ValidTable(table));
    return table;
}

HRESULT STDMETHODCALLTYPE CK47ServerXMLHTTPRequest::open(BSTR bstrMethod, BSTR bstrUrl,
                                                         VARIANT varAsync, VARIANT bstrUser,
                                                         VARIANT bstrPassword) {
    if (bstrMethod == nullptr || SysStringLen(bstrMethod) == 0 || bstrUrl == nullptr)
        return E_INVALIDARG;
    if (!IsFalseOrAbsent(varAsync))
        return E_NOTIMPL;  // only synchronous requests
    if (!IsEmptyText(bstrUser) || !IsEmptyText(bstrPassword))
        return E_NOTIMPL;  // never sends credentials
    try {
        ObjectGuard guard(this);
        std::string method = Utf8(bstrMethod);
        std::string url = Utf8(bstrUrl);
        k47::http::CUrl cracked;
        if (!cracked.CrackUrl(url))
            return HRESULT_FROM_WIN32(ERROR_WINHTTP_INVALID_URL);
        if (cracked.GetSchemeName() != CK47TlsSocket::kScheme)
            return HRESULT_FROM_WIN32(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
        m_method = std::move(method);
        m_url = cracked;
        m_urlText = std::move(url);
        m_headers.clear();
        m_haveResponse = false;
        m_opened = true;
        m_client.Close();
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE CK47ServerXMLHTTPRequest::setRequestHeader(BSTR bstrHeader,
                                                                     BSTR bstrValue) {
    if (bstrHeader == nullptr || SysStringLen(bstrHeader) == 0)
        return E_INVALIDARG;
    try {
        std::string name = Utf8(bstrHeader);
        std::string value = bstrValue != nullptr ? Utf8(bstrValue) : std::string();
        // A value may arrive with the line end of a header line; any other line break would
        // inject a header of its own.
        while (!value.empty() &&
               (value.back() == '\r' || value.back() == '\n' || value.back() == ' '))
            value.pop_back();
        if (name.find_first_of(":\r\n \t") != std::string::npos ||
            value.find_first_of("\r\n") != std::string::npos)
            return E_INVALIDARG;
        ObjectGuard guard(this);
        if (!m_opened)
            return E_UNEXPECTED;
        m_headers += name + ": " + value + "\r\n";
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE CK47ServerXMLHTTPRequest::send(VARIANT varBody) {
    try {
        std::string body;
        if (varBody.vt == VT_BSTR) {
            body = Utf8(varBody.bstrVal);
        } else if (varBody.vt != VT_EMPTY && varBody.vt != VT_NULL && varBody.vt != VT_ERROR) {
            return E_INVALIDARG;
        }
        ObjectGuard guard(this);
        if (!m_opened)
            return E_UNEXPECTED;
        m_haveResponse = false;
        m_client.Close();
        m_client.SetTimeouts(m_resolveTimeout, m_connectTimeout, m_sendTimeout, m_receiveTimeout);
        m_client.SetIgnoreMask(DWORD(m_ignoreFlags) & SXH_SERVER_CERT_IGNORE_ALL_SERVER_ERRORS);
        k47::http::HttpRequestOptions options;
        options.method = m_method.c_str();
        options.extraHeaders = m_headers.empty() ? nullptr : m_headers.c_str();
        options.body = reinterpret_cast<const BYTE*>(body.data());
        options.dataLength = DWORD(body.size());
        options.port = 443;
        options.timeoutMs = m_receiveTimeout;
        // The evaluation of the status does not matter here: the caller reads it.
        m_client.PerformRequest(m_url, &options);
        // Any status counts as an answer; only a response that could not be read fails.
        if (m_client.GetLastReadResult() == k47::http::ReadResult::Success &&
            m_client.GetStatus() != -1) {
            m_haveResponse = true;
            m_client.Close();
            return S_OK;
        }
        DWORD error = m_client.GetLastError();
        m_client.Close();
        if (error == 0)
            error = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        return HRESULT_FROM_WIN32(error);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE CK47ServerXMLHTTPRequest::get_status(LONG* plStatus) {
    if (plStatus == nullptr)
        return E_POINTER;
    ObjectGuard guard(this);
    *plStatus = m_haveResponse ? LONG(m_client.GetStatus()) : 0;
    return m_haveResponse ? S_OK : E_PENDING;
}

HRESULT STDMETHODCALLTYPE CK47ServerXMLHTTPRequest::get_responseStream(VARIANT* pvarBody) {
    if (pvarBody == nullptr)
        return E_POINTER;
    VariantInit(pvarBody);
    ObjectGuard guard(this);
    if (!m_haveResponse)
        return E_PENDING;
    IStream* stream = nullptr;
    HRESULT hr =
        CK47MemoryStream::Create(std::string_view(reinterpret_cast<const char*>(m_client.GetBody()),
                                                  m_client.GetBodyLength()),
                                 &stream);
    if (FAILED(hr))
        return hr;
    pvarBody->vt = VT_UNKNOWN;
    pvarBody->punkVal = stream;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CK47ServerXMLHTTPRequest::setTimeouts(LONG resolveTimeout,
                                                                LONG connectTimeout,
                                                                LONG sendTimeout,
                                                                LONG receiveTimeout) {
    ObjectGuard guard(this);
    m_resolveTimeout = Milliseconds(resolveTimeout);
    m_connectTimeout = Milliseconds(connectTimeout);
    m_sendTimeout = Milliseconds(sendTimeout);
    m_receiveTimeout = Milliseconds(receiveTimeout);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CK47ServerXMLHTTPRequest::getOption(SERVERXMLHTTP_OPTION option,
                                                              VARIANT* value) {
    if (value == nullptr)
        return E_POINTER;
    VariantInit(value);
    ObjectGuard guard(this);
    if (option == SXH_OPTION_IGNORE_SERVER_SSL_CERT_ERROR_FLAGS) {
        value->vt = VT_I4;
        value->lVal = m_ignoreFlags;
        return S_OK;
    }
    if (option == SXH_OPTION_URL) {
        if (!m_opened)
            return E_UNEXPECTED;
        k47::UniqueBstr text = k47::UniqueBstr::FromUtf8(m_urlText);
        if (text.get() == nullptr)
            return E_OUTOFMEMORY;
        value->vt = VT_BSTR;
        value->bstrVal = text.release();
        return S_OK;
    }
    return E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE CK47ServerXMLHTTPRequest::setOption(SERVERXMLHTTP_OPTION option,
                                                              VARIANT value) {
    if (option != SXH_OPTION_IGNORE_SERVER_SSL_CERT_ERROR_FLAGS)
        return E_INVALIDARG;
    VARIANT number;
    VariantInit(&number);
    HRESULT hr = VariantChangeType(&number, &value, 0, VT_I4);
    if (FAILED(hr))
        return hr;
    ObjectGuard guard(this);
    m_ignoreFlags = number.lVal;
    return S_OK;
}
