// The camera object's dead-man time-out and stop repetition, against the real clock through the
// whole chain wrapper → camera → driver. Counts and order are exact; times have wide margins
// (the lower bounds are tight because a stop must never come early, the upper bounds loose
// because a loaded machine may be late).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/camera/CameraFixture.h"

using k47test::DriverCall;
using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kEarly =
    0.05;  // a stop may come at most this much before its due time (clock slack)
constexpr double kLate = 1.5;  // ... and at most this much after it

std::vector<DriverCall> StopsAt(const std::vector<DriverCall>& calls, INT_PTR address) {
    std::vector<DriverCall> stops;
    for (const auto& call : calls)
        if (call.IsStop() && call.address == address)
            stops.push_back(call);
    return stops;
}

class CameraTimingTest : public CameraFixture {};

}  // namespace

TEST_F(CameraTimingTest, AMotionNotRenewedIsStoppedOnceFiveSecondsAfterTheLastMove) {
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"5\"");
    ASSERT_HR_OK(camera->MoveRelative(50, 0, 0, 0, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // A zero-speed move is a move like any other: it renews the time-out.
    ASSERT_HR_OK(camera->MoveRelative(0, 0, 0, 0, 0));
    Clock::time_point lastMove = Clock::now();

    ASSERT_TRUE(driverObject_->WaitFor(
        [](const std::vector<DriverCall>& calls) { return StopsAt(calls, 5).size() >= 2; },
        std::chrono::seconds(5) + std::chrono::milliseconds(static_cast<int>(kLate * 1000))));
    auto stops = StopsAt(driverObject_->Calls(), 5);
    // The first "stop" is the zero move itself; the second is the time-out's.
    double after = Seconds(lastMove, stops[1].at);
    EXPECT_GE(after, 5.0 - kEarly);
    EXPECT_LE(after, 5.0 + kLate);
    // Exactly one: nothing follows within the next second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(StopsAt(driverObject_->Calls(), 5).size(), 2u);
}

TEST_F(CameraTimingTest, EndMotionSendsElevenStopsFourTenthsApart) {
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"3\"");
    Clock::time_point start = Clock::now();
    ASSERT_HR_OK(camera->EndMotion());
    ASSERT_TRUE(driverObject_->WaitForStops(11, std::chrono::seconds(10)));
    auto stops = StopsAt(driverObject_->Calls(), 3);
    ASSERT_EQ(stops.size(), 11u);
    double first = Seconds(start, stops[0].at);
    EXPECT_GE(first, 0.4 - kEarly);
    EXPECT_LE(first, 0.4 + kLate);
    for (size_t i = 1; i < stops.size(); ++i) {
        double gap = Seconds(stops[i - 1].at, stops[i].at);
        EXPECT_GE(gap, 0.4 - kEarly) << "stop " << i;
        EXPECT_LE(gap, 0.4 + kLate) << "stop " << i;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    EXPECT_EQ(StopsAt(driverObject_->Calls(), 3).size(), 11u);  // no twelfth
}

TEST_F(CameraTimingTest, CommandsAndMenuCommandsCancelAPendingStopQueriesDoNot) {
    ComPtr<IK47PTZCamera> preset = AddCamera(u"Preset", "Address=\"1\"");
    ComPtr<IK47PTZCamera> focus = AddCamera(u"Focus", "Address=\"2\"");
    ComPtr<IK47PTZCamera> menu = AddCamera(u"Menu", "Address=\"3\"");
    ComPtr<IK47PTZCamera> query = AddCamera(u"Query", "Address=\"4\"");
    for (auto* camera : {preset.Get(), focus.Get(), menu.Get(), query.Get()})
        ASSERT_HR_OK(camera->MoveRelative(0, 40, 0, 0, 0));
    Clock::time_point moved = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_HR_OK(preset->Command(PTZCMD_GOTOPRESET, 3));
    ASSERT_HR_OK(focus->Command(PTZCMD_AUTOFOCUS, 1));
    ASSERT_HR_OK(menu->MenuCommand(PTZMENUCMD_UP));
    PTZFUNCTION functions;
    ULONG presets = 0;
    ASSERT_HR_OK(query->QueryFunctions(&functions, &presets));

    ASSERT_TRUE(driverObject_->WaitForStops(1, std::chrono::seconds(5) + std::chrono::seconds(2)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    auto calls = driverObject_->Calls();
    EXPECT_TRUE(StopsAt(calls, 1).empty());
    EXPECT_TRUE(StopsAt(calls, 2).empty());
    EXPECT_TRUE(StopsAt(calls, 3).empty());
    auto stops = StopsAt(calls, 4);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_GE(Seconds(moved, stops[0].at), 5.0 - kEarly);
    // The calls reached the driver with each camera's address and unchanged arguments.
    auto commands = driverObject_->Calls(DriverCall::Kind::Command);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].address, 1);
    EXPECT_EQ(commands[0].command, PTZCMD_GOTOPRESET);
    EXPECT_EQ(commands[0].arg, 3);
    EXPECT_EQ(commands[1].address, 2);
    EXPECT_EQ(commands[1].command, PTZCMD_AUTOFOCUS);
    auto menus = driverObject_->Calls(DriverCall::Kind::Menu);
    ASSERT_EQ(menus.size(), 1u);
    EXPECT_EQ(menus[0].address, 3);
    EXPECT_EQ(menus[0].command, PTZMENUCMD_UP);
    EXPECT_EQ(presets, 15u);  // the driver's answer, passed through
}

TEST_F(CameraTimingTest, AMoveDuringStopRepeatsRunsItsFullTimeOutAndTheRepeatsFollow) {
    ComPtr<IK47PTZCamera> camera = AddCamera(u"Cam", "Address=\"9\"");
    ASSERT_HR_OK(camera->EndMotion());
    ASSERT_TRUE(driverObject_->WaitForStops(2, std::chrono::seconds(5)));
    ASSERT_HR_OK(camera->MoveRelative(-30, 0, 0, 0, 0));
    ASSERT_TRUE(driverObject_->WaitForStops(11, std::chrono::seconds(15)));
    auto calls = driverObject_->Calls();
    auto move = std::find_if(calls.begin(), calls.end(), [](const DriverCall& c) {
        return c.kind == DriverCall::Kind::Move && c.pan == -30;
    });
    ASSERT_NE(move, calls.end());
    auto stops = StopsAt(calls, 9);
    ASSERT_EQ(stops.size(), 11u);  // the pending repeats are not lost
    // Stops before the move (normally two; more only if this thread was very late).
    size_t before = std::count_if(stops.begin(), stops.end(),
                                  [&](const DriverCall& c) { return c.at < move->at; });
    ASSERT_GE(before, 2u);
    ASSERT_LT(before, 11u);
    // The first stop after the move is the move's own time-out, not the repeat interval ...
    EXPECT_GE(Seconds(move->at, stops[before].at), 5.0 - kEarly);
    EXPECT_LE(Seconds(move->at, stops[before].at), 5.0 + kLate);
    // ... and the remaining repeats follow it 0.4 s apart.
    for (size_t i = before + 1; i < stops.size(); ++i) {
        double gap = Seconds(stops[i - 1].at, stops[i].at);
        EXPECT_GE(gap, 0.4 - kEarly) << "stop " << i;
        EXPECT_LE(gap, 0.4 + kLate) << "stop " << i;
    }
}
