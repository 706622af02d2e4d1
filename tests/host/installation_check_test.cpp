// What --check and --strict find in an installation file beyond what cannot be built: attributes
// nobody reads (a misspelt BaudRate falls back to no speed, a misspelt Model to the generic
// menu), names given twice, and control-service addresses that cannot be bound; and the library's
// handler lines kept out of the start-up log unless verbose.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "frame/K47PTZModule.h"
#include "host/Installation.h"
#include "host/StartupLog.h"
#include "tests/support/TestUtil.h"

namespace {

struct Built {
    k47host::InstallationReport report;
    std::vector<std::string> log;
};

// Loads `xml` and builds it; the module's classes are registered in a private registry.
Built Build(const std::string& xml, bool strict) {
    k47test::ScopedRegistryFolder registry;
    k47test::RegisterLibraryClasses();
    EXPECT_HR_OK(DllRegisterServer());
    k47test::LogCapture log;
    k47host::Installation installation;
    installation.SetStrict(strict);
    std::string error;
    EXPECT_TRUE(installation.LoadText(xml, &error)) << error;
    Built built{installation.Build(), {}};
    installation.Shutdown();
    built.log = log.Lines();
    return built;
}

size_t Count(const std::vector<std::string>& lines, const std::string& text) {
    size_t n = 0;
    for (const std::string& line : lines)
        n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
}

TEST(InstallationCheck, UnknownAttributesAreWarningsAndStrictlyProblems) {
    // Each case: one file, and the attribute warned of (none: every attribute is read).
    const struct {
        const char* body;
        const char* warned;
    } cases[] = {
        {R"(<ControlService Listen="127.0.0.1" Port="0" MaxConnections="8"/>
            <PTZProtocols Default="P"><Protocol Name="P" ProgID="K47PTZ.K47PelcoD" Debug="0"
              InitIntervalSec="30"/>
            <Protocol Name="N" ProgID="K47PTZ.K47Panasonic" ProtocolVersion="1"/></PTZProtocols>
            <Cameras><Camera Name="a" Address="1" Model="PELCO" TurnON="1" UDPPort="0"/>
              <Camera Name="b" Protocol="N" Address="2"/></Cameras>)",
         nullptr},
        {R"(<ControlService Listen="127.0.0.1" Port="0" Alow="10.0.0.0/8"/>
            <PTZProtocols><Protocol Name="P" ProgID="K47PTZ.K47PelcoD"/></PTZProtocols>
            <Cameras><Camera Name="a" Protocol="P" Address="1"/></Cameras>)",
         "<ControlService> at line 2: attribute Alow is not read"},
        {R"(<PTZProtocols><Protocol Name="P" ProgID="K47PTZ.K47PelcoD" Baudrate="9600"/>
            </PTZProtocols><Cameras><Camera Name="a" Protocol="P" Address="1"/></Cameras>)",
         "<Protocol Name=\"P\"> at line 2: attribute Baudrate is not read by the host nor by "
         "K47PTZ.K47PelcoD"},
        // Pelco-D's camera options mean nothing to a Bosch camera.
        {R"(<PTZProtocols><Protocol Name="B" ProgID="K47PTZ.Bosch"/></PTZProtocols>
            <Cameras><Camera Name="a" Protocol="B" Address="1" TurnON="1"/></Cameras>)",
         "<Camera Name=\"a\"> at line 3: attribute TurnON is not read by the host nor by "
         "K47PTZ.Bosch"},
        {R"(<PTZProtocols><Protocol Name="P" ProgID="K47PTZ.K47PelcoD"/></PTZProtocols>
            <Cameras><Camera Name="a" Protocol="P" Address="1" Modell="PELCO"/></Cameras>)",
         "attribute Modell is not read"},
        {R"(<PortService First="9000" Last="9010" Step="2"/>
            <PTZProtocols><Protocol Name="P" ProgID="K47PTZ.K47PelcoD"/></PTZProtocols>
            <Cameras><Camera Name="a" Protocol="P" Address="1"/></Cameras>)",
         "<PortService> at line 2: attribute Step is not read"},
        // A plug-in's protocol element carries the plug-in's own attributes: not checked.
        {R"(<PTZProtocols><Protocol Name="X" ProgID="K47PTZ.PTZ3PWrapper" Driver="Nope.Driver"
              Whatever="1"/></PTZProtocols>
            <Cameras><Camera Name="a" Protocol="X" Address="1" Lens="wide"/></Cameras>)",
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const std::string xml = std::string("<Installation>\n") + c.body + "</Installation>";
        Built lenient = Build(xml, false);
        ASSERT_EQ(lenient.report.warnings.size(), c.warned != nullptr ? 1u : 0u)
            << (lenient.report.warnings.empty() ? "" : lenient.report.warnings[0]);
        const size_t lenientProblems = lenient.report.problems.size();
        if (c.warned != nullptr) {
            EXPECT_NE(lenient.report.warnings[0].find(c.warned), std::string::npos)
                << lenient.report.warnings[0];
            EXPECT_EQ(Count(lenient.log, "k47ptz-host: warning: "), 1u);
        }

        // Strict: the same finding is a problem, reported once with the others, not logged.
        Built strict = Build(xml, true);
        EXPECT_TRUE(strict.report.warnings.empty());
        EXPECT_EQ(Count(strict.log, "k47ptz-host: warning: "), 0u);
        ASSERT_EQ(strict.report.problems.size(), lenientProblems + (c.warned != nullptr ? 1 : 0));
        if (c.warned != nullptr) {
            EXPECT_EQ(Count(strict.report.problems, c.warned), 1u);
        }
    }
}

TEST(InstallationCheck, ANameGivenTwiceIsAProblemAndTheSecondElementIsLeftOut) {
    Built built = Build(R"(<Installation>
        <PTZProtocols><Protocol Name="P" ProgID="K47PTZ.K47PelcoD"/>
          <Protocol Name="P" ProgID="K47PTZ.Bosch"/></PTZProtocols>
        <Cameras><Camera Name="Gate" Protocol="P" Address="1"/>
          <Camera Name="Gate" Protocol="P" Address="2"/>
          <Camera Name="Yard" Protocol="P" Address="3"/></Cameras></Installation>)",
                        false);
    ASSERT_EQ(built.report.problems.size(), 2u);
    EXPECT_NE(built.report.problems[0].find("<Protocol Name=\"P\"> at line 3: an earlier element "
                                            "has the Name \"P\""),
              std::string::npos)
        << built.report.problems[0];
    EXPECT_NE(built.report.problems[1].find("<Camera Name=\"Gate\"> at line 5: an earlier Camera "
                                            "has the Name \"Gate\""),
              std::string::npos)
        << built.report.problems[1];
    EXPECT_EQ(built.report.protocolsConfigured, 1);
    EXPECT_EQ(built.report.camerasBound, 2);
}

// A listening socket on 127.0.0.1 with a port of the system's choice.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    explicit Listener(bool listen) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            (listen && ::listen(fd, 1) != 0) ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
    }
    ~Listener() { close(fd); }
};

TEST(InstallationCheck, ListenAddressesThatCannotBeBoundAreProblemsAndTheTrialLeavesThemFree) {
    Listener busy(true);
    ASSERT_NE(busy.port, 0);
    // A port that was free a moment ago: taken by nobody once the socket closes.
    uint16_t freePort = 0;
    {
        Listener probe(false);
        freePort = probe.port;
    }
    ASSERT_NE(freePort, 0);
    const std::string xml =
        "<Installation>\n"
        "<ControlService Listen=\"127.0.0.1\" Port=\"" +
        std::to_string(busy.port) +
        "\"/>\n"
        // TEST-NET-1: no machine here has it.
        "<ControlService Listen=\"192.0.2.1\" Port=\"" +
        std::to_string(freePort) +
        "\" DatagramListen=\"127.0.0.1\"/>\n"
        "<ControlService Listen=\"127.0.0.1\" Port=\"" +
        std::to_string(freePort) + "\"/>\n</Installation>";
    k47host::Installation installation;
    std::string error;
    ASSERT_TRUE(installation.LoadText(xml, &error)) << error;
    k47host::InstallationReport report;
    installation.CheckListeners(&report);
    ASSERT_EQ(report.problems.size(), 2u);
    EXPECT_NE(
        report.problems[0].find("<ControlService> at line 2: cannot listen on 127.0.0.1 port " +
                                std::to_string(busy.port) + ": another program listens"),
        std::string::npos)
        << report.problems[0];
    EXPECT_NE(report.problems[1].find("<ControlService> at line 3: cannot listen on 192.0.2.1"),
              std::string::npos)
        << report.problems[1];
    EXPECT_NE(report.problems[1].find("correct Listen"), std::string::npos) << report.problems[1];
    EXPECT_EQ(report.problems[1].find("Cannot assign"), std::string::npos)
        << "the system's text is for --verbose";

    // The trial closed its socket: the free port is still free for the listener to come.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(freePort);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0)
        << "port " << freePort << " still held after the check";
    close(fd);
}

TEST(InstallationCheck, TheLibrarysHandlerLinesWaitForVerboseWhileTheInstallationIsBuilt) {
    const char* handled =
        "Win32 error 2 (gone) raised at SerialPTZ line 102 - handler SerialPTZ line 69";
    const char* unexpected = "12:00:00: thread 7 Unhandled Exception - handler PTZCamera1 line 300";
    const char* plain = "line \"L\" (/dev/ttyUSB9) is down";
    k47test::LogCapture log;
    {
        k47host::QuietLibraryFailures quiet(false);
        g_ErrorHandling.WriteLog("%s\n", handled);
        g_ErrorHandling.WriteLog("%s\n", unexpected);
        g_ErrorHandling.WriteLog("%s\n", plain);
    }
    g_ErrorHandling.WriteLog("after: %s\n", handled);
    {
        k47host::QuietLibraryFailures verbose(true);
        g_ErrorHandling.WriteLog("verbose: %s\n", handled);
    }
    const std::vector<std::string> lines = log.Lines();
    EXPECT_EQ(Count(lines, handled), 2u);  // after, and verbose
    EXPECT_EQ(Count(lines, "after: "), 1u);
    EXPECT_EQ(Count(lines, "verbose: "), 1u);
    EXPECT_EQ(Count(lines, unexpected), 1u);
    EXPECT_EQ(Count(lines, plain), 1u);
}

}  // namespace
