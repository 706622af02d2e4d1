// ZEvtSyncSocket2: a TCP socket driven by Winsock event objects and overlapped I/O, the socket
// class under the HTTP client of the socket transport. Connects wait on the FD_CONNECT event up
// to the connect time-out; each read and write is one overlapped WSARecv/WSASend whose
// completion event is waited for up to the receive or send time-out. The three time-outs are
// process-wide (see below); the *Within forms take explicit time-outs for owners that keep their
// own (the TLS socket).
//
// A read or write that outlives its time-out is abandoned: the socket is closed before the call
// returns, so that the cancelled operation never touches the caller's buffer afterwards.
//
// Threading: one receive and one send may run at once (each holds its own lock for the whole
// operation); Connect, Attach, Create and Close belong to one thread at a time. The process-wide
// time-outs are atomics and may be changed from any thread.
//
// Lifetime: the destructor closes the socket and its three events.
#pragma once

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>

class ZEvtSyncSocket2 {
  public:
    // The only URL scheme the HTTP client accepts over this socket.
    static constexpr char kScheme[] = "http";

    // Starts Winsock (version 2.0) for the process on first construction. Throws CHresultError
    // when a lock cannot be created.
    ZEvtSyncSocket2();
    ~ZEvtSyncSocket2();
    ZEvtSyncSocket2(const ZEvtSyncSocket2&) = delete;
    ZEvtSyncSocket2& operator=(const ZEvtSyncSocket2&) = delete;

    // Adopts an open socket: creates the read, write and connect events, signals the first two,
    // binds the connect event to FD_CONNECT. WSAENOTSOCK for an invalid socket.
    bool Attach(SOCKET socket);
    // A socket of the address info's family, type and protocol; WSAEALREADY when one exists.
    bool Create(const ADDRINFOA* addressInfo, DWORD flags = 0);
    // Resolves `host` (first result only), creates the socket if needed and connects.
    bool Connect(LPCSTR host, unsigned short port);
    bool Connect(const SOCKADDR* address, int length);
    bool ConnectWithin(const SOCKADDR* address, int length, DWORD timeoutMs);

    bool Write(WSABUF* buffers, int count, DWORD* bytesSent);
    bool Write(const BYTE* bytes, DWORD* length);
    bool WriteWithin(WSABUF* buffers, int count, DWORD* bytesSent, DWORD connectWaitMs,
                     DWORD timeoutMs);
    // *size: in, the buffer size; out, the bytes received (0: the peer closed the connection).
    bool Read(BYTE* buffer, DWORD* size);
    bool ReadWithin(BYTE* buffer, DWORD* size, DWORD connectWaitMs, DWORD timeoutMs);

    void Close();

    // The last Winsock or system error an operation recorded (0 at construction).
    DWORD GetLastError() const { return m_dwLastError; }
    // True when the last failed read, write or connect failed by its time-out.
    bool TimedOut() const { return m_bTimedOut; }
    bool IsConnected() const { return m_bConnected; }
    SOCKET GetSocketHandle() const { return m_socket; }

    // Process-wide time-outs in milliseconds. Only the receive time-out changes (the HTTP client
    // sets it from each request's options); it applies to every socket of the process.
    static DWORD GetConnectTimeout() { return s_connectTimeout.load(std::memory_order_relaxed); }
    static DWORD GetSendTimeout() { return s_sendTimeout.load(std::memory_order_relaxed); }
    static DWORD GetReceiveTimeout() { return s_receiveTimeout.load(std::memory_order_relaxed); }
    static void SetReceiveTimeout(DWORD ms) {
        s_receiveTimeout.store(ms, std::memory_order_relaxed);
    }

  private:
    void CloseEvents();

    DWORD m_dwCreateFlags = WSA_FLAG_OVERLAPPED;
    WSAEVENT m_hEventRead = nullptr;
    WSAEVENT m_hEventWrite = nullptr;
    WSAEVENT m_hEventConnect = nullptr;
    CRITICAL_SECTION m_csRead;
    CRITICAL_SECTION m_csWrite;
    SOCKET m_socket = INVALID_SOCKET;
    bool m_bConnected = false;
    DWORD m_dwLastError = 0;
    bool m_bTimedOut = false;
    // The completion records of the one receive and the one send that may be outstanding.
    WSAOVERLAPPED m_readOverlapped{};
    WSAOVERLAPPED m_writeOverlapped{};

    static std::atomic<DWORD> s_connectTimeout;
    static std::atomic<DWORD> s_sendTimeout;
    static std::atomic<DWORD> s_receiveTimeout;
};
