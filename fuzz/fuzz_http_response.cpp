// Fuzz target: the HTTP response reader fed from bytes. The first byte chooses the size of the
// pieces the rest is fed in (as socket reads would split it); the same bytes fed whole must give
// the same result, status, headers and body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "webservice/HttpResponseParser.h"

namespace {

struct Outcome {
    int result;
    int status;
    std::string body;
    size_t headers;
};

Outcome Run(const uint8_t* data, size_t size, size_t piece) {
    k47::http::CHttpResponseParser parser;
    parser.Reset();
    size_t pos = 0;
    while (pos < size && !parser.IsDone()) {
        size_t n = piece < size - pos ? piece : size - pos;
        parser.Feed(reinterpret_cast<const char*>(data) + pos, n);
        pos += n;
    }
    parser.EndOfInput();
    std::string value;
    parser.GetHeader("Content-Length", &value);
    parser.ConnectionClose();
    return {int(parser.Result()), parser.StatusCode(),
            std::string(parser.Body(), parser.BodyLength()), parser.Headers().size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    size_t piece = size_t(data[0] % 64) + 1;
    Outcome split = Run(data + 1, size - 1, piece);
    Outcome whole = Run(data + 1, size - 1, size);
    if (split.result != whole.result || split.status != whole.status || split.body != whole.body ||
        split.headers != whole.headers)
        __builtin_trap();
    return 0;
}
