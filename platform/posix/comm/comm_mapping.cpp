// Linux implementation file of the platform layer: may include Linux system headers.
// DCB/COMMTIMEOUTS <-> termios/poll mapping (rules in comm_mapping.h).
#include "comm/comm_mapping.h"

#include <cerrno>
#include <climits>

#include "support/os_error.h"

namespace k47::comm {

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

}  // namespace

DWORD CheckDcb(const DCB& dcb) noexcept {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS) {
        return ERROR_INVALID_PARAMETER;
    }
    if (dcb.ByteSize == 5 && dcb.StopBits == TWOSTOPBITS) {
        return ERROR_INVALID_PARAMETER;
    }
    if (dcb.ByteSize != 5 && dcb.StopBits == ONE5STOPBITS) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) {
        return ERROR_INVALID_PARAMETER;
    }
    if (dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fDtrControl == DTR_CONTROL_HANDSHAKE ||
        dcb.fNull || dcb.fErrorChar || dcb.fAbortOnError) {
        return ERROR_NOT_SUPPORTED;
    }
    if (dcb.fOutxCtsFlow &&
        (dcb.fRtsControl == RTS_CONTROL_DISABLE || dcb.fRtsControl == RTS_CONTROL_TOGGLE)) {
        return ERROR_NOT_SUPPORTED;
    }
    return ERROR_SUCCESS;
}

DCB DefaultDcb() noexcept {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;  // open raises DTR and RTS on a UART
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

void MakeRaw(termios* tio) noexcept {
    // Input: no break-as-signal or break-as-NUL, no parity marking, no 8th-bit stripping, no
    // CR/LF translation, no upper/lower case mapping, no bell on a full queue.
    tio->c_iflag &= ~static_cast<tcflag_t>(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                           IUCLC | IXANY | IMAXBEL);
    tio->c_iflag |= IGNBRK;
    // Output: bytes leave as written.
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    // Local: no canonical lines, echo of any kind, signal characters or extended functions.
    tio->c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL |
                                           ECHOPRT | ECHOKE | ISIG | IEXTEN);
    // Control: receiver on, modem status lines ignored (Windows never waits for DCD).
    tio->c_cflag |= CREAD | CLOCAL;
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
}

void ApplyDcb(const DCB& dcb, termios* tio) noexcept {
    MakeRaw(tio);
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    switch (dcb.ByteSize) {
        case 5:
            tio->c_cflag |= CS5;
            break;
        case 6:
            tio->c_cflag |= CS6;
            break;
        case 7:
            tio->c_cflag |= CS7;
            break;
        default:
            tio->c_cflag |= CS8;
            break;
    }
    switch (dcb.Parity) {
        case ODDPARITY:
            tio->c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            tio->c_cflag |= PARENB;
            break;
        case MARKPARITY:
            tio->c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            tio->c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    // With 5 data bits a UART sends 1.5 stop bits for CSTOPB; CheckDcb allows nothing else.
    if (dcb.StopBits != ONESTOPBIT) {
        tio->c_cflag |= CSTOPB;
    }
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        tio->c_cflag |= CRTSCTS;
    }
    tio->c_cflag |= HUPCL;

    tio->c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | IXON | IXOFF);
    if (dcb.fParity) {
        tio->c_iflag |= INPCK;
    }
    if (dcb.fOutX) {
        tio->c_iflag |= IXON;
    }
    if (dcb.fInX) {
        tio->c_iflag |= IXOFF;
    }
    tio->c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio->c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
}

DCB DcbFromTermios(const termios& tio, uint32_t baud, const DCB& wanted) noexcept {
    DCB dcb = wanted;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baud;
    dcb.fBinary = 1;
    dcb.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            dcb.ByteSize = 5;
            break;
        case CS6:
            dcb.ByteSize = 6;
            break;
        case CS7:
            dcb.ByteSize = 7;
            break;
        default:
            dcb.ByteSize = 8;
            break;
    }
    if (!(tio.c_cflag & PARENB)) {
        dcb.Parity = NOPARITY;
    } else if (tio.c_cflag & CMSPAR) {
        dcb.Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
        dcb.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    if (tio.c_cflag & CSTOPB) {
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    } else {
        dcb.StopBits = ONESTOPBIT;
    }
    // CRTSCTS stands for both CTS output flow and RTS handshake; keep the wanted split when it
    // agrees with the port.
    const bool crtscts = (tio.c_cflag & CRTSCTS) != 0;
    const bool wanted_flow = wanted.fOutxCtsFlow || wanted.fRtsControl == RTS_CONTROL_HANDSHAKE;
    if (crtscts != wanted_flow) {
        if (crtscts) {
            dcb.fOutxCtsFlow = 1;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else {
            dcb.fOutxCtsFlow = 0;
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
        }
    }
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    return dcb;
}

ModemPlan PlanModemLines(const DCB& dcb) noexcept {
    ModemPlan plan{};
    plan.dtr_high = dcb.fDtrControl == DTR_CONTROL_ENABLE;
    switch (dcb.fRtsControl) {
        case RTS_CONTROL_DISABLE:
            plan.rts = RtsPlan::kLow;
            break;
        case RTS_CONTROL_ENABLE:
            plan.rts = RtsPlan::kHigh;
            break;
        case RTS_CONTROL_HANDSHAKE:
            plan.rts = RtsPlan::kHandshake;
            break;
        default:
            plan.rts = RtsPlan::kToggle;
            break;
    }
    return plan;
}

std::optional<int> PurgeQueue(DWORD flags) noexcept {
    constexpr DWORD kKnown = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    if ((flags & ~kKnown) != 0) {
        return std::nullopt;
    }
    const bool rx = (flags & PURGE_RXCLEAR) != 0;
    const bool tx = (flags & PURGE_TXCLEAR) != 0;
    if (rx && tx) {
        return TCIOFLUSH;
    }
    if (rx) {
        return TCIFLUSH;
    }
    if (tx) {
        return TCOFLUSH;
    }
    return -1;
}

ReadPlan PlanRead(const COMMTIMEOUTS& t, DWORD count) noexcept {
    ReadPlan plan{ReadMode::kTimed, std::nullopt, std::nullopt};
    if (t.ReadIntervalTimeout == MAXDWORD) {
        if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
            plan.mode = ReadMode::kReturnBuffered;
            return plan;
        }
        if (t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant != 0 &&
            t.ReadTotalTimeoutConstant != MAXDWORD) {
            plan.mode = ReadMode::kWaitForFirstByte;
            plan.total = milliseconds(t.ReadTotalTimeoutConstant);
            return plan;
        }
    } else if (t.ReadIntervalTimeout != 0) {
        plan.interval = milliseconds(t.ReadIntervalTimeout);
    }
    if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
        // At most (2^32-1)^2 + 2^32-1 < 2^64: no overflow in 64 bits.
        uint64_t total =
            uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
        constexpr uint64_t kMaxMs = uint64_t{1} << 50;  // keeps nanoseconds arithmetic in range
        plan.total = milliseconds(static_cast<int64_t>(total < kMaxMs ? total : kMaxMs));
    }
    return plan;
}

std::optional<int> PollMsLeft(nanoseconds limit, nanoseconds elapsed) noexcept {
    if (elapsed >= limit) {
        return std::nullopt;
    }
    nanoseconds left = limit - elapsed;
    auto ms = std::chrono::ceil<milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

ReadStep NextReadStep(const ReadPlan& plan, DWORD count, DWORD received, nanoseconds since_start,
                      nanoseconds since_last_byte) noexcept {
    if (received >= count) {
        return {true, 0};
    }
    switch (plan.mode) {
        case ReadMode::kReturnBuffered:
            return {false, 0};
        case ReadMode::kWaitForFirstByte:
            if (received > 0) {
                return {true, 0};
            }
            break;
        case ReadMode::kTimed:
            break;
    }
    int poll_ms = -1;
    if (plan.total) {
        auto left = PollMsLeft(*plan.total, since_start);
        if (!left) {
            return {true, 0};
        }
        poll_ms = *left;
    }
    if (plan.interval && received > 0) {
        auto left = PollMsLeft(*plan.interval, since_last_byte);
        if (!left) {
            return {true, 0};
        }
        if (poll_ms < 0 || *left < poll_ms) {
            poll_ms = *left;
        }
    }
    return {false, poll_ms};
}

std::optional<milliseconds> WriteLimit(const COMMTIMEOUTS& t, DWORD count) noexcept {
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) {
        return std::nullopt;
    }
    uint64_t total = uint64_t{t.WriteTotalTimeoutMultiplier} * count + t.WriteTotalTimeoutConstant;
    constexpr uint64_t kMaxMs = uint64_t{1} << 50;
    return milliseconds(static_cast<int64_t>(total < kMaxMs ? total : kMaxMs));
}

nanoseconds LineTime(size_t bytes, const DCB& dcb) noexcept {
    if (dcb.BaudRate == 0) {
        return nanoseconds(0);
    }
    // Counted in half bits, for 1.5 stop bits.
    unsigned half_bits = 2u * (1u + dcb.ByteSize + (dcb.Parity == NOPARITY ? 0u : 1u));
    half_bits += dcb.StopBits == TWOSTOPBITS ? 4u : dcb.StopBits == ONE5STOPBITS ? 3u : 2u;
    // 128 bits: bytes is a caller's write length.
    unsigned __int128 ns = static_cast<unsigned __int128>(bytes) * half_bits * 1000000000u /
                           (2u * static_cast<unsigned __int128>(dcb.BaudRate));
    constexpr int64_t kMax = int64_t{1} << 62;
    return nanoseconds(ns > kMax ? kMax : static_cast<int64_t>(ns));
}

DWORD CommErrorFromErrno(int error) noexcept {
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case ENAMETOOLONG:
        case ELOOP:
            return ERROR_INVALID_NAME;
        case EBUSY:
        case EWOULDBLOCK:  // flock() held by another open of the port
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EIO:
        case ENXIO:
        case ENODEV:
            return ERROR_DEVICE_NOT_CONNECTED;
        case ENOTTY:
            return ERROR_INVALID_FUNCTION;
        default:
            return support::Win32ErrorFromErrno(error);
    }
}

}  // namespace k47::comm
