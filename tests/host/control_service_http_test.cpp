// The control service as SOAP 1.1 clients meet it over HTTP: the content type, the SOAPAction
// header against the body's operation, the help text of GET and HEAD, and the Allow list of a
// ControlService element (403 without reaching a camera; the start-up warning for an open
// listener; malformed lists refused), where the cameras take the sessions' datagrams, and a
// session refused for want of ports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/HostServices.h"
#include "host/Installation.h"
#include "host/SoapService.h"
#include "tests/host/HttpExchange.h"
#include "tests/support/LocalServerSupport.h"
#include "tests/support/TestUtil.h"
#include "webservice/VLTControlNamespace.h"

using k47test::CameraCall;
using k47test::Exchange;
using k47test::Reply;
using k47test::Request;
using Microsoft::WRL::ComPtr;

namespace {

const std::string kPath = "/VLTControl/VLTControl.asmx";
const std::string kXml = "Content-Type: text/xml; charset=utf-8\r\n";

std::string Envelope(const std::string& operation, const std::string& children) {
    return "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body><" +
           operation + " xmlns=\"" + k47::vlt::kServiceNamespace + "\">" + children + "</" +
           operation + "></soap:Body></soap:Envelope>";
}

const std::string kCommand = Envelope("PtzCommand", "<name>Gate</name><cmd>7</cmd><arg>1</arg>");
const std::string kSession = Envelope("StartRemoteSessionPTZ", "<name>Gate</name>");

std::string Action(const std::string& operation) {
    return "SOAPAction: \"" + std::string(k47::vlt::kServiceNamespace) + "/" + operation + "\"\r\n";
}

bool IsClientFault(const Reply& reply, const std::string& text) {
    return reply.status == 500 && reply.Header("Content-Type") == "text/xml; charset=utf-8" &&
           reply.body.find("<faultcode>soap:Client</faultcode>") != std::string::npos &&
           reply.body.find(text) != std::string::npos;
}

// An installation from `services` (ControlService elements) with one recording camera "Gate",
// served by HostServices as the host serves it.
class ControlServiceHttpTest : public ::testing::Test {
  protected:
    void Serve(const std::string& services) {
        std::string error;
        ASSERT_TRUE(installation_.LoadText("<Installation>" + services + "</Installation>", &error))
            << error;
        camera_ = k47test::CRecordingCamera::Create(&camera_object_);
        ASSERT_TRUE(camera_);
        installation_.Server()->AddCamera(nullptr, u"Gate", camera_.Get());
        services_ = std::make_unique<k47host::HostServices>(installation_.Server(),
                                                            installation_.ServiceSettings());
        ASSERT_TRUE(services_->Start(&error)) << error;
    }
    void TearDown() override {
        if (services_)
            services_->Stop();
    }
    uint16_t Port(size_t listener = 0) const { return services_->Listeners()[listener]->Port(); }
    size_t CameraCalls(CameraCall::Kind kind) const { return camera_object_->Calls(kind).size(); }

    k47host::Installation installation_;
    k47test::CRecordingCamera* camera_object_ = nullptr;
    ComPtr<IUnknown> camera_;
    std::unique_ptr<k47host::HostServices> services_;
};

}  // namespace

TEST(SoapAction, NamesTheOperationAfterTheLastSlashOrHash) {
    const struct {
        const char* header;
        const char* operation;
    } cases[] = {
        {"\"http://k47ptz.org/VLTControl/VLT/PtzCommand\"", "PtzCommand"},
        {"http://k47ptz.org/VLTControl/VLT/PtzCommand", "PtzCommand"},
        {"\"PtzCommand\"", "PtzCommand"},
        {"PtzCommand", "PtzCommand"},
        {"  \" urn:k47#PtzMenuCommand \" ", "PtzMenuCommand"},
        {"\"\"", ""},
        {"", ""},
        {"\"http://k47ptz.org/VLTControl/VLT/\"", ""},
        {"\"", "\""},  // a lone quote is no quoted value; it names nothing served
    };
    for (const auto& c : cases)
        EXPECT_EQ(k47host::SoapActionOperation(c.header), c.operation) << c.header;

    EXPECT_EQ(k47host::CheckSoapAction("PtzCommand", "PtzCommand"), "");
    EXPECT_NE(k47host::CheckSoapAction(std::nullopt, "PtzCommand").find("missing"),
              std::string::npos);
    // Compared whole and with case: a prefix or another spelling is another operation.
    EXPECT_NE(k47host::CheckSoapAction("Ptz", "PtzCommand"), "");
    EXPECT_NE(k47host::CheckSoapAction("ptzcommand", "PtzCommand"), "");
    EXPECT_NE(k47host::CheckSoapAction("PtzCommandX", "PtzCommand"), "");
}

TEST_F(ControlServiceHttpTest, OnlyTextXmlBodiesAreTaken) {
    ASSERT_NO_FATAL_FAILURE(Serve("<ControlService Listen=\"127.0.0.1\" Port=\"0\"/>"));
    const struct {
        const char* contentType;  // the header line, or "" for none
        unsigned status;
    } cases[] = {
        {"Content-Type: application/json\r\n", 415},
        {"Content-Type: application/soap+xml; charset=utf-8\r\n", 415},  // SOAP 1.2's
        {"Content-Type: text/plain\r\n", 415},
        {"", 415},
        {"Content-Type: text/xml\r\n", 200},
        {"Content-Type: text/xml; charset=utf-8\r\n", 200},
        {"Content-Type: TEXT/XML ; charset=\"UTF-8\"\r\n", 200},
    };
    size_t served = 0;
    for (const auto& c : cases) {
        Reply reply =
            Exchange(AF_INET, Port(),
                     Request("POST", kPath, kCommand, c.contentType + Action("PtzCommand")));
        EXPECT_EQ(reply.status, c.status) << c.contentType << reply.body;
        served += c.status == 200 ? 1 : 0;
        // A refused body never reaches the camera.
        EXPECT_EQ(CameraCalls(CameraCall::Kind::Command), served) << c.contentType;
    }
}

TEST_F(ControlServiceHttpTest, TheSoapActionMustNameTheBodysOperation) {
    ASSERT_NO_FATAL_FAILURE(Serve("<ControlService Listen=\"127.0.0.1\" Port=\"0\"/>"));
    const struct {
        std::string header;   // the SOAPAction line, or "" for none
        std::string refused;  // the faultstring's telling part, or "" when served
    } cases[] = {
        {"", "the SOAPAction header is missing"},
        {"SOAPAction: \"\"\r\n", "the SOAPAction header names no operation"},
        {"SOAPAction:\r\n", "the SOAPAction header names no operation"},
        {Action("PtzMenuCommand"), "names PtzMenuCommand but the body asks for PtzCommand"},
        {"SOAPAction: \"PtzQueryFunctions\"\r\n", "names PtzQueryFunctions but the body"},
        {Action("PtzCommand"), ""},
        {"SOAPAction: " + std::string(k47::vlt::kServiceNamespace) + "/PtzCommand\r\n", ""},
        {"SOAPAction: \"PtzCommand\"\r\n", ""},
        {"SOAPAction: PtzCommand\r\n", ""},
        {"soapaction: PtzCommand\r\n", ""},  // header names have no case
    };
    size_t served = 0;
    for (const auto& c : cases) {
        Reply reply = Exchange(AF_INET, Port(), Request("POST", kPath, kCommand, kXml + c.header));
        if (c.refused.empty()) {
            EXPECT_EQ(reply.status, 200u) << c.header << reply.body;
            EXPECT_NE(reply.body.find("<PtzCommandResponse"), std::string::npos) << reply.body;
            ++served;
        } else {
            EXPECT_TRUE(IsClientFault(reply, c.refused)) << c.header << reply.body;
        }
        EXPECT_EQ(CameraCalls(CameraCall::Kind::Command), served) << c.header;
    }
    // The operation that was asked for, not only PtzCommand's.
    Reply reply = Exchange(
        AF_INET, Port(), Request("POST", kPath, kSession, kXml + Action("StartRemoteSessionPTZ")));
    EXPECT_EQ(reply.status, 200u) << reply.body;
    EXPECT_EQ(CameraCalls(CameraCall::Kind::StartSession), 1u);
    reply =
        Exchange(AF_INET, Port(), Request("POST", kPath, kSession, kXml + Action("PtzCommand")));
    EXPECT_TRUE(
        IsClientFault(reply, "names PtzCommand but the body asks for StartRemoteSessionPTZ"))
        << reply.body;
    EXPECT_EQ(CameraCalls(CameraCall::Kind::StartSession), 1u);
}

TEST_F(ControlServiceHttpTest, GetAndHeadDescribeTheEndpoint) {
    ASSERT_NO_FATAL_FAILURE(Serve("<ControlService Listen=\"127.0.0.1\" Port=\"0\"/>"));
    Reply get = Exchange(AF_INET, Port(), Request("GET", "/site" + kPath));
    EXPECT_EQ(get.status, 200u) << get.head;
    EXPECT_EQ(get.Header("Content-Type"), "text/plain; charset=utf-8");
    for (const char* told : {"SOAP 1.1", "SOAPAction", "text/xml", "StartRemoteSessionPTZ",
                             "PtzCommand", "PtzMenuCommand", "PtzQueryFunctions"})
        EXPECT_NE(get.body.find(told), std::string::npos) << told << "\n" << get.body;
    EXPECT_NE(get.body.find(k47::vlt::kServiceNamespace), std::string::npos) << get.body;

    Reply head = Exchange(AF_INET, Port(), Request("HEAD", kPath));
    EXPECT_EQ(head.status, 200u) << head.head;
    EXPECT_EQ(head.Header("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.Header("Content-Length"), std::to_string(get.body.size()));

    // Other methods still get 405 naming the ones served, and nothing reached the camera.
    Reply put = Exchange(AF_INET, Port(), Request("PUT", kPath, kCommand, kXml));
    EXPECT_EQ(put.status, 405u);
    EXPECT_EQ(put.Header("Allow"), "POST, GET, HEAD");
    EXPECT_TRUE(camera_object_->Calls().empty());
}

TEST_F(ControlServiceHttpTest, ClientsOutsideAllowGet403AndNoSession) {
    k47test::LogCapture log;
    ASSERT_NO_FATAL_FAILURE(
        Serve("<ControlService Listen=\"127.0.0.1\" Port=\"0\" Allow=\"10.0.0.0/8\"/>"
              "<ControlService Listen=\"127.0.0.1\" Port=\"0\" Allow=\"127.0.0.0/8 ::1\"/>"
              "<ControlService Listen=\"127.0.0.1\" Port=\"0\" Allow=\"127.0.0.7\"/>"));
    const std::string session = kXml + Action("StartRemoteSessionPTZ");

    for (size_t refusing : {0u, 2u}) {
        Reply reply = Exchange(AF_INET, Port(refusing), Request("POST", kPath, kSession, session));
        EXPECT_EQ(reply.status, 403u) << refusing << reply.head;
        EXPECT_EQ(reply.body.find("soap:"), std::string::npos) << reply.body;
        EXPECT_EQ(Exchange(AF_INET, Port(refusing), Request("GET", kPath)).status, 403u);
    }
    EXPECT_TRUE(camera_object_->Calls().empty());
    EXPECT_TRUE(
        log.Contains("POST " + kPath + ": client 127.0.0.1 is outside Allow; answered 403"));

    Reply reply = Exchange(AF_INET, Port(1), Request("POST", kPath, kSession, session));
    EXPECT_EQ(reply.status, 200u) << reply.body;
    EXPECT_NE(reply.body.find("<StartRemoteSessionPTZResponse"), std::string::npos) << reply.body;
    EXPECT_EQ(CameraCalls(CameraCall::Kind::StartSession), 1u);
}

TEST_F(ControlServiceHttpTest, AllowOnADualStackListenerCoversBothFamilies) {
    if (!k47test::HasIpv6Loopback())
        GTEST_SKIP() << "this machine has no ::1";
    ASSERT_NO_FATAL_FAILURE(
        Serve("<ControlService Listen=\"::\" Port=\"0\" Allow=\"::1\"/>"
              "<ControlService Listen=\"::\" Port=\"0\" Allow=\"127.0.0.0/8\"/>"));
    const std::string headers = kXml + Action("PtzCommand");
    // An IPv4 client of "::" arrives IPv4-mapped and is matched as IPv4.
    EXPECT_EQ(Exchange(AF_INET6, Port(0), Request("POST", kPath, kCommand, headers)).status, 200u);
    EXPECT_EQ(Exchange(AF_INET, Port(0), Request("POST", kPath, kCommand, headers)).status, 403u);
    EXPECT_EQ(Exchange(AF_INET, Port(1), Request("POST", kPath, kCommand, headers)).status, 200u);
    EXPECT_EQ(Exchange(AF_INET6, Port(1), Request("POST", kPath, kCommand, headers)).status, 403u);
    EXPECT_EQ(CameraCalls(CameraCall::Kind::Command), 2u);
}

TEST(ControlServiceSettings, MalformedAllowIsAConfigurationError) {
    const struct {
        const char* allow;
        const char* told;
    } refused[] = {
        {"10.0.0.0/33", "\"10.0.0.0/33\" is none"},
        {"abc", "\"abc\" is none"},
        {"127.0.0.0/8 abc", "\"abc\" is none"},
        {"::1/129", "\"::1/129\" is none"},
        {"10.0.0.0/", "\"10.0.0.0/\" is none"},
        {"10.0.0.0/-1", "\"10.0.0.0/-1\" is none"},
        {"", "Allow names no network"},
    };
    for (const auto& c : refused) {
        k47host::Installation installation;
        std::string error;
        EXPECT_FALSE(installation.LoadText(
            std::string("<Installation><ControlService Port=\"80\" Allow=\"") + c.allow +
                "\"/></Installation>",
            &error))
            << c.allow;
        EXPECT_NE(error.find(c.told), std::string::npos) << error;
        EXPECT_NE(error.find("<ControlService> at line 1: Allow"), std::string::npos) << error;
    }

    // The older attribute is refused, not ignored: ignored, it would serve every client.
    k47host::Installation old;
    std::string error;
    EXPECT_FALSE(old.LoadText(
        "<Installation><ControlService Port=\"80\" AllowFrom=\"10.0.0.0/8\"/></Installation>",
        &error));
    EXPECT_NE(error.find("AllowFrom is now called Allow"), std::string::npos) << error;

    k47host::Installation good;
    ASSERT_TRUE(
        good.LoadText("<Installation><ControlService Port=\"80\" "
                      "Allow=\"10.0.0.0/8  192.168.1.7 ::1 fd00::/8\"/></Installation>",
                      &error))
        << error;
    EXPECT_EQ(good.ServiceSettings()[0].http.allowedClients.size(), 4u);
}

TEST(ControlServiceSettings, WarnsOnceForAListenerOpenBeyondLoopback) {
    const struct {
        const char* attributes;
        bool warned;
    } cases[] = {
        {"", true},  // 0.0.0.0 by default
        {"Listen=\"0.0.0.0\"", true},
        {"Listen=\"::\"", true},
        {"Listen=\"192.168.1.10\"", true},
        {"Listen=\"::ffff:10.0.0.1\"", true},
        {"Listen=\"0.0.0.0\" Allow=\"10.0.0.0/8\"", false},
        {"Listen=\"0.0.0.0\" Certificate=\"c.pem\" Key=\"k.pem\"", false},
        {"Listen=\"127.0.0.1\"", false},
        {"Listen=\"127.1.2.3\"", false},
        {"Listen=\"::1\"", false},
        {"Listen=\"[::1]\"", false},
        {"Listen=\"::ffff:127.0.0.1\"", false},
    };
    for (const auto& c : cases) {
        k47test::LogCapture log;
        k47host::Installation installation;
        std::string error;
        ASSERT_TRUE(
            installation.LoadText(std::string("<Installation><ControlService Port=\"80\" ") +
                                      c.attributes + "/></Installation>",
                                  &error))
            << error;
        std::vector<std::string> warnings;
        for (const std::string& line : log.Lines())
            if (line.find("without Allow or TLS") != std::string::npos)
                warnings.push_back(line);
        ASSERT_EQ(warnings.size(), c.warned ? 1u : 0u) << c.attributes;
        if (c.warned) {
            EXPECT_NE(warnings[0].find("k47ptz-host: warning: <ControlService> at line 1"),
                      std::string::npos)
                << warnings[0];
        }
    }
}

// One address for every camera's session socket: the services' own (its IPv4 form) when they
// agree, else every address with a warning.
TEST(ControlServiceSettings, SessionSocketsListenWhereTheServicesDo) {
    const struct {
        const char* services;
        uint32_t address;
        const char* warning;
    } cases[] = {
        {"", INADDR_ANY, nullptr},
        {"<ControlService Listen=\"127.0.0.1\" Port=\"80\"/>", INADDR_LOOPBACK, nullptr},
        {"<ControlService Listen=\"::1\" Port=\"80\"/>", INADDR_LOOPBACK, nullptr},
        {"<ControlService Listen=\"::ffff:127.0.0.2\" Port=\"80\"/>", 0x7F000002, nullptr},
        {"<ControlService Port=\"80\" Allow=\"10.0.0.0/8\"/>", INADDR_ANY, nullptr},
        {"<ControlService Listen=\"::\" Port=\"80\" Allow=\"::1\"/>", INADDR_ANY, nullptr},
        {"<ControlService Listen=\"::1\" Port=\"80\" DatagramListen=\"0.0.0.0\"/>", INADDR_ANY,
         nullptr},
        {"<ControlService Listen=\"127.0.0.1\" Port=\"80\"/>"
         "<ControlService Listen=\"::1\" Port=\"81\"/>",
         INADDR_LOOPBACK, nullptr},
        {"<ControlService Listen=\"127.0.0.1\" Port=\"80\"/>"
         "<ControlService Listen=\"0.0.0.0\" Port=\"81\" Allow=\"10.0.0.0/8\"/>",
         INADDR_ANY, "take datagrams on different addresses (127.0.0.1, 0.0.0.0)"},
        {"<ControlService Listen=\"fd00::5\" Port=\"80\" Allow=\"fd00::/8\"/>", INADDR_ANY,
         "listens on the IPv6 address fd00::5; the cameras' datagrams are IPv4"},
    };
    for (const auto& c : cases) {
        k47test::LogCapture log;
        k47host::Installation installation;
        std::string error;
        ASSERT_TRUE(installation.LoadText(
            std::string("<Installation>") + c.services + "</Installation>", &error))
            << error;
        if (c.warning != nullptr)
            EXPECT_TRUE(log.Contains(c.warning)) << c.services;
        else
            EXPECT_TRUE(log.Lines().empty()) << c.services << log.Lines().front();
        ComPtr<IK47SessionAddress> told;
        ASSERT_HR_OK(installation.PortService()->QueryInterface(
            IID_IK47SessionAddress, reinterpret_cast<void**>(told.GetAddressOf())));
        ULONG address = 1;
        EXPECT_HR_OK(told->GetSessionAddress(&address));
        EXPECT_EQ(address, c.address) << c.services;
    }
}

TEST_F(ControlServiceHttpTest, ASessionWithoutAFreePortIsRefusedInWords) {
    ASSERT_NO_FATAL_FAILURE(Serve("<ControlService Listen=\"127.0.0.1\" Port=\"0\"/>"));
    camera_object_->SetResult(CameraCall::Kind::StartSession,
                              HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS));
    Reply reply = Exchange(
        AF_INET, Port(), Request("POST", kPath, kSession, kXml + Action("StartRemoteSessionPTZ")));
    EXPECT_EQ(reply.status, 500u);
    EXPECT_NE(reply.body.find("<faultcode>soap:Server</faultcode>"), std::string::npos);
    EXPECT_NE(
        reply.body.find("camera &quot;Gate&quot; cannot open a session: every UDP port of the "
                        "PortService range is in use"),
        std::string::npos)
        << reply.body;
}

// The connection limits of the element reach the listener: with one connection per address, a
// second from the same address is closed unanswered while the first is held open (after an
// answer on it, so that the listener surely counts it).
TEST_F(ControlServiceHttpTest, ConnectionLimitsComeFromTheElement) {
    ASSERT_NO_FATAL_FAILURE(
        Serve("<ControlService Listen=\"127.0.0.1\" Port=\"0\" MaxConnectionsPerClient=\"1\"/>"));
    k47::UniqueFd held = k47test::ConnectFrom("127.0.0.1", Port());
    ASSERT_TRUE(held);
    ASSERT_TRUE(k47test::SendAll(held.get(), "GET " + kPath + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_EQ(k47test::ReadAnswer(held.get(), std::chrono::milliseconds(5000)), 200u);

    const std::string get = Request("GET", kPath);
    EXPECT_EQ(Exchange(AF_INET, Port(), get).status, 0u);
    held.reset();
    EXPECT_TRUE(k47test::WaitUntil([&] { return Exchange(AF_INET, Port(), get).status == 200u; },
                                   std::chrono::milliseconds(2000)));
}
