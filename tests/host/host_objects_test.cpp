// The host's object server (lookups by XPath, by name, name + "PTZ", the object name used by the
// binding's fallback, the status check), its variables and its port service, and the cameras'
// session sockets on that service (where they listen, ports held by other programs).
#include <gtest/gtest.h>
#include <atlbase.h>
#include <wrl/client.h>

#include "host/HostObjects.h"
#include "frame/K47PTZModule.h"
#include "host/Installation.h"
#include "tests/camera/CameraFixture.h"
#include "tests/support/FakeHost.h"
#include "tests/support/RecordingDriver.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UdpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <k47/unique_fd.h>

using k47host::CInstallationServer;
using Microsoft::WRL::ComPtr;

namespace {

const char kInstallation[] = R"(<Installation>
  <PTZProtocols Default="Line2">
    <Protocol Name="Line1" ProgID="x"/>
    <Protocol Name="Line2" ProgID="x"/>
    <Protocol Name='Odd"Name' ProgID="x"/>
  </PTZProtocols>
  <Cameras>
    <Camera Name="Gate" Protocol="Line1" Address="1"/>
    <Camera Name="Yard" Address="2"/>
    <Camera Name="Quote" Protocol='Odd"Name' Address="3"/>
  </Cameras>
</Installation>)";

class HostObjectsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        document_ = k47::XmlDocument::LoadString(kInstallation);
        ASSERT_TRUE(document_);
        server_ = CInstallationServer::Create(document_, &server_object_);
        server_object_->SetDefaultProtocol(
            u"Line2");  // as <PTZProtocols Default="Line2"> makes the host do
        std::vector<xmlNode*> nodes;
        document_.SelectNodes("PTZProtocols/Protocol", &nodes);
        const char16_t* names[] = {u"Line1", u"Line2", u"Odd\"Name"};
        for (size_t i = 0; i < nodes.size(); ++i) {
            drivers_.push_back(k47test::CRecordingDriver::Create(&driver_objects_[i]));
            server_object_->AddProtocol(nodes[i], names[i], drivers_.back().Get());
        }
        document_.SelectNodes("Cameras/Camera", &nodes);
        const char16_t* cameras[] = {u"Gate", u"Yard", u"Quote"};
        for (size_t i = 0; i < nodes.size(); ++i) {
            k47test::CFakeHost* ignored = nullptr;
            cameras_.push_back(
                k47test::CFakeHost::Create(&ignored));  // any object stands for a camera
            server_object_->AddCamera(nodes[i], cameras[i], cameras_.back().Get());
        }
    }

    ComPtr<IUnknown> Lookup(const char16_t* name, const char16_t* path, HRESULT* hr) {
        CComBSTR bstrName(name), bstrPath(path);
        ComPtr<IUnknown> object;
        *hr = server_object_->LookupObject(bstrName, bstrPath, object.GetAddressOf());
        return object;
    }

    k47::XmlDocument document_;
    CInstallationServer* server_object_ = nullptr;
    ComPtr<IUnknown> server_;
    k47test::CRecordingDriver* driver_objects_[3] = {};
    std::vector<ComPtr<IK47PTZProtocol>> drivers_;
    std::vector<ComPtr<IUnknown>> cameras_;
};

bool Same(IUnknown* a, IUnknown* b) {
    ComPtr<IUnknown> ia, ib;
    a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ia.GetAddressOf()));
    b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ib.GetAddressOf()));
    return ia.Get() == ib.Get();
}

}  // namespace

TEST_F(HostObjectsTest, LookupsByQueryByNameAndByCameraPart) {
    HRESULT hr = E_FAIL;
    ComPtr<IUnknown> found = Lookup(nullptr, u"PTZProtocols/Protocol[@Name = \"Line2\"]", &hr);
    ASSERT_HR_OK(hr);
    EXPECT_TRUE(Same(found.Get(), drivers_[1].Get()));

    found = Lookup(nullptr, u"PTZProtocols/Protocol[@Name = \"Nothing\"]", &hr);
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), hr);
    // The binding inserts names unescaped: a quote breaks the query, which is refused, not crashed
    // on.
    found = Lookup(nullptr, u"PTZProtocols/Protocol[@Name = \"Odd\"Name\"]", &hr);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_FALSE(found);

    found = Lookup(u"Line1", nullptr, &hr);
    ASSERT_HR_OK(hr);
    EXPECT_TRUE(Same(found.Get(), drivers_[0].Get()));
    found = Lookup(u"Gate", u"PTZ", &hr);
    ASSERT_HR_OK(hr);
    EXPECT_TRUE(Same(found.Get(), cameras_[0].Get()));
    found = Lookup(u"Gate", u"Other", &hr);
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), hr);
    EXPECT_HR(E_INVALIDARG,
              server_object_->LookupObject(nullptr, nullptr, found.ReleaseAndGetAddressOf()));
}

TEST_F(HostObjectsTest, ObjectNamesLeadTheFallbackToTheRightProtocol) {
    const struct {
        const char16_t* camera;
        const char16_t* protocol;
    } cases[] = {{u"Gate", u"Line1"}, {u"Yard", u"Line2"}, {u"Quote", u"Odd\"Name"}};
    for (const auto& c : cases) {
        CComBSTR camera(c.camera);
        CComBSTR result;
        ASSERT_HR_OK(server_object_->GetObjectName(camera, &result));
        EXPECT_EQ(k47test::BstrText(result), std::u16string(c.protocol));
        // ... and the name finds that protocol's driver.
        ComPtr<IUnknown> driver;
        EXPECT_HR_OK(server_object_->LookupObject(result, nullptr, driver.GetAddressOf()));
    }
    CComBSTR unknown(u"Nobody");
    CComBSTR result;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), server_object_->GetObjectName(unknown, &result));
}

TEST_F(HostObjectsTest, StatusCheckTurnsFalseAtShutdownAndVariablesNotifyTheirSinks) {
    EXPECT_HR_OK(server_object_->StatusCheck());
    server_object_->SetShuttingDown();
    EXPECT_HR(S_FALSE, server_object_->StatusCheck());

    CComBSTR name(u"PTZPreset.Gate");
    ComPtr<IK47Variable> first, second;
    ASSERT_HR_OK(server_object_->GetVariable(name, first.GetAddressOf()));
    ASSERT_HR_OK(server_object_->GetVariable(name, second.GetAddressOf()));
    EXPECT_EQ(first.Get(), second.Get());  // one variable per name
    CComVariant four(4L);
    ASSERT_HR_OK(first->SetValue(four));
    CComVariant read;
    ASSERT_HR_OK(second->GetValue(&read));
    EXPECT_EQ(read.vt, VT_I4);
    EXPECT_EQ(read.lVal, 4);
    EXPECT_HR(E_INVALIDARG, first->Unadvise(77));
}

TEST(HostPortService, HandsOutTheRangeRoundRobinAndTakesPortsBack) {
    ComPtr<IK47PortService> service = k47host::CHostPortService::Create(47000, 47002, 0);
    EXPECT_EQ(service->IsEnabled(), 1);
    USHORT a = 0, b = 0, c = 0, d = 0;
    ASSERT_HR_OK(service->AllocatePort(&a));
    ASSERT_HR_OK(service->AllocatePort(&b));
    ASSERT_HR_OK(service->AllocatePort(&c));
    EXPECT_EQ((std::vector<USHORT>{a, b, c}), (std::vector<USHORT>{47000, 47001, 47002}));
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS), service->AllocatePort(&d));
    EXPECT_HR_OK(service->ReleasePort(b));
    EXPECT_HR(S_FALSE, service->ReleasePort(b));  // given back once only
    ASSERT_HR_OK(service->AllocatePort(&d));
    EXPECT_EQ(d, 47001);

    ComPtr<IK47PortService> disabled = k47host::CHostPortService::Create(0, 0, 0);
    EXPECT_EQ(disabled->IsEnabled(), 0);
    EXPECT_TRUE(FAILED(disabled->AllocatePort(&d)));
}

namespace {

// A UDP socket bound as another program would hold it, or an empty one when the port is taken.
k47::UniqueFd HoldUdp(uint32_t address, uint16_t port) {
    k47::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0)
        return k47::UniqueFd();
    return fd;
}

// The first of `count` consecutive UDP ports that were all free a moment ago.
uint16_t FreeUdpRange(int count) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        uint16_t first = k47test::FreeUdpPort();
        bool free = first <= 65535 - count;
        for (int i = 0; free && i < count; ++i)
            free = static_cast<bool>(HoldUdp(INADDR_ANY, static_cast<uint16_t>(first + i)));
        if (free)
            return first;
    }
    return 0;
}

class HostSessionTest : public CameraFixture {
  protected:
    void UsePorts(uint16_t first, uint16_t last, ULONG address) {
        host_ports_ = k47host::CHostPortService::Create(first, last, address);
        driver_object_->SetPortService(host_ports_.Get());
    }
    HRESULT Start(IK47PTZCamera* camera, USHORT* port) {
        ULONG address = 0;
        return camera->StartRemoteSession(&address, port);
    }
    ComPtr<IK47PortService> host_ports_;
};

}  // namespace

// Bound to the service's address alone, the session socket leaves the port free on every other
// address; on every address, it holds the port on all of them.
TEST_F(HostSessionTest, SessionSocketsListenOnlyOnTheServicesAddress) {
    const uint16_t first = FreeUdpRange(2);
    ASSERT_NE(first, 0);
    UsePorts(first, first, INADDR_LOOPBACK);
    ComPtr<IK47PTZCamera> loopback = AddCamera(u"Loop", "Address=\"1\"");
    USHORT port = 0;
    ASSERT_HR_OK(Start(loopback.Get(), &port));
    ASSERT_EQ(port, first);
    EXPECT_TRUE(HoldUdp(0x7F000002, port)) << "the camera listens beyond 127.0.0.1";
    EXPECT_FALSE(HoldUdp(INADDR_LOOPBACK, port));
    k47test::UdpPeer sender;
    ASSERT_TRUE(sender.SendDatagram(port, k47test::Motion(1, 33)));
    EXPECT_TRUE(driver_object_->WaitFor(
        [](const std::vector<k47test::DriverCall>& calls) {
            return !calls.empty() && calls.back().pan == 33;
        },
        std::chrono::seconds(5)));

    UsePorts(first + 1, first + 1, INADDR_ANY);
    ComPtr<IK47PTZCamera> everywhere = AddCamera(u"All", "Address=\"2\"");
    ASSERT_HR_OK(Start(everywhere.Get(), &port));
    ASSERT_EQ(port, first + 1);
    EXPECT_FALSE(HoldUdp(0x7F000002, port));
}

// A port of the range that another program holds is passed over, kept reserved while the search
// goes on (else the service would offer it again), and given back after it; with every port held
// the session is refused as exhausted, in words in the log.
TEST_F(HostSessionTest, PortsHeldByOtherProgramsAreSkippedAndGivenBack) {
    const uint16_t first = FreeUdpRange(3);
    ASSERT_NE(first, 0);
    k47::UniqueFd held0 = HoldUdp(INADDR_ANY, first);
    k47::UniqueFd held1 = HoldUdp(INADDR_LOOPBACK, first + 1);
    ASSERT_TRUE(held0 && held1);
    UsePorts(first, first + 2, INADDR_LOOPBACK);
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"1\"");
    USHORT port = 0;
    ASSERT_HR_OK(Start(camera.Get(), &port));
    EXPECT_EQ(port, first + 2);
    // Both skipped ports are back: the service hands them out again, and nothing else.
    USHORT a = 0, b = 0, c = 0;
    EXPECT_HR_OK(host_ports_->AllocatePort(&a));
    EXPECT_HR_OK(host_ports_->AllocatePort(&b));
    EXPECT_EQ((std::vector<int>{a, b}), (std::vector<int>{first, first + 1}));
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS), host_ports_->AllocatePort(&c));
    host_ports_->ReleasePort(a);
    host_ports_->ReleasePort(b);

    k47::UniqueFd held2 = HoldUdp(INADDR_ANY, first + 2);
    UsePorts(first, first + 1, INADDR_LOOPBACK);
    ComPtr<IK47PTZCamera> starved = AddCamera(u"Starved", "Address=\"2\"");
    k47test::LogCapture log;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS), Start(starved.Get(), &port));
    EXPECT_TRUE(
        log.Contains("no free UDP port for a remote session: 2 port(s) of the host's "
                     "range are held by other programs"));
    EXPECT_HR_OK(host_ports_->AllocatePort(&a));  // given back after the failed search
}

TEST(HostInstallation, RefusesUnusableFilesWithTheLineAndReason) {
    const struct {
        const char* xml;
        const char* expected;
    } cases[] = {
        {"<Installation><ControlService Port=\"99999\"/></Installation>", "Port must be"},
        {"<Installation><ControlService Port=\"80\" Certificate=\"c.pem\"/></Installation>",
         "both Certificate and Key"},
        {"<Installation><ControlService Port=\"80\" ReportAddress=\"host\"/></Installation>",
         "ReportAddress"},
        {"<Installation><PortService First=\"10\" Last=\"5\"/></Installation>", "First and Last"},
        {"<Installation><ControlService Port=\"80\" DatagramListen=\"::1\"/></Installation>",
         "DatagramListen must be an IPv4 address (\"::1\" is none"},
        {"<Installation><ControlService Port=\"80\" MaxConnections=\"0\"/></Installation>",
         "MaxConnections must be a number from 1 to 100000"},
        {"<Installation><ControlService Port=\"80\" MaxConnectionsPerClient=\"-1\"/>"
         "</Installation>",
         "MaxConnectionsPerClient must be a number from 0 to 100000"},
        // TEST-NET-1: no machine here has it.
        {"<Installation><ControlService Port=\"80\" DatagramListen=\"192.0.2.1\"/></Installation>",
         "DatagramListen 192.0.2.1 cannot take datagrams here"},
        {"<Installation>", "line"},
    };
    for (const auto& c : cases) {
        k47host::Installation installation;
        std::string error;
        EXPECT_FALSE(installation.LoadText(c.xml, &error)) << c.xml;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST(HostInstallation, TheShippedExamplesLoad) {
    for (const char* name : {"demo.xml", "single-pelco.xml"}) {
        k47host::Installation installation;
        std::string error;
        EXPECT_TRUE(installation.Load(k47test::SourceDir() + "/examples/" + name, &error))
            << name << ": " << error;
    }
}

// A protocol element naming a class that is no protocol driver is refused before the class is
// configured: the host would hand it a driver's init data, which a camera object takes for its
// own record (it read past the port service object as a name). A camera without a Protocol
// attribute binds to the default protocol.
TEST(HostInstallation, ConfiguresOnlyDriversAndBindsCamerasByNameOrDefault) {
    k47test::ScopedRegistryFolder registry;
    k47test::RegisterLibraryClasses();
    ASSERT_HR_OK(DllRegisterServer());
    k47host::Installation installation;
    std::string error;
    ASSERT_TRUE(installation.LoadText(R"(<Installation><PTZProtocols Default="Line">
        <Protocol Name="Camera" ProgID="K47PTZ.PTZCamera"/>
        <Protocol Name="Stub" ProgID="K47PTZ.PTZCameraStub"/>
        <Protocol Name="Client" ProgID="K47PTZ.PTZClientRemote"/>
        <Protocol Name="Line" ProgID="K47PTZ.K47PelcoD"/>
      </PTZProtocols><Cameras>
        <Camera Name="Gate" Protocol="Line" Address="1"/>
        <Camera Name="Yard" Protocol="Stub" Address="2"/>
        <Camera Name="Dock" Address="3"/>
      </Cameras></Installation>)",
                                      &error))
        << error;
    k47host::InstallationReport report = installation.Build();
    EXPECT_EQ(report.protocolsConfigured, 1);
    EXPECT_EQ(report.camerasBound, 2);
    ASSERT_EQ(report.problems.size(), 4u);
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(report.problems[i].find("is not a protocol driver"), std::string::npos)
            << report.problems[i];
    EXPECT_NE(report.problems[3].find("Yard"), std::string::npos) << report.problems[3];
    auto lines = installation.Server()->CamerasByProtocol();
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].size(), 2u);
    EXPECT_EQ(lines[0][0].name, u"Dock");
    EXPECT_EQ(lines[0][1].name, u"Gate");
    installation.Shutdown();
}

// What a user gets wrong in the file and the host can tell: an address the protocol cannot carry
// (the camera is not made: a cut address steers another camera), a file with no camera, elements
// the host does not read (warnings only: a misspelt element was silently ignored).
TEST(HostInstallation, AddressesOutOfRangeNoCameraAndUnknownElementsAreReported) {
    k47test::ScopedRegistryFolder registry;
    k47test::RegisterLibraryClasses();
    ASSERT_HR_OK(DllRegisterServer());
    const std::string protocols = R"(<PTZProtocols Default="P">
        <Protocol Name="P" ProgID="K47PTZ.K47PelcoD"/>
        <Protocol Name="N" ProgID="K47PTZ.K47Panasonic"/>
        <Protocol Name="B" ProgID="K47PTZ.Bosch"/></PTZProtocols>)";
    const struct {
        const char* cameras;
        int bound;
        const char* problem;  // the one problem, or none
        const char* warning;  // a warning line, or none
    } cases[] = {
        {R"(<Camera Name="a" Address="1"/><Camera Name="b" Address="255"/>
            <Camera Name="c" Protocol="N" Address="99"/><Camera Name="d" Protocol="B" Address="16384"/>)",
         4, nullptr, nullptr},
        {R"(<Camera Name="a" Address="300"/>)", 0,
         "Address 300 is outside K47PTZ.K47PelcoD's 1 to 255", nullptr},
        {R"(<Camera Name="a" Address="0"/>)", 0, "outside K47PTZ.K47PelcoD's 1 to 255", nullptr},
        {R"(<Camera Name="a" Protocol="N" Address="100"/>)", 0,
         "Address 100 is outside K47PTZ.K47Panasonic's 1 to 99", nullptr},
        {R"(<Camera Name="a" Protocol="B" Address="16385"/>)", 0,
         "outside K47PTZ.Bosch's 1 to 16384", nullptr},
        {R"(<Camara Name="a" Address="1"/>)", 0, "the file names no camera",
         "<Camara Name=\"a\"> at line 5 is not read by the host"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cameras);
        k47test::LogCapture log;
        k47host::Installation installation;
        std::string error;
        ASSERT_TRUE(installation.LoadText("<Installation>" + protocols + "\n<Cameras>" + c.cameras +
                                              "</Cameras><Sevrices/></Installation>",
                                          &error))
            << error;
        k47host::InstallationReport report = installation.Build();
        EXPECT_EQ(report.camerasBound, c.bound);
        ASSERT_EQ(report.problems.size(), c.problem != nullptr ? 1u : 0u);
        if (c.problem != nullptr) {
            EXPECT_NE(report.problems[0].find(c.problem), std::string::npos) << report.problems[0];
        }
        EXPECT_TRUE(log.Contains("k47ptz-host: warning: <Sevrices> at line "));
        EXPECT_TRUE(log.Contains("is not read by the host (misspelt?)"));
        if (c.warning != nullptr) {
            EXPECT_TRUE(log.Contains(c.warning));
        }
        installation.Shutdown();
    }
}

// A line whose device is missing: said with the device's name, its cameras kept (the port is
// tried again) and still checked against the protocol's address range.
TEST(HostInstallation, AMissingDeviceIsNamedAndItsCamerasAreStillChecked) {
    k47test::ScopedRegistryFolder registry;
    k47test::RegisterLibraryClasses();
    ASSERT_HR_OK(DllRegisterServer());
    k47host::Installation installation;
    std::string error;
    ASSERT_TRUE(installation.LoadText(
        R"(<Installation><PTZProtocols><Protocol Name="P" ProgID="K47PTZ.K47PelcoD"
             COMPort="/nonexistent/ttyK47" BaudRate="9600"/></PTZProtocols><Cameras>
             <Camera Name="a" Protocol="P" Address="7"/><Camera Name="b" Protocol="P" Address="300"/>
           </Cameras></Installation>)",
        &error))
        << error;
    k47host::InstallationReport report = installation.Build();
    EXPECT_EQ(report.camerasBound, 1);
    ASSERT_EQ(report.problems.size(), 2u);
    EXPECT_NE(report.problems[0].find("serial port /nonexistent/ttyK47 does not exist"),
              std::string::npos)
        << report.problems[0];
    EXPECT_NE(report.problems[1].find("Address 300 is outside"), std::string::npos)
        << report.problems[1];
    installation.Shutdown();
}
