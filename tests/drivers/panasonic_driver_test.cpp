// The Panasonic driver on a real pty with the Panasonic decoder on the far end: both layouts, the
// address prefix once a second camera was added, three-digit addresses, preset codes, picture
// and menu groups, the calls that send nothing, and write failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "drivers/Panasonic.h"
#include "tests/drivers/DriverTestUtil.h"

namespace {

using namespace k47test;
using k47::sim::DecodedFrame;
using k47::sim::FrameKind;
using k47::sim::Protocol;

using Call = std::function<HRESULT(IK47PTZProtocol*)>;

class PanasonicLine {
  public:
    // version: the "ProtocolVersion" attribute, or null for none; cameras: AddCamera calls made
    // (addresses 1, 2, ...).
    PanasonicLine(const char* version, int cameras) {
        RegisterLibraryClasses();
        std::string more =
            version != nullptr ? std::string("ProtocolVersion=\"") + version + "\"" : "";
        EXPECT_HR_OK(driver.Initialize(LineAttributes(line.Path(), more)));
        for (int i = 1; i <= cameras; ++i)
            cameras_.push_back(
                AddCamera(driver.protocol.Get(), "Address=\"" + std::to_string(i) + "\""));
    }
    IK47PTZProtocol* Driver() { return driver.protocol.Get(); }
    // The menu-close frame as a marker: nothing was written before it.
    void ExpectNothingWritten(const std::string& what, const std::string& prefix = "") {
        ASSERT_HR_OK(Driver()->MenuCommand(1, PTZMENUCMD_CLOSE));
        EXPECT_EQ(Hex(line.NextBytes()), Hex(Stx(prefix + "RON:7;GC7:0021941"))) << what;
    }

    FarEnd line{Protocol::kPanasonic};
    DriverUnderTest<CPanasonic> driver;

  private:
    std::vector<Microsoft::WRL::ComPtr<IUnknown>> cameras_;
};

// The byte examples through the driver: its settings choose the layout and the prefix, and each
// call's values reach the line (every group and edge is tested on the encoder, in
// panasonic_frame_test.cpp).
TEST(PanasonicDriver, FramesCarryTheProtocolText) {
    struct Case {
        const char* name;
        const char* version;
        int cameras;
        Call call;
        std::string text;
        FrameKind kind;
    };
    auto move = [](INT_PTR a, SHORT p, SHORT t, SHORT z, SHORT f, SHORT i) -> Call {
        return [=](IK47PTZProtocol* d) { return d->MoveRelative(a, p, t, z, f, i); };
    };
    auto command = [](INT_PTR a, int cmd, INT_PTR arg) -> Call {
        return [=](IK47PTZProtocol* d) { return d->Command(a, static_cast<PTZCOMMAND>(cmd), arg); };
    };
    auto menu = [](INT_PTR a, int cmd) -> Call {
        return
            [=](IK47PTZProtocol* d) { return d->MenuCommand(a, static_cast<PTZMENUCOMMAND>(cmd)); };
    };
    const Case cases[] = {
        {"first layout, pan +100", "1", 1, move(1, 100, 0, 0, 0, 0),
         "RON:7;GCN:9028CF0:9034008:0021004", FrameKind::kMove},
        {"second layout, pan +100", "0", 1, move(1, 100, 0, 0, 0, 0),
         "RON:7;GC^:202136C:2022700:2021264:2022000:0021004", FrameKind::kMove},
        {"second layout, two cameras, address 5", "0", 2, move(5, -50, 30, 100, -10, 1),
         "AD05;RON:7;GC^:2021369:2022320:202126F:2022700:0021002", FrameKind::kMove},
        {"first layout, three cameras, address 12", "1", 3, move(12, 0, -100, -100, 0, 0),
         "AD12;RON:7;GCN:9027E0F:9034008:0021004", FrameKind::kMove},
        {"set preset 7, first layout", "1", 1, command(1, PTZCMD_SETPRESET, 7), "RON:7;GC7:903006B",
         FrameKind::kPresetSet},
        {"go to preset 7, no version: second layout", nullptr, 1, command(1, PTZCMD_GOTOPRESET, 7),
         "RON:7;GCF:00219F0:0022070", FrameKind::kPresetGo},
        {"version 2 is the second layout", "2", 1, move(1, 0, 0, 0, 0, 0),
         "RON:7;GC^:2021364:2022000:2021264:2022000:0021004", FrameKind::kStop},
        {"menu select, two cameras", "0", 2, menu(2, PTZMENUCMD_SELECT), "AD02;RON:7;GC7:002194A",
         FrameKind::kMenuSelect},
    };
    for (const Case& c : cases) {
        PanasonicLine line(c.version, c.cameras);
        EXPECT_HR_OK(c.call(line.Driver())) << c.name;
        std::vector<DecodedFrame> frames = line.line.Next(1);
        ASSERT_EQ(frames.size(), 1u) << c.name;
        EXPECT_EQ(Hex(frames[0].raw), Hex(Stx(c.text))) << c.name;
        if (c.kind == FrameKind::kPresetGo || c.kind == FrameKind::kPresetSet) {
            // Go To Preset 255 and Set Preset 155 share code FF (and Set -100 / Go To 0 code 00):
            // the decoder can only tell them apart by code range.
            EXPECT_TRUE(frames[0].kind == FrameKind::kPresetGo ||
                        frames[0].kind == FrameKind::kPresetSet)
                << c.name;
        } else {
            EXPECT_EQ(frames[0].kind, c.kind) << c.name << ": " << k47::sim::Describe(frames[0]);
        }
    }
}

// The prefix appears once a second camera was added (a camera added twice counts twice) and
// carries the first two characters of the address.
TEST(PanasonicDriver, AddressPrefixAfterTheSecondCamera) {
    PanasonicLine line("0", 1);
    ASSERT_HR_OK(line.Driver()->MenuCommand(123, PTZMENUCMD_OPEN));
    EXPECT_EQ(Hex(line.line.NextBytes()), Hex(Stx("RON:7;GC7:0021940"))) << "one camera: no prefix";
    auto again = AddCamera(line.Driver(), "Address=\"1\"");  // the same address once more
    struct Case {
        INT_PTR address;
        const char* prefix;
    };
    const Case cases[] = {{123, "AD12;"}, {7, "AD07;"}};
    for (const Case& c : cases) {
        ASSERT_HR_OK(line.Driver()->MenuCommand(c.address, PTZMENUCMD_OPEN));
        EXPECT_EQ(Hex(line.line.NextBytes()), Hex(Stx(std::string(c.prefix) + "RON:7;GC7:0021940")))
            << c.address;
        ASSERT_HR_OK(line.Driver()->MoveRelative(c.address, 0, 0, 0, 0, 0));
        EXPECT_EQ(
            Hex(line.line.NextBytes()),
            Hex(Stx(std::string(c.prefix) + "RON:7;GC^:2021364:2022000:2021264:2022000:0021004")))
            << c.address;
    }
}

// Clear Preset and unknown commands give S_FALSE, menu commands outside 0..7 and preset codes
// beyond two hexadecimal digits E_INVALIDARG; none sends anything. A negative code sends the lone
// end byte.
TEST(PanasonicDriver, RejectedCallsSendNothing) {
    for (const char* version : {"1", "0"}) {
        PanasonicLine line(version, 1);
        LogCapture log;
        struct Case {
            const char* name;
            Call call;
            HRESULT result;
        };
        const Case cases[] = {
            {"clear preset", [](auto* d) { return d->Command(1, PTZCMD_CLEARPRESET, 1); }, S_FALSE},
            {"command 99", [](auto* d) { return d->Command(1, static_cast<PTZCOMMAND>(99), 1); },
             S_FALSE},
            {"menu 8", [](auto* d) { return d->MenuCommand(1, static_cast<PTZMENUCOMMAND>(8)); },
             E_INVALIDARG},
            {"set preset 156", [](auto* d) { return d->Command(1, PTZCMD_SETPRESET, 156); },
             E_INVALIDARG},
        };
        for (const Case& c : cases)
            EXPECT_HR(c.result, c.call(line.Driver())) << version << " " << c.name;
        line.ExpectNothingWritten(std::string("layout ") + version);

        EXPECT_HR_OK(line.Driver()->Command(1, PTZCMD_GOTOPRESET, -1));
        EXPECT_EQ(Hex(line.line.NextBytes()), "03") << "negative code: the end byte alone";
        line.ExpectNothingWritten("after the end bytes");
        EXPECT_TRUE(log.Lines().empty());

        PTZFUNCTION functions = static_cast<PTZFUNCTION>(0);
        ULONG presets = 0;
        EXPECT_HR_OK(line.Driver()->QueryFunctions(77, &functions, &presets));
        EXPECT_EQ(functions, 0x2F);
        EXPECT_EQ(presets, 64u);
    }
}

// A far end that stops taking bytes: a call gives up at the write bound (5 ms a byte + 250 ms:
// 505 ms for this 51-byte move) with ERROR_TIMEOUT, the frame is dropped, and the log says once
// that the line is stuck and once that it flows again, not once per frame.
TEST(PanasonicDriver, StuckLineTimesOutAtItsBoundAndIsLoggedOncePerChange) {
    PanasonicLine line("0", 1);
    int slave = ::open(line.line.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    LogCapture log;
    ASSERT_EQ(tcflow(slave, TCOOFF), 0);
    // The first frame meets the full bound; once the line is known stuck, the next ones get
    // 4 line times + 50 ms, so calls queued behind them come back quickly.
    for (int bound : {505, 305}) {
        HRESULT result = S_OK;
        std::chrono::steady_clock::duration took{};
        std::atomic<bool> returned{false};
        std::thread caller([&] {
            auto start = std::chrono::steady_clock::now();
            result = line.Driver()->MoveRelative(1, 100, 0, 0, 0, 0);
            took = std::chrono::steady_clock::now() - start;
            returned = true;
        });
        if (!WaitUntil([&] { return returned.load(); }, milliseconds(bound + 2000)))
            tcflow(slave, TCOON);  // a write without bound would wait for ever
        caller.join();
        EXPECT_HR(HRESULT_FROM_WIN32(ERROR_TIMEOUT), result);
        EXPECT_GE(took, milliseconds(bound));
        EXPECT_LT(took, milliseconds(bound + 150));
    }
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("is stuck"), std::string::npos) << lines[0];
    ASSERT_EQ(tcflow(slave, TCOON), 0);
    line.ExpectNothingWritten("the timed-out moves never go out");
    lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("flows again; 2 frames timed out"), std::string::npos) << lines[1];
    ::close(slave);
}

}  // namespace
