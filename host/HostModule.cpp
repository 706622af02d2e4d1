// The host's own COM objects (object server, variables, port service) use the library's component
// root, which counts live objects for its module; in the host that count has no reader, so it is
// only kept for symmetry and for debugging.
#include <atomic>

namespace {
std::atomic<long> g_hostObjects{0};
}

void K47ModuleLock() noexcept {
    g_hostObjects.fetch_add(1, std::memory_order_relaxed);
}
void K47ModuleUnlock() noexcept {
    g_hostObjects.fetch_sub(1, std::memory_order_relaxed);
}
