// ptzsim: a simulated camera line. Opens a pseudo-terminal (or a serial device), prints the path
// to configure as a host's port, decodes every frame of one protocol for every camera address
// on the line, keeps each simulated camera's state, answers where the protocol answers, and
// reports frames and state changes as text or JSON lines.
//
//   ptzsim --protocol pelco-d|panasonic|bosch [--device PATH] [--baud N] [--link PATH] [--json]
//          [--state-interval SECONDS] [--answer] [--model [ADDR=]pelco|messoa|generic]
//          [--instant] [--stall] [--echo]
//
// A pty plays a real line (sim/LineModel.h): bytes are taken off it no faster than the rate and
// character size the port user set on it (or --baud), so what a host writes faster than that
// queues in the kernel, and each frame is stamped with the time its last byte arrived. --instant
// reads bytes as they come instead. A device paces itself. --stall starts with the line stuck,
// and SIGUSR1 toggles stuck and flowing: a stuck line is not read and holds the port user's
// writes. --echo writes every byte taken off the line back to it at once, before any answer,
// as a two-wire RS-485 bus does to its sender.
//
// The first line is always "ptzsim: line PATH". SIGINT, SIGTERM or SIGHUP end it: the final
// state of every camera is reported, the link removed, and the exit status is 0. Exit codes
// (common/ExitCodes.h): 0 ended by a signal, 1 the output was lost or the link could not be made,
// 2 usage, 8 the line could not be opened or was lost.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
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

#include "common/ExitCodes.h"
#include "sim/LineModel.h"
#include "sim/Simulator.h"
#include "tools/ptzsim/Line.h"
#include "tools/ptzsim/Report.h"

using namespace ptzsim;
using k47::sim::CharacterFormat;
using k47::sim::LinePacer;
using k47::sim::Protocol;
using k47::sim::Simulator;
using k47::sim::SimulatorOptions;

namespace {

using k47exit::kUsage;

// What --baud may set a pseudo-terminal's line model to.
constexpr uint32_t kMinPtyBaud = 50;
constexpr uint32_t kMaxPtyBaud = 4000000;

struct Options {
    std::string protocol;
    std::string device;
    std::string link;
    bool json = false;
    double state_interval = 1.0;
    bool answer = false;
    uint32_t baud = 0;  // 0: not given
    bool instant = false;
    bool stall = false;
    bool echo = false;
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
        "The line model: a pseudo-terminal carries bytes no faster than a real line at the speed\n"
        "and character size the host set on its port (start bit, data bits, parity, stop bits:\n"
        "10 bits a byte for 8N1), or at --baud; bytes written faster wait in the kernel as on a\n"
        "real line. Each frame is stamped with the time its last byte arrived ('at' in text,\n"
        "'elapsed' in JSON, seconds since the start) and with the bytes still queued behind it\n"
        "('queued'). --instant reads bytes as fast as they come. A device paces itself.\n"
        "--stall starts with the line stuck: nothing is read and the host's writes block;\n"
        "kill -USR1 toggles stuck and flowing, and each change is reported ('line' events).\n"
        "\n"
        "Examples:\n"
        "  ptzsim --protocol pelco-d --link /tmp/pelco.tty\n"
        "  ptzsim --protocol pelco-d --answer --model 1=pelco --json > pelco.jsonl\n"
        "  ptzsim --protocol pelco-d --baud 2400 --echo --stall   # then: kill -USR1 PID\n"
        "  ptzsim --protocol bosch --device /dev/ttyUSB1 --baud 9600\n"
        "\n"
        "Exit codes: 0 ended by ctrl-c, SIGTERM or SIGHUP; 1 the output was lost or the link\n"
        "could not be made; 2 usage; 8 the line could not be opened or was lost (the table\n"
        "shared by every K47PTZ program: docs/operations.md, \"Exit codes\").");
    Options o;
    app.add_option("-p,--protocol", o.protocol,
                   "the cameras' protocol: pelco-d, panasonic or bosch")
        ->required()
        ->check(CLI::IsMember({"pelco-d", "panasonic", "bosch"}));
    app.add_option("-d,--device", o.device,
                   "use this serial device instead of a new pseudo-terminal");
    app.add_option("--baud", o.baud,
                   "with --device: its speed, 8N1 (default 9600); on a pseudo-terminal: the rate "
                   "the line carries bytes at, instead of the host's setting");
    app.add_flag("--instant", o.instant,
                 "take bytes off the pseudo-terminal as fast as they come (no line model)");
    app.add_flag("--stall", o.stall,
                 "start with the line stuck (not read, the host's writes block); SIGUSR1 "
                 "toggles stuck and flowing");
    app.add_flag("--echo", o.echo,
                 "write every byte taken off the line back at once, before any answer (a "
                 "two-wire RS-485 bus, where the sender hears itself)");
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
    app.set_version_flag("--version", std::string("ptzsim ") + K47PTZ_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? k47exit::kOk : kUsage;
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
    if (o.baud != 0 && !o.device.empty() && !Line::SupportedBaud(o.baud)) {
        std::fprintf(stderr,
                     "ptzsim: --baud %u: not a standard speed (1200, 2400, 4800, 9600, 19200, "
                     "...)\n",
                     o.baud);
        return kUsage;
    }
    if (o.baud != 0 && o.device.empty() && o.instant) {
        std::fprintf(
            stderr, "ptzsim: --baud with --instant: an instant line has no speed; leave one out\n");
        return kUsage;
    }
    if (o.device.empty() && o.baud != 0 && (o.baud < kMinPtyBaud || o.baud > kMaxPtyBaud)) {
        std::fprintf(stderr, "ptzsim: --baud %u: a pseudo-terminal's rate is %u to %u\n", o.baud,
                     kMinPtyBaud, kMaxPtyBaud);
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
    const uint32_t baud = o.baud != 0 ? o.baud : 9600;
    sim.quiet = std::max<SimTime>(std::chrono::milliseconds(250),
                                  std::chrono::microseconds(2ull * 64 * 10 * 1000000 / baud));

    // The signals arrive as readable data, so the loop below ends where it chooses to.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGUSR1);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    UniqueFd signal_fd(signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
    signal(SIGPIPE, SIG_IGN);  // a closed output shows as a failed write
    if (!signal_fd) {
        std::fprintf(stderr, "ptzsim: signalfd: %s\n", std::strerror(errno));
        return k47exit::kFailed;
    }
    // A line at 1 MBd ends a byte every 10 µs; the default slack of a sleep is 50 µs.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    std::string error;
    std::unique_ptr<Line> line =
        o.device.empty() ? Line::OpenPty(&error) : Line::OpenDevice(o.device, baud, &error);
    if (!line) {
        std::fprintf(stderr, "ptzsim: %s\n", error.c_str());
        return k47exit::kLine;
    }
    std::unique_ptr<LineLink> link;
    if (!o.link.empty()) {
        link = LineLink::Make(o.link, line->path(), &error);
        if (!link) {
            std::fprintf(stderr, "ptzsim: %s\n", error.c_str());
            return k47exit::kFailed;
        }
    }
    const bool paced = line->is_pty() && !o.instant;
    const uint32_t model_baud = line->is_pty() ? o.baud : 0;
    bool stalled = o.stall;
    // Stuck before anyone learns the path, so not one write gets through.
    bool writer_held = stalled && line->HoldWriter(true);

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
    info.paced = paced;
    info.baud = o.baud;
    info.echo = o.echo;
    info.stalled = stalled;
    // steady_clock is CLOCK_MONOTONIC, which every process on the machine shares.
    info.monotonic_s = std::chrono::duration<double>(start.time_since_epoch()).count();
    // Taken before anyone learns the path, so a host's first settings show as a change.
    std::string settings = line->Settings();
    bool output_ok = Emit("ptzsim: line " + line->path()) && Emit(format.Start(info));
    if (stalled) {
        output_ok = output_ok && Emit(format.Flow(SimTime::zero(), true, 0, writer_held));
    }

    Simulator simulator(sim);
    LinePacer pacer;
    std::vector<Event> events;
    std::vector<uint8_t> echo;  // bytes taken and not yet written back
    bool echo_dropping = false;
    std::string reason;
    int exit_code = k47exit::kOk;
    bool ending = false;
    std::vector<uint8_t> buffer(4096);
    SimTime last_checks = SimTime::zero();

    auto flush_echo = [&] {
        if (echo.empty()) {
            return;
        }
        const size_t written = line->Write(echo);
        if (written < echo.size() && !echo_dropping) {
            output_ok =
                output_ok && Emit(format.Line(now(), "note",
                                              "the port user does not read: echoed bytes dropped"));
        }
        echo_dropping = written < echo.size();
        echo.clear();
    };
    auto emit_events = [&] {
        for (Event& event : events) {
            if (event.type == EventType::kAnswer) {
                flush_echo();  // the sender hears its own frame before the camera's answer
                event.written = static_cast<long>(line->Write(event.answer));
            }
            output_ok = output_ok && Emit(format.Format(event));
        }
        events.clear();
    };
    // Bytes taken off the line: `arrival(i)` is when byte i arrived, `waiting` the bytes still
    // queued after the last one. Fed one by one, so each frame carries its own last byte's time.
    auto take = [&](const uint8_t* data, size_t size, auto&& arrival, long waiting) {
        for (size_t i = 0; i < size; ++i) {
            if (o.echo) {
                echo.push_back(data[i]);
            }
            const size_t first = events.size();
            simulator.Feed(data + i, 1, arrival(i), events);
            for (size_t e = first; e < events.size(); ++e) {
                if (events[e].type == EventType::kFrame) {
                    events[e].queued = std::max(0L, waiting) + static_cast<long>(size - 1 - i);
                }
            }
            emit_events();
        }
        flush_echo();
    };
    auto check_settings = [&](SimTime t, const std::optional<k47::PtyLineSettings>& current) {
        std::string text = current ? SettingsText(*current) : std::string();
        if (text != settings) {
            settings = std::move(text);
            output_ok = output_ok && Emit(format.Line(t, "settings", settings));
        }
    };
    // Bytes wait on the idle line: they go at the rate and character size set now.
    auto begin_run = [&](SimTime t) {
        std::optional<k47::PtyLineSettings> current = line->LineSettings();
        check_settings(t, current);
        const k47::PtyLineSettings s = current.value_or(k47::PtyLineSettings{});
        pacer.Begin(t,
                    CharacterFormat::From(s.baud, s.data_bits, s.parity, s.stop_bits, model_baud));
    };
    auto lose = [&](const std::string& why) {
        reason = "line lost: " + why;
        exit_code = k47exit::kLine;
        ending = true;
    };

    while (output_ok && !ending) {
        // Look at the line's settings and flags at least twice a second even when idle.
        const SimTime before = now();
        SimTime wake = std::min(simulator.NextWake(), before + std::chrono::milliseconds(500));
        const bool running = paced && !stalled && pacer.busy();
        if (running) {
            wake = std::min(wake, pacer.Arrival());
        }
        // While a run is on the line its next byte is what to wait for, not the descriptor.
        const bool watch_line = !stalled && !running;
        pollfd fds[2] = {{watch_line ? line->fd() : -1, POLLIN, 0}, {signal_fd.get(), POLLIN, 0}};
        const auto wait = std::max(wake - before, SimTime::zero());
        const timespec timeout{static_cast<time_t>(wait.count() / 1000000000),
                               static_cast<long>(wait.count() % 1000000000)};
        if (ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) {
            reason = std::string("poll: ") + std::strerror(errno);
            exit_code = k47exit::kFailed;
            break;
        }
        const SimTime t = now();

        if (!stalled && !paced && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            long n = 0;
            // A bounded number of reads per turn keeps the timers and the signals served.
            for (int i = 0; i < 16 && (n = line->Read(buffer.data(), buffer.size(), &error)) > 0;
                 ++i) {
                take(
                    buffer.data(), static_cast<size_t>(n), [t](size_t) { return t; },
                    line->Waiting());
            }
            if (n < 0) {
                lose(error);
            }
        }
        if (!stalled && paced) {
            // Everything that has arrived by now, in one go: at high rates many bytes a turn.
            for (int i = 0; i < 16 && !ending && pacer.busy() && pacer.Arrival() <= t; ++i) {
                const auto want =
                    static_cast<size_t>(std::min<uint64_t>(pacer.Arrived(t), buffer.size()));
                const long n = line->Read(buffer.data(), want, &error);
                if (n < 0) {
                    lose(error);
                    break;
                }
                const long waiting = line->Waiting();
                take(
                    buffer.data(), static_cast<size_t>(n),
                    [&pacer](size_t k) { return pacer.Arrival(k); }, waiting);
                pacer.Took(static_cast<uint64_t>(n));
                // The queue ran dry before the line did: later bytes start a run of their own.
                if (static_cast<size_t>(n) < want || waiting <= 0) {
                    pacer.Idle();
                }
            }
            if (!ending && !pacer.busy()) {
                if (line->Waiting() > 0) {
                    begin_run(t);
                } else if (fds[0].revents & (POLLHUP | POLLERR)) {
                    // Our own slave descriptor keeps a pty from hanging up; if it does anyway,
                    // waiting on it would spin.
                    lose("the pseudo-terminal hung up");
                }
            }
        }

        if (fds[1].revents & POLLIN) {
            signalfd_siginfo signal_info{};
            while (!ending &&
                   read(signal_fd.get(), &signal_info, sizeof signal_info) == sizeof signal_info) {
                if (signal_info.ssi_signo != SIGUSR1) {
                    reason = SignalName(signal_info.ssi_signo);
                    ending = true;
                    break;
                }
                stalled = !stalled;
                writer_held = line->HoldWriter(stalled) && stalled;
                pacer.Idle();
                output_ok =
                    output_ok && Emit(format.Flow(t, stalled, line->Waiting(), writer_held));
                if (!stalled && paced && line->Waiting() > 0) {
                    begin_run(t);
                }
            }
        }
        if (ending) {
            break;
        }

        simulator.Tick(t, events);
        emit_events();
        flush_echo();
        // The checks cost a few system calls: during a run of bytes, not at every byte.
        if (!running || t - last_checks >= std::chrono::milliseconds(50)) {
            last_checks = t;
            check_settings(t, line->LineSettings());
            if (line->ClearStaleExclusive()) {
                output_ok = output_ok &&
                            Emit(format.Line(
                                t, "note", "cleared the exclusive mode a vanished port user left"));
            }
            if (stalled && writer_held) {
                line->HoldWriter(true);  // a port user may have restarted its output itself
            }
        }
    }
    if (!output_ok) {
        std::fprintf(stderr, "ptzsim: the output was closed; ending\n");
        return k47exit::kFailed;  // the link goes with `link`
    }
    simulator.Finish(now(), events);
    emit_events();
    flush_echo();
    Emit(format.Exit(now(), reason, simulator.counters()));
    if (exit_code != k47exit::kOk) {
        std::fprintf(stderr, "ptzsim: %s\n", reason.c_str());
    }
    return exit_code;
}
