// k47ptz-host: the installation server of one machine.
//
//   k47ptz-host --config FILE [--check] [--strict] [--verbose]
//
// Reads the installation file, creates every protocol driver and camera through the COM runtime
// (the K47PTZ module must be registered: see k47regsvr), serves the control web service, offers its
// object server to local clients (CLSCTX_LOCAL_SERVER; "-Embedding", which a start through the
// registry's LocalServer32 command adds, is accepted and ignored), and runs until SIGINT or
// SIGTERM, when it terminates every camera and driver and exits 0. Every camera gets one stop once
// the installation is built, before "ready", and one at shutdown, once it is terminated.
// Exit status (common/ExitCodes.h): 0 after a clean shutdown (or a clean --check), 2 for a wrong
// command line, 3 when the file cannot be used, when --check found problems, or when --strict
// found any (then the host does not start), 4 when a control service cannot listen.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <objbase.h>
#include <k47/errors.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "common/ExitCodes.h"
#include "common/K47Global.h"
#include "host/HostServices.h"
#include "host/onvif/OnvifBridge.h"
#include "host/HostStatus.h"
#include "host/Installation.h"
#include "host/ServiceNotify.h"
#include "host/StartupLog.h"

namespace {

// "SIGTERM" and the like, from the C library's table.
std::string SignalName(int signal) {
    const char* abbreviation = sigabbrev_np(static_cast<int>(signal));
    return abbreviation != nullptr ? std::string("SIG") + abbreviation : std::string("a signal");
}

}  // namespace

int main(int argc, char** argv) {
    // Started as a local server (LocalServer32), the host gets "-Embedding" after the command
    // registered; it offers its object server in any case, so the flag only has to be accepted.
    int kept = 1;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) != "-Embedding" && std::string(argv[i]) != "/Embedding")
            argv[kept++] = argv[i];
    argc = kept;

    CLI::App app{
        "K47PTZ installation server: drives the configured cameras and serves the control web "
        "service."};
    std::string config;
    bool check = false;
    bool strict = false;
    bool verbose = false;
    // A file that is missing is the configuration's fault (exit 3), not the command line's.
    app.add_option("-c,--config", config, "installation file (XML); see docs/configuration.md")
        ->required();
    app.add_flag("--check", check,
                 "create everything, try each control service's address and port, report "
                 "problems, and exit without serving");
    bool allowDegraded = false;
    app.add_flag("--allow-degraded", allowDegraded,
                 "with --check: serial ports that cannot be opened do not fail the check (the "
                 "host runs without them)");
    app.add_flag("--strict", strict,
                 "count warnings (unknown elements and attributes, a service open to all) as "
                 "problems, and do not start when there is any problem");
    app.add_flag("-v,--verbose", verbose, "add the error codes to the problems reported");
    app.footer(
        "Exit codes: 0 stopped cleanly (or --check found nothing), 2 usage, 3 the installation\n"
        "file is unusable or has problems (--check, --strict), 4 a control service or an ONVIF "
        "device cannot\n"
        "listen"
        "(the table shared by every K47PTZ program: docs/operations.md, \"Exit codes\").");
    app.set_version_flag("--version", std::string("k47ptz-host ") + K47PTZ_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? k47exit::kOk : k47exit::kUsage;
    }

    // Signals are taken by sigwait on the main thread; every thread made from here on (the COM
    // runtime's, the cameras' workers, the web server's) inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // Each camera holds a few descriptors (events, timer, thread, socket): allow as many cameras
    // as the hard limit does. The soft limit is often 1024, far below it.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int status = 0;
    {
        // Each failure the library logs while the installation is built comes back as a problem
        // in words; its own line, with source lines, only with --verbose.
        std::optional<k47host::QuietLibraryFailures> quiet(std::in_place, verbose);
        k47host::Installation installation;
        installation.SetStrict(strict);
        installation.SetVerbose(verbose);
        std::string error;
        if (!installation.Load(config, &error)) {
            std::fprintf(stderr, "k47ptz-host: %s\n", error.c_str());
            CoUninitialize();
            return k47exit::kConfiguration;
        }
        k47host::InstallationReport report = installation.Build();
        if (check)
            installation.CheckListeners(&report);
        for (const std::string& problem : report.problems)
            g_ErrorHandling.WriteLog("k47ptz-host: %s\n", problem.c_str());
        g_ErrorHandling.WriteLog("k47ptz-host: %s\n",
                                 k47host::SummaryLine(report, installation.Server()).c_str());
        const uint64_t allowed = k47host::CamerasWithinDescriptors(
            static_cast<uint64_t>(limit.rlim_cur), installation.ServiceSettings());
        if (limit.rlim_cur != RLIM_INFINITY && static_cast<uint64_t>(report.camerasBound) > allowed)
            g_ErrorHandling.WriteLog(
                "k47ptz-host: the descriptor limit (%llu) allows about %llu camera(s) at %llu "
                "descriptors each; %d are bound: raise the hard limit (ulimit -Hn, LimitNOFILE=)\n",
                static_cast<unsigned long long>(limit.rlim_cur),
                static_cast<unsigned long long>(allowed),
                static_cast<unsigned long long>(k47host::kDescriptorsPerCamera),
                report.camerasBound);
        if (check || (strict && !report.problems.empty())) {
            if (!check)
                g_ErrorHandling.WriteLog(
                    "k47ptz-host: --strict: not started, as there are "
                    "problems; correct them, or start without --strict\n");
            installation.Shutdown();
            CoUninitialize();
            const size_t counted = report.problems.size() -
                                   (allowDegraded ? static_cast<size_t>(report.linesUnopened) : 0);
            return counted == 0 ? k47exit::kOk : k47exit::kConfiguration;
        }
        quiet.reset();  // from here on the library's lines are the only account of a failure
        // A host that crashed, or was killed, may have left a camera turning: nothing else would
        // stop it. Before any client can reach a camera, so that no client's motion is cut.
        installation.StopCameras("start-up");
        // Local clients (PTZClientLocal) in other processes reach the cameras through it.
        HRESULT published = installation.PublishObjectServer();
        if (FAILED(published))
            g_ErrorHandling.WriteLog(
                "k47ptz-host: the object server is not offered to local clients: %s\n",
                k47::DescribeHresult(published).c_str());
        // The listeners come after the installation and go before it: a request reaches only
        // cameras that are built and not yet terminated.
        k47host::HostServices services(installation.Server(), installation.ServiceSettings());
        if (!services.Start(&error)) {
            std::fprintf(stderr, "k47ptz-host: %s\n", error.c_str());
            services.Stop();
            // Why, in words, where a trial bind tells.
            k47host::InstallationReport listeners;
            const int unbound = installation.CheckListeners(&listeners);
            for (const std::string& problem : listeners.problems)
                std::fprintf(stderr, "k47ptz-host: %s\n", problem.c_str());
            installation.Shutdown();
            CoUninitialize();
            // Every address could be bound: what failed is the service's own setting (its TLS
            // files), which a restart will not mend.
            return unbound > 0 ? k47exit::kUnreachable : k47exit::kConfiguration;
        }
        for (const auto& listener : services.Listeners())
            std::printf("k47ptz-host: control service at %s/VLTControl/VLTControl.asmx\n",
                        listener->BaseUrl().c_str());
        // The ONVIF devices after the control services: both reach the same cameras.
        k47host::onvif::OnvifBridge onvif(installation.Server(),
                                          installation.OnvifBridgeSettings());
        if (!onvif.Start(&error)) {
            std::fprintf(stderr, "k47ptz-host: %s\n", error.c_str());
            services.Stop();
            installation.Shutdown();
            CoUninitialize();
            return k47exit::kUnreachable;
        }
        for (const auto& [camera, address] : onvif.Published())
            std::printf("k47ptz-host: ONVIF device \"%s\" at %s\n", camera.c_str(),
                        address.c_str());
        std::printf("k47ptz-host: ready\n");
        std::fflush(stdout);
        std::string notifyError;
        if (!k47host::NotifyServiceManager(
                "READY=1\nSTATUS=" + std::to_string(report.camerasBound) + " camera(s) ready",
                &notifyError))
            g_ErrorHandling.WriteLog("k47ptz-host: %s\n", notifyError.c_str());

        int received = 0;
        sigwait(&signals, &received);
        g_ErrorHandling.WriteLog("k47ptz-host: %s received, shutting down\n",
                                 SignalName(received).c_str());
        k47host::NotifyServiceManager("STOPPING=1", &notifyError);
        onvif.Stop();
        services.Stop();
        installation.Shutdown(k47host::Installation::Motion::kStop);
    }
    CoUninitialize();
    g_ErrorHandling.WriteLog("k47ptz-host: stopped\n");
    return status;
}
