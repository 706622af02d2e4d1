// The simulated camera: positions integrated from decoded moves over caller-given time (exact,
// no clock), pan wrapping, tilt and lens limits, presets stored and recalled, the Pelco-D menu
// opened by its trigger preset, Panasonic menu frames, picture settings, and the bank that routes
// frames by address.
#include <gtest/gtest.h>

#include "decoder_test_util.h"
#include "sim/SimulatedCamera.h"

namespace {

using namespace k47::sim;
using namespace std::chrono_literals;
using k47test::Bosch;
using k47test::Bytes;
using k47test::Pelco;
using k47test::Stx;

DecodedFrame One(Protocol protocol, const Bytes& bytes) {
    std::vector<DecodedFrame> frames = DecodeAll(protocol, bytes);
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_NE(frames.at(0).kind, FrameKind::kMalformed) << Describe(frames.at(0));
    return frames.at(0);
}

// Pelco-D moves with explicit command bits and speeds.
DecodedFrame PelcoMove(uint8_t cmd2, uint8_t pan_speed, uint8_t tilt_speed, uint8_t cmd1 = 0) {
    return One(Protocol::kPelcoD, Pelco(1, cmd1, cmd2, pan_speed, tilt_speed));
}
const DecodedFrame kStop = DecodeAll(Protocol::kPelcoD, Pelco(1, 0, 0, 0, 0)).at(0);

CameraLimits Limits() {
    CameraLimits l;
    l.pan_deg_per_s = 100;
    l.tilt_deg_per_s = 50;
    l.zoom_full_travel_s = 4;
    l.focus_full_travel_s = 2;
    l.iris_full_travel_s = 1;
    return l;
}

TEST(SimulatedCamera, PanWrapsAndTiltAndLensStopAtTheirLimits) {
    SimulatedCamera camera(Protocol::kPelcoD, Limits());
    camera.Apply(PelcoMove(0x04, 63, 0), 0s);  // left from 0
    camera.AdvanceTo(100ms);
    EXPECT_NEAR(camera.state().pan_deg, 350.0, 1e-9);
    camera.Apply(PelcoMove(0x02, 63, 0), 100ms);
    camera.AdvanceTo(3700ms);  // 360 deg to the right: back where it was, 350
    EXPECT_NEAR(camera.state().pan_deg, 350.0, 1e-9);
    camera.AdvanceTo(3900ms);
    EXPECT_NEAR(camera.state().pan_deg, 10.0, 1e-9);
    EXPECT_GE(camera.state().pan_deg, 0.0);
    EXPECT_LT(camera.state().pan_deg, 360.0);

    camera.Apply(PelcoMove(0x08 | 0x20 | 0x80, 0, 63, 0x02), 4s);  // up, tele, far, iris open
    camera.AdvanceTo(5s);
    EXPECT_NEAR(camera.state().tilt_deg, 50.0, 1e-9);
    EXPECT_NEAR(camera.state().zoom, 0.25, 1e-9);
    EXPECT_NEAR(camera.state().focus, 1.0, 1e-9);  // from 0.5 at 0.5 per second
    EXPECT_NEAR(camera.state().iris, 1.0, 1e-9);
    camera.AdvanceTo(100s);
    EXPECT_EQ(camera.state().tilt_deg, 90.0);
    EXPECT_EQ(camera.state().zoom, 1.0);

    camera.Apply(PelcoMove(0x10 | 0x40, 0, 63, 0x05), 100s);  // down, wide, near, iris close
    camera.AdvanceTo(200s);
    EXPECT_EQ(camera.state().tilt_deg, -90.0);
    EXPECT_EQ(camera.state().zoom, 0.0);
    EXPECT_EQ(camera.state().focus, 0.0);
    EXPECT_EQ(camera.state().iris, 0.0);
}

TEST(SimulatedCamera, PresetsStoreAndRecallPositions) {
    SimulatedCamera camera(Protocol::kBosch, Limits());
    auto frame = [](const Bytes& b) { return One(Protocol::kBosch, b); };
    // Pan right 15/15 and tilt up 15/15 for one second, zoom tele 7/7.
    camera.Apply(frame(Bosch(1, 0x05, {0x7F, 0x78, 0x29})), 0s);
    camera.Apply(frame(Bosch(1, 0x05, {0, 0, 0})), 1s);
    ASSERT_NEAR(camera.state().pan_deg, 100.0, 1e-9);
    ASSERT_NEAR(camera.state().tilt_deg, 50.0, 1e-9);
    ASSERT_NEAR(camera.state().zoom, 0.25, 1e-9);
    camera.Apply(frame(Bosch(1, 0x07, {0x14, 0x48})), 1s);        // set preset 200
    camera.Apply(frame(Bosch(1, 0x05, {0x0F, 0x78, 0x06})), 1s);  // left and down
    camera.AdvanceTo(2s);
    ASSERT_NEAR(camera.state().pan_deg, 0.0, 1e-9);

    camera.Apply(frame(Bosch(1, 0x07, {0x15, 0x48})), 2s);  // go to preset 200
    EXPECT_NEAR(camera.state().pan_deg, 100.0, 1e-9);
    EXPECT_NEAR(camera.state().tilt_deg, 50.0, 1e-9);
    EXPECT_NEAR(camera.state().zoom, 0.25, 1e-9);
    EXPECT_FALSE(camera.moving()) << "a recall ends the running move";
    EXPECT_TRUE(camera.state().last_recall_found);
    camera.AdvanceTo(10s);
    EXPECT_NEAR(camera.state().pan_deg, 100.0, 1e-9);

    // An unset preset: nothing to go to.
    camera.Apply(frame(Bosch(1, 0x07, {0x05, 0x01})), 10s);
    EXPECT_EQ(camera.state().last_recall, 1);
    EXPECT_FALSE(camera.state().last_recall_found);
    EXPECT_NEAR(camera.state().pan_deg, 100.0, 1e-9);
    EXPECT_EQ(camera.state().presets.size(), 1u);

    // Pelco-D can clear one.
    SimulatedCamera pelco(Protocol::kPelcoD, Limits());
    pelco.Apply(One(Protocol::kPelcoD, Pelco(1, 0, 0x03, 0, 4)), 0s);
    EXPECT_EQ(pelco.state().presets.count(4), 1u);
    pelco.Apply(One(Protocol::kPelcoD, Pelco(1, 0, 0x05, 0, 4)), 0s);
    EXPECT_EQ(pelco.state().presets.count(4), 0u);
}

TEST(SimulatedCamera, PelcoMenuOpensOnItsTriggerPresetAndTakesTheMoves) {
    struct Case {
        const char* model;
        bool on_set;
        uint8_t trigger;  // command 2 of the frame that opens the menu
        uint8_t other;    // the other preset command, which stays a preset command
    };
    const Case cases[] = {{"generic", false, 0x07, 0x03}, {"pelco/messoa", true, 0x03, 0x07}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        CameraLimits limits = Limits();
        limits.menu_on_set_preset = c.on_set;
        SimulatedCamera camera(Protocol::kPelcoD, limits);
        camera.Apply(One(Protocol::kPelcoD, Pelco(1, 0, c.trigger, 0, 95)), 0s);
        EXPECT_TRUE(camera.state().menu_open);
        // Menu up: tilt up at full speed, then the stop frame.
        camera.Apply(PelcoMove(0x08, 0, 63), 0s);
        camera.Apply(kStop, 0s);
        camera.Apply(PelcoMove(0x04, 63, 0), 0s);  // left
        camera.AdvanceTo(5s);
        EXPECT_EQ(camera.state().menu_actions, 2u);
        EXPECT_EQ(camera.state().last_menu_action, FrameKind::kMenuLeft);
        EXPECT_EQ(camera.state().tilt_deg, 0.0) << "menu moves do not move the camera";
        EXPECT_EQ(camera.state().pan_deg, 0.0);

        camera.Apply(One(Protocol::kPelcoD, Pelco(1, 0, c.other, 0, 95)), 5s);
        EXPECT_TRUE(camera.state().menu_open) << "the other preset command is no trigger";
        camera.Apply(One(Protocol::kPelcoD, Pelco(1, 0, c.trigger, 0, 95)), 5s);
        EXPECT_FALSE(camera.state().menu_open);
        camera.Apply(PelcoMove(0x02, 63, 0), 5s);
        camera.AdvanceTo(6s);
        EXPECT_NEAR(camera.state().pan_deg, 100.0, 1e-9) << "moves move again once closed";
        EXPECT_EQ(camera.state().menu_actions, 2u);
    }
}

TEST(SimulatedCamera, PanasonicMenuAndPictureSettings) {
    SimulatedCamera camera(Protocol::kPanasonic, Limits());
    auto apply = [&](const char* text) { camera.Apply(One(Protocol::kPanasonic, Stx(text)), 0s); };
    apply("RON:7;GC7:0021942");  // up while closed: not counted
    EXPECT_EQ(camera.state().menu_actions, 0u);
    apply("RON:7;GC7:0021940");
    EXPECT_TRUE(camera.state().menu_open);
    apply("RON:7;GC7:0021944");
    apply("RON:7;GC7:002194A");
    EXPECT_EQ(camera.state().menu_actions, 2u);
    EXPECT_EQ(camera.state().last_menu_action, FrameKind::kMenuSelect);
    apply("RON:7;GC7:0021941");
    EXPECT_FALSE(camera.state().menu_open);
    EXPECT_EQ(camera.state().last_menu_action, FrameKind::kMenuClose);

    apply("RON:7;GC7:9030056");  // auto focus arg 1
    apply("RON:7;GC7:0021034");  // auto iris other
    apply("RON:7;GC7:90300AF");  // AGC other
    apply("RON:7;GC7:00212A2");  // backlight 1
    apply("RON:7;GC7:0021041");  // white balance other
    EXPECT_EQ(camera.state().auto_focus, 1);
    EXPECT_EQ(camera.state().auto_iris, 2);
    EXPECT_EQ(camera.state().agc, 2);
    EXPECT_EQ(camera.state().backlight, 1);
    EXPECT_EQ(camera.state().white_balance, 0);
    apply("RON:7;GC7:1234567");
    EXPECT_EQ(camera.state().unknown, 1u);
    EXPECT_EQ(camera.state().frames, 11u);
}

TEST(CameraBank, RoutesByAddressWithinItsLimit) {
    CameraBank panasonic(Protocol::kPanasonic, Limits(), /*default_address=*/3);
    auto frame = [](const char* text) { return One(Protocol::kPanasonic, Stx(text)); };
    ASSERT_NE(panasonic.Apply(frame("RON:7;GC7:0021940"), 0s), nullptr);
    ASSERT_NE(panasonic.Apply(frame("AD12;RON:7;GC7:0021940"), 0s), nullptr);
    ASSERT_NE(panasonic.Apply(frame("AD12;RON:7;GC7:0021941"), 0s), nullptr);
    ASSERT_NE(panasonic.Find(3), nullptr);
    ASSERT_NE(panasonic.Find(12), nullptr);
    EXPECT_TRUE(panasonic.Find(3)->state().menu_open) << "no prefix: the single camera";
    EXPECT_FALSE(panasonic.Find(12)->state().menu_open);
    EXPECT_EQ(panasonic.cameras().size(), 2u);

    std::vector<DecodedFrame> bad = DecodeAll(Protocol::kPanasonic, {0x03});
    EXPECT_EQ(panasonic.Apply(bad.at(0), 0s), nullptr);
    EXPECT_EQ(panasonic.dropped(), 1u);

    CameraBank fixed(Protocol::kPelcoD, Limits(), 1, /*create_on_demand=*/false);
    fixed.AddCamera(7);
    EXPECT_EQ(fixed.Apply(One(Protocol::kPelcoD, Pelco(8, 0, 0, 0, 0)), 0s), nullptr);
    EXPECT_NE(fixed.Apply(One(Protocol::kPelcoD, Pelco(7, 0, 0x02, 63, 0)), 0s), nullptr);
    fixed.AdvanceTo(1s);
    EXPECT_NEAR(fixed.Find(7)->state().pan_deg, 100.0, 1e-9);
    EXPECT_EQ(fixed.dropped(), 1u);

    CameraBank bosch(Protocol::kBosch, Limits());
    for (int address = 1; address <= static_cast<int>(CameraBank::kMaxCameras) + 10; ++address) {
        bosch.Apply(One(Protocol::kBosch, Bosch(address, 0x05, {0, 0, 0})), 0s);
    }
    EXPECT_EQ(bosch.cameras().size(), CameraBank::kMaxCameras);
    EXPECT_EQ(bosch.dropped(), 10u);
}

}  // namespace
