// The host's metrics in the Prometheus text exposition format.
#include "host/Metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <system_error>
#include <utility>

namespace k47host {

namespace {

void AppendUint(std::string& out, uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    out.append(digits, end);
}

void AppendSeconds(std::string& out, double seconds, int decimals) {
    char text[32];
    const auto [end, error] =
        std::to_chars(text, text + sizeof(text), seconds, std::chars_format::fixed, decimals);
    // Too long for a time (past 10^27 s): the format's own words for a value out of reach.
    if (error == std::errc())
        out.append(text, end);
    else
        out += seconds < 0 ? "-Inf" : "+Inf";
}

void AppendFamily(std::string& out, std::string_view name, std::string_view type,
                  std::string_view help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// `name{key="value",...} ` up to the value; the caller appends the value and the line feed.
void AppendSampleStart(
    std::string& out, std::string_view name,
    std::initializer_list<std::pair<std::string_view, std::string_view>> labels) {
    out += name;
    if (labels.size() != 0) {
        out += '{';
        bool first = true;
        for (const auto& [key, value] : labels) {
            if (!first)
                out += ',';
            first = false;
            out += key;
            out += "=\"";
            AppendLabelValue(out, value);
            out += '"';
        }
        out += '}';
    }
    out += ' ';
}

void AppendLineSample(std::string& out, std::string_view name, const LineStatus& line,
                      uint64_t value) {
    AppendSampleStart(out, name, {{"line", line.name}});
    AppendUint(out, value);
    out += '\n';
}

void AppendCameraSample(std::string& out, std::string_view name, const CameraStatus& camera,
                        uint64_t value) {
    AppendSampleStart(out, name, {{"camera", camera.name}, {"line", camera.line}});
    AppendUint(out, value);
    out += '\n';
}

struct LineFamily {
    const char* name;
    const char* help;
    uint64_t LineCounters::*field;
};

constexpr LineFamily kLineFamilies[] = {
    {"k47ptz_line_frames_written_total", "Frames that left the line's port whole.",
     &LineCounters::framesWritten},
    {"k47ptz_line_bytes_written_total", "Bytes of the frames that left the line's port whole.",
     &LineCounters::bytesWritten},
    {"k47ptz_line_moves_dropped_total", "Moves not sent because the line was busy.",
     &LineCounters::movesDropped},
    {"k47ptz_line_write_failures_total",
     "Writes the port refused, a device that went away among them.", &LineCounters::writeFailures},
    {"k47ptz_line_write_timeouts_total",
     "Frames that did not leave within the write bound (a stuck line).",
     &LineCounters::writeTimeouts},
    {"k47ptz_line_reopens_total", "Times a line that was down was opened again.",
     &LineCounters::reopens},
};

struct CameraFamily {
    const char* name;
    const char* help;
    uint64_t CameraCounters::*field;
};

constexpr CameraFamily kCameraFamilies[] = {
    {"k47ptz_camera_moves_total", "Moves with a speed passed to the camera's driver.",
     &CameraCounters::moves},
    {"k47ptz_camera_stops_total",
     "Stops passed to the camera's driver, the callers' and the camera's own.",
     &CameraCounters::stops},
    {"k47ptz_camera_dead_man_stops_total",
     "Motions stopped because nobody renewed them within 5 s.", &CameraCounters::deadManStops},
    {"k47ptz_camera_repeated_stops_total",
     "Stops repeated on the 0.4 s beat after an end of motion.", &CameraCounters::repeatedStops},
    {"k47ptz_camera_sessions_started_total",
     "Times a remote client took the camera's free session.", &CameraCounters::sessionsStarted},
};

constexpr const char* kLineStates[] = {"up", "down", "stuck", "none", "unknown"};

// A label value's escaped length: at most three bytes for each byte (U+FFFD for a stray one).
size_t Escaped(std::string_view value) {
    return 3 * value.size();
}

}  // namespace

void AppendLabelValue(std::string& out, std::string_view value) {
    size_t at = 0;
    while (at < value.size()) {
        const unsigned char c = static_cast<unsigned char>(value[at]);
        if (c >= 0x80) {
            const size_t length = Utf8SequenceLength(value, at);
            if (length == 0) {
                out += "\xEF\xBF\xBD";
                ++at;
            } else {
                out.append(value.substr(at, length));
                at += length;
            }
            continue;
        }
        ++at;
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += static_cast<char>(c);
    }
}

bool ParseProcessStat(std::string_view stat, long ticksPerSecond, long pageSize,
                      uint64_t bootTimeSeconds, ProcessMetrics* metrics) {
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so the fields start
    // after the last ')'.
    const size_t close = stat.rfind(')');
    if (close == std::string_view::npos || ticksPerSecond <= 0 || pageSize <= 0)
        return false;
    // Fields 3 (state) to 24 (rss) of proc(5); only the unsigned ones read below are parsed.
    uint64_t fields[25] = {};
    size_t at = close + 1;
    for (int field = 3; field <= 24; ++field) {
        while (at < stat.size() && stat[at] == ' ')
            ++at;
        const size_t end = std::min(stat.find(' ', at), stat.size());
        if (at >= end)
            return false;
        if (field == 14 || field == 15 || field >= 20) {
            const auto [ptr, error] =
                std::from_chars(stat.data() + at, stat.data() + end, fields[field]);
            if (error != std::errc() || ptr != stat.data() + end)
                return false;
        }
        at = end;
    }
    const auto field = [&](int number) { return fields[number]; };
    metrics->cpuSeconds = static_cast<double>(field(14) + field(15)) / ticksPerSecond;
    metrics->threads = field(20);
    metrics->startTimeSeconds =
        static_cast<double>(bootTimeSeconds) + static_cast<double>(field(22)) / ticksPerSecond;
    metrics->virtualBytes = field(23);
    metrics->residentBytes = field(24) * static_cast<uint64_t>(pageSize);
    return true;
}

std::optional<ProcessMetrics> ReadProcessMetrics() {
    std::ifstream statFile("/proc/self/stat");
    const std::string stat((std::istreambuf_iterator<char>(statFile)),
                           std::istreambuf_iterator<char>());
    uint64_t bootTime = 0;
    std::ifstream system("/proc/stat");
    for (std::string word; system >> word;) {
        if (word == "btime") {
            system >> bootTime;
            break;
        }
    }
    ProcessMetrics metrics;
    if (!ParseProcessStat(stat, sysconf(_SC_CLK_TCK), sysconf(_SC_PAGESIZE), bootTime, &metrics))
        return std::nullopt;
    const std::unique_ptr<DIR, int (*)(DIR*)> fds(opendir("/proc/self/fd"), closedir);
    if (fds) {
        const std::string own = std::to_string(dirfd(fds.get()));
        while (const dirent* entry = readdir(fds.get())) {
            if (entry->d_name[0] == '.')
                continue;
            // The descriptor that reads the folder is not the process's own.
            if (own != entry->d_name)
                ++metrics.openFds;
        }
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        metrics.maxFds = limit.rlim_cur;
    return metrics;
}

size_t MetricsTextReserve(const HostStatus& status) {
    // Family headers and the process's lines come to about 4 KB; each sample line is its name
    // (at most 45 bytes), its labels' keys and quotes, its value (at most 20 digits) and the
    // escaped label values.
    constexpr size_t kFixed = 8192;
    constexpr size_t kSample = 128;
    size_t total = kFixed;
    for (const LineStatus& line : status.lines)
        total +=
            (std::size(kLineFamilies) + std::size(kLineStates)) * (kSample + Escaped(line.name));
    for (const CameraStatus& camera : status.cameras)
        total += (std::size(kCameraFamilies) + 5) *
                 (kSample + Escaped(camera.name) + Escaped(camera.line));
    return total;
}

std::string MetricsText(const HostStatus& status, const std::optional<ProcessMetrics>& process) {
    std::string out;
    out.reserve(MetricsTextReserve(status));

    AppendFamily(out, "k47ptz_line_state", "gauge",
                 "The line's state: 1 for the state it is in, 0 for the others.");
    for (const LineStatus& line : status.lines) {
        for (const char* state : kLineStates) {
            AppendSampleStart(out, "k47ptz_line_state", {{"line", line.name}, {"state", state}});
            out += line.state == state ? "1\n" : "0\n";
        }
    }
    for (const LineFamily& family : kLineFamilies) {
        AppendFamily(out, family.name, "counter", family.help);
        for (const LineStatus& line : status.lines)
            if (line.counters)
                AppendLineSample(out, family.name, line, (*line.counters).*family.field);
    }

    for (const CameraFamily& family : kCameraFamilies) {
        AppendFamily(out, family.name, "counter", family.help);
        for (const CameraStatus& camera : status.cameras)
            if (camera.counters)
                AppendCameraSample(out, family.name, camera, (*camera.counters).*family.field);
    }
    constexpr std::string_view kDatagrams = "k47ptz_camera_datagrams_total";
    AppendFamily(out, kDatagrams, "counter",
                 "Motion datagrams received, by verdict: accepted (applied), stale (from the "
                 "session's owner, not newer), foreign (from another sender), malformed.");
    for (const CameraStatus& camera : status.cameras) {
        if (!camera.counters)
            continue;
        const CameraCounters& c = *camera.counters;
        const std::pair<std::string_view, uint64_t> verdicts[] = {
            {"accepted", c.datagramsAccepted},
            {"stale", c.datagramsStale},
            {"foreign", c.datagramsForeign},
            {"malformed", c.datagramsMalformed},
        };
        for (const auto& [verdict, count] : verdicts) {
            AppendSampleStart(
                out, kDatagrams,
                {{"camera", camera.name}, {"line", camera.line}, {"verdict", verdict}});
            AppendUint(out, count);
            out += '\n';
        }
    }
    constexpr std::string_view kLastCommand = "k47ptz_camera_last_command_timestamp_seconds";
    AppendFamily(out, kLastCommand, "gauge",
                 "When the camera's last control call was made, in seconds since the Unix epoch.");
    for (const CameraStatus& camera : status.cameras) {
        if (!camera.counters || !camera.counters->lastCommandAgeMs)
            continue;
        AppendSampleStart(out, kLastCommand, {{"camera", camera.name}, {"line", camera.line}});
        const int64_t at =
            status.readAtUnixMs - static_cast<int64_t>(*camera.counters->lastCommandAgeMs);
        AppendSeconds(out, static_cast<double>(at) / 1000.0, 3);
        out += '\n';
    }

    if (process) {
        const ProcessMetrics& p = *process;
        // A family of one sample without labels, up to its value.
        const auto single = [&out](std::string_view name, std::string_view type,
                                   std::string_view help) {
            AppendFamily(out, name, type, help);
            out += name;
            out += ' ';
        };
        single("process_cpu_seconds_total", "counter",
               "Total user and system CPU time spent in seconds.");
        AppendSeconds(out, p.cpuSeconds, 2);
        out += '\n';
        single("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
        AppendUint(out, p.residentBytes);
        out += '\n';
        single("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
        AppendUint(out, p.virtualBytes);
        out += '\n';
        single("process_open_fds", "gauge", "Number of open file descriptors.");
        AppendUint(out, p.openFds);
        out += '\n';
        single("process_max_fds", "gauge", "Maximum number of open file descriptors.");
        AppendUint(out, p.maxFds);
        out += '\n';
        single("process_start_time_seconds", "gauge",
               "Start time of the process since unix epoch in seconds.");
        AppendSeconds(out, p.startTimeSeconds, 2);
        out += '\n';
        single("process_threads", "gauge", "Number of OS threads in the process.");
        AppendUint(out, p.threads);
        out += '\n';
    }
    return out;
}

http::Route MetricsRoute(CInstallationServer* server) {
    http::Route route;
    route.match = http::PathMatch::kExact;
    route.path = "/metrics";
    route.methods = {"GET"};
    route.handler = [server](const http::HttpRequest&) {
        http::HttpResponse response;
        response.contentType = kMetricsContentType;
        response.body = MetricsText(ReadHostStatus(server), ReadProcessMetrics());
        response.headers.emplace_back("Cache-Control", "no-store");
        return response;
    };
    return route;
}

}  // namespace k47host
