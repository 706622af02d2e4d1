// The process-wide socket-library count.
#include "common/SocketLibrary.h"

#include <mutex>

namespace {

std::mutex g_lock;  // guards the two fields below
long g_users = 0;
int g_startupResult = 0;

}  // namespace

CK47SocketLibraryReference::CK47SocketLibraryReference() noexcept {
    std::lock_guard<std::mutex> guard(g_lock);
    if (++g_users == 1) {
        WSADATA data;
        g_startupResult = WSAStartup(MAKEWORD(2, 2), &data);
    }
}

CK47SocketLibraryReference::~CK47SocketLibraryReference() {
    std::lock_guard<std::mutex> guard(g_lock);
    if (--g_users == 0 && g_startupResult == 0)
        WSACleanup();
}

int CK47SocketLibraryReference::StartupResult() noexcept {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_startupResult;
}

long CK47SocketLibraryReference::UserCount() noexcept {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_users;
}
