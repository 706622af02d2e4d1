// Linux implementation file of the platform layer: may include Linux system headers, but not the
// socket headers (winsock2.h is included; the Linux socket calls are behind socket_sys.h).
// Winsock event objects (manual-reset events of the handle table), WSAEventSelect and
// WSAEnumNetworkEvents (the record itself is kept by the socket: winsock_socket.h).
//
// Like every Winsock call, these fail with WSANOTINITIALISED outside WSAStartup/WSACleanup.
#include "synchapi.h"
#include "winsock/winsock_error.h"
#include "winsock/winsock_socket.h"

namespace {

using k47::kernel::Event;
using k47::kernel::WaitLock;
using k47::winsock::Fail;
using k47::winsock::LibraryStarted;
using k47::winsock::Socket;

bool Started() {
    if (!LibraryStarted()) {
        Fail(WSANOTINITIALISED);
        return false;
    }
    return true;
}

std::shared_ptr<Event> LookupEvent(WSAEVENT h) {
    auto event = k47::kernel::LookupHandleAs<Event>(h);
    if (!event) {
        Fail(WSA_INVALID_HANDLE);
    }
    return event;
}

}  // namespace

EXTERN_C WSAEVENT WINAPI WSACreateEvent(void) {
    if (!Started()) {
        return WSA_INVALID_EVENT;
    }
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

EXTERN_C BOOL WINAPI WSACloseEvent(WSAEVENT hEvent) {
    if (!Started()) {
        return FALSE;
    }
    if (!LookupEvent(hEvent) || !CloseHandle(hEvent)) {
        Fail(WSA_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

EXTERN_C BOOL WINAPI WSASetEvent(WSAEVENT hEvent) {
    if (!Started() || !LookupEvent(hEvent)) {
        return FALSE;
    }
    return SetEvent(hEvent);
}

EXTERN_C BOOL WINAPI WSAResetEvent(WSAEVENT hEvent) {
    if (!Started() || !LookupEvent(hEvent)) {
        return FALSE;
    }
    return ResetEvent(hEvent);  // also cancels an overlapped operation pending on it
}

EXTERN_C DWORD WINAPI WSAWaitForMultipleEvents(DWORD cEvents, const WSAEVENT* lphEvents,
                                               BOOL fWaitAll, DWORD dwTimeout, BOOL fAlertable) {
    if (!Started()) {
        return WSA_WAIT_FAILED;
    }
    (void)fAlertable;  // no APCs are queued on this platform: nothing can end the wait early
    DWORD result = WaitForMultipleObjects(cEvents, lphEvents, fWaitAll, dwTimeout);
    if (result == WAIT_FAILED && GetLastError() == ERROR_INVALID_PARAMETER) {
        Fail(WSA_INVALID_PARAMETER);
    }
    return result;
}

EXTERN_C int WINAPI WSAEventSelect(SOCKET s, WSAEVENT hEventObject, LONG lNetworkEvents) {
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    std::shared_ptr<Event> event;
    if (lNetworkEvents != 0) {
        event = k47::kernel::LookupHandleAs<Event>(hEventObject);
        if (!event) {
            return Fail(WSAEINVAL);
        }
    }
    Socket::Released released;
    WaitLock lock;
    if (socket->closed(lock)) {
        return Fail(WSAENOTSOCK);
    }
    socket->Select(lock, std::move(event), lNetworkEvents, &released);
    return 0;
}

EXTERN_C int WINAPI WSAEnumNetworkEvents(SOCKET s, WSAEVENT hEventObject,
                                         LPWSANETWORKEVENTS lpNetworkEvents) {
    auto socket = Socket::Lookup(s);
    if (!socket) {
        return SOCKET_ERROR;
    }
    if (lpNetworkEvents == nullptr) {
        return Fail(WSAEFAULT);
    }
    std::shared_ptr<Event> event;
    if (hEventObject != nullptr) {
        event = k47::kernel::LookupHandleAs<Event>(hEventObject);
        if (!event) {
            return Fail(WSAEINVAL);  // nothing is copied, cleared or reset
        }
    }
    WaitLock lock;
    if (socket->closed(lock)) {
        return Fail(WSAENOTSOCK);
    }
    // Copy, clear and reset under one lock: a condition noticed afterwards sets the event again.
    socket->TakeRecord(lock, lpNetworkEvents);
    if (event) {
        event->Reset(lock);
    }
    return 0;
}
