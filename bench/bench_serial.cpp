// Serial driver latency (a probe with its own main), all on one pty pair in one run:
//  1. raw: write(2) of a 7-byte frame on the line, read back on the far end — the floor;
//  2. the Pelco-D driver's MoveRelative called directly (lock, purge, WriteFile, tcdrain);
//  3. MoveRelative on a PTZCamera wrapper bound to the Pelco-D driver (wrapper → camera object →
//     driver), as hosts and clients call it;
// each timed from the call until the 7 bytes are readable on the far end; p50/p99 and the ratio
// to the raw path. Then two threads moving two cameras on the same line at once, to show what the
// port lock does under contention (a move that finds the line busy is dropped with S_FALSE, and
// the camera's next move waits for the line).
//
// With --read-counters=US a thread reads the line's and both cameras' counters every US
// microseconds (0: without pause) during 2. to 4., as a host's metrics page would, to show
// whether reading them costs the control path anything; the reads made are printed.
//
// These are software costs. A synchronous WriteFile returns only once the frame has left the
// wire, so the line time of the frame (10 bits a byte with start and stop bit) is part of every
// driver write: at a real 9600 Bd that is 70 / 9600 s = 7.29 ms a frame (at most 137 frames/s
// on the line, shared by every camera on it), which would bury the software and make 20000
// rounds take minutes. The line is therefore set to kBaud = 4000000 Bd: 17.5 us a frame, printed
// next to the figures and subtracted from the driver paths. A raw write(2) on a pty does not wait
// for the wire, so the raw floor carries no line time.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atlbase.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <k47/pty.h>
#include <string>
#include <thread>
#include <vector>
#include <wrl/client.h>

#include "frame/K47PTZ.h"
#include "tests/support/FakeHost.h"
#include "tests/support/TestUtil.h"

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRounds = 20000;
constexpr int kBaud = 4000000;
// One 7-byte frame on the wire at kBaud, in microseconds.
constexpr double kFrameUs = 70.0 * 1e6 / kBaud;

struct Percentiles {
    double p50, p99, max;
};

Percentiles Summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    if (values.empty())
        return {0, 0, 0};
    auto at = [&](double q) {
        return values[std::min(values.size() - 1, static_cast<size_t>(q * values.size()))];
    };
    return {at(0.50), at(0.99), values.back()};
}

// Times `send` until the 7 bytes it writes are read on the far end; microseconds per round.
template <class Send>
std::vector<double> Measure(k47::PtyPair& pty, Send&& send, int* lost) {
    std::vector<double> samples;
    samples.reserve(kRounds);
    for (int i = 0; i < kRounds; ++i) {
        auto start = Clock::now();
        send(i);
        std::vector<uint8_t> got = pty.Read(7, std::chrono::milliseconds(1000));
        auto end = Clock::now();
        if (got.size() != 7) {
            ++*lost;
            continue;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    return samples;
}

// `lineUs`: the line time included in each round (0: none), printed and subtracted.
void Print(const char* name, const Percentiles& p, double floor, double lineUs) {
    std::printf("  %-40s p50 %7.1f us  p99 %7.1f us  max %8.1f us  (p50 x%.1f of raw", name, p.p50,
                p.p99, p.max, floor > 0 ? p.p50 / floor : 0.0);
    if (lineUs > 0)
        std::printf("; line time %.1f us, p50 less it %.1f us", lineUs, p.p50 - lineUs);
    std::printf(")\n");
}

}  // namespace

int main(int argc, char** argv) {
    long readEveryUs = -1;  // no reader
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--read-counters=", 16) == 0)
            readEveryUs = std::atol(argv[i] + 16);
    k47test::RegisterLibraryClasses();
    k47test::LogCapture quiet;
    k47::PtyPair pty;

    // 1. Raw write + read on the same pair (before the driver takes the line exclusively).
    int raw = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (raw < 0) {
        std::perror("open");
        return 1;
    }
    termios tio{};
    tcgetattr(raw, &tio);
    cfmakeraw(&tio);
    tcsetattr(raw, TCSANOW, &tio);
    const uint8_t frame[7] = {0xFF, 0x01, 0x00, 0x02, 0x3F, 0x00, 0x42};
    int lostRaw = 0;
    Percentiles rawP = Summarise(Measure(
        pty,
        [&](int) {
            if (write(raw, frame, sizeof(frame)) != static_cast<ssize_t>(sizeof(frame)))
                std::perror("write");
        },
        &lostRaw));
    close(raw);

    // The driver on the line and a camera bound to it through a wrapper, as a host makes them.
    ComPtr<IK47ObjectConfiguration> driverConfiguration;
    CoCreateInstance(CLSID_K47PelcoD, nullptr, CLSCTX_INPROC_SERVER, IID_IK47ObjectConfiguration,
                     reinterpret_cast<void**>(driverConfiguration.GetAddressOf()));
    std::string attributes = "<Protocol COMPort=\"" + pty.slave_path() + "\" BaudRate=\"" +
                             std::to_string(kBaud) + "\"/>";
    k47test::CFakeHost* hostObject = nullptr;
    ComPtr<IUnknown> host = k47test::CFakeHost::Create(&hostObject);
    hostObject->SetVariableStore(false);
    if (!driverConfiguration || FAILED(driverConfiguration->Initialize(
                                    k47test::XmlElement(attributes).Get(), host.Get(), 0))) {
        std::fprintf(stderr, "the driver could not open %s\n", pty.slave_path().c_str());
        return 1;
    }
    ComPtr<IK47PTZProtocol> driver;
    driverConfiguration.As(&driver);
    hostObject->AddPath(u"PTZProtocols/Protocol[@Name = \"P\"]", driver.Get());
    std::vector<ComPtr<IUnknown>> wrappers;
    std::vector<ComPtr<IK47PTZCamera>> cameras;
    for (int address : {1, 2}) {
        ComPtr<IUnknown> wrapper;
        CoCreateInstance(CLSID_PTZCamera, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                         reinterpret_cast<void**>(wrapper.GetAddressOf()));
        ComPtr<IK47ObjectConfiguration> configuration;
        wrapper.As(&configuration);
        CComBSTR name(address == 1 ? u"One" : u"Two");
        std::string xml = "<Camera Protocol=\"P\" Address=\"" + std::to_string(address) + "\"/>";
        configuration->Initialize(k47test::XmlElement(xml).Get(), host.Get(),
                                  reinterpret_cast<ULONG_PTR>(name.m_str));
        ComPtr<IK47PTZCamera> camera;
        if (FAILED(wrapper.As(&camera))) {
            std::fprintf(stderr, "camera %d not bound\n", address);
            return 1;
        }
        wrappers.push_back(wrapper);
        cameras.push_back(camera);
    }

    std::atomic<bool> readerStop{false};
    std::atomic<long> reads{0};
    std::thread reader;
    if (readEveryUs >= 0) {
        ComPtr<IK47LineCounters> line;
        driver.As(&line);
        std::vector<ComPtr<IK47CameraCounters>> sources(cameras.size());
        for (size_t c = 0; c < cameras.size(); ++c)
            cameras[c].As(&sources[c]);
        reader = std::thread([&, line, sources] {
            while (!readerStop.load(std::memory_order_relaxed)) {
                K47LINECOUNTERS lineCounters{};
                lineCounters.cbSize = sizeof(lineCounters);
                if (line)
                    line->GetLineCounters(&lineCounters);
                for (const auto& source : sources) {
                    K47CAMERACOUNTERS cameraCounters{};
                    cameraCounters.cbSize = sizeof(cameraCounters);
                    if (source)
                        source->GetCameraCounters(&cameraCounters);
                }
                ++reads;
                if (readEveryUs > 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(readEveryUs));
            }
        });
    }

    // 2. and 3.
    int lostDriver = 0;
    int busyDriver = 0;
    Percentiles driverP = Summarise(Measure(
        pty,
        [&](int i) {
            if (driver->MoveRelative(1, static_cast<SHORT>(1 + i % 100), 0, 0, 0, 0) != S_OK)
                ++busyDriver;
        },
        &lostDriver));
    int lostCamera = 0;
    int busyCamera = 0;
    Percentiles cameraP = Summarise(Measure(
        pty,
        [&](int i) {
            if (cameras[0]->MoveRelative(static_cast<SHORT>(1 + i % 100), 0, 0, 0, 0) != S_OK)
                ++busyCamera;
        },
        &lostCamera));

    std::printf(
        "7-byte Pelco-D frame until readable on the far end of a pty, %d rounds each; the driver's "
        "line at %d Bd (%.1f us a frame):\n",
        kRounds, kBaud, kFrameUs);
    Print("raw write(2) + read", rawP, rawP.p50, 0);
    Print("driver MoveRelative", driverP, rawP.p50, kFrameUs);
    Print("wrapper -> camera -> driver MoveRelative", cameraP, rawP.p50, kFrameUs);
    std::printf(
        "  lost frames: raw %d, driver %d, camera %d; busy-line drops: driver %d, camera %d\n",
        lostRaw, lostDriver, lostCamera, busyDriver, busyCamera);

    // 4. Two cameras moving at once on one line; the far end drains and counts.
    std::atomic<bool> stop{false};
    std::atomic<long> bytes{0};
    std::thread drain([&] {
        while (!stop)
            bytes +=
                static_cast<long>(pty.ReadAvailable(4096, std::chrono::milliseconds(20)).size());
    });
    std::atomic<long> sent[2] = {0, 0};
    std::atomic<long> dropped[2] = {0, 0};
    auto until = Clock::now() + std::chrono::seconds(2);
    std::vector<std::thread> movers;
    for (int c = 0; c < 2; ++c) {
        movers.emplace_back([&, c] {
            while (Clock::now() < until) {
                HRESULT hr = cameras[c]->MoveRelative(50, 0, 0, 0, 0);
                if (hr == S_OK)
                    ++sent[c];
                if (hr == S_FALSE)
                    ++dropped[c];
            }
        });
    }
    for (auto& mover : movers)
        mover.join();
    stop = true;
    drain.join();
    long frames = bytes / 7;
    readerStop = true;
    if (reader.joinable()) {
        reader.join();
        std::printf("counters read %ld times (line and both cameras each time) meanwhile\n",
                    reads.load());
    }
    std::printf(
        "two cameras moving flat out for 2 s on one line: %ld + %ld moves sent (%ld frames read), "
        "%ld + %ld dropped as busy (%.1f%% of calls)\n",
        sent[0].load(), sent[1].load(), frames, dropped[0].load(), dropped[1].load(),
        100.0 * (dropped[0] + dropped[1]) /
            std::max<long>(1, sent[0] + sent[1] + dropped[0] + dropped[1]));
    std::printf(
        "line limit for 7-byte frames: %.0f frames/s at %d Bd (a real 9600-baud line: 7.29 ms "
        "each, 137 frames/s); the two cameras put %.0f frames/s on it here\n",
        1e6 / kFrameUs, kBaud, frames / 2.0);

    for (auto& wrapper : wrappers) {
        ComPtr<IK47Terminate> terminate;
        if (SUCCEEDED(wrapper.As(&terminate)))
            terminate->Terminate(TRUE);
    }
    return 0;
}
