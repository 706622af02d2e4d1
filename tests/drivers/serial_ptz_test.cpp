// The serial port layer every serial driver shares, run for each of the three drivers: the line
// settings of every open, configuration without a port (nothing else read, nothing written), the
// exact debug dump, switching ports, ports that cannot be opened, the records handed to new
// cameras, and concurrent senders on the drivers whose frames all wait for the line.
#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <functional>
#include <thread>

#include "drivers/Bosch.h"
#include "drivers/Panasonic.h"
#include "drivers/PelcoD.h"
#include "tests/drivers/DriverTestUtil.h"
#include "tests/support/FakeHost.h"

namespace {

using namespace k47test;
using k47::sim::DecodedFrame;
using k47::sim::FrameKind;
using k47::sim::Protocol;
using Microsoft::WRL::ComPtr;

struct DriverClass {
    const char* name;  // also the file part of its handlers
    const CLSID* clsid;
    Protocol protocol;
    Bytes moveBytes;  // what MoveRelative(1, 100, 0, 0, 0, 0) writes
};

const DriverClass kClasses[] = {
    {"PelcoD", &CLSID_K47PelcoD, Protocol::kPelcoD, {0xFF, 0x01, 0x00, 0x02, 0x3F, 0x00, 0x42}},
    {"Panasonic", &CLSID_K47Panasonic, Protocol::kPanasonic,
     Stx("RON:7;GC^:202136C:2022700:2021264:2022000:0021004")},
    {"Bosch", &CLSID_Bosch, Protocol::kBosch, {0x87, 0x00, 0x00, 0x05, 0x00, 0x78, 0x01, 0x05}},
};

struct Driver {
    ComPtr<IK47ObjectConfiguration> configuration;
    ComPtr<IK47PTZProtocol> protocol;

    explicit Driver(const CLSID& clsid) {
        EXPECT_HR_OK(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IK47ObjectConfiguration,
                                      reinterpret_cast<void**>(configuration.GetAddressOf())));
        if (configuration) {
            EXPECT_HR_OK(configuration.As(&protocol));
        }
    }
    HRESULT Initialize(const std::string& attributes, IUnknown* owner = nullptr,
                       IUnknown* initData = nullptr) {
        return configuration->Initialize(XmlElement("<Protocol " + attributes + "/>").Get(), owner,
                                         reinterpret_cast<ULONG_PTR>(initData));
    }
    HRESULT Reconfigure(const std::string& attributes) {
        return configuration->Reconfigure(XmlElement("<Protocol " + attributes + "/>").Get());
    }
    HRESULT Move() { return protocol->MoveRelative(1, 100, 0, 0, 0, 0); }
};

// The lower-case dump of a frame, each byte followed by a blank.
std::string Dump(const Bytes& bytes) {
    std::string text;
    char piece[4];
    for (uint8_t b : bytes) {
        std::snprintf(piece, sizeof(piece), "%02x ", b);
        text += piece;
    }
    return text;
}

// Opens a line the way a second user would; the handle is closed by the holder.
CWin32HANDLE OpenLine(const std::string& path, DWORD* error = nullptr) {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (error != nullptr)
        *error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    return CWin32HANDLE(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

// A complete frame of the protocol, written by the test itself as a marker.
Bytes Marker(Protocol protocol) {
    switch (protocol) {
        case Protocol::kPelcoD:
            return {0xFF, 0xEE, 0x00, 0x07, 0x00, 0x77, 0x6C};
        case Protocol::kPanasonic:
            return Stx("RON:7;GC7:0021941");
        case Protocol::kBosch:
            return {0x86, 0x00, 0x00, 0x07, 0x05, 0x0C, 0x1E};
    }
    return {};
}

// Writes a marker from the test's own handle on the line and expects it as the next frame on the
// far end: the driver wrote nothing before it.
void ExpectOnlyMarker(FarEnd& line, Protocol protocol, HANDLE handle, const std::string& what) {
    const Bytes marker = Marker(protocol);
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(handle, marker.data(), static_cast<DWORD>(marker.size()), &written, nullptr));
    EXPECT_EQ(Hex(line.NextBytes()), Hex(marker)) << what;
}

class SerialLineTest : public ::testing::Test {
  protected:
    void SetUp() override { RegisterLibraryClasses(); }
    LogCapture log_;
};

// Every open sets the rate, 8 data bits, no parity, one stop bit, no flow control and a raw line,
// whatever the line was left with; the port is then the driver's alone.
TEST_F(SerialLineTest, EveryOpenSetsTheLine) {
    const DWORD rates[] = {2400, 9600, 38400};
    for (const DriverClass& c : kClasses) {
        for (DWORD rate : rates) {
            k47::PtyPair pty;
            termios messy{};
            ASSERT_EQ(tcgetattr(pty.master_fd(), &messy), 0);
            messy.c_cflag |= CRTSCTS | CSTOPB;
            messy.c_iflag |= IXON | IXOFF | ICRNL;
            messy.c_lflag |= ICANON | ECHO;
            messy.c_oflag |= OPOST;
            cfsetspeed(&messy, B300);
            ASSERT_EQ(tcsetattr(pty.master_fd(), TCSANOW, &messy), 0);

            Driver driver(*c.clsid);
            ASSERT_HR_OK(driver.Initialize("COMPort=\"" + pty.slave_path() + "\" BaudRate=\"" +
                                           std::to_string(rate) + "\""))
                << c.name;
            auto settings = pty.SlaveSettings();
            ASSERT_TRUE(settings.has_value());
            EXPECT_EQ(settings->baud, rate) << c.name;
            EXPECT_EQ(settings->data_bits, 8) << c.name;
            EXPECT_EQ(settings->parity, 'N') << c.name;
            EXPECT_EQ(settings->stop_bits, 1) << c.name;
            EXPECT_FALSE(settings->rts_cts) << c.name;
            EXPECT_FALSE(settings->xon_out) << c.name;
            EXPECT_FALSE(settings->xon_in) << c.name;
            EXPECT_TRUE(settings->raw) << c.name;

            DWORD error = 0;
            CWin32HANDLE second = OpenLine(pty.slave_path(), &error);
            EXPECT_FALSE(second.IsValid()) << c.name << ": the port is exclusive";
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << c.name;
        }
    }
    EXPECT_TRUE(log_.Lines().empty());
}

// With "Debug" every frame gives one line of "%02x " pieces, equal to the bytes on the line. A
// later configuration without a port keeps the switch: frames are still dumped, nothing written.
TEST_F(SerialLineTest, DebugDumpMatchesTheLine) {
    for (const DriverClass& c : kClasses) {
        FarEnd line(c.protocol);
        Driver driver(*c.clsid);
        ASSERT_HR_OK(driver.Initialize(LineAttributes(line.Path(), "Debug=\"1\"")));
        log_.Clear();
        ASSERT_HR_OK(driver.Move());
        EXPECT_EQ(Hex(line.NextBytes()), Hex(c.moveBytes)) << c.name;
        EXPECT_EQ(log_.DebugLines(), std::vector<std::string>{Dump(c.moveBytes)}) << c.name;

        ASSERT_HR_OK(driver.Reconfigure("Debug=\"0\""));  // no port; "Debug" not read
        log_.Clear();
        ASSERT_HR_OK(driver.Move());
        EXPECT_EQ(log_.DebugLines(), std::vector<std::string>{Dump(c.moveBytes)})
            << c.name << ": still dumped";
        CWin32HANDLE mine = OpenLine(line.Path());
        ASSERT_TRUE(mine.IsValid()) << c.name << ": the driver closed its port";
        ExpectOnlyMarker(line, c.protocol, mine,
                         std::string(c.name) + ": nothing written without a port");
    }
    // "Debug" 0 with a port: no dump.
    FarEnd line(Protocol::kBosch);
    Driver driver(CLSID_Bosch);
    ASSERT_HR_OK(driver.Initialize(LineAttributes(line.Path(), "Debug=\"0\"")));
    log_.Clear();
    ASSERT_HR_OK(driver.Move());
    EXPECT_EQ(line.NextBytes().size(), 8u);
    EXPECT_TRUE(log_.DebugLines().empty());
}

// Ports that cannot be opened or set up: the error comes back with one handler line, and the
// driver runs without port (calls succeed, nothing reaches the line).
TEST_F(SerialLineTest, PortThatCannotBeOpened) {
    FarEnd busy(Protocol::kPelcoD);
    CWin32HANDLE holder = OpenLine(busy.Path());
    ASSERT_TRUE(holder.IsValid());
    FarEnd free(Protocol::kPelcoD);
    struct Case {
        const char* name;
        std::string attributes;
        HRESULT result;
    };
    const Case cases[] = {
        {"missing device", LineAttributes("/dev/k47-no-such-line"),
         HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
        {"missing folder", LineAttributes("/k47-no-such-folder/tty0"),
         HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
        {"port in use", LineAttributes(busy.Path()), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
        {"no baud rate", "COMPort=\"" + free.Path() + "\"", HRESULT_FROM_WIN32(ERROR_NOT_FOUND)},
        {"malformed baud rate", "COMPort=\"" + free.Path() + "\" BaudRate=\"9600 baud\"",
         HRESULT_FROM_WIN32(ERROR_INVALID_DATA)},
        {"malformed debug switch", LineAttributes(free.Path(), "Debug=\"on\""),
         HRESULT_FROM_WIN32(ERROR_INVALID_DATA)},
    };
    for (const DriverClass& c : kClasses) {
        for (const Case& k : cases) {
            Driver driver(*c.clsid);
            log_.Clear();
            EXPECT_HR(k.result, driver.Initialize(k.attributes)) << c.name << ": " << k.name;
            std::vector<std::string> lines = log_.Lines();
            // A port that does not open is also a line that is down, retried later: one line
            // says so before the handler's.
            const bool down = k.result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
                              k.result == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) ||
                              k.result == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
            ASSERT_EQ(lines.size(), down ? 2u : 1u) << c.name << ": " << k.name;
            if (down) {
                EXPECT_NE(lines[0].find("is down"), std::string::npos) << lines[0];
            }
            EXPECT_GT(HandlerLine(lines.back(), "SerialPTZ"), 0) << lines.back();
            EXPECT_HR_OK(driver.Move()) << c.name << ": " << k.name;
        }
    }
    ExpectOnlyMarker(busy, Protocol::kPelcoD, holder, "nothing written to the port in use");
    CWin32HANDLE mine = OpenLine(free.Path());
    ASSERT_TRUE(mine.IsValid()) << "no driver kept the free port open";
    ExpectOnlyMarker(free, Protocol::kPelcoD, mine, "nothing written before the failure");
}

// AddCamera hands the new camera its name, the owner's variable store and the driver's init data
// (the host's port service); a host without a variable store is no error; a camera that refuses
// its element fails AddCamera with its HRESULT and the driver's handler line.
TEST_F(SerialLineTest, CamerasReceiveNameVariableStoreAndPortService) {
    for (const DriverClass& c : kClasses) {
        for (bool withStore : {true, false}) {
            CFakeHost* hostObject = nullptr;
            ComPtr<IUnknown> host = CFakeHost::Create(&hostObject);
            hostObject->SetVariableStore(withStore);
            CFakePortService* portsObject = nullptr;
            ComPtr<IK47PortService> ports = CFakePortService::Create(&portsObject);
            portsObject->SetEnabled(true);
            portsObject->SetPorts({0});  // 0: the camera binds any free port
            Driver driver(*c.clsid);
            ASSERT_HR_OK(driver.Initialize("", host.Get(), ports.Get()));

            ComPtr<IUnknown> camera = AddCamera(driver.protocol.Get(), "Address=\"3\"", u"Gate");
            ASSERT_TRUE(camera) << c.name;
            std::vector<std::u16string> expectedNames;
            if (withStore)
                expectedNames.push_back(u"PTZPreset.Gate");
            EXPECT_EQ(hostObject->VariableNames(), expectedNames)
                << c.name << " store " << withStore;

            ComPtr<IK47PTZCamera> control;
            ASSERT_HR_OK(camera.As(&control));
            ULONG address = 0;
            USHORT port = 0;
            EXPECT_HR_OK(control->StartRemoteSession(&address, &port)) << c.name;
            EXPECT_EQ(portsObject->Allocated().size(), 1u)
                << c.name << ": the camera used the port service";
            INT_PTR cameraAddress = 0;
            EXPECT_HR_OK(control->GetAddress(&cameraAddress));
            EXPECT_EQ(cameraAddress, 3);
            ComPtr<IK47Terminate> terminate;
            ASSERT_HR_OK(camera.As(&terminate));
            terminate->Terminate(TRUE);
        }

        Driver driver(*c.clsid);
        ASSERT_HR_OK(driver.Initialize(""));
        log_.Clear();
        HRESULT result = S_OK;
        AddCamera(driver.protocol.Get(), "Name=\"no address\"", u"Bad", &result);
        EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), result) << c.name;
        bool driverLine = false;
        for (const std::string& line : log_.Lines())
            driverLine |= HandlerLine(line, c.name) > 0;
        EXPECT_TRUE(driverLine) << c.name << ": the driver's AddCamera logs the failure";
    }
}

// A driver object with its port lock, whatever its class.
struct LockableDriver {
    ComPtr<IUnknown> identity;
    ComPtr<IK47PTZProtocol> protocol;
    CSerialPTZ* object = nullptr;
};

template <class T>
LockableDriver OpenDriver(const std::string& attributes) {
    DriverUnderTest<T> driver;
    EXPECT_HR_OK(driver.Initialize(attributes));
    return {driver.identity, driver.protocol, driver.object};
}

// Four threads send on one Panasonic or Bosch line at once, each a Go To Preset and a stop per
// round to its own camera. While another thread holds the line nothing goes out and no call
// returns; once it is free every frame arrives whole (decoded from the far end's byte stream), in
// its sender's order, none dropped, and the frames follow each other on the wire: together never
// faster than their line time, and without gaps of note.
TEST_F(SerialLineTest, ConcurrentSendersGetEveryFrameThroughWholeAndInOrder) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 16;
    struct Case {
        const char* name;
        Protocol protocol;
        DWORD baud;  // the long Panasonic frames on a faster line keep the test short
        LockableDriver (*open)(const std::string&);
    };
    const Case cases[] = {
        {"Panasonic", Protocol::kPanasonic, 38400, OpenDriver<CPanasonic>},
        {"Bosch", Protocol::kBosch, 9600, OpenDriver<CBosch>},
    };
    for (const Case& c : cases) {
        FarEnd line(c.protocol);
        LockableDriver driver =
            c.open("COMPort=\"" + line.Path() + "\" BaudRate=\"" + std::to_string(c.baud) + "\"");
        ASSERT_TRUE(driver.protocol) << c.name;
        std::vector<ComPtr<IUnknown>> cameras;  // more than one: Panasonic frames carry the address
        for (int address = 1; address <= kThreads; ++address)
            cameras.push_back(
                AddCamera(driver.protocol.Get(), "Address=\"" + std::to_string(address) + "\""));

        std::atomic<int> started{0};
        std::atomic<int> returned{0};
        std::atomic<int> failed{0};
        std::vector<std::thread> senders;
        std::chrono::steady_clock::time_point freed;
        {
            LockHolder holder(driver.object->PortLock());
            for (int t = 0; t < kThreads; ++t) {
                senders.emplace_back([&, address = INT_PTR{t + 1}] {
                    ++started;
                    for (int round = 0; round < kRounds; ++round) {
                        failed +=
                            driver.protocol->Command(address, PTZCMD_GOTOPRESET, round) != S_OK;
                        ++returned;
                        failed += driver.protocol->MoveRelative(address, 0, 0, 0, 0, 0) != S_OK;
                        ++returned;
                    }
                });
            }
            EXPECT_TRUE(WaitUntil([&] { return started == kThreads; }, milliseconds(1000)));
            std::this_thread::sleep_for(milliseconds(200));
            EXPECT_EQ(line.Queued(), 0u) << c.name << ": sent while another thread held the line";
            EXPECT_EQ(returned.load(), 0) << c.name << ": a call did not wait for the line";
            freed = std::chrono::steady_clock::now();
        }
        for (std::thread& sender : senders)
            sender.join();
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - freed)
                .count();
        EXPECT_EQ(failed.load(), 0) << c.name;

        std::vector<DecodedFrame> frames = line.Next(kThreads * kRounds * 2, milliseconds(5000));
        EXPECT_TRUE(line.Next(1, milliseconds(100)).empty()) << c.name << ": frames beyond";
        std::vector<std::vector<std::string>> got(kThreads);
        std::vector<std::string> strays;
        size_t bytes = 0;
        for (const DecodedFrame& f : frames) {
            bytes += f.raw.size();
            if (f.kind == FrameKind::kMalformed || f.address < 1 || f.address > kThreads) {
                strays.push_back(k47::sim::Describe(f));
                continue;
            }
            got[f.address - 1].push_back(f.kind == FrameKind::kPresetGo
                                             ? "go " + std::to_string(f.preset)
                                             : k47::sim::KindName(f.kind));
        }
        EXPECT_TRUE(strays.empty()) << c.name << ": " << testing::PrintToString(strays);
        std::vector<std::string> expected;
        for (int round = 0; round < kRounds; ++round) {
            expected.push_back("go " + std::to_string(round));
            expected.push_back(k47::sim::KindName(FrameKind::kStop));
        }
        for (int t = 0; t < kThreads; ++t)
            EXPECT_EQ(got[t], expected) << c.name << ", camera " << t + 1;

        // 10 bits a byte; the first frame started when the line was freed.
        const double lineMs = static_cast<double>(bytes) * 10 * 1000 / c.baud;
        EXPECT_GE(ms, lineMs - 1) << c.name << ": faster than the line";
        EXPECT_LT(ms, lineMs * 1.5 + 200) << c.name << ": " << bytes << " bytes";
    }
}

}  // namespace
