// A ptzsim process playing one serial line for the system tests and benchmarks: started on a link
// path with JSON reports, and a thread that collects every decoded frame with the time its last
// byte arrived on the line model's wire.
//
// Time base: ptzsim reports CLOCK_MONOTONIC at its start and each frame's time since then, and
// steady_clock is CLOCK_MONOTONIC too, so Frame::at compares directly with
// steady_clock::now().time_since_epoch() in seconds.
//
// Threading: Frames() may be called from any thread; the rest from the owner's. Lifetime: the
// destructor ends the process (SIGTERM) and the reader.
#pragma once

#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestUtil.h"
#include "tests/tools/MiniJson.h"
#include "tests/tools/ToolProcess.h"

namespace k47test {

class SimProcess {
  public:
    struct Frame {
        double at;  // CLOCK_MONOTONIC seconds of the frame's last byte
        int address;
        std::string kind;  // "move", "stop", ...
        std::string raw;   // the bytes, as "ff 01 00 02 3f 00 42"
    };

    SimProcess(const std::string& protocol, const std::string& link,
               const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"--protocol", protocol,           "--json", "--link",
                                         link,         "--state-interval", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        process_ = std::make_unique<ToolProcess>(BinaryDir() + "/bin/ptzsim", args);
        for (int i = 0; i < 10 && start_ == 0; ++i) {
            auto line = process_->ReadLine(std::chrono::seconds(10));
            if (!line)
                break;
            auto json = Json::Parse(*line);
            if (json && (*json)["event"].str() == "start")
                start_ = (*json)["monotonic"].num();
        }
        reader_ = std::thread([this] { Read(); });
    }
    ~SimProcess() { End(SIGTERM); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool ready() const { return start_ != 0; }

    // Ends the simulator with `signal` (SIGKILL: as if it crashed, leaving its link behind).
    void End(int signal) {
        if (!process_)
            return;
        process_->Signal(signal);
        process_->Wait(std::chrono::seconds(5));
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        process_.reset();
    }

    std::vector<Frame> Frames() {
        std::lock_guard<std::mutex> guard(lock_);
        return frames_;
    }

  private:
    void Read() {
        while (!stop_) {
            auto line = process_->ReadLine(std::chrono::milliseconds(100));
            if (!line)
                continue;
            auto json = Json::Parse(*line);
            if (!json || (*json)["event"].str() != "frame")
                continue;
            std::lock_guard<std::mutex> guard(lock_);
            frames_.push_back({start_ + (*json)["elapsed"].num(), (*json)["address"].integer(),
                               (*json)["kind"].str(), (*json)["raw"].str()});
        }
    }

    std::unique_ptr<ToolProcess> process_;
    double start_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<Frame> frames_;
    std::thread reader_;
};

}  // namespace k47test
