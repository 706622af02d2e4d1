// The interface and class identifiers shared by the platform tests and their test modules: a
// class "TestThing" with one custom interface, served by k47_test_module through
// DllGetClassObject. Header only; no state.
#pragma once

#include "objbase.h"

MIDL_INTERFACE("6B1C4E1A-33D0-4E55-9C7B-2F2A4B0D9E01")
ITestThing : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE SetValue(LONG value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetValue(LONG * value) = 0;
};
__CRT_UUID_DECL(ITestThing, 0x6B1C4E1A, 0x33D0, 0x4E55, 0x9C, 0x7B, 0x2F, 0x2A, 0x4B, 0x0D, 0x9E,
                0x01)

// {6B1C4E1A-33D0-4E55-9C7B-2F2A4B0D9E10}
DEFINE_GUID(CLSID_TestThing, 0x6B1C4E1A, 0x33D0, 0x4E55, 0x9C, 0x7B, 0x2F, 0x2A, 0x4B, 0x0D, 0x9E,
            0x10);

// Counters the test module exports (extern "C" TestModule_Counters) so that tests can see what
// its entry points were asked to do.
struct TestModuleCounters {
    int process_attach;
    int process_detach;
    int live_objects;       // TestThing objects not yet destroyed
    int server_locks;       // IClassFactory::LockServer balance
    void* attach_instance;  // the HINSTANCE DllMain received
    char attach_path[512];  // GetModuleFileNameA of that HINSTANCE, inside DllMain
};
typedef void (*TestModuleCountersProc)(TestModuleCounters* out);
