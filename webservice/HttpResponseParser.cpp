// The response reader's state machine (see the header for its contract).
#include "webservice/HttpResponseParser.h"

#include <algorithm>
#include <cstring>

namespace k47::http {

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

// Header names are tokens: visible ASCII without separators.
bool IsTokenChar(char c) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F)
        return false;
    return std::strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char x = Lower(a[i]), y = Lower(b[i]);
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

// ---- CHttpResponseBuffer ----

void CHttpResponseBuffer::Append(const char* data, size_t size) {
    if (size == 0)
        return;
    if (size_ + size > capacity_) {
        size_t grow = std::max<size_t>({size_ + size - capacity_, kInlineBytes, capacity_ / 2});
        size_t capacity = capacity_ + grow;
        auto bigger = std::make_unique<char[]>(capacity + 1);
        std::memcpy(bigger.get(), Data(), size_);
        heap_ = std::move(bigger);
        capacity_ = capacity;
    }
    std::memcpy(Mutable() + size_, data, size);
    size_ += size;
    Mutable()[size_] = '\0';
}

void CHttpResponseBuffer::Resize(size_t size) {
    if (size < size_) {
        size_ = size;
        Mutable()[size_] = '\0';
    }
}

void CHttpResponseBuffer::Erase(size_t count) {
    count = std::min(count, size_);
    std::memmove(Mutable(), Data() + count, size_ - count);
    size_ -= count;
    Mutable()[size_] = '\0';
}

// ---- CHttpResponseParser ----

void CHttpResponseParser::Reset() {
    state_ = State::HeaderBlock;
    result_ = ReadResult::Failed;
    buffer_.Clear();
    headers_.clear();
    status_ = -1;
    body_start_ = 0;
    have_headers_ = false;
    scan_from_ = 0;
    interim_count_ = 0;
    remaining_ = 0;
    line_.clear();
    trailers_.clear();
    crlf_index_ = 0;
}

CHttpResponseParser::Progress CHttpResponseParser::Fail(ReadResult result) {
    state_ = State::Failed;
    result_ = result;
    return Progress::Done;
}

CHttpResponseParser::Progress CHttpResponseParser::Feed(const char* data, size_t size) {
    while (size > 0 && !IsDone()) {
        size_t used = 0;
        switch (state_) {
            case State::HeaderBlock:
                used = StepHeaderBlock(data, size);
                break;
            case State::ChunkSize:
                used = StepChunkSize(data, size);
                break;
            case State::ChunkData:
                used = StepChunkData(data, size);
                break;
            case State::ChunkDataEnd:
                used = StepExpectCrlf(data, size, State::ChunkSize);
                break;
            case State::Trailers:
                used = StepTrailers(data, size);
                break;
            case State::FinalCrlf:
                used = StepExpectCrlf(data, size, State::Done);
                break;
            case State::LengthBody:
                used = StepLengthBody(data, size);
                break;
            case State::CloseBody:
                used = StepCloseBody(data, size);
                break;
            case State::Done:
            case State::Failed:
                break;
        }
        data += used;
        size -= used;
    }
    return IsDone() ? Progress::Done : Progress::NeedMore;
}

CHttpResponseParser::Progress CHttpResponseParser::EndOfInput() {
    switch (state_) {
        case State::HeaderBlock:
            return Fail(ReadResult::SocketReadFailed);
        case State::LengthBody:
            return Fail(ReadResult::BodyFailed);
        case State::CloseBody:
            state_ = State::Done;
            result_ = ReadResult::Success;
            return Progress::Done;
        case State::Done:
        case State::Failed:
            return Progress::Done;
        default:
            return Fail(ReadResult::ChunkedFailed);
    }
}

size_t CHttpResponseParser::StepHeaderBlock(const char* data, size_t size) {
    size_t old = buffer_.Size();
    buffer_.Append(data, size);
    std::string_view all(buffer_.Data(), buffer_.Size());
    size_t from = std::max(scan_from_, old >= 3 ? old - 3 : 0);
    size_t term = all.find("\r\n\r\n", from);
    if (term == std::string_view::npos) {
        if (buffer_.Size() > kMaxHeaderBlockBytes)
            Fail(ReadResult::HeadersInvalid);
        scan_from_ = buffer_.Size() >= 3 ? buffer_.Size() - 3 : 0;
        return size;
    }
    size_t end = term + 4;
    if (end > kMaxHeaderBlockBytes) {
        Fail(ReadResult::HeadersInvalid);
        return size;
    }
    size_t used = end - old;
    buffer_.Resize(end);
    OnHeaderBlock(end);
    return used;
}

void CHttpResponseParser::OnHeaderBlock(size_t end) {
    std::string_view block(buffer_.Data(), end - 2);  // keeps the CR LF of the last line
    size_t lineEnd = block.find("\r\n");
    if (!ParseStatusLine(block.substr(0, lineEnd))) {
        Fail(ReadResult::StatusInvalid);
        return;
    }
    if (status_ == 100) {
        // An interim response: drop its block and wait for the final one, which may already
        // follow in the bytes not yet consumed.
        if (++interim_count_ > kMaxInterimResponses) {
            Fail(ReadResult::StatusInvalid);
            return;
        }
        status_ = -1;
        buffer_.Clear();
        scan_from_ = 0;
        return;
    }
    headers_.clear();
    if (!ParseHeaderLines(block.substr(lineEnd + 2), kMaxHeaderCount)) {
        Fail(ReadResult::HeadersInvalid);
        return;
    }
    body_start_ = end;
    have_headers_ = true;

    std::string value;
    if (status_ == 204 || status_ == 304) {
        // These never carry a body, whatever their headers say.
        state_ = State::Done;
    } else if (GetHeader("Transfer-Encoding", &value) && EqualsNoCase(Trim(value), "chunked")) {
        state_ = State::ChunkSize;
    } else if (GetHeader("Content-Length", &value)) {
        std::string_view digits = Trim(value);
        if (digits.empty() || digits.size() > 19) {
            Fail(ReadResult::HeadersInvalid);
            return;
        }
        uint64_t length = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') {
                Fail(ReadResult::HeadersInvalid);
                return;
            }
            length = length * 10 + uint64_t(c - '0');
        }
        if (length > kMaxBodyBytes) {
            Fail(ReadResult::BodyFailed);
            return;
        }
        remaining_ = length;
        state_ = length == 0 ? State::Done : State::LengthBody;
    } else {
        state_ = State::CloseBody;
    }
    if (state_ == State::Done)
        result_ = ReadResult::Success;
}

bool CHttpResponseParser::ParseStatusLine(std::string_view line) {
    if (line.find_first_of("\r\n") != std::string_view::npos)
        return false;
    size_t pos = 0;
    while (pos < line.size() && !IsSpace(line[pos]))
        ++pos;
    if (pos == line.size())
        return false;
    while (pos < line.size() && IsSpace(line[pos]))
        ++pos;
    if (pos == line.size() || line[pos] < '0' || line[pos] > '9')
        return false;
    unsigned value = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
        value = value * 10 + unsigned(line[pos] - '0');
        if (value > 999)
            return false;
        ++pos;
    }
    if (value < 100)
        return false;
    status_ = int(value);
    return true;
}

bool CHttpResponseParser::ParseHeaderLines(std::string_view block, size_t maxCount) {
    std::string* last = nullptr;
    while (!block.empty()) {
        size_t eol = block.find("\r\n");
        if (eol == std::string_view::npos)
            return false;
        std::string_view line = block.substr(0, eol);
        block.remove_prefix(eol + 2);
        if (line.size() > kMaxHeaderLineBytes)
            return false;
        if (line.find_first_of("\r\n") != std::string_view::npos)
            return false;
        if (IsSpace(line.front())) {
            // A continuation of the previous header's value.
            if (last == nullptr)
                return false;
            std::string_view more = Trim(line);
            if (!more.empty()) {
                if (!last->empty())
                    *last += ' ';
                last->append(more);
            }
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return false;
        std::string_view name = line.substr(0, colon);
        for (char c : name)
            if (!IsTokenChar(c))
                return false;
        std::string_view value = Trim(line.substr(colon + 1));
        auto it = headers_.find(name);
        if (it == headers_.end()) {
            if (headers_.size() >= maxCount)
                return false;
            it = headers_.emplace(std::string(name), std::string(value)).first;
        } else {
            // A repeated header: its values are joined, as for a list-valued header.
            it->second += ", ";
            it->second.append(value);
        }
        last = &it->second;
    }
    return true;
}

bool CHttpResponseParser::ParseChunkSize(std::string_view line, uint64_t* size) const {
    size_t pos = 0;
    uint64_t value = 0;
    size_t significant = 0;
    while (pos < line.size() && HexValue(line[pos]) >= 0) {
        value = value * 16 + uint64_t(HexValue(line[pos]));
        if (value != 0 && ++significant > kMaxChunkSizeDigits)
            return false;
        ++pos;
    }
    if (pos == 0)
        return false;
    while (pos < line.size() && IsSpace(line[pos]))
        ++pos;
    if (pos < line.size() && line[pos] != ';')
        return false;
    *size = value;
    return true;
}

size_t CHttpResponseParser::StepChunkSize(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (c == '\n') {
            if (line_.empty() || line_.back() != '\r') {
                Fail(ReadResult::ChunkedFailed);
                return i + 1;
            }
            line_.pop_back();
            uint64_t chunk = 0;
            if (!ParseChunkSize(line_, &chunk) || BodyLength() + chunk > kMaxBodyBytes) {
                Fail(ReadResult::ChunkedFailed);
                return i + 1;
            }
            line_.clear();
            if (chunk == 0) {
                state_ = headers_.count("Trailer") ? State::Trailers : State::FinalCrlf;
            } else {
                remaining_ = chunk;
                state_ = State::ChunkData;
            }
            return i + 1;
        }
        if (!line_.empty() && line_.back() == '\r') {  // a CR not followed by LF
            Fail(ReadResult::ChunkedFailed);
            return i + 1;
        }
        line_ += c;
        // The cap counts the line without its CR LF.
        if (line_.size() > kMaxChunkLineBytes + (c == '\r' ? 1 : 0)) {
            Fail(ReadResult::ChunkedFailed);
            return i + 1;
        }
    }
    return size;
}

size_t CHttpResponseParser::StepChunkData(const char* data, size_t size) {
    size_t take = size_t(std::min<uint64_t>(remaining_, size));
    buffer_.Append(data, take);
    remaining_ -= take;
    if (remaining_ == 0) {
        state_ = State::ChunkDataEnd;
        crlf_index_ = 0;
    }
    return take;
}

size_t CHttpResponseParser::StepExpectCrlf(const char* data, size_t size, State next) {
    static const char kCrlf[] = "\r\n";
    size_t i = 0;
    while (i < size && crlf_index_ < 2) {
        if (data[i] != kCrlf[crlf_index_]) {
            Fail(ReadResult::ChunkedFailed);
            return i + 1;
        }
        ++crlf_index_;
        ++i;
    }
    if (crlf_index_ == 2) {
        crlf_index_ = 0;
        state_ = next;
        if (next == State::Done)
            result_ = ReadResult::Success;
    }
    return i;
}

size_t CHttpResponseParser::StepTrailers(const char* data, size_t size) {
    size_t old = trailers_.size();
    trailers_.append(data, size);
    size_t end = std::string::npos;
    if (trailers_.compare(0, 2, "\r\n") == 0) {
        end = 2;
    } else {
        size_t term = trailers_.find("\r\n\r\n", old >= 3 ? old - 3 : 0);
        if (term != std::string::npos)
            end = term + 4;
    }
    if (end == std::string::npos) {
        if (trailers_.size() > kMaxTrailerBytes)
            Fail(ReadResult::ChunkedFailed);
        return size;
    }
    if (end > kMaxTrailerBytes) {
        Fail(ReadResult::ChunkedFailed);
        return size;
    }
    size_t used = end - old;
    std::string_view block(trailers_.data(), end - 2);
    if (!ParseHeaderLines(block, kMaxHeaderCount)) {
        Fail(ReadResult::ChunkedFailed);
        return used;
    }
    state_ = State::Done;
    result_ = ReadResult::Success;
    return used;
}

size_t CHttpResponseParser::StepLengthBody(const char* data, size_t size) {
    size_t take = size_t(std::min<uint64_t>(remaining_, size));
    buffer_.Append(data, take);
    remaining_ -= take;
    if (remaining_ == 0) {
        state_ = State::Done;
        result_ = ReadResult::Success;
    }
    return take;
}

size_t CHttpResponseParser::StepCloseBody(const char* data, size_t size) {
    if (BodyLength() + size > kMaxBodyBytes) {
        Fail(ReadResult::BodyFailed);
        return size;
    }
    buffer_.Append(data, size);
    return size;
}

bool CHttpResponseParser::GetHeader(std::string_view name, std::string* value) const {
    auto it = headers_.find(name);
    if (it == headers_.end())
        return false;
    if (value != nullptr)
        *value = it->second;
    return true;
}

bool CHttpResponseParser::ConnectionClose() const {
    auto it = headers_.find(std::string_view("Connection"));
    return it != headers_.end() && EqualsNoCase(Trim(it->second), "close");
}

}  // namespace k47::http
