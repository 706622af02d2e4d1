// The ONVIF device of one camera, on a recording camera: what each operation makes the camera
// do (speeds, preset numbers), every refusal (and that it calls nothing), authentication, that
// every answer is a well-formed envelope of the right element, the bridge's settings in the
// installation file, and a device served over HTTP by the bridge.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <libxml/tree.h>
#include <k47/unique_fd.h>
#include <openssl/evp.h>
#include <k47/xmldoc.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "host/Installation.h"
#include "host/onvif/OnvifBridge.h"
#include "host/onvif/OnvifDevice.h"
#include "host/onvif/OnvifSettings.h"
#include "tests/host/HttpExchange.h"
#include "tests/support/LocalServerSupport.h"

using namespace k47host::onvif;
using k47test::CameraCall;
using Microsoft::WRL::ComPtr;
using std::chrono::milliseconds;

namespace {

constexpr char kTds[] = "xmlns=\"http://www.onvif.org/ver10/device/wsdl\"";
constexpr char kTrt[] = "xmlns=\"http://www.onvif.org/ver10/media/wsdl\"";
constexpr char kTptz[] = "xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\"";

// A TCP port free on loopback now (the file offers no "any port" for a device).
uint16_t FreeTcpPort() {
    k47::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (!socket || ::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

std::string Now() {
    const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// A digest UsernameToken as clients write it, with a fresh nonce each time.
std::string Token(const std::string& user, const std::string& password) {
    static int counter = 0;
    const std::string nonce = "nonce-" + std::to_string(++counter) + "-0123456789";
    const std::string created = Now();
    std::string nonce64(4 * ((nonce.size() + 2) / 3), '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(nonce64.data()),
                    reinterpret_cast<const unsigned char*>(nonce.data()),
                    static_cast<int>(nonce.size()));
    return std::string("<Security s:mustUnderstand=\"1\" xmlns=\"") + kWsseNamespace +
           "\"><UsernameToken><Username>" + user + "</Username><Password Type=\"" +
           kPasswordDigestType + "\">" + PasswordDigest(nonce, created, password) +
           "</Password><Nonce>" + nonce64 + "</Nonce><Created xmlns=\"" + kWsuNamespace + "\">" +
           created + "</Created></UsernameToken></Security>";
}

std::string Envelope(const std::string& body, const std::string& header = {}) {
    return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Header>" + header +
           "</s:Header><s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string Op(const char* name, const char* ns, const std::string& args = {}) {
    return std::string("<") + name + " " + ns + ">" + args + "</" + name + ">";
}
const std::string kProfile = "<ProfileToken>profile_1</ProfileToken>";

std::string Move(const std::string& x, const std::string& y, const std::string& zoom,
                 const std::string& extra = {}) {
    return Op("ContinuousMove", kTptz,
              kProfile + "<Velocity><PanTilt x=\"" + x + "\" y=\"" + y +
                  "\" xmlns=\"http://www.onvif.org/ver10/schema\"/><Zoom x=\"" + zoom +
                  "\" xmlns=\"http://www.onvif.org/ver10/schema\"/></Velocity>" + extra);
}

// The answer read back: its first Body element, or the fault's codes and reason.
struct Answer {
    unsigned status = 0;
    std::string element;             // local name of the Body's first element
    std::vector<std::string> codes;  // Code/Value, then each Subcode/Value
    std::string text;                // the whole envelope
    bool wellFormed = false;
};

Answer Read(const std::string& text, unsigned status) {
    Answer answer;
    answer.status = status;
    answer.text = text;
    k47::XmlError error;
    k47::XmlDocument document = k47::XmlDocument::LoadString(text, &error, {});
    if (!document)
        return answer;
    answer.wellFormed = true;
    const xmlNode* envelope = document.DocumentElement();
    for (const xmlNode* part = envelope->children; part != nullptr; part = part->next) {
        if (part->type != XML_ELEMENT_NODE ||
            std::string_view(reinterpret_cast<const char*>(part->name)) != "Body")
            continue;
        for (const xmlNode* first = part->children; first != nullptr; first = first->next) {
            if (first->type != XML_ELEMENT_NODE)
                continue;
            answer.element = reinterpret_cast<const char*>(first->name);
            // Fault/Code/Value, Code/Subcode/Value, Subcode/Subcode/Value...
            for (const xmlNode* code = first->children; code != nullptr; code = code->next) {
                if (code->type != XML_ELEMENT_NODE ||
                    std::string_view(reinterpret_cast<const char*>(code->name)) != "Code")
                    continue;
                const xmlNode* level = code;
                while (level != nullptr) {
                    const xmlNode* next = nullptr;
                    for (const xmlNode* c = level->children; c != nullptr; c = c->next) {
                        if (c->type != XML_ELEMENT_NODE)
                            continue;
                        const std::string_view name = reinterpret_cast<const char*>(c->name);
                        if (name == "Value") {
                            xmlChar* content = xmlNodeGetContent(c);
                            answer.codes.emplace_back(reinterpret_cast<const char*>(content));
                            xmlFree(content);
                        } else if (name == "Subcode") {
                            next = c;
                        }
                    }
                    level = next;
                }
            }
            break;
        }
    }
    return answer;
}

class OnvifDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(installation_.LoadText("<Installation/>", &error)) << error;
        camera_ = k47test::CRecordingCamera::Create(&gate_);
        ASSERT_TRUE(camera_);
        gate_->SetFunctions(PTZFUNC_MENUOPEN, 16);
        installation_.Server()->AddCamera(nullptr, u"Gate", camera_.Get());
        presetFile_ = std::filesystem::temp_directory_path() /
                      ("k47-onvif-presets-" + std::to_string(::getpid()));
        std::filesystem::remove(presetFile_);
        presets_ = std::make_unique<PresetNames>(presetFile_.string());
        settings_.defaultTimeout = milliseconds(10000);
        settings_.maxTimeout = milliseconds(60000);
        camera_settings_.camera = "Gate";
        camera_settings_.port = 8081;
        camera_settings_.streamUri = "rtsp://192.0.2.10/gate";
    }
    void TearDown() override {
        device_.reset();
        std::filesystem::remove(presetFile_);
    }
    OnvifDevice& Device() {
        if (!device_)
            device_ = std::make_unique<OnvifDevice>(installation_.Server(), camera_settings_,
                                                    settings_, presets_.get());
        return *device_;
    }
    Answer Call(const std::string& body, const std::string& header = {}) {
        unsigned status = 0;
        std::string text =
            Device().HandleBody(Envelope(body, header), "http://192.0.2.1:8081", &status);
        return Read(text, status);
    }
    Answer Authorized(const std::string& body) { return Call(body, Token("alice", "s3cret")); }
    std::vector<CameraCall> Moves() { return gate_->Calls(CameraCall::Kind::Move); }
    std::vector<CameraCall> Commands() { return gate_->Calls(CameraCall::Kind::Command); }

    k47host::Installation installation_;
    k47test::CRecordingCamera* gate_ = nullptr;
    ComPtr<IUnknown> camera_;
    std::filesystem::path presetFile_;
    std::unique_ptr<PresetNames> presets_;
    OnvifSettings settings_;
    OnvifCameraSettings camera_settings_;
    std::unique_ptr<OnvifDevice> device_;
};

TEST(OnvifDuration, ReadsWhatClientsSendAndRefusesTheRest) {
    const struct {
        const char* text;
        long long ms;
    } good[] = {{"PT10S", 10000},     {"PT1S", 1000},     {"PT0.5S", 500},
                {"PT1.25S", 1250},    {"PT1M30S", 90000}, {"PT2H", 7200000},
                {"P1DT1S", 86401000}, {"PT0S", 0},        {"P1D", 86400000}};
    for (const auto& c : good) {
        auto parsed = ParseXsDuration(c.text);
        ASSERT_TRUE(parsed) << c.text;
        EXPECT_EQ(parsed->count(), c.ms) << c.text;
    }
    for (const char* bad :
         {"",       "P",     "PT",    "10S",    "PT-1S",          "-PT1S", "PT+1S",
          "PT1",    "P1M",   "P1Y",   "PT1S1M", "PT1.5M",         "PTS",   "PT1SS",
          "PT1e3S", "PT 1S", "PT1S ", "PTnanS", "PT99999999999S", "P1DT",  "PT1H1H"})
        EXPECT_FALSE(ParseXsDuration(bad)) << bad;
    for (long long ms : {0LL, 1LL, 500LL, 1000LL, 1250LL, 60000LL, 86401000LL}) {
        const std::string text = FormatXsDuration(milliseconds(ms));
        auto back = ParseXsDuration(text);
        ASSERT_TRUE(back) << text;
        EXPECT_EQ(back->count(), ms) << text;
    }
    EXPECT_EQ(FormatXsDuration(milliseconds(10000)), "PT10S");
    EXPECT_EQ(FormatXsDuration(milliseconds(1500)), "PT1.5S");
}

TEST(OnvifInstallation, ReadsTheBridgeAndItsCameras) {
    k47host::Installation installation;
    std::string error;
    ASSERT_TRUE(installation.LoadText(
        R"(<I><Users><User Name="alice" Password="s3cret"/></Users>
           <Onvif Listen="127.0.0.1" Discovery="1" DefaultTimeout="PT5S" MaxTimeout="PT1M"
                  PresetFile="/tmp/x" Allow="10.0.0.0/8"/>
           <Cameras><Camera Name="Gate" Address="1" OnvifPort="8081" StreamUri="rtsp://a/b"
                            SnapshotUri="http://a/s.jpg" Manufacturer="Acme" Model="Dome"/>
                    <Camera Name="Yard" Address="2"/></Cameras></I>)",
        &error))
        << error;
    const OnvifSettings& onvif = installation.OnvifBridgeSettings();
    EXPECT_TRUE(onvif.enabled);
    EXPECT_EQ(onvif.listenAddress, "127.0.0.1");
    EXPECT_TRUE(onvif.discovery);
    EXPECT_EQ(onvif.defaultTimeout, milliseconds(5000));
    EXPECT_EQ(onvif.maxTimeout, milliseconds(60000));
    EXPECT_EQ(onvif.presetFile, "/tmp/x");
    EXPECT_EQ(onvif.allowedClients.size(), 1u);
    ASSERT_EQ(onvif.users.size(), 1u);
    EXPECT_EQ(onvif.users[0].name, "alice");
    EXPECT_EQ(onvif.users[0].password, "s3cret");
    ASSERT_EQ(onvif.cameras.size(), 1u);  // Yard has no OnvifPort
    const OnvifCameraSettings& gate = onvif.cameras[0];
    EXPECT_EQ(gate.camera, "Gate");
    EXPECT_EQ(gate.port, 8081);
    EXPECT_EQ(gate.streamUri, "rtsp://a/b");
    EXPECT_EQ(gate.snapshotUri, "http://a/s.jpg");
    EXPECT_EQ(gate.manufacturer, "Acme");
    EXPECT_EQ(gate.model, "Dome");

    // Without the element nothing is published; defaults otherwise.
    k47host::Installation plain;
    ASSERT_TRUE(plain.LoadText(R"(<I><Onvif/></I>)", &error)) << error;
    EXPECT_TRUE(plain.OnvifBridgeSettings().enabled);
    EXPECT_EQ(plain.OnvifBridgeSettings().listenAddress, "0.0.0.0");
    EXPECT_FALSE(plain.OnvifBridgeSettings().discovery);
    EXPECT_EQ(plain.OnvifBridgeSettings().defaultTimeout, milliseconds(10000));
    EXPECT_EQ(plain.OnvifBridgeSettings().maxTimeout, milliseconds(60000));
    EXPECT_FALSE(plain.OnvifBridgeSettings().presetFile.empty());
}

TEST(OnvifInstallation, RefusesWhatWouldMisbehave) {
    const struct {
        const char* xml;
        const char* says;
    } bad[] = {
        {R"(<Onvif Listen="::1"/>)", "IPv4"},
        {R"(<Onvif Listen="nowhere"/>)", "IPv4"},
        {R"(<Onvif Discovery="yes"/>)", "Discovery must be 0 or 1"},
        {R"(<Onvif DefaultTimeout="10"/>)", "DefaultTimeout must be a duration"},
        {R"(<Onvif MaxTimeout="PT0S"/>)", "at least 0.1 s"},
        {R"(<Onvif DefaultTimeout="PT2M" MaxTimeout="PT1M"/>)", "longer than MaxTimeout"},
        {R"(<Onvif Allow="everyone"/>)", "Allow must list"},
        {R"(<Onvif/><Onvif/>)", "only one Onvif"},
        {R"(<Onvif/><Cameras><Camera Name="A" OnvifPort="0"/></Cameras>)", "OnvifPort must be"},
        {R"(<Onvif/><Cameras><Camera Name="A" OnvifPort="70000"/></Cameras>)", "OnvifPort must be"},
        {R"(<Onvif/><Cameras><Camera Name="A" OnvifPort="8081"/><Camera Name="B" OnvifPort="8081"/></Cameras>)",
         "camera \"A\"'s already"},
        {R"(<ControlService Port="8081"/><Onvif/><Cameras><Camera Name="A" OnvifPort="8081"/></Cameras>)",
         "a ControlService's port"},
    };
    for (const auto& c : bad) {
        k47host::Installation installation;
        std::string error;
        EXPECT_FALSE(installation.LoadText(std::string("<I>") + c.xml + "</I>", &error)) << c.xml;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.xml << ": " << error;
    }
}

TEST(OnvifInstallation, CheckNamesADevicePortThatIsTaken) {
    k47::UniqueFd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(taken.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(taken.get(), 1), 0);
    ASSERT_EQ(::getsockname(taken.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    const std::string free = std::to_string(FreeTcpPort());
    k47host::Installation installation;
    std::string error;
    ASSERT_TRUE(installation.LoadText(
        R"(<I><Onvif Listen="127.0.0.1"/><Cameras><Camera Name="Gate" Address="1" OnvifPort=")" +
            port + R"("/><Camera Name="Yard" Address="2" OnvifPort=")" + free +
            R"("/></Cameras></I>)",
        &error))
        << error;
    k47host::InstallationReport report;
    EXPECT_EQ(installation.CheckListeners(&report), 1);
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_EQ(report.problems[0],
              "the ONVIF device of camera \"Gate\" cannot listen on 127.0.0.1 port " + port +
                  ": another program listens there; stop it, or choose "
                  "another OnvifPort");
}

TEST_F(OnvifDeviceTest, ContinuousMoveMapsVelocitiesToSpeedsAndStopStops) {
    const struct {
        const char *x, *y, *zoom;
        SHORT pan, tilt, zoomSpeed;
    } cases[] = {{"0.5", "-0.25", "0", 50, -25, 0},
                 {"1", "-1", "1", 100, -100, 100},
                 {"-0.004", "0.005", "-0.999", 0, 1, -100},
                 {"0.333", "0", "0.5", 33, 0, 50}};
    for (const auto& c : cases) {
        gate_->ClearCalls();
        Answer answer = Call(Move(c.x, c.y, c.zoom));
        ASSERT_EQ(answer.status, 200u) << answer.text;
        EXPECT_EQ(answer.element, "ContinuousMoveResponse");
        std::vector<CameraCall> moves = Moves();
        ASSERT_EQ(moves.size(), 1u) << c.x;
        EXPECT_EQ(moves[0].pan, c.pan) << c.x;
        EXPECT_EQ(moves[0].tilt, c.tilt) << c.y;
        EXPECT_EQ(moves[0].zoom, c.zoomSpeed) << c.zoom;
        EXPECT_EQ(moves[0].focus, 0);
        EXPECT_EQ(moves[0].iris, 0);
    }
    Answer status = Call(Op("GetStatus", kTptz, kProfile));
    EXPECT_NE(status.text.find("<tt:PanTilt>MOVING</tt:PanTilt><tt:Zoom>MOVING</tt:Zoom>"),
              std::string::npos)
        << status.text;
    gate_->ClearCalls();
    // Stop of the zoom alone keeps pan and tilt; then the rest.
    EXPECT_EQ(
        Call(Op("Stop", kTptz, kProfile + "<PanTilt>false</PanTilt><Zoom>true</Zoom>")).status,
        200u);
    EXPECT_EQ(Call(Op("Stop", kTptz, kProfile)).status, 200u);
    std::vector<CameraCall> moves = Moves();
    ASSERT_EQ(moves.size(), 2u);
    EXPECT_EQ(std::tuple(moves[0].pan, moves[0].tilt, moves[0].zoom), std::tuple(33, 0, 0));
    EXPECT_EQ(std::tuple(moves[1].pan, moves[1].tilt, moves[1].zoom), std::tuple(0, 0, 0));
    status = Call(Op("GetStatus", kTptz, kProfile));
    EXPECT_NE(status.text.find("<tt:PanTilt>IDLE</tt:PanTilt><tt:Zoom>IDLE</tt:Zoom>"),
              std::string::npos);
}

TEST_F(OnvifDeviceTest, BadMovesAreRefusedWithoutMovingTheCamera) {
    const struct {
        std::string body;
        std::vector<std::string> codes;
    } refused[] = {
        {Move("1.5", "0", "0"), {"env:Sender", "ter:InvalidArgVal", "ter:InvalidVelocity"}},
        {Move("-1.01", "0", "0"), {"env:Sender", "ter:InvalidArgVal", "ter:InvalidVelocity"}},
        {Move("nan", "0", "0"), {"env:Sender", "ter:InvalidArgVal", "ter:InvalidVelocity"}},
        {Move("0.5x", "0", "0"), {"env:Sender", "ter:InvalidArgVal", "ter:InvalidVelocity"}},
        {Move("", "0", "0"), {"env:Sender", "ter:InvalidArgVal", "ter:InvalidVelocity"}},
        {Move("0.5", "0", "0", "<Timeout>PT0S</Timeout>"), {"env:Sender", "ter:InvalidArgVal"}},
        {Move("0.5", "0", "0", "<Timeout>soon</Timeout>"), {"env:Sender", "ter:InvalidArgVal"}},
        {Op("ContinuousMove", kTptz,
            kProfile + "<Velocity><PanTilt x=\"1\" y=\"0\" space=\"http://example.com/other\" "
                       "xmlns=\"http://www.onvif.org/ver10/schema\"/></Velocity>"),
         {"env:Sender", "ter:InvalidArgVal", "ter:InvalidVelocity"}},
        {Op("ContinuousMove", kTptz, "<ProfileToken>other</ProfileToken>"),
         {"env:Sender", "ter:InvalidArgVal", "ter:NoProfile"}},
        {Op("ContinuousMove", kTptz, ""), {"env:Sender", "ter:InvalidArgVal", "ter:NoProfile"}},
        {Op("Stop", kTptz, kProfile + "<PanTilt>maybe</PanTilt>"),
         {"env:Sender", "ter:InvalidArgVal"}},
    };
    for (const auto& c : refused) {
        Answer answer = Call(c.body);
        EXPECT_EQ(answer.status, 400u) << c.body;
        EXPECT_EQ(answer.element, "Fault") << c.body;
        EXPECT_EQ(answer.codes, c.codes) << c.body << "\n" << answer.text;
    }
    EXPECT_TRUE(Moves().empty());
    EXPECT_FALSE(
        gate_->WaitFor([](const auto& calls) { return !calls.empty(); }, milliseconds(50)));
}

TEST_F(OnvifDeviceTest, PresetsAreTheCamerasNumbersWithNamesKept) {
    Answer set = Call(Op("SetPreset", kTptz, kProfile + "<PresetName>Door</PresetName>"));
    ASSERT_EQ(set.status, 200u) << set.text;
    EXPECT_NE(set.text.find("<tptz:PresetToken>2</tptz:PresetToken>"), std::string::npos);
    EXPECT_EQ(Call(Op("SetPreset", kTptz, kProfile + "<PresetToken>16</PresetToken>")).status,
              200u);
    // The next free number after home (1) and 2.
    set = Call(Op("SetPreset", kTptz, kProfile + "<PresetName>Gate &amp; road</PresetName>"));
    EXPECT_NE(set.text.find("<tptz:PresetToken>3</tptz:PresetToken>"), std::string::npos);
    EXPECT_EQ(Call(Op("GotoPreset", kTptz, kProfile + "<PresetToken>3</PresetToken>")).status,
              200u);
    EXPECT_EQ(Call(Op("GotoHomePosition", kTptz, kProfile)).status, 200u);
    EXPECT_EQ(Call(Op("RemovePreset", kTptz, kProfile + "<PresetToken>2</PresetToken>")).status,
              200u);
    std::vector<std::pair<LONG, INT_PTR>> seen;
    for (const CameraCall& call : Commands())
        seen.emplace_back(call.value, call.arg);
    const std::vector<std::pair<LONG, INT_PTR>> expected = {
        {PTZCMD_SETPRESET, 2},  {PTZCMD_SETPRESET, 16}, {PTZCMD_SETPRESET, 3},
        {PTZCMD_GOTOPRESET, 3}, {PTZCMD_GOTOPRESET, 1}, {PTZCMD_CLEARPRESET, 2}};
    EXPECT_EQ(seen, expected);

    Answer list = Call(Op("GetPresets", kTptz, kProfile));
    EXPECT_NE(list.text.find("<tptz:Preset token=\"3\"><tt:Name>Gate &amp; road</tt:Name>"),
              std::string::npos)
        << list.text;
    EXPECT_NE(list.text.find("<tptz:Preset token=\"16\"><tt:Name>Preset 16</tt:Name>"),
              std::string::npos);
    EXPECT_EQ(list.text.find("token=\"2\""), std::string::npos);
    // Kept in the file: a new store reads them back.
    PresetNames reread(presetFile_.string());
    std::string error, warning;
    ASSERT_TRUE(reread.Load(&error, &warning)) << error;
    EXPECT_EQ(reread.Of("Gate"),
              (std::map<unsigned, std::string>{{3, "Gate & road"}, {16, "Preset 16"}}));
}

TEST_F(OnvifDeviceTest, BadPresetsAreRefusedWithoutCallingTheCamera) {
    ASSERT_EQ(Call(Op("SetPreset", kTptz, kProfile + "<PresetName>Door</PresetName>")).status,
              200u);
    gate_->ClearCalls();
    const struct {
        std::string body;
        std::vector<std::string> codes;
    } refused[] = {
        {Op("GotoPreset", kTptz, kProfile + "<PresetToken>17</PresetToken>"),
         {"env:Sender", "ter:InvalidArgVal", "ter:NoToken"}},
        {Op("GotoPreset", kTptz, kProfile + "<PresetToken>0</PresetToken>"),
         {"env:Sender", "ter:InvalidArgVal", "ter:NoToken"}},
        {Op("GotoPreset", kTptz, kProfile + "<PresetToken>02</PresetToken>"),
         {"env:Sender", "ter:InvalidArgVal", "ter:NoToken"}},
        {Op("GotoPreset", kTptz, kProfile + "<PresetToken>-1</PresetToken>"),
         {"env:Sender", "ter:InvalidArgVal", "ter:NoToken"}},
        {Op("GotoPreset", kTptz, kProfile), {"env:Sender", "ter:InvalidArgVal", "ter:NoToken"}},
        {Op("RemovePreset", kTptz, kProfile + "<PresetToken>x</PresetToken>"),
         {"env:Sender", "ter:InvalidArgVal", "ter:NoToken"}},
        {Op("SetPreset", kTptz,
            kProfile + "<PresetName>Door</PresetName><PresetToken>5</PresetToken>"),
         {"env:Sender", "ter:InvalidArgVal", "ter:PresetExist"}},
        {Op("SetPreset", kTptz, kProfile + "<PresetName>" + std::string(65, 'n') + "</PresetName>"),
         {"env:Sender", "ter:InvalidArgVal", "ter:InvalidPresetName"}},
        {Op("GetPresets", kTptz, "<ProfileToken>x</ProfileToken>"),
         {"env:Sender", "ter:InvalidArgVal", "ter:NoProfile"}},
    };
    for (const auto& c : refused) {
        Answer answer = Call(c.body);
        EXPECT_EQ(answer.codes, c.codes) << c.body << "\n" << answer.text;
        EXPECT_EQ(answer.status, 400u);
    }
    EXPECT_TRUE(Commands().empty());
    EXPECT_TRUE(Moves().empty());
}

TEST_F(OnvifDeviceTest, UsersNeedAValidTokenButForTheClockAndCapabilities) {
    settings_.users = {{"alice", "s3cret"}};
    // Open to anyone: what a client needs before it can make a token.
    EXPECT_EQ(Call(Op("GetSystemDateAndTime", kTds)).status, 200u);
    EXPECT_EQ(Call(Op("GetCapabilities", kTds)).status, 200u);
    const std::vector<std::string> notAuthorized = {"env:Sender", "ter:NotAuthorized"};
    EXPECT_EQ(Call(Op("GetProfiles", kTrt)).codes, notAuthorized);
    EXPECT_EQ(Call(Move("1", "0", "0")).codes, notAuthorized);
    EXPECT_EQ(Call(Move("1", "0", "0"), Token("alice", "wrong")).codes, notAuthorized);
    EXPECT_EQ(Call(Move("1", "0", "0"), Token("mallory", "s3cret")).codes, notAuthorized);
    EXPECT_EQ(Call(Move("1", "0", "0"), Token("alice", "wrong")).status, 400u);
    EXPECT_TRUE(Moves().empty());
    EXPECT_TRUE(Commands().empty());
    // The right password moves; the very same token again is a replay.
    const std::string token = Token("alice", "s3cret");
    EXPECT_EQ(Call(Move("1", "0", "0"), token).status, 200u);
    EXPECT_EQ(Call(Move("1", "0", "0"), token).codes, notAuthorized);
    EXPECT_EQ(Moves().size(), 1u);
    EXPECT_EQ(Authorized(Op("GetProfiles", kTrt)).status, 200u);
}

TEST_F(OnvifDeviceTest, EveryAnswerIsAWellFormedEnvelopeOfItsOperation) {
    settings_.users = {{"alice", "s3cret"}};
    camera_settings_.snapshotUri = "http://192.0.2.10/snap?a=1&b=<2>";
    camera_settings_.model = "Dome \"7\" <x>";
    camera_settings_.manufacturer = "Acme & Sons";
    const struct {
        const char* op;
        const char* ns;
        std::string args;
    } operations[] = {
        {"GetDeviceInformation", kTds, ""},
        {"GetCapabilities", kTds, "<Category>All</Category>"},
        {"GetCapabilities", kTds, "<Category>PTZ</Category>"},
        {"GetServices", kTds, "<IncludeCapability>true</IncludeCapability>"},
        {"GetServices", kTds, "<IncludeCapability>false</IncludeCapability>"},
        {"GetSystemDateAndTime", kTds, ""},
        {"GetScopes", kTds, ""},
        {"GetHostname", kTds, ""},
        {"GetNetworkInterfaces", kTds, ""},
        {"GetProfiles", kTrt, ""},
        {"GetProfile", kTrt, kProfile},
        {"GetStreamUri", kTrt, kProfile},
        {"GetSnapshotUri", kTrt, kProfile},
        {"GetVideoSources", kTrt, ""},
        {"GetNodes", kTptz, ""},
        {"GetNode", kTptz, "<NodeToken>ptz_node</NodeToken>"},
        {"GetConfigurations", kTptz, ""},
        {"GetConfiguration", kTptz, "<PTZConfigurationToken>ptz_config</PTZConfigurationToken>"},
        {"GetConfigurationOptions", kTptz, "<ConfigurationToken>ptz_config</ConfigurationToken>"},
        {"GetStatus", kTptz, kProfile},
        {"GetPresets", kTptz, kProfile},
        {"Stop", kTptz, kProfile},
    };
    for (const auto& o : operations) {
        Answer answer = Authorized(Op(o.op, o.ns, o.args));
        EXPECT_TRUE(answer.wellFormed) << o.op << "\n" << answer.text;
        EXPECT_EQ(answer.status, 200u) << o.op << "\n" << answer.text;
        EXPECT_EQ(answer.element, std::string(o.op) + "Response") << o.op;
    }
    // Values that need escaping come back intact.
    Answer info = Authorized(Op("GetDeviceInformation", kTds));
    EXPECT_NE(info.text.find("Acme &amp; Sons"), std::string::npos);
    EXPECT_NE(info.text.find("Dome &quot;7&quot; &lt;x&gt;"), std::string::npos) << info.text;
    Answer snapshot = Authorized(Op("GetSnapshotUri", kTrt, kProfile));
    EXPECT_NE(snapshot.text.find("http://192.0.2.10/snap?a=1&amp;b=&lt;2&gt;"), std::string::npos);
    // The services are where the client reached the device.
    Answer caps = Authorized(Op("GetCapabilities", kTds));
    EXPECT_NE(caps.text.find("<tt:XAddr>http://192.0.2.1:8081/onvif/ptz_service</tt:XAddr>"),
              std::string::npos);
    Answer scopes = Authorized(Op("GetScopes", kTds));
    EXPECT_NE(scopes.text.find("onvif://www.onvif.org/name/Gate<"), std::string::npos);
    EXPECT_NE(scopes.text.find("onvif://www.onvif.org/hardware/Dome%20%227%22%20%3Cx%3E"),
              std::string::npos)
        << scopes.text;
}

TEST_F(OnvifDeviceTest, WhatIsNotThereIsSaidSo) {
    camera_settings_.streamUri.clear();
    const struct {
        std::string body;
        unsigned status;
        std::vector<std::string> codes;
    } cases[] = {
        {Op("GetStreamUri", kTrt, kProfile), 500, {"env:Receiver", "ter:ActionNotSupported"}},
        {Op("GetSnapshotUri", kTrt, kProfile), 500, {"env:Receiver", "ter:ActionNotSupported"}},
        {Op("AbsoluteMove", kTptz, kProfile), 500, {"env:Receiver", "ter:ActionNotSupported"}},
        {Op("SystemReboot", kTds), 500, {"env:Receiver", "ter:ActionNotSupported"}},
        {Op("GetEventProperties", "xmlns=\"http://www.onvif.org/ver10/events/wsdl\""),
         500,
         {"env:Receiver", "ter:ActionNotSupported"}},
        {Op("GetCapabilities", kTds, "<Category>Events</Category>"),
         500,
         {"env:Receiver", "ter:ActionNotSupported", "ter:NoSuchService"}},
        {Op("GetNode", kTptz, "<NodeToken>other</NodeToken>"),
         400,
         {"env:Sender", "ter:InvalidArgVal", "ter:NoEntity"}},
        {Op("GetConfiguration", kTptz, "<PTZConfigurationToken>x</PTZConfigurationToken>"),
         400,
         {"env:Sender", "ter:InvalidArgVal", "ter:NoConfig"}},
    };
    for (const auto& c : cases) {
        Answer answer = Call(c.body);
        EXPECT_EQ(answer.status, c.status) << c.body;
        EXPECT_EQ(answer.codes, c.codes) << c.body << "\n" << answer.text;
    }
    // SOAP 1.1 is another protocol.
    unsigned status = 0;
    const std::string text = Device().HandleBody(
        "<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"><e:Body><GetNodes " +
            std::string(kTptz) + "/></e:Body></e:Envelope>",
        "http://h", &status);
    Answer old = Read(text, status);
    EXPECT_EQ(old.codes, std::vector<std::string>{"env:VersionMismatch"});
    EXPECT_EQ(old.status, 500u);
}

TEST_F(OnvifDeviceTest, ACameraThatFailsIsAReceiverFault) {
    gate_->SetResult(CameraCall::Kind::Move, HRESULT_FROM_WIN32(ERROR_GEN_FAILURE));
    gate_->SetResult(CameraCall::Kind::Command, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    Answer move = Call(Move("1", "0", "0"));
    EXPECT_EQ(move.status, 500u);
    EXPECT_EQ(move.codes, (std::vector<std::string>{"env:Receiver", "ter:Action"}));
    EXPECT_NE(move.text.find("camera &quot;Gate&quot; did not take the move"), std::string::npos)
        << move.text;
    Answer set = Call(Op("SetPreset", kTptz, kProfile + "<PresetName>Door</PresetName>"));
    EXPECT_EQ(set.codes, (std::vector<std::string>{"env:Receiver", "ter:Action"}));
    // A preset the camera did not store gets no name.
    Answer list = Call(Op("GetPresets", kTptz, kProfile));
    EXPECT_EQ(list.text.find("Door"), std::string::npos);
}

TEST_F(OnvifDeviceTest, TheTimeOutIsCappedByMaxTimeout) {
    settings_.maxTimeout = milliseconds(300);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(Call(Move("1", "0", "0", "<Timeout>PT10S</Timeout>")).status, 200u);
    ASSERT_TRUE(gate_->WaitFor(
        [](const std::vector<CameraCall>& calls) {
            return calls.size() >= 2 && calls.back().pan == 0;
        },
        milliseconds(3000)));
    std::vector<CameraCall> moves = Moves();
    const auto after = moves.back().at - sent;
    EXPECT_GE(after, milliseconds(300));
    EXPECT_LT(after, milliseconds(2000));  // far below the 10 s asked for
}

TEST(OnvifBridge, ServesEachPublishedCameraOverHttp) {
    k47host::Installation installation;
    std::string error;
    ASSERT_TRUE(installation.LoadText("<I/>", &error)) << error;
    k47test::CRecordingCamera* gate = nullptr;
    ComPtr<IUnknown> camera = k47test::CRecordingCamera::Create(&gate);
    installation.Server()->AddCamera(nullptr, u"Gate", camera.Get());
    OnvifSettings settings;
    settings.enabled = true;
    settings.listenAddress = "127.0.0.1";
    settings.presetFile.clear();
    // A port of the system's choice is not offered by the file; take a free one.
    const uint16_t port = FreeTcpPort();
    settings.cameras.push_back({"Gate", port, "", "", "", ""});
    settings.cameras.push_back({"Missing", static_cast<uint16_t>(port + 1), "", "", "", ""});
    OnvifBridge bridge(installation.Server(), settings);
    ASSERT_TRUE(bridge.Start(&error)) << error;
    ASSERT_EQ(bridge.Published().size(), 1u);  // "Missing" is not in the installation
    EXPECT_EQ(bridge.Published()[0].second,
              "http://127.0.0.1:" + std::to_string(port) + "/onvif/device_service");

    const std::string body = Envelope(Op("GetCapabilities", kTds));
    auto post = [&](const std::string& path, const std::string& type) {
        return k47test::Exchange(
            AF_INET, port, k47test::Request("POST", path, body, "Content-Type: " + type + "\r\n"));
    };
    auto reply = post("/onvif/device_service", "application/soap+xml; charset=utf-8");
    EXPECT_EQ(reply.status, 200u);
    // The services are named as the client reached the device (its Host header).
    EXPECT_NE(reply.body.find("<tt:XAddr>http://x/onvif/media_service</tt:XAddr>"),
              std::string::npos)
        << reply.body;
    EXPECT_EQ(post("/onvif/ptz_service", "text/xml").status, 200u);
    EXPECT_EQ(post("/onvif/device_service", "application/json").status, 415u);
    EXPECT_EQ(post("/onvif/other", "application/soap+xml").status, 404u);
    EXPECT_EQ(
        k47test::Exchange(AF_INET, port, k47test::Request("GET", "/onvif/device_service", "", ""))
            .status,
        405u);
    // A move kept by the device is stopped when the bridge stops.
    const std::string move = Envelope(Move("0.5", "0", "0"));
    EXPECT_EQ(k47test::Exchange(AF_INET, port,
                                k47test::Request("POST", "/onvif/ptz_service", move,
                                                 "Content-Type: application/soap+xml\r\n"))
                  .status,
              200u);
    bridge.Stop();
    std::vector<CameraCall> moves = gate->Calls(CameraCall::Kind::Move);
    ASSERT_EQ(moves.size(), 2u);
    EXPECT_EQ(moves[0].pan, 50);
    EXPECT_EQ(moves[1].pan, 0);
}

}  // namespace
