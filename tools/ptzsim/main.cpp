// ptzsim: a simulated camera line. Opens a pseudo-terminal (or a serial device), prints the path
// to configure as a host's port, decodes every frame of one protocol for every camera address
// on the line, keeps each simulated camera's state, answers where the protocol answers, and
// reports frames and state changes as text or JSON lines.
//
//   ptzsim --protocol pelco-d|panasonic|bosch [--device PATH [--baud N]] [--link PATH] [--json]
//          [--state-interval SECONDS] [--answer] [--model [ADDR=]pelco|messoa|generic]
//
// The first line is always "ptzsim: line PATH". SIGINT, SIGTERM or SIGHUP end it: the final
// state of every camera is reported, the link removed, and the exit status is 0. Exit codes: 0
// ended by a signal, 1 the line or the output was lost, 2 usage, 3 the line or the link could not
// be set up.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/ptzsim/Line.h"
#include "tools/ptzsim/Report.h"
#include "tools/ptzsim/Simulator.h"
#include "tools/ptzsim/UniqueFd.h"

using namespace ptzsim;
using k47::sim::Protocol;

namespace {

enum Exit : int { kEnded = 0, kLost = 1, kUsage = 2, kNoLine = 3 };

struct Options {
    std::string protocol;
    std::string device;
    std::string link;
    bool json = false;
    double state_interval = 1.0;
    bool answer = false;
    uint32_t baud = 9600;
    std::vector<std::string> models;
    double pan_rate = 100;
    double tilt_rate = 60;
    double tilt_min = -90;
    double tilt_max = 90;
};

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// "[ADDR=]pelco|messoa|generic" into the menu trigger of SimulatorOptions.
bool ApplyModel(const std::string& spec, SimulatorOptions* options, std::string* error) {
    std::string model = spec;
    int address = -1;
    if (size_t eq = spec.find('='); eq != std::string::npos) {
        try {
            size_t used = 0;
            address = std::stoi(spec.substr(0, eq), &used);
            if (used != eq || address < 0 || address > 255) {
                throw std::out_of_range("address");
            }
        } catch (const std::exception&) {
            *error = "--model " + spec + ": the address must be 0..255";
            return false;
        }
        model = spec.substr(eq + 1);
    }
    model = Lower(model);
    if (model != "pelco" && model != "messoa" && model != "generic") {
        *error = "--model " + spec + ": the model is pelco, messoa or generic";
        return false;
    }
    const bool on_set = model != "generic";
    if (address < 0) {
        options->all_menu_on_set = on_set;
        if (!on_set) {
            options->menu_on_set.clear();
        }
    } else if (on_set) {
        options->menu_on_set.insert(address);
    } else {
        options->menu_on_set.erase(address);
    }
    return true;
}

// Writes one report line; false once the output is gone (a closed pipe).
bool Emit(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

// "SIGTERM" and the like, from the C library's table.
std::string SignalName(uint32_t number) {
    const char* abbreviation = sigabbrev_np(static_cast<int>(number));
    return abbreviation != nullptr ? std::string("SIG") + abbreviation : std::string("signal");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Simulate PTZ cameras on a serial line: a host steers them as it would real cameras.",
        "ptzsim"};
    app.footer(
        "The first line printed is always 'ptzsim: line PATH': put PATH (or the --link path) in\n"
        "the host's COMPort. Every frame on the line is then reported with the state of its\n"
        "camera after it; with --json every line after the first is one JSON object.\n"
        "Cameras appear at the first frame for their address; pan turns endlessly, tilt stops\n"
        "at its limits, zoom, focus and iris run between 0 and 1 (full travel in 5, 5 and 3 s).\n"
        "The line stays open while hosts come and go; ctrl-c (or SIGTERM) ends the simulator.\n"
        "\n"
        "Examples:\n"
        "  ptzsim --protocol pelco-d --link /tmp/pelco.tty\n"
        "  ptzsim --protocol pelco-d --answer --model 1=pelco --json > pelco.jsonl\n"
        "  ptzsim --protocol bosch --device /dev/ttyUSB1 --baud 9600\n"
        "\n"
        "Exit codes: 0 ended by ctrl-c, SIGTERM or SIGHUP; 1 the line or the output was lost;\n"
        "2 usage; 3 the line or the link could not be set up.");
    Options o;
    app.add_option("-p,--protocol", o.protocol,
                   "the cameras' protocol: pelco-d, panasonic or bosch")
        ->required()
        ->check(CLI::IsMember({"pelco-d", "panasonic", "bosch"}));
    auto* device = app.add_option("-d,--device", o.device,
                                  "use this serial device instead of a new pseudo-terminal");
    app.add_option("--baud", o.baud, "speed of --device, 8N1 (default 9600)")
        ->needs(device)
        ->check([](const std::string& text) {
            try {
                return Line::SupportedBaud(static_cast<uint32_t>(std::stoul(text)))
                           ? std::string()
                           : "not a standard speed (1200, 2400, 4800, 9600, 19200, ...)";
            } catch (const std::exception&) {
                return std::string("not a number");
            }
        });
    app.add_option("-l,--link", o.link,
                   "also make this symbolic link to the line (removed at exit), for scripts");
    app.add_flag("-j,--json", o.json, "report one JSON object per line");
    app.add_option("-s,--state-interval", o.state_interval,
                   "seconds between state lines of moving or changed cameras; 0: none (default 1)")
        ->check(CLI::Range(0.0, 3600.0));
    app.add_flag("-a,--answer", o.answer,
                 "Pelco-D: answer every frame, as a camera configured with ExpectAnswer");
    app.add_option(
           "-m,--model", o.models,
           "Pelco-D: [ADDR=]pelco, messoa or generic; pelco and messoa open their menu with "
           "Set Preset 95, generic (the default) with Go To Preset 95")
        ->take_all();
    app.add_option("--pan-rate", o.pan_rate, "pan degrees per second at full speed (default 100)")
        ->check(CLI::Range(0.1, 1000.0));
    app.add_option("--tilt-rate", o.tilt_rate, "tilt degrees per second at full speed (default 60)")
        ->check(CLI::Range(0.1, 1000.0));
    app.add_option("--tilt-min", o.tilt_min, "lowest tilt in degrees (default -90)")
        ->check(CLI::Range(-180.0, 180.0));
    app.add_option("--tilt-max", o.tilt_max, "highest tilt in degrees (default 90)")
        ->check(CLI::Range(-180.0, 180.0));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kEnded : kUsage;
    }

    SimulatorOptions sim;
    sim.protocol = o.protocol == "pelco-d"     ? Protocol::kPelcoD
                   : o.protocol == "panasonic" ? Protocol::kPanasonic
                                               : Protocol::kBosch;
    const bool pelco = sim.protocol == Protocol::kPelcoD;
    if (o.answer && !pelco) {
        std::fprintf(stderr,
                     "ptzsim: --answer: only Pelco-D cameras answer; Panasonic and Bosch frames "
                     "are never acknowledged\n");
        return kUsage;
    }
    if (!o.models.empty() && !pelco) {
        std::fprintf(stderr, "ptzsim: --model is for Pelco-D cameras\n");
        return kUsage;
    }
    for (const std::string& model : o.models) {
        std::string error;
        if (!ApplyModel(model, &sim, &error)) {
            std::fprintf(stderr, "ptzsim: %s\n", error.c_str());
            return kUsage;
        }
    }
    if (o.tilt_min >= o.tilt_max) {
        std::fprintf(stderr, "ptzsim: --tilt-min must be below --tilt-max\n");
        return kUsage;
    }
    sim.answer = o.answer;
    sim.limits.pan_deg_per_s = o.pan_rate;
    sim.limits.tilt_deg_per_s = o.tilt_rate;
    sim.limits.tilt_min_deg = o.tilt_min;
    sim.limits.tilt_max_deg = o.tilt_max;
    sim.state_interval =
        std::chrono::duration_cast<SimTime>(std::chrono::duration<double>(o.state_interval));
    // A pause this long inside a frame means it will not be finished: 64 characters of 10 bits
    // at the line's speed, twice over, and never less than a quarter second.
    const uint32_t baud = o.device.empty() ? 9600 : o.baud;
    sim.quiet = std::max<SimTime>(std::chrono::milliseconds(250),
                                  std::chrono::microseconds(2ull * 64 * 10 * 1000000 / baud));

    // The signals arrive as readable data, so the loop below ends where it chooses to.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    UniqueFd signal_fd(signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
    signal(SIGPIPE, SIG_IGN);  // a closed output shows as a failed write
    if (!signal_fd) {
        std::fprintf(stderr, "ptzsim: signalfd: %s\n", std::strerror(errno));
        return kNoLine;
    }

    std::string error;
    std::unique_ptr<Line> line =
        o.device.empty() ? Line::OpenPty(&error) : Line::OpenDevice(o.device, o.baud, &error);
    if (!line) {
        std::fprintf(stderr, "ptzsim: %s\n", error.c_str());
        return kNoLine;
    }
    std::unique_ptr<LineLink> link;
    if (!o.link.empty()) {
        link = LineLink::Make(o.link, line->path(), &error);
        if (!link) {
            std::fprintf(stderr, "ptzsim: %s\n", error.c_str());
            return kNoLine;
        }
    }

    const auto start = std::chrono::steady_clock::now();
    auto now = [start] {
        return std::chrono::duration_cast<SimTime>(std::chrono::steady_clock::now() - start);
    };
    Formatter format(sim.protocol, o.json, std::chrono::system_clock::now());
    StartInfo info;
    info.line = line->path();
    info.link = o.link;
    info.device = !o.device.empty();
    info.answer = o.answer;
    info.state_interval_s = o.state_interval;
    // Taken before anyone learns the path, so a host's first settings show as a change.
    std::string settings = line->Settings();
    bool output_ok = Emit("ptzsim: line " + line->path()) && Emit(format.Start(info));

    Simulator simulator(sim);
    std::vector<Event> events;
    std::string reason;
    int exit_code = kEnded;
    std::vector<uint8_t> buffer(4096);

    auto emit_events = [&] {
        for (Event& event : events) {
            if (event.type == EventType::kAnswer) {
                event.written = static_cast<long>(line->Write(event.answer));
            }
            output_ok = output_ok && Emit(format.Format(event));
        }
        events.clear();
    };

    while (output_ok) {
        // Look at the line's settings and flags at least twice a second even when idle.
        const SimTime wait = std::clamp<SimTime>(simulator.NextWake() - now(), SimTime::zero(),
                                                 std::chrono::milliseconds(500));
        pollfd fds[2] = {{line->fd(), POLLIN, 0}, {signal_fd.get(), POLLIN, 0}};
        const int timeout_ms =
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
        if (poll(fds, 2, timeout_ms) < 0 && errno != EINTR) {
            reason = std::string("poll: ") + std::strerror(errno);
            exit_code = kLost;
            break;
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(signal_fd.get(), &info, sizeof info) == sizeof info) {
                reason = SignalName(info.ssi_signo);
                break;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            long n = 0;
            // A bounded number of reads per turn keeps the timers and the signals served.
            for (int i = 0; i < 16 && (n = line->Read(buffer.data(), buffer.size(), &error)) > 0;
                 ++i) {
                simulator.Feed(buffer.data(), static_cast<size_t>(n), now(), events);
                emit_events();
            }
            if (n < 0) {
                reason = "line lost: " + error;
                exit_code = kLost;
                break;
            }
        }
        simulator.Tick(now(), events);
        emit_events();
        if (std::string current = line->Settings(); current != settings) {
            settings = current;
            output_ok = output_ok && Emit(format.Line(now(), "settings", settings));
        }
        if (line->ClearStaleExclusive()) {
            output_ok = output_ok &&
                        Emit(format.Line(now(), "note",
                                         "cleared the exclusive mode a vanished port user left"));
        }
    }
    if (!output_ok) {
        std::fprintf(stderr, "ptzsim: the output was closed; ending\n");
        return kLost;  // the link goes with `link`
    }
    simulator.Finish(now(), events);
    emit_events();
    Emit(format.Exit(now(), reason, simulator.counters()));
    if (exit_code != kEnded) {
        std::fprintf(stderr, "ptzsim: %s\n", reason.c_str());
    }
    return exit_code;
}
