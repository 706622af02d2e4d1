// The module's entry points: class objects, their creation rules, and when the module may unload.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include "frame/ClassTable.h"
#include "frame/K47PTZ.h"
#include "frame/K47PTZModule.h"
#include "tests/support/TestUtil.h"

using Microsoft::WRL::ComPtr;

namespace {

ComPtr<IClassFactory> Factory(REFCLSID clsid) {
    ComPtr<IClassFactory> factory;
    EXPECT_HR_OK(DllGetClassObject(clsid, IID_IClassFactory,
                                   reinterpret_cast<void**>(factory.GetAddressOf())));
    return factory;
}

}  // namespace

TEST(Module, ClassObjectsAreCachedAndUnknownClassesRefused) {
    ComPtr<IClassFactory> first = Factory(CLSID_PTZCamera);
    ComPtr<IClassFactory> second = Factory(CLSID_PTZCamera);
    ASSERT_TRUE(first);
    EXPECT_EQ(first.Get(), second.Get());

    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE,
              DllGetClassObject(LIBID_K47PTZLib, IID_IClassFactory, &out));
    EXPECT_EQ(out, nullptr);
    EXPECT_HR(E_NOINTERFACE, DllGetClassObject(CLSID_PTZCamera, IID_IK47PTZCamera, &out));
    EXPECT_HR(E_POINTER, DllGetClassObject(CLSID_PTZCamera, IID_IClassFactory, nullptr));
    // Every class of the table is either available or refused as not available, never anything
    // else.
    for (size_t i = 0; i < kK47ClassCount; ++i) {
        ComPtr<IUnknown> factory;
        HRESULT hr = DllGetClassObject(*kK47ClassTable[i].clsid, IID_IUnknown,
                                       reinterpret_cast<void**>(factory.GetAddressOf()));
        EXPECT_TRUE(hr == S_OK || hr == CLASS_E_CLASSNOTAVAILABLE) << kK47ClassTable[i].name;
        EXPECT_EQ(hr == S_OK, kK47ClassTable[i].create != nullptr) << kK47ClassTable[i].name;
    }
}

TEST(Module, CreateInstanceRulesForACameraWrapper) {
    ComPtr<IClassFactory> factory = Factory(CLSID_PTZCamera);
    ASSERT_TRUE(factory);
    EXPECT_HR(E_POINTER, factory->CreateInstance(nullptr, IID_IK47ObjectConfiguration, nullptr));

    ComPtr<IUnknown> outer;
    ASSERT_HR_OK(factory->CreateInstance(nullptr, IID_IUnknown,
                                         reinterpret_cast<void**>(outer.GetAddressOf())));
    // Aggregated creation may only ask for IUnknown.
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_HR(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer.Get(), IID_IK47PTZCamera, &out));
    EXPECT_EQ(out, nullptr);
    ComPtr<IUnknown> inner;
    EXPECT_HR_OK(factory->CreateInstance(outer.Get(), IID_IUnknown,
                                         reinterpret_cast<void**>(inner.GetAddressOf())));
    // An unbound wrapper has no camera interface yet.
    EXPECT_HR(E_NOINTERFACE, outer->QueryInterface(IID_IK47PTZCamera, &out));
    ComPtr<IK47ObjectConfiguration> configuration;
    EXPECT_HR_OK(outer.As(&configuration));
    ComPtr<IK47Terminate> terminate;
    EXPECT_HR_OK(outer.As(&terminate));
    EXPECT_HR_OK(terminate->Terminate(FALSE));  // unbound: nothing to do, still S_OK
    EXPECT_HR(E_NOTIMPL, configuration->MakeDefault(nullptr));
}

TEST(Module, CanUnloadOnlyWithoutLiveObjectsOrServerLocks) {
    // Other tests of this binary may hold class objects registered in-process; count from here.
    const LONG idle = g_K47PTZModule.GetLockCount();
    ComPtr<IClassFactory> factory = Factory(CLSID_PTZCamera);
    ASSERT_TRUE(factory);
    factory.Reset();  // the cache's own reference does not keep a lock
    EXPECT_EQ(g_K47PTZModule.GetLockCount(), idle);
    EXPECT_EQ(DllCanUnloadNow() == S_OK, idle == 0);

    factory = Factory(CLSID_PTZCamera);
    factory->LockServer(TRUE);
    factory.Reset();
    EXPECT_EQ(g_K47PTZModule.GetLockCount(), idle + 1);
    EXPECT_HR(S_FALSE, DllCanUnloadNow());

    factory = Factory(CLSID_PTZCamera);
    ComPtr<IUnknown> object;
    ASSERT_HR_OK(factory->CreateInstance(nullptr, IID_IUnknown,
                                         reinterpret_cast<void**>(object.GetAddressOf())));
    factory->LockServer(FALSE);
    factory.Reset();
    EXPECT_EQ(g_K47PTZModule.GetLockCount(), idle + 1);  // the live object
    EXPECT_HR(S_FALSE, DllCanUnloadNow());
    object.Reset();
    EXPECT_EQ(g_K47PTZModule.GetLockCount(), idle);
    EXPECT_EQ(DllCanUnloadNow() == S_OK, idle == 0);
}
