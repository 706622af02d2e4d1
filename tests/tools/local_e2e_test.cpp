// End to end on this machine: the module registered with k47regsvr, a Pelco-D camera simulated by
// ptzsim, the host registered as the object server's LocalServer32 command and started on demand
// by the first local client (ptzctl --local), commands and motion reaching the simulated camera
// through the host, an unknown camera reported, and the host withdrawing its socket when it stops.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <k47/localserver.h>
#include <k47/registry.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "frame/K47PTZ.h"
#include "tests/support/TestUtil.h"

extern char** environ;

using k47test::BinaryDir;
using k47test::RunCommand;
using namespace std::chrono_literals;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A process gone, or a zombie nobody reaps (in a container without an init that reaps).
bool Gone(pid_t pid) {
    if (kill(pid, 0) != 0)
        return true;
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// The process serving a Unix socket.
pid_t ServerOf(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    pid_t pid = -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        ucred cred{};
        socklen_t size = sizeof(cred);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0)
            pid = cred.pid;
    }
    close(fd);
    return pid;
}

TEST(LocalClientEndToEnd, PtzctlSteersACameraThroughAHostStartedOnDemand) {
    k47test::ScopedRegistryFolder registry;
    k47test::TempFolder folder;
    const std::string bin = BinaryDir() + "/bin/";
    setenv("K47_RUNTIME_DIR", (folder.Path() + "/run").c_str(), 1);
    std::string output;
    ASSERT_EQ(0, RunCommand(bin + "k47regsvr " + BinaryDir() + "/lib/libK47PTZ.so", &output))
        << output;

    // The simulated camera's line.
    const std::string link = folder.Path() + "/pelco.tty";
    const std::string simLog = folder.Path() + "/sim.log";
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, simLog.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::string simPath = bin + "ptzsim";
    const char* simArgs[] = {simPath.c_str(), "-p", "pelco-d", "--link", link.c_str(), nullptr};
    pid_t sim = 0;
    ASSERT_EQ(0, posix_spawn(&sim, simPath.c_str(), &files, nullptr, const_cast<char**>(simArgs),
                             environ));
    posix_spawn_file_actions_destroy(&files);
    ASSERT_TRUE(k47test::WaitUntil([&] { return std::filesystem::exists(link); }, 10s));

    const std::string config = folder.Path() + "/installation.xml";
    std::ofstream(config)
        << "<?xml version=\"1.0\"?>\n<Installation>\n"
           "  <PTZProtocols><Protocol Name=\"Line\" ProgID=\"K47PTZ.K47PelcoD\" COMPort=\""
        << link
        << "\" BaudRate=\"9600\"/></PTZProtocols>\n"
           "  <Cameras><Camera Name=\"Gate\" Protocol=\"Line\" Address=\"1\"/></Cameras>\n"
           "</Installation>\n";
    k47::ResetRegistryForTests();  // see what k47regsvr wrote
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CLASSES_ROOT,
                              "CLSID\\{DF5CD2DB-D5D3-4C51-9B18-51FFFF869E4F}\\LocalServer32", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    const std::string command = "\"" + bin + "k47ptz-host\" --config \"" + config + "\"";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, nullptr, 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(command.c_str()),
                                            static_cast<DWORD>(command.size() + 1)));
    RegCloseKey(key);
    k47::ResetRegistryForTests();

    // Nobody serves yet: the first local client starts the host.
    const std::string socketPath = k47::LocalServerSocketPath(CLSID_K47ObjectServer);
    EXPECT_FALSE(std::filesystem::exists(socketPath));
    output.clear();
    EXPECT_EQ(0, RunCommand(bin + "ptzctl --local -c Gate preset go 3", &output)) << output;
    EXPECT_TRUE(k47test::WaitUntil(
        [&] { return ReadFile(simLog).find("preset 3") != std::string::npos; }, 5s))
        << ReadFile(simLog);
    pid_t host = ServerOf(socketPath);
    ASSERT_GT(host, 0);

    output.clear();
    EXPECT_EQ(0, RunCommand(bin + "ptzctl --local -c Gate move 40 -20 --for 0.4", &output))
        << output;
    EXPECT_TRUE(
        k47test::WaitUntil([&] { return ReadFile(simLog).find("stop") != std::string::npos; }, 5s))
        << ReadFile(simLog);
    EXPECT_NE(std::string::npos, ReadFile(simLog).find("move")) << ReadFile(simLog);
    EXPECT_EQ(host, ServerOf(socketPath)) << "the running host serves the next client";

    // The camera's status from the object server: its line, the line's driver, the holder.
    output.clear();
    EXPECT_EQ(0, RunCommand(bin + "ptzctl --local -c Gate status", &output)) << output;
    EXPECT_NE(std::string::npos, output.find("camera:  Gate, address 1")) << output;
    EXPECT_NE(std::string::npos, output.find("line:    Line (" + link + "): up")) << output;
    EXPECT_NE(std::string::npos, output.find("session: free")) << output;

    output.clear();
    // The code of an unknown camera, as through the control service; the lookup's HRESULT with -v.
    EXPECT_EQ(5, RunCommand(bin + "ptzctl -v --local -c Nobody preset go 1", &output)) << output;
    EXPECT_NE(std::string::npos, output.find("no camera \"Nobody\"")) << output;
    EXPECT_NE(std::string::npos, output.find("0x80070490")) << output;

    // The host withdraws its object server when it stops.
    ASSERT_EQ(0, kill(host, SIGTERM));
    EXPECT_TRUE(k47test::WaitUntil([&] { return Gone(host); }, 10s));
    EXPECT_FALSE(std::filesystem::exists(socketPath));

    // With no host running and none to start, the user is told what is missing.
    ASSERT_EQ(ERROR_SUCCESS,
              RegDeleteKeyA(HKEY_CLASSES_ROOT,
                            "CLSID\\{DF5CD2DB-D5D3-4C51-9B18-51FFFF869E4F}\\LocalServer32"));
    k47::ResetRegistryForTests();
    output.clear();
    EXPECT_EQ(4, RunCommand(bin + "ptzctl --local -c Gate query", &output)) << output;
    EXPECT_NE(std::string::npos, output.find("no k47ptz-host serves local clients")) << output;
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    unsetenv("K47_RUNTIME_DIR");
}

}  // namespace
