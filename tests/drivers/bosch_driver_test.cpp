// The Bosch driver on a real pty with the Bosch decoder on the far end: the byte examples, the
// 14-bit address code, preset bit 7 in the function byte, the calls that send nothing, and write
// failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <thread>

#include "drivers/Bosch.h"
#include "tests/drivers/DriverTestUtil.h"

namespace {

using namespace k47test;
using k47::sim::DecodedFrame;
using k47::sim::FrameKind;
using k47::sim::Protocol;

using Call = std::function<HRESULT(IK47PTZProtocol*)>;

// A frame from its bytes before the checksum, with the checksum appended.
Bytes Bosch(Bytes head) {
    unsigned sum = 0;
    for (uint8_t b : head)
        sum += b;
    head.push_back(static_cast<uint8_t>(sum & 0x7F));
    return head;
}

class BoschDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterLibraryClasses();
        ASSERT_HR_OK(driver_.Initialize(LineAttributes(line_.Path())));
    }
    IK47PTZProtocol* Driver() { return driver_.protocol.Get(); }

    FarEnd line_{Protocol::kBosch};
    DriverUnderTest<CBosch> driver_;
    LogCapture log_;
};

TEST_F(BoschDriverTest, FramesCarryTheProtocolBytes) {
    struct Case {
        const char* name;
        Call call;
        const char* hex;
        FrameKind kind;
        int address;
    };
    auto move = [](INT_PTR a, SHORT p, SHORT t, SHORT z, SHORT f, SHORT i) -> Call {
        return [=](IK47PTZProtocol* d) { return d->MoveRelative(a, p, t, z, f, i); };
    };
    auto command = [](INT_PTR a, PTZCOMMAND cmd, INT_PTR arg) -> Call {
        return [=](IK47PTZProtocol* d) { return d->Command(a, cmd, arg); };
    };
    // One call per path through the driver (every byte edge is in bosch_frame_test.cpp).
    const Case cases[] = {
        {"address 2, every axis", move(2, -50, 30, 100, -10, 1), "87 00 01 05 74 3d 2a 68",
         FrameKind::kMove, 2},
        {"stop at 16384", move(16384, 0, 0, 0, 0, 0), "87 7f 7f 05 00 00 00 0a", FrameKind::kStop,
         16384},
        {"go to preset 12 at 1", command(1, PTZCMD_GOTOPRESET, 12), "86 00 00 07 05 0c 1e",
         FrameKind::kPresetGo, 1},
        {"set preset 200 at 1", command(1, PTZCMD_SETPRESET, 200), "86 00 00 07 14 48 69",
         FrameKind::kPresetSet, 1},
        {"auto focus 2 at 129", command(129, PTZCMD_AUTOFOCUS, 2), "86 01 00 07 02 04 14",
         FrameKind::kAutoFocus, 129},
    };
    for (const Case& c : cases) {
        EXPECT_HR_OK(c.call(Driver())) << c.name;
        std::vector<DecodedFrame> frames = line_.Next(1);
        ASSERT_EQ(frames.size(), 1u) << c.name;
        EXPECT_EQ(Hex(frames[0].raw), c.hex) << c.name;
        EXPECT_EQ(frames[0].kind, c.kind) << c.name << ": " << k47::sim::Describe(frames[0]);
        EXPECT_EQ(frames[0].address, c.address) << c.name;
    }
    EXPECT_TRUE(log_.Lines().empty());
}

// Clear Preset, values outside PTZCOMMAND and every menu command: S_FALSE, nothing sent.
TEST_F(BoschDriverTest, UnsupportedCallsSendNothing) {
    for (int cmd : {int{PTZCMD_CLEARPRESET}, 0, 1, 99, -1}) {
        EXPECT_HR(S_FALSE, Driver()->Command(1, static_cast<PTZCOMMAND>(cmd), 1)) << cmd;
    }
    for (int cmd = -1; cmd <= 8; ++cmd) {
        EXPECT_HR(S_FALSE, Driver()->MenuCommand(1, static_cast<PTZMENUCOMMAND>(cmd))) << cmd;
    }
    ASSERT_HR_OK(Driver()->Command(1, PTZCMD_GOTOPRESET, 12));
    EXPECT_EQ(Hex(line_.NextBytes()), "86 00 00 07 05 0c 1e") << "the marker comes first";
    PTZFUNCTION functions = static_cast<PTZFUNCTION>(-1);
    ULONG presets = 0;
    for (INT_PTR address : {INT_PTR{1}, INT_PTR{16384}}) {
        EXPECT_HR_OK(Driver()->QueryFunctions(address, &functions, &presets));
        EXPECT_EQ(functions, 0);
        EXPECT_EQ(presets, 1023u);
    }
}

}  // namespace

// A line that comes back after its device went away stops every camera on it (a camera may have
// been left moving while the line was down), and that happens even when no call comes: the
// driver tries the line again on its own every 2 s.
TEST(BoschDriverLineTest, LineThatComesBackStopsEveryCameraWithoutACall) {
    RegisterLibraryClasses();
    TempFolder dir;
    const std::string link = dir.Path() + "/bosch.tty";
    auto first = std::make_unique<FarEnd>(Protocol::kBosch);
    ASSERT_EQ(symlink(first->Path().c_str(), link.c_str()), 0);
    LogCapture log;
    DriverUnderTest<CBosch> driver;
    ASSERT_HR_OK(driver.Initialize(LineAttributes(link, "Name=\"Dock\"")));
    AddCamera(driver.protocol.Get(), "Address=\"1\"");
    AddCamera(driver.protocol.Get(), "Address=\"3\"");
    first->HangUp();
    ASSERT_HR_OK(driver.protocol->MoveRelative(1, 100, 0, 0, 0, 0));
    const auto down = std::chrono::steady_clock::now();
    FarEnd second(Protocol::kBosch);
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(second.Path().c_str(), link.c_str()), 0);
    EXPECT_EQ(Hex(second.NextBytes(2, milliseconds(4000))),
              Hex(Join({Bosch({0x87, 0, 0, 0x05, 0, 0, 0}), Bosch({0x87, 0, 2, 0x05, 0, 0, 0})})));
    const auto back = std::chrono::steady_clock::now() - down;
    EXPECT_GE(back, milliseconds(2000)) << "tried again before the retry interval";
    EXPECT_LT(back, milliseconds(3000));
    ASSERT_HR_OK(driver.protocol->MoveRelative(3, 0, 100, 0, 0, 0));
    EXPECT_EQ(Hex(second.NextBytes(1)), Hex(Bosch({0x87, 0, 2, 0x05, 0x0F, 0, 0x08})));
    ASSERT_EQ(log.Lines().size(), 2u);
}
