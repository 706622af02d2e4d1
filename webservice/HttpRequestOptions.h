// The per-request options of the HTTP client's PerformRequest, with their defaults, and the pure
// function that builds the request text (request line and headers) from a URL and options.
//
// Plain values; the pointers they hold (extra headers, data type, body) belong to the caller and
// must stay valid for the whole PerformRequest.
#pragma once

#include <windows.h>

#include <string>

#include "webservice/HttpUrl.h"

namespace k47::http {

// Bits of HttpRequestOptions::flags.
inline constexpr DWORD kHttpFollowRedirects = 1;
inline constexpr DWORD kHttpEvaluateStatus = 2;
inline constexpr DWORD kHttpSendCallback = 4;
inline constexpr DWORD kHttpSendBlocks = 8;

// Asked for the next block of the body when kHttpSendCallback is set: fills *data and *size (0
// ends the body); false aborts the request.
using HttpChunkCallback = bool (*)(const BYTE** data, DWORD* size, DWORD_PTR param);
// Told the byte count after each write or read; false aborts the request.
using HttpStatusCallback = bool (*)(DWORD bytes, DWORD_PTR param);

struct HttpRequestOptions {
    const char* extraHeaders = nullptr;  // CR LF-terminated header lines, appended verbatim
    const char* method = "GET";
    const char* dataType = nullptr;  // becomes the Content-Type line
    DWORD dataLength = 0;
    DWORD flags = kHttpFollowRedirects | kHttpEvaluateStatus | kHttpSendBlocks;
    DWORD timeoutMs = 10000;  // becomes the socket's receive time-out
    DWORD sendBlockSize = 4096;
    DWORD readBlockSize = 4096;  // 0 means 2048
    DWORD_PTR chunkParam = 0;
    DWORD_PTR sendStatusParam = 0;
    DWORD_PTR readStatusParam = 0;
    unsigned short port = 80;  // used when the URL names none
    const BYTE* body = nullptr;
    HttpChunkCallback chunkCallback = nullptr;
    HttpStatusCallback sendStatusCallback = nullptr;
    HttpStatusCallback readStatusCallback = nullptr;
};

// The request text, byte for byte: request line "<method> <path><extra> HTTP/1.1", then
// "Content-Length: %d" (when the data length is not 0), "Content-Type: " (when a data type is
// set and not empty), the extra headers verbatim, "Host: <host>" (the port is not written),
// "User-Agent: Microsoft-ATL-Native/10.00" and an empty line. An empty path is written as "/".
std::string BuildRequestText(const CUrl& url, const HttpRequestOptions& options);

}  // namespace k47::http
