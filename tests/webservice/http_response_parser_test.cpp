// The HTTP response reader's state machine: table vectors run whole, byte by byte and at random
// split points with identical results, and the hard caps at and beyond their limits.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "webservice/HttpResponseParser.h"

using k47::http::CHttpResponseParser;
using k47::http::ReadResult;

namespace {

struct Outcome {
    ReadResult result = ReadResult::Failed;
    int status = -1;
    std::string body;
    std::string headers;  // "name=value;" in map order
    bool doneBeforeEnd = false;

    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    return os << "{result " << int(o.result) << ", status " << o.status << ", body '" << o.body
              << "', headers '" << o.headers << "', done before end " << o.doneBeforeEnd << "}";
}

Outcome Collect(CHttpResponseParser& parser, bool doneBeforeEnd) {
    Outcome o;
    o.doneBeforeEnd = doneBeforeEnd;
    o.result = parser.Result();
    o.status = parser.StatusCode();
    o.body.assign(parser.Body(), parser.BodyLength());
    for (const auto& [name, value] : parser.Headers())
        o.headers += name + "=" + value + ";";
    return o;
}

// Feeds `input` in pieces of the given sizes (cycled), then ends the input.
Outcome Feed(const std::string& input, const std::vector<size_t>& pieces) {
    CHttpResponseParser parser;
    parser.Reset();
    size_t pos = 0, i = 0;
    while (pos < input.size() && !parser.IsDone()) {
        size_t n = std::min(pieces[i++ % pieces.size()], input.size() - pos);
        parser.Feed(input.data() + pos, n);
        pos += n;
    }
    bool doneBeforeEnd = parser.IsDone();
    parser.EndOfInput();
    return Collect(parser, doneBeforeEnd);
}

// Whole, byte by byte and at random split points: all three must agree.
Outcome RunAllSplits(const std::string& input, const char* name) {
    Outcome whole = Feed(input, {input.size() + 1});
    Outcome bytes = Feed(input, {1});
    EXPECT_EQ(whole, bytes) << name << ": byte by byte differs";
    std::mt19937 rng(1234);
    for (int round = 0; round < 5; ++round) {
        std::vector<size_t> pieces;
        for (int k = 0; k < 16; ++k)
            pieces.push_back(1 + rng() % 37);
        EXPECT_EQ(whole, Feed(input, pieces)) << name << ": random split differs";
    }
    return whole;
}

struct Vector {
    const char* name;
    std::string input;
    ReadResult result;
    int status;
    std::string body;
    bool doneBeforeEnd;  // complete without the connection ending
};

TEST(HttpResponseParser, VectorsWholeAndSplit) {
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const Vector vectors[] = {
        {"content length", ok + "Content-Length: 5\r\n\r\nhello", ReadResult::Success, 200, "hello",
         true},
        {"content length, surplus ignored", ok + "Content-Length: 2\r\n\r\nhello",
         ReadResult::Success, 200, "he", true},
        {"content length zero", ok + "Content-Length: 0\r\n\r\n", ReadResult::Success, 200, "",
         true},
        {"content length short", ok + "Content-Length: 9\r\n\r\nhello", ReadResult::BodyFailed, 200,
         "hello", false},
        {"content length not decimal", ok + "Content-Length: 5x\r\n\r\nhello",
         ReadResult::HeadersInvalid, 200, "", true},
        {"content length negative", ok + "Content-Length: -1\r\n\r\n", ReadResult::HeadersInvalid,
         200, "", true},
        {"content length beyond cap", ok + "Content-Length: 16777217\r\n\r\n",
         ReadResult::BodyFailed, 200, "", true},
        {"content length overflow uint64", ok + "Content-Length: 18446744073709551616\r\n\r\n",
         ReadResult::HeadersInvalid, 200, "", true},
        {"no length: read to the end", ok + "Server: x\r\n\r\nall of it", ReadResult::Success, 200,
         "all of it", false},
        {"no length, no body", ok + "\r\n", ReadResult::Success, 200, "", false},
        {"chunked", ok + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n",
         ReadResult::Success, 200, "hello world", true},
        {"chunked upper case, hex, extension",
         ok + "transfer-encoding: CHUNKED\r\n\r\nA;name=v\r\n0123456789\r\n0\r\n\r\n",
         ReadResult::Success, 200, "0123456789", true},
        {"chunked wins over length",
         ok + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n",
         ReadResult::Success, 200, "ab", true},
        {"chunked with announced trailer",
         ok + "Transfer-Encoding: chunked\r\nTrailer: X-Sum\r\n\r\n1\r\na\r\n0\r\nX-Sum: 7\r\n\r\n",
         ReadResult::Success, 200, "a", true},
        {"chunked trailer not announced",
         ok + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\nX-Sum: 7\r\n\r\n",
         ReadResult::ChunkedFailed, 200, "a", true},
        {"chunked missing data CRLF", ok + "Transfer-Encoding: chunked\r\n\r\n1\r\nab\r\n0\r\n\r\n",
         ReadResult::ChunkedFailed, 200, "a", true},
        {"chunked LF instead of CRLF", ok + "Transfer-Encoding: chunked\r\n\r\n1\na\r\n0\r\n\r\n",
         ReadResult::ChunkedFailed, 200, "", true},
        {"chunked bad size", ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n",
         ReadResult::ChunkedFailed, 200, "", true},
        {"chunked empty size line", ok + "Transfer-Encoding: chunked\r\n\r\n\r\n",
         ReadResult::ChunkedFailed, 200, "", true},
        {"chunked size overflow 9 digits", ok + "Transfer-Encoding: chunked\r\n\r\n100000000\r\n",
         ReadResult::ChunkedFailed, 200, "", true},
        {"chunked leading zeros allowed",
         ok + "Transfer-Encoding: chunked\r\n\r\n0000000000001\r\nz\r\n0\r\n\r\n",
         ReadResult::Success, 200, "z", true},
        {"chunked beyond body cap", ok + "Transfer-Encoding: chunked\r\n\r\nFFFFFFFF\r\n",
         ReadResult::ChunkedFailed, 200, "", true},
        {"chunked ends early", ok + "Transfer-Encoding: chunked\r\n\r\n5\r\nhel",
         ReadResult::ChunkedFailed, 200, "hel", false},
        {"chunked without last chunk", ok + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n",
         ReadResult::ChunkedFailed, 200, "a", false},
        {"100 then 200",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
         ReadResult::Success, 200, "ok", true},
        {"two 100s then 200",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\nX: y\r\n\r\nHTTP/1.1 202 "
         "Accepted\r\nContent-Length: 0\r\n\r\n",
         ReadResult::Success, 202, "", true},
        {"100 and nothing more", "HTTP/1.1 100 Continue\r\n\r\n", ReadResult::SocketReadFailed, -1,
         "", false},
        {"204 has no body", "HTTP/1.1 204 No Content\r\n\r\n", ReadResult::Success, 204, "", true},
        {"304 has no body", "HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n",
         ReadResult::Success, 304, "", true},
        {"500 with a body", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\nfail",
         ReadResult::Success, 500, "fail", true},
        {"header block never ends", "HTTP/1.1 200 OK\r\nX: y\r\n", ReadResult::SocketReadFailed, -1,
         "", false},
        {"LF only header block", "HTTP/1.1 200 OK\nContent-Length: 0\n\n",
         ReadResult::SocketReadFailed, -1, "", false},
        {"empty input", "", ReadResult::SocketReadFailed, -1, "", false},
        {"status not a number", "HTTP/1.1 OK 200\r\n\r\n", ReadResult::StatusInvalid, -1, "", true},
        {"status missing", "HTTP/1.1\r\n\r\n", ReadResult::StatusInvalid, -1, "", true},
        {"status too large", "HTTP/1.1 2000 OK\r\n\r\n", ReadResult::StatusInvalid, -1, "", true},
        {"status too small", "HTTP/1.1 99 OK\r\n\r\n", ReadResult::StatusInvalid, -1, "", true},
        {"status overflow int32", "HTTP/1.1 4294967496 OK\r\n\r\n", ReadResult::StatusInvalid, -1,
         "", true},
        {"header without colon", ok + "Broken\r\n\r\n", ReadResult::HeadersInvalid, 200, "", true},
        {"header with empty name", ok + ": v\r\n\r\n", ReadResult::HeadersInvalid, 200, "", true},
        {"header name with space", ok + "Bad Name: v\r\n\r\n", ReadResult::HeadersInvalid, 200, "",
         true},
        {"continuation first", ok + " folded\r\n\r\n", ReadResult::HeadersInvalid, 200, "", true},
        {"bare LF inside a header", ok + "A: b\nC: d\r\nContent-Length: 0\r\n\r\n",
         ReadResult::HeadersInvalid, 200, "", true},
        {"continuation line joins",
         ok + "X-Long: one\r\n\t two\r\n  three\r\nContent-Length: 0\r\n\r\n", ReadResult::Success,
         200, "", true},
    };
    for (const Vector& v : vectors) {
        Outcome o = RunAllSplits(v.input, v.name);
        EXPECT_EQ(v.result, o.result) << v.name;
        EXPECT_EQ(v.status, o.status) << v.name;
        if (v.result == ReadResult::Success || v.result == ReadResult::BodyFailed ||
            v.result == ReadResult::ChunkedFailed) {
            EXPECT_EQ(v.body, o.body) << v.name;
        }
        EXPECT_EQ(v.doneBeforeEnd, o.doneBeforeEnd) << v.name;
    }
}

TEST(HttpResponseParser, HeadersAreCaseInsensitiveJoinedAndExtendedByTrailers) {
    std::string input =
        "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nX-Long: one\r\n\t two\r\nx-dup: a\r\nX-Dup: "
        "b\r\n"
        "Transfer-Encoding: chunked\r\nTrailer: X-Sum\r\nConnection: Close \r\n\r\n"
        "3\r\nabc\r\n0\r\nX-Sum: 42\r\n\r\n";
    RunAllSplits(input, "headers");
    CHttpResponseParser parser;
    parser.Feed(input.data(), input.size());
    ASSERT_TRUE(parser.IsDone());
    std::string value;
    ASSERT_TRUE(parser.GetHeader("content-type", &value));
    EXPECT_EQ("text/xml", value);
    ASSERT_TRUE(parser.GetHeader("X-LONG", &value));
    EXPECT_EQ("one two", value);
    ASSERT_TRUE(parser.GetHeader("X-Dup", &value));
    EXPECT_EQ("a, b", value);
    ASSERT_TRUE(parser.GetHeader("x-sum", &value));
    EXPECT_EQ("42", value);
    EXPECT_TRUE(parser.ConnectionClose());
    EXPECT_FALSE(parser.GetHeader("Absent", &value));
    // The body follows the header block in the one response buffer.
    EXPECT_EQ(parser.HeaderEnd(), input.find("\r\n\r\n") + 4);
    EXPECT_EQ('\0', parser.Body()[parser.BodyLength()]);
}

TEST(HttpResponseParser, CapsAtAndBeyondTheirLimits) {
    using P = CHttpResponseParser;
    auto headerBlockOf = [](size_t total) {
        std::string head = "HTTP/1.1 200 OK\r\nX: ";
        std::string tail = "\r\nContent-Length: 0\r\n\r\n";
        std::string block = head;
        while (block.size() + tail.size() < total) {
            size_t n = std::min<size_t>(total - block.size() - tail.size(), 4000);
            block += std::string(n, 'v');
            if (block.size() + tail.size() < total)
                block += "\r\nY" + std::to_string(block.size()) + ": ";
        }
        return block + tail;
    };
    std::string atLimit = headerBlockOf(P::kMaxHeaderBlockBytes);
    ASSERT_EQ(P::kMaxHeaderBlockBytes, atLimit.size());
    EXPECT_EQ(ReadResult::Success, RunAllSplits(atLimit, "block at limit").result);
    EXPECT_EQ(ReadResult::HeadersInvalid,
              RunAllSplits(headerBlockOf(P::kMaxHeaderBlockBytes + 1), "block beyond").result);

    std::string line =
        "HTTP/1.1 200 OK\r\nX: " + std::string(P::kMaxHeaderLineBytes - 3, 'l') + "\r\n";
    EXPECT_EQ(ReadResult::Success,
              RunAllSplits(line + "Content-Length: 0\r\n\r\n", "line at limit").result);
    line = "HTTP/1.1 200 OK\r\nX: " + std::string(P::kMaxHeaderLineBytes - 2, 'l') + "\r\n";
    EXPECT_EQ(ReadResult::HeadersInvalid,
              RunAllSplits(line + "Content-Length: 0\r\n\r\n", "line beyond").result);

    auto manyHeaders = [](size_t count) {
        std::string text = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n";
        for (size_t i = 1; i < count; ++i)
            text += "H" + std::to_string(i) + ": v\r\n";
        return text + "\r\n";
    };
    EXPECT_EQ(ReadResult::Success,
              RunAllSplits(manyHeaders(P::kMaxHeaderCount), "count at limit").result);
    EXPECT_EQ(ReadResult::HeadersInvalid,
              RunAllSplits(manyHeaders(P::kMaxHeaderCount + 1), "count beyond").result);

    std::string interim;
    for (size_t i = 0; i < P::kMaxInterimResponses; ++i)
        interim += "HTTP/1.1 100 Continue\r\n\r\n";
    std::string final = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(ReadResult::Success, RunAllSplits(interim + final, "interim at limit").result);
    EXPECT_EQ(
        ReadResult::StatusInvalid,
        RunAllSplits(interim + "HTTP/1.1 100 Continue\r\n\r\n" + final, "interim beyond").result);

    std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;";
    EXPECT_EQ(
        ReadResult::Success,
        RunAllSplits(chunked + std::string(P::kMaxChunkLineBytes - 2, 'e') + "\r\na\r\n0\r\n\r\n",
                     "chunk line at")
            .result);
    EXPECT_EQ(
        ReadResult::ChunkedFailed,
        RunAllSplits(chunked + std::string(P::kMaxChunkLineBytes - 1, 'e') + "\r\na\r\n0\r\n\r\n",
                     "chunk line beyond")
            .result);

    std::string closeBody = "HTTP/1.1 200 OK\r\n\r\n" + std::string(P::kMaxBodyBytes, 'b');
    Outcome o = Feed(closeBody, {65536});
    EXPECT_EQ(ReadResult::Success, o.result);
    EXPECT_EQ(P::kMaxBodyBytes, o.body.size());
    EXPECT_EQ(ReadResult::BodyFailed, Feed(closeBody + "b", {65536}).result);
}

}  // namespace
