// Serial comm calls on real pseudo-terminal pairs: raw bytes both ways, exclusive open and open
// errors, settings read back (odd baud rates included), ReadFile time-outs with the Windows
// meaning, PurgeComm, a hung-up line, stale and closed handles, and EINTR/short-write handling
// through the syscall seam.
#include <windows.h>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "../../../platform/posix/comm/comm_sys.h"
#include "../../support/BlockedInPoll.h"
#include "k47/pty.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using k47::PtyPair;

// Generous: these run on loaded 2-core machines.
constexpr double kSlackMs = 400;

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (valid()) {
            CloseHandle(h_);
        }
        h_ = h;
    }

  private:
    HANDLE h_;
};

HANDLE OpenPort(const std::string& path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileA(path.c_str(), access, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

BOOL SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
    return SetCommTimeouts(port, &t);
}

// The port set up as the serial drivers do it: 8N1, DTR on, RTS toggling, no flow control,
// read time-outs 50 ms interval, 50 ms per byte plus 1000 ms.
void SetUpLikeDriver(HANDLE port, DWORD baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    ASSERT_TRUE(GetCommState(port, &dcb)) << GetLastError();
    dcb.BaudRate = baud;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    ASSERT_TRUE(SetTimeouts(port, 50, 50, 1000));
}

struct ReadResult {
    BOOL ok;
    DWORD error;
    Bytes bytes;
    double ms;
};

ReadResult Read(HANDLE port, DWORD count) {
    ReadResult r{};
    Bytes buf(count);
    DWORD got = 12345;
    auto start = std::chrono::steady_clock::now();
    r.ok = ReadFile(port, buf.data(), count, &got, nullptr);
    r.ms = MsSince(start);
    r.error = r.ok ? 0 : GetLastError();
    buf.resize(got <= count ? got : 0);
    r.bytes = buf;
    return r;
}

BOOL Write(HANDLE port, const Bytes& bytes, DWORD* written = nullptr) {
    DWORD n = 0;
    BOOL ok = WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    if (written) {
        *written = n;
    }
    return ok;
}

Bytes AllByteValues() {
    Bytes b(256);
    std::iota(b.begin(), b.end(), 0);
    return b;
}

class CommTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port_.reset(OpenPort(pty_.slave_path()));
        ASSERT_TRUE(port_.valid()) << GetLastError();
        SetUpLikeDriver(port_.get(), CBR_9600);
    }

    PtyPair pty_;
    ScopedHandle port_;
};

TEST_F(CommTest, RawBytesPassUnchangedBothWays) {
    // Every byte value, plus the sequences a cooked tty would rewrite (CR LF, ^C, ^D, ^S/^Q,
    // DEL, the Pelco-D and Panasonic framing bytes).
    Bytes payload = AllByteValues();
    const Bytes tricky = {0x0D, 0x0A, 0x0A, 0x0D, 0x03, 0x04, 0x13, 0x11, 0x7F, 0x02, 0xFF, 0x00};
    payload.insert(payload.end(), tricky.begin(), tricky.end());

    DWORD written = 0;
    ASSERT_TRUE(Write(port_.get(), payload, &written)) << GetLastError();
    EXPECT_EQ(written, payload.size());
    EXPECT_EQ(pty_.Read(payload.size(), 5s), payload);
    EXPECT_TRUE(pty_.Read(1, 50ms).empty()) << "nothing echoed or added";

    ASSERT_TRUE(pty_.WriteAll(payload));
    ReadResult r = Read(port_.get(), static_cast<DWORD>(payload.size()));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.bytes, payload);
    EXPECT_TRUE(pty_.Read(1, 50ms).empty()) << "the port echoed what it received";
}

TEST_F(CommTest, PortIsExclusiveUntilClosed) {
    ScopedHandle second(OpenPort(pty_.slave_path()));
    EXPECT_FALSE(second.valid());
    EXPECT_EQ(second.get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    port_.reset();
    ScopedHandle third(OpenPort(pty_.slave_path()));
    EXPECT_TRUE(third.valid()) << "closing the port must release it: " << GetLastError();
    ScopedHandle fourth(OpenPort(pty_.slave_path()));
    EXPECT_FALSE(fourth.valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(CommTest, SettingsReadBackFromThePortAndTheKernel) {
    struct Case {
        DWORD baud;
        BYTE size;
        BYTE parity;
        BYTE stop;
        int kernel_stop;
    };
    const Case cases[] = {
        {9600, 8, NOPARITY, ONESTOPBIT, 1},     {12345, 8, NOPARITY, ONESTOPBIT, 1},
        {250000, 7, EVENPARITY, ONESTOPBIT, 1}, {31250, 8, ODDPARITY, TWOSTOPBITS, 2},
        {300, 5, MARKPARITY, ONE5STOPBITS, 2},  {1000001, 6, SPACEPARITY, ONESTOPBIT, 1},
        {2400, 8, NOPARITY, ONESTOPBIT, 1},
    };
    for (const Case& c : cases) {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        ASSERT_TRUE(GetCommState(port_.get(), &dcb));
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.size;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        ASSERT_TRUE(SetCommState(port_.get(), &dcb)) << c.baud << " " << GetLastError();

        DCB back{};
        ASSERT_TRUE(GetCommState(port_.get(), &back));
        EXPECT_EQ(back.DCBlength, sizeof(DCB));
        EXPECT_EQ(back.BaudRate, c.baud);
        EXPECT_EQ(back.ByteSize, c.size) << c.baud;
        EXPECT_EQ(back.Parity, c.parity) << c.baud;
        EXPECT_EQ(back.StopBits, c.stop) << c.baud;
        // A pty cannot take DTR or RTS settings; the port still reports what was asked.
        EXPECT_EQ(back.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE)) << c.baud;
        EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE)) << c.baud;
        EXPECT_EQ(back.fOutxCtsFlow, 0u);
        EXPECT_EQ(back.fOutX, 0u);
        EXPECT_EQ(back.fBinary, 1u);

        // Independently of this layer: what the kernel holds for the line. A pty forces 8 data
        // bits without parity, so only speed, stop bits, flow control and raw mode show there.
        std::optional<k47::PtyLineSettings> line = pty_.SlaveSettings();
        ASSERT_TRUE(line);
        EXPECT_EQ(line->baud, c.baud);
        EXPECT_EQ(line->data_bits, 8) << c.baud;
        EXPECT_EQ(line->parity, 'N') << c.baud;
        EXPECT_EQ(line->stop_bits, c.kernel_stop) << c.baud;
        EXPECT_FALSE(line->rts_cts);
        EXPECT_FALSE(line->xon_out);
        EXPECT_FALSE(line->xon_in);
        EXPECT_TRUE(line->raw);
    }
}

TEST_F(CommTest, RefusedSettingsLeaveThePortAsItWas) {
    DCB before{};
    ASSERT_TRUE(GetCommState(port_.get(), &before));
    struct Case {
        const char* name;
        std::function<void(DCB&)> change;
        DWORD error;
    };
    const Case cases[] = {
        {"baud 0", [](DCB& d) { d.BaudRate = 0; }, ERROR_INVALID_PARAMETER},
        {"9 data bits", [](DCB& d) { d.ByteSize = 9; }, ERROR_INVALID_PARAMETER},
        {"8 data 1.5 stop", [](DCB& d) { d.StopBits = ONE5STOPBITS; }, ERROR_INVALID_PARAMETER},
        {"5 data 2 stop",
         [](DCB& d) {
             d.ByteSize = 5;
             d.StopBits = TWOSTOPBITS;
         },
         ERROR_INVALID_PARAMETER},
        {"DSR flow", [](DCB& d) { d.fOutxDsrFlow = 1; }, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        DCB dcb = before;
        dcb.BaudRate = 57600;  // would change the line if anything were applied
        c.change(dcb);
        SetLastError(0);
        EXPECT_FALSE(SetCommState(port_.get(), &dcb)) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        DCB after{};
        ASSERT_TRUE(GetCommState(port_.get(), &after));
        EXPECT_EQ(after.BaudRate, before.BaudRate) << c.name;
        EXPECT_EQ(after.ByteSize, before.ByteSize) << c.name;
        EXPECT_EQ(after.StopBits, before.StopBits) << c.name;
        EXPECT_EQ(pty_.SlaveSettings()->baud, before.BaudRate) << c.name;
    }
}

TEST_F(CommTest, ReadTimeoutSpecialCases) {
    // Return at once with whatever is there, even nothing.
    ASSERT_TRUE(SetTimeouts(port_.get(), MAXDWORD, 0, 0));
    ReadResult none = Read(port_.get(), 8);
    ASSERT_TRUE(none.ok);
    EXPECT_TRUE(none.bytes.empty());
    EXPECT_LT(none.ms, kSlackMs);
    ASSERT_TRUE(pty_.WriteAll(Bytes{1, 2, 3}));
    ASSERT_TRUE(pty_.WaitSlaveQueued(3, 5s));
    ReadResult some = Read(port_.get(), 8);
    EXPECT_EQ(some.bytes, (Bytes{1, 2, 3}));
    EXPECT_LT(some.ms, kSlackMs);

    // Wait up to the constant for a first byte, then return with it at once.
    ASSERT_TRUE(SetTimeouts(port_.get(), MAXDWORD, MAXDWORD, 300));
    ReadResult timed_out = Read(port_.get(), 8);
    ASSERT_TRUE(timed_out.ok);
    EXPECT_TRUE(timed_out.bytes.empty());
    EXPECT_GE(timed_out.ms, 300 - 1);
    EXPECT_LT(timed_out.ms, 300 + kSlackMs);

    ASSERT_TRUE(SetTimeouts(port_.get(), MAXDWORD, MAXDWORD, 20000));
    std::atomic<pid_t> tid{0};
    ReadResult first;
    std::thread reader([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        first = Read(port_.get(), 8);
    });
    while (tid == 0) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(k47test::WaitUntilBlockedInPoll(tid));
    auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(pty_.WriteAll(Bytes{0x42}));
    reader.join();
    EXPECT_LT(MsSince(sent), 20000 - 1000) << "returned with the first byte";
    EXPECT_EQ(first.bytes, Bytes{0x42});
}

TEST_F(CommTest, PurgeDiscardsPendingInput) {
    ASSERT_TRUE(pty_.WriteAll(Bytes{9, 8, 7, 6, 5}));
    ASSERT_TRUE(pty_.WaitSlaveQueued(5, 5s));
    ASSERT_TRUE(PurgeComm(port_.get(), PURGE_RXABORT | PURGE_RXCLEAR)) << GetLastError();
    EXPECT_EQ(pty_.SlaveQueuedInput(), 0u);

    ASSERT_TRUE(SetTimeouts(port_.get(), MAXDWORD, 0, 0));
    EXPECT_TRUE(Read(port_.get(), 8).bytes.empty());
    ASSERT_TRUE(pty_.WriteAll(Bytes{1, 2}));
    ASSERT_TRUE(pty_.WaitSlaveQueued(2, 5s));
    EXPECT_EQ(Read(port_.get(), 8).bytes, (Bytes{1, 2})) << "only input after the purge";

    EXPECT_TRUE(PurgeComm(port_.get(), PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_TRUE(PurgeComm(port_.get(), 0));
    SetLastError(0);
    EXPECT_FALSE(PurgeComm(port_.get(), 0x10));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(CommTest, HungUpLineFailsInsteadOfHanging) {
    ASSERT_TRUE(SetTimeouts(port_.get(), 0, 0, 0));  // a read that would otherwise wait forever
    pty_.HangUp();
    auto start = std::chrono::steady_clock::now();

    SetLastError(0);
    DWORD written = 99;
    EXPECT_FALSE(Write(port_.get(), Bytes(64, 0x55), &written));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(written, 0u);

    ReadResult r = Read(port_.get(), 4);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

    SetLastError(0);
    EXPECT_FALSE(FlushFileBuffers(port_.get()));
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_LT(MsSince(start), 5000);
}

TEST_F(CommTest, HangUpWakesABlockedReader) {
    ASSERT_TRUE(SetTimeouts(port_.get(), 0, 0, 0));
    std::atomic<pid_t> tid{0};
    ReadResult result;
    std::thread reader([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        result = Read(port_.get(), 4);
    });
    while (tid == 0) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(k47test::WaitUntilBlockedInPoll(tid));
    pty_.HangUp();
    reader.join();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
}

TEST_F(CommTest, CloseHandleWakesABlockedReaderAndFreesThePort) {
    ASSERT_TRUE(SetTimeouts(port_.get(), 0, 0, 0));
    std::atomic<pid_t> tid{0};
    ReadResult result;
    HANDLE port = port_.get();
    std::thread reader([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        result = Read(port, 4);
    });
    while (tid == 0) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(k47test::WaitUntilBlockedInPoll(tid));
    ASSERT_TRUE(CloseHandle(port_.release()));
    reader.join();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    ScopedHandle again(OpenPort(pty_.slave_path()));
    EXPECT_TRUE(again.valid()) << GetLastError();
}

// Fault injection through the syscall seam. The fakes count calls in globals because the table
// holds plain function pointers.
std::atomic<int> g_eintr_left{0};
std::atomic<int> g_calls{0};

int PollEintrThenReal(pollfd* fds, nfds_t n, int timeout) {
    ++g_calls;
    if (g_eintr_left.fetch_sub(1) > 0) {
        errno = EINTR;
        return -1;
    }
    return k47::comm::RealCommSyscalls().poll(fds, n, timeout);
}

ssize_t ReadOneByteAfterEintr(int fd, void* buf, size_t) {
    ++g_calls;
    if (g_eintr_left.fetch_sub(1) > 0) {
        errno = EINTR;
        return -1;
    }
    g_eintr_left = 1;  // every other call is interrupted
    return k47::comm::RealCommSyscalls().read(fd, buf, 1);
}

// Three bytes at most per call; every other call finds the line full (EAGAIN) or is
// interrupted (EINTR).
ssize_t ShortWrites(int fd, const void* buf, size_t count) {
    int call = g_calls++;
    if (call % 3 == 1) {
        errno = EAGAIN;
        return -1;
    }
    if (call % 3 == 2) {
        errno = EINTR;
        return -1;
    }
    return k47::comm::RealCommSyscalls().write(fd, buf, count < 3 ? count : 3);
}

ssize_t WriteAcceptsNothing(int, const void*, size_t) {
    ++g_calls;
    return 0;
}

std::string g_opened_path;
int g_open_flags = 0;

int OpenFindsNoDevice(const char* path, int flags) {
    ++g_calls;
    g_opened_path = path;
    g_open_flags = flags;
    errno = ENODEV;
    return -1;
}

// The open goes through the seam too (fuzzers rely on it to keep every port shut): a device that
// cannot be opened fails CreateFileA with its Windows error, and the port is opened without
// becoming the process's controlling terminal.
TEST_F(CommTest, OpenThatFindsNoDeviceFailsWithItsError) {
    port_.reset();
    k47::comm::ScopedCommSyscalls restore;
    g_calls = 0;
    k47::comm::CommSyscalls().open = OpenFindsNoDevice;
    ScopedHandle refused(OpenPort(pty_.slave_path()));
    EXPECT_FALSE(refused.valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(g_calls.load(), 1);
    EXPECT_EQ(g_opened_path, pty_.slave_path());
    EXPECT_EQ(g_open_flags & (O_ACCMODE | O_NOCTTY), O_RDWR | O_NOCTTY);

    k47::comm::CommSyscalls() = k47::comm::RealCommSyscalls();
    ScopedHandle opened(OpenPort(pty_.slave_path()));
    EXPECT_TRUE(opened.valid()) << GetLastError();
}

TEST_F(CommTest, ReadSurvivesInterruptedPollsAndReads) {
    k47::comm::ScopedCommSyscalls restore;
    ASSERT_TRUE(pty_.WriteAll(Bytes{10, 20, 30, 40, 50}));
    ASSERT_TRUE(pty_.WaitSlaveQueued(5, 5s));
    g_eintr_left = 3;
    g_calls = 0;
    k47::comm::CommSyscalls().poll = PollEintrThenReal;
    ReadResult r = Read(port_.get(), 5);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.bytes, (Bytes{10, 20, 30, 40, 50}));
    EXPECT_GE(g_calls.load(), 4);

    k47::comm::CommSyscalls() = k47::comm::RealCommSyscalls();
    ASSERT_TRUE(pty_.WriteAll(Bytes{1, 2, 3, 4, 5, 6}));
    ASSERT_TRUE(pty_.WaitSlaveQueued(6, 5s));
    g_eintr_left = 1;
    g_calls = 0;
    k47::comm::CommSyscalls().read = ReadOneByteAfterEintr;
    r = Read(port_.get(), 6);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.bytes, (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(g_calls.load(), 12) << "one interrupted and one 1-byte read per byte";
}

TEST_F(CommTest, WriteCompletesThroughShortWritesEagainAndEintr) {
    k47::comm::ScopedCommSyscalls restore;
    g_calls = 0;
    k47::comm::CommSyscalls().write = ShortWrites;
    Bytes payload = AllByteValues();
    DWORD written = 0;
    ASSERT_TRUE(Write(port_.get(), payload, &written)) << GetLastError();
    EXPECT_EQ(written, payload.size());
    EXPECT_GE(g_calls.load(), 3 * 86 - 2);
    EXPECT_EQ(pty_.Read(payload.size(), 5s), payload) << "every byte once, in order";
}

TEST_F(CommTest, WriteThatMakesNoProgressFailsInsteadOfSpinning) {
    k47::comm::ScopedCommSyscalls restore;
    g_calls = 0;
    k47::comm::CommSyscalls().write = WriteAcceptsNothing;
    SetLastError(0);
    EXPECT_FALSE(Write(port_.get(), Bytes{1, 2, 3}));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_EQ(g_calls.load(), 1);
}

// One thread writes through the port while another reads from it and a third changes the
// time-outs: the line is full duplex, and TSan checks the state the three share.
TEST_F(CommTest, ConcurrentReadWriteAndSettings) {
    ASSERT_TRUE(SetTimeouts(port_.get(), 0, 0, 5000));
    const Bytes out = AllByteValues();
    Bytes in(300);
    for (size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<uint8_t>(i * 7);
    }
    ReadResult received;
    std::thread reader([&] { received = Read(port_.get(), static_cast<DWORD>(in.size())); });
    std::thread writer([&] {
        for (int i = 0; i < 8; ++i) {
            Write(port_.get(), Bytes(out.begin() + i * 32, out.begin() + (i + 1) * 32));
        }
    });
    std::thread settings([&] {
        for (int i = 0; i < 50; ++i) {
            COMMTIMEOUTS t{};
            GetCommTimeouts(port_.get(), &t);
            SetCommTimeouts(port_.get(), &t);
            DCB dcb{};
            GetCommState(port_.get(), &dcb);
        }
    });
    ASSERT_TRUE(pty_.WriteAll(in));
    Bytes got = pty_.Read(out.size(), 10s);
    writer.join();
    reader.join();
    settings.join();
    EXPECT_EQ(got, out);
    ASSERT_TRUE(received.ok);
    EXPECT_EQ(received.bytes, in);
}

}  // namespace

// A synchronous write is done when its bytes have left the wire: never before their line time at
// the port's speed and framing (a pty drains at once, so only the computed time holds it), and
// not much later.
TEST_F(CommTest, WriteReturnsWhenItsLineTimeHasPassed) {
    struct Case {
        DWORD baud;
        BYTE parity;
        BYTE stop_bits;
        size_t bytes;
        double line_ms;
    } cases[] = {
        {9600, NOPARITY, ONESTOPBIT, 480, 500.0},     // 10 bits a character
        {2400, NOPARITY, ONESTOPBIT, 120, 500.0},     // the rate counts
        {9600, EVENPARITY, TWOSTOPBITS, 400, 500.0},  // 12 bits: parity and stop bits count
    };
    for (const Case& c : cases) {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        ASSERT_TRUE(GetCommState(port_.get(), &dcb));
        dcb.BaudRate = c.baud;
        dcb.Parity = c.parity;
        dcb.fParity = c.parity != NOPARITY;
        dcb.StopBits = c.stop_bits;
        ASSERT_TRUE(SetCommState(port_.get(), &dcb)) << GetLastError();
        Bytes payload(c.bytes, 0x55);
        auto start = std::chrono::steady_clock::now();
        DWORD written = 0;
        ASSERT_TRUE(Write(port_.get(), payload, &written)) << GetLastError();
        double ms = MsSince(start);
        EXPECT_EQ(written, c.bytes);
        EXPECT_GE(ms, c.line_ms) << c.baud << " Bd, " << c.bytes << " bytes";
        // 11 bits instead of 12, or 9 instead of 10, would miss this; a loaded machine does not.
        EXPECT_LT(ms, c.line_ms * 1.08 + 60) << c.baud << " Bd, " << c.bytes << " bytes";
        EXPECT_EQ(pty_.Read(c.bytes, 5s).size(), c.bytes);
    }
}

std::atomic<int64_t> g_queue_until_ns{0};

// An adapter whose queue reports 50 bytes until a given time, whatever the line time says.
int QueueThatDrainsLate(int, int* count) {
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    *count = now < g_queue_until_ns.load() ? 50 : 0;
    return 0;
}

TEST_F(CommTest, WriteWaitsForTheDriversOutputQueue) {
    k47::comm::ScopedCommSyscalls restore;
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    ASSERT_TRUE(GetCommState(port_.get(), &dcb));
    dcb.BaudRate = 1000000;  // line time of 7 bytes: 70 us
    ASSERT_TRUE(SetCommState(port_.get(), &dcb));
    auto start = std::chrono::steady_clock::now();
    g_queue_until_ns = (start + 200ms).time_since_epoch().count();
    k47::comm::CommSyscalls().output_queue = QueueThatDrainsLate;
    ASSERT_TRUE(Write(port_.get(), Bytes(7, 1)));
    double ms = MsSince(start);
    EXPECT_GE(ms, 200.0);
    EXPECT_LT(ms, 200.0 + kSlackMs);

    // A queue that never drains meets the write limit: the bytes still queued did not go out.
    g_queue_until_ns = (start + 1h).time_since_epoch().count();
    COMMTIMEOUTS t{50, 50, 1000, 5, 250};
    ASSERT_TRUE(SetCommTimeouts(port_.get(), &t));
    start = std::chrono::steady_clock::now();
    DWORD written = 99;
    EXPECT_TRUE(Write(port_.get(), Bytes(7, 1), &written));
    ms = MsSince(start);
    EXPECT_EQ(written, 0u);
    EXPECT_GE(ms, 285.0);
    EXPECT_LT(ms, 285.0 + kSlackMs);
}

// A far end that takes nothing (output suspended): with write time-outs the call gives up at
// its limit, reports what went out, and leaves nothing behind to go out late; without them it
// waits until the line flows again.
TEST(CommStuckLineTest, WriteTimeOutAbandonsTheFrameAndTheNextWriteWorks) {
    PtyPair pty;
    // Our own descriptor of the slave, opened before the port takes it exclusively, to stop and
    // restart the line's output as a stuck far end would.
    int slave = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    ScopedHandle port(OpenPort(pty.slave_path()));
    ASSERT_TRUE(port.valid()) << GetLastError();
    SetUpLikeDriver(port.get(), CBR_9600);
    COMMTIMEOUTS t{50, 50, 1000, 5, 250};  // 5 ms a byte + 250 ms
    ASSERT_TRUE(SetCommTimeouts(port.get(), &t));

    ASSERT_EQ(tcflow(slave, TCOOFF), 0);
    auto start = std::chrono::steady_clock::now();
    DWORD written = 99;
    EXPECT_TRUE(Write(port.get(), Bytes{0xFF, 1, 0, 0, 0, 0, 1}, &written));
    double ms = MsSince(start);
    EXPECT_EQ(written, 0u);
    EXPECT_GE(ms, 285.0);
    EXPECT_LT(ms, 285.0 + kSlackMs);

    ASSERT_EQ(tcflow(slave, TCOON), 0);
    ASSERT_TRUE(Write(port.get(), Bytes{0xFF, 2, 0, 0, 0, 0, 2}, &written));
    EXPECT_EQ(written, 7u);
    EXPECT_EQ(pty.Read(7, 2s), (Bytes{0xFF, 2, 0, 0, 0, 0, 2})) << "the abandoned frame never goes";

    // No time-outs: the write waits for the line, and goes out whole once it flows.
    COMMTIMEOUTS none{50, 50, 1000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port.get(), &none));
    ASSERT_EQ(tcflow(slave, TCOOFF), 0);
    std::atomic<bool> returned{false};
    std::thread writer([&] {
        Write(port.get(), Bytes{0xFF, 3, 0, 0, 0, 0, 3});
        returned = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(returned.load());
    ASSERT_EQ(tcflow(slave, TCOON), 0);
    writer.join();
    EXPECT_EQ(pty.Read(7, 2s), (Bytes{0xFF, 3, 0, 0, 0, 0, 3}));
    ::close(slave);
}
