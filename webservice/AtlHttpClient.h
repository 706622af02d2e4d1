// CAtlHttpClientT<TSocket>: the system's HTTP/1.1 client. It is its socket (it derives from
// TSocket) and performs one request and its response at a time: build the request text, connect,
// send the text and the body, read the response through CHttpResponseParser, evaluate the status
// (following redirects, refusing authentication challenges).
//
// TSocket provides: kScheme (the one URL scheme accepted), Connect(host, port),
// Write(WSABUF*, count, DWORD* sent), Read(BYTE*, DWORD* size), Close(), IsConnected(),
// SetReceiveTimeout(ms). ZEvtSyncSocket2 (plain TCP) and CK47TlsSocket (TLS) do; tests use a
// scripted fake.
//
// Threading: one thread at a time per client. Lifetime: the socket closes with the client.
#pragma once

#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "webservice/HttpRequestOptions.h"
#include "webservice/HttpResponseParser.h"
#include "webservice/HttpUrl.h"

namespace k47::http {

// Redirects followed in one PerformRequest before it gives up.
inline constexpr int kMaxRedirects = 8;
// Empty reads in a row that end a response: while the headers or a delimited body are read, and
// while a body is read until the connection ends.
inline constexpr int kMaxZeroReads = 5;
inline constexpr int kMaxZeroReadsUntilClose = 6;
// Bytes asked for per socket read while the header block is incomplete.
inline constexpr DWORD kHeaderReadSize = 2048;

}  // namespace k47::http

template <class TSocket>
class CAtlHttpClientT : public TSocket {
  public:
    CAtlHttpClientT() = default;

    // One exchange; null options mean the defaults. False when the URL is refused, the connection
    // or the send fails, the response cannot be read, or the status evaluation rejects it (each
    // of these closes the socket). The status, headers and body of what was read stay available.
    bool PerformRequest(LPCSTR url, const k47::http::HttpRequestOptions* options = nullptr) {
        k47::http::CUrl cracked;
        if (url == nullptr || !cracked.CrackUrl(url)) {
            m_response.Reset();
            m_lastReadResult = k47::http::ReadResult::Failed;
            return false;
        }
        return PerformRequest(cracked, options);
    }
    bool PerformRequest(const k47::http::CUrl& url,
                        const k47::http::HttpRequestOptions* options = nullptr);

    int GetStatus() const { return m_response.StatusCode(); }
    const BYTE* GetBody() const { return reinterpret_cast<const BYTE*>(m_response.Body()); }
    DWORD GetBodyLength() const { return DWORD(m_response.BodyLength()); }
    bool GetHeaderValue(std::string_view name, std::string* value) const {
        return m_response.GetHeader(name, value);
    }
    k47::http::ReadResult GetLastReadResult() const { return m_lastReadResult; }
    const k47::http::CUrl& GetCurrentUrl() const { return m_url; }

  private:
    bool ConnectToCurrentUrl();
    bool SendRequest(const std::string& text);
    bool WriteAll(const BYTE* data, DWORD size);
    bool ReadResponse();
    bool EvaluateStatus(int depth);
    bool FollowRedirect(int depth);

    k47::http::CUrl m_url;
    k47::http::HttpRequestOptions m_options;
    k47::http::CHttpResponseParser m_response;
    k47::http::ReadResult m_lastReadResult = k47::http::ReadResult::Failed;
    // Where the open connection goes, so that a request to another place reconnects.
    std::string m_connectedHost;
    unsigned short m_connectedPort = 0;
};

template <class TSocket>
bool CAtlHttpClientT<TSocket>::PerformRequest(const k47::http::CUrl& url,
                                              const k47::http::HttpRequestOptions* options) {
    using namespace k47::http;
    m_response.Reset();
    m_lastReadResult = ReadResult::Failed;
    m_options = options != nullptr ? *options : HttpRequestOptions{};
    TSocket::SetReceiveTimeout(m_options.timeoutMs);

    if (url.GetSchemeName() != TSocket::kScheme || url.GetHostName().empty())
        return false;
    if (m_options.dataLength > DWORD(INT_MAX))
        return false;
    m_url = url;
    if (m_url.GetUrlPath().empty())
        m_url.SetUrlPath("/");
    if (!m_url.HasExplicitPort())
        m_url.SetPortNumber(m_options.port, false);

    if (!ConnectToCurrentUrl() || !SendRequest(BuildRequestText(m_url, m_options)) ||
        !ReadResponse()) {
        TSocket::Close();
        return false;
    }
    if ((m_options.flags & kHttpEvaluateStatus) != 0 && !EvaluateStatus(0)) {
        TSocket::Close();
        return false;
    }
    return true;
}

template <class TSocket>
bool CAtlHttpClientT<TSocket>::ConnectToCurrentUrl() {
    if (TSocket::IsConnected() &&
        (m_connectedHost != m_url.GetHostName() || m_connectedPort != m_url.GetPortNumber()))
        TSocket::Close();
    m_connectedHost = m_url.GetHostName();
    m_connectedPort = m_url.GetPortNumber();
    return TSocket::Connect(m_connectedHost.c_str(), m_connectedPort);
}

template <class TSocket>
bool CAtlHttpClientT<TSocket>::WriteAll(const BYTE* data, DWORD size) {
    WSABUF buffer{size, reinterpret_cast<CHAR*>(const_cast<BYTE*>(data))};
    DWORD sent = 0;
    if (!TSocket::Write(&buffer, 1, &sent) || sent != size)
        return false;
    if (m_options.sendStatusCallback != nullptr &&
        !m_options.sendStatusCallback(sent, m_options.sendStatusParam))
        return false;
    return true;
}

template <class TSocket>
bool CAtlHttpClientT<TSocket>::SendRequest(const std::string& text) {
    using namespace k47::http;
    const auto* head = reinterpret_cast<const BYTE*>(text.data());
    DWORD length = m_options.body != nullptr ? m_options.dataLength : 0;
    if ((m_options.flags & kHttpSendCallback) != 0 && m_options.chunkCallback != nullptr) {
        if (!WriteAll(head, DWORD(text.size())))
            return false;
        for (;;) {
            const BYTE* block = nullptr;
            DWORD size = 0;
            if (!m_options.chunkCallback(&block, &size, m_options.chunkParam))
                return false;
            if (size == 0)
                return true;
            if (!WriteAll(block, size))
                return false;
        }
    }
    if ((m_options.flags & kHttpSendBlocks) != 0 && length != 0) {
        if (!WriteAll(head, DWORD(text.size())))
            return false;
        DWORD blockSize = m_options.sendBlockSize != 0 ? m_options.sendBlockSize : 4096;
        for (DWORD offset = 0; offset < length;) {
            DWORD size = std::min(blockSize, length - offset);
            if (!WriteAll(m_options.body + offset, size))
                return false;
            offset += size;
        }
        return true;
    }
    WSABUF buffers[2] = {{DWORD(text.size()), const_cast<CHAR*>(text.data())},
                         {length, reinterpret_cast<CHAR*>(const_cast<BYTE*>(m_options.body))}};
    DWORD sent = 0;
    return TSocket::Write(buffers, length != 0 ? 2 : 1, &sent) && sent == text.size() + length;
}

template <class TSocket>
bool CAtlHttpClientT<TSocket>::ReadResponse() {
    using namespace k47::http;
    m_response.Reset();
    DWORD blockSize = m_options.readBlockSize != 0 ? m_options.readBlockSize : 2048;
    std::string buffer(std::max(blockSize, kHeaderReadSize), '\0');
    int zeroReads = 0;
    bool aborted = false;
    bool untilClose = false;
    while (!m_response.IsDone()) {
        untilClose = m_response.ReadsUntilClose();
        DWORD size = m_response.InHeaderBlock() ? kHeaderReadSize : blockSize;
        if (!TSocket::Read(reinterpret_cast<BYTE*>(buffer.data()), &size)) {
            m_response.EndOfInput();
            break;
        }
        if (size == 0) {
            int limit = m_response.ReadsUntilClose() ? kMaxZeroReadsUntilClose : kMaxZeroReads;
            if (++zeroReads >= limit)
                m_response.EndOfInput();
            continue;
        }
        zeroReads = 0;
        m_response.Feed(buffer.data(), size);
        if (m_options.readStatusCallback != nullptr &&
            !m_options.readStatusCallback(size, m_options.readStatusParam)) {
            aborted = true;
            break;
        }
    }
    m_lastReadResult = aborted ? ReadResult::Failed : m_response.Result();
    // After every response, failed ones included; a body read to the end of the connection
    // leaves nothing to reuse either.
    if (m_response.ConnectionClose() || untilClose)
        TSocket::Close();
    return m_lastReadResult == ReadResult::Success;
}

template <class TSocket>
bool CAtlHttpClientT<TSocket>::EvaluateStatus(int depth) {
    int status = m_response.StatusCode();
    if ((status >= 200 && status <= 206) || status == 304 || status == 305)
        return true;
    if (status == 301 || status == 302 || status == 303) {
        if ((m_options.flags & k47::http::kHttpFollowRedirects) == 0)
            return false;
        return FollowRedirect(depth);
    }
    // 401 and 407 would go to an authentication handler; none is ever registered, so no
    // credentials are sent and the challenge fails the request like any other status.
    return false;
}

template <class TSocket>
bool CAtlHttpClientT<TSocket>::FollowRedirect(int depth) {
    using namespace k47::http;
    std::string location;
    if (!m_response.GetHeader("Location", &location))
        return true;  // the redirect status stays
    if (depth >= kMaxRedirects)
        return false;
    if (m_response.ConnectionClose())
        TSocket::Close();
    CUrl next;
    if (!m_url.ResolveLocation(location, &next))
        return false;
    if (next.GetSchemeName() != TSocket::kScheme || next.GetHostName().empty())
        return false;
    if (!next.HasExplicitPort())
        next.SetPortNumber(m_options.port, false);
    if (next.GetUrlPath().empty())
        next.SetUrlPath("/");
    m_url = next;
    if (!TSocket::IsConnected())
        m_connectedHost.clear();
    if (!ConnectToCurrentUrl() || !SendRequest(BuildRequestText(m_url, m_options)))
        return false;
    // Sent: from here on the redirect reports success and the caller judges the new status. A
    // response that cannot be read leaves no status at all rather than a partial one.
    if (!ReadResponse()) {
        TSocket::Close();
        m_response.Reset();
        return true;
    }
    if (!EvaluateStatus(depth + 1))
        TSocket::Close();
    return true;
}
