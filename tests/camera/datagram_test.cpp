// The camera's datagram listener with real UDP senders on loopback: the receiver's rules (size,
// sender, sequence) as one table, the end flag, the port choice and its release, and closing.
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
        return driver_object_->WaitFor(
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
        for (const auto& call : driver_object_->Calls(DriverCall::Kind::Move))
            pans.push_back(call.pan);
        return pans;
    }
};

enum class Holder { kNobody, kA, kB };

// One datagram from sender A, judged against a session in the state the row sets up.
struct DatagramRule {
    const char* what;
    Holder before;      // who holds the session (nobody: a new one, last sequence 0)
    uint16_t last;      // the holder's last accepted sequence
    uint16_t sequence;  // of A's datagram
    size_t size;        // bytes that A sends
    bool applied;       // its move reaches the driver
    bool renews;        // the time-out runs from it (for a free session: it starts one)
    Holder after;       // who holds the session then
};

// The sequence rule compares signed 16-bit numbers: newer when the sign bits differ or the last
// is smaller. So a jump of exactly half the range, or an older number across a sign change, is
// taken, where a circular comparison would refuse it.
using enum Holder;
constexpr DatagramRule kRules[] = {
    {"free, 1", kNobody, 0, 1, 14, true, true, kA},
    {"free, 0: not newer, yet A takes the session", kNobody, 0, 0, 14, false, true, kA},
    {"free, 0xFFFF: the sign differs", kNobody, 0, 0xFFFF, 14, true, true, kA},
    {"free, 0x8000: half the range", kNobody, 0, 0x8000, 14, true, true, kA},
    {"free, 13 bytes", kNobody, 0, 1, 13, false, false, kNobody},
    {"free, 15 bytes", kNobody, 0, 1, 15, false, false, kNobody},
    {"free, empty", kNobody, 0, 1, 0, false, false, kNobody},
    {"A, newer", kA, 0x1234, 0x1235, 14, true, true, kA},
    {"A, repeated", kA, 0x1234, 0x1234, 14, false, true, kA},
    {"A, older", kA, 0x1234, 0x1200, 14, false, true, kA},
    {"A, older, both negative", kA, 0x8010, 0x8000, 14, false, true, kA},
    {"A, 0x7FFF then 0x8000", kA, 0x7FFF, 0x8000, 14, true, true, kA},
    {"A, 0xFFFF then 0x0000: wrapped", kA, 0xFFFF, 0x0000, 14, true, true, kA},
    {"A, 0x8000 then 0x7FFF: older, the sign differs", kA, 0x8000, 0x7FFF, 14, true, true, kA},
    {"A, 0x0001 then 0xFFFF: older, the sign differs", kA, 0x0001, 0xFFFF, 14, true, true, kA},
    {"A, half the range up", kA, 0x0010, 0x8010, 14, true, true, kA},
    {"A, half the range down", kA, 0x8010, 0x0010, 14, true, true, kA},
    {"A, 13 bytes", kA, 0x1234, 0x1235, 13, false, false, kA},
    {"A, 15 bytes", kA, 0x1234, 0x1235, 15, false, false, kA},
    {"A, empty", kA, 0x1234, 0x1235, 0, false, false, kA},
    {"B, newer", kB, 0x1234, 0x1235, 14, false, false, kB},
    {"B, half the range", kB, 0x0010, 0x8010, 14, false, false, kB},
    {"B, 13 bytes", kB, 0x1234, 0x1235, 13, false, false, kB},
};

}  // namespace

// Every row runs at once on two cameras of its own. The holder's datagram sets the session up;
// 1.5 s later A's datagram comes. On the first camera nothing follows, so its stop tells whether
// A's datagram renewed the time-out (5 s after it, not after the set-up). On the second, a
// newcomer C and then the expected holder send: C is taken only by a free session, the holder's
// next number only while it holds the session.
TEST_F(DatagramTest, EachDatagramIsJudgedBySizeSenderAndSequence) {
    constexpr SHORT kSetUp = 1, kJudged = 2, kNewcomer = 3, kHolder = 4;
    constexpr double kEarly = 0.003;  // clock granularity
    constexpr double kLate = 0.5;     // far below the 1.5 s that tell the two time-outs apart
    struct Run {
        ComPtr<IK47PTZCamera> camera[2];
        USHORT port[2] = {};
        Clock::time_point setUp{}, sent{};
    };
    std::vector<Run> runs(std::size(kRules));
    for (size_t i = 0; i < runs.size(); ++i)
        for (int k = 0; k < 2; ++k) {
            runs[i].camera[k] = AddCamera(
                u"Cam" + std::u16string(1, static_cast<char16_t>(u'a' + i)) + (k ? u"2" : u"1"),
                "Address=\"" + std::to_string(2 * i + k + 1) + "\"");
            runs[i].port[k] = Start(runs[i].camera[k].Get());
        }
    UdpPeer a, b, c;
    auto peer = [&](Holder holder) -> const UdpPeer& { return holder == kB ? b : a; };

    for (size_t i = 0; i < runs.size(); ++i) {
        if (kRules[i].before == kNobody)
            continue;
        runs[i].setUp = Clock::now();
        for (USHORT port : runs[i].port)
            ASSERT_TRUE(peer(kRules[i].before).SendDatagram(port, Motion(kRules[i].last, kSetUp)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));

    for (size_t i = 0; i < runs.size(); ++i) {
        std::vector<uint8_t> bytes(K47MotionDatagram::kSize);
        Motion(kRules[i].sequence, kJudged).Encode(bytes.data());
        bytes.resize(kRules[i].size);
        runs[i].sent = Clock::now();
        for (USHORT port : runs[i].port)
            ASSERT_TRUE(a.SendTo(port, bytes));
    }
    Settle();
    for (const Run& run : runs)
        ASSERT_TRUE(c.SendDatagram(run.port[1], Motion(1, kNewcomer)));
    Settle();
    for (size_t i = 0; i < runs.size(); ++i) {
        const DatagramRule& rule = kRules[i];
        if (rule.after == kNobody)
            continue;
        uint16_t last = rule.applied && rule.after == kA ? rule.sequence : rule.last;
        ASSERT_TRUE(
            peer(rule.after)
                .SendDatagram(runs[i].port[1], Motion(static_cast<uint16_t>(last + 1), kHolder)));
    }
    std::this_thread::sleep_until(runs.back().sent +
                                  std::chrono::milliseconds(5000 + static_cast<int>(kLate * 1000)));

    auto calls = driver_object_->Calls();
    double latest = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        const DatagramRule& rule = kRules[i];
        SCOPED_TRACE(rule.what);
        std::vector<SHORT> moves, probes;  // on the first camera; the probes on the second
        std::vector<Clock::time_point> stops;
        for (const DriverCall& call : calls) {
            if (call.kind != DriverCall::Kind::Move || (call.address - 1) / 2 != INT_PTR(i))
                continue;
            if (call.address % 2 == 0) {
                if (call.pan == kNewcomer || call.pan == kHolder)
                    probes.push_back(call.pan);
            } else if (call.IsStop()) {
                stops.push_back(call.at);
            } else {
                moves.push_back(call.pan);
            }
        }
        std::vector<SHORT> expected;
        if (rule.before != kNobody)
            expected.push_back(kSetUp);
        if (rule.applied)
            expected.push_back(kJudged);
        EXPECT_EQ(moves, expected);
        EXPECT_EQ(probes, std::vector<SHORT>{rule.after == kNobody ? kNewcomer : kHolder})
            << "who holds the session";
        // A wrong-sized datagram to a free session starts no time-out at all.
        EXPECT_EQ(stops.size(), rule.renews || rule.before != kNobody ? 1u : 0u);
        if (stops.empty())
            continue;
        double after = Seconds(rule.renews ? runs[i].sent : runs[i].setUp, stops[0]);
        latest = std::max(latest, after);
        EXPECT_GE(after, 5.0 - kEarly) << (rule.renews ? "from A's datagram" : "from the set-up");
        EXPECT_LE(after, 5.0 + kLate) << (rule.renews ? "from A's datagram" : "from the set-up");
    }
    RecordProperty("stop_max_ms", static_cast<int>(latest * 1000));
}

// The end flag ends the motion (its speeds are not applied) and, 0.4 s later with the first stop,
// the session: any sender may take over, with numbers counted afresh, and the former owner is
// foreign from then on.
TEST_F(DatagramTest, AnEndOfMotionFreesTheSessionAndItsSequence) {
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"1\"");
    USHORT port = Start(camera.Get());
    UdpPeer owner, newcomer;
    ASSERT_TRUE(owner.SendDatagram(port, Motion(0x0100, 11)));
    ASSERT_TRUE(WaitForPan(11));
    ASSERT_TRUE(
        owner.SendDatagram(port, Motion(0x0101, 55, 0, 0, 0, 0, K47MotionDatagram::kEndOfMotion)));
    ASSERT_TRUE(driver_object_->WaitForStops(1, std::chrono::seconds(5)));
    ASSERT_TRUE(newcomer.SendDatagram(port, Motion(1, 77)));  // below 0x0101: taken after a reset
    ASSERT_TRUE(WaitForPan(77));
    ASSERT_TRUE(owner.SendDatagram(port, Motion(0x0102, 13)));
    Settle();
    ASSERT_TRUE(newcomer.SendDatagram(port, Motion(2, 78)));  // probe
    ASSERT_TRUE(WaitForPan(78));
    std::vector<SHORT> moves;
    for (SHORT pan : Pans())
        if (pan != 0)
            moves.push_back(pan);
    EXPECT_EQ(moves, (std::vector<SHORT>{11, 77, 78}));
}

TEST_F(DatagramTest, StartingTwiceGivesTheSamePortAndAConfiguredPortIsUsed) {
    USHORT wanted = k47test::FreeUdpPort();
    ComPtr<IK47PTZCamera> camera =
        AddCamera(u"Cam", "Address=\"1\" UDPPort=\"" + std::to_string(wanted) + "\"");
    USHORT first = Start(camera.Get());
    USHORT second = Start(camera.Get());
    EXPECT_EQ(first, wanted);
    EXPECT_EQ(second, wanted);
    EXPECT_TRUE(ports_object_->Allocated().empty());  // a configured port never asks the host
}

TEST_F(DatagramTest, APlatformChosenPortSurvivesTerminateUntilTheNextReconfigure) {
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"1\"");
    USHORT first = Start(camera.Get());
    ComPtr<IK47Terminate> terminate;
    ASSERT_HR_OK(camera.As(&terminate));
    ASSERT_HR_OK(terminate->Terminate(FALSE));
    // The wrapper's Terminate went to the camera: its socket is closed, but the port is kept.
    EXPECT_EQ(Start(camera.Get()), first);
    EXPECT_TRUE(ports_object_->Allocated().empty());
}

TEST_F(DatagramTest, AHostPortIsGivenBackExactlyOnceWhenTheSessionCloses) {
    ports_object_->SetEnabled(true);
    USHORT hostPort = k47test::FreeUdpPort();
    ports_object_->SetPorts({hostPort});
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"1\"");
    EXPECT_EQ(Start(camera.Get()), hostPort);
    EXPECT_EQ(Start(camera.Get()), hostPort);
    EXPECT_EQ(ports_object_->Allocated(), std::vector<USHORT>{hostPort});
    EXPECT_TRUE(ports_object_->Released().empty());

    ComPtr<IK47Terminate> terminate;
    ASSERT_HR_OK(camera.As(&terminate));
    ASSERT_HR_OK(terminate->Terminate(FALSE));
    ASSERT_HR_OK(terminate->Terminate(FALSE));
    EXPECT_EQ(ports_object_->Released(), std::vector<USHORT>{hostPort});

    // No port left at the host: the session is refused with the host's error and one log line.
    k47test::LogCapture log;
    ULONG address = 0;
    USHORT port = 0;
    EXPECT_HR(E_FAIL, camera->StartRemoteSession(&address, &port));
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" - handler PTZCamera1 line 123"), std::string::npos) << lines[0];
}

// A host port that another program holds is passed over; a service that offers the same port
// again ends the search (it would go on for ever) as exhaustion, and gets both back.
TEST_F(DatagramTest, APortServiceRepeatingAHeldPortEndsTheSearch) {
    UdpPeer other;  // another program, on the port the service offers
    ports_object_->SetEnabled(true);
    ports_object_->SetPorts({other.Port(), other.Port(), other.Port()}, E_FAIL);
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"1\"");
    ULONG address = 0;
    USHORT port = 0;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS), camera->StartRemoteSession(&address, &port));
    EXPECT_EQ(ports_object_->Allocated(), (std::vector<USHORT>{other.Port(), other.Port()}));
    EXPECT_EQ(ports_object_->Released(), (std::vector<USHORT>{other.Port(), other.Port()}));
}

TEST_F(DatagramTest, ReconfigureClosesASessionInProgress) {
    // Keep the camera object's own IUnknown, as its driver could, to reconfigure it in place.
    ComPtr<IUnknown> inner;
    driver_object_->SetCameraFactory([&](BSTR name, IXMLDOMElement* element, IUnknown* outer,
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
    EXPECT_EQ(driver_object_->Count(DriverCall::Kind::Move), 1u);  // nobody listens on the old port
    // A new session on the reconfigured camera works, and its moves carry the new address.
    USHORT again = Start(camera.Get());
    ASSERT_TRUE(sender.SendDatagram(again, Motion(3, 23)));
    ASSERT_TRUE(WaitForPan(23));
    EXPECT_EQ(driver_object_->Calls(DriverCall::Kind::Move).back().address, 2);
    inner.Reset();
}

TEST_F(DatagramTest, FinalReleaseClosesTheSessionAndGivesTheHostPortBack) {
    ports_object_->SetEnabled(true);
    USHORT hostPort = k47test::FreeUdpPort();
    ports_object_->SetPorts({hostPort});
    host_object_->SetVariableStore(false);  // no preset variable: nothing else holds the camera
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"1\"");
    EXPECT_EQ(Start(camera.Get()), hostPort);
    camera.Reset();
    wrappers_.clear();  // the last reference: the camera's final release runs its Terminate
    EXPECT_EQ(ports_object_->Released(), std::vector<USHORT>{hostPort});
}
