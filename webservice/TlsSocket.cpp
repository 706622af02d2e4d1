// CK47TlsSocket (see the header for its contract).
#include "webservice/TlsSocket.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <mutex>

#include "webservice/HostResolver.h"

namespace k47::http {

DWORD ClassifyX509Error(int x509Error) {
    switch (x509Error) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
            return kCertErrorUnknownCa;
        case X509_V_ERR_INVALID_PURPOSE:
            return kCertErrorWrongUsage;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return kCertErrorNameMismatch;
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return kCertErrorBadDate;
        default:
            return 0;
    }
}

}  // namespace k47::http

namespace {

// The process-wide client context, its per-connection data slot and the BIO method over
// ZEvtSyncSocket2. Made once; null members mean OpenSSL could not set them up.
struct TlsGlobals {
    SSL_CTX* context = nullptr;
    int socketIndex = -1;
    BIO_METHOD* method = nullptr;
};

}  // namespace

// The callbacks are private members of the socket class, so the caller hands them in.
static TlsGlobals& Globals(int (*verify)(int, X509_STORE_CTX*),
                           int (*bioWrite)(BIO*, const char*, int),
                           int (*bioRead)(BIO*, char*, int)) {
    static TlsGlobals globals;
    static std::once_flag once;
    std::call_once(once, [&] {
        SSL_CTX* context = SSL_CTX_new(TLS_client_method());
        if (context == nullptr)
            return;
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
        // A peer that closes without close_notify ends the data like a clean close; bodies
        // are delimited by the HTTP layer.
        SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_default_verify_paths(context);
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, verify);
        BIO_METHOD* method =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "k47 overlapped socket");
        if (method == nullptr) {
            SSL_CTX_free(context);
            return;
        }
        BIO_meth_set_write(method, bioWrite);
        BIO_meth_set_read(method, bioRead);
        BIO_meth_set_ctrl(method, [](BIO*, int command, long, void*) -> long {
            return command == BIO_CTRL_FLUSH ? 1 : 0;
        });
        BIO_meth_set_create(method, [](BIO* bio) -> int {
            BIO_set_init(bio, 1);
            return 1;
        });
        globals.context = context;
        globals.method = method;
        globals.socketIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    });
    return globals;
}

CK47TlsSocket::CK47TlsSocket() = default;

CK47TlsSocket::~CK47TlsSocket() {
    Close();
}

void CK47TlsSocket::SetTimeouts(DWORD resolveMs, DWORD connectMs, DWORD sendMs, DWORD receiveMs) {
    m_resolveTimeout = Limit(resolveMs);
    m_connectTimeout = Limit(connectMs);
    m_sendTimeout = Limit(sendMs);
    m_receiveTimeout = Limit(receiveMs);
}

int CK47TlsSocket::VerifyCallback(int ok, X509_STORE_CTX* context) {
    if (ok)
        return 1;
    auto* ssl = static_cast<SSL*>(
        X509_STORE_CTX_get_ex_data(context, SSL_get_ex_data_X509_STORE_CTX_idx()));
    TlsGlobals& globals = Globals(VerifyCallback, BioWrite, BioRead);
    auto* self = ssl != nullptr
                     ? static_cast<CK47TlsSocket*>(SSL_get_ex_data(ssl, globals.socketIndex))
                     : nullptr;
    if (self == nullptr)
        return 0;
    DWORD errorClass = k47::http::ClassifyX509Error(X509_STORE_CTX_get_error(context));
    if (errorClass != 0 && (self->m_ignoreMask & errorClass) == errorClass) {
        self->m_ignored |= errorClass;
        return 1;
    }
    self->m_fatal |= errorClass != 0 ? errorClass : k47::http::kCertErrorOther;
    return 0;
}

int CK47TlsSocket::BioWrite(BIO* bio, const char* data, int size) {
    auto* self = static_cast<CK47TlsSocket*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (self == nullptr || size < 0)
        return -1;
    WSABUF buffer{DWORD(size), const_cast<CHAR*>(data)};
    DWORD sent = 0;
    if (!self->m_tcp.WriteWithin(&buffer, 1, &sent, self->m_connectTimeout, self->m_sendTimeout)) {
        self->RecordIoFailure();
        return -1;
    }
    return int(sent);
}

int CK47TlsSocket::BioRead(BIO* bio, char* data, int size) {
    auto* self = static_cast<CK47TlsSocket*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (self == nullptr || size < 0)
        return -1;
    DWORD received = DWORD(size);
    if (!self->m_tcp.ReadWithin(reinterpret_cast<BYTE*>(data), &received, self->m_connectTimeout,
                                self->m_receiveTimeout)) {
        self->RecordIoFailure();
        return -1;
    }
    return int(received);
}

void CK47TlsSocket::RecordIoFailure() {
    m_ioFailed = true;
    if (m_tcp.TimedOut())
        m_ioTimedOut = true;
}

void CK47TlsSocket::Fail(DWORD error) {
    m_lastError = error;
    ERR_clear_error();
    Close();
}

DWORD CK47TlsSocket::HandshakeError() const {
    if (m_fatal & k47::http::kCertErrorUnknownCa)
        return ERROR_WINHTTP_SECURE_INVALID_CA;
    if (m_fatal & k47::http::kCertErrorWrongUsage)
        return ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE;
    if (m_fatal & k47::http::kCertErrorNameMismatch)
        return ERROR_WINHTTP_SECURE_CERT_CN_INVALID;
    if (m_fatal & k47::http::kCertErrorBadDate)
        return ERROR_WINHTTP_SECURE_CERT_DATE_INVALID;
    if (m_ioTimedOut)
        return ERROR_WINHTTP_TIMEOUT;
    if (m_ioFailed)
        return ERROR_WINHTTP_CONNECTION_ERROR;
    return ERROR_WINHTTP_SECURE_FAILURE;
}

bool CK47TlsSocket::Connect(LPCSTR host, unsigned short port) {
    if (m_connected)
        return true;
    Close();
    m_ignored = m_fatal = 0;
    m_lastError = 0;
    m_ioFailed = m_ioTimedOut = false;
    TlsGlobals& globals = Globals(VerifyCallback, BioWrite, BioRead);
    if (globals.context == nullptr || globals.socketIndex < 0) {
        Fail(ERROR_WINHTTP_SECURE_FAILURE);
        return false;
    }

    k47::http::UniqueAddrInfo address;
    int rc = k47::http::ResolveHost(host, port, m_resolveTimeout, &address);
    if (rc != 0) {
        Fail(rc == WSAETIMEDOUT ? ERROR_WINHTTP_TIMEOUT : ERROR_WINHTTP_NAME_NOT_RESOLVED);
        return false;
    }
    if (!m_tcp.Create(address.get()) ||
        !m_tcp.ConnectWithin(address->ai_addr, int(address->ai_addrlen), m_connectTimeout)) {
        Fail(m_tcp.TimedOut() ? ERROR_WINHTTP_TIMEOUT : ERROR_WINHTTP_CANNOT_CONNECT);
        return false;
    }

    m_ssl = SSL_new(globals.context);
    BIO* bio = m_ssl != nullptr ? BIO_new(globals.method) : nullptr;
    if (bio == nullptr) {
        Fail(ERROR_WINHTTP_SECURE_FAILURE);
        return false;
    }
    BIO_set_data(bio, this);
    SSL_set_bio(m_ssl, bio, bio);
    SSL_set_ex_data(m_ssl, globals.socketIndex, this);
    unsigned char literal[16];
    bool isAddress =
        inet_pton(AF_INET, host, literal) == 1 || inet_pton(AF_INET6, host, literal) == 1;
    bool named =
        isAddress ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), host) == 1
                  : SSL_set_tlsext_host_name(m_ssl, host) == 1 && SSL_set1_host(m_ssl, host) == 1;
    if (!named) {
        Fail(ERROR_WINHTTP_SECURE_FAILURE);
        return false;
    }
    if (SSL_connect(m_ssl) != 1) {
        Fail(HandshakeError());
        return false;
    }
    m_connected = true;
    return true;
}

bool CK47TlsSocket::Write(WSABUF* buffers, int count, DWORD* bytesSent) {
    *bytesSent = 0;
    if (!m_connected) {
        m_lastError = ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
        return false;
    }
    for (int i = 0; i < count; ++i) {
        if (buffers[i].len == 0)
            continue;
        size_t written = 0;
        if (SSL_write_ex(m_ssl, buffers[i].buf, buffers[i].len, &written) != 1) {
            Fail(m_ioTimedOut ? ERROR_WINHTTP_TIMEOUT : ERROR_WINHTTP_CONNECTION_ERROR);
            return false;
        }
        *bytesSent += DWORD(written);
    }
    return true;
}

bool CK47TlsSocket::Write(const BYTE* bytes, DWORD* length) {
    WSABUF buffer{*length, reinterpret_cast<CHAR*>(const_cast<BYTE*>(bytes))};
    return Write(&buffer, 1, length);
}

bool CK47TlsSocket::Read(BYTE* buffer, DWORD* size) {
    if (!m_connected) {
        m_lastError = ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
        return false;
    }
    size_t received = 0;
    if (SSL_read_ex(m_ssl, buffer, *size, &received) == 1) {
        *size = DWORD(received);
        return true;
    }
    if (SSL_get_error(m_ssl, 0) == SSL_ERROR_ZERO_RETURN) {
        *size = 0;
        return true;
    }
    Fail(m_ioTimedOut ? ERROR_WINHTTP_TIMEOUT : ERROR_WINHTTP_CONNECTION_ERROR);
    return false;
}

void CK47TlsSocket::Close() {
    if (m_ssl != nullptr) {
        // A courtesy close_notify on a healthy connection; its result does not matter.
        if (m_connected && !m_ioFailed)
            SSL_shutdown(m_ssl);
        SSL_free(m_ssl);
        m_ssl = nullptr;
        ERR_clear_error();
    }
    m_connected = false;
    m_tcp.Close();
}
