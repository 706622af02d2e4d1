// ptzctl: steers one camera from the command line, through the remote client (a server address)
// or the local client (--local, the installation server on this machine).
//
//   ptzctl --server URL --camera NAME move PAN TILT [ZOOM [FOCUS [IRIS]]] [--for SECONDS]
//   ptzctl --server URL --camera NAME stop
//   ptzctl --server URL --camera NAME preset set|go|clear N
//   ptzctl --server URL --camera NAME command autofocus|autoiris|agc|backlight|whitebalance MODE
//   ptzctl --server URL --camera NAME menu open|close|up|down|left|right|select|select2
//   ptzctl --server URL --camera NAME query
//   ptzctl --server URL --camera NAME interactive
//   ptzctl --server URL list
//   ptzctl --server URL --camera NAME status
//
// Speeds go from -100 to 100 (0 stops an axis). Exit codes: common/ExitCodes.h (0 done, 1 the call
// failed, 2 usage, 4 no service reachable, 5 unknown camera, 6 certificate refused, 7 no module).
// Errors name the camera or server and say what to do; -v adds the HRESULT and the library's lines.
// SIGINT, SIGTERM or SIGHUP during a motion (move, interactive) first end the motion (zero speeds,
// then the end of motion); the program then ends by that signal, as it does at any other time.
#include <objbase.h>
#include <atlbase.h>
#include <wrl/client.h>
#include <k47/errors.h>

#include <CLI/CLI.hpp>

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "tools/ptzctl/Client.h"
#include "tools/ptzctl/Interactive.h"
#include "tools/ptzctl/Interruption.h"
#include "tools/ptzctl/Status.h"

using Microsoft::WRL::ComPtr;
using namespace ptzctl;

namespace {

struct Options {
    std::string server = "http://127.0.0.1:8080";
    std::string camera;
    std::string module;
    bool local = false;
    bool quiet = false;
    bool verbose = false;
};

int Fail(const char* what, HRESULT hr, const LogCollector& log, const Options& options) {
    std::string message;
    Exit exit = Explain(what, hr, log.Lines(), {options.camera, options.server, options.local},
                        options.verbose, &message);
    std::fprintf(stderr, "ptzctl: %s\n", message.c_str());
    return exit;
}

const std::map<std::string, PTZCOMMAND> kModes = {
    {"autofocus", PTZCMD_AUTOFOCUS}, {"autoiris", PTZCMD_AUTOIRIS},     {"agc", PTZCMD_AUTOAGC},
    {"backlight", PTZCMD_BACKLIGHT}, {"whitebalance", PTZCMD_WHITEBAL},
};
const std::map<std::string, PTZCOMMAND> kPresets = {
    {"set", PTZCMD_SETPRESET}, {"go", PTZCMD_GOTOPRESET}, {"clear", PTZCMD_CLEARPRESET}};
const std::map<std::string, PTZMENUCOMMAND> kMenu = {
    {"close", PTZMENUCMD_CLOSE},   {"open", PTZMENUCMD_OPEN},       {"up", PTZMENUCMD_UP},
    {"down", PTZMENUCMD_DOWN},     {"left", PTZMENUCMD_LEFT},       {"right", PTZMENUCMD_RIGHT},
    {"select", PTZMENUCMD_SELECT}, {"select2", PTZMENUCMD_SELECT2},
};

std::string Functions(PTZFUNCTION functions) {
    static const std::pair<int, const char*> kNames[] = {
        {PTZFUNC_MENUCLOSE, "menu-close"},          {PTZFUNC_MENUOPEN, "menu-open"},
        {PTZFUNC_MENUSELECT, "menu-select"},        {PTZFUNC_MENUNAVIGATE, "menu-navigate"},
        {PTZFUNC_CLEARPRESET, "clear-preset"},      {PTZFUNC_MENUSELECT2, "menu-select2"},
        {PTZFUNC_ABSPOSITION, "absolute-position"}, {PTZFUNC_ABSQUERY, "absolute-query"},
    };
    std::string text;
    for (const auto& [bit, name] : kNames) {
        if ((functions & bit) == 0)
            continue;
        if (!text.empty())
            text += ", ";
        text += name;
    }
    return text.empty() ? "none beyond moving and presets" : text;
}

// Waits `seconds`; false as soon as `interrupted` becomes readable.
bool WaitUninterrupted(double seconds, int interrupted) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return true;
        pollfd p{interrupted, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) > 0)
            return false;
    }
}

template <class Map>
std::vector<std::string> Keys(const Map& map) {
    std::vector<std::string> keys;
    for (const auto& entry : map)
        keys.push_back(entry.first);
    return keys;
}

// list and status: the host's status page, read without a camera client.
int ShowStatus(const Options& options, bool list) {
    StatusDocument status;
    if (options.local) {
        if (list) {
            std::fprintf(stderr,
                         "ptzctl: list reads the control service's status page; give --server "
                         "instead of --local\n");
            return k47exit::kUsage;
        }
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        int result = k47exit::kOk;
        {
            LogCollector log;
            HRESULT hr = ReadLocalCameraStatus(options.camera, &status);
            if (FAILED(hr))
                result = Fail("reading the camera's status", hr, log, options);
        }
        CoUninitialize();
        if (result != k47exit::kOk)
            return result;
    } else {
        std::string body;
        std::string message;
        Exit exit = FetchStatus(options.server, &body, &message);
        if (exit == k47exit::kOk && !ParseStatus(body, &status, &message))
            exit = k47exit::kFailed;
        if (exit != k47exit::kOk) {
            std::fprintf(stderr, "ptzctl: %s\n", message.c_str());
            return exit;
        }
    }
    if (list) {
        std::fputs(FormatList(status).c_str(), stdout);
        return k47exit::kOk;
    }
    std::optional<std::string> text = FormatCameraStatus(status, options.camera);
    if (!text) {
        std::fprintf(stderr, "ptzctl: the service does not know camera \"%s\"\n",
                     options.camera.c_str());
        return k47exit::kUnknownCamera;
    }
    std::fputs(text->c_str(), stdout);
    return k47exit::kOk;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Steer a PTZ camera of a K47PTZ installation.", "ptzctl"};
    app.footer(
        "Examples:\n"
        "  ptzctl --server http://127.0.0.1:8080 --camera Gate move 50 0 --for 2\n"
        "  ptzctl --server https://host:8443 --camera Gate preset go 3\n"
        "  ptzctl --camera Gate query\n"
        "  ptzctl --camera Gate interactive\n"
        "  ptzctl --server http://127.0.0.1:8080 list\n"
        "Speeds go from -100 to 100 (pan: + is right; tilt: + is up; zoom: + is tele).\n"
        "Exit codes: 0 done, 1 the call failed, 2 usage, 4 no control service reachable,\n"
        "5 unknown camera, 6 certificate refused, 7 module missing (the table shared by every\n"
        "K47PTZ program: docs/operations.md, \"Exit codes\").\n"
        "SIGINT (Ctrl-C), SIGTERM or SIGHUP during a motion (move, interactive) first stop the\n"
        "camera (zero speeds, then the end of motion); ptzctl then ends by that signal, as at any\n"
        "other time (a shell reports 128 + the signal's number: 130 for Ctrl-C).");
    Options options;
    app.add_option("-s,--server", options.server,
                   "address of the installation server's control service")
        ->capture_default_str();
    // Every subcommand but list needs it (checked after parsing).
    app.add_option("-c,--camera", options.camera,
                   "name of the camera (as in the installation file)");
    app.add_flag("--local", options.local,
                 "use the installation server on this machine (local client)");
    app.add_option("--module", options.module,
                   "the K47PTZ module to load when it is not registered");
    app.add_flag("-q,--quiet", options.quiet, "print nothing but errors");
    app.add_flag("-v,--verbose", options.verbose,
                 "with an error, also print the error code and the library's log lines");
    app.require_subcommand(1);

    std::vector<int> speeds;
    double seconds = 1.0;
    auto* move = app.add_subcommand("move", "move with speeds for a while, then stop");
    move->add_option("speeds", speeds, "PAN TILT [ZOOM [FOCUS [IRIS]]], each -100..100")
        ->required()
        ->expected(2, 5)
        ->check(CLI::Range(-100, 100));
    move->add_option("--for", seconds, "how long to move, in seconds (default 1)")
        ->check(CLI::Range(0.0, 3600.0));
    app.add_subcommand("stop", "end any motion (the camera repeats the stop)");
    std::string which;
    int number = 0;
    auto* preset = app.add_subcommand("preset", "store, recall or delete a preset");
    preset->add_option("action", which, "set, go or clear")
        ->required()
        ->check(CLI::IsMember(Keys(kPresets)));
    preset->add_option("number", number, "preset number")->required()->check(CLI::Range(0, 255));
    auto* command = app.add_subcommand("command", "set an automatic mode");
    command->add_option("mode", which, "autofocus, autoiris, agc, backlight or whitebalance")
        ->required()
        ->check(CLI::IsMember(Keys(kModes)));
    command->add_option("value", number, "the mode's value (0, 1, 2, ...)")->required();
    auto* menu = app.add_subcommand("menu", "drive the camera's on-screen menu");
    menu->add_option("key", which, "open, close, up, down, left, right, select or select2")
        ->required()
        ->check(CLI::IsMember(Keys(kMenu)));
    app.add_subcommand("query", "show the camera's extra functions and preset count");
    int speed = 50;
    auto* interactive =
        app.add_subcommand("interactive", "steer with the keyboard (arrows, +/-, space, q)");
    interactive->add_option("--speed", speed, "speed of the keys (1..100, default 50)")
        ->check(CLI::Range(1, 100));
    auto* list = app.add_subcommand("list", "show every line and camera of the server");
    auto* status = app.add_subcommand(
        "status", "show the camera's line and its state, and which client holds the camera");

    app.set_version_flag("--version", std::string("ptzctl ") + K47PTZ_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? k47exit::kOk : k47exit::kUsage;
    }
    if (options.camera.empty() && !list->parsed()) {
        std::fprintf(stderr,
                     "ptzctl: --camera is required\nRun with --help for more information.\n");
        return k47exit::kUsage;
    }
    if (list->parsed() || status->parsed())
        return ShowStatus(options, list->parsed());

    // Before the COM runtime and the client make any thread: they inherit its blocked signals.
    Interruption interruption;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int result = k47exit::kOk;
    {
        LogCollector log;
        ComPtr<IK47PTZClient> client;
        std::string error;
        std::string detail;
        if (FAILED(CreateClient(options.local ? CLSID_PTZClientLocal : CLSID_PTZClientRemote,
                                options.module, client.GetAddressOf(), &error, &detail))) {
            std::fprintf(stderr, "ptzctl: %s\n", error.c_str());
            if (options.verbose && !detail.empty())
                std::fprintf(stderr, "  error: %s\n", detail.c_str());
            CoUninitialize();
            return k47exit::kNoModule;
        }
        CComBSTR server(CA2W(options.server.c_str()));
        CComBSTR camera(CA2W(options.camera.c_str()));
        HRESULT hr = client->Connect(server, camera);
        if (FAILED(hr)) {
            result = Fail("connecting", hr, log, options);
        } else if (app.got_subcommand("move")) {
            speeds.resize(5, 0);
            interruption.Intercept();
            hr = client->MoveRelative(static_cast<SHORT>(speeds[0]), static_cast<SHORT>(speeds[1]),
                                      static_cast<SHORT>(speeds[2]), static_cast<SHORT>(speeds[3]),
                                      static_cast<SHORT>(speeds[4]));
            if (FAILED(hr)) {
                result = Fail("moving", hr, log, options);
            } else {
                if (!options.quiet) {
                    std::printf(
                        "moving %s (pan %d, tilt %d, zoom %d, focus %d, iris %d) for %.1f s\n",
                        options.camera.c_str(), speeds[0], speeds[1], speeds[2], speeds[3],
                        speeds[4], seconds);
                    std::fflush(stdout);
                }
                if (WaitUninterrupted(seconds, interruption.Descriptor())) {
                    hr = client->EndMotion();
                    if (FAILED(hr))
                        result = Fail("ending the motion", hr, log, options);
                } else {
                    hr = EndMotionNow(client.Get());
                    if (FAILED(hr))
                        result = Fail("ending the interrupted motion", hr, log, options);
                    else if (!options.quiet)
                        std::fprintf(stderr, "ptzctl: SIG%s: the motion was ended\n",
                                     sigabbrev_np(interruption.Received()));
                }
            }
        } else if (app.got_subcommand("stop")) {
            // A new client has no motion of its own to end: send zero speeds first, so that the
            // end of motion goes out (and the camera repeats its stop).
            hr = client->MoveRelative(0, 0, 0, 0, 0);
            if (SUCCEEDED(hr))
                hr = client->EndMotion();
            if (FAILED(hr))
                result = Fail("stopping", hr, log, options);
        } else if (app.got_subcommand("preset")) {
            hr = client->Command(kPresets.at(which), number);
            if (FAILED(hr))
                result = Fail("the preset command", hr, log, options);
            else if (hr == S_FALSE && !options.quiet)
                std::printf("the camera's protocol has no such command\n");
        } else if (app.got_subcommand("command")) {
            hr = client->Command(kModes.at(which), number);
            if (FAILED(hr))
                result = Fail("the command", hr, log, options);
        } else if (app.got_subcommand("menu")) {
            hr = client->MenuCommand(kMenu.at(which));
            if (FAILED(hr))
                result = Fail("the menu command", hr, log, options);
        } else if (app.got_subcommand("query")) {
            PTZFUNCTION functions = static_cast<PTZFUNCTION>(0);
            ULONG presets = 0;
            hr = client->QueryFunctions(&functions, &presets);
            if (FAILED(hr)) {
                result = Fail("the query", hr, log, options);
            } else {
                std::printf("camera %s: functions 0x%X (%s), %lu presets\n", options.camera.c_str(),
                            static_cast<unsigned>(functions), Functions(functions).c_str(),
                            static_cast<unsigned long>(presets));
            }
        } else if (app.got_subcommand("interactive")) {
            interruption.Intercept();
            result = RunInteractive(
                client.Get(), options.camera, speed, interruption.Descriptor(),
                [&](const char* what, HRESULT failed) { return Fail(what, failed, log, options); });
        }
    }
    CoUninitialize();
    interruption.Finish();
    return result;
}
