// CK47TlsSocket: a TLS client socket on OpenSSL, the socket class under the HTTP client of the
// HTTPS request object. TCP goes through ZEvtSyncSocket2 (overlapped Winsock I/O); OpenSSL reads
// and writes through a BIO that calls it, so each I/O step waits at most the socket's own
// receive or send time-out, and a peer that closed the connection never raises SIGPIPE (the
// platform's sends never signal). Names are resolved within the resolve time-out and connects
// complete within the connect time-out.
//
// Certificate checking: the peer is verified against the system trust store (OpenSSL's default
// paths, which honour SSL_CERT_FILE and SSL_CERT_DIR) with SNI and a host-name (or IP address)
// check. Each verification error is classified into the server-certificate error classes
// (unknown authority 0x100, wrong usage 0x200, name mismatch 0x1000, bad date 0x2000); an error
// whose class is in the ignore mask is let through and recorded in IgnoredCertErrors(); any other
// (including the unclassified ones, such as a bad signature) stops the handshake and is recorded
// in FatalCertErrors(). OpenSSL's own verify result is not consulted afterwards: it keeps
// reporting the last ignored error.
//
// Errors are reported by GetLastError() as WinHTTP error numbers (ERROR_WINHTTP_*).
//
// Threading: one thread at a time. Lifetime: the destructor closes the connection.
#pragma once

#include <windows.h>

#include "webservice/ZEvtSyncSocket2.h"

typedef struct ssl_st SSL;
typedef struct x509_store_ctx_st X509_STORE_CTX;
typedef struct bio_st BIO;

namespace k47::http {

inline constexpr DWORD kCertErrorUnknownCa = 0x100;
inline constexpr DWORD kCertErrorWrongUsage = 0x200;
inline constexpr DWORD kCertErrorNameMismatch = 0x1000;
inline constexpr DWORD kCertErrorBadDate = 0x2000;
// Recorded for a fatal verification error that belongs to none of the four classes.
inline constexpr DWORD kCertErrorOther = 0x1;

// The class of an OpenSSL X509_V_ERR_* value, or 0 when it has none.
DWORD ClassifyX509Error(int x509Error);

}  // namespace k47::http

class CK47TlsSocket {
  public:
    static constexpr char kScheme[] = "https";

    CK47TlsSocket();
    ~CK47TlsSocket();
    CK47TlsSocket(const CK47TlsSocket&) = delete;
    CK47TlsSocket& operator=(const CK47TlsSocket&) = delete;

    // In milliseconds; 0 or INFINITE waits without limit.
    void SetTimeouts(DWORD resolveMs, DWORD connectMs, DWORD sendMs, DWORD receiveMs);
    void SetReceiveTimeout(DWORD ms) { m_receiveTimeout = Limit(ms); }
    // The certificate error classes to let through (a combination of the kCertError* bits).
    void SetIgnoreMask(DWORD mask) { m_ignoreMask = mask; }

    bool Connect(LPCSTR host, unsigned short port);
    bool Write(WSABUF* buffers, int count, DWORD* bytesSent);
    bool Write(const BYTE* bytes, DWORD* length);
    bool Read(BYTE* buffer, DWORD* size);
    void Close();

    bool IsConnected() const { return m_connected; }
    DWORD GetLastError() const { return m_lastError; }
    DWORD IgnoredCertErrors() const { return m_ignored; }
    DWORD FatalCertErrors() const { return m_fatal; }

  private:
    static DWORD Limit(DWORD ms) { return ms == 0 ? INFINITE : ms; }
    static int VerifyCallback(int ok, X509_STORE_CTX* context);
    static int BioWrite(BIO* bio, const char* data, int size);
    static int BioRead(BIO* bio, char* data, int size);
    void Fail(DWORD error);
    DWORD HandshakeError() const;
    void RecordIoFailure();

    ZEvtSyncSocket2 m_tcp;
    SSL* m_ssl = nullptr;
    bool m_connected = false;
    bool m_ioFailed = false;
    DWORD m_resolveTimeout = INFINITE;
    DWORD m_connectTimeout = 60000;
    DWORD m_sendTimeout = 30000;
    DWORD m_receiveTimeout = 30000;
    DWORD m_ignoreMask = 0;
    DWORD m_ignored = 0;
    DWORD m_fatal = 0;
    DWORD m_lastError = 0;
    bool m_ioTimedOut = false;
};
