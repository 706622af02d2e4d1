// k47ptz-nudge URL CAMERA: turns a camera right for half a second and stops it, through the
// control service at URL. The client class is found through the registry, where the package
// registered the K47PTZ module: the program links the platform runtime only.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <k47/platform.h>

#include "frame/K47PTZ.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

// A BSTR that frees itself.
struct Bstr {
    explicit Bstr(const char* text) : value(SysAllocString(k47::Utf8ToUtf16(text).c_str())) {}
    ~Bstr() { SysFreeString(value); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR value;
};

int Fail(const char* what, HRESULT hr) {
    std::fprintf(stderr, "k47ptz-nudge: %s failed: %s\n", what, k47::DescribeHresult(hr).c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: k47ptz-nudge URL CAMERA\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int status = 0;
    IK47PTZClient* client = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_PTZClientRemote, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IK47PTZClient, reinterpret_cast<void**>(&client));
    if (FAILED(hr)) {
        status = Fail("creating the remote client (is the K47PTZ module registered?)", hr);
    } else {
        Bstr url(argv[1]);
        Bstr camera(argv[2]);
        if (FAILED(hr = client->Connect(url.value, camera.value))) {
            status = Fail("connecting", hr);
        } else if (FAILED(hr = client->MoveRelative(40, 0, 0, 0, 0))) {
            status = Fail("moving", hr);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            // The end of a motion: the camera stops at once and repeats the stop.
            if (FAILED(hr = client->MoveRelative(0, 0, 0, 0, 0)) ||
                FAILED(hr = client->EndMotion()))
                status = Fail("stopping", hr);
            else
                std::printf("k47ptz-nudge: %s turned and stopped\n", argv[2]);
        }
        client->Release();
    }
    CoUninitialize();
    return status;
}
