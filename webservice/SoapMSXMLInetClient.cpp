// The HTTPS SOAP transport (see the header).
#include "webservice/SoapMSXMLInetClient.h"

#include <string>

#include "k47/strings.h"
#include "webservice/ServerXMLHTTPRequest.h"

namespace {

k47::UniqueBstr Bstr(std::string_view text) {
    return k47::UniqueBstr::FromUtf8(text);
}

}  // namespace

CSoapMSXMLInetClientNoCertError::CSoapMSXMLInetClientNoCertError(LPCSTR url) {
    k47::http::CUrl cracked;
    if (url != nullptr && cracked.CrackUrl(url))
        m_url = cracked;
}

void CSoapMSXMLInetClientNoCertError::ResetForCall() {
    m_writeStream.Cleanup();
    m_fault.Clear();
    m_error = SOAPCLIENT_SUCCESS;
    m_request.Reset();
}

HRESULT CSoapMSXMLInetClientNoCertError::ConnectToServer() {
    if (m_request)
        return S_OK;
    try {
        std::string url;
        if (!m_url.CreateUrl(&url, k47::http::kMaxRebuiltUrlLength))
            return E_FAIL;
        HRESULT hr = K47EnsureServerXMLHTTPClassRegistered();
        Microsoft::WRL::ComPtr<IServerXMLHTTPRequest> request;
        if (SUCCEEDED(hr))
            hr = CoCreateInstance(CLSID_ServerXMLHTTP60, nullptr, CLSCTX_SERVER,
                                  IID_IServerXMLHTTPRequest,
                                  reinterpret_cast<void**>(request.GetAddressOf()));
        if (FAILED(hr))
            return hr;
        k47::UniqueBstr method = Bstr("POST");
        k47::UniqueBstr urlText = Bstr(url);
        VARIANT async, empty;
        VariantInit(&async);
        async.vt = VT_I2;
        async.iVal = 0;
        VariantInit(&empty);
        empty.vt = VT_BSTR;
        empty.bstrVal = nullptr;
        hr = request->open(method.get(), urlText.get(), async, empty, empty);
        if (FAILED(hr))
            return hr;

        VARIANT flags;
        VariantInit(&flags);
        hr = request->getOption(SXH_OPTION_IGNORE_SERVER_SSL_CERT_ERROR_FLAGS, &flags);
        if (SUCCEEDED(hr))
            hr = VariantChangeType(&flags, &flags, 0, VT_I4);
        if (FAILED(hr)) {
            VariantClear(&flags);
            return hr;
        }
        flags.lVal &= ~kRefusedCertErrors;
        hr = request->setOption(SXH_OPTION_IGNORE_SERVER_SSL_CERT_ERROR_FLAGS, flags);
        if (FAILED(hr))
            return hr;
        if (!m_useDefaultTimeouts) {
            hr = request->setTimeouts(LONG(m_resolveTimeout), LONG(m_connectTimeout),
                                      LONG(m_sendTimeout), LONG(m_receiveTimeout));
            if (FAILED(hr))
                return hr;
        }
        m_request = std::move(request);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CSoapMSXMLInetClientNoCertError::SendEnvelope(LPCSTR actionLine) {
    try {
        if (FAILED(ConnectToServer())) {
            m_error = SOAPCLIENT_CONNECT_ERROR;
            return E_FAIL;
        }
        std::string line = actionLine != nullptr ? actionLine : "";
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            size_t start = line.find_first_not_of(" \t", colon + 1);
            std::string value = start == std::string::npos ? std::string() : line.substr(start);
            k47::UniqueBstr name = Bstr("SOAPAction");
            k47::UniqueBstr text = Bstr(value);
            if (FAILED(m_request->setRequestHeader(name.get(), text.get()))) {
                m_error = SOAPCLIENT_SEND_ERROR;
                return E_FAIL;
            }
        }
        k47::UniqueBstr contentType = Bstr("Content-Type");
        k47::UniqueBstr contentTypeValue = Bstr("text/xml; charset=utf-8");
        if (FAILED(m_request->setRequestHeader(contentType.get(), contentTypeValue.get()))) {
            m_error = SOAPCLIENT_SEND_ERROR;
            return E_FAIL;
        }
        // The envelope is pure ASCII: its bytes are its characters.
        VARIANT body;
        VariantInit(&body);
        body.vt = VT_BSTR;
        body.bstrVal = Bstr(m_writeStream.Text()).release();
        HRESULT hr = m_request->send(body);
        VariantClear(&body);
        if (FAILED(hr)) {
            m_error = SOAPCLIENT_SEND_ERROR;
            return hr;
        }
        LONG status = 0;
        hr = m_request->get_status(&status);
        if (SUCCEEDED(hr) && status == 500) {
            m_error = SOAPCLIENT_SOAPFAULT;
            Microsoft::WRL::ComPtr<IUnknown> stream;
            if (FAILED(GetResponseStream(stream.GetAddressOf())) ||
                FAILED(K47ParseSoapFault(nullptr, stream.Get(), &m_fault)))
                m_error = SOAPCLIENT_PARSEFAULT_ERROR;
            return E_FAIL;
        }
        return hr;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT CSoapMSXMLInetClientNoCertError::GetResponseStream(IUnknown** stream) {
    if (stream == nullptr)
        return E_POINTER;
    *stream = nullptr;
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = m_request ? m_request->get_responseStream(&value) : E_FAIL;
    if (SUCCEEDED(hr) && value.vt == VT_UNKNOWN && value.punkVal != nullptr)
        hr = value.punkVal->QueryInterface(IID_ISequentialStream, reinterpret_cast<void**>(stream));
    else if (SUCCEEDED(hr))
        hr = E_FAIL;
    VariantClear(&value);
    if (FAILED(hr)) {
        m_error = SOAPCLIENT_READ_ERROR;
        return E_FAIL;
    }
    return S_OK;
}
