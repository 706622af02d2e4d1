// Pelco-D cameras sharing one serial line at its real rate (a probe with its own main).
//
// For 1, 2, 4, 8 and 12 cameras on one line, at 2400 and at 9600 Bd: a ptzsim process plays the
// line on a link path, paced at the rate the driver sets, and stamps each frame with the arrival
// of its last byte (start event "monotonic" + frame "elapsed" = CLOCK_MONOTONIC seconds, the same
// clock as steady_clock). One thread per camera renews its move ten times a second through the
// camera object's MoveRelative, as the camera's datagram worker does for a remote client: on a
// tick of its own phase (fixed pseudo-random phases, so clients are not lined up), and when a call
// outlasts a tick the newest tick is served at once and the missed ones are skipped. Each call
// carries the next pan speed of a cycle whose Pelco-D speed bytes all differ, so every frame on
// the line is matched to its call by address and speed byte. After kMotion every camera gets
// EndMotion at the same instant.
//
// Reported per (rate, cameras), next to the physical limits of the wire (10 bits a byte, so a
// 7-byte frame takes 70 / baud seconds and the line carries baud / 70 frames/s):
//   - frames per second on the line during the motion, what the clients ask and the capacity;
//   - each camera's move frames per second (clients ask for 10): lowest and median camera;
//   - from the start of a call to its frame's last byte, for moves that were sent: p50/p99, next
//     to one frame time (the wire alone on an idle line);
//   - each camera's first stop after EndMotion: p50/max, next to 0.4 s (the camera's own wait)
//     plus one frame time per camera on the line;
//   - moves dropped with S_FALSE (a busy line), and the longest run of drops of one camera (the
//     driver lets a camera lose at most once in a row).
// Runs take about 6 s each, the whole probe about a minute.
#include <signal.h>

#include <algorithm>
#include <atlbase.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include <wrl/client.h>

#include "frame/K47PTZ.h"
#include "tests/support/TestUtil.h"
#include "tests/tools/SimProcess.h"

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr auto kMotion = std::chrono::seconds(4);
constexpr auto kTick = milliseconds(100);
constexpr double kStopWait = 0.4;  // the camera's delay before its first stop
// Pan speeds cycled through by each camera's calls; their speed bytes (speed * 63 / 100) differ.
constexpr SHORT kSpeeds[] = {10, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60, 65, 70, 75, 80, 85};
constexpr int kSpeedCount = sizeof(kSpeeds) / sizeof(kSpeeds[0]);

int SpeedByte(SHORT speed) {
    return (speed * 63 / 100) & 0x3F;
}

// The middle value, or the mean of the two middle ones; 0 when there are none.
double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

double Seconds(Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Nearest-rank quantile of unsorted values; 0 when there are none.
double Quantile(std::vector<double> values, double q) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(q * static_cast<double>(values.size()) + 0.999999);
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

using Frame = k47test::SimProcess::Frame;

// The pan speed byte of a frame "ff 01 00 02 3f 00 42" (the fifth byte), or -1.
int PanSpeedByte(const std::string& raw) {
    return raw.size() == 20 ? std::stoi(raw.substr(12, 2), nullptr, 16) : -1;
}

struct Call {
    double start;
    int speedByte;
    HRESULT hr;
};

struct Row {
    int baud = 0;
    int cameras = 0;
    double lineRate = 0;
    double capacity = 0;
    double cameraRateMin = 0, cameraRateMedian = 0;
    double latencyP50 = 0, latencyP99 = 0;
    double frameTime = 0;
    double stopP50 = 0, stopMax = 0, stopLimit = 0;
    int stopsMissing = 0;
    long calls = 0, dropped = 0, failed = 0;
    int longestDropRun = 0;
    int unmatched = 0;  // sent moves without their frame, or frames whose speed byte disagreed
    bool ok = false;
};

Row Run(int baud, int cameraCount) {
    Row row;
    row.baud = baud;
    row.cameras = cameraCount;
    row.frameTime = 70.0 / baud;
    row.capacity = baud / 70.0;
    row.stopLimit = kStopWait + cameraCount * row.frameTime;

    k47test::TempFolder folder;
    const std::string link = folder.Path() + "/line.tty";
    k47test::SimProcess sim("pelco-d", link);
    if (!sim.ready()) {
        std::fprintf(stderr, "ptzsim did not start on %s\n", link.c_str());
        return row;
    }

    ComPtr<IK47ObjectConfiguration> configuration;
    CoCreateInstance(CLSID_K47PelcoD, nullptr, CLSCTX_INPROC_SERVER, IID_IK47ObjectConfiguration,
                     reinterpret_cast<void**>(configuration.GetAddressOf()));
    const std::string xml = "<Protocol Name=\"Line\" COMPort=\"" + link + "\" BaudRate=\"" +
                            std::to_string(baud) + "\"/>";
    if (!configuration ||
        FAILED(configuration->Initialize(k47test::XmlElement(xml).Get(), nullptr, 0))) {
        std::fprintf(stderr, "the driver could not open %s\n", link.c_str());
        return row;
    }
    ComPtr<IK47PTZProtocol> driver;
    configuration.As(&driver);
    std::vector<ComPtr<IUnknown>> objects;
    std::vector<ComPtr<IK47PTZCamera>> cameras;
    for (int a = 1; a <= cameraCount; ++a) {
        CComBSTR name(CA2W(("Cam-" + std::to_string(a)).c_str()));
        ComPtr<IUnknown> object;
        ComPtr<IK47PTZCamera> camera;
        const std::string element = "<Camera Address=\"" + std::to_string(a) + "\"/>";
        if (FAILED(driver->AddCamera(name, k47test::XmlElement(element).Get(), nullptr,
                                     object.GetAddressOf())) ||
            FAILED(object.As(&camera))) {
            std::fprintf(stderr, "camera %d was not added\n", a);
            return row;
        }
        objects.push_back(object);
        cameras.push_back(camera);
    }

    // Each camera's phase within the tick; the same for every run of the same size.
    std::mt19937 random(47u + static_cast<unsigned>(cameraCount));
    std::uniform_int_distribution<int> phaseUs(0, 99999);
    const Clock::time_point begin = Clock::now() + milliseconds(50);
    const Clock::time_point end = begin + kMotion;
    std::vector<std::vector<Call>> calls(cameraCount);
    std::vector<std::thread> movers;
    for (int c = 0; c < cameraCount; ++c) {
        const Clock::time_point first = begin + std::chrono::microseconds(phaseUs(random));
        movers.emplace_back([&, c, first] {
            long tick = 0;
            for (int n = 0;; ++n) {
                const Clock::time_point due = first + tick * kTick;
                if (due >= end)
                    break;
                std::this_thread::sleep_until(due);
                // Ticks that passed during the previous call: only the newest is served.
                const Clock::time_point now = Clock::now();
                tick = std::max(tick, static_cast<long>((now - first) / kTick));
                const SHORT speed = kSpeeds[n % kSpeedCount];
                const HRESULT hr = cameras[c]->MoveRelative(speed, 0, 0, 0, 0);
                calls[c].push_back({Seconds(now), SpeedByte(speed), hr});
                ++tick;
            }
        });
    }
    for (auto& mover : movers)
        mover.join();
    std::vector<double> ended(cameraCount);
    for (int c = 0; c < cameraCount; ++c) {
        ended[c] = Seconds(Clock::now());
        cameras[c]->EndMotion();
    }
    // Every first stop is due within the limit; the margin covers a slow scheduler.
    std::this_thread::sleep_for(std::chrono::duration<double>(row.stopLimit + 0.6));
    for (auto& object : objects) {
        ComPtr<IK47Terminate> terminate;
        if (SUCCEEDED(object.As(&terminate)))
            terminate->Terminate(TRUE);
    }
    cameras.clear();
    objects.clear();
    driver.Reset();
    configuration.Reset();
    const std::vector<Frame> frames = sim.Frames();

    // The line during the motion.
    const double from = Seconds(begin);
    const double to = Seconds(end);
    const double span = to - from;
    long onLine = 0;
    std::vector<std::vector<const Frame*>> moves(cameraCount);
    std::vector<double> firstStop(cameraCount, -1);
    for (const Frame& f : frames) {
        onLine += f.at >= from && f.at < to;
        const int c = f.address - 1;
        if (c < 0 || c >= cameraCount)
            continue;
        // Every move frame belongs to a call made before EndMotion (the callers have ended); the
        // last one's stamp may trail the call's return by the far end's wake-up.
        if (f.kind == "move")
            moves[c].push_back(&f);
        if (f.kind == "stop" && f.at >= ended[c] && firstStop[c] < 0)
            firstStop[c] = f.at;
    }
    row.lineRate = onLine / span;

    std::vector<double> cameraRates, latencies, stopDelays;
    for (int c = 0; c < cameraCount; ++c) {
        cameraRates.push_back(
            static_cast<double>(std::count_if(moves[c].begin(), moves[c].end(),
                                              [&](const Frame* f) { return f->at < to; })) /
            span);
        // Each sent move put exactly one frame on the line, in call order.
        size_t next = 0;
        int dropRun = 0;
        for (const Call& call : calls[c]) {
            ++row.calls;
            if (call.hr == S_FALSE) {
                ++row.dropped;
                row.longestDropRun = std::max(row.longestDropRun, ++dropRun);
                continue;
            }
            dropRun = 0;
            if (call.hr != S_OK) {
                ++row.failed;
                continue;
            }
            if (next >= moves[c].size() || PanSpeedByte(moves[c][next]->raw) != call.speedByte) {
                ++row.unmatched;
                continue;
            }
            latencies.push_back(moves[c][next++]->at - call.start);
        }
        row.unmatched += static_cast<int>(moves[c].size() - next);
        if (firstStop[c] < 0)
            ++row.stopsMissing;
        else
            stopDelays.push_back(firstStop[c] - ended[c]);
    }
    row.cameraRateMin = *std::min_element(cameraRates.begin(), cameraRates.end());
    row.cameraRateMedian = Median(cameraRates);
    row.latencyP50 = Quantile(latencies, 0.5);
    row.latencyP99 = Quantile(latencies, 0.99);
    row.stopP50 = Quantile(stopDelays, 0.5);
    row.stopMax = stopDelays.empty() ? 0 : *std::max_element(stopDelays.begin(), stopDelays.end());
    row.ok = true;
    return row;
}

}  // namespace

int main() {
    k47test::RegisterLibraryClasses();
    k47test::LogCapture log;
    std::vector<Row> rows;
    for (int baud : {2400, 9600}) {
        for (int cameras : {1, 2, 4, 8, 12}) {
            std::fprintf(stderr, "%d Bd, %d camera(s)...\n", baud, cameras);
            rows.push_back(Run(baud, cameras));
        }
    }

    std::printf(
        "Pelco-D cameras on one ptzsim line paced at its rate, each move renewed every 100 ms for "
        "%.0f s, then EndMotion on all at once (times in ms):\n\n",
        std::chrono::duration<double>(kMotion).count());
    std::printf(
        "| Bd   | cams | line fr/s | asked | capacity | cam moves/s min | median | move->last byte "
        "p50 | "
        "p99     | frame time | 1st stop p50 | max | limit | dropped |\n"
        "|------|------|-----------|-------|----------|-----------------|--------|-----------------"
        "----|--"
        "-------|------------|--------------|-----|-------|---------|\n");
    long calls = 0, dropped = 0, failed = 0, unmatched = 0, missing = 0;
    int longestRun = 0;
    for (const Row& r : rows) {
        if (!r.ok) {
            std::printf("| %4d | %4d | (run failed) |\n", r.baud, r.cameras);
            continue;
        }
        std::printf(
            "| %4d | %4d | %9.1f | %5d | %8.1f | %15.1f | %6.1f | %19.2f | %7.2f | %10.2f | %12.0f "
            "| "
            "%3.0f "
            "| %5.0f | %6.1f%% |\n",
            r.baud, r.cameras, r.lineRate, r.cameras * 10, r.capacity, r.cameraRateMin,
            r.cameraRateMedian, r.latencyP50 * 1000, r.latencyP99 * 1000, r.frameTime * 1000,
            r.stopP50 * 1000, r.stopMax * 1000, r.stopLimit * 1000,
            r.calls ? 100.0 * static_cast<double>(r.dropped) / static_cast<double>(r.calls) : 0.0);
        calls += r.calls;
        dropped += r.dropped;
        failed += r.failed;
        unmatched += r.unmatched;
        missing += r.stopsMissing;
        longestRun = std::max(longestRun, r.longestDropRun);
    }
    std::printf(
        "\nS_FALSE drops: %ld of %ld move calls (%.1f%%); longest run of drops of one camera: %d; "
        "failed calls: %ld; sent moves not matched to their frame: %ld; cameras without a stop: "
        "%ld\n",
        dropped, calls,
        calls ? 100.0 * static_cast<double>(dropped) / static_cast<double>(calls) : 0.0, longestRun,
        failed, unmatched, missing);
    if (!log.Lines().empty()) {
        std::string first = log.Lines().front();
        if (!first.empty() && first.back() == '\n')
            first.pop_back();
        std::printf("log lines during the runs: %zu, the first: %s\n", log.Lines().size(),
                    first.c_str());
    }
    return 0;
}
