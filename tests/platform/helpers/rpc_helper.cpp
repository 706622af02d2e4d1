// Helper process of the cross-process transport tests (K47_REGISTRY_DIR and K47_RUNTIME_DIR come
// from the test):
//   k47_rpc_helper serve [--exit-in-wait] [-Embedding]
//                                      offers RemoteThing (CLSID_TestRemote) as a local server and
//                                      exits once its clients are gone (or after 60 s without any);
//                                      --exit-in-wait: ITestRemote::Wait ends the process
//   k47_rpc_helper activate            asks for RemoteThing's class object; prints the HRESULT
//   k47_rpc_helper hold                creates RemoteThing and a child of it, prints "ready",
//                                      then keeps them until standard input ends
// Exit status 0 unless a step before the printed result failed.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "k47/localserver.h"
#include "testmodule/remote_thing.h"
#include "windows.h"
#include "wrl/client.h"

using Microsoft::WRL::ComPtr;

namespace {

int Serve() {
    ComPtr<IClassFactory> factory;
    factory.Attach(k47::test::NewRemoteThingFactory());
    DWORD cookie = 0;
    HRESULT hr = CoRegisterClassObject(CLSID_TestRemote, factory.Get(), CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE, &cookie);
    if (FAILED(hr)) {
        std::fprintf(stderr, "k47_rpc_helper: CoRegisterClassObject = 0x%08X\n",
                     static_cast<unsigned>(hr));
        return 1;
    }
    // A real server would run until told to stop; this one lives as long as its clients. Served
    // means an object was made: a client's whole visit may fall between two looks at the count.
    auto idle_limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        bool served = k47::test::RemoteThingsCreated() > 0;
        if ((served && k47::LocalServerConnectionCount() == 0) ||
            (!served && std::chrono::steady_clock::now() > idle_limit))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    CoRevokeClassObject(cookie);
    return 0;
}

int Activate() {
    ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(CLSID_TestRemote, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(factory.GetAddressOf()));
    std::printf("%08X\n", static_cast<unsigned>(hr));
    return 0;
}

int Hold() {
    ComPtr<ITestRemote> thing;
    HRESULT hr =
        CoCreateInstance(CLSID_TestRemote, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(ITestRemote),
                         reinterpret_cast<void**>(thing.GetAddressOf()));
    ComPtr<ITestRemote> child;
    if (SUCCEEDED(hr))
        hr = thing->Child(1, child.GetAddressOf());
    if (FAILED(hr)) {
        std::fprintf(stderr, "k47_rpc_helper: hold = 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char buf[64];
    while (read(STDIN_FILENO, buf, sizeof(buf)) > 0) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s serve|activate|hold\n", argv[0]);
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int status = 2;
    if (std::strcmp(argv[1], "serve") == 0) {
        for (int i = 2; i < argc; ++i)
            if (std::strcmp(argv[i], "--exit-in-wait") == 0)
                k47::test::SetExitInWait(true);
        status = Serve();
    } else if (std::strcmp(argv[1], "activate") == 0)
        status = Activate();
    else if (std::strcmp(argv[1], "hold") == 0)
        status = Hold();
    CoUninitialize();
    return status;
}
