// ptzctl list and status against a host's status page served in this process: a line on a pty
// and one whose device is missing, a camera taken by a remote client, an unknown camera, a server
// that is not there, a camera name that would write a control character to the terminal, and
// HTTPS with the certificates the control client accepts and refuses.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "common/ExitCodes.h"
#include "frame/K47PTZModule.h"
#include "host/HostServices.h"
#include "host/Installation.h"
#include "tests/drivers/DriverTestUtil.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/ScopedRegistryFolder.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UdpPeer.h"

using k47test::RunCommand;
using Microsoft::WRL::ComPtr;

namespace {

// The output line that starts with `start`, or "".
std::string LineStarting(const std::string& output, const std::string& start) {
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(start, 0) == 0)
            return line;
    return {};
}

}  // namespace

TEST(PtzctlStatus, ListAndStatusShowLinesCamerasAndTheirHolder) {
    k47test::ScopedRegistryFolder registry;
    k47test::RegisterLibraryClasses();
    ASSERT_HR_OK(DllRegisterServer());
    k47test::FarEnd line(k47::sim::Protocol::kPelcoD);
    k47host::Installation installation;
    std::string error;
    ASSERT_TRUE(installation.LoadText(
        R"(<Installation><ControlService Listen="127.0.0.1" Port="0"/><PTZProtocols>
             <Protocol Name="Yard" ProgID="K47PTZ.K47PelcoD" COMPort=")" +
            line.Path() + R"(" BaudRate="9600"/>
             <Protocol Name="Gone" ProgID="K47PTZ.K47PelcoD" COMPort="/nonexistent/ttyK47"
                       BaudRate="9600"/>
           </PTZProtocols><Cameras>
             <Camera Name="Gate" Protocol="Yard" Address="1"/>
             <Camera Name="Dock" Protocol="Gone" Address="7"/>
             <Camera Name="Two&#10;Lines" Protocol="Yard" Address="2"/>
           </Cameras></Installation>)",
        &error))
        << error;
    installation.Build();
    k47host::HostServices services(installation.Server(), installation.ServiceSettings());
    ASSERT_TRUE(services.Start(&error)) << error;
    const std::string ptzctl = k47test::BinaryDir() + "/bin/ptzctl -s http://127.0.0.1:" +
                               std::to_string(services.Listeners()[0]->Port());

    std::string output;
    ASSERT_EQ(RunCommand(ptzctl + " list", &output), 0) << output;
    const std::string gone = LineStarting(output, "Gone ");
    EXPECT_NE(gone.find("/nonexistent/ttyK47"), std::string::npos) << output;
    EXPECT_NE(gone.find(" down "), std::string::npos) << output;
    EXPECT_NE(gone.find("(error 3)"), std::string::npos) << output;
    EXPECT_NE(LineStarting(output, "Dock ").find(" down "), std::string::npos) << output;
    EXPECT_NE(LineStarting(output, "Gate ").find(" up "), std::string::npos) << output;
    // A line break in a name is shown as an escape, not written to the terminal.
    EXPECT_NE(LineStarting(output, "Two\\nLines ").find(" up "), std::string::npos) << output;

    output.clear();
    ASSERT_EQ(RunCommand(ptzctl + " -c Dock status", &output), 0) << output;
    EXPECT_NE(output.find("the camera's line is down"), std::string::npos) << output;
    EXPECT_NE(output.find("session: free"), std::string::npos) << output;

    ComPtr<IK47PTZCamera> gate;
    ASSERT_HR_OK(installation.Server()->FindCamera(u"Gate", gate.GetAddressOf()));
    ULONG address = 0;
    USHORT port = 0;
    ASSERT_HR_OK(gate->StartRemoteSession(&address, &port));
    k47test::UdpPeer client;
    ASSERT_TRUE(client.SendDatagram(port, k47test::Motion(1, 10)));
    const std::string holder = "held by 127.0.0.1:" + std::to_string(client.Port()) +
                               "; datagrams from this client would be ignored";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    do {
        output.clear();
        ASSERT_EQ(RunCommand(ptzctl + " -c Gate status", &output), 0) << output;
        if (output.find(holder) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < deadline);
    EXPECT_NE(output.find(holder), std::string::npos) << output;
    EXPECT_NE(output.find("line:    Yard (K47PTZ.K47PelcoD, " + line.Path() + "): up"),
              std::string::npos)
        << output;
    ASSERT_TRUE(client.SendDatagram(
        port, k47test::Motion(2, 0, 0, 0, 0, 0, K47MotionDatagram::kEndOfMotion)));

    output.clear();
    EXPECT_EQ(RunCommand(ptzctl + " -c Nobody status", &output), k47exit::kUnknownCamera) << output;
    output.clear();
    EXPECT_EQ(RunCommand(ptzctl + " status", &output), k47exit::kUsage) << output;

    const uint16_t closed = services.Listeners()[0]->Port();
    services.Stop();
    output.clear();
    EXPECT_EQ(RunCommand(k47test::BinaryDir() +
                             "/bin/ptzctl -s 127.0.0.1:" + std::to_string(closed) + " list",
                         &output),
              k47exit::kUnreachable)
        << output;
    installation.Shutdown();
}

namespace {

void WriteText(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr) << path;
    std::fputs(text.c_str(), file);
    std::fclose(file);
}

}  // namespace

// The certificate is judged as the control client judges it: a trusted authority, in date, for
// server authentication; the host name is not compared. Refused: the certificate's exit code.
TEST(PtzctlStatus, HttpsCertificatesAreJudgedAsTheControlClientJudgesThem) {
    const k47test::TestCertificates& certificates = k47test::TestCertificates::Get();
    const struct {
        const char* name;
        const k47test::ServerIdentity* identity;
        int exit;
    } cases[] = {
        {"good", &certificates.good, 0},
        {"other host", &certificates.otherHost, 0},
        {"unknown authority", &certificates.unknownCa, k47exit::kCertificate},
        {"expired", &certificates.expired, k47exit::kCertificate},
    };
    k47test::TempFolder folder;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string certificate = folder.Path() + "/server.pem";
        const std::string key = folder.Path() + "/server.key";
        WriteText(certificate, c.identity->certificatePem);
        WriteText(key, c.identity->keyPem);
        k47host::Installation installation;
        std::string error;
        ASSERT_TRUE(installation.LoadText(R"(<Installation><ControlService Listen="127.0.0.1"
            Port="0" Certificate=")" + certificate +
                                              R"(" Key=")" + key +
                                              R"("/><Cameras/></Installation>)",
                                          &error))
            << error;
        installation.Build();
        k47host::HostServices services(installation.Server(), installation.ServiceSettings());
        ASSERT_TRUE(services.Start(&error)) << error;
        std::string output;
        EXPECT_EQ(RunCommand(k47test::BinaryDir() + "/bin/ptzctl -s https://127.0.0.1:" +
                                 std::to_string(services.Listeners()[0]->Port()) + " list",
                             &output),
                  c.exit)
            << output;
        services.Stop();
        installation.Shutdown();
    }
}
