// The camera's datagram listener with real UDP senders on loopback: the 14-byte rule, one owner
// per session, the sequence rule, the end flag, the port choice and its release, and closing.
// A datagram that must be dropped is followed by a "probe" the camera must accept, so the test
// knows the dropped one was processed (loopback keeps the order of datagrams sent in turn). The
// worker sends only the newest accepted move of the datagrams it finds waiting, so a wrongly
// accepted one would hide behind a probe of the same batch: the probe follows after a pause in
// which an idle worker has long taken the dropped one alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/camera/CameraFixture.h"
#include "tests/support/UdpPeer.h"

using k47test::DriverCall;
using k47test::Motion;
using k47test::UdpPeer;
using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

class DatagramTest : public CameraFixture {
  protected:
    USHORT Start(IK47PTZCamera* camera) {
        ULONG address = 1;
        USHORT port = 0;
        EXPECT_HR_OK(camera->StartRemoteSession(&address, &port));
        EXPECT_EQ(address, 0u);
        EXPECT_NE(port, 0);
        return port;
    }
    // Waits until a move with this pan speed reached the driver.
    bool WaitForPan(SHORT pan) {
        return driverObject_->WaitFor(
            [pan](const std::vector<DriverCall>& calls) {
                for (const auto& call : calls)
                    if (call.kind == DriverCall::Kind::Move && call.pan == pan)
                        return true;
                return false;
            },
            std::chrono::seconds(5));
    }
    // Lets the worker take what was sent before anything else comes.
    static void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }
    std::vector<SHORT> Pans() {
        std::vector<SHORT> pans;
        for (const auto& call : driverObject_->Calls(DriverCall::Kind::Move))
            pans.push_back(call.pan);
        return pans;
    }
};

}  // namespace

TEST_F(DatagramTest, OnlyFourteenByteDatagramsCountAndOthersDoNotRenewTheMotion) {
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"1\"");
    USHORT port = Start(camera.Get());
    UdpPeer sender;
    ASSERT_TRUE(sender.SendDatagram(port, Motion(1, 10)));
    ASSERT_TRUE(WaitForPan(10));
    Clock::time_point lastAccepted = Clock::now();

    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::vector<uint8_t> bytes(14);
    Motion(2, 20).Encode(bytes.data());
    std::vector<uint8_t> shorter(bytes.begin(), bytes.end() - 1);
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    ASSERT_TRUE(sender.SendTo(port, shorter));
    ASSERT_TRUE(sender.SendTo(port, longer));

    // The stop comes 5 s after the last accepted datagram, not after the wrong-sized ones.
    ASSERT_TRUE(driverObject_->WaitForStops(1, std::chrono::seconds(8)));
    auto stops = driverObject_->Calls();
    Clock::time_point stopAt{};
    for (const auto& call : stops)
        if (call.IsStop())
            stopAt = call.at;
    EXPECT_GE(Seconds(lastAccepted, stopAt), 4.9);
    EXPECT_LE(Seconds(lastAccepted, stopAt), 5.0 + 1.2);
    EXPECT_EQ(Pans(), (std::vector<SHORT>{10, 0}));
}

TEST_F(DatagramTest, TheFirstSenderOwnsTheSessionUntilItEndsTheMotion) {
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"1\"");
    USHORT port = Start(camera.Get());
    UdpPeer owner, intruder;
    ASSERT_TRUE(owner.SendDatagram(port, Motion(1, 11)));
    ASSERT_TRUE(WaitForPan(11));
    ASSERT_TRUE(intruder.SendDatagram(port, Motion(9, 99)));
    Settle();
    ASSERT_TRUE(owner.SendDatagram(port, Motion(2, 12)));  // probe
    ASSERT_TRUE(WaitForPan(12));
    EXPECT_EQ(Pans(), (std::vector<SHORT>{11, 12}));

    // The end flag with speeds: the motion ends, the speeds are not applied.
    ASSERT_TRUE(
        owner.SendDatagram(port, Motion(3, 55, 0, 0, 0, 0, K47MotionDatagram::kEndOfMotion)));
    ASSERT_TRUE(driverObject_->WaitForStops(
        1, std::chrono::seconds(5)));  // 0.4 s later: the session is free
    ASSERT_TRUE(intruder.SendDatagram(port, Motion(10, 77)));
    ASSERT_TRUE(WaitForPan(77));
    ASSERT_TRUE(
        owner.SendDatagram(port, Motion(4, 13)));  // now the former owner is the foreign one
    Settle();
    ASSERT_TRUE(intruder.SendDatagram(port, Motion(11, 78)));
    ASSERT_TRUE(WaitForPan(78));
    auto pans = Pans();
    EXPECT_EQ(std::count(pans.begin(), pans.end(), 55), 0);
    EXPECT_EQ(std::count(pans.begin(), pans.end(), 13), 0);
    EXPECT_EQ(std::count(pans.begin(), pans.end(), 99), 0);
    camera->EndMotion();
}

TEST_F(DatagramTest, SequenceNumbersWrapAndRepeatsAreDropped) {
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"1\"");
    USHORT port = Start(camera.Get());
    UdpPeer sender;
    const struct {
        uint16_t sequence;
        int16_t pan;
        bool accepted;
    } steps[] = {
        {0x7FFF, 1, true},   // after the session starts any positive number is newer than 0
        {0x8000, 2, true},   // sign change
        {0x8000, 3, false},  // repeat
        {0xFFFF, 4, true},   // -1 after -32768
        {0x0000, 5, true},   // sign change
        {0x0000, 6, false},  // repeat
        {0x0001, 7, true},
    };
    for (const auto& step : steps) {
        ASSERT_TRUE(sender.SendDatagram(port, Motion(step.sequence, step.pan)));
        if (step.accepted)
            ASSERT_TRUE(WaitForPan(step.pan));
        else
            Settle();
    }
    ASSERT_TRUE(sender.SendDatagram(port, Motion(2, 8)));  // probe
    ASSERT_TRUE(WaitForPan(8));
    EXPECT_EQ(Pans(), (std::vector<SHORT>{1, 2, 4, 5, 7, 8}));

    // After the timer ends the session (here 0.4 s after an end of motion), 0 is not newer than
    // the reset sequence and is dropped; 1 is accepted.
    ASSERT_TRUE(
        sender.SendDatagram(port, Motion(3, 0, 0, 0, 0, 0, K47MotionDatagram::kEndOfMotion)));
    ASSERT_TRUE(driverObject_->WaitForStops(1, std::chrono::seconds(5)));
    ASSERT_TRUE(sender.SendDatagram(port, Motion(0, 9)));
    Settle();
    ASSERT_TRUE(sender.SendDatagram(port, Motion(1, 10)));
    ASSERT_TRUE(WaitForPan(10));
    auto pans = Pans();
    EXPECT_EQ(std::count(pans.begin(), pans.end(), 9), 0);
    camera->EndMotion();
}

TEST_F(DatagramTest, StartingTwiceGivesTheSamePortAndAConfiguredPortIsUsed) {
    USHORT wanted = k47test::FreeUdpPort();
    ComPtr<IK47PTZCamera> camera =
        AddCamera(u"Cam", "Address=\"1\" UDPPort=\"" + std::to_string(wanted) + "\"");
    USHORT first = Start(camera.Get());
    USHORT second = Start(camera.Get());
    EXPECT_EQ(first, wanted);
    EXPECT_EQ(second, wanted);
    EXPECT_TRUE(portsObject_->Allocated().empty());  // a configured port never asks the host
}

TEST_F(DatagramTest, APlatformChosenPortSurvivesTerminateUntilTheNextReconfigure) {
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"1\"");
    USHORT first = Start(camera.Get());
    ComPtr<IK47Terminate> terminate;
    ASSERT_HR_OK(camera.As(&terminate));
    ASSERT_HR_OK(terminate->Terminate(FALSE));
    // The wrapper's Terminate went to the camera: its socket is closed, but the port is kept.
    EXPECT_EQ(Start(camera.Get()), first);
    EXPECT_TRUE(portsObject_->Allocated().empty());
}

TEST_F(DatagramTest, AHostPortIsGivenBackExactlyOnceWhenTheSessionCloses) {
    portsObject_->SetEnabled(true);
    USHORT hostPort = k47test::FreeUdpPort();
    portsObject_->SetPorts({hostPort});
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"1\"");
    EXPECT_EQ(Start(camera.Get()), hostPort);
    EXPECT_EQ(Start(camera.Get()), hostPort);
    EXPECT_EQ(portsObject_->Allocated(), std::vector<USHORT>{hostPort});
    EXPECT_TRUE(portsObject_->Released().empty());

    ComPtr<IK47Terminate> terminate;
    ASSERT_HR_OK(camera.As(&terminate));
    ASSERT_HR_OK(terminate->Terminate(FALSE));
    ASSERT_HR_OK(terminate->Terminate(FALSE));
    EXPECT_EQ(portsObject_->Released(), std::vector<USHORT>{hostPort});

    // No port left at the host: the session is refused with the host's error and one log line.
    k47test::LogCapture log;
    ULONG address = 0;
    USHORT port = 0;
    EXPECT_HR(E_FAIL, camera->StartRemoteSession(&address, &port));
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" - handler PTZCamera1 line 123"), std::string::npos) << lines[0];
}

TEST_F(DatagramTest, ReconfigureClosesASessionInProgress) {
    // Keep the camera object's own IUnknown, as its driver could, to reconfigure it in place.
    ComPtr<IUnknown> inner;
    driverObject_->SetCameraFactory([&](BSTR name, IXMLDOMElement* element, IUnknown* outer,
                                        IUnknown* driver, IUnknown** camera) {
        HRESULT hr = k47test::CreateRealCamera(name, element, outer, driver, host_.Get(),
                                               ports_.Get(), camera);
        if (SUCCEEDED(hr))
            inner = *camera;
        return hr;
    });
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"1\"");
    USHORT port = Start(camera.Get());
    UdpPeer sender;
    ASSERT_TRUE(sender.SendDatagram(port, Motion(1, 21)));
    ASSERT_TRUE(WaitForPan(21));
    ComPtr<IK47ObjectConfiguration> configuration;
    ASSERT_HR_OK(inner.As(&configuration));  // the camera object's, not the wrapper's
    ASSERT_HR_OK(configuration->Reconfigure(k47test::XmlElement(R"(<Camera Address="2"/>)").Get()));
    configuration.Reset();
    ASSERT_TRUE(sender.SendDatagram(port, Motion(2, 22)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(driverObject_->Count(DriverCall::Kind::Move), 1u);  // nobody listens on the old port
    // A new session on the reconfigured camera works, and its moves carry the new address.
    USHORT again = Start(camera.Get());
    ASSERT_TRUE(sender.SendDatagram(again, Motion(3, 23)));
    ASSERT_TRUE(WaitForPan(23));
    EXPECT_EQ(driverObject_->Calls(DriverCall::Kind::Move).back().address, 2);
    inner.Reset();
}

TEST_F(DatagramTest, FinalReleaseClosesTheSessionAndGivesTheHostPortBack) {
    portsObject_->SetEnabled(true);
    USHORT hostPort = k47test::FreeUdpPort();
    portsObject_->SetPorts({hostPort});
    hostObject_->SetVariableStore(false);  // no preset variable: nothing else holds the camera
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"1\"");
    EXPECT_EQ(Start(camera.Get()), hostPort);
    camera.Reset();
    wrappers_.clear();  // the last reference: the camera's final release runs its Terminate
    EXPECT_EQ(portsObject_->Released(), std::vector<USHORT>{hostPort});
}
