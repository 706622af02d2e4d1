// Probe of cross-process calls (own main, prints a table): IK47PTZCamera::MoveRelative on a camera
// object in another process, through the platform's local-server transport and the library's
// proxy and stub, next to the physical floor measured in the same run: a raw SOCK_SEQPACKET round
// trip between two processes with the same sizes (a 128-byte request, a 64-byte reply).
// The server process is this program started as the camera class's LocalServer32 command, so the
// first CoCreateInstance also measures starting a server.
// Usage: bench_local [round_trips=20000]
// Registry and sockets live in a temporary folder (K47_REGISTRY_DIR, K47_RUNTIME_DIR).
#include <windows.h>
#include <k47/localserver.h>
#include <k47/registry.h>
#include <wrl/client.h>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"
#include "frame/ProxyStub.h"

using Microsoft::WRL::ComPtr;

namespace {

using Clock = std::chrono::steady_clock;

// {2F6D1B7A-8C44-4E0B-9D21-6A5C3E7F0B91}: the benchmark's camera class.
DEFINE_GUID(CLSID_BenchCamera, 0x2F6D1B7A, 0x8C44, 0x4E0B, 0x9D, 0x21, 0x6A, 0x5C, 0x3E, 0x7F, 0x0B,
            0x91);

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p / 100.0 * (v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

void PrintRow(const char* name, const std::vector<double>& v) {
    std::printf("%-44s n=%-6zu p50 %7.1f  p90 %7.1f  p99 %7.1f  max %8.1f us\n", name, v.size(),
                Percentile(v, 50), Percentile(v, 90), Percentile(v, 99),
                v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()));
}

// A camera that only counts.
class CBenchCamera : public CK47ComObjectRoot, public IK47PTZCamera {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable() {
        static constexpr K47InterfaceEntry kTable[] = {K47Entry<CBenchCamera, IK47PTZCamera>()};
        return kTable;
    }
    HRESULT STDMETHODCALLTYPE MoveRelative(SHORT pan, SHORT, SHORT, SHORT, SHORT) override {
        last_ = pan;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Command(PTZCOMMAND, INT_PTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE StartRemoteSession(ULONG*, USHORT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MenuCommand(PTZMENUCOMMAND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE QueryFunctions(PTZFUNCTION*, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetAddress(INT_PTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndMotion() override { return S_OK; }

  protected:
    CBenchCamera() = default;
    ~CBenchCamera() = default;

  private:
    SHORT last_ = 0;
};

class CBenchClass : public CK47ComObjectRoot, public IClassFactory {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable() {
        static constexpr K47InterfaceEntry kTable[] = {K47Entry<CBenchClass, IClassFactory>()};
        return kTable;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return K47CreateObject<CBenchCamera>(outer, riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  protected:
    CBenchClass() = default;
    ~CBenchClass() = default;
};

std::string GuidText(REFGUID guid) {
    OLECHAR wide[40];
    int n = StringFromGUID2(guid, wide, 40);
    return std::string(wide, wide + (n > 0 ? n - 1 : 0));
}

void SetClassesDefault(const std::string& path, const std::string& value) {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

// The library is linked in: its proxy/stub class is this process's, as the module would serve it.
void RegisterProxyStubClass() {
    ComPtr<IUnknown> factory;
    K47ProxyStubGetClassObject(CLSID_K47PTZProxyStub, IID_IUnknown,
                               reinterpret_cast<void**>(factory.GetAddressOf()));
    DWORD cookie = 0;
    CoRegisterClassObject(CLSID_K47PTZProxyStub, factory.Get(), CLSCTX_INPROC_SERVER,
                          REGCLS_MULTIPLEUSE, &cookie);
}

// The server: offers the camera class until its client has gone.
int Serve() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    RegisterProxyStubClass();
    ComPtr<IUnknown> identity;
    CBenchClass* object = nullptr;
    K47CreateInstance<CBenchClass>(identity.GetAddressOf(), &object);
    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(CLSID_BenchCamera, identity.Get(), CLSCTX_LOCAL_SERVER,
                                     REGCLS_MULTIPLEUSE, &cookie)))
        return 1;
    bool served = false;
    for (auto start = Clock::now(); Clock::now() - start < std::chrono::seconds(120);) {
        size_t n = k47::LocalServerConnectionCount();
        served = served || n > 0;
        if (served && n == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    CoRevokeClassObject(cookie);
    CoUninitialize();
    return 0;
}

std::vector<double> RawRoundTrips(int n) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(pair[0]);
        char request[128], reply[64] = {};
        while (recv(pair[1], request, sizeof(request), 0) > 0)
            send(pair[1], reply, sizeof(reply), MSG_NOSIGNAL);
        _exit(0);
    }
    close(pair[1]);
    char request[128] = {}, reply[64];
    std::vector<double> out;
    out.reserve(n);
    for (int i = 0; i < n; ++i) {
        auto t0 = Clock::now();
        send(pair[0], request, sizeof(request), MSG_NOSIGNAL);
        if (recv(pair[0], reply, sizeof(reply), 0) <= 0)
            break;
        out.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    close(pair[0]);
    waitpid(pid, nullptr, 0);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--serve") == 0))
        return Serve();
    const int n = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;

    char pattern[] = "/tmp/k47-bench-local-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    const std::string folder = pattern;
    setenv("K47_REGISTRY_DIR", (folder + "/reg").c_str(), 1);
    setenv("K47_RUNTIME_DIR", (folder + "/run").c_str(), 1);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    RegisterProxyStubClass();
    for (size_t i = 0; i < kK47MarshalledInterfaceCount; ++i)
        SetClassesDefault(
            "Interface\\" + GuidText(*kK47MarshalledInterfaces[i].iid) + "\\ProxyStubClsid32",
            GuidText(CLSID_K47PTZProxyStub));
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (len <= 0)
        return 1;
    self[len] = '\0';
    SetClassesDefault("CLSID\\" + GuidText(CLSID_BenchCamera) + "\\LocalServer32",
                      std::string("\"") + self + "\" --serve");

    std::printf("cross-process calls, %d round trips each (times in microseconds)\n", n);
    PrintRow("raw SEQPACKET 128 B / 64 B (floor)", RawRoundTrips(n));

    auto t0 = Clock::now();
    ComPtr<IK47PTZCamera> camera;
    HRESULT hr =
        CoCreateInstance(CLSID_BenchCamera, nullptr, CLSCTX_LOCAL_SERVER, IID_IK47PTZCamera,
                         reinterpret_cast<void**>(camera.GetAddressOf()));
    double started = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (FAILED(hr)) {
        std::printf("CoCreateInstance failed: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    std::printf("%-44s %.1f ms\n", "CoCreateInstance, server started", started);
    t0 = Clock::now();
    {
        ComPtr<IK47PTZCamera> second;
        CoCreateInstance(CLSID_BenchCamera, nullptr, CLSCTX_LOCAL_SERVER, IID_IK47PTZCamera,
                         reinterpret_cast<void**>(second.GetAddressOf()));
    }
    std::printf("%-44s %.1f us\n", "CoCreateInstance, server running",
                std::chrono::duration<double, std::micro>(Clock::now() - t0).count());

    std::vector<double> moves;
    moves.reserve(n);
    for (int i = 0; i < n; ++i) {
        auto s = Clock::now();
        camera->MoveRelative(static_cast<SHORT>(i & 63), 1, 2, 3, 4);
        moves.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
    }
    PrintRow("IK47PTZCamera::MoveRelative across processes", moves);
    camera.Reset();
    CoUninitialize();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}
