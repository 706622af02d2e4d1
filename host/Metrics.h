// The host's metrics for Prometheus: GET /metrics on every control service listener, in the text
// exposition format 0.0.4 (docs/operations.md, "Metrics", lists every family).
//
// A scrape reads the same lock-free counters as GET /status (ReadHostStatus) and the process's
// figures from /proc/self, and writes the text into one string reserved up front: a scrape of an
// installation of a thousand cameras costs a few milliseconds and never waits for a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/HostObjects.h"
#include "host/HostStatus.h"
#include "host/http/Router.h"

namespace k47host {

inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// The figures Prometheus client libraries give as process_*.
struct ProcessMetrics {
    double cpuSeconds = 0;  // user and system time
    uint64_t residentBytes = 0;
    uint64_t virtualBytes = 0;
    uint64_t openFds = 0;
    uint64_t maxFds = 0;          // the soft limit
    double startTimeSeconds = 0;  // since the Unix epoch
    uint64_t threads = 0;
};

// Fills the fields /proc/self/stat gives (CPU time, memory, threads, start time) from its text.
// `ticksPerSecond` and `pageSize` are sysconf's; `bootTimeSeconds` is /proc/stat's btime. False
// when the text is not the shape expected (the command name, in parentheses, may hold anything).
bool ParseProcessStat(std::string_view stat, long ticksPerSecond, long pageSize,
                      uint64_t bootTimeSeconds, ProcessMetrics* metrics);
// This process's figures; nothing when /proc cannot be read.
std::optional<ProcessMetrics> ReadProcessMetrics();

// Appends `value` as a label value between its quotes: backslash, quote and line feed escaped as
// the format requires, each byte that is not part of valid UTF-8 replaced by U+FFFD.
void AppendLabelValue(std::string& out, std::string_view value);

// The bytes MetricsText reserves for `status`: enough for the whole text, whatever the names.
size_t MetricsTextReserve(const HostStatus& status);
// The exposition of `status` and, when given, the process's figures.
std::string MetricsText(const HostStatus& status, const std::optional<ProcessMetrics>& process);

// GET (and HEAD) of "/metrics": 200, kMetricsContentType, MetricsText of the installation and
// this process. `server` must outlive every listener serving the route.
http::Route MetricsRoute(CInstallationServer* server);

}  // namespace k47host
