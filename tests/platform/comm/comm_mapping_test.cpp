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

#include "../../../platform/posix/comm/comm_mapping.h"

namespace {

using namespace k47::comm;
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
    // Two fields set together: data bits and stop bits, CTS flow with an RTS mode.
    auto framing = [](BYTE size, BYTE stop) {
        return [=](DCB& d) { d.ByteSize = size, d.StopBits = stop; };
    };
    auto cts = [](DWORD rts) { return [=](DCB& d) { d.fOutxCtsFlow = 1, d.fRtsControl = rts; }; };
    const Case cases[] = {
        {"8N1 9600", [](DCB&) {}, ERROR_SUCCESS},
        {"driver setup: DTR on, RTS toggle",
         [](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE, d.fRtsControl = RTS_CONTROL_TOGGLE; },
         ERROR_SUCCESS},
        {"odd baud", [](DCB& d) { d.BaudRate = 12345; }, ERROR_SUCCESS},
        {"baud 0", [](DCB& d) { d.BaudRate = 0; }, ERROR_INVALID_PARAMETER},
        {"4 data bits", [](DCB& d) { d.ByteSize = 4; }, ERROR_INVALID_PARAMETER},
        {"9 data bits", [](DCB& d) { d.ByteSize = 9; }, ERROR_INVALID_PARAMETER},
        {"5 data bits", [](DCB& d) { d.ByteSize = 5; }, ERROR_SUCCESS},
        {"parity code 5", [](DCB& d) { d.Parity = 5; }, ERROR_INVALID_PARAMETER},
        {"space parity", [](DCB& d) { d.Parity = SPACEPARITY; }, ERROR_SUCCESS},
        {"stop-bit code 3", [](DCB& d) { d.StopBits = 3; }, ERROR_INVALID_PARAMETER},
        {"5 data + 2 stop", framing(5, TWOSTOPBITS), ERROR_INVALID_PARAMETER},
        {"5 data + 1.5 stop", framing(5, ONE5STOPBITS), ERROR_SUCCESS},
        {"6 data + 1.5 stop", framing(6, ONE5STOPBITS), ERROR_INVALID_PARAMETER},
        {"8 data + 1.5 stop", framing(8, ONE5STOPBITS), ERROR_INVALID_PARAMETER},
        {"7 data + 2 stop", framing(7, TWOSTOPBITS), ERROR_SUCCESS},
        {"XON == XOFF with fOutX", [](DCB& d) { d.fOutX = 1, d.XoffChar = d.XonChar; },
         ERROR_INVALID_PARAMETER},
        {"XON == XOFF with fInX", [](DCB& d) { d.fInX = 1, d.XoffChar = d.XonChar; },
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
        {"CTS flow + RTS toggle", cts(RTS_CONTROL_TOGGLE), ERROR_NOT_SUPPORTED},
        {"CTS flow + RTS disable", cts(RTS_CONTROL_DISABLE), ERROR_NOT_SUPPORTED},
        {"CTS flow + RTS handshake", cts(RTS_CONTROL_HANDSHAKE), ERROR_SUCCESS},
        {"fBinary 0 is taken as binary", [](DCB& d) { d.fBinary = 0; }, ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        DCB dcb = Base();
        c.change(dcb);
        EXPECT_EQ(CheckDcb(dcb), c.expected) << c.name;
    }
}

// The line time of a write, in nanoseconds exactly: one start bit, the data bits, parity, the
// stop bits (1.5 counted as such), at the port's rate.
TEST(CommMapping, LineTimeCountsEveryBitOfTheFraming) {
    struct Case {
        DWORD baud;
        BYTE size;
        BYTE parity;
        BYTE stop;
        size_t bytes;
        int64_t ns;
    } cases[] = {
        {9600, 8, NOPARITY, ONESTOPBIT, 7, 7291666},       // one Pelco-D frame
        {2400, 8, NOPARITY, ONESTOPBIT, 7, 29166666},      // four times longer
        {9600, 8, NOPARITY, ONESTOPBIT, 58, 60416666},     // a Panasonic move
        {9600, 8, EVENPARITY, ONESTOPBIT, 1, 1145833},     // 11 bits
        {9600, 8, MARKPARITY, TWOSTOPBITS, 1, 1250000},    // 12 bits
        {9600, 5, NOPARITY, ONE5STOPBITS, 2, 1562500},     // 7.5 bits
        {1000000, 8, NOPARITY, ONESTOPBIT, 100, 1000000},  // fast test lines
        {0, 8, NOPARITY, ONESTOPBIT, 7, 0},                // no rate: no time
    };
    for (const Case& c : cases) {
        DCB dcb = Base();
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.size;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        EXPECT_EQ(LineTime(c.bytes, dcb).count(), c.ns)
            << c.baud << " " << int(c.size) << " " << int(c.parity) << " " << int(c.stop);
    }
}

}  // namespace
