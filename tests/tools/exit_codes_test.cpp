// The exit codes every program shares (common/ExitCodes.h, docs/operations.md), read the way a
// script or a service manager reads them: a wrong command line, an installation file that cannot
// be used or has problems (with --check and --strict), a control service that cannot listen, an
// unknown camera (the same code through the local client as through the control service), no
// service, no module. And what the messages say without and with --verbose.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "common/ExitCodes.h"
#include "tests/support/TestUtil.h"
#include "tests/tools/ToolProcess.h"

using k47test::BinaryDir;
using k47test::RunCommand;
using namespace std::chrono_literals;

namespace {

std::string Bin(const std::string& tool) {
    return BinaryDir() + "/bin/" + tool;
}

// A registered module, a private runtime folder for the host's object server, and a scratch folder
// for installation files.
class ExitCodes : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string output;
        ASSERT_EQ(k47test::RegisterModuleWithTool(&output), 0) << output;
        setenv("K47_RUNTIME_DIR", (folder_.Path() + "/run").c_str(), 1);
    }
    void TearDown() override { unsetenv("K47_RUNTIME_DIR"); }

    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = folder_.Path() + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    // The host on `file` with `options`; its exit status, its output in *output. A host that
    // starts when it should not is ended after a while (status 124) instead of holding the test.
    int Host(const std::string& file, const std::string& options, std::string* output) {
        output->clear();
        return RunCommand("timeout 20 " + Bin("k47ptz-host") + " --config " + file + " " + options,
                          output);
    }

    k47test::ScopedRegistryFolder registry_;
    k47test::TempFolder folder_;
};

TEST_F(ExitCodes, AWrongCommandLineIsTwoInEveryToolAndHelpPointsAtTheTable) {
    const char* usage[] = {
        "k47ptz-host",
        "k47ptz-host --config x.xml --bogus",
        "ptzctl -c Gate",
        "ptzctl -c Gate move 500 0",
        "ptzsim --protocol sony",
        "ptzsim",
        "k47regsvr",
        "k47regsvr --bogus libK47PTZ.so",
    };
    for (const char* command : usage) {
        std::string output;
        EXPECT_EQ(RunCommand(BinaryDir() + "/bin/" + command, &output), k47exit::kUsage)
            << command << ": " << output;
    }
    for (const char* tool : {"k47ptz-host", "ptzctl", "ptzsim", "k47regsvr"}) {
        std::string output;
        EXPECT_EQ(RunCommand(Bin(tool) + " --help", &output), k47exit::kOk) << tool;
        EXPECT_NE(output.find("docs/operations.md"), std::string::npos) << tool << ": " << output;
    }
}

TEST_F(ExitCodes, AnUnusableFileIsAConfigurationErrorNamingTheFileAndLine) {
    std::string output;
    const std::string missing = folder_.Path() + "/nothere.xml";
    EXPECT_EQ(Host(missing, "", &output), k47exit::kConfiguration) << output;
    EXPECT_NE(output.find(missing), std::string::npos) << output;
    EXPECT_NE(output.find("--config"), std::string::npos) << output;

    const std::string bad = Write("bad.xml", "<Installation>\n<Cameras>\n</Installation>\n");
    EXPECT_EQ(Host(bad, "--check", &output), k47exit::kConfiguration) << output;
    EXPECT_NE(output.find(bad + " is not well-formed XML at line 3"), std::string::npos) << output;

    const std::string port = Write("port.xml",
                                   "<Installation>\n<ControlService Port=\"99999\"/>\n"
                                   "</Installation>\n");
    EXPECT_EQ(Host(port, "", &output), k47exit::kConfiguration) << output;
    EXPECT_NE(output.find("<ControlService> at line 2: Port must be"), std::string::npos) << output;

    // TLS files that cannot be read: found by --check, and without it no listener starts; a
    // restart would not mend it, so it is not told as an address that cannot be bound.
    const std::string tls =
        Write("tls.xml",
              "<Installation>\n<ControlService Listen=\"127.0.0.1\" Port=\"0\" "
              "Certificate=\"/nonexistent/server.pem\" Key=\"/nonexistent/server.key\"/>\n"
              "<Cameras><Camera Name=\"Gate\" Address=\"1\"/></Cameras>\n</Installation>\n");
    EXPECT_EQ(Host(tls, "--check", &output), k47exit::kConfiguration) << output;
    EXPECT_NE(output.find("<ControlService> at line 2: /nonexistent/server.pem cannot be read"),
              std::string::npos)
        << output;
    EXPECT_EQ(Host(tls, "", &output), k47exit::kConfiguration) << output;
    EXPECT_NE(output.find("cannot read certificate file /nonexistent/server.pem"),
              std::string::npos)
        << output;
}

TEST_F(ExitCodes, CheckAndStrictCheckReportInWordsAndTheCodesBehindVerbose) {
    // A misspelt attribute: a warning, a problem only under --strict.
    const std::string misspelt =
        Write("misspelt.xml",
              "<Installation>\n<PTZProtocols><Protocol Name=\"P\" ProgID=\"K47PTZ.K47PelcoD\"/>"
              "</PTZProtocols>\n<Cameras><Camera Name=\"Gate\" Protocol=\"P\" Address=\"1\" "
              "Modell=\"PELCO\"/></Cameras>\n</Installation>\n");
    std::string output;
    EXPECT_EQ(Host(misspelt, "--check", &output), k47exit::kOk) << output;
    // The file, the element and its line: where to mend it.
    EXPECT_NE(output.find("warning: " + misspelt +
                          ": <Camera Name=\"Gate\"> at line 3: attribute "
                          "Modell"),
              std::string::npos)
        << output;
    EXPECT_EQ(Host(misspelt, "--check --strict", &output), k47exit::kConfiguration) << output;
    EXPECT_NE(output.find("1 problem(s)"), std::string::npos) << output;
    // Strict without --check: the host does not start.
    EXPECT_EQ(Host(misspelt, "--strict", &output), k47exit::kConfiguration) << output;
    EXPECT_NE(output.find("not started"), std::string::npos) << output;
    EXPECT_EQ(output.find("ready"), std::string::npos) << output;

    // A missing device: named with what to do; the HRESULT and the library's handler line (with
    // its source line) only with --verbose.
    const std::string device = Write(
        "device.xml",
        "<Installation>\n<PTZProtocols><Protocol Name=\"P\" ProgID=\"K47PTZ.K47PelcoD\" "
        "COMPort=\"/nonexistent/ttyK47\" BaudRate=\"9600\"/></PTZProtocols>\n<Cameras><Camera "
        "Name=\"Gate\" Protocol=\"P\" Address=\"1\"/></Cameras>\n</Installation>\n");
    EXPECT_EQ(Host(device, "--check", &output), k47exit::kConfiguration) << output;
    EXPECT_NE(output.find("<Protocol Name=\"P\"> at line 2: serial port /nonexistent/ttyK47 does "
                          "not exist (is the adapter plugged in? is COMPort right?)"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("(0x8007"), std::string::npos) << output;
    EXPECT_EQ(output.find(" - handler "), std::string::npos) << output;
    EXPECT_EQ(Host(device, "--check --verbose", &output), k47exit::kConfiguration) << output;
    EXPECT_NE(output.find("(0x8007"), std::string::npos) << output;
    EXPECT_NE(output.find(" - handler "), std::string::npos) << output;
}

TEST_F(ExitCodes, AnAddressThatCannotBeBoundStopsTheHostAndFailsTheCheck) {
    int busy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    ASSERT_EQ(getsockname(busy, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string file = Write(
        "busy.xml", "<Installation>\n<ControlService Listen=\"127.0.0.1\" Port=\"" +
                        std::to_string(ntohs(address.sin_port)) +
                        "\"/>\n<PTZProtocols><Protocol Name=\"P\" ProgID=\"K47PTZ.K47PelcoD\"/>"
                        "</PTZProtocols>\n<Cameras><Camera Name=\"Gate\" Protocol=\"P\" "
                        "Address=\"1\"/></Cameras>\n</Installation>\n");
    const std::string said = "<ControlService> at line 2: cannot listen on 127.0.0.1 port " +
                             std::to_string(ntohs(address.sin_port)) +
                             ": another program listens there";
    std::string output;
    EXPECT_EQ(Host(file, "", &output), k47exit::kUnreachable) << output;
    EXPECT_NE(output.find(said), std::string::npos) << output;
    EXPECT_EQ(Host(file, "--check", &output), k47exit::kConfiguration) << output;
    EXPECT_NE(output.find(said), std::string::npos) << output;
    close(busy);
    EXPECT_EQ(Host(file, "--check", &output), k47exit::kOk) << output;
}

TEST_F(ExitCodes, ClientFailuresHaveTheirCodesLocalOrRemote) {
    const std::string file =
        Write("host.xml",
              "<Installation>\n<ControlService Listen=\"127.0.0.1\" Port=\"0\"/>\n<PTZProtocols>"
              "<Protocol Name=\"P\" ProgID=\"K47PTZ.K47PelcoD\"/></PTZProtocols>\n<Cameras><Camera "
              "Name=\"Gate\" Protocol=\"P\" Address=\"1\"/></Cameras>\n</Installation>\n");
    k47test::ToolProcess host(Bin("k47ptz-host"), {"--config", file});
    ASSERT_TRUE(host.started());
    std::string url;
    for (;;) {
        auto line = host.ReadLine(20s);
        ASSERT_TRUE(line.has_value()) << "the host did not become ready: " << host.Stderr();
        if (size_t at = line->find("control service at "); at != std::string::npos)
            url = line->substr(at + 19, line->find("/VLTControl") - at - 19);
        if (line->find("ready") != std::string::npos)
            break;
    }
    ASSERT_FALSE(url.empty());
    const std::string ptzctl = Bin("ptzctl") + " ";

    std::string output;
    EXPECT_EQ(RunCommand(ptzctl + "-s " + url + " -c Gate query", &output), k47exit::kOk) << output;
    // An unknown camera: one code, one message, whichever client looked.
    for (const std::string& how : {"-s " + url, std::string("--local")}) {
        SCOPED_TRACE(how);
        output.clear();
        EXPECT_EQ(RunCommand(ptzctl + how + " -c Nobody query", &output), k47exit::kUnknownCamera)
            << output;
        EXPECT_NE(output.find("the installation has no camera \"Nobody\""), std::string::npos)
            << output;
        EXPECT_EQ(output.find("0x8"), std::string::npos) << output;
        output.clear();
        EXPECT_EQ(RunCommand(ptzctl + "-v " + how + " -c Nobody query", &output),
                  k47exit::kUnknownCamera);
        EXPECT_NE(output.find("error: "), std::string::npos) << output;
        EXPECT_NE(output.find("library: "), std::string::npos) << output;
    }

    ASSERT_TRUE(host.Signal(SIGTERM));
    EXPECT_EQ(host.Wait(10s), k47exit::kOk);
    // Nobody answers there now, remotely nor locally.
    output.clear();
    EXPECT_EQ(RunCommand(ptzctl + "-s " + url + " -c Gate query", &output), k47exit::kUnreachable)
        << output;
    EXPECT_NE(output.find("no control service answered at " + url), std::string::npos) << output;
    output.clear();
    EXPECT_EQ(RunCommand(ptzctl + "--local -c Gate query", &output), k47exit::kUnreachable)
        << output;

    output.clear();
    EXPECT_EQ(RunCommand(ptzctl + "--module /nonexistent/libK47PTZ.so -c Gate query", &output),
              k47exit::kNoModule)
        << output;
    EXPECT_NE(output.find("/nonexistent/libK47PTZ.so cannot be loaded"), std::string::npos)
        << output;
}

}  // namespace
