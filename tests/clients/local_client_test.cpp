// The local client against an object server offered by the test process itself through the
// local-server socket (so every call on the object server and the camera crosses a real
// connection with the library's proxies and stubs): Connect only stores the name; every discrete
// call looks the camera up afresh and reports the lookup's failure; MoveRelative with no server
// fails with the creation HRESULT and leaves no worker; EndMotion with no motion still reaches the
// camera; the 100 ms repetition with consistent speeds; the status check on the 100th tick
// stopping the worker; the final release stopping the worker without ending the motion.
#include <gtest/gtest.h>
#include <atlbase.h>
#include <k47/localserver.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "clients/PTZClientLocal.h"
#include "tests/support/FakeHost.h"
#include "tests/support/LocalServerSupport.h"
#include "tests/support/TestUtil.h"

using k47test::CameraCall;
using Microsoft::WRL::ComPtr;
using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 5s;

bool IsMove(const CameraCall& c, SHORT v) {
    return c.kind == CameraCall::Kind::Move && c.pan == v && c.tilt == v && c.zoom == v &&
           c.focus == v && c.iris == v;
}

size_t CountMoves(const std::vector<CameraCall>& calls) {
    size_t n = 0;
    for (const auto& c : calls)
        n += c.kind == CameraCall::Kind::Move;
    return n;
}

class LocalClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        host_ = k47test::CFakeHost::Create(&host_object_);
        camera_identity_ = k47test::CRecordingCamera::Create(&camera_);
        host_object_->AddName(u"Gate/PTZ", camera_identity_.Get());
        ASSERT_HR_OK(servers_.Publish(CLSID_K47ObjectServer, host_.Get()));
        ASSERT_HR_OK(K47CreateInstance<CPTZClientLocal>(client_identity_.GetAddressOf(), &client_));
        ASSERT_HR_OK(client_identity_.As(&ptz_));
    }
    void TearDown() override {
        ptz_.Reset();
        client_identity_.Reset();
        servers_.Revoke();
        CoUninitialize();
    }
    HRESULT Connect(const char16_t* camera) {
        CComBSTR address(u"ignored://anything");
        CComBSTR name(camera);
        return ptz_->Connect(address, camera != nullptr ? name.m_str : nullptr);
    }

    k47test::ScopedRegistryFolder registry_;
    k47test::ScopedLocalServers servers_;
    ComPtr<IUnknown> host_;
    k47test::CFakeHost* host_object_ = nullptr;
    ComPtr<IUnknown> camera_identity_;
    k47test::CRecordingCamera* camera_ = nullptr;
    ComPtr<IUnknown> client_identity_;
    CPTZClientLocal* client_ = nullptr;
    ComPtr<IK47PTZClient> ptz_;
};

TEST_F(LocalClientTest, DiscreteCallsLookTheCameraUpEachTime) {
    ASSERT_HR_OK(Connect(u"Gate"));
    camera_->SetResult(CameraCall::Kind::Command, S_FALSE);
    camera_->SetFunctions(static_cast<PTZFUNCTION>(PTZFUNC_MENUOPEN | PTZFUNC_ABSPOSITION), 64);
    EXPECT_HR(S_FALSE, ptz_->Command(PTZCMD_SETPRESET, 12)) << "the camera's result";
    EXPECT_HR_OK(ptz_->MenuCommand(PTZMENUCMD_LEFT));
    PTZFUNCTION functions = PTZFUNCTION(0);
    ULONG presets = 0;
    EXPECT_HR_OK(ptz_->QueryFunctions(&functions, &presets));
    EXPECT_EQ(PTZFUNC_MENUOPEN | PTZFUNC_ABSPOSITION, functions);
    EXPECT_EQ(64u, presets);
    auto calls = camera_->Calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(PTZCMD_SETPRESET, calls[0].value);
    EXPECT_EQ(12, calls[0].arg);
    EXPECT_EQ(PTZMENUCMD_LEFT, calls[1].value);
    EXPECT_EQ(3u, host_object_->LookupCalls().size()) << "nothing is cached between operations";

    // An object that is not a camera: the QueryInterface failure comes back.
    k47test::CFakePortService* ports = nullptr;
    auto notCamera = k47test::CFakePortService::Create(&ports);
    host_object_->AddName(u"Ports/PTZ", notCamera.Get());
    ASSERT_HR_OK(Connect(u"Ports"));
    EXPECT_HR(E_NOINTERFACE, ptz_->Command(PTZCMD_GOTOPRESET, 1));
}

TEST_F(LocalClientTest, MoveRelativeWithoutServerFailsAndLeavesNoWorker) {
    servers_.Revoke();  // nobody serves the object server, and the registry names no program
    ASSERT_HR_OK(Connect(u"Gate"));
    k47test::LogCapture log;
    EXPECT_HR(REGDB_E_CLASSNOTREG, ptz_->MoveRelative(10, 0, 0, 0, 0));
    EXPECT_FALSE(client_->IsRunning());
    EXPECT_TRUE(log.Contains("handler PTZClientLocal"));
    // A registered server program that cannot offer the class.
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CLASSES_ROOT,
                              "CLSID\\{DF5CD2DB-D5D3-4C51-9B18-51FFFF869E4F}\\LocalServer32", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    const char command[] = "/bin/false";
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                   sizeof(command));
    RegCloseKey(key);
    EXPECT_HR(CO_E_SERVER_EXEC_FAILURE, ptz_->MoveRelative(10, 0, 0, 0, 0));
    EXPECT_FALSE(client_->IsRunning());
    EXPECT_HR(CO_E_SERVER_EXEC_FAILURE, ptz_->EndMotion())
        << "EndMotion's lookup fails the same way";
}

TEST_F(LocalClientTest, MotionIsRepeatedEvery100Milliseconds) {
    ASSERT_HR_OK(Connect(u"Gate"));
    ASSERT_HR_OK(ptz_->MoveRelative(7, 7, 7, 7, 7));
    EXPECT_TRUE(client_->IsRunning());
    ASSERT_TRUE(camera_->WaitFor(
        [](const std::vector<CameraCall>& calls) {
            size_t n = 0;
            for (const auto& c : calls)
                n += IsMove(c, 7);
            return n >= 8;
        },
        kPatience));
    // Ticks come 100 ms apart (generous bounds: the average over several ticks).
    auto calls = camera_->Calls();
    std::vector<CameraCall> sevens;
    for (const auto& c : calls)
        if (IsMove(c, 7))
            sevens.push_back(c);
    auto span = sevens.back().at - sevens.front().at;
    auto average = span / static_cast<int>(sevens.size() - 1);
    EXPECT_GT(average, 60ms);
    EXPECT_LT(average, 250ms);

    // Speeds changed while moving reach the camera whole: no tick mixes two sets.
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (SHORT v = 1; !done; v = static_cast<SHORT>(v % 50 + 1))
            ptz_->MoveRelative(v, v, v, v, v);
    });
    size_t before = CountMoves(camera_->Calls());
    EXPECT_TRUE(camera_->WaitFor([&](const auto& all) { return CountMoves(all) >= before + 5; },
                                 kPatience));
    done = true;
    changer.join();
    for (const auto& c : camera_->Calls()) {
        if (c.kind != CameraCall::Kind::Move)
            continue;
        EXPECT_TRUE(c.pan == c.tilt && c.tilt == c.zoom && c.zoom == c.focus && c.focus == c.iris)
            << c.pan << " " << c.tilt << " " << c.zoom << " " << c.focus << " " << c.iris;
    }

    EXPECT_HR_OK(ptz_->EndMotion());
    EXPECT_FALSE(client_->IsRunning());
    calls = camera_->Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_TRUE(IsMove(calls[calls.size() - 2], 0));
    EXPECT_EQ(CameraCall::Kind::EndMotion, calls.back().kind);
    EXPECT_EQ(0, host_object_->StatusChecks());
}

TEST_F(LocalClientTest, FinalReleaseStopsTheWorkerWithoutEndingTheMotion) {
    ASSERT_HR_OK(Connect(u"Gate"));
    ASSERT_HR_OK(ptz_->MoveRelative(3, 3, 3, 3, 3));
    ASSERT_TRUE(camera_->WaitFor(
        [](const auto& all) { return !all.empty() && IsMove(all.back(), 3); }, kPatience));
    ptz_.Reset();
    client_identity_.Reset();  // the final release waits for the worker
    client_ = nullptr;
    size_t moves = CountMoves(camera_->Calls());
    EXPECT_TRUE(camera_->Calls(CameraCall::Kind::EndMotion).empty());
    EXPECT_TRUE(
        k47test::WaitUntil([] { return k47::LocalServerConnectionCount() == 0; }, kPatience))
        << "the worker's object server and camera were released";
    EXPECT_EQ(moves, CountMoves(camera_->Calls())) << "nothing after the worker ended";
}

// A real run of 100 ticks (about 10 s): the 100th tick asks the object server instead of moving
// the camera; S_FALSE ends the run after 99 moves, and the next MoveRelative starts a new run
// that looks the camera up again.
TEST_F(LocalClientTest, StatusCheckOnTheHundredthTickStopsTheWorker) {
    ASSERT_HR_OK(Connect(u"Gate"));
    host_object_->SetStatus(S_FALSE);
    auto start = std::chrono::steady_clock::now();
    ASSERT_HR_OK(ptz_->MoveRelative(5, 0, 0, 0, 0));
    ASSERT_TRUE(k47test::WaitUntil([&] { return host_object_->StatusChecks() == 1; }, 20s));
    auto checkedAfter = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(k47test::WaitUntil([&] { return !client_->IsRunning(); }, kPatience));
    EXPECT_EQ(99u, CountMoves(camera_->Calls())) << "ticks 1 to 99 move, the 100th checks";
    EXPECT_GT(checkedAfter, 9s);
    EXPECT_LT(checkedAfter, 13s);
    EXPECT_EQ(1u, host_object_->LookupCalls().size());
    EXPECT_TRUE(camera_->Calls(CameraCall::Kind::EndMotion).empty());

    host_object_->SetStatus(S_OK);
    ASSERT_HR_OK(ptz_->MoveRelative(6, 0, 0, 0, 0));
    EXPECT_TRUE(camera_->WaitFor([](const auto& all) { return all.back().pan == 6; }, kPatience));
    EXPECT_EQ(2u, host_object_->LookupCalls().size()) << "a new run looks the camera up again";
    EXPECT_HR_OK(ptz_->EndMotion());
}

}  // namespace
