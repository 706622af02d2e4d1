// The counters a camera keeps through IK47CameraCounters: after a known run (moves and stops from
// callers, a motion left to its 5 s time-out, EndMotion's repeated stops, a stop before a menu
// step, datagrams that are accepted, stale, foreign and malformed) they hold the exact counts, and
// each agrees with what reached the driver; the last call is the one made, at the time it was
// made; reading them while the camera is steered from several threads loses nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>

#include "tests/camera/CameraFixture.h"
#include "tests/support/UdpPeer.h"

using k47test::DriverCall;
using k47test::Motion;
using k47test::UdpPeer;
using Microsoft::WRL::ComPtr;

namespace {

K47CAMERACOUNTERS Read(IK47PTZCamera* camera) {
    K47CAMERACOUNTERS counters{};
    counters.cbSize = sizeof(counters);
    ComPtr<IK47CameraCounters> source;
    EXPECT_HR_OK(camera->QueryInterface(IID_IK47CameraCounters,
                                        reinterpret_cast<void**>(source.GetAddressOf())));
    if (source) {
        EXPECT_HR_OK(source->GetCameraCounters(&counters));
    }
    return counters;
}

struct Expected {
    ULONGLONG moves, stops, deadMan, repeated;
    ULONGLONG accepted, stale, foreign, malformed, sessions;
};

void ExpectCounters(const K47CAMERACOUNTERS& c, const Expected& e, const char* camera) {
    EXPECT_EQ(c.MovesSent, e.moves) << camera;
    EXPECT_EQ(c.StopsSent, e.stops) << camera;
    EXPECT_EQ(c.DeadManStops, e.deadMan) << camera;
    EXPECT_EQ(c.RepeatedStops, e.repeated) << camera;
    EXPECT_EQ(c.DatagramsAccepted, e.accepted) << camera;
    EXPECT_EQ(c.DatagramsStale, e.stale) << camera;
    EXPECT_EQ(c.DatagramsForeign, e.foreign) << camera;
    EXPECT_EQ(c.DatagramsMalformed, e.malformed) << camera;
    EXPECT_EQ(c.SessionsStarted, e.sessions) << camera;
}

class CameraCountersTest : public CameraFixture {
  protected:
    size_t DriverMoves(INT_PTR address, bool stops) {
        size_t count = 0;
        for (const auto& call : driver_object_->Calls(DriverCall::Kind::Move))
            if (call.address == address && call.IsStop() == stops)
                ++count;
        return count;
    }
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
    // Lets the camera's worker take what was sent before anything else comes.
    static void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }
};

}  // namespace

// Three cameras at once, so the run takes one time-out. Camera 1: three moves and a stop from a
// caller, then the time-out's stop. Camera 2: a preset (nothing pending: no stop of its own), a
// move, a menu step (which stops the move first) and EndMotion (eleven stops on its beat).
// Camera 3, steered by datagrams: owner A's first datagram takes the session, a repeat is stale,
// B's is foreign, A's 13 bytes and 15 bytes are malformed, A's next is accepted, and the motion
// is left to the time-out.
TEST_F(CameraCountersTest, AKnownRunLeavesExactCounts) {
    ComPtr<IK47PTZCamera> one = AddCamera(u"One", "Address=\"1\"");
    ComPtr<IK47PTZCamera> two = AddCamera(u"Two", "Address=\"2\"");
    ComPtr<IK47PTZCamera> three = AddCamera(u"Three", "Address=\"3\"");
    ASSERT_TRUE(one && two && three);
    ExpectCounters(Read(one.Get()), {}, "new");
    EXPECT_EQ(Read(one.Get()).LastCommand, 0u);
    EXPECT_EQ(Read(one.Get()).LastCommandTime, 0u);

    ULONG address = 0;
    USHORT port = 0;
    ASSERT_HR_OK(three->StartRemoteSession(&address, &port));
    UdpPeer a, b;
    ASSERT_TRUE(a.SendDatagram(port, Motion(5, 31)));
    ASSERT_TRUE(WaitForPan(31));
    Settle();
    ASSERT_TRUE(a.SendDatagram(port, Motion(5, 32)));  // the same sequence: stale
    ASSERT_TRUE(b.SendDatagram(port, Motion(6, 33)));  // not the owner: foreign
    std::vector<uint8_t> bytes(K47MotionDatagram::kSize);
    Motion(7, 34).Encode(bytes.data());
    ASSERT_TRUE(a.SendTo(port, std::vector<uint8_t>(bytes.begin(), bytes.end() - 1)));
    bytes.push_back(0);
    ASSERT_TRUE(a.SendTo(port, bytes));
    Settle();
    ASSERT_TRUE(a.SendDatagram(port, Motion(8, 35)));
    ASSERT_TRUE(WaitForPan(35));

    for (SHORT pan : {11, 12, 13})
        ASSERT_HR_OK(one->MoveRelative(pan, 0, 0, 0, 0));
    const ULONGLONG beforeStop = GetTickCount64();
    ASSERT_HR_OK(one->MoveRelative(0, 0, 0, 0, 0));
    const ULONGLONG afterStop = GetTickCount64();

    ASSERT_HR_OK(two->Command(PTZCMD_GOTOPRESET, 4));
    ASSERT_HR_OK(two->MoveRelative(21, 0, 0, 0, 0));
    ASSERT_HR_OK(two->MenuCommand(PTZMENUCMD_OPEN));
    ASSERT_HR_OK(two->EndMotion());

    // Every stop of the run is in after 5 s and a bit (what is missing is named below).
    EXPECT_TRUE(k47test::WaitUntil(
        [&] {
            return Read(one.Get()).DeadManStops == 1 && Read(two.Get()).RepeatedStops == 11 &&
                   Read(three.Get()).DeadManStops == 1;
        },
        std::chrono::milliseconds(8000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // a twelfth stop would be in

    const K47CAMERACOUNTERS c1 = Read(one.Get());
    ExpectCounters(c1, {3, 2, 1, 0, 0, 0, 0, 0, 0}, "camera 1");
    EXPECT_EQ(c1.LastCommand, ULONGLONG{K47CALL_STOP} << 16);
    EXPECT_GE(c1.LastCommandTime, beforeStop);
    EXPECT_LE(c1.LastCommandTime, afterStop);

    const K47CAMERACOUNTERS c2 = Read(two.Get());
    ExpectCounters(c2, {1, 12, 0, 11, 0, 0, 0, 0, 0}, "camera 2");
    EXPECT_EQ(c2.LastCommand, ULONGLONG{K47CALL_ENDMOTION} << 16);

    const K47CAMERACOUNTERS c3 = Read(three.Get());
    ExpectCounters(c3, {2, 1, 1, 0, 2, 1, 1, 2, 1}, "camera 3");
    EXPECT_EQ(c3.LastCommand, ULONGLONG{K47CALL_MOVE} << 16);

    // What the counters say went to the driver is what the driver got.
    for (INT_PTR at : {1, 2, 3}) {
        const K47CAMERACOUNTERS& c = at == 1 ? c1 : at == 2 ? c2 : c3;
        EXPECT_EQ(DriverMoves(at, false), c.MovesSent) << at;
        EXPECT_EQ(DriverMoves(at, true), c.StopsSent) << at;
    }
}

// Command and MenuCommand leave their code beside the kind; a record of an older, shorter size
// gets only what it holds.
TEST_F(CameraCountersTest, LastCallCarriesItsCodeAndTheRecordSizeIsKept) {
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"9\"");
    ASSERT_TRUE(camera);
    ASSERT_HR_OK(camera->Command(PTZCMD_AUTOIRIS, 1));
    EXPECT_EQ(Read(camera.Get()).LastCommand, (ULONGLONG{K47CALL_COMMAND} << 16) | PTZCMD_AUTOIRIS);
    ASSERT_HR_OK(camera->MenuCommand(PTZMENUCMD_OPEN));
    EXPECT_EQ(Read(camera.Get()).LastCommand, (ULONGLONG{K47CALL_MENU} << 16) | PTZMENUCMD_OPEN);
    ASSERT_HR_OK(camera->MoveRelative(0, 5, 0, 0, 0));

    ComPtr<IK47CameraCounters> counters;
    ASSERT_HR_OK(camera.As(&counters));
    K47CAMERACOUNTERS older;
    std::memset(&older, 0xAB, sizeof(older));
    older.cbSize = offsetof(K47CAMERACOUNTERS, StopsSent);
    ASSERT_HR_OK(counters->GetCameraCounters(&older));
    EXPECT_EQ(older.cbSize, offsetof(K47CAMERACOUNTERS, StopsSent));
    EXPECT_EQ(older.MovesSent, 1u);
    EXPECT_EQ(older.StopsSent, 0xABABABABABABABABull) << "written past the caller's record";
    older.cbSize = 4;
    EXPECT_HR(E_INVALIDARG, counters->GetCameraCounters(&older));
    EXPECT_HR(E_POINTER, counters->GetCameraCounters(nullptr));
}

// Two callers move the camera while its worker takes datagrams and a reader reads the counters
// without pause: no read goes back, and at the end every call and every datagram is counted.
// (Run under TSan: the counters take no lock and share no plain field with the writers.)
TEST_F(CameraCountersTest, ReadingWhileTheCameraIsSteeredLosesNothing) {
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Busy", "Address=\"4\"");
    ASSERT_TRUE(camera);
    ULONG address = 0;
    USHORT port = 0;
    ASSERT_HR_OK(camera->StartRemoteSession(&address, &port));
    constexpr int kCalls = 2000;
    constexpr int kDatagrams = 200;
    std::atomic<bool> done{false};
    std::atomic<int> backwards{0};
    std::thread reader([&] {
        K47CAMERACOUNTERS last{};
        while (!done.load()) {
            const K47CAMERACOUNTERS now = Read(camera.Get());
            if (now.MovesSent < last.MovesSent || now.StopsSent < last.StopsSent ||
                now.DatagramsAccepted < last.DatagramsAccepted ||
                now.DatagramsForeign < last.DatagramsForeign)
                ++backwards;
            last = now;
        }
    });
    auto caller = [&](SHORT pan) {
        for (int i = 0; i < kCalls; ++i)
            camera->MoveRelative(i % 2 == 0 ? pan : 0, 0, 0, 0, 0);
    };
    std::thread first(caller, 1);
    std::thread second(caller, 2);
    // In bursts the socket's buffer holds, each taken before the next is sent: a datagram lost
    // to a full buffer would be no fault of the counters.
    constexpr int kBurst = 10;
    UdpPeer owner, stranger;
    bool counted = true;
    for (int i = 1; i <= kDatagrams && counted; ++i) {
        EXPECT_TRUE(owner.SendDatagram(port, Motion(static_cast<uint16_t>(i), 50)));
        EXPECT_TRUE(stranger.SendDatagram(port, Motion(static_cast<uint16_t>(i), 60)));
        if (i % kBurst == 0)
            counted = k47test::WaitUntil(
                [&] {
                    const K47CAMERACOUNTERS c = Read(camera.Get());
                    return c.DatagramsAccepted + c.DatagramsForeign == ULONGLONG(2 * i);
                },
                std::chrono::milliseconds(5000));
    }
    first.join();
    second.join();
    done = true;
    reader.join();
    ASSERT_TRUE(counted) << "datagrams were not taken";
    const K47CAMERACOUNTERS c = Read(camera.Get());
    // The first datagram of either sender takes the free session; the other's are all foreign.
    EXPECT_EQ(c.SessionsStarted, 1u);
    EXPECT_EQ(c.DatagramsAccepted, ULONGLONG{kDatagrams});
    EXPECT_EQ(c.DatagramsForeign, ULONGLONG{kDatagrams});
    EXPECT_EQ(c.StopsSent, ULONGLONG{kCalls});
    // The worker passes on only the newest accepted move of each batch it takes.
    EXPECT_GE(c.MovesSent, ULONGLONG{kCalls} + 1);
    EXPECT_LE(c.MovesSent, ULONGLONG{kCalls} + kDatagrams);
    EXPECT_EQ(c.MovesSent, driver_object_->Count(DriverCall::Kind::Move) - c.StopsSent);
    EXPECT_EQ(backwards.load(), 0);
}
