// The HTTPS request object (CLSID_ServerXMLHTTP60) over the TLS socket, against loopback TLS
// servers with certificates made at test time: creation through CoCreateInstance, the option
// and header rules, the certificate-error mask per error class, time-outs per I/O step.
#include <gtest/gtest.h>
#include <msxml6.h>
#include <wrl/client.h>

#include <chrono>
#include <string>

#include "k47/strings.h"
#include "tests/support/ScriptedHttpServer.h"
#include "tests/support/TestUtil.h"
#include "webservice/ServerXMLHTTPRequest.h"
#include "webservice/TlsSocket.h"

using k47test::HttpReply;
using k47test::ScriptedHttpServer;
using k47test::ScriptedReply;
using k47test::ServerIdentity;
using k47test::TestCertificates;
using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

class HttpsRequest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestCertificates::Get();  // trust the test authority before the first TLS context
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_HR_OK(K47EnsureServerXMLHTTPClassRegistered());
    }
    void TearDown() override { CoUninitialize(); }

    static ComPtr<IServerXMLHTTPRequest> Create() {
        ComPtr<IServerXMLHTTPRequest> request;
        EXPECT_HR_OK(CoCreateInstance(CLSID_ServerXMLHTTP60, nullptr, CLSCTX_SERVER,
                                      IID_IServerXMLHTTPRequest,
                                      reinterpret_cast<void**>(request.GetAddressOf())));
        return request;
    }
    static VARIANT Bool(bool value) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BOOL;
        v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
        return v;
    }
    static VARIANT Text(const char* text) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = k47::UniqueBstr::FromUtf8(text).release();
        return v;
    }
    static VARIANT Long(LONG value) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_I4;
        v.lVal = value;
        return v;
    }
    static HRESULT Open(IServerXMLHTTPRequest* r, const std::string& url) {
        k47::UniqueBstr method = k47::UniqueBstr::FromUtf8("POST");
        k47::UniqueBstr u = k47::UniqueBstr::FromUtf8(url);
        VARIANT empty;
        VariantInit(&empty);
        return r->open(method.get(), u.get(), Bool(false), empty, empty);
    }
    // POSTs "<x/>" to the server and returns send's result.
    static HRESULT Post(IServerXMLHTTPRequest* r, uint16_t port, const char* host = "127.0.0.1") {
        HRESULT hr = Open(r, std::string("https://") + host + ":" + std::to_string(port) +
                                 "/VLTControl/VLTControl.asmx");
        if (FAILED(hr))
            return hr;
        VARIANT body = Text("<x/>");
        hr = r->send(body);
        VariantClear(&body);
        return hr;
    }
};

TEST_F(HttpsRequest, OpenRefusesWhatItCannotDo) {
    ComPtr<IServerXMLHTTPRequest> r = Create();
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_WINHTTP_UNRECOGNIZED_SCHEME), Open(r.Get(), "http://srv/x"));
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_WINHTTP_INVALID_URL), Open(r.Get(), "no url"));
    k47::UniqueBstr method = k47::UniqueBstr::FromUtf8("POST");
    k47::UniqueBstr url = k47::UniqueBstr::FromUtf8("https://srv/x");
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_HR(E_NOTIMPL, r->open(method.get(), url.get(), Bool(true), empty, empty))
        << "asynchronous";
    VARIANT user = Text("user");
    EXPECT_HR(E_NOTIMPL, r->open(method.get(), url.get(), Bool(false), user, empty))
        << "credentials";
    VariantClear(&user);
    VARIANT emptyUser = Text("");
    EXPECT_HR_OK(r->open(method.get(), url.get(), Bool(false), emptyUser, empty));
    VariantClear(&emptyUser);
    k47::UniqueBstr name = k47::UniqueBstr::FromUtf8("X-Bad");
    k47::UniqueBstr injected = k47::UniqueBstr::FromUtf8("a\r\nHost: evil");
    EXPECT_HR(E_INVALIDARG, r->setRequestHeader(name.get(), injected.get()));
}

TEST_F(HttpsRequest, SendsHeadersAndReadsTheAnswerOverTls) {
    ScriptedHttpServer server(TestCertificates::Get().good);
    server.AddReply(HttpReply(500, "<fault/>"));
    ComPtr<IServerXMLHTTPRequest> r = Create();
    ASSERT_HR_OK(Open(r.Get(), "https://127.0.0.1:" + std::to_string(server.Port()) +
                                   "/VLTControl/VLTControl.asmx"));
    k47::UniqueBstr action = k47::UniqueBstr::FromUtf8("SOAPAction");
    // The transport hands over the value with the line end of its action line.
    k47::UniqueBstr actionValue =
        k47::UniqueBstr::FromUtf8("\"http://k47ptz.org/VLTControl/VLT/Ping\"\r\n");
    ASSERT_HR_OK(r->setRequestHeader(action.get(), actionValue.get()));
    k47::UniqueBstr type = k47::UniqueBstr::FromUtf8("Content-Type");
    k47::UniqueBstr typeValue = k47::UniqueBstr::FromUtf8("text/xml; charset=utf-8");
    ASSERT_HR_OK(r->setRequestHeader(type.get(), typeValue.get()));
    VARIANT body = Text("<x>\xc3\xa9</x>");
    ASSERT_HR_OK(r->send(body));
    VariantClear(&body);

    LONG status = 0;
    ASSERT_HR_OK(r->get_status(&status));
    EXPECT_EQ(500, status) << "any status is an answer";
    VARIANT stream;
    ASSERT_HR_OK(r->get_responseStream(&stream));
    ASSERT_EQ(VT_UNKNOWN, stream.vt);
    ComPtr<ISequentialStream> seq;
    ASSERT_HR_OK(stream.punkVal->QueryInterface(IID_ISequentialStream,
                                                reinterpret_cast<void**>(seq.GetAddressOf())));
    char buffer[64] = {};
    ULONG read = 0;
    seq->Read(buffer, sizeof buffer, &read);
    EXPECT_EQ("<fault/>", std::string(buffer, read));
    VariantClear(&stream);

    auto requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(
        "POST /VLTControl/VLTControl.asmx HTTP/1.1\r\nContent-Length: 9\r\n"
        "SOAPAction: \"http://k47ptz.org/VLTControl/VLT/Ping\"\r\nContent-Type: text/xml; "
        "charset=utf-8\r\n"
        "Host: 127.0.0.1\r\nUser-Agent: Microsoft-ATL-Native/10.00\r\n\r\n<x>\xc3\xa9</x>",
        requests[0].bytes);
}

TEST_F(HttpsRequest, CertificateErrorsStopTheCallUnlessTheirBitIsInTheMask) {
    const TestCertificates& certs = TestCertificates::Get();
    struct Case {
        const char* name;
        const ServerIdentity* identity;
        DWORD errorClass;  // 0: no error
        HRESULT failure;
    } cases[] = {
        {"good", &certs.good, 0, S_OK},
        {"unknown authority", &certs.unknownCa, 0x100,
         HRESULT_FROM_WIN32(ERROR_WINHTTP_SECURE_INVALID_CA)},
        {"wrong usage", &certs.clientAuthOnly, 0x200,
         HRESULT_FROM_WIN32(ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE)},
        {"name mismatch", &certs.otherHost, 0x1000,
         HRESULT_FROM_WIN32(ERROR_WINHTTP_SECURE_CERT_CN_INVALID)},
        {"expired", &certs.expired, 0x2000,
         HRESULT_FROM_WIN32(ERROR_WINHTTP_SECURE_CERT_DATE_INVALID)},
    };
    // The HTTPS transport's mask (the default with 0x2300 cleared), each bit alone, none, all.
    for (LONG mask : {0x1000, 0x0, 0x100, 0x200, 0x2000, 0x3300}) {
        for (const Case& c : cases) {
            ScriptedHttpServer server(*c.identity);
            server.AddReply(HttpReply(200, "ok"));
            ComPtr<IServerXMLHTTPRequest> r = Create();
            ASSERT_HR_OK(r->setOption(SXH_OPTION_IGNORE_SERVER_SSL_CERT_ERROR_FLAGS, Long(mask)));
            bool passes = c.errorClass == 0 || (mask & LONG(c.errorClass)) != 0;
            EXPECT_HR(passes ? S_OK : c.failure, Post(r.Get(), server.Port()))
                << c.name << " mask " << mask;
            auto* object = static_cast<CK47ServerXMLHTTPRequest*>(r.Get());
            EXPECT_EQ(passes ? c.errorClass : 0, object->IgnoredCertErrors())
                << c.name << " mask " << mask;
            EXPECT_EQ(passes ? 1u : 0u, server.Requests().size())
                << c.name << ": nothing sent past a refusal";
        }
    }
}

TEST_F(HttpsRequest, TimeoutsApplyPerStep) {
    // A server that accepts the handshake but never answers: the receive time-out ends the call.
    ScriptedHttpServer silent(TestCertificates::Get().good);
    ScriptedReply nothing;
    nothing.after = ScriptedReply::After::KeepOpen;
    silent.AddReply(nothing);
    ComPtr<IServerXMLHTTPRequest> r = Create();
    ASSERT_HR_OK(r->setTimeouts(60000, 1000, 10000, 300));
    auto start = Clock::now();
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_WINHTTP_TIMEOUT), Post(r.Get(), silent.Port()));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(seconds, 0.25);
    EXPECT_LT(seconds, 5.0);

    // A host that never completes the TCP handshake: the connect time-out.
    k47test::UnansweredListener listener;
    ASSERT_TRUE(listener.Ready());
    ASSERT_HR_OK(r->setTimeouts(60000, 500, 10000, 600000));
    start = Clock::now();
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_WINHTTP_TIMEOUT), Post(r.Get(), listener.Port()));
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(seconds, 0.45);
    EXPECT_LT(seconds, 5.0);

    // Nothing listening: refused at once.
    uint16_t closedPort;
    {
        ScriptedHttpServer gone;
        closedPort = gone.Port();
    }
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_WINHTTP_CANNOT_CONNECT), Post(r.Get(), closedPort));
}

TEST(TlsCertificateClasses, MapVerificationErrors) {
    // The OpenSSL codes seen for each case (untrusted chains report 20, then 21 for the leaf).
    struct Case {
        int x509;
        DWORD errorClass;
    } cases[] = {{2, 0x100},   {18, 0x100}, {19, 0x100},  {20, 0x100},  {21, 0x100},
                 {27, 0x100},  {26, 0x200}, {62, 0x1000}, {64, 0x1000}, {9, 0x2000},
                 {10, 0x2000}, {7, 0},      {4, 0},       {0, 0}};
    for (const Case& c : cases)
        EXPECT_EQ(c.errorClass, k47::http::ClassifyX509Error(c.x509)) << c.x509;
}

}  // namespace
