// Keeps what clients can provoke from flooding the log: of the lines of one kind, one per window
// is written, and it says how many were left out since the last one written. A flood of refused
// connections or requests then costs a line every few seconds instead of one per connection.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace k47host::http {

class LogThrottle {
  public:
    using Clock = std::chrono::steady_clock;

    explicit LogThrottle(Clock::duration window) : window_(window) {}

    // For a line of kind `key` at `now`: nothing when it is to be left out, else how many lines of
    // that kind were left out before it. Thread-safe.
    std::optional<unsigned> Admit(const void* key, Clock::time_point now);

    // Writes `line` (no newline) to the log when Admit lets it through now, with the count of
    // lines left out before it.
    void Write(const void* key, const std::string& line);

  private:
    struct Kind {
        Clock::time_point written;
        unsigned left_out = 0;
    };
    const Clock::duration window_;
    std::mutex lock_;  // guards kinds_
    std::map<const void*, Kind> kinds_;
};

}  // namespace k47host::http
