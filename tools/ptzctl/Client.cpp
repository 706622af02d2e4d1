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
    return dir + "/../lib/libK47PTZ.so";
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& line : lines)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

}  // namespace

HRESULT CreateClient(REFCLSID clsid, const std::string& module, IK47PTZClient** client,
                     std::string* error) {
    HRESULT hr = E_FAIL;
    if (module.empty()) {
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IK47PTZClient,
                              reinterpret_cast<void**>(client));
        if (SUCCEEDED(hr) || hr != REGDB_E_CLASSNOTREG) {
            if (FAILED(hr))
                *error = "cannot create the client: " + k47::DescribeHresult(hr);
            return hr;
        }
    }
    // Not registered (or a module named): load the module file itself.
    std::string path = module.empty() ? DefaultModule() : module;
    HMODULE handle = LoadLibraryA(path.c_str());
    if (handle == nullptr) {
        *error = "the K47PTZ module is not registered and " + path +
                 " cannot be loaded: " + k47::DescribeHresult(HRESULT_FROM_WIN32(GetLastError())) +
                 " (register it with k47regsvr)";
        return REGDB_E_CLASSNOTREG;
    }
    auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void*>(GetProcAddress(handle, "DllGetClassObject")));
    if (get == nullptr) {
        *error = path + " is not a component module";
        return CO_E_ERRORINDLL;
    }
    ComPtr<IClassFactory> factory;
    hr = get(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf()));
    if (SUCCEEDED(hr))
        hr = factory->CreateInstance(nullptr, IID_IK47PTZClient, reinterpret_cast<void**>(client));
    if (FAILED(hr))
        *error = "cannot create the client from " + path + ": " + k47::DescribeHresult(hr);
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
             std::string* message) {
    const DWORD code = HRESULT_CODE(hr);
    Exit exit = kFailed;
    std::string reason;
    if (HRESULT_FACILITY(hr) == FACILITY_WIN32 &&
        (code == ERROR_WINHTTP_SECURE_FAILURE || code == ERROR_WINHTTP_SECURE_INVALID_CA ||
         code == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID ||
         code == ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE ||
         code == ERROR_WINHTTP_SECURE_CERT_CN_INVALID)) {
        exit = kCertificate;
        reason =
            "the server's certificate was refused (unknown authority, wrong usage or out of date)";
    } else if (HRESULT_FACILITY(hr) == FACILITY_WIN32 &&
               (code == ERROR_WINHTTP_CANNOT_CONNECT || code == ERROR_WINHTTP_TIMEOUT ||
                code == ERROR_WINHTTP_NAME_NOT_RESOLVED || code == ERROR_WINHTTP_CONNECTION_ERROR ||
                code == WSAHOST_NOT_FOUND || code == WSATRY_AGAIN || code == WSANO_DATA)) {
        exit = kUnreachable;
        reason = "no control service answered at that address";
    } else if ((hr == REGDB_E_CLASSNOTREG || hr == CO_E_SERVER_EXEC_FAILURE) &&
               Contains(lines, "PTZClientLocal")) {
        exit = kUnreachable;
        reason =
            "no k47ptz-host serves local clients of this user on this machine (is it "
            "running, with the same K47_RUNTIME_DIR?)";
    } else if (Contains(lines, "unknown camera")) {
        exit = kUnknownCamera;
        reason = "the server does not know that camera";
    } else if (Contains(lines, "control service: error state 4") ||
               Contains(lines, "control service: error state 5")) {
        exit = kUnreachable;
        reason = "no control service answered at that address (is k47ptz-host running?)";
    }
    *message = std::string(what) + " failed: " + k47::DescribeHresult(hr);
    if (!reason.empty())
        *message += "\n  " + reason;
    for (const auto& line : lines)
        *message += "\n  library: " + line;
    return exit;
}

}  // namespace ptzctl
