// Cross-process activation (CLSCTX_LOCAL_SERVER): where the transport plugs into the COM runtime.
// CoGetClassObject asks LocalServerGetClassObject after the class objects registered in this
// process (com_local_client.cpp: connect to the class's socket, start the registry's
// LocalServer32 command when nobody listens); CoRegisterClassObject and CoRevokeClassObject tell
// the serving side about class objects registered for CLSCTX_LOCAL_SERVER
// (com_local_server.cpp: offer them on their socket).
//
// Threading: called from any thread, without any lock of the COM runtime held.
#pragma once

#include "combaseapi.h"

namespace k47::com::local {

// The class object of a class served by another process (a proxy), or REGDB_E_CLASSNOTREG when
// nobody serves it and the registry names no server to start, CO_E_SERVER_EXEC_FAILURE when the
// server could not be started or did not offer the class in time, E_ACCESSDENIED when the socket
// belongs to another user.
HRESULT LocalServerGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);

// Offers a class object to other processes until LocalServerRevoke(cookie). CO_E_OBJISREG when a
// live server offers the class already.
HRESULT LocalServerPublish(REFCLSID clsid, IUnknown* class_object, DWORD flags, DWORD cookie);
void LocalServerRevoke(DWORD cookie);

}  // namespace k47::com::local
