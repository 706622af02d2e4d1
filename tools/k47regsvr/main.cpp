// k47regsvr: registers or unregisters a component module, like regsvr on Windows.
//
//   k47regsvr [-u] [--per-user] MODULE
//
// Loads MODULE (its DllMain runs), calls its DllRegisterServer (or DllUnregisterServer with -u)
// and reports the outcome. The registry's location follows K47_REGISTRY_DIR when it is set.
// Exit status: 0 on success, 1 when the module cannot be loaded or lacks the entry point, 2 when
// the entry point fails, 64 for a usage error.
#include <windows.h>
#include <atlbase.h>
#include <k47/errors.h>
#include <k47/registry.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    CLI::App app{
        "Registers or unregisters a K47 component module (its classes, type library and proxies)."};
    bool unregister = false;
    bool perUser = false;
    std::string module;
    app.add_flag("-u,--unregister", unregister,
                 "remove the module's registration instead of writing it");
    app.add_flag("--per-user", perUser,
                 "write to (or remove from) the current user's classes only");
    app.add_option("MODULE", module,
                   "path of the module (a shared object exporting DllRegisterServer)")
        ->required();
    app.set_version_flag("--version", std::string("k47regsvr ") + K47PTZ_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 64;
    }

    if (perUser)
        AtlSetPerUserRegistration(true);
    HMODULE handle = LoadLibraryA(module.c_str());
    if (handle == nullptr) {
        DWORD error = GetLastError();
        std::fprintf(stderr, "k47regsvr: cannot load %s: %s\n", module.c_str(),
                     k47::DescribeHresult(HRESULT_FROM_WIN32(error)).c_str());
        return 1;
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    // FARPROC is the generic entry-point type; go through void* to the real signature.
    auto function = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(handle, entry)));
    if (function == nullptr) {
        std::fprintf(stderr, "k47regsvr: %s has no entry point %s\n", module.c_str(), entry);
        return 1;
    }
    HRESULT hr = function();
    if (FAILED(hr)) {
        std::fprintf(stderr, "k47regsvr: %s in %s failed: %s\n", entry, module.c_str(),
                     k47::DescribeHresult(hr).c_str());
        return 2;
    }
    std::printf("%s %s %s (registry file %s)\n", unregister ? "Unregistered" : "Registered",
                module.c_str(), perUser ? "for the current user" : "for the machine",
                perUser ? k47::UserHivePath().c_str() : k47::MachineHivePath().c_str());
    return 0;
}
