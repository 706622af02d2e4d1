// k47regsvr: registers or unregisters a component module, like regsvr on Windows.
//
//   k47regsvr [-u] [--per-user] MODULE
//
// Loads MODULE (its DllMain runs), calls its DllRegisterServer (or DllUnregisterServer with -u)
// and reports the outcome. The registry's location follows K47_REGISTRY_DIR when it is set.
// Exit status (common/ExitCodes.h): 0 on success, 7 when the module cannot be loaded or lacks the
// entry point, 1 when the entry point fails, 2 for a usage error. -v adds the system's error.
#include <windows.h>
#include <atlbase.h>
#include <k47/errors.h>
#include <k47/registry.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <string>

#include "common/ExitCodes.h"

int main(int argc, char** argv) {
    CLI::App app{
        "Registers or unregisters a K47 component module (its classes, type library and proxies)."};
    bool unregister = false;
    bool perUser = false;
    bool verbose = false;
    std::string module;
    app.add_flag("-u,--unregister", unregister,
                 "remove the module's registration instead of writing it");
    app.add_flag("--per-user", perUser,
                 "write to (or remove from) the current user's classes only");
    app.add_option("MODULE", module,
                   "path of the module (a shared object exporting DllRegisterServer)")
        ->required();
    app.add_flag("-v,--verbose", verbose, "with an error, also print the system's error code");
    app.footer(
        "Exit codes: 0 done, 1 the module's registration failed, 2 usage, 7 the module cannot be\n"
        "loaded or is no component module (the table shared by every K47PTZ program:\n"
        "docs/operations.md, \"Exit codes\").");
    app.set_version_flag("--version", std::string("k47regsvr ") + K47PTZ_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? k47exit::kOk : k47exit::kUsage;
    }

    if (perUser)
        AtlSetPerUserRegistration(true);
    HMODULE handle = LoadLibraryA(module.c_str());
    if (handle == nullptr) {
        DWORD error = GetLastError();
        std::error_code ignored;
        const char* why =
            !std::filesystem::exists(module, ignored)
                ? "there is no such file; give the path of libK47PTZ.so (in the lib/ folder of "
                  "the build or of the installation)"
            : error == ERROR_MOD_NOT_FOUND
                ? "a library it needs is missing (ldd on the module shows which)"
                : "it is no shared object this machine can load";
        std::fprintf(stderr, "k47regsvr: cannot load the module %s: %s\n", module.c_str(), why);
        if (verbose)
            std::fprintf(stderr, "  error: %s\n",
                         k47::DescribeHresult(HRESULT_FROM_WIN32(error)).c_str());
        return k47exit::kNoModule;
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    // FARPROC is the generic entry-point type; go through void* to the real signature.
    auto function = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(handle, entry)));
    if (function == nullptr) {
        std::fprintf(stderr,
                     "k47regsvr: %s is no component module (it has no %s); give the path of "
                     "libK47PTZ.so\n",
                     module.c_str(), entry);
        return k47exit::kNoModule;
    }
    HRESULT hr = function();
    if (FAILED(hr)) {
        const bool denied = hr == E_ACCESSDENIED || hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        std::fprintf(stderr, "k47regsvr: %s %s failed: %s\n",
                     unregister ? "unregistering" : "registering", module.c_str(),
                     denied ? (perUser ? "the registry file may not be written; check the rights "
                                         "on the folder (K47_REGISTRY_DIR)"
                                       : "the machine registry may not be written by this user; "
                                         "run as root, or use --per-user")
                            : "the module refused (--verbose shows why)");
        if (verbose)
            std::fprintf(stderr, "  error: %s\n", k47::DescribeHresult(hr).c_str());
        return k47exit::kFailed;
    }
    std::printf("%s %s %s (registry file %s)\n", unregister ? "Unregistered" : "Registered",
                module.c_str(), perUser ? "for the current user" : "for the machine",
                perUser ? k47::UserHivePath().c_str() : k47::MachineHivePath().c_str());
    return k47exit::kOk;
}
