// ZEvtSyncSocket2 (see the header for its contract).
#include "webservice/ZEvtSyncSocket2.h"

#include <mutex>
#include <string>

#include "common/K47Global.h"

std::atomic<DWORD> ZEvtSyncSocket2::s_connectTimeout{1000};
std::atomic<DWORD> ZEvtSyncSocket2::s_sendTimeout{10000};
std::atomic<DWORD> ZEvtSyncSocket2::s_receiveTimeout{10000};

namespace {

// Winsock is started once per process by the first socket constructed, again by later ones only
// while the start failed, and cleaned up once when the module unloads if it succeeded.
class WinsockStarter {
  public:
    void Start() {
        std::lock_guard<std::mutex> lock(mu_);
        if (result_ == 0)
            return;
        WSADATA data{};
        result_ = WSAStartup(2, &data);
    }
    ~WinsockStarter() {
        if (result_ == 0)
            WSACleanup();
    }

  private:
    std::mutex mu_;
    int result_ = -1;
};

WinsockStarter g_winsock;

class SectionGuard {
  public:
    [[nodiscard]] explicit SectionGuard(CRITICAL_SECTION* section) : section_(section) {
        EnterCriticalSection(section_);
    }
    ~SectionGuard() { LeaveCriticalSection(section_); }
    SectionGuard(const SectionGuard&) = delete;
    SectionGuard& operator=(const SectionGuard&) = delete;

  private:
    CRITICAL_SECTION* section_;
};

}  // namespace

ZEvtSyncSocket2::ZEvtSyncSocket2() {
    if (!InitializeCriticalSectionAndSpinCount(&m_csRead, 0))
        throw CHresultError(__FILE__, __LINE__, HRESULT_FROM_WIN32(::GetLastError()));
    if (!InitializeCriticalSectionAndSpinCount(&m_csWrite, 0)) {
        HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
        DeleteCriticalSection(&m_csRead);
        throw CHresultError(__FILE__, __LINE__, hr);
    }
    g_winsock.Start();
}

ZEvtSyncSocket2::~ZEvtSyncSocket2() {
    Close();
    DeleteCriticalSection(&m_csWrite);
    DeleteCriticalSection(&m_csRead);
}

bool ZEvtSyncSocket2::Attach(SOCKET socket) {
    if (socket == INVALID_SOCKET) {
        m_dwLastError = WSAENOTSOCK;
        return false;
    }
    m_socket = socket;
    m_hEventRead = WSACreateEvent();
    m_hEventWrite = WSACreateEvent();
    m_hEventConnect = WSACreateEvent();
    if (m_hEventRead == WSA_INVALID_EVENT || m_hEventWrite == WSA_INVALID_EVENT ||
        m_hEventConnect == WSA_INVALID_EVENT) {
        m_dwLastError = ::GetLastError();
        Close();
        return false;
    }
    WSASetEvent(m_hEventRead);
    WSASetEvent(m_hEventWrite);
    // Each registration replaces the previous one: only the connect event stays bound to network
    // events; the read and write events serve as completion events of overlapped operations.
    if (WSAEventSelect(m_socket, m_hEventRead, FD_READ) != 0 ||
        WSAEventSelect(m_socket, m_hEventWrite, FD_WRITE) != 0 ||
        WSAEventSelect(m_socket, m_hEventConnect, FD_CONNECT) != 0) {
        m_dwLastError = DWORD(WSAGetLastError());
        Close();
        return false;
    }
    return true;
}

bool ZEvtSyncSocket2::Create(const ADDRINFOA* addressInfo, DWORD flags) {
    if (m_socket != INVALID_SOCKET) {
        m_dwLastError = WSAEALREADY;
        return false;
    }
    SOCKET socket = WSASocketA(addressInfo->ai_family, addressInfo->ai_socktype,
                               addressInfo->ai_protocol, nullptr, 0, m_dwCreateFlags | flags);
    if (socket == INVALID_SOCKET) {
        m_dwLastError = DWORD(WSAGetLastError());
        return false;
    }
    return Attach(socket);
}

bool ZEvtSyncSocket2::Connect(LPCSTR host, unsigned short port) {
    if (m_bConnected)
        return true;
    ADDRINFOA hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOA* result = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host, service.c_str(), &hints, &result);
    m_dwLastError = DWORD(rc);
    if (rc != 0 || result == nullptr)
        return false;
    bool ok = (m_socket != INVALID_SOCKET || Create(result)) &&
              Connect(result->ai_addr, static_cast<int>(result->ai_addrlen));
    freeaddrinfo(result);
    return ok;
}

bool ZEvtSyncSocket2::Connect(const SOCKADDR* address, int length) {
    return ConnectWithin(address, length, GetConnectTimeout());
}

bool ZEvtSyncSocket2::ConnectWithin(const SOCKADDR* address, int length, DWORD timeoutMs) {
    if (m_bConnected)
        return true;
    if (m_socket == INVALID_SOCKET)
        return false;
    m_bTimedOut = false;
    bool ok = false;
    if (WSAConnect(m_socket, address, length, nullptr, nullptr, nullptr, nullptr) == 0) {
        // Completed at once: later reads and writes wait for this event.
        WSASetEvent(m_hEventConnect);
        ok = true;
    } else {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            m_dwLastError = DWORD(error);
        } else if (WaitForSingleObject(m_hEventConnect, timeoutMs) != WAIT_OBJECT_0) {
            m_bTimedOut = true;
            m_dwLastError = WSAETIMEDOUT;
        } else {
            // Enumerated without resetting the event: it stays signalled for reads and writes.
            WSANETWORKEVENTS events{};
            if (WSAEnumNetworkEvents(m_socket, nullptr, &events) != 0) {
                m_dwLastError = DWORD(WSAGetLastError());
            } else if ((events.lNetworkEvents & FD_CONNECT) == 0) {
                m_dwLastError = WSAENOTCONN;
            } else if (events.iErrorCode[FD_CONNECT_BIT] != 0) {
                m_dwLastError = DWORD(events.iErrorCode[FD_CONNECT_BIT]);
            } else {
                ok = true;
            }
        }
    }
    m_bConnected = ok;
    return ok;
}

bool ZEvtSyncSocket2::Write(WSABUF* buffers, int count, DWORD* bytesSent) {
    return WriteWithin(buffers, count, bytesSent, GetConnectTimeout(), GetSendTimeout());
}

bool ZEvtSyncSocket2::Write(const BYTE* bytes, DWORD* length) {
    WSABUF buffer{*length, reinterpret_cast<CHAR*>(const_cast<BYTE*>(bytes))};
    return Write(&buffer, 1, length);
}

bool ZEvtSyncSocket2::WriteWithin(WSABUF* buffers, int count, DWORD* bytesSent, DWORD connectWaitMs,
                                  DWORD timeoutMs) {
    m_bTimedOut = false;
    if (m_socket == INVALID_SOCKET ||
        WaitForSingleObject(m_hEventConnect, connectWaitMs) != WAIT_OBJECT_0) {
        m_dwLastError = WSAENOTCONN;
        return false;
    }
    if (WaitForSingleObject(m_hEventWrite, 0) != WAIT_OBJECT_0) {
        m_dwLastError = WSAEINPROGRESS;
        return false;
    }
    SectionGuard guard(&m_csWrite);
    *bytesSent = 0;
    WSAResetEvent(m_hEventWrite);
    m_writeOverlapped = WSAOVERLAPPED{};
    m_writeOverlapped.hEvent = m_hEventWrite;
    DWORD sent = 0;
    if (WSASend(m_socket, buffers, DWORD(count), &sent, 0, &m_writeOverlapped, nullptr) == 0) {
        *bytesSent = sent;
        return true;
    }
    int error = WSAGetLastError();
    if (error != WSA_IO_PENDING) {
        m_dwLastError = DWORD(error);
        WSASetEvent(m_hEventWrite);  // nothing is outstanding
        return false;
    }
    if (WaitForSingleObject(m_hEventWrite, timeoutMs) != WAIT_OBJECT_0) {
        m_bTimedOut = true;
        Close();  // cancels the abandoned send before the caller's buffers go away
        return false;
    }
    DWORD flags = 0;
    if (!WSAGetOverlappedResult(m_socket, &m_writeOverlapped, &sent, FALSE, &flags)) {
        m_dwLastError = DWORD(WSAGetLastError());
        return false;
    }
    *bytesSent = sent;
    return true;
}

bool ZEvtSyncSocket2::Read(BYTE* buffer, DWORD* size) {
    return ReadWithin(buffer, size, GetConnectTimeout(), GetReceiveTimeout());
}

bool ZEvtSyncSocket2::ReadWithin(BYTE* buffer, DWORD* size, DWORD connectWaitMs, DWORD timeoutMs) {
    m_bTimedOut = false;
    if (m_socket == INVALID_SOCKET ||
        WaitForSingleObject(m_hEventConnect, connectWaitMs) != WAIT_OBJECT_0) {
        m_dwLastError = WSAENOTCONN;
        return false;
    }
    if (WaitForSingleObject(m_hEventRead, 0) != WAIT_OBJECT_0) {
        m_dwLastError = WSAEINPROGRESS;
        return false;
    }
    SectionGuard guard(&m_csRead);
    WSABUF wsaBuffer{*size, reinterpret_cast<CHAR*>(buffer)};
    WSAResetEvent(m_hEventRead);
    m_readOverlapped = WSAOVERLAPPED{};
    m_readOverlapped.hEvent = m_hEventRead;
    DWORD received = 0;
    DWORD flags = 0;
    if (WSARecv(m_socket, &wsaBuffer, 1, &received, &flags, &m_readOverlapped, nullptr) == 0) {
        *size = received;
        return true;
    }
    int error = WSAGetLastError();
    if (error != WSA_IO_PENDING) {
        m_dwLastError = DWORD(error);
        WSASetEvent(m_hEventRead);
        return false;
    }
    if (WaitForSingleObject(m_hEventRead, timeoutMs) != WAIT_OBJECT_0) {
        m_bTimedOut = true;
        Close();  // cancels the abandoned receive before the caller's buffer goes away
        return false;
    }
    if (!WSAGetOverlappedResult(m_socket, &m_readOverlapped, &received, FALSE, &flags)) {
        m_dwLastError = DWORD(WSAGetLastError());
        return false;
    }
    *size = received;
    return true;
}

void ZEvtSyncSocket2::CloseEvents() {
    for (WSAEVENT* event : {&m_hEventRead, &m_hEventWrite, &m_hEventConnect}) {
        if (*event != nullptr) {
            WSACloseEvent(*event);
            *event = nullptr;
        }
    }
}

void ZEvtSyncSocket2::Close() {
    if (m_socket != INVALID_SOCKET) {
        m_bConnected = false;
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
    CloseEvents();
}
