// Shared set-up of the fuzz targets that run the host's own code (installation, SOAP dispatch):
// the process becomes a host whose K47PTZ classes are the ones linked into it, registered in a
// registry folder of its own, and whose serial ports never open.
//
//   - K47_REGISTRY_DIR points at a fresh temporary folder (removed at exit) where the module is
//     registered, so the host's ProgIDs resolve as after k47regsvr, and every library class is
//     also registered in-process, so CoCreateInstance never loads the library from disk; the
//     example plug-in driver (K47Example.PelcoDriver) is registered there too when the build
//     names it (K47_FUZZ_PLUGIN_MODULE), for plug-in protocols;
//   - every open of a serial device fails with ENOENT through the comm syscall seam: whatever
//     COMPort a fuzzed file names, its driver is set up with its line down and writes nothing;
//   - log lines go to a sink that counts them instead of standard error, and a line about an
//     exception nobody handled aborts the run (unless the input may have spelt it: NewInput): a
//     garbled file must be reported in words.
//
// EnterHost() does all this once per process (the replay main calls it with the first input).
#pragma once

#include <windows.h>
#include <objbase.h>
#include <stdlib.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/K47Global.h"
#include "frame/ClassTable.h"
#include "frame/K47PTZ.h"
#include "frame/K47PTZModule.h"
#include "platform/posix/comm/comm_sys.h"

namespace k47fuzz {

inline void Check(bool condition) {
    if (!condition)
        std::abort();
}

// Written from any thread (cameras' and drivers' workers log too).
struct HostLog {
    std::atomic<size_t> lines{0};
    // The input itself may spell what an unhandled exception's line says (a COMPort is logged
    // as given); its lines then prove nothing.
    std::atomic<bool> mayQuoteUnhandled{false};
};

inline HostLog& Log() {
    static HostLog log;
    return log;
}

inline int NoDevice(const char*, int) {
    errno = ENOENT;
    return -1;
}

inline void EnterHost() {
    static const bool entered = [] {
        static std::string registry;
        char pattern[] = "/tmp/k47fuzz-registry-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        registry = pattern;
        setenv("K47_REGISTRY_DIR", registry.c_str(), 1);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(registry, ignored);
        });

        k47::comm::CommSyscalls().open = NoDevice;
        g_ErrorHandling.SetSink(
            [](CGlobalErrorHandlingEnvironment::Channel, std::string_view line) {
                Check(!line.empty());
                Check(Log().mayQuoteUnhandled ||
                      line.find(" Unhandled Exception - handler ") == std::string_view::npos);
                ++Log().lines;
            });

        CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // this thread stays in the MTA
        Check(SUCCEEDED(DllRegisterServer()));
        for (size_t i = 0; i < kK47ClassCount; ++i) {
            IUnknown* factory = nullptr;
            if (FAILED(DllGetClassObject(*kK47ClassTable[i].clsid, IID_IUnknown,
                                         reinterpret_cast<void**>(&factory))))
                continue;  // a class not in this build
            DWORD cookie = 0;
            CoRegisterClassObject(*kK47ClassTable[i].clsid, factory, CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie);
            factory->Release();
        }
#ifdef K47_FUZZ_PLUGIN_MODULE
        HMODULE plugIn = LoadLibraryA(K47_FUZZ_PLUGIN_MODULE);
        Check(plugIn != nullptr);
        auto registerPlugIn = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
            reinterpret_cast<void*>(GetProcAddress(plugIn, "DllRegisterServer")));
        Check(registerPlugIn != nullptr && SUCCEEDED(registerPlugIn()));
        FreeLibrary(plugIn);
#endif
        return true;
    }();
    (void)entered;
}

// Called with each input before it runs. Attribute values can carry no text but what the input
// spells, literally or by character reference (without a DTD there are no other entities).
inline void NewInput(std::string_view input) {
    Log().mayQuoteUnhandled = input.find("handled") != std::string_view::npos ||
                              input.find("&#") != std::string_view::npos;
}

}  // namespace k47fuzz
