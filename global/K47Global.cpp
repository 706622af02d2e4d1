// The runtime library's logging environment, exception classes and handler log lines.
#include "common/K47Global.h"

#include <atlbase.h>
#include <winsock2.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

CGlobalErrorHandlingEnvironment g_ErrorHandling;

namespace {

// Guards the sink and the debug switch. Lines are formatted outside the lock; only the hand-over
// to the sink is serialised, so that lines of different threads never interleave.
std::mutex g_sinkLock;
CGlobalErrorHandlingEnvironment::Sink g_sink;
bool g_debugEnabled = true;

std::string NowString() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return g_ErrorHandling.GetDateAndTimeString(now);
}

void DefaultSink(CGlobalErrorHandlingEnvironment::Channel channel, std::string_view line) {
    std::string stamp = NowString();
    std::fprintf(stderr, "%s %s%.*s\n", stamp.c_str(),
                 channel == CGlobalErrorHandlingEnvironment::Channel::Debug ? "[debug] " : "",
                 static_cast<int>(line.size()), line.data());
}

std::string Describe(const char* kind, const char* codeFormat, DWORD code, const char* file,
                     int line, std::string_view detail) {
    char head[64];
    std::snprintf(head, sizeof(head), codeFormat, code);
    std::string text = std::string(kind) + " " + head + " (" + K47ErrorText(code) + ")";
    if (!detail.empty()) {
        text += ": ";
        text += detail;
    }
    if (file != nullptr) {
        text += " raised at " + CGlobalErrorHandlingEnvironment::GetFilePart(file) + " line " +
                std::to_string(line);
    }
    return text;
}

}  // namespace

std::string K47ErrorText(DWORD code) {
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, buffer, sizeof(buffer), nullptr);
    while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r' || buffer[n - 1] == ' '))
        --n;
    if (n == 0)
        return "unknown error";
    return std::string(buffer, n);
}

CGlobalErrorHandlingEnvironment::CGlobalErrorHandlingEnvironment() = default;

void CGlobalErrorHandlingEnvironment::Emit(Channel channel, const char* format,
                                           va_list args) noexcept {
    try {
        std::vector<char> buffer(256);
        va_list copy;
        va_copy(copy, args);
        int n = std::vsnprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (n < 0)
            return;
        if (static_cast<size_t>(n) >= buffer.size()) {
            buffer.resize(static_cast<size_t>(n) + 1);
            std::vsnprintf(buffer.data(), buffer.size(), format, args);
        }
        std::string_view line(buffer.data(), static_cast<size_t>(n));
        if (!line.empty() && line.back() == '\n')
            line.remove_suffix(1);
        std::lock_guard<std::mutex> guard(g_sinkLock);
        if (channel == Channel::Debug && !g_debugEnabled)
            return;
        if (g_sink) {
            g_sink(channel, line);
        } else {
            DefaultSink(channel, line);
        }
    } catch (...) {
        // Logging never fails towards the caller: a line that cannot be written is lost.
    }
}

void CGlobalErrorHandlingEnvironment::WriteLog(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    Emit(Channel::Log, format, args);
    va_end(args);
}

void CGlobalErrorHandlingEnvironment::WriteDebug(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    Emit(Channel::Debug, format, args);
    va_end(args);
}

std::string CGlobalErrorHandlingEnvironment::GetFilePart(const char* path) {
    if (path == nullptr)
        return std::string();
    std::string_view p(path);
    size_t slash = p.find_last_of("/\\");
    if (slash != std::string_view::npos)
        p.remove_prefix(slash + 1);
    size_t dot = p.find_last_of('.');
    if (dot != std::string_view::npos && dot > 0)
        p = p.substr(0, dot);
    return std::string(p);
}

void CGlobalErrorHandlingEnvironment::Win32Translator(unsigned int code,
                                                      EXCEPTION_POINTERS* /*info*/) {
    // Called only where the platform can turn a fault into an exception; turn it into one of ours
    // so that the worker's handlers log it and end the worker with a failure code.
    throw CHresultError(
        __FILE__, __LINE__, E_UNEXPECTED, "processor fault 0x" + [code] {
            char hex[16];
            std::snprintf(hex, sizeof(hex), "%08X", code);
            return std::string(hex);
        }());
}

std::string CGlobalErrorHandlingEnvironment::GetDateAndTimeString(FILETIME time) {
    // FILETIME counts 100 ns units since 1601-01-01 UTC.
    constexpr int64_t kUnixEpochIn100ns = 116444736000000000LL;
    int64_t ticks = (static_cast<int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    int64_t sinceUnix = ticks - kUnixEpochIn100ns;
    using namespace std::chrono;
    auto point =
        sys_time<milliseconds>(milliseconds(sinceUnix / 10000 - (sinceUnix % 10000 < 0 ? 1 : 0)));
    auto day = floor<days>(point);
    year_month_day ymd(day);
    hh_mm_ss<milliseconds> tod(point - day);
    char text[40];
    std::snprintf(text, sizeof(text), "%04d-%02u-%02u %02lld:%02lld:%02lld.%03lld",
                  static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<long long>(tod.hours().count()),
                  static_cast<long long>(tod.minutes().count()),
                  static_cast<long long>(tod.seconds().count()),
                  static_cast<long long>(tod.subseconds().count()));
    return text;
}

CGlobalErrorHandlingEnvironment::Sink CGlobalErrorHandlingEnvironment::SetSink(Sink sink) {
    std::lock_guard<std::mutex> guard(g_sinkLock);
    Sink previous = std::move(g_sink);
    g_sink = std::move(sink);
    return previous;
}

void CGlobalErrorHandlingEnvironment::EnableDebug(bool enable) {
    std::lock_guard<std::mutex> guard(g_sinkLock);
    g_debugEnabled = enable;
}

CExceptionBase::~CExceptionBase() = default;

CHresultError::CHresultError(const char* file, int line, HRESULT hr)
    : CHresultError(file, line, hr, {}) {}

CHresultError::CHresultError(const char* file, int line, HRESULT hr, std::string_view detail)
    : CExceptionBase(file, line),
      hr_(hr),
      description_(Describe("HRESULT", "0x%08X", static_cast<DWORD>(hr), file, line, detail)) {}

CWin32Error::CWin32Error(const char* file, int line)
    : CWin32Error(file, line, GetLastError(), "Win32 error") {}

CWin32Error::CWin32Error(const char* file, int line, DWORD error)
    : CWin32Error(file, line, error, "Win32 error") {}

CWin32Error::CWin32Error(const char* file, int line, DWORD error, const char* kind)
    : CExceptionBase(file, line),
      error_(error),
      hr_(error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error)),
      description_(Describe(kind, "%u", error, file, line, {})) {}

CWSAError::CWSAError(const char* file, int line)
    : CWin32Error(file, line, static_cast<DWORD>(WSAGetLastError()), "Winsock error") {}

void K47LogHandled(const CExceptionBase& e, const char* file, int line) noexcept {
    if (dynamic_cast<const CReportedError*>(&e) != nullptr)
        return;  // logged where it was raised
    try {
        g_ErrorHandling.WriteLog("%s - handler %s line %d\n", e.GetDescription(),
                                 CGlobalErrorHandlingEnvironment::GetFilePart(file).c_str(), line);
    } catch (...) {
    }
}

void K47LogUnhandled(const char* file, int line) noexcept {
    try {
        g_ErrorHandling.WriteLog("%s: thread %d Unhandled Exception - handler %s line %d\n",
                                 NowString().c_str(), static_cast<int>(GetCurrentThreadId()),
                                 CGlobalErrorHandlingEnvironment::GetFilePart(file).c_str(), line);
    } catch (...) {
    }
}

void K47LogStdException(const std::exception& e, const char* file, int line) noexcept {
    try {
        g_ErrorHandling.WriteLog("Caught standard exception: %s - handler %s line %d\n", e.what(),
                                 CGlobalErrorHandlingEnvironment::GetFilePart(file).c_str(), line);
    } catch (...) {
    }
}
