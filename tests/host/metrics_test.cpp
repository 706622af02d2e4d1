// The host's metrics: the exact exposition of a known state with names that would break it, the
// label escaping and the reservation against hostile names, /proc/self's figures (a command name
// that holds parentheses, a text cut short), the counters in GET /status, and GET /metrics of a
// real installation whose counters must match what its simulated line received; and the time
// one scrape of a thousand cameras takes.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame/K47PTZModule.h"
#include "host/HostServices.h"
#include "host/HostStatus.h"
#include "host/Installation.h"
#include "host/Metrics.h"
#include "tests/drivers/DriverTestUtil.h"
#include "tests/host/HttpExchange.h"
#include "tests/support/ScopedRegistryFolder.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UdpPeer.h"

using k47host::CameraCounters;
using k47host::HostStatus;
using k47host::LineCounters;
using Microsoft::WRL::ComPtr;

namespace {

std::string Label(std::string_view value) {
    std::string out;
    k47host::AppendLabelValue(out, value);
    return out;
}

// A line "Yard "east" \ 1<LF>x" with counters, a plug-in line without; a camera whose name holds
// a stray byte, a tab and a u-umlaut, with counters and a last call 250 ms before the read; and a
// camera that keeps no counters.
HostStatus KnownState() {
    HostStatus status;
    status.readAtUnixMs = 1765000000500;
    status.lines.push_back({"Yard \"east\" \\ 1\nx", "K47PTZ.K47PelcoD", "/dev/ttyUSB0", "up",
                            std::nullopt, LineCounters{12, 84, 3, 2, 1, 4}});
    status.lines.push_back({"Plug", "Vendor.Driver", std::nullopt, "unknown", std::nullopt});
    CameraCounters counters{7, 5, 1, 11, 20, 2, 3, 4, 1, (4u << 16) | 6, 250};
    status.cameras.push_back(
        {"\xFF"
         "Cam\t\xC3\xBC",
         "Yard \"east\" \\ 1\nx", 1, std::nullopt, counters});
    status.cameras.push_back({"Dock", "Plug", 3, std::nullopt});
    return status;
}

// The value of the sample line that begins with `series` ("name{labels}"), or "" when none does.
std::string SampleValue(const std::string& text, const std::string& series) {
    const std::string line = "\n" + series + " ";
    const size_t at = text.find(line);
    if (at == std::string::npos)
        return "";
    const size_t value = at + line.size();
    return text.substr(value, text.find('\n', value) - value);
}

uint64_t Counter(const std::string& text, const std::string& series) {
    const std::string value = SampleValue(text, series);
    EXPECT_FALSE(value.empty()) << series << " missing in\n" << text;
    return value.empty() ? 0 : std::stoull(value);
}

}  // namespace

TEST(MetricsText, LabelValuesAreEscapedAndMadeUtf8) {
    const struct {
        std::string value;
        std::string escaped;
    } cases[] = {
        {"Gate", "Gate"},
        {"a\"b", "a\\\"b"},
        {"a\\b", "a\\\\b"},
        {"a\nb", "a\\nb"},
        {"\\n", "\\\\n"},  // a backslash and an n stay two characters
        {"tab\there\r", "tab\there\r"},
        {"S\xC3\xBC"
         "d \xF0\x9F\x93\xB7",
         "S\xC3\xBC"
         "d \xF0\x9F\x93\xB7"},
        {"\xFF", "\xEF\xBF\xBD"},
        {"\xC3\"", "\xEF\xBF\xBD\\\""},  // a cut sequence does not swallow the quote after it
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Label(c.value), c.escaped) << c.escaped;
}

// Every family is declared once, HELP then TYPE, before its samples; counters and only counters
// end in _total; the samples carry the escaped labels and the state's values; a line or camera
// without counters has no samples of them; without the process's figures none of theirs is there.
TEST(MetricsText, FamiliesAreDeclaredOnceBeforeSamplesThatCarryTheState) {
    const k47host::ProcessMetrics process{1.5, 12345678, 987654321, 42, 20000, 1764999000.25, 9};
    const std::string text = k47host::MetricsText(KnownState(), process);
    std::map<std::string, std::string> types;
    std::string help;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("# HELP ")) {
            help = line.substr(7, line.find(' ', 7) - 7);
        } else if (line.starts_with("# TYPE ")) {
            std::istringstream words(line.substr(7));
            std::string family, type;
            words >> family >> type;
            EXPECT_EQ(family, help) << "a TYPE without its HELP: " << line;
            EXPECT_TRUE(types.emplace(family, type).second) << "declared twice: " << line;
        } else {
            const std::string name = line.substr(0, line.find_first_of("{ "));
            ASSERT_TRUE(types.contains(name)) << "a sample before its TYPE: " << line;
            EXPECT_EQ(types[name] == "counter", name.ends_with("_total")) << line;
            EXPECT_TRUE(types[name] == "counter" || types[name] == "gauge") << line;
        }
    }
    EXPECT_EQ(types.size(), 21u);

    const std::string line = R"(line="Yard \"east\" \\ 1\nx")";
    const std::string cam =
        "camera=\"\xEF\xBF\xBD"
        "Cam\t\xC3\xBC\"," +
        line;
    const std::pair<std::string, std::string> samples[] = {
        {"k47ptz_line_state{" + line + ",state=\"up\"}", "1"},
        {"k47ptz_line_state{" + line + ",state=\"down\"}", "0"},
        {"k47ptz_line_state{line=\"Plug\",state=\"unknown\"}", "1"},
        {"k47ptz_line_frames_written_total{" + line + "}", "12"},
        {"k47ptz_line_bytes_written_total{" + line + "}", "84"},
        {"k47ptz_line_moves_dropped_total{" + line + "}", "3"},
        {"k47ptz_line_write_failures_total{" + line + "}", "2"},
        {"k47ptz_line_write_timeouts_total{" + line + "}", "1"},
        {"k47ptz_line_reopens_total{" + line + "}", "4"},
        {"k47ptz_camera_moves_total{" + cam + "}", "7"},
        {"k47ptz_camera_stops_total{" + cam + "}", "5"},
        {"k47ptz_camera_dead_man_stops_total{" + cam + "}", "1"},
        {"k47ptz_camera_repeated_stops_total{" + cam + "}", "11"},
        {"k47ptz_camera_sessions_started_total{" + cam + "}", "1"},
        {"k47ptz_camera_datagrams_total{" + cam + ",verdict=\"accepted\"}", "20"},
        {"k47ptz_camera_datagrams_total{" + cam + ",verdict=\"stale\"}", "2"},
        {"k47ptz_camera_datagrams_total{" + cam + ",verdict=\"foreign\"}", "3"},
        {"k47ptz_camera_datagrams_total{" + cam + ",verdict=\"malformed\"}", "4"},
        // Read at ...500 ms, the call 250 ms before.
        {"k47ptz_camera_last_command_timestamp_seconds{" + cam + "}", "1765000000.250"},
        {"process_cpu_seconds_total", "1.50"},
        {"process_resident_memory_bytes", "12345678"},
        {"process_open_fds", "42"},
        {"process_start_time_seconds", "1764999000.25"},
        {"process_threads", "9"},
    };
    for (const auto& [series, value] : samples)
        EXPECT_EQ(SampleValue(text, series), value) << series;
    EXPECT_EQ(text.find("{line=\"Plug\"}"), std::string::npos) << "a plug-in line has no counters";
    EXPECT_EQ(text.find("camera=\"Dock\""), std::string::npos) << "nor has its camera";
    EXPECT_EQ(k47host::MetricsText(KnownState(), std::nullopt),
              text.substr(0, text.find("# HELP process_cpu_seconds_total")));
}

// Whatever the names and values, the text fits in what was reserved: one allocation a scrape.
TEST(MetricsText, TheReservationHoldsTheWorstCase) {
    HostStatus status;
    status.readAtUnixMs = LLONG_MAX;
    const uint64_t most = UINT64_MAX;
    for (int i = 0; i < 200; ++i) {
        const std::string stray(40 + i % 20, '\xFF');  // each byte becomes three
        status.lines.push_back(
            {stray, "P", stray, "stuck", stray, LineCounters{most, most, most, most, most, most}});
        status.cameras.push_back(
            {stray + "\"\\\n", stray, 1, std::nullopt,
             CameraCounters{most, most, most, most, most, most, most, most, most, most, 0}});
    }
    k47host::ProcessMetrics process{1e30, most, most, most, most, 1e15, most};
    const std::string text = k47host::MetricsText(status, process);
    EXPECT_LE(text.size(), k47host::MetricsTextReserve(status));
    EXPECT_NE(text.find("18446744073709551615\n"), std::string::npos);
    // A time too long to write in fixed notation is written as infinite, not cut.
    EXPECT_NE(text.find("\nprocess_cpu_seconds_total +Inf\n"), std::string::npos);
    EXPECT_NE(text.find("\nprocess_start_time_seconds 1000000000000000.00\n"), std::string::npos);
}

TEST(ProcessMetrics, ParsedFromTheStatText) {
    // A command name with spaces and parentheses, as a process may name itself.
    const std::string stat =
        "4242 (k47 (host) x) S 1 4242 4242 0 -1 4194560 2000 0 0 0 "
        "250 150 0 0 20 -5 7 0 360000 104857600 2560 18446744073709551615 1 1 0 0 0 0 0 0 0";
    k47host::ProcessMetrics metrics;
    ASSERT_TRUE(k47host::ParseProcessStat(stat, 100, 4096, 1764990000, &metrics));
    EXPECT_DOUBLE_EQ(metrics.cpuSeconds, 4.0);  // (250 + 150) ticks
    EXPECT_EQ(metrics.threads, 7u);
    EXPECT_DOUBLE_EQ(metrics.startTimeSeconds, 1764990000 + 3600.0);
    EXPECT_EQ(metrics.virtualBytes, 104857600u);
    EXPECT_EQ(metrics.residentBytes, 2560u * 4096u);

    const std::string refused[] = {
        "",
        "4242 k47 S 1",                      // no command name
        stat.substr(0, stat.find(" 2560")),  // cut before rss
        "4242 (x) S 1 4242 4242 0 -1 4194560 2000 0 0 0 "
        "2x0 150 0 0 20 0 7 0 360000 104857600 2560",  // not a number
        "4242 (x) S 1 4242 4242 0 -1 4194560 2000 0 0 0 "
        "-250 150 0 0 20 0 7 0 360000 104857600 2560",  // a negative time
    };
    for (const std::string& text : refused)
        EXPECT_FALSE(k47host::ParseProcessStat(text, 100, 4096, 0, &metrics)) << text;
    EXPECT_FALSE(k47host::ParseProcessStat(stat, 0, 4096, 0, &metrics));
}

// Read from this process: a thread and a descriptor more show, and the start lies in the past.
TEST(ProcessMetrics, ReadFromThisProcess) {
    // A sanitizer starts a thread of its own with the first thread a program starts: that one
    // is started and ended before the count that matters.
    std::thread([] {}).join();
    const auto before = k47host::ReadProcessMetrics();
    ASSERT_TRUE(before.has_value());
    std::FILE* file = std::fopen("/proc/self/stat", "r");
    ASSERT_NE(file, nullptr);
    std::atomic<bool> stop{false};
    std::thread extra([&] {
        while (!stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    const auto during = k47host::ReadProcessMetrics();
    stop = true;
    extra.join();
    std::fclose(file);
    ASSERT_TRUE(during.has_value());
    EXPECT_EQ(during->threads, before->threads + 1);
    EXPECT_EQ(during->openFds, before->openFds + 1);
    EXPECT_GT(before->residentBytes, 1u << 20);
    EXPECT_GT(before->virtualBytes, before->residentBytes);
    EXPECT_GT(before->maxFds, before->openFds);
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_LE(before->startTimeSeconds, now);
    EXPECT_GT(before->startTimeSeconds, now - 24 * 3600.0);
}

TEST(HostStatusJson, CountersAreWrittenOrNull) {
    EXPECT_EQ(k47host::StatusJson(KnownState()),
              "{\"lines\":[\n"
              R"({"name":"Yard \"east\" \\ 1\nx","protocol":"K47PTZ.K47PelcoD",)"
              R"("device":"/dev/ttyUSB0","state":"up","lastError":null,)"
              R"("counters":{"framesWritten":12,"bytesWritten":84,"movesDropped":3,)"
              R"("writeFailures":2,"writeTimeouts":1,"reopens":4}},)"
              "\n"
              R"({"name":"Plug","protocol":"Vendor.Driver","device":null,"state":"unknown",)"
              R"("lastError":null,"counters":null}],)"
              "\n\"cameras\":[\n"
              R"({"name":"\ufffdCam\t)"
              "\xC3\xBC"
              R"(","line":"Yard \"east\" \\ 1\nx","address":1,"sessionOwner":null,)"
              R"("counters":{"moves":7,"stops":5,"deadManStops":1,"repeatedStops":11,)"
              R"("datagramsAccepted":20,"datagramsStale":2,"datagramsForeign":3,)"
              R"("datagramsMalformed":4,"sessionsStarted":1,"lastCommand":"command 6",)"
              R"("lastCommandAgeMs":250}},)"
              "\n"
              R"({"name":"Dock","line":"Plug","address":3,"sessionOwner":null,"counters":null}]})"
              "\n");
    const struct {
        uint64_t call;
        const char* text;
    } calls[] = {
        {0, nullptr},
        {K47CALL_MOVE << 16, "move"},
        {K47CALL_STOP << 16, "stop"},
        {K47CALL_ENDMOTION << 16, "end motion"},
        {(K47CALL_COMMAND << 16) | 7, "command 7"},
        {(K47CALL_MENU << 16) | 3, "menu 3"},
        {(K47CALL_MENU << 16) | 0xFFFF, "menu 65535"},
        {9ull << 16, nullptr},  // a kind this host does not know
    };
    for (const auto& c : calls) {
        const auto text = k47host::LastCommandText(c.call);
        EXPECT_EQ(text.value_or("(null)"), c.text ? c.text : "(null)") << c.call;
    }
}

namespace {

k47test::Reply Get(uint16_t port, const char* path) {
    return k47test::Exchange(AF_INET, port, k47test::Request("GET", path));
}

}  // namespace

// Moves and stops from two threads through a real host onto a simulated Pelco-D line, datagrams
// of every verdict from two remote clients: /metrics, /status and ptzctl status say what the
// line received and what the cameras saw.
TEST(HostMetrics, CountersMatchWhatTheLineReceived) {
    k47test::ScopedRegistryFolder registry;
    k47test::RegisterLibraryClasses();
    ASSERT_HR_OK(DllRegisterServer());
    k47test::FarEnd line(k47::sim::Protocol::kPelcoD);
    k47host::Installation installation;
    std::string error;
    ASSERT_TRUE(installation.LoadText(
        R"(<Installation><ControlService Listen="127.0.0.1" Port="0"/>
           <ControlService Listen="127.0.0.1" Port="0" Allow="10.0.0.0/8"/>
           <PTZProtocols>
             <Protocol Name='Yard "east" \' ProgID="K47PTZ.K47PelcoD" COMPort=")" +
            line.Path() + R"(" BaudRate="9600"/>
           </PTZProtocols><Cameras>
             <Camera Name="Gate&#10;1" Protocol='Yard "east" \' Address="1"/>
             <Camera Name="Dock" Protocol='Yard "east" \' Address="2"/>
           </Cameras></Installation>)",
        &error))
        << error;
    k47host::InstallationReport report = installation.Build();
    ASSERT_TRUE(report.problems.empty());
    k47host::HostServices services(installation.Server(), installation.ServiceSettings());
    ASSERT_TRUE(services.Start(&error)) << error;
    const uint16_t port = services.Listeners()[0]->Port();
    const std::string lineLabel = R"({line="Yard \"east\" \\"})";
    const std::string cameraLabels = R"(camera="Gate\n1",line="Yard \"east\" \\")";

    // Before any call: counters at 0 and no last call.
    k47test::Reply reply = Get(port, "/metrics");
    ASSERT_EQ(reply.status, 200u);
    EXPECT_EQ(reply.Header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(reply.Header("Cache-Control"), "no-store");
    EXPECT_EQ(Counter(reply.body, "k47ptz_line_frames_written_total" + lineLabel), 0u);
    EXPECT_EQ(Counter(reply.body, "k47ptz_camera_moves_total{" + cameraLabels + "}"), 0u);
    EXPECT_EQ(SampleValue(reply.body,
                          "k47ptz_line_state{line=\"Yard \\\"east\\\" \\\\\",state="
                          "\"up\"}"),
              "1");
    EXPECT_EQ(reply.body.find("k47ptz_camera_last_command_timestamp_seconds{"), std::string::npos);
    EXPECT_NE(reply.body.find("\nprocess_threads "), std::string::npos);

    // Two cameras of the line steered at once: a move that finds the line busy is dropped, the
    // rest leave whole, and stops wait for the line.
    ComPtr<IK47PTZCamera> gate;
    ComPtr<IK47PTZCamera> dock;
    ASSERT_HR_OK(installation.Server()->FindCamera(u"Gate\n1", gate.GetAddressOf()));
    ASSERT_HR_OK(installation.Server()->FindCamera(u"Dock", dock.GetAddressOf()));
    const double calledAt =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    constexpr int kMoves = 40;
    const auto steer = [](IK47PTZCamera* camera) {
        for (int i = 0; i < kMoves; ++i)
            EXPECT_TRUE(SUCCEEDED(camera->MoveRelative(static_cast<SHORT>(10 + i), 0, 0, 0, 0)));
        EXPECT_HR_OK(camera->MoveRelative(0, 0, 0, 0, 0));
    };
    std::thread other(steer, dock.Get());
    steer(gate.Get());
    other.join();

    // A remote session: accepted, stale (an old sequence), foreign (another sender) and
    // malformed (a short datagram); the session's last datagram stops the camera.
    ULONG address = 0;
    USHORT sessionPort = 0;
    ASSERT_HR_OK(gate->StartRemoteSession(&address, &sessionPort));
    k47test::UdpPeer owner;
    k47test::UdpPeer stranger;
    ASSERT_TRUE(owner.SendDatagram(sessionPort, k47test::Motion(5, 0)));
    ASSERT_TRUE(owner.SendDatagram(sessionPort, k47test::Motion(6, 0)));
    ASSERT_TRUE(owner.SendDatagram(sessionPort, k47test::Motion(4, 0)));
    ASSERT_TRUE(stranger.SendDatagram(sessionPort, k47test::Motion(9, 0)));
    ASSERT_TRUE(owner.SendTo(sessionPort, {1, 2, 3}));
    const std::string datagrams = "k47ptz_camera_datagrams_total{" + cameraLabels + ",verdict=";
    const std::string dockLabels = R"(camera="Dock",line="Yard \"east\" \\")";
    const auto number = [](const std::string& body, const std::string& series) {
        const std::string value = SampleValue(body, series);
        return value.empty() ? 0 : std::stoull(value);
    };
    // Settled: the last datagram is counted, and every move and stop the cameras passed on is
    // counted by the line as written or dropped (a frame on its way is in neither yet).
    const auto calls = [&](const std::string& body) {
        return 2 * kMoves + number(body, "k47ptz_camera_stops_total{" + cameraLabels + "}") +
               number(body, "k47ptz_camera_stops_total{" + dockLabels + "}");
    };
    const auto lineCounted = [&](const std::string& body) {
        return number(body, "k47ptz_line_frames_written_total" + lineLabel) +
               number(body, "k47ptz_line_moves_dropped_total" + lineLabel);
    };
    std::string body;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        body = Get(port, "/metrics").body;
    } while ((SampleValue(body, datagrams + "\"malformed\"}") != "1" ||
              lineCounted(body) != calls(body)) &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(Counter(body, datagrams + "\"accepted\"}"), 2u) << body;
    EXPECT_EQ(Counter(body, datagrams + "\"stale\"}"), 1u);
    EXPECT_EQ(Counter(body, datagrams + "\"foreign\"}"), 1u);
    EXPECT_EQ(Counter(body, datagrams + "\"malformed\"}"), 1u);
    EXPECT_EQ(Counter(body, "k47ptz_camera_sessions_started_total{" + cameraLabels + "}"), 1u);
    EXPECT_EQ(Counter(body, "k47ptz_camera_moves_total{" + cameraLabels + "}"),
              static_cast<uint64_t>(kMoves));

    // Every frame the host counts as written reached the far end, byte for byte; every move and
    // stop the cameras passed on was either written or dropped.
    EXPECT_EQ(lineCounted(body), calls(body)) << body;
    const uint64_t stops = Counter(body, "k47ptz_camera_stops_total{" + cameraLabels + "}");
    EXPECT_GE(stops, 2u);  // the caller's and the session's
    EXPECT_EQ(Counter(body, "k47ptz_camera_moves_total{" + dockLabels + "}"),
              static_cast<uint64_t>(kMoves));
    EXPECT_EQ(Counter(body, "k47ptz_camera_stops_total{" + dockLabels + "}"), 1u);
    const uint64_t dropped = Counter(body, "k47ptz_line_moves_dropped_total" + lineLabel);
    const uint64_t written = Counter(body, "k47ptz_line_frames_written_total" + lineLabel);
    const std::vector<k47::sim::DecodedFrame> frames =
        line.Next(written + 1, std::chrono::milliseconds(1000));
    uint64_t bytes = 0;
    for (const auto& frame : frames)
        bytes += frame.raw.size();
    EXPECT_EQ(frames.size(), written);  // and not one more
    EXPECT_EQ(Counter(body, "k47ptz_line_bytes_written_total" + lineLabel), bytes);
    EXPECT_EQ(bytes, 7 * written);  // Pelco-D frames are 7 bytes
    EXPECT_EQ(Counter(body, "k47ptz_line_write_failures_total" + lineLabel), 0u);
    std::printf("%llu frames written, %llu moves dropped on the busy line\n",
                static_cast<unsigned long long>(written), static_cast<unsigned long long>(dropped));
    const std::string lastCall =
        SampleValue(body, "k47ptz_camera_last_command_timestamp_seconds{" + cameraLabels + "}");
    ASSERT_FALSE(lastCall.empty()) << body;
    EXPECT_GE(std::stod(lastCall), calledAt - 0.01);
    EXPECT_LE(std::stod(lastCall), calledAt + 5.0);

    // /status carries the same counters.
    const std::string status = Get(port, "/status").body;
    EXPECT_NE(status.find(R"("counters":{"framesWritten":)" + std::to_string(written) +
                          R"(,"bytesWritten":)" + std::to_string(bytes) + R"(,"movesDropped":)" +
                          std::to_string(dropped) +
                          R"(,"writeFailures":0,"writeTimeouts":0,"reopens":0})"),
              std::string::npos)
        << status;
    EXPECT_NE(status.find(R"("counters":{"moves":40,"stops":)" + std::to_string(stops) +
                          R"(,"deadManStops":0,)"),
              std::string::npos)
        << status;
    EXPECT_NE(status.find(R"("datagramsAccepted":2,"datagramsStale":1,"datagramsForeign":1,)"
                          R"("datagramsMalformed":1,"sessionsStarted":1,"lastCommand":"stop")"),
              std::string::npos)
        << status;

    // ptzctl status shows them.
    std::string shown;
    ASSERT_EQ(k47test::RunCommand(k47test::BinaryDir() + "/bin/ptzctl -s http://127.0.0.1:" +
                                      std::to_string(port) + " -c Dock status",
                                  &shown),
              0)
        << shown;
    EXPECT_NE(shown.find("\nmoves:   40 sent; stops: 1 (0 on the 5 s time-out, 0 repeated"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("\nline counters: " + std::to_string(written) + " frames (" +
                         std::to_string(bytes) + " bytes) written, " + std::to_string(dropped) +
                         " moves dropped on the busy line, 0 write failures,"),
              std::string::npos)
        << shown;

    // The listener's rules hold for /metrics as for every route.
    reply = k47test::Exchange(AF_INET, port, k47test::Request("HEAD", "/metrics"));
    EXPECT_EQ(reply.status, 200u);
    EXPECT_EQ(reply.body, "");
    reply = k47test::Exchange(AF_INET, port, k47test::Request("POST", "/metrics", "{}"));
    EXPECT_EQ(reply.status, 405u);
    EXPECT_EQ(reply.Header("Allow"), "GET, HEAD");
    reply = Get(services.Listeners()[1]->Port(), "/metrics");
    EXPECT_EQ(reply.status, 403u);
    EXPECT_EQ(reply.body.find("k47ptz_"), std::string::npos);

    ASSERT_TRUE(owner.SendDatagram(
        sessionPort, k47test::Motion(7, 0, 0, 0, 0, 0, K47MotionDatagram::kEndOfMotion)));
    services.Stop();
    installation.Shutdown();
}

// One scrape of an installation of a thousand cameras: read and written in a few milliseconds.
TEST(HostMetrics, AScrapeOfAThousandCamerasIsCheap) {
    k47test::ScopedRegistryFolder registry;
    k47test::RegisterLibraryClasses();
    ASSERT_HR_OK(DllRegisterServer());
    constexpr int kCameras = 1000;
    std::string xml = R"(<Installation><ControlService Listen="127.0.0.1" Port="0"/>
        <PTZProtocols><Protocol Name="Bus" ProgID="K47PTZ.Bosch"/></PTZProtocols><Cameras>)";
    for (int i = 1; i <= kCameras; ++i)
        xml += "<Camera Name=\"Camera &quot;" + std::to_string(i) +
               "&quot;\" Protocol=\"Bus\" "
               "Address=\"" +
               std::to_string(i) + "\"/>";
    xml += "</Cameras></Installation>";
    k47host::Installation installation;
    std::string error;
    ASSERT_TRUE(installation.LoadText(xml, &error)) << error;
    k47host::InstallationReport report = installation.Build();
    ASSERT_EQ(report.camerasBound, kCameras);
    k47host::HostServices services(installation.Server(), installation.ServiceSettings());
    ASSERT_TRUE(services.Start(&error)) << error;
    const uint16_t port = services.Listeners()[0]->Port();

    using Clock = std::chrono::steady_clock;
    auto best = Clock::duration::max();
    auto bestBuild = Clock::duration::max();
    std::string body;
    for (int round = 0; round < 5; ++round) {
        const auto start = Clock::now();
        k47test::Reply reply = Get(port, "/metrics");
        best = std::min(best, Clock::now() - start);
        ASSERT_EQ(reply.status, 200u);
        body = std::move(reply.body);
        const auto built = Clock::now();
        const std::string text =
            k47host::MetricsText(k47host::ReadHostStatus(installation.Server()), std::nullopt);
        bestBuild = std::min(bestBuild, Clock::now() - built);
        EXPECT_GT(text.size(), 1000u * 500u);
    }
    EXPECT_EQ(Counter(body, R"(k47ptz_camera_moves_total{camera="Camera \"1000\"",line="Bus"})"),
              0u);
    const auto us = [](Clock::duration d) {
        return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    };
    std::printf(
        "one scrape of %d cameras: %lld us over HTTP (%zu bytes), %lld us to read and "
        "write the text\n",
        kCameras, static_cast<long long>(us(best)), body.size(),
        static_cast<long long>(us(bestBuild)));
    // Generous for a loaded machine or a sanitizer build; a scrape that waited on anything, or
    // grew its text quadratically, takes far longer.
    EXPECT_LT(best, std::chrono::milliseconds(500));
    services.Stop();
    installation.Shutdown();
}
