// The host's side of the control service's messages: request parsing (and its refusals), the
// response and fault bytes, and the dispatch of the four served operations to cameras.
#include <gtest/gtest.h>

#include <string>

#include "host/ControlService.h"
#include "host/SoapService.h"
#include "tests/camera/CameraFixture.h"
#include "webservice/VLTControlNamespace.h"

using k47host::ParseSoapRequest;
using k47host::SoapFault;
using k47host::SoapRequest;
using k47test::DriverCall;
using Microsoft::WRL::ComPtr;

namespace {

std::string Envelope(const std::string& body, const std::string& header = {}) {
    return "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">" +
           header + "<soap:Body>" + body + "</soap:Body></soap:Envelope>";
}

std::string Operation(const std::string& name, const std::string& children) {
    return "<" + name + " xmlns=\"" + k47::vlt::kServiceNamespace + "\">" + children + "</" + name +
           ">";
}

}  // namespace

TEST(SoapService, ParsesTheWrapperAndItsParameters) {
    SoapFault fault;
    auto request = ParseSoapRequest(
        Envelope(Operation("PtzCommand",
                           "<name>Gate &amp; &#x00E9;</name><cmd> 7 </cmd><arg>-12</arg>")),
        &fault);
    ASSERT_TRUE(request) << fault.text;
    EXPECT_EQ(request->operation, "PtzCommand");
    EXPECT_EQ(request->Text("name"), "Gate & \xC3\xA9");
    int32_t cmd = 0, arg = 0;
    EXPECT_TRUE(request->Int("cmd", &cmd));
    EXPECT_TRUE(request->Int("arg", &arg));
    EXPECT_EQ(cmd, 7);
    EXPECT_EQ(arg, -12);

    request = ParseSoapRequest(
        Envelope(Operation("PtzMenuCommand", "<name xsi:nil=\"1\"/><cmd>2147483648</cmd>")),
        &fault);
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->Text("name").has_value());  // nil
    EXPECT_FALSE(request->Int("cmd", &cmd));          // beyond 32 bits
    EXPECT_FALSE(request->Int("missing", &cmd));
}

TEST(SoapService, RefusesWhatIsNotAServiceRequestWithAClientFault) {
    const struct {
        const char* what;
        std::string body;
    } cases[] = {
        {"not XML", "PtzCommand please"},
        {"not an envelope", "<Envelope><Body/></Envelope>"},
        {"no body", "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"/>"},
        {"empty body", Envelope("")},
        {"foreign namespace",
         Envelope("<PtzCommand xmlns=\"http://example.com/other\"><name>a</name></PtzCommand>")},
        {"parameter twice", Envelope(Operation("PtzCommand", "<cmd>1</cmd><cmd>2</cmd>"))},
        {"structured parameter",
         Envelope(Operation("PtzCommand", "<name><first>a</first></name>"))},
        {"document type", "<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>" +
                              Envelope(Operation("PtzCommand", "<name>&e;</name>"))},
        {"too large",
         Envelope(Operation("PtzCommand", "<name>" + std::string(70000, 'a') + "</name>"))},
    };
    for (const auto& c : cases) {
        SoapFault fault;
        EXPECT_FALSE(ParseSoapRequest(c.body, &fault)) << c.what;
        EXPECT_EQ(fault.code, "Client") << c.what;
        EXPECT_FALSE(fault.text.empty()) << c.what;
    }
}

TEST(SoapService, ResponsesAndFaultsAreWellFormedAndEscaped) {
    std::string response =
        k47host::BuildSoapResponse("PtzQueryFunctions", {{"func", "26"}, {"presetCount", "15"}});
    EXPECT_NE(response.find(
                  "<PtzQueryFunctionsResponse xmlns=\"" + std::string(k47::vlt::kServiceNamespace) +
                  "\"><func>26</func><presetCount>15</presetCount></PtzQueryFunctionsResponse>"),
              std::string::npos)
        << response;
    std::string fault = k47host::BuildSoapFault({"Client", "unknown camera \"<a&b>\"", ""});
    EXPECT_NE(fault.find("<faultcode>soap:Client</faultcode>"), std::string::npos);
    EXPECT_NE(fault.find("<faultstring>unknown camera &quot;&lt;a&amp;b&gt;&quot;</faultstring>"),
              std::string::npos);
    // Both parse back as XML.
    SoapFault ignored;
    EXPECT_TRUE(k47::XmlDocument::LoadString(response));
    EXPECT_TRUE(k47::XmlDocument::LoadString(fault));
}

class SoapDispatchTest : public CameraFixture {
  protected:
    void SetUp() override {
        CameraFixture::SetUp();
        k47::XmlDocument document = k47::XmlDocument::LoadString("<Installation/>");
        server_unknown_ = k47host::CInstallationServer::Create(document, &server_);
        ASSERT_TRUE(server_unknown_);
    }
    std::string Call(const std::string& operation, const std::string& children, unsigned* status) {
        return k47host::HandleSoapRequest(server_, 0x7F000001,
                                          Envelope(Operation(operation, children)), status);
    }
    k47host::CInstallationServer* server_ = nullptr;
    ComPtr<IUnknown> server_unknown_;
};

TEST_F(SoapDispatchTest, ServedOperationsReachTheNamedCamera) {
    AddCamera(u"Gate", "Address=\"7\"");
    server_->AddCamera(nullptr, u"Gate", wrappers_.back().Get());
    unsigned status = 0;
    std::string answer = Call("PtzCommand", "<name>Gate</name><cmd>7</cmd><arg>12</arg>", &status);
    EXPECT_EQ(status, 200u) << answer;
    answer = Call("PtzMenuCommand", "<name>Gate</name><cmd>1</cmd>", &status);
    EXPECT_EQ(status, 200u) << answer;
    driver_object_->SetFunctions(static_cast<PTZFUNCTION>(0x2F), 64);
    answer = Call("PtzQueryFunctions", "<name>Gate</name>", &status);
    EXPECT_EQ(status, 200u);
    EXPECT_NE(answer.find("<func>47</func><presetCount>64</presetCount>"), std::string::npos)
        << answer;
    answer = Call("StartRemoteSessionPTZ", "<name>Gate</name>", &status);
    EXPECT_EQ(status, 200u);
    EXPECT_NE(answer.find("<ipv4addr>2130706433</ipv4addr><port>"), std::string::npos) << answer;

    auto commands = driver_object_->Calls(DriverCall::Kind::Command);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].address, 7);
    EXPECT_EQ(commands[0].command, 7);
    EXPECT_EQ(commands[0].arg, 12);
    auto menus = driver_object_->Calls(DriverCall::Kind::Menu);
    ASSERT_EQ(menus.size(), 1u);
    EXPECT_EQ(menus[0].command, PTZMENUCMD_OPEN);
}

TEST_F(SoapDispatchTest, UnknownCamerasOtherOperationsAndFailuresGiveFaults) {
    AddCamera(u"Gate", "Address=\"7\"");
    server_->AddCamera(nullptr, u"Gate", wrappers_.back().Get());
    unsigned status = 0;
    std::string answer = Call("PtzCommand", "<name>Nobody</name><cmd>7</cmd><arg>1</arg>", &status);
    EXPECT_EQ(status, 500u);
    EXPECT_NE(answer.find("soap:Client"), std::string::npos);
    EXPECT_NE(answer.find("unknown camera"), std::string::npos) << answer;

    answer = Call("Ping", "", &status);
    EXPECT_EQ(status, 500u);
    EXPECT_NE(answer.find("operation Ping is not served"), std::string::npos) << answer;

    answer = Call("PtzCommand", "<name>Gate</name><cmd>x</cmd><arg>1</arg>", &status);
    EXPECT_EQ(status, 500u);
    EXPECT_NE(answer.find("cmd"), std::string::npos) << answer;

    driver_object_->SetResult(DriverCall::Kind::Command, HRESULT_FROM_WIN32(ERROR_WRITE_FAULT));
    answer = Call("PtzCommand", "<name>Gate</name><cmd>3</cmd><arg>1</arg>", &status);
    EXPECT_EQ(status, 500u);
    EXPECT_NE(answer.find("soap:Server"), std::string::npos) << answer;
    EXPECT_NE(answer.find("ERROR_WRITE_FAULT"), std::string::npos) << answer;
}
