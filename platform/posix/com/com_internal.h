// Shared pieces of the COM runtime between its files: whether the calling thread may make COM
// calls, and the class objects registered in this process. Thread-safe.
#pragma once

#include <wrl/client.h>

#include <optional>
#include <string>

#include "combaseapi.h"

namespace k47::com {

// True when the calling thread is initialised, or when any thread of the process is in the
// multithreaded apartment (the implicit MTA every other thread then belongs to, as on Windows).
bool CallsAllowed() noexcept;

// A class object registered with CoRegisterClassObject that serves the given context
// (CLSCTX_INPROC_SERVER or CLSCTX_LOCAL_SERVER), or null.
Microsoft::WRL::ComPtr<IUnknown> FindRegisteredClassObject(REFCLSID clsid, DWORD context);

// The class object of a class the platform implements itself (com_builtin.cpp), or null.
Microsoft::WRL::ComPtr<IUnknown> FindBuiltinClassObject(REFCLSID clsid);

// The registry's text of HKCR\<path> (default value), with REG_EXPAND_SZ expanded; nothing when
// the key or value is missing or is not a string.
std::optional<std::string> ReadClassesString(const std::string& path);
// "{XXXXXXXX-...}" as UTF-8.
std::string GuidKeyName(REFGUID guid);

// Whether CLSCTX_LOCAL_SERVER requests skip the class objects registered in this process (a test
// that is its own server; see k47/localserver.h).
// Defined with the cross-process server.
namespace local {
bool LocalServerThroughSocket() noexcept;
}  // namespace local

}  // namespace k47::com
