// Camera object benchmarks (a probe with its own main):
//  1. Dead-man accuracy: N cameras on one recording driver all move at once; each camera's stop
//     is compared with its due time (5 s after its move). Then all end their motion and each of
//     the 11 stops is compared with its due time (0.4 s after the previous stop, the timer being
//     re-armed at every firing). Lateness p50/p99/max for N = 1, 100, 1000.
//  2. The cost of one MoveRelative through wrapper → camera → driver, next to a direct virtual
//     call on a driver and a raw timerfd_settime (what the camera adds: the lock and re-arming
//     the motion timer).
//  3. Memory and threads per camera.
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atlbase.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>
#include <wrl/client.h>

#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"
#include "tests/support/FakeHost.h"
#include "tests/support/RecordingDriver.h"
#include "tests/support/TestUtil.h"

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;
using k47test::DriverCall;

namespace {

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

long ReadStatus(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::string(field).size()));
    return -1;
}

class CNullDriver : public CK47ComObjectRoot, public IK47PTZProtocol {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable() {
        static constexpr K47InterfaceEntry kTable[] = {K47Entry<CNullDriver, IK47PTZProtocol>()};
        return kTable;
    }
    HRESULT STDMETHODCALLTYPE AddCamera(BSTR name, IXMLDOMElement* element, IUnknown* outer,
                                        IUnknown** camera) override {
        return k47test::CreateRealCamera(name, element, outer, static_cast<IK47PTZProtocol*>(this),
                                         nullptr, nullptr, camera);
    }
    HRESULT STDMETHODCALLTYPE MoveRelative(INT_PTR, SHORT, SHORT, SHORT, SHORT, SHORT) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Command(INT_PTR, PTZCOMMAND, INT_PTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE MenuCommand(INT_PTR, PTZMENUCOMMAND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE QueryFunctions(INT_PTR, PTZFUNCTION*, ULONG*) override {
        return S_OK;
    }

  protected:
    CNullDriver() = default;
    ~CNullDriver() = default;
};

// Cameras bound through wrappers to one driver object.
struct Installation {
    k47test::CFakeHost* hostObject = nullptr;
    ComPtr<IUnknown> host;
    std::vector<ComPtr<IUnknown>> wrappers;
    std::vector<ComPtr<IK47PTZCamera>> cameras;

    explicit Installation(IUnknown* driver) {
        host = k47test::CFakeHost::Create(&hostObject);
        hostObject->SetVariableStore(false);
        hostObject->AddPath(u"PTZProtocols/Protocol[@Name = \"P\"]", driver);
    }
    void Add(int address) {
        ComPtr<IUnknown> wrapper;
        CoCreateInstance(CLSID_PTZCamera, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                         reinterpret_cast<void**>(wrapper.GetAddressOf()));
        ComPtr<IK47ObjectConfiguration> configuration;
        wrapper.As(&configuration);
        CComBSTR name(u"Cam");
        std::string xml = "<Camera Protocol=\"P\" Address=\"" + std::to_string(address) + "\"/>";
        configuration->Initialize(k47test::XmlElement(xml).Get(), host.Get(),
                                  reinterpret_cast<ULONG_PTR>(name.m_str));
        ComPtr<IK47PTZCamera> camera;
        wrapper.As(&camera);
        wrappers.push_back(wrapper);
        cameras.push_back(camera);
    }
    ~Installation() {
        for (auto& wrapper : wrappers) {
            ComPtr<IK47Terminate> terminate;
            if (SUCCEEDED(wrapper.As(&terminate)))
                terminate->Terminate(TRUE);
        }
    }
};

void Accuracy(int count) {
    k47test::CRecordingDriver* driverObject = nullptr;
    ComPtr<IK47PTZProtocol> driver = k47test::CRecordingDriver::Create(&driverObject);
    long rssBefore = ReadStatus("VmRSS:");
    long threadsBefore = ReadStatus("Threads:");
    Installation installation(driver.Get());
    for (int i = 1; i <= count; ++i)
        installation.Add(i);
    long rssAfter = ReadStatus("VmRSS:");
    long threadsAfter = ReadStatus("Threads:");

    // Time-out stops.
    std::vector<Clock::time_point> moved(count + 1);
    for (int i = 1; i <= count; ++i) {
        installation.cameras[i - 1]->MoveRelative(20, 0, 0, 0, 0);
        moved[i] = Clock::now();
    }
    driverObject->WaitForStops(count, std::chrono::seconds(30));
    std::vector<double> timeoutLateness;
    for (const DriverCall& call : driverObject->Calls())
        if (call.IsStop())
            timeoutLateness.push_back(std::chrono::duration<double, std::milli>(
                                          call.at - moved[call.address] - std::chrono::seconds(5))
                                          .count());
    driverObject->ClearCalls();

    // Stop repeats.
    std::vector<Clock::time_point> ended(count + 1);
    for (int i = 1; i <= count; ++i) {
        installation.cameras[i - 1]->EndMotion();
        ended[i] = Clock::now();
    }
    driverObject->WaitForStops(static_cast<size_t>(11 * count), std::chrono::seconds(60));
    std::vector<double> repeatLateness;
    std::vector<Clock::time_point> previous = ended;
    std::vector<double> drift;
    std::vector<int> seen(count + 1, 0);
    for (const DriverCall& call : driverObject->Calls()) {
        if (!call.IsStop())
            continue;
        repeatLateness.push_back(
            std::chrono::duration<double, std::milli>(call.at - previous[call.address] -
                                                      std::chrono::milliseconds(400))
                .count());
        previous[call.address] = call.at;
        if (++seen[call.address] == 11)
            drift.push_back(std::chrono::duration<double, std::milli>(
                                call.at - ended[call.address] - std::chrono::milliseconds(4400))
                                .count());
    }
    Percentiles t = Summarise(timeoutLateness), r = Summarise(repeatLateness), d = Summarise(drift);
    std::printf(
        "%5d cameras: time-out stop lateness p50 %.2f ms p99 %.2f ms max %.2f ms (%zu stops)\n",
        count, t.p50, t.p99, t.max, timeoutLateness.size());
    std::printf(
        "               repeat stop lateness  p50 %.2f ms p99 %.2f ms max %.2f ms (%zu stops)\n",
        r.p50, r.p99, r.max, repeatLateness.size());
    std::printf(
        "               11th stop after EndMotion, beyond 4.4 s: p50 %.2f ms p99 %.2f ms max %.2f "
        "ms\n",
        d.p50, d.p99, d.max);
    std::printf("               per camera: %.1f KiB resident, %.2f threads\n",
                static_cast<double>(rssAfter - rssBefore) / count,
                static_cast<double>(threadsAfter - threadsBefore) / count);
}

void CallCost() {
    ComPtr<IUnknown> identity;
    CNullDriver* nullDriver = nullptr;
    K47CreateInstance<CNullDriver>(identity.GetAddressOf(), &nullDriver);
    IK47PTZProtocol* driver = nullDriver;
    Installation installation(driver);
    installation.Add(1);
    IK47PTZCamera* camera = installation.cameras[0].Get();
    constexpr int kCalls = 200000;

    auto time = [&](auto&& body) {
        auto start = Clock::now();
        for (int i = 0; i < kCalls; ++i)
            body(i);
        return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kCalls;
    };
    double viaCamera =
        time([&](int i) { camera->MoveRelative(static_cast<SHORT>(i & 63), 0, 0, 0, 0); });
    double direct =
        time([&](int i) { driver->MoveRelative(1, static_cast<SHORT>(i & 63), 0, 0, 0, 0); });
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    itimerspec spec{};
    spec.it_value.tv_sec = 5;
    double rawTimer = time([&](int) { timerfd_settime(fd, 0, &spec, nullptr); });
    close(fd);
    std::printf(
        "MoveRelative through wrapper and camera: %.0f ns/call; direct driver call: %.1f ns/call; "
        "raw timerfd_settime: %.0f ns/call\n",
        viaCamera, direct, rawTimer);
    installation.cameras.clear();
}

}  // namespace

int main(int argc, char** argv) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;  // each camera holds a handful of descriptors
    setrlimit(RLIMIT_NOFILE, &limit);
    k47test::RegisterLibraryClasses();
    g_ErrorHandling.SetSink([](CGlobalErrorHandlingEnvironment::Channel, std::string_view) {});
    CallCost();
    int largest = argc > 1 ? std::atoi(argv[1]) : 1000;
    for (int count : {1, 100, 1000})
        if (count <= largest)
            Accuracy(count);
    return 0;
}
