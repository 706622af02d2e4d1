// End-to-end control path through the real host code (an installation built in this process, its
// control service on loopback, a Pelco-D driver on a pty) and the remote client:
//  - MoveRelative on an idle remote client until the move's frame is readable on the pty
//    (session already open: client worker start, datagram, camera, driver, line);
//  - Command(GOTOPRESET) until its frame is readable (SOAP over a new TCP connection each call).
// p50/p99 of each.
#include <algorithm>
#include <atlbase.h>
#include <chrono>
#include <functional>
#include <cstdio>
#include <k47/pty.h>
#include <string>
#include <vector>
#include <wrl/client.h>

#include "frame/K47PTZ.h"
#include "frame/Registration.h"
#include "host/HostServices.h"
#include "host/Installation.h"
#include "tests/support/TestUtil.h"

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

struct Stats {
    double p50, p99;
};

Stats Summarise(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    if (us.empty())
        return {0, 0};
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

// Reads frames from the line until one satisfies `match` or the time is up.
bool ReadUntil(k47::PtyPair& pty, const std::function<bool(const std::vector<uint8_t>&)>& match) {
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < deadline) {
        auto frame = pty.Read(7, std::chrono::milliseconds(500));
        if (frame.size() == 7 && match(frame))
            return true;
    }
    return false;
}

}  // namespace

int main() {
    // ProgIDs resolve through a private registry; the classes themselves are served in-process.
    k47test::ScopedRegistryFolder registry;
    K47RegisterServer(nullptr);
    k47test::RegisterLibraryClasses();
    g_ErrorHandling.SetSink([](CGlobalErrorHandlingEnvironment::Channel, std::string_view) {});
    k47::PtyPair pty;
    std::string xml =
        "<Installation><ControlService Listen=\"127.0.0.1\" Port=\"0\"/><PTZProtocols>"
        "<Protocol Name=\"P\" ProgID=\"K47PTZ.K47PelcoD\" COMPort=\"" +
        pty.slave_path() +
        "\" BaudRate=\"9600\"/></PTZProtocols><Cameras><Camera Name=\"Gate\" Protocol=\"P\" "
        "Address=\"1\"/></Cameras></Installation>";
    k47host::Installation installation;
    std::string error;
    if (!installation.LoadText(xml, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    auto report = installation.Build();
    k47host::HostServices services(installation.Server(), installation.ServiceSettings());
    if (!report.problems.empty() || !services.Start(&error)) {
        std::fprintf(stderr, "installation problems: %zu %s\n", report.problems.size(),
                     error.c_str());
        return 1;
    }
    std::string url = services.Listeners()[0]->BaseUrl();

    ComPtr<IK47PTZClient> client;
    CoCreateInstance(CLSID_PTZClientRemote, nullptr, CLSCTX_INPROC_SERVER, IID_IK47PTZClient,
                     reinterpret_cast<void**>(client.GetAddressOf()));
    CComBSTR address(CA2W(url.c_str())), camera(u"Gate");
    if (FAILED(client->Connect(address, camera))) {
        std::fprintf(stderr, "connect failed\n");
        return 1;
    }
    std::vector<double> moves, commands;
    for (int i = 1; i <= 200; ++i) {
        SHORT pan = static_cast<SHORT>(10 + (i % 80));
        uint8_t speed = static_cast<uint8_t>((pan * 63 / 100) & 0x3F);
        auto start = Clock::now();
        client->MoveRelative(pan, 0, 0, 0, 0);
        bool seen = ReadUntil(
            pty, [&](const std::vector<uint8_t>& f) { return f[3] == 0x02 && f[4] == speed; });
        if (seen)
            moves.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        client->EndMotion();
    }
    for (int i = 1; i <= 200; ++i) {
        uint8_t preset = static_cast<uint8_t>(1 + i % 60);
        auto start = Clock::now();
        client->Command(PTZCMD_GOTOPRESET, preset);
        bool seen = ReadUntil(
            pty, [&](const std::vector<uint8_t>& f) { return f[3] == 0x07 && f[5] == preset; });
        if (seen)
            commands.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    Stats m = Summarise(moves), c = Summarise(commands);
    std::printf("remote MoveRelative -> frame on the pty: p50 %.0f us, p99 %.0f us (%zu of 200)\n",
                m.p50, m.p99, moves.size());
    std::printf(
        "remote Command(GOTOPRESET) -> frame on the pty: p50 %.0f us, p99 %.0f us (%zu of 200)\n",
        c.p50, c.p99, commands.size());
    client.Reset();
    services.Stop();
    installation.Shutdown();
    return 0;
}
