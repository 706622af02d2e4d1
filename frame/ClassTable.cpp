// The class table. Registration walks it in this order.
#include "frame/ClassTable.h"

#include <memory>

#include "frame/K47PTZ.h"
#include "frame/K47PTZModule.h"
#include "frame/ComObjectRoot.h"
#include "camera/PTZCamera.h"
#include "camera/PTZCamera1.h"
#include "clients/PTZClientLocal.h"
#include "clients/PTZClientRemote.h"
#include "drivers/Bosch.h"
#include "drivers/PTZ3PWrapper.h"
#include "drivers/Panasonic.h"
#include "drivers/PelcoD.h"

const K47ClassInfo kK47ClassTable[] = {
    {&CLSID_Bosch, "Bosch", "K47PTZ.Bosch", 109,
     K47ClassInfo::kViProgIdWithoutClsid | K47ClassInfo::kNoAppIdValue |
         K47ClassInfo::kVersionValue,
     &K47CreateObject<CBosch>},
    {&CLSID_K47Panasonic, "K47Panasonic", "K47PTZ.K47Panasonic", 106, K47ClassInfo::kNone,
     &K47CreateObject<CPanasonic>},
    {&CLSID_K47PelcoD, "K47PelcoD", "K47PTZ.K47PelcoD", 102, K47ClassInfo::kNone,
     &K47CreateObject<CPelcoD>},
    {&CLSID_PTZ3PWrapper, "PTZ3PWrapper", "K47PTZ.PTZ3PWrapper", 108, K47ClassInfo::kNone,
     &K47CreateObject<CPTZ3PWrapper>},
    {&CLSID_PTZCamera, "PTZCamera", "K47PTZ.PTZCamera", 105, K47ClassInfo::kNone,
     &K47CreateObject<CPTZCameraWrapper>},
    {&CLSID_PTZCameraStub, "PTZCameraStub", "K47PTZ.PTZCameraStub", 107, K47ClassInfo::kNone,
     &K47CreateObject<CPTZCamera>},
    {&CLSID_PTZClientLocal, "PTZClientLocal", "K47PTZ.PTZClientLocal", 103, K47ClassInfo::kNone,
     &K47CreateObject<CPTZClientLocal>},
    {&CLSID_PTZClientRemote, "PTZClientRemote", "K47PTZ.PTZClientRemote", 104, K47ClassInfo::kNone,
     &K47CreateObject<CPTZClientRemote>},
};
const size_t kK47ClassCount = std::size(kK47ClassTable);

namespace {

// One cached class object per class, created on first request under the module's class-object
// section and kept until the process ends (never destroyed: callers may still hold it).
CK47ClassFactory* g_classObjects[std::size(kK47ClassTable)] = {};

}  // namespace

HRESULT K47ClassTableGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    for (size_t i = 0; i < kK47ClassCount; ++i) {
        const K47ClassInfo& info = kK47ClassTable[i];
        if (!IsEqualCLSID(*info.clsid, rclsid))
            continue;
        if (info.create == nullptr)
            return CLASS_E_CLASSNOTAVAILABLE;
        g_K47PTZModule.EnterClassObjectSection();
        if (g_classObjects[i] == nullptr) {
            g_classObjects[i] = new (std::nothrow) CK47ClassFactory(info.create);
        }
        CK47ClassFactory* factory = g_classObjects[i];
        g_K47PTZModule.LeaveClassObjectSection();
        if (factory == nullptr)
            return E_OUTOFMEMORY;
        return factory->QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}
