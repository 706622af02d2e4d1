// The state a serial driver reports through IK47LineStatus: what each configuration and each
// failure of the line leaves there, and that reading it never waits for the port lock, which a
// frame holds for as long as the line takes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atlbase.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "drivers/PelcoD.h"
#include "tests/drivers/DriverTestUtil.h"

namespace {

using namespace k47test;
using k47::sim::Protocol;
using Clock = std::chrono::steady_clock;

struct Status {
    K47LINESTATE state = static_cast<K47LINESTATE>(-1);
    std::string device;
    std::string lastError;
};

Status Read(IUnknown* driver) {
    Status status;
    Microsoft::WRL::ComPtr<IK47LineStatus> line;
    EXPECT_HR_OK(
        driver->QueryInterface(IID_IK47LineStatus, reinterpret_cast<void**>(line.GetAddressOf())));
    if (!line)
        return status;
    CComBSTR device, lastError;
    EXPECT_HR_OK(line->GetLineStatus(&status.state, &device, &lastError));
    if (device.m_str != nullptr)
        status.device = static_cast<LPSTR>(CW2A(device, CP_UTF8));
    if (lastError.m_str != nullptr)
        status.lastError = static_cast<LPSTR>(CW2A(lastError, CP_UTF8));
    return status;
}

// Waits up to `timeout` for the line to report `state`.
bool WaitForState(IUnknown* driver, K47LINESTATE state, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Read(driver).state != state) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace

// No port, a port that is there, its device gone (with the error that said so), the device back
// (the error stays: it is the last one the line had), and a new configuration that forgets it.
TEST(LineStatus, FollowsTheLineThroughConfigurationLossAndReturn) {
    RegisterLibraryClasses();
    TempFolder dir;
    const std::string link = dir.Path() + "/line.tty";
    DriverUnderTest<CPelcoD> driver;
    ASSERT_HR_OK(driver.Initialize("Name=\"Yard\""));
    Status status = Read(driver.identity.Get());
    EXPECT_EQ(status.state, K47LINE_NONE);
    EXPECT_EQ(status.device, "");
    EXPECT_EQ(status.lastError, "");

    LogCapture log;
    EXPECT_FALSE(SUCCEEDED(driver.Reconfigure(LineAttributes(link, "Name=\"Yard\""))));
    status = Read(driver.identity.Get());
    EXPECT_EQ(status.state, K47LINE_DOWN);
    EXPECT_EQ(status.device, link);
    EXPECT_NE(status.lastError.find("(error 2)"), std::string::npos) << status.lastError;

    auto first = std::make_unique<FarEnd>(Protocol::kPelcoD);
    ASSERT_EQ(symlink(first->Path().c_str(), link.c_str()), 0);
    ASSERT_HR_OK(driver.Reconfigure(LineAttributes(link, "Name=\"Yard\"")));
    status = Read(driver.identity.Get());
    EXPECT_EQ(status.state, K47LINE_UP);
    EXPECT_EQ(status.device, link);
    EXPECT_EQ(status.lastError, "") << "a new configuration starts without the old error";

    first->HangUp();
    ASSERT_HR_OK(driver.protocol->MoveRelative(1, 100, 0, 0, 0, 0));
    status = Read(driver.identity.Get());
    EXPECT_EQ(status.state, K47LINE_DOWN);
    EXPECT_NE(status.lastError.find("not connected"), std::string::npos) << status.lastError;

    // The driver's own worker reopens the line on its beat, without a call.
    FarEnd second(Protocol::kPelcoD);
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(second.Path().c_str(), link.c_str()), 0);
    ASSERT_TRUE(WaitForState(driver.identity.Get(), K47LINE_UP, std::chrono::milliseconds(4000)));
    EXPECT_NE(Read(driver.identity.Get()).lastError.find("not connected"), std::string::npos);
}

// A configuration the line cannot take is reported in words an operator can act on, not as a
// result code: settings that cannot be read, and a device that is not a serial port.
TEST(LineStatus, ConfigurationFailuresAreReportedInWords) {
    RegisterLibraryClasses();
    TempFolder dir;
    FarEnd far(Protocol::kPelcoD);
    DriverUnderTest<CPelcoD> driver;
    ASSERT_HR_OK(driver.Initialize("Name=\"Yard\""));
    LogCapture log;

    EXPECT_FALSE(SUCCEEDED(driver.Reconfigure("COMPort=\"" + far.Path() + "\" BaudRate=\"fast\"")));
    Status status = Read(driver.identity.Get());
    EXPECT_NE(status.lastError.find("settings could not be read"), std::string::npos)
        << status.lastError;
    EXPECT_EQ(status.lastError.find("0x"), std::string::npos) << status.lastError;

    // No rate at all: the port opens, then refuses it.
    EXPECT_FALSE(SUCCEEDED(driver.Reconfigure("COMPort=\"" + far.Path() + "\" BaudRate=\"0\"")));
    status = Read(driver.identity.Get());
    EXPECT_NE(status.lastError.find("refused the line's settings"), std::string::npos)
        << status.lastError;
    EXPECT_NE(status.lastError.find("(error "), std::string::npos) << status.lastError;
    EXPECT_EQ(status.lastError.find("0x"), std::string::npos) << status.lastError;
}

// A frame holds the port lock for as long as the line takes (a stuck line: its whole bound);
// the status is read meanwhile without waiting for it.
TEST(LineStatus, ReadingDoesNotWaitForTheLine) {
    RegisterLibraryClasses();
    FarEnd line(Protocol::kPelcoD);
    DriverUnderTest<CPelcoD> driver;
    ASSERT_HR_OK(driver.Initialize(LineAttributes(line.Path(), "Name=\"Gate\"")));
    std::promise<void> held;
    std::promise<void> release;
    std::thread holder([&] {
        CK47ScopedLock lock(driver.object->PortLock());
        held.set_value();
        release.get_future().wait_for(std::chrono::seconds(2));
    });
    held.get_future().wait();
    const auto start = Clock::now();
    auto reader = std::async(std::launch::async, [&] { return Read(driver.identity.Get()); });
    const bool quick = reader.wait_for(std::chrono::milliseconds(500)) == std::future_status::ready;
    release.set_value();
    holder.join();
    EXPECT_TRUE(quick) << "the status waited for the port lock";
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(reader.get().state, K47LINE_UP);
}
