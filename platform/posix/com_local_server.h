// Cross-process activation (CLSCTX_LOCAL_SERVER): the seam where the out-of-process transport
// plugs into the COM runtime. CoGetClassObject asks LocalServerGetClassObject after the class
// objects registered in this process; CoRegisterClassObject and CoRevokeClassObject tell the
// transport about class objects registered for CLSCTX_LOCAL_SERVER so it can offer them to other
// processes.
//
// There is no transport yet: nothing is offered to other processes and no other process is asked,
// so a class that is not registered in this process is REGDB_E_CLASSNOTREG for this context.
//
// Threading: called from any thread, without any lock of the COM runtime held.
#pragma once

#include "combaseapi.h"

namespace k47::com {

HRESULT LocalServerGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
HRESULT LocalServerPublish(REFCLSID clsid, IUnknown* class_object, DWORD flags, DWORD cookie);
void LocalServerRevoke(DWORD cookie);

}  // namespace k47::com
