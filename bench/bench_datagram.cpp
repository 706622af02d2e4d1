// Datagram path benchmarks (a probe with its own main):
//  1. A 14-byte datagram sent on loopback until the driver's MoveRelative runs (recording driver),
//     and until the Pelco-D frame is readable on the pty's far end (Pelco-D driver), p50/p99 —
//     next to a raw loop in the same run that receives the same datagram with recvfrom and writes
//     7 bytes to the same pty.
//  2. How many datagrams per second one camera takes before it drops any (sent in bursts at rising
//     rates; a datagram counts as handled when its move reaches the recording driver).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atlbase.h>
#include <chrono>
#include <cstdio>
#include <k47/pty.h>
#include <thread>
#include <vector>
#include <wrl/client.h>

#include "frame/K47PTZ.h"
#include "tests/support/FakeHost.h"
#include "tests/support/RecordingDriver.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UdpPeer.h"

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;
using k47test::DriverCall;

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

// A camera bound through a wrapper to `driver`, with its session started; returns its port.
struct BoundCamera {
    k47test::CFakeHost* hostObject = nullptr;
    ComPtr<IUnknown> host;
    ComPtr<IUnknown> wrapper;
    ComPtr<IK47PTZCamera> camera;
    USHORT port = 0;

    BoundCamera(IUnknown* driver, const char* extraAttributes = "") {
        host = k47test::CFakeHost::Create(&hostObject);
        hostObject->SetVariableStore(false);
        hostObject->AddPath(u"PTZProtocols/Protocol[@Name = \"P\"]", driver);
        CoCreateInstance(CLSID_PTZCamera, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                         reinterpret_cast<void**>(wrapper.GetAddressOf()));
        ComPtr<IK47ObjectConfiguration> configuration;
        wrapper.As(&configuration);
        CComBSTR name(u"Cam");
        std::string xml =
            std::string("<Camera Protocol=\"P\" Address=\"1\" ") + extraAttributes + "/>";
        configuration->Initialize(k47test::XmlElement(xml).Get(), host.Get(),
                                  reinterpret_cast<ULONG_PTR>(name.m_str));
        wrapper.As(&camera);
        ULONG address = 0;
        camera->StartRemoteSession(&address, &port);
    }
    ~BoundCamera() {
        ComPtr<IK47Terminate> terminate;
        if (wrapper && SUCCEEDED(wrapper.As(&terminate)))
            terminate->Terminate(TRUE);
    }
};

void ToRecordingDriver() {
    k47test::CRecordingDriver* driverObject = nullptr;
    ComPtr<IK47PTZProtocol> driver = k47test::CRecordingDriver::Create(&driverObject);
    BoundCamera bound(driver.Get());
    k47test::UdpPeer sender;
    std::vector<double> us;
    for (uint16_t i = 1; i <= 2000; ++i) {
        size_t before = driverObject->Count(DriverCall::Kind::Move);
        auto start = Clock::now();
        sender.SendDatagram(bound.port, k47test::Motion(i, static_cast<int16_t>(1 + i % 50)));
        driverObject->WaitFor(
            [before](const std::vector<DriverCall>& calls) {
                return static_cast<size_t>(
                           std::count_if(calls.begin(), calls.end(), [](const DriverCall& c) {
                               return c.kind == DriverCall::Kind::Move;
                           })) > before;
            },
            std::chrono::seconds(2));
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    Stats s = Summarise(us);
    std::printf(
        "datagram -> recording driver's MoveRelative: p50 %.1f us, p99 %.1f us (%zu datagrams)\n",
        s.p50, s.p99, us.size());
    bound.camera->EndMotion();
}

void ToPty() {
    k47::PtyPair pty;
    ComPtr<IK47ObjectConfiguration> driverConfiguration;
    CoCreateInstance(CLSID_K47PelcoD, nullptr, CLSCTX_INPROC_SERVER, IID_IK47ObjectConfiguration,
                     reinterpret_cast<void**>(driverConfiguration.GetAddressOf()));
    std::string xml =
        "<Protocol Name=\"P\" COMPort=\"" + pty.slave_path() + "\" BaudRate=\"9600\"/>";
    driverConfiguration->Initialize(k47test::XmlElement(xml).Get(), nullptr, 0);
    BoundCamera bound(driverConfiguration.Get());
    pty.Read(64, std::chrono::milliseconds(200));  // whatever the camera's addition sent
    k47test::UdpPeer sender;
    std::vector<double> viaCamera, raw;
    for (uint16_t i = 1; i <= 1000; ++i) {
        auto start = Clock::now();
        sender.SendDatagram(bound.port, k47test::Motion(i, static_cast<int16_t>(1 + i % 50)));
        auto frame = pty.Read(7, std::chrono::seconds(2));
        if (frame.size() == 7)
            viaCamera.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    bound.camera->EndMotion();
    // The camera's stops (11 over 4.4 s) must not mix into the raw loop.
    std::this_thread::sleep_for(std::chrono::milliseconds(4800));
    pty.Read(4096, std::chrono::milliseconds(100));
    driverConfiguration.Reset();

    // The raw loop: recvfrom on a UDP socket, then a 7-byte write to the same pty line.
    int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(udp, reinterpret_cast<sockaddr*>(&local), sizeof(local));
    socklen_t length = sizeof(local);
    ::getsockname(udp, reinterpret_cast<sockaddr*>(&local), &length);
    int line = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
    std::thread loop([&] {
        uint8_t datagram[14];
        const uint8_t frame[7] = {0xFF, 0x01, 0x00, 0x02, 0x10, 0x00, 0x13};
        for (int i = 0; i < 1000; ++i) {
            if (::recvfrom(udp, datagram, sizeof(datagram), 0, nullptr, nullptr) <= 0)
                break;
            if (::write(line, frame, sizeof(frame)) != 7)
                break;
        }
    });
    for (uint16_t i = 1; i <= 1000; ++i) {
        auto start = Clock::now();
        sender.SendDatagram(ntohs(local.sin_port), k47test::Motion(i, 1));
        auto frame = pty.Read(7, std::chrono::seconds(2));
        if (frame.size() == 7)
            raw.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    loop.join();
    ::close(line);
    ::close(udp);
    Stats c = Summarise(viaCamera), r = Summarise(raw);
    std::printf(
        "datagram -> Pelco-D frame on the pty: p50 %.1f us, p99 %.1f us; raw recvfrom + write: p50 "
        "%.1f us, "
        "p99 %.1f us; ratio of p50 %.2f\n",
        c.p50, c.p99, r.p50, r.p99, r.p50 > 0 ? c.p50 / r.p50 : 0.0);
}

void Throughput() {
    k47test::CRecordingDriver* driverObject = nullptr;
    ComPtr<IK47PTZProtocol> driver = k47test::CRecordingDriver::Create(&driverObject);
    BoundCamera bound(driver.Get());
    k47test::UdpPeer sender;
    uint16_t sequence = 1;
    double best = 0;
    for (int rate : {1000, 5000, 10000, 20000, 50000, 100000}) {
        driverObject->ClearCalls();
        const int count = 2000;
        auto gap = std::chrono::nanoseconds(1000000000LL / rate);
        auto next = Clock::now();
        for (int i = 0; i < count; ++i) {
            sender.SendDatagram(bound.port, k47test::Motion(sequence++, 5));
            next += gap;
            while (Clock::now() < next) {
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        size_t handled = driverObject->Count(DriverCall::Kind::Move);
        std::printf("  %6d datagrams/s offered: %zu of %d handled\n", rate, handled, count);
        if (handled == static_cast<size_t>(count))
            best = rate;
    }
    std::printf("one camera handled every datagram up to %.0f datagrams/s (clients send 10/s)\n",
                best);
    bound.camera->EndMotion();
}

}  // namespace

int main() {
    k47test::RegisterLibraryClasses();
    g_ErrorHandling.SetSink([](CGlobalErrorHandlingEnvironment::Channel, std::string_view) {});
    ToRecordingDriver();
    ToPty();
    Throughput();
    return 0;
}
