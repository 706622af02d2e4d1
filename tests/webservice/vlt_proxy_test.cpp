// The control-service proxy end to end: CVLTControlT over the socket transport against a
// scripted loopback server (request bytes of a call, every response shape and its client error
// state, redirects, connections, time-outs), and over the HTTPS transport against TLS servers
// (the certificate rule of the transport, the time-outs the remote client sets).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "k47/strings.h"
#include "tests/support/ScriptedHttpServer.h"
#include "tests/support/TestUtil.h"
#include "webservice/ServerXMLHTTPRequest.h"
#include "webservice/SoapMSXMLInetClient.h"
#include "webservice/SoapSocketClient.h"
#include "webservice/VLTControl.h"
#include "webservice/ZEvtSyncSocket2.h"

using k47test::HttpReply;
using k47test::ScriptedHttpServer;
using k47test::ScriptedReply;
using k47test::TestCertificates;
using Clock = std::chrono::steady_clock;
using SocketProxy = CVLTControlT<CK47SoapSocketClientT<ZEvtSyncSocket2>>;
using HttpsProxy = CVLTControlT<CSoapMSXMLInetClientNoCertError>;

namespace {

const char kNs[] = "http://k47ptz.org/VLTControl/VLT";

std::string Envelope(const std::string& body) {
    return "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>" +
           body + "</soap:Body></soap:Envelope>";
}
std::string SessionAnswer(unsigned ipv4, unsigned port) {
    return Envelope("<StartRemoteSessionPTZResponse xmlns=\"" + std::string(kNs) + "\"><ipv4addr>" +
                    std::to_string(ipv4) + "</ipv4addr><port>" + std::to_string(port) +
                    "</port></StartRemoteSessionPTZResponse>");
}
const std::string kCommandAnswer =
    Envelope("<PtzCommandResponse xmlns=\"http://k47ptz.org/VLTControl/VLT\"/>");
const std::string kServerFault = Envelope(
    "<soap:Fault><faultcode>soap:Server</faultcode><faultstring>camera "
    "busy</faultstring></soap:Fault>");

class VltProxy : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }
    static std::string Endpoint(uint16_t port, const char* scheme = "http") {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) +
               "/VLTControl/VLTControl.asmx";
    }
    k47::UniqueBstr cam_ = k47::UniqueBstr::FromUtf8("Cam1");
};

TEST_F(VltProxy, PtzCommandRequestBytes) {
    ScriptedHttpServer server;
    server.AddReply(HttpReply(200, kCommandAnswer));
    SocketProxy proxy(Endpoint(server.Port()).c_str());
    ASSERT_HR_OK(proxy.PtzCommand(cam_.get(), 5, 0));
    EXPECT_EQ(SOAPCLIENT_SUCCESS, proxy.GetLastClientError());
    auto requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    std::string envelope =
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
        "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\"><soap:Body>"
        "<PtzCommand "
        "xmlns=\"http://k47ptz.org/VLTControl/VLT\"><name>Cam1</name><cmd>5</cmd><arg>0</arg>"
        "</PtzCommand></soap:Body></soap:Envelope>";
    EXPECT_EQ(
        "POST /VLTControl/VLTControl.asmx HTTP/1.1\r\n"
        "Content-Length: " +
            std::to_string(envelope.size()) +
            "\r\n"
            "Content-Type: text/xml; charset=utf-8\r\n"
            "SOAPAction: \"http://k47ptz.org/VLTControl/VLT/PtzCommand\"\r\n"
            "Accept: text/xml\r\n"
            "Host: 127.0.0.1\r\n"
            "User-Agent: Microsoft-ATL-Native/10.00\r\n"
            "\r\n" +
            envelope,
        requests[0].bytes);
}

TEST_F(VltProxy, ResponseShapesAndErrorStates) {
    auto raw = [](std::vector<std::string> pieces,
                  ScriptedReply::After after = ScriptedReply::After::Close) {
        ScriptedReply r;
        r.pieces = std::move(pieces);
        r.after = after;
        return r;
    };
    std::string answer = SessionAnswer(3232235777u, 5000);
    struct Case {
        const char* name;
        ScriptedReply reply;
        HRESULT hr;
        SOAPCLIENT_ERROR state;
    } cases[] = {
        {"200", HttpReply(200, answer), S_OK, SOAPCLIENT_SUCCESS},
        {"chunked",
         raw({"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\n" + answer.substr(0, 16) +
              "\r\n" +
              [&] {
                  char size[16];
                  std::snprintf(size, sizeof size, "%zx", answer.size() - 16);
                  return std::string(size);
              }() +
              "\r\n" + answer.substr(16) + "\r\n0\r\n\r\n"}),
         S_OK, SOAPCLIENT_SUCCESS},
        {"no length, server closes", raw({"HTTP/1.1 200 OK\r\n\r\n" + answer}), S_OK,
         SOAPCLIENT_SUCCESS},
        {"100 then 200",
         raw({"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: " +
              std::to_string(answer.size()) + "\r\n\r\n" + answer}),
         S_OK, SOAPCLIENT_SUCCESS},
        {"connection close",
         HttpReply(200, answer, "Connection: close\r\n", ScriptedReply::After::KeepOpen), S_OK,
         SOAPCLIENT_SUCCESS},
        {"202: empty stream, parse fails", HttpReply(202, ""), E_FAIL, SOAPCLIENT_PARSE_ERROR},
        {"204", HttpReply(204, ""), E_FAIL, SOAPCLIENT_SERVER_ERROR},
        {"200 with an empty body", HttpReply(200, ""), E_FAIL, SOAPCLIENT_READ_ERROR},
        {"404", HttpReply(404, "not here"), E_FAIL, SOAPCLIENT_SEND_ERROR},
        {"401", HttpReply(401, "", "WWW-Authenticate: Basic realm=\"x\"\r\n"), E_FAIL,
         SOAPCLIENT_SEND_ERROR},
        {"407", HttpReply(407, ""), E_FAIL, SOAPCLIENT_SEND_ERROR},
        {"500 with a fault", HttpReply(500, kServerFault), E_FAIL, SOAPCLIENT_SOAPFAULT},
        {"500 with garbage", HttpReply(500, "<html>Internal error</html"), E_FAIL,
         SOAPCLIENT_PARSEFAULT_ERROR},
        {"500 without a body", HttpReply(500, ""), E_FAIL, SOAPCLIENT_SOAPFAULT},
        {"malformed answer", HttpReply(200, SessionAnswer(1, 70000)), E_FAIL,
         SOAPCLIENT_PARSE_ERROR},
        {"garbage status line", raw({"garbage\r\n\r\n"}), E_FAIL, SOAPCLIENT_SEND_ERROR},
        {"closed without answer", raw({}), E_FAIL, SOAPCLIENT_SEND_ERROR},
    };
    for (auto& c : cases) {
        ScriptedHttpServer server;
        server.AddReply(c.reply);
        SocketProxy proxy(Endpoint(server.Port()).c_str());
        unsigned ipv4 = 7;
        unsigned short port = 7;
        HRESULT hr = proxy.StartRemoteSessionPTZ(cam_.get(), &ipv4, &port);
        if (c.state == SOAPCLIENT_PARSE_ERROR) {
            EXPECT_TRUE(FAILED(hr)) << c.name << ": the parse's own HRESULT";
        } else {
            EXPECT_HR(c.hr, hr) << c.name;
        }
        EXPECT_EQ(c.state, proxy.GetLastClientError()) << c.name;
        if (c.hr == S_OK) {
            EXPECT_EQ(3232235777u, ipv4) << c.name;
            EXPECT_EQ(5000, port) << c.name;
        } else {
            EXPECT_EQ(7u, ipv4) << c.name << ": outputs untouched on failure";
            EXPECT_EQ(7, port) << c.name;
        }
        if (c.state == SOAPCLIENT_SOAPFAULT &&
            c.reply.pieces[0].find("Fault") != std::string::npos) {
            EXPECT_EQ(SOAP_E_SERVER, proxy.GetFault().m_soapErrCode) << c.name;
        }
    }
}

TEST_F(VltProxy, UnansweredConnectFailsAfterAboutOneSecond) {
    k47test::UnansweredListener listener;
    ASSERT_TRUE(listener.Ready());
    SocketProxy proxy(Endpoint(listener.Port()).c_str());
    auto start = Clock::now();
    EXPECT_HR(E_FAIL, proxy.PtzCommand(cam_.get(), 1, 0));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(SOAPCLIENT_SEND_ERROR, proxy.GetLastClientError());
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 5.0);
}

// The HTTPS transport as the remote client sets it up.
std::unique_ptr<HttpsProxy> MakeHttpsProxy(uint16_t port) {
    auto proxy = std::make_unique<HttpsProxy>(
        ("https://127.0.0.1:" + std::to_string(port) + "/VLTControl/VLTControl.asmx").c_str());
    proxy->SetUseDefaultTimeouts(false);
    proxy->SetTimeouts(60000, 1000, 10000, 600000);
    return proxy;
}

TEST_F(VltProxy, HttpsTransportRefusesThreeCertificateErrorsAndPassesANameMismatch) {
    const TestCertificates& certs = TestCertificates::Get();
    struct Case {
        const char* name;
        const k47test::ServerIdentity* identity;
        bool passes;
    } cases[] = {
        {"good", &certs.good, true},
        {"name mismatch", &certs.otherHost, true},
        {"unknown authority", &certs.unknownCa, false},
        {"expired", &certs.expired, false},
        {"wrong usage", &certs.clientAuthOnly, false},
    };
    for (const Case& c : cases) {
        ScriptedHttpServer server(*c.identity);
        server.AddReply(HttpReply(200, SessionAnswer(0, 5000)));
        auto proxy = MakeHttpsProxy(server.Port());
        unsigned ipv4 = 9;
        unsigned short port = 9;
        HRESULT hr = proxy->StartRemoteSessionPTZ(cam_.get(), &ipv4, &port);
        if (c.passes) {
            EXPECT_HR_OK(hr) << c.name;
            EXPECT_EQ(0u, ipv4) << c.name;
            EXPECT_EQ(5000, port) << c.name;
            ASSERT_EQ(1u, server.Requests().size()) << c.name;
            EXPECT_NE(
                std::string::npos,
                server.Requests()[0].bytes.find(
                    "SOAPAction: \"http://k47ptz.org/VLTControl/VLT/StartRemoteSessionPTZ\"\r\n"))
                << c.name;
            // The request object of the call kept the name-mismatch bit and lost the other three.
            VARIANT mask;
            ASSERT_HR_OK(proxy->GetRequest()->getOption(
                SXH_OPTION_IGNORE_SERVER_SSL_CERT_ERROR_FLAGS, &mask));
            EXPECT_EQ(0x1000, mask.lVal);
        } else {
            EXPECT_TRUE(FAILED(hr)) << c.name;
            EXPECT_EQ(SOAPCLIENT_SEND_ERROR, proxy->GetLastClientError()) << c.name;
            EXPECT_EQ(0u, server.Requests().size()) << c.name;
        }
    }
}

TEST_F(VltProxy, HttpsFaultAndReceiveTimeout) {
    ScriptedHttpServer faulty(TestCertificates::Get().good);
    faulty.AddReply(HttpReply(500, kServerFault));
    auto proxy = MakeHttpsProxy(faulty.Port());
    EXPECT_HR(E_FAIL, proxy->PtzMenuCommand(cam_.get(), 3));
    EXPECT_EQ(SOAPCLIENT_SOAPFAULT, proxy->GetLastClientError());
    EXPECT_EQ(SOAP_E_SERVER, proxy->GetFault().m_soapErrCode);

    ScriptedHttpServer silent(TestCertificates::Get().good);
    ScriptedReply nothing;
    nothing.after = ScriptedReply::After::KeepOpen;
    silent.AddReply(nothing);
    auto slow = MakeHttpsProxy(silent.Port());
    slow->SetTimeouts(60000, 1000, 10000, 400);
    auto start = Clock::now();
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_WINHTTP_TIMEOUT), slow->PtzCommand(cam_.get(), 1, 0));
    EXPECT_EQ(SOAPCLIENT_SEND_ERROR, slow->GetLastClientError());
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(seconds, 0.35);
    EXPECT_LT(seconds, 5.0);
}

}  // namespace
