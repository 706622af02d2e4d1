// Linux implementation file of the platform layer: may include Linux system headers.
// Cross-process activation: no transport yet (see com_local_server.h).
#include "com_local_server.h"

namespace k47::com {

HRESULT LocalServerGetClassObject(REFCLSID, REFIID, void** ppv) {
    *ppv = nullptr;
    return REGDB_E_CLASSNOTREG;
}

HRESULT LocalServerPublish(REFCLSID, IUnknown*, DWORD, DWORD) {
    return S_OK;
}

void LocalServerRevoke(DWORD) {}

}  // namespace k47::com
