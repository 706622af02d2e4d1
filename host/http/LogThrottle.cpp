// One line per kind and window.
#include "host/http/LogThrottle.h"

#include "common/K47Global.h"

namespace k47host::http {

std::optional<unsigned> LogThrottle::Admit(const void* key, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    auto [it, first] = kinds_.try_emplace(key);
    Kind& kind = it->second;
    if (!first && now - kind.written < window_) {
        ++kind.left_out;
        return std::nullopt;
    }
    unsigned left_out = kind.left_out;
    kind.written = now;
    kind.left_out = 0;
    return left_out;
}

void LogThrottle::Write(const void* key, const std::string& line) {
    std::optional<unsigned> left_out = Admit(key, Clock::now());
    if (!left_out)
        return;
    if (*left_out == 0) {
        g_ErrorHandling.WriteLog("%s\n", line.c_str());
        return;
    }
    g_ErrorHandling.WriteLog(
        "%s (%u more like it in the last %lld s, not logged)\n", line.c_str(), *left_out,
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(window_).count()));
}

}  // namespace k47host::http
