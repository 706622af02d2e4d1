// Linux-only additions for local servers (CLSCTX_LOCAL_SERVER): where their sockets live, and
// hooks for tests. Not part of the Windows API.
//
// A class object registered with CoRegisterClassObject(..., CLSCTX_LOCAL_SERVER, ...) is offered
// on the SOCK_SEQPACKET socket <folder>/{CLSID}.sock, where the folder is the one named by the
// environment variable K47_RUNTIME_DIR, else $XDG_RUNTIME_DIR/k47, else /tmp/k47-<uid> (made
// mode 0700 when missing). The variable is read at each use. Only processes of the same user may
// connect. Binding is serialised by {CLSID}.lock, starting a server by {CLSID}.start.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <string>

#include "guiddef.h"

namespace k47 {

// The folder of the local servers' sockets (not created here).
std::string LocalServerFolder();
// The socket of a class in that folder.
std::string LocalServerSocketPath(REFCLSID clsid);

// For tests that are their own server: when on, CoGetClassObject and CoCreateInstance with
// CLSCTX_LOCAL_SERVER skip class objects registered in this process and always connect through
// the socket, as another process would. Off by default.
void SetLocalServerThroughSocket(bool enable) noexcept;

// How long CoGetClassObject waits for a server it started (LocalServer32) to offer the class;
// 10 000 ms unless a test sets less.
void SetLocalServerStartTimeout(unsigned milliseconds) noexcept;

// Connections this process serves right now (accepted and not yet ended), for tests that wait
// until a client's connection is gone.
size_t LocalServerConnectionCount() noexcept;

}  // namespace k47
