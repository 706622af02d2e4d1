// Creating the client object and explaining failures.
#include "tools/ptzctl/Client.h"

#include <unistd.h>

#include <k47/errors.h>

#include <chrono>
#include <climits>
#include <mutex>
#include <thread>

#include "common/K47Global.h"

using Microsoft::WRL::ComPtr;

namespace ptzctl {

namespace {

std::string DefaultModule() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0)
        return "libK47PTZ.so";
    std::string exe(path, static_cast<size_t>(n));
    std::string dir = exe.substr(0, exe.find_last_of('/'));
    // The build tree's layout, else the installed one.
    const std::string built = dir + "/../lib/libK47PTZ.so";
    return access(built.c_str(), F_OK) == 0 ? built : dir + "/" + K47_INSTALLED_MODULE;
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& line : lines)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

}  // namespace

HRESULT CreateClient(REFCLSID clsid, const std::string& module, IK47PTZClient** client,
                     std::string* error, std::string* detail) {
    HRESULT hr = E_FAIL;
    if (module.empty()) {
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IK47PTZClient,
                              reinterpret_cast<void**>(client));
        if (SUCCEEDED(hr) || hr != REGDB_E_CLASSNOTREG) {
            if (FAILED(hr)) {
                *error =
                    "the K47PTZ module is registered but its client cannot be created; register "
                    "it again with k47regsvr (the module file may have moved)";
                *detail = k47::DescribeHresult(hr);
            }
            return hr;
        }
    }
    // Not registered (or a module named): load the module file itself.
    std::string path = module.empty() ? DefaultModule() : module;
    HMODULE handle = LoadLibraryA(path.c_str());
    if (handle == nullptr) {
        *error = module.empty() ? "the K47PTZ module is not registered, and " + path +
                                      " cannot be loaded; register the module with k47regsvr, "
                                      "or name it with --module"
                                : "the module " + path +
                                      " cannot be loaded; check the path given with --module";
        *detail = k47::DescribeHresult(HRESULT_FROM_WIN32(GetLastError()));
        return REGDB_E_CLASSNOTREG;
    }
    auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void*>(GetProcAddress(handle, "DllGetClassObject")));
    if (get == nullptr) {
        *error = path + " is not a component module (no DllGetClassObject); give libK47PTZ.so";
        return CO_E_ERRORINDLL;
    }
    ComPtr<IClassFactory> factory;
    hr = get(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = factory->CreateInstance(nullptr, IID_IK47PTZClient, reinterpret_cast<void**>(client));
    if (FAILED(hr)) {
        *error = "the client cannot be created from " + path + "; is it libK47PTZ.so?";
        *detail = k47::DescribeHresult(hr);
    }
    return hr;
}

HRESULT EndMotionNow(IK47PTZClient* client) {
    // The remote client sends its speeds every 100 ms, and the end of motion takes their place:
    // the zero speeds get one sending period and a half to go out as a datagram of their own.
    constexpr auto kZeroSpeedsGoOut = std::chrono::milliseconds(150);
    HRESULT stop = client->MoveRelative(0, 0, 0, 0, 0);
    if (SUCCEEDED(stop))
        std::this_thread::sleep_for(kZeroSpeedsGoOut);
    HRESULT end = client->EndMotion();
    return FAILED(stop) ? stop : end;
}

struct LogCollector::State {
    mutable std::mutex lock;
    std::vector<std::string> lines;
    CGlobalErrorHandlingEnvironment::Sink previous;
};

LogCollector::LogCollector() : state_(std::make_unique<State>()) {
    State* state = state_.get();
    state_->previous = g_ErrorHandling.SetSink(
        [state](CGlobalErrorHandlingEnvironment::Channel channel, std::string_view line) {
            if (channel != CGlobalErrorHandlingEnvironment::Channel::Log)
                return;
            std::lock_guard<std::mutex> guard(state->lock);
            state->lines.emplace_back(line);
        });
}

LogCollector::~LogCollector() {
    g_ErrorHandling.SetSink(std::move(state_->previous));
}

std::vector<std::string> LogCollector::Lines() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->lines;
}

Exit Explain(const char* what, HRESULT hr, const std::vector<std::string>& lines,
             const Target& target, bool verbose, std::string* message) {
    const DWORD code = HRESULT_CODE(hr);
    const bool win32 = HRESULT_FACILITY(hr) == FACILITY_WIN32;
    const std::string camera = "\"" + target.camera + "\"";
    Exit exit = k47exit::kFailed;
    std::string reason;
    if (win32 && (code == ERROR_WINHTTP_SECURE_FAILURE || code == ERROR_WINHTTP_SECURE_INVALID_CA ||
                  code == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID ||
                  code == ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE ||
                  code == ERROR_WINHTTP_SECURE_CERT_CN_INVALID)) {
        exit = k47exit::kCertificate;
        reason = "the certificate of " + target.server +
                 " was refused (unknown authority, wrong usage or out of date); add its "
                 "authority to the trusted ones (update-ca-certificates, or SSL_CERT_FILE) or "
                 "give the server a valid certificate";
    } else if (win32 &&
               (code == ERROR_WINHTTP_CANNOT_CONNECT || code == ERROR_WINHTTP_TIMEOUT ||
                code == ERROR_WINHTTP_NAME_NOT_RESOLVED || code == ERROR_WINHTTP_CONNECTION_ERROR ||
                code == WSAHOST_NOT_FOUND || code == WSATRY_AGAIN || code == WSANO_DATA)) {
        exit = k47exit::kUnreachable;
        reason = "no control service answered at " + target.server +
                 "; is k47ptz-host running there, and are the address and port (--server) right?";
    } else if ((hr == REGDB_E_CLASSNOTREG || hr == CO_E_SERVER_EXEC_FAILURE) &&
               (target.local || Contains(lines, "PTZClientLocal"))) {
        exit = k47exit::kUnreachable;
        reason =
            "no k47ptz-host serves local clients of this user on this machine; start it (as "
            "this user, with the same K47_RUNTIME_DIR), or reach it with --server";
    } else if (Contains(lines, "unknown camera") ||
               (target.local && hr == HRESULT_FROM_WIN32(ERROR_NOT_FOUND))) {
        // The same code however the camera was looked for: the remote service says so in its
        // fault, the local object server with ERROR_NOT_FOUND from its lookup.
        exit = k47exit::kUnknownCamera;
        reason = "the installation has no camera " + camera +
                 "; check --camera against the Name of the installation file's Camera elements";
    } else if (Contains(lines, "control service: error state 4") ||
               Contains(lines, "control service: error state 5")) {
        exit = k47exit::kUnreachable;
        reason = "no control service answered at " + target.server +
                 "; is k47ptz-host running there, and are the address and port (--server) right?";
    } else {
        reason = "the camera " + camera + " or its server refused the call";
        if (!verbose)
            reason += " (--verbose shows why)";
    }
    *message = std::string(what) + " failed: " + reason;
    if (verbose) {
        *message += "\n  error: " + k47::DescribeHresult(hr);
        for (const auto& line : lines)
            *message += "\n  library: " + line;
    }
    return exit;
}

}  // namespace ptzctl
