// Linux implementation file of the platform layer: may include Linux system headers.
// LoadLibraryA, FreeLibrary, GetProcAddress, GetModuleFileNameA over dlopen.
//
// An HMODULE is the address where the shared object is mapped (what dladdr calls dli_fbase), as
// on Windows where it is the image base: so a module can find its own handle from any of its
// addresses, and GetModuleFileNameA understands handles of objects that were not loaded here.
//
// LoadLibraryA keeps one record per loaded object with a reference count; DllMain receives
// DLL_PROCESS_ATTACH on the first load and DLL_PROCESS_DETACH at the last FreeLibrary, both under
// the loader lock (recursive, so DllMain may load libraries itself). Thread attach and detach
// notifications are never sent.
//
// FreeLibrary never calls dlclose: glibc keeps objects with C++ unique symbols (inline statics,
// template statics) loaded anyway, so unloading would depend on what the compiler emitted; worker
// threads and thread_local destructors of a module could outlive its code; and sanitizer reports
// need the code mapped. A module loaded again after its last FreeLibrary gets DLL_PROCESS_ATTACH
// again, with its static data as it was left. A module whose DllMain fails the attach is closed.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "windows.h"

namespace {

typedef BOOL(WINAPI* DllMainProc)(HINSTANCE, DWORD, LPVOID);

struct LoadedModule {
    void* dl;
    unsigned refs;
};

std::recursive_mutex& LoaderLock() {
    static std::recursive_mutex lock;
    return lock;
}

std::unordered_map<uintptr_t, LoadedModule>& Modules() {
    static std::unordered_map<uintptr_t, LoadedModule> modules;
    return modules;
}

struct ObjectInfo {
    uintptr_t base = 0;
    std::string name;
};

uintptr_t MapStart(const dl_phdr_info* info) {
    uintptr_t lowest = UINTPTR_MAX;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && ph.p_vaddr < lowest)
            lowest = ph.p_vaddr;
    }
    if (lowest == UINTPTR_MAX)
        return 0;
    uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return (info->dlpi_addr + lowest) & ~(page - 1);
}

// Finds a loaded object by its load bias (from a link map) or by its map start.
bool FindObject(bool by_bias, uintptr_t key, ObjectInfo* out) {
    struct Query {
        bool by_bias;
        uintptr_t key;
        ObjectInfo* out;
        bool found;
    } query{by_bias, key, out, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            auto* q = static_cast<Query*>(data);
            uintptr_t start = MapStart(info);
            if (start == 0)
                return 0;
            if (q->by_bias ? info->dlpi_addr != q->key : start != q->key)
                return 0;
            q->out->base = start;
            q->out->name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            q->found = true;
            return 1;
        },
        &query);
    return query.found;
}

uintptr_t BaseOfHandle(void* dl) {
    link_map* map = nullptr;
    if (dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
        return 0;
    ObjectInfo info;
    return FindObject(true, map->l_addr, &info) ? info.base : 0;
}

std::string ExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// A symbol of this object itself: dlsym on a handle also searches the object's dependencies,
// while GetProcAddress answers only for the module's own exports.
void* OwnSymbol(void* dl, uintptr_t base, const char* name) {
    dlerror();
    void* sym = dlsym(dl, name);
    if (sym == nullptr)
        return nullptr;
    Dl_info info{};
    if (dladdr(sym, &info) == 0 || reinterpret_cast<uintptr_t>(info.dli_fbase) != base)
        return nullptr;
    return sym;
}

DllMainProc FindDllMain(void* dl, uintptr_t base) {
    return reinterpret_cast<DllMainProc>(OwnSymbol(dl, base, "DllMain"));
}

}  // namespace

EXTERN_C HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (lpLibFileName == nullptr || lpLibFileName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string path(lpLibFileName);
    bool has_folder = path.find('/') != std::string::npos;
    if (has_folder && path[0] != '/') {
        // Absolute, so that GetModuleFileNameA gives a full path as on Windows.
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) != nullptr)
            path = std::string(cwd) + "/" + path;
    }
    struct stat st {};
    if (has_folder && stat(path.c_str(), &st) != 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }

    std::lock_guard<std::recursive_mutex> lock(LoaderLock());
    void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (dl == nullptr) {
        const char* err = dlerror();
        // A missing dependency reads like a missing module, as on Windows.
        bool missing = err != nullptr && std::strstr(err, "cannot open shared object") != nullptr;
        SetLastError(missing ? ERROR_MOD_NOT_FOUND : ERROR_BAD_FORMAT);
        return nullptr;
    }
    uintptr_t base = BaseOfHandle(dl);
    if (base == 0) {
        dlclose(dl);
        SetLastError(ERROR_BAD_FORMAT);
        return nullptr;
    }
    auto& modules = Modules();
    auto it = modules.find(base);
    if (it != modules.end()) {
        ++it->second.refs;
        dlclose(dl);  // drops only the reference this call added
        return reinterpret_cast<HMODULE>(base);
    }
    modules.emplace(base, LoadedModule{dl, 1});
    if (DllMainProc main = FindDllMain(dl, base)) {
        if (!main(reinterpret_cast<HINSTANCE>(base), DLL_PROCESS_ATTACH, nullptr)) {
            modules.erase(base);
            dlclose(dl);
            SetLastError(ERROR_DLL_INIT_FAILED);
            return nullptr;
        }
    }
    return reinterpret_cast<HMODULE>(base);
}

EXTERN_C BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    std::lock_guard<std::recursive_mutex> lock(LoaderLock());
    auto& modules = Modules();
    auto it = modules.find(reinterpret_cast<uintptr_t>(hLibModule));
    if (it == modules.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--it->second.refs > 0)
        return TRUE;
    void* dl = it->second.dl;
    modules.erase(it);
    if (DllMainProc main = FindDllMain(dl, reinterpret_cast<uintptr_t>(hLibModule)))
        main(hLibModule, DLL_PROCESS_DETACH, nullptr);
    return TRUE;
}

EXTERN_C FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    // Lookup by ordinal (a small integer in place of the name) does not exist here.
    if (hModule == nullptr || reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(hModule == nullptr ? ERROR_INVALID_HANDLE : ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    uintptr_t base = reinterpret_cast<uintptr_t>(hModule);
    void* sym = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(LoaderLock());
        auto it = Modules().find(base);
        if (it != Modules().end()) {
            sym = OwnSymbol(it->second.dl, base, lpProcName);
        } else {
            ObjectInfo info;
            if (!FindObject(false, base, &info)) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return nullptr;
            }
            // Not loaded through LoadLibraryA: borrow a handle without loading anything.
            void* dl =
                dlopen(info.name.empty() ? nullptr : info.name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
            if (dl != nullptr) {
                sym = OwnSymbol(dl, base, lpProcName);
                dlclose(dl);
            }
        }
    }
    if (sym == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(sym);
}

EXTERN_C DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    std::string path;
    if (hModule == nullptr) {
        path = ExecutablePath();
    } else {
        ObjectInfo info;
        if (!FindObject(false, reinterpret_cast<uintptr_t>(hModule), &info)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = info.name.empty() ? ExecutablePath() : info.name;
    }
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // As on Windows since Vista: a name that does not fit is cut, NUL-terminated, and the call
    // returns nSize with ERROR_INSUFFICIENT_BUFFER.
    if (path.size() >= nSize) {
        std::memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

// Thread notifications are never sent, so there is nothing to switch off.
EXTERN_C BOOL WINAPI DisableThreadLibraryCalls(HMODULE) {
    return TRUE;
}
