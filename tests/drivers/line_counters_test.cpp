// The counters a serial driver keeps through IK47LineCounters: a known run of a line at 9600 Bd
// (frames that go out, a move dropped on the busy line, frames that time out on a stuck line, a
// device that goes away and comes back) leaves exact counts; the record's size decides what is
// filled; reading them while frames go out neither races the writer nor loses a count.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>

#include "drivers/Bosch.h"
#include "drivers/Panasonic.h"
#include "drivers/PelcoD.h"
#include "tests/drivers/DriverTestUtil.h"

namespace {

using namespace k47test;
using k47::sim::Protocol;
using Microsoft::WRL::ComPtr;

K47LINECOUNTERS Read(IUnknown* driver) {
    K47LINECOUNTERS counters{};
    counters.cbSize = sizeof(counters);
    ComPtr<IK47LineCounters> line;
    EXPECT_HR_OK(driver->QueryInterface(IID_IK47LineCounters,
                                        reinterpret_cast<void**>(line.GetAddressOf())));
    if (line) {
        EXPECT_HR_OK(line->GetLineCounters(&counters));
    }
    return counters;
}

void ExpectCounters(const K47LINECOUNTERS& c, ULONGLONG frames, ULONGLONG bytes, ULONGLONG dropped,
                    ULONGLONG failures, ULONGLONG timeouts, ULONGLONG reopens, const char* when) {
    EXPECT_EQ(c.FramesWritten, frames) << when;
    EXPECT_EQ(c.BytesWritten, bytes) << when;
    EXPECT_EQ(c.MovesDropped, dropped) << when;
    EXPECT_EQ(c.WriteFailures, failures) << when;
    EXPECT_EQ(c.WriteTimeouts, timeouts) << when;
    EXPECT_EQ(c.Reopens, reopens) << when;
}

}  // namespace

// Five moves go out (7 bytes each); one is dropped while another thread holds the line; two time
// out while the far end holds its output (the first at the full bound, the second at the short
// one) and one goes out once it flows again; the device is hung up (one failed write) and the
// driver's worker reopens it on a new device at the same path; one more move goes out there.
// Every frame the counters count is one the far end decoded.
TEST(LineCounters, AKnownRunOfTheLineLeavesExactCounts) {
    RegisterLibraryClasses();
    TempFolder dir;
    const std::string link = dir.Path() + "/line.tty";
    auto first = std::make_unique<FarEnd>(Protocol::kPelcoD);
    ASSERT_EQ(symlink(first->Path().c_str(), link.c_str()), 0);
    DriverUnderTest<CPelcoD> driver;
    ASSERT_HR_OK(driver.Initialize(LineAttributes(link, "Name=\"Yard\"")));
    IK47PTZProtocol* protocol = driver.protocol.Get();
    ExpectCounters(Read(driver.identity.Get()), 0, 0, 0, 0, 0, 0, "configured");

    for (SHORT pan = 10; pan <= 50; pan += 10)
        ASSERT_HR_OK(protocol->MoveRelative(1, pan, 0, 0, 0, 0));
    EXPECT_EQ(first->Next(5).size(), 5u);
    ExpectCounters(Read(driver.identity.Get()), 5, 35, 0, 0, 0, 0, "five moves");

    {
        LockHolder holder(driver.object->PortLock());
        EXPECT_HR(S_FALSE, protocol->MoveRelative(2, 100, 0, 0, 0, 0));
        ExpectCounters(Read(driver.identity.Get()), 5, 35, 1, 0, 0, 0, "busy line");
    }

    LogCapture log;  // the stuck and the lost line say so in the log
    int slave = ::open(first->Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(tcflow(slave, TCOOFF), 0);
    for (int i = 0; i < 2; ++i) {
        HRESULT result = S_OK;
        std::atomic<bool> returned{false};
        std::thread caller([&] {
            result = protocol->MoveRelative(3, 20, 0, 0, 0, 0);
            returned = true;
        });
        if (!WaitUntil([&] { return returned.load(); }, milliseconds(2500)))
            tcflow(slave, TCOON);  // a write without bound would hold the test for ever
        caller.join();
        EXPECT_HR(HRESULT_FROM_WIN32(ERROR_TIMEOUT), result);
    }
    ExpectCounters(Read(driver.identity.Get()), 5, 35, 1, 0, 2, 0, "stuck line");
    ASSERT_EQ(tcflow(slave, TCOON), 0);
    ::close(slave);
    ASSERT_HR_OK(protocol->MoveRelative(3, 30, 0, 0, 0, 0));
    EXPECT_EQ(first->Next(1).size(), 1u);
    ExpectCounters(Read(driver.identity.Get()), 6, 42, 1, 0, 2, 0, "flowing again");

    first->HangUp();
    ASSERT_HR_OK(protocol->MoveRelative(1, 100, 0, 0, 0, 0));  // the line is down: not sent
    ASSERT_HR_OK(protocol->MoveRelative(1, 100, 0, 0, 0, 0));  // nor is this one tried
    ExpectCounters(Read(driver.identity.Get()), 6, 42, 1, 1, 2, 0, "device gone");

    FarEnd second(Protocol::kPelcoD);
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(second.Path().c_str(), link.c_str()), 0);
    ASSERT_TRUE(
        WaitUntil([&] { return Read(driver.identity.Get()).Reopens == 1; }, milliseconds(4000)));
    ASSERT_HR_OK(protocol->MoveRelative(1, 40, 0, 0, 0, 0));
    EXPECT_EQ(second.Next(1).size(), 1u);
    ExpectCounters(Read(driver.identity.Get()), 7, 49, 1, 1, 2, 1, "back");
    EXPECT_EQ(second.Queued(), 0u) << "a frame went out that was not counted";

    // A new configuration does not reset them: they count what the driver did.
    ASSERT_HR_OK(driver.Reconfigure(LineAttributes(link, "Name=\"Yard\"")));
    ExpectCounters(Read(driver.identity.Get()), 7, 49, 1, 1, 2, 1, "reconfigured");
}

// Every serial driver answers for its frames, whatever their length.
TEST(LineCounters, EachDriverCountsItsFramesAndBytes) {
    RegisterLibraryClasses();
    struct Case {
        const char* name;
        Protocol protocol;
        std::function<ComPtr<IUnknown>(const std::string&, ComPtr<IK47PTZProtocol>*)> open;
    };
    auto opener = [](auto tag) {
        using T = typename decltype(tag)::type;
        return [](const std::string& path, ComPtr<IK47PTZProtocol>* protocol) {
            auto driver = std::make_shared<DriverUnderTest<T>>();
            EXPECT_HR_OK(driver->Initialize(LineAttributes(path)));
            *protocol = driver->protocol;
            return driver->identity;
        };
    };
    const Case cases[] = {
        {"Pelco-D", Protocol::kPelcoD, opener(std::type_identity<CPelcoD>{})},
        {"Panasonic", Protocol::kPanasonic, opener(std::type_identity<CPanasonic>{})},
        {"Bosch", Protocol::kBosch, opener(std::type_identity<CBosch>{})},
    };
    for (const Case& c : cases) {
        FarEnd line(c.protocol);
        ComPtr<IK47PTZProtocol> protocol;
        ComPtr<IUnknown> driver = c.open(line.Path(), &protocol);
        ASSERT_TRUE(driver && protocol) << c.name;
        ASSERT_HR_OK(protocol->MoveRelative(1, 100, 0, 0, 0, 0)) << c.name;
        ASSERT_HR_OK(protocol->MoveRelative(1, 0, 0, 0, 0, 0)) << c.name;
        const Bytes wire = line.NextBytes(2);
        const K47LINECOUNTERS counters = Read(driver.Get());
        EXPECT_EQ(counters.FramesWritten, 2u) << c.name;
        EXPECT_EQ(counters.BytesWritten, wire.size()) << c.name;
        EXPECT_GT(wire.size(), 0u) << c.name;
    }
}

// The caller's cbSize says which fields it knows: those are filled, the rest left alone, and the
// size filled comes back; a record too short for the first counter, or none, is refused.
TEST(LineCounters, TheRecordSizeDecidesWhatIsFilled) {
    RegisterLibraryClasses();
    FarEnd line(Protocol::kPelcoD);
    DriverUnderTest<CPelcoD> driver;
    ASSERT_HR_OK(driver.Initialize(LineAttributes(line.Path())));
    ASSERT_HR_OK(driver.protocol->MoveRelative(1, 100, 0, 0, 0, 0));
    ComPtr<IK47LineCounters> counters;
    ASSERT_HR_OK(driver.identity.As(&counters));

    K47LINECOUNTERS older;
    std::memset(&older, 0xAB, sizeof(older));
    older.cbSize = offsetof(K47LINECOUNTERS, BytesWritten);
    ASSERT_HR_OK(counters->GetLineCounters(&older));
    EXPECT_EQ(older.cbSize, offsetof(K47LINECOUNTERS, BytesWritten));
    EXPECT_EQ(older.FramesWritten, 1u);
    EXPECT_EQ(older.BytesWritten, 0xABABABABABABABABull) << "written past the caller's record";

    struct Newer {
        K47LINECOUNTERS known;
        ULONGLONG later;
    } newer;
    std::memset(&newer, 0xCD, sizeof(newer));
    newer.known.cbSize = sizeof(newer);
    ASSERT_HR_OK(counters->GetLineCounters(&newer.known));
    EXPECT_EQ(newer.known.cbSize, sizeof(K47LINECOUNTERS));
    EXPECT_EQ(newer.known.BytesWritten, 7u);
    EXPECT_EQ(newer.later, 0xCDCDCDCDCDCDCDCDull);

    K47LINECOUNTERS tooShort{};
    tooShort.cbSize = offsetof(K47LINECOUNTERS, FramesWritten);
    EXPECT_HR(E_INVALIDARG, counters->GetLineCounters(&tooShort));
    EXPECT_HR(E_POINTER, counters->GetLineCounters(nullptr));
}

// Two threads move cameras on one fast line while a third reads the counters as fast as it can:
// the reads never go backwards and, at the end, every frame and byte is counted once. (Run under
// TSan to see that reading takes no part in the line's locking.)
TEST(LineCounters, ReadingWhileFramesGoOutLosesNothing) {
    RegisterLibraryClasses();
    FarEnd line(Protocol::kPelcoD);
    DriverUnderTest<CPelcoD> driver;
    ASSERT_HR_OK(driver.Initialize("COMPort=\"" + line.Path() + "\" BaudRate=\"4000000\""));
    constexpr int kMoves = 300;
    std::atomic<bool> done{false};
    std::atomic<int> backwards{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        K47LINECOUNTERS last{};
        while (!done.load()) {
            const K47LINECOUNTERS now = Read(driver.identity.Get());
            if (now.FramesWritten < last.FramesWritten || now.BytesWritten < last.BytesWritten ||
                now.MovesDropped < last.MovesDropped)
                ++backwards;
            last = now;
            ++reads;
        }
    });
    std::atomic<int> dropped{0};
    auto mover = [&](INT_PTR address) {
        for (int i = 0; i < kMoves; ++i) {
            // Stops wait for the line, so both threads keep it busy and none is dropped.
            HRESULT hr = driver.protocol->MoveRelative(address, 0, 0, 0, 0, 0);
            EXPECT_HR_OK(hr);
        }
        // Moves may find the line busy: those are dropped and counted as such.
        for (int i = 0; i < kMoves; ++i)
            if (driver.protocol->MoveRelative(address, 100, 0, 0, 0, 0) == S_FALSE)
                ++dropped;
    };
    std::thread a(mover, 1);
    std::thread b(mover, 2);
    a.join();
    b.join();
    done = true;
    reader.join();
    const K47LINECOUNTERS counters = Read(driver.identity.Get());
    const ULONGLONG sent = 4 * kMoves - static_cast<ULONGLONG>(dropped.load());
    EXPECT_EQ(counters.MovesDropped, static_cast<ULONGLONG>(dropped.load()));
    EXPECT_EQ(counters.FramesWritten, sent);
    EXPECT_EQ(counters.BytesWritten, 7 * sent);
    EXPECT_EQ(line.Next(sent).size(), sent) << "the far end saw another number of frames";
    EXPECT_EQ(backwards.load(), 0);
    EXPECT_GT(reads.load(), 0);
}
