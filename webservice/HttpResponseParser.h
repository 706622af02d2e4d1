// The HTTP/1.1 response reader of the HTTP client, as a pure state machine: the client feeds it
// the bytes it reads from its socket and tells it when the connection gives no more; the parser
// never does I/O. It keeps the status code, a case-insensitive header map and the body (chunked
// bodies decoded) in one response buffer: the header block first, the body after it.
//
// Every length is bounded by a named constant below; input beyond a bound is rejected with the
// read result of the phase it occurs in. Feeding the same bytes in any split gives the same
// result, status, headers and body.
//
// Not thread-safe: one parser belongs to one client and is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace k47::http {

// The result of reading one response, numbered as the client stores it.
enum class ReadResult : int {
    Success = 0,
    Failed = 1,            // no response read yet
    StatusInvalid = 2,     // no decimal status code 100..999 after the version
    HeadersInvalid = 3,    // a malformed header line or block, or one beyond the caps
    SocketReadFailed = 4,  // the connection ended before the header block was complete
    BodyFailed = 5,        // a body of known length ended early or is too long
    ChunkedFailed = 6,     // a malformed chunk or trailer, or the connection ended inside one
};

struct CaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};
using HeaderMap = std::map<std::string, std::string, CaseInsensitiveLess>;

// A growable byte buffer that holds its first 4096 bytes inline and grows on the heap by at
// least 4096 bytes at a time; always NUL-terminated.
class CHttpResponseBuffer {
  public:
    static constexpr size_t kInlineBytes = 4096;
    CHttpResponseBuffer() { inline_[0] = '\0'; }
    CHttpResponseBuffer(const CHttpResponseBuffer&) = delete;
    CHttpResponseBuffer& operator=(const CHttpResponseBuffer&) = delete;

    void Append(const char* data, size_t size);
    void Resize(size_t size);  // shrinks only
    void Erase(size_t count);  // drops the first `count` bytes
    void Clear() { Resize(0); }
    const char* Data() const { return heap_ ? heap_.get() : inline_; }
    size_t Size() const { return size_; }

  private:
    char* Mutable() { return heap_ ? heap_.get() : inline_; }
    char inline_[kInlineBytes + 1];
    std::unique_ptr<char[]> heap_;
    size_t capacity_ = kInlineBytes;
    size_t size_ = 0;
};

class CHttpResponseParser {
  public:
    // Hard caps, exposed for tests.
    static constexpr size_t kMaxHeaderBlockBytes = 64 * 1024;  // status line + headers + CR LF
    static constexpr size_t kMaxHeaderLineBytes = 8 * 1024;
    static constexpr size_t kMaxHeaderCount = 100;
    static constexpr size_t kMaxInterimResponses = 8;  // "100 Continue" blocks before the final one
    static constexpr size_t kMaxChunkLineBytes = 1024;
    static constexpr size_t kMaxChunkSizeDigits = 8;  // significant hex digits: chunks < 4 GiB
    static constexpr size_t kMaxTrailerBytes = 16 * 1024;
    static constexpr size_t kMaxBodyBytes = 16 * 1024 * 1024;

    enum class Progress { NeedMore, Done };

    CHttpResponseParser() = default;
    CHttpResponseParser(const CHttpResponseParser&) = delete;
    CHttpResponseParser& operator=(const CHttpResponseParser&) = delete;

    // Forgets the previous response: empty buffer and headers, status -1, result Failed.
    void Reset();
    // Consumes bytes. Once Done, further bytes are ignored (they belong to nothing we asked for).
    Progress Feed(const char* data, size_t size);
    // The connection gives no more bytes (closed, failed, timed out or too many empty reads):
    // completes a body read until the end of the connection, fails anything else.
    Progress EndOfInput();

    bool IsDone() const { return state_ == State::Done || state_ == State::Failed; }
    // True while the header block is still incomplete (the client reads smaller blocks then).
    bool InHeaderBlock() const { return state_ == State::HeaderBlock; }
    // True while the body is read until the connection ends.
    bool ReadsUntilClose() const { return state_ == State::CloseBody; }
    ReadResult Result() const { return result_; }

    int StatusCode() const { return status_; }
    const HeaderMap& Headers() const { return headers_; }
    bool GetHeader(std::string_view name, std::string* value) const;
    // True when the header "Connection" equals "close", ignoring case.
    bool ConnectionClose() const;
    const char* Body() const { return buffer_.Data() + body_start_; }
    // Empty until a final header block has been read.
    size_t BodyLength() const { return have_headers_ ? buffer_.Size() - body_start_ : 0; }
    size_t HeaderEnd() const { return body_start_; }

  private:
    // One comment per state: what the parser waits for.
    enum class State {
        HeaderBlock,   // bytes up to CR LF CR LF: status line and header lines
        ChunkSize,     // a chunk-size line: hex digits, optional ";extension", CR LF
        ChunkData,     // the data of the current chunk
        ChunkDataEnd,  // the CR LF after a chunk's data
        Trailers,      // trailer lines up to an empty line (the response announced a "Trailer")
        FinalCrlf,     // the CR LF after the last chunk (no "Trailer" header)
        LengthBody,    // body bytes up to the Content-Length
        CloseBody,     // body bytes until the connection ends
        Done,          // a complete response; result Success
        Failed,        // rejected; result_ says why
    };

    size_t StepHeaderBlock(const char* data, size_t size);
    size_t StepChunkSize(const char* data, size_t size);
    size_t StepChunkData(const char* data, size_t size);
    size_t StepExpectCrlf(const char* data, size_t size, State next);
    size_t StepTrailers(const char* data, size_t size);
    size_t StepLengthBody(const char* data, size_t size);
    size_t StepCloseBody(const char* data, size_t size);
    // The header block [0, end) of the buffer is complete: status line, headers, body mode.
    void OnHeaderBlock(size_t end);
    bool ParseStatusLine(std::string_view line);
    // Parses CR LF separated lines into the header map; false when one is malformed.
    bool ParseHeaderLines(std::string_view block, size_t maxCount);
    bool ParseChunkSize(std::string_view line, uint64_t* size) const;
    Progress Fail(ReadResult result);

    State state_ = State::HeaderBlock;
    ReadResult result_ = ReadResult::Failed;
    CHttpResponseBuffer buffer_;
    HeaderMap headers_;
    int status_ = -1;
    size_t body_start_ = 0;
    bool have_headers_ = false;
    size_t scan_from_ = 0;  // where the search for the header block's end resumes
    size_t interim_count_ = 0;
    uint64_t remaining_ = 0;  // bytes left in the current chunk or Content-Length body
    std::string line_;        // the chunk-size or trailer line being collected
    std::string trailers_;    // trailer block collected so far
    size_t crlf_index_ = 0;   // bytes of an expected CR LF seen so far
};

}  // namespace k47::http
