// The pure half of the serial comm calls: which DCBs are refused, DCB -> termios and back, the
// modem-line plan, PurgeComm flags, and the COMMTIMEOUTS rules of ReadFile/WriteFile as steps
// of elapsed time (Windows meaning: timing starts at the first byte for the interval, at the
// call for the total; MAXDWORD special cases; all zero waits for everything).
#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "../../platform/posix/comm_mapping.h"

namespace {

using namespace k47::posix::comm;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

DCB Base() {
    DCB dcb = DefaultDcb();
    dcb.BaudRate = 9600;
    return dcb;
}

TEST(CommMapping, CheckDcbRefusesWhatWindowsRefusesAndWhatLinuxCannotDo) {
    struct Case {
        const char* name;
        std::function<void(DCB&)> change;
        DWORD expected;
    };
    const Case cases[] = {
        {"8N1 9600", [](DCB&) {}, ERROR_SUCCESS},
        {"driver setup: DTR on, RTS toggle",
         [](DCB& d) {
             d.fDtrControl = DTR_CONTROL_ENABLE;
             d.fRtsControl = RTS_CONTROL_TOGGLE;
         },
         ERROR_SUCCESS},
        {"odd baud", [](DCB& d) { d.BaudRate = 12345; }, ERROR_SUCCESS},
        {"baud 0", [](DCB& d) { d.BaudRate = 0; }, ERROR_INVALID_PARAMETER},
        {"4 data bits", [](DCB& d) { d.ByteSize = 4; }, ERROR_INVALID_PARAMETER},
        {"9 data bits", [](DCB& d) { d.ByteSize = 9; }, ERROR_INVALID_PARAMETER},
        {"5 data bits", [](DCB& d) { d.ByteSize = 5; }, ERROR_SUCCESS},
        {"parity code 5", [](DCB& d) { d.Parity = 5; }, ERROR_INVALID_PARAMETER},
        {"space parity", [](DCB& d) { d.Parity = SPACEPARITY; }, ERROR_SUCCESS},
        {"stop-bit code 3", [](DCB& d) { d.StopBits = 3; }, ERROR_INVALID_PARAMETER},
        {"5 data + 2 stop",
         [](DCB& d) {
             d.ByteSize = 5;
             d.StopBits = TWOSTOPBITS;
         },
         ERROR_INVALID_PARAMETER},
        {"5 data + 1.5 stop",
         [](DCB& d) {
             d.ByteSize = 5;
             d.StopBits = ONE5STOPBITS;
         },
         ERROR_SUCCESS},
        {"6 data + 1.5 stop",
         [](DCB& d) {
             d.ByteSize = 6;
             d.StopBits = ONE5STOPBITS;
         },
         ERROR_INVALID_PARAMETER},
        {"8 data + 1.5 stop", [](DCB& d) { d.StopBits = ONE5STOPBITS; }, ERROR_INVALID_PARAMETER},
        {"7 data + 2 stop",
         [](DCB& d) {
             d.ByteSize = 7;
             d.StopBits = TWOSTOPBITS;
         },
         ERROR_SUCCESS},
        {"XON == XOFF with fOutX",
         [](DCB& d) {
             d.fOutX = 1;
             d.XoffChar = d.XonChar;
         },
         ERROR_INVALID_PARAMETER},
        {"XON == XOFF with fInX",
         [](DCB& d) {
             d.fInX = 1;
             d.XoffChar = d.XonChar;
         },
         ERROR_INVALID_PARAMETER},
        {"XON == XOFF without software flow", [](DCB& d) { d.XoffChar = d.XonChar; },
         ERROR_SUCCESS},
        {"DSR output flow", [](DCB& d) { d.fOutxDsrFlow = 1; }, ERROR_NOT_SUPPORTED},
        {"DSR sensitivity", [](DCB& d) { d.fDsrSensitivity = 1; }, ERROR_NOT_SUPPORTED},
        {"DTR handshake", [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; },
         ERROR_NOT_SUPPORTED},
        {"NUL stripping", [](DCB& d) { d.fNull = 1; }, ERROR_NOT_SUPPORTED},
        {"error char", [](DCB& d) { d.fErrorChar = 1; }, ERROR_NOT_SUPPORTED},
        {"abort on error", [](DCB& d) { d.fAbortOnError = 1; }, ERROR_NOT_SUPPORTED},
        {"CTS flow + RTS toggle",
         [](DCB& d) {
             d.fOutxCtsFlow = 1;
             d.fRtsControl = RTS_CONTROL_TOGGLE;
         },
         ERROR_NOT_SUPPORTED},
        {"CTS flow + RTS disable",
         [](DCB& d) {
             d.fOutxCtsFlow = 1;
             d.fRtsControl = RTS_CONTROL_DISABLE;
         },
         ERROR_NOT_SUPPORTED},
        {"CTS flow + RTS handshake",
         [](DCB& d) {
             d.fOutxCtsFlow = 1;
             d.fRtsControl = RTS_CONTROL_HANDSHAKE;
         },
         ERROR_SUCCESS},
        {"fBinary 0 is taken as binary", [](DCB& d) { d.fBinary = 0; }, ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        DCB dcb = Base();
        c.change(dcb);
        EXPECT_EQ(CheckDcb(dcb), c.expected) << c.name;
    }
}

// A termios as a fresh tty has it: canonical, echoing, CR/LF mapping, output processing.
termios Cooked() {
    termios t{};
    t.c_iflag = ICRNL | IXON | IXANY | IMAXBEL | BRKINT | ISTRIP | INLCR | IGNCR | PARMRK | IUCLC;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 5;
    cfsetispeed(&t, B4800);
    cfsetospeed(&t, B4800);
    return t;
}

TEST(CommMapping, ApplyDcbGivesRawLineWithTheDcbFraming) {
    struct Case {
        const char* name;
        std::function<void(DCB&)> change;
        tcflag_t cflag_bits;  // of CSIZE|PARENB|PARODD|CMSPAR|CSTOPB|CRTSCTS
        tcflag_t iflag_bits;  // of INPCK|IXON|IXOFF
    };
    const tcflag_t kCMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    const tcflag_t kIMask = INPCK | IXON | IXOFF;
    const Case cases[] = {
        {"8N1", [](DCB&) {}, CS8, 0},
        {"7E1 checked",
         [](DCB& d) {
             d.ByteSize = 7;
             d.Parity = EVENPARITY;
             d.fParity = 1;
         },
         CS7 | PARENB, INPCK},
        {"8O2",
         [](DCB& d) {
             d.Parity = ODDPARITY;
             d.StopBits = TWOSTOPBITS;
         },
         CS8 | PARENB | PARODD | CSTOPB, 0},
        {"6 mark",
         [](DCB& d) {
             d.ByteSize = 6;
             d.Parity = MARKPARITY;
         },
         CS6 | PARENB | PARODD | CMSPAR, 0},
        {"8 space", [](DCB& d) { d.Parity = SPACEPARITY; }, CS8 | PARENB | CMSPAR, 0},
        {"5 data 1.5 stop",
         [](DCB& d) {
             d.ByteSize = 5;
             d.StopBits = ONE5STOPBITS;
         },
         CS5 | CSTOPB, 0},
        {"CTS flow with RTS enable", [](DCB& d) { d.fOutxCtsFlow = 1; }, CS8 | CRTSCTS, 0},
        {"RTS handshake alone", [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; },
         CS8 | CRTSCTS, 0},
        {"RTS toggle is not CRTSCTS", [](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }, CS8, 0},
        {"XON/XOFF both ways",
         [](DCB& d) {
             d.fOutX = 1;
             d.fInX = 1;
         },
         CS8, IXON | IXOFF},
        {"XOFF in only", [](DCB& d) { d.fInX = 1; }, CS8, IXOFF},
    };
    for (const Case& c : cases) {
        DCB dcb = Base();
        dcb.XonChar = 0x21;
        dcb.XoffChar = 0x22;
        c.change(dcb);
        termios t = Cooked();
        ApplyDcb(dcb, &t);
        EXPECT_EQ(t.c_cflag & kCMask, c.cflag_bits) << c.name;
        EXPECT_EQ(t.c_iflag & kIMask, c.iflag_bits) << c.name;
        // Raw in every case: nothing of the cooked line survives.
        EXPECT_EQ(t.c_iflag &
                      (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK | IXANY | IUCLC | IMAXBEL),
                  0u)
            << c.name;
        EXPECT_NE(t.c_iflag & IGNBRK, 0u) << c.name;
        EXPECT_EQ(t.c_oflag & OPOST, 0u) << c.name;
        EXPECT_EQ(
            t.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | ISIG | IEXTEN),
            0u)
            << c.name;
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | HUPCL), CREAD | CLOCAL | HUPCL) << c.name;
        EXPECT_EQ(t.c_cc[VMIN], 1) << c.name;
        EXPECT_EQ(t.c_cc[VTIME], 0) << c.name;
        EXPECT_EQ(t.c_cc[VSTART], 0x21) << c.name;
        EXPECT_EQ(t.c_cc[VSTOP], 0x22) << c.name;
        // The speed goes through termios2 elsewhere: untouched here.
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800)) << c.name;
    }
}

TEST(CommMapping, ReadPlanFollowsTheTimeoutFields) {
    struct Case {
        const char* name;
        COMMTIMEOUTS t;
        DWORD count;
        ReadMode mode;
        std::optional<milliseconds> total;
        std::optional<milliseconds> interval;
    };
    const Case cases[] = {
        {"driver 50/50/1000, 4 bytes",
         {50, 50, 1000, 0, 0},
         4,
         ReadMode::kTimed,
         milliseconds(1200),
         milliseconds(50)},
        {"driver 50/50/1000, 18 bytes",
         {50, 50, 1000, 0, 0},
         18,
         ReadMode::kTimed,
         milliseconds(1900),
         milliseconds(50)},
        {"all zero", {0, 0, 0, 0, 0}, 4, ReadMode::kTimed, std::nullopt, std::nullopt},
        {"interval only", {20, 0, 0, 0, 0}, 4, ReadMode::kTimed, std::nullopt, milliseconds(20)},
        {"constant only", {0, 0, 300, 0, 0}, 4, ReadMode::kTimed, milliseconds(300), std::nullopt},
        {"multiplier only", {0, 7, 0, 0, 0}, 3, ReadMode::kTimed, milliseconds(21), std::nullopt},
        {"return buffered",
         {MAXDWORD, 0, 0, 0, 0},
         4,
         ReadMode::kReturnBuffered,
         std::nullopt,
         std::nullopt},
        {"wait for first byte",
         {MAXDWORD, MAXDWORD, 250, 0, 0},
         4,
         ReadMode::kWaitForFirstByte,
         milliseconds(250),
         std::nullopt},
        {"MAXDWORD interval with plain totals: no interval",
         {MAXDWORD, 0, 100, 0, 0},
         4,
         ReadMode::kTimed,
         milliseconds(100),
         std::nullopt},
        {"MAXDWORD/MAXDWORD/MAXDWORD is no special case",
         {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0},
         1,
         ReadMode::kTimed,
         milliseconds(uint64_t{MAXDWORD} * 2),
         std::nullopt},
        {"overflowing product is capped, not wrapped",
         {0, MAXDWORD, MAXDWORD, 0, 0},
         MAXDWORD,
         ReadMode::kTimed,
         milliseconds(int64_t{1} << 50),
         std::nullopt},
    };
    for (const Case& c : cases) {
        ReadPlan plan = PlanRead(c.t, c.count);
        EXPECT_EQ(plan.mode, c.mode) << c.name;
        EXPECT_EQ(plan.total, c.total) << c.name;
        EXPECT_EQ(plan.interval, c.interval) << c.name;
    }
}

}  // namespace
