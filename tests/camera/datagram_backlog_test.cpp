// The datagram listener behind a slow driver: while a move takes the line's time, the client's
// datagrams pile up in the socket. The worker judges every one of them in order but sends only
// the newest accepted move, so a stop is never queued behind stale moves. The first move is held
// at a gate until the backlog is in the socket, which makes the batch deterministic; every move
// then takes kMoveTime, as a frame on a busy serial line would.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "camera/PTZCamera1.h"
#include "tests/camera/CameraFixture.h"
#include "tests/support/UdpPeer.h"

using k47test::DriverCall;
using k47test::Motion;
using k47test::UdpPeer;
using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kMoveTime = std::chrono::milliseconds(50);
constexpr double kMove = 0.05;   // kMoveTime in seconds
constexpr double kEarly = 0.05;  // a timer may fire this much before its due time
constexpr uint8_t kEnd = K47MotionDatagram::kEndOfMotion;

// Holds the driver call of one pan speed until opened.
class Gate {
  public:
    void Hold(SHORT pan) {
        std::lock_guard<std::mutex> guard(lock_);
        pan_ = pan;
        held_ = true;
    }
    // In the driver call, on the worker.
    void Pass(const DriverCall& call) {
        std::unique_lock<std::mutex> guard(lock_);
        if (!held_ || call.kind != DriverCall::Kind::Move || call.pan != pan_ || open_)
            return;
        entered_ = true;
        changed_.notify_all();
        changed_.wait(guard, [this] { return open_; });
    }
    bool WaitEntered() {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(5), [this] { return entered_; });
    }
    void Open() {
        std::lock_guard<std::mutex> guard(lock_);
        open_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool held_ = false;
    SHORT pan_ = 0;
    bool entered_ = false;
    bool open_ = false;
};

class DatagramBacklogTest : public CameraFixture {
  protected:
    void SetUp() override {
        CameraFixture::SetUp();
        driver_object_->SetCallHook([this](const DriverCall& call) {
            gate_.Pass(call);
            if (call.kind == DriverCall::Kind::Move && !call.IsStop())
                std::this_thread::sleep_for(kMoveTime);
        });
        camera_ = AddCamera(u"Cam", "Address=\"1\"");
        ULONG address = 0;
        EXPECT_HR_OK(camera_->StartRemoteSession(&address, &port_));
    }
    void TearDown() override {
        gate_.Open();  // a worker held at the gate could not be stopped
        camera_.Reset();
        CameraFixture::TearDown();
        driver_object_->SetCallHook(nullptr);
    }

    // The owner's first move, seq 1 and pan 1, held in the driver until OpenGate.
    void HoldFirstMove() {
        gate_.Hold(1);
        ASSERT_TRUE(owner_.SendDatagram(port_, Motion(1, 1)));
        ASSERT_TRUE(gate_.WaitEntered());
    }
    // Lets the first move finish once the backlog is in the socket; returns when.
    Clock::time_point OpenGate() {
        // Loopback delivers within sendto; the pause only guards against a descheduled sender.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Clock::time_point at = Clock::now();
        gate_.Open();
        return at;
    }
    void Send(const UdpPeer& from, const K47MotionDatagram& datagram) {
        ASSERT_TRUE(from.SendDatagram(port_, datagram));
    }
    // The driver's moves other than stops, as pan speeds, in order.
    std::vector<SHORT> Moves() {
        std::vector<SHORT> pans;
        for (const auto& call : driver_object_->Calls(DriverCall::Kind::Move))
            if (!call.IsStop())
                pans.push_back(call.pan);
        return pans;
    }
    // Every call the camera made, in order (the driver also records its own AddCamera).
    std::vector<DriverCall> ControlCalls() {
        std::vector<DriverCall> calls;
        for (const auto& call : driver_object_->Calls())
            if (call.kind != DriverCall::Kind::AddCamera)
                calls.push_back(call);
        return calls;
    }
    std::vector<DriverCall> Stops() {
        std::vector<DriverCall> stops;
        for (const auto& call : driver_object_->Calls())
            if (call.IsStop())
                stops.push_back(call);
        return stops;
    }
    const DriverCall* FindMove(const std::vector<DriverCall>& calls, SHORT pan) {
        for (const auto& call : calls)
            if (call.kind == DriverCall::Kind::Move && call.pan == pan)
                return &call;
        return nullptr;
    }
    bool WaitForPan(SHORT pan, std::chrono::milliseconds timeout) {
        return driver_object_->WaitFor(
            [this, pan](const std::vector<DriverCall>& calls) {
                return FindMove(calls, pan) != nullptr;
            },
            timeout);
    }

    Gate gate_;
    ComPtr<IK47PTZCamera> camera_;
    USHORT port_ = 0;
    UdpPeer owner_;
    UdpPeer intruder_;
};

}  // namespace

TEST_F(DatagramBacklogTest, ABacklogOfMovesReachesTheDriverAsItsNewestMoveOnly) {
    HoldFirstMove();
    for (uint16_t sequence = 2; sequence <= 20; ++sequence)
        Send(owner_, Motion(sequence, static_cast<int16_t>(sequence)));
    Clock::time_point opened = OpenGate();
    ASSERT_TRUE(WaitForPan(20, std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nothing stale comes later
    EXPECT_EQ(Moves(), (std::vector<SHORT>{1, 20}));

    // After the first move's own time, not after 18 more: a replayed backlog needs 0.95 s.
    auto calls = driver_object_->Calls();
    const DriverCall* newest = FindMove(calls, 20);
    ASSERT_NE(newest, nullptr);
    double after = Seconds(opened, newest->at);
    RecordProperty("newest_move_ms", static_cast<int>(after * 1000));
    EXPECT_GE(after, kMove);
    EXPECT_LE(after, kMove + 0.45);
    EXPECT_EQ(newest->address, 1);
}

TEST_F(DatagramBacklogTest, AnEndOfMotionBehindABacklogStopsWithoutAnyQueuedMove) {
    HoldFirstMove();
    constexpr int kBacklog = 30;  // 1.5 s of driver time if they were played
    for (uint16_t sequence = 2; sequence < 2 + kBacklog; ++sequence)
        Send(owner_, Motion(sequence, static_cast<int16_t>(sequence)));
    Send(owner_, Motion(2 + kBacklog, 77, 0, 0, 0, 0, kEnd));
    Clock::time_point opened = OpenGate();
    ASSERT_TRUE(driver_object_->WaitForStops(11, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(900));  // no twelfth, no late move

    auto calls = ControlCalls();
    auto stops = Stops();
    ASSERT_FALSE(stops.empty());
    // The first stop is the end's 0.4 s after the move in progress, not after 30 more moves
    // (which would put it at 1.95 s).
    double first = Seconds(opened, stops[0].at);
    RecordProperty("first_stop_ms", static_cast<int>(first * 1000));
    EXPECT_GE(first, kMove + 0.4 - kEarly);
    EXPECT_LE(first, kMove + 0.4 + 0.5);

    // Exactly: the first move, then the eleven stops of EndMotion and nothing else.
    ASSERT_EQ(calls.size(), 12u);
    EXPECT_EQ(calls[0].kind, DriverCall::Kind::Move);
    EXPECT_EQ(calls[0].pan, 1);
    for (size_t i = 1; i < calls.size(); ++i)
        EXPECT_TRUE(calls[i].IsStop()) << "call " << i;
    for (size_t i = 2; i < calls.size(); ++i) {
        double gap = Seconds(calls[i - 1].at, calls[i].at);
        EXPECT_GE(gap, 0.4 - kEarly) << "stop " << i;
        EXPECT_LE(gap, 0.4 + 0.5) << "stop " << i;
    }
}

TEST_F(DatagramBacklogTest, InsideABacklogEndThenMoveRunInOrderAndOwnershipAndSequenceHold) {
    HoldFirstMove();
    Send(owner_, Motion(2, 2));  // superseded by the end after it
    Send(owner_, Motion(3, 0, 0, 0, 0, 0, kEnd));
    Send(intruder_, Motion(50, 99));  // a foreign sender, newer number: ignored
    Send(owner_, Motion(5, 5));       // the newest accepted move
    Send(owner_, Motion(4, 4));       // older than 5: dropped though it came last
    Send(intruder_, Motion(51, 98));
    OpenGate();
    ASSERT_TRUE(WaitForPan(5, std::chrono::seconds(5)));
    auto calls = driver_object_->Calls();
    Clock::time_point moved = FindMove(calls, 5)->at;

    // As one datagram at a time would leave it: the end's repeats are pending, and the move after
    // the end runs its full 5 s time-out before the first stop; the repeats follow 0.4 s apart.
    ASSERT_TRUE(driver_object_->WaitForStops(2, std::chrono::seconds(8)));
    EXPECT_EQ(Moves(), (std::vector<SHORT>{1, 5}));
    auto stops = Stops();
    double first = Seconds(moved, stops[0].at);
    RecordProperty("first_stop_ms", static_cast<int>(first * 1000));
    EXPECT_GE(first, 5.0 - kEarly);
    EXPECT_LE(first, 5.0 + 0.5);
    double gap = Seconds(stops[0].at, stops[1].at);
    EXPECT_GE(gap, 0.4 - kEarly);
    EXPECT_LE(gap, 0.4 + 0.5);
}

TEST_F(DatagramBacklogTest, ALongBacklogIsTakenInBatchesOfAtMostTheCap) {
    HoldFirstMove();
    // Two full batches and a part (the socket holds about 250 such datagrams).
    const int batch = static_cast<int>(CPTZCamera::kDatagramBatch);
    const int last = 2 + 2 * batch + 12;
    for (int sequence = 2; sequence <= last; ++sequence)
        Send(owner_, Motion(static_cast<uint16_t>(sequence), static_cast<int16_t>(sequence)));
    OpenGate();
    // Each batch sends its newest move; only a wake-up for the datagrams left after a full batch
    // brings the next one.
    ASSERT_TRUE(WaitForPan(static_cast<SHORT>(last), std::chrono::seconds(3)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Moves(),
              (std::vector<SHORT>{1, static_cast<SHORT>(1 + batch),
                                  static_cast<SHORT>(1 + 2 * batch), static_cast<SHORT>(last)}));
}

TEST_F(DatagramBacklogTest, ATimeOutThatFellDueDuringASlowMoveComesBeforeTheDatagramsWaiting) {
    // The owner's move is held past its 5 s time-out; then another sender begins. The datagram
    // event comes first in the wait set, so without the timer's turn after a batch the newcomer
    // would be judged against a session that has already run out, and refused.
    HoldFirstMove();
    auto calls = driver_object_->Calls();
    Clock::time_point moved = FindMove(calls, 1)->at;
    std::this_thread::sleep_until(moved + std::chrono::milliseconds(5200));
    Send(intruder_, Motion(1, 33));
    Clock::time_point opened = OpenGate();
    ASSERT_TRUE(WaitForPan(33, std::chrono::seconds(3)));

    calls = ControlCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].pan, 1);
    EXPECT_TRUE(calls[1].IsStop());
    EXPECT_EQ(calls[2].kind, DriverCall::Kind::Move);
    EXPECT_EQ(calls[2].pan, 33);
    // The stop follows the held move at once.
    double stop = Seconds(opened, calls[1].at);
    RecordProperty("stop_after_release_ms", static_cast<int>(stop * 1000));
    EXPECT_GE(stop, kMove);
    EXPECT_LE(stop, kMove + 0.5);
}
