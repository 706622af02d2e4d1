// The table of the module's component classes, in registration order, with what registration
// writes for each and the class object of each.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>

#include "frame/ClassFactory.h"

struct K47ClassInfo {
    enum Flags : unsigned {
        kNone = 0,
        kViProgIdWithoutClsid = 1,  // the version-independent ProgID gets only CurVer
        kNoAppIdValue = 2,          // the CLSID key gets no AppID value
        kVersionValue = 4,          // the CLSID key gets a value Version = "1.0"
    };
    const CLSID* clsid;
    const char* name;      // component class name, e.g. "PTZCamera"
    const char* viProgId;  // version-independent ProgID, e.g. "K47PTZ.PTZCamera"
    int scriptId;          // the registry script's resource number
    unsigned flags;
    K47CreateFunction create;  // null while the class is not available in this build
};

extern const K47ClassInfo kK47ClassTable[];
extern const size_t kK47ClassCount;

// The cached class object of a class of the table: CLASS_E_CLASSNOTAVAILABLE for an unknown class
// (or one without implementation), E_NOINTERFACE for an IID the class object lacks.
HRESULT K47ClassTableGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
