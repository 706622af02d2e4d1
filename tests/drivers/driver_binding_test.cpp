// Each driver class created through CoCreateInstance, configured on its own pty, and bound to a
// camera through a PTZCamera wrapper by a fake host's object server, as the host does it: a move
// through the wrapper reaches the far end's decoder, and 5 s of silence bring the camera's stop
// frame onto the line. The four lines run at once.
#include <gtest/gtest.h>
#include <atlbase.h>
#include <k47/strings.h>

#include "tests/drivers/DriverTestUtil.h"
#include "tests/support/FakeHost.h"

namespace {

using namespace k47test;
using k47::sim::DecodedFrame;
using k47::sim::FrameKind;
using k47::sim::Protocol;
using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

struct Binding {
    const char* protocolName;
    const CLSID* clsid;
    const char* driverProgId;
    Protocol protocol;
    int address;
    std::string move;  // hex of what MoveRelative(100, 0, 0, 0, 0) writes
    PTZFUNCTION functions;
    ULONG presets;
};

const Binding kBindings[] = {
    {"PelcoLine", &CLSID_K47PelcoD, "K47PTZ.K47PelcoD", Protocol::kPelcoD, 3,
     "ff 03 00 02 3f 00 44", static_cast<PTZFUNCTION>(0x1A), 15},
    {"PanasonicLine", &CLSID_K47Panasonic, "K47PTZ.K47Panasonic", Protocol::kPanasonic, 3,
     Hex(Stx("RON:7;GC^:202136C:2022700:2021264:2022000:0021004")), static_cast<PTZFUNCTION>(0x2F),
     64},
    {"BoschLine", &CLSID_Bosch, "K47PTZ.Bosch", Protocol::kBosch, 200, "87 01 47 05 00 78 01 4d",
     static_cast<PTZFUNCTION>(0), 1023},
    {"PlugInLine", &CLSID_PTZ3PWrapper, "K47PTZ.PTZ3PWrapper", Protocol::kPelcoD, 9,
     "ff 09 00 02 3f 00 4a", static_cast<PTZFUNCTION>(0x1A), 15},
};

TEST(DriverBinding, MoveReachesTheLineAndSilenceBringsTheStop) {
    RegisterLibraryClasses();
    ScopedRegistryFolder registry;
    LogCapture log;  // the example driver logs every call
    // The supplied driver is found by its ProgID, as the host finds it: its module registers
    // itself as k47regsvr would have it do.
    HMODULE module = LoadLibraryA(K47_EXAMPLE_DRIVER_PATH);
    ASSERT_NE(module, nullptr);
    auto registerModule = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    ASSERT_HR_OK(registerModule());

    CFakeHost* hostObject = nullptr;
    ComPtr<IUnknown> host = CFakeHost::Create(&hostObject);
    CFakePortService* portsObject = nullptr;
    ComPtr<IK47PortService> ports = CFakePortService::Create(&portsObject);
    portsObject->SetEnabled(false);

    struct Line {
        std::unique_ptr<FarEnd> end;
        ComPtr<IK47ObjectConfiguration> driver;
        ComPtr<IPTZ3PDriver> plugIn;
        ComPtr<IUnknown> wrapper;
        ComPtr<IK47PTZCamera> camera;
        Clock::time_point moved;
    };
    std::vector<Line> lines(std::size(kBindings));
    for (size_t i = 0; i < lines.size(); ++i) {
        const Binding& b = kBindings[i];
        Line& line = lines[i];
        line.end = std::make_unique<FarEnd>(b.protocol);
        const CLSID& clsid = *b.clsid;
        ASSERT_HR_OK(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IK47ObjectConfiguration,
                                      reinterpret_cast<void**>(line.driver.GetAddressOf())))
            << b.driverProgId;
        auto element = XmlElement(
            std::string("<Protocol Name=\"") + b.protocolName + "\" ProgID=\"" + b.driverProgId +
            "\" Driver=\"K47Example.PelcoDriver\" " + LineAttributes(line.end->Path()) + "/>");
        if (IsEqualCLSID(clsid, CLSID_PTZ3PWrapper)) {
            CLSID plugInClass{};
            ASSERT_HR_OK(CLSIDFromProgID(u"K47Example.PelcoDriver", &plugInClass));
            ASSERT_HR_OK(CoCreateInstance(plugInClass, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IPTZ3PDriver,
                                          reinterpret_cast<void**>(line.plugIn.GetAddressOf())));
            PTZ3PInitData record{ports.Get(), line.plugIn.Get()};
            ASSERT_HR_OK(line.driver->Initialize(element.Get(), host.Get(),
                                                 reinterpret_cast<ULONG_PTR>(&record)));
        } else {
            ASSERT_HR_OK(line.driver->Initialize(element.Get(), host.Get(),
                                                 reinterpret_cast<ULONG_PTR>(ports.Get())));
        }
        hostObject->AddPath(
            u"PTZProtocols/Protocol[@Name = \"" + k47::Utf8ToUtf16(b.protocolName) + u"\"]",
            line.driver.Get());

        ASSERT_HR_OK(CoCreateInstance(CLSID_PTZCamera, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                      reinterpret_cast<void**>(line.wrapper.GetAddressOf())));
        ComPtr<IK47ObjectConfiguration> configuration;
        ASSERT_HR_OK(line.wrapper.As(&configuration));
        CComBSTR name(k47::Utf8ToUtf16(std::string("Camera of ") + b.protocolName).c_str());
        auto camera = XmlElement(std::string("<Camera Protocol=\"") + b.protocolName +
                                 "\" Address=\"" + std::to_string(b.address) + "\"/>");
        ASSERT_HR_OK(configuration->Initialize(camera.Get(), host.Get(),
                                               reinterpret_cast<ULONG_PTR>(name.m_str)));
        ASSERT_HR_OK(line.wrapper.As(&line.camera)) << b.protocolName << ": bound";
    }

    for (size_t i = 0; i < lines.size(); ++i) {
        PTZFUNCTION functions = static_cast<PTZFUNCTION>(-1);
        ULONG presets = 0;
        EXPECT_HR_OK(lines[i].camera->QueryFunctions(&functions, &presets));
        EXPECT_EQ(functions, kBindings[i].functions) << kBindings[i].protocolName;
        EXPECT_EQ(presets, kBindings[i].presets) << kBindings[i].protocolName;
        lines[i].moved = Clock::now();
        EXPECT_HR_OK(lines[i].camera->MoveRelative(100, 0, 0, 0, 0)) << kBindings[i].protocolName;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        std::vector<DecodedFrame> move = lines[i].end->Next(1);
        ASSERT_EQ(move.size(), 1u) << kBindings[i].protocolName;
        EXPECT_EQ(Hex(move[0].raw), kBindings[i].move) << kBindings[i].protocolName;
        EXPECT_EQ(move[0].kind, FrameKind::kMove) << kBindings[i].protocolName;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        std::vector<DecodedFrame> stop = lines[i].end->Next(1, milliseconds(9000));
        double seconds = std::chrono::duration<double>(Clock::now() - lines[i].moved).count();
        ASSERT_EQ(stop.size(), 1u)
            << kBindings[i].protocolName << ": no stop after " << seconds << " s";
        EXPECT_EQ(stop[0].kind, FrameKind::kStop)
            << kBindings[i].protocolName << ": " << k47::sim::Describe(stop[0]);
        if (kBindings[i].protocol != Protocol::kPanasonic) {
            EXPECT_EQ(stop[0].address, kBindings[i].address) << kBindings[i].protocolName;
        }
        EXPECT_GE(seconds, 4.95) << kBindings[i].protocolName;
        EXPECT_LE(seconds, 6.5) << kBindings[i].protocolName;
    }

    for (Line& line : lines) {
        ComPtr<IK47Terminate> terminate;
        if (SUCCEEDED(line.wrapper.As(&terminate)))
            terminate->Terminate(TRUE);
        if (SUCCEEDED(line.driver.As(&terminate)))
            terminate->Terminate(TRUE);
    }
    lines.clear();
}

}  // namespace
