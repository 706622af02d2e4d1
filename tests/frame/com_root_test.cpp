// The component root: QueryInterface rules, the plain and aggregated forms, the creation sequence
// and its failure mapping, final construction and release, and the module lock per object.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <stdexcept>

#include "frame/ComObjectRoot.h"
#include "frame/K47PTZ.h"
#include "frame/K47PTZModule.h"
#include "tests/support/TestUtil.h"

using Microsoft::WRL::ComPtr;

namespace {

struct Counters {
    int constructed = 0;
    int finalConstructs = 0;
    int finalReleases = 0;
    int destroyed = 0;
    HRESULT finalConstructResult = S_OK;
    bool throwInConstructor = false;
};
Counters g_counters;

// A class with two interfaces; its behaviour at creation is driven by g_counters.
class CTestObject : public CK47ComObjectRoot, public IK47Terminate, public IK47EventSink {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable() {
        static constexpr K47InterfaceEntry kTable[] = {
            K47Entry<CTestObject, IK47Terminate>(),
            K47Entry<CTestObject, IK47EventSink>(),
        };
        static_assert(K47ValidTable(kTable));
        return kTable;
    }
    HRESULT FinalConstruct() {
        ++g_counters.finalConstructs;
        // The object must be usable (its own reference count stable) while it sets itself up.
        ComPtr<IUnknown> self;
        GetControllingUnknown()->QueryInterface(IID_IUnknown,
                                                reinterpret_cast<void**>(self.GetAddressOf()));
        return g_counters.finalConstructResult;
    }
    void FinalRelease() { ++g_counters.finalReleases; }
    HRESULT STDMETHODCALLTYPE Terminate(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnEvent(ULONG_PTR) override { return S_OK; }

  protected:
    CTestObject() {
        if (g_counters.throwInConstructor)
            throw std::runtime_error("constructor fails");
        ++g_counters.constructed;
    }
    ~CTestObject() { ++g_counters.destroyed; }
};

// A minimal outer object that aggregates a CTestObject and forwards the inner's interfaces.
class COuter : public CK47ComObjectRoot, public IK47ObjectConfiguration {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable() {
        static constexpr K47InterfaceEntry kTable[] = {
            K47Entry<COuter, IK47ObjectConfiguration>(),
            K47ForwardEntry(nullptr, &COuter::Forward),
        };
        static_assert(K47ValidTable(kTable));
        return kTable;
    }
    HRESULT FinalConstruct() {
        return K47CreateObject<CTestObject>(GetControllingUnknown(), IID_IUnknown,
                                            reinterpret_cast<void**>(inner_.GetAddressOf()));
    }
    void FinalRelease() { inner_.Reset(); }
    HRESULT STDMETHODCALLTYPE Initialize(IXMLDOMElement*, IUnknown*, ULONG_PTR) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reconfigure(IXMLDOMElement*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE MakeDefault(IXMLDOMElement*) override { return E_NOTIMPL; }
    ULONG OuterCount() {
        AddRef_();
        return Release_();
    }

  protected:
    COuter() = default;
    ~COuter() = default;

  private:
    static HRESULT Forward(void* self, REFIID riid, void** ppv) {
        return static_cast<COuter*>(self)->inner_->QueryInterface(riid, ppv);
    }
    ULONG AddRef_() { return static_cast<IK47ObjectConfiguration*>(this)->AddRef(); }
    ULONG Release_() { return static_cast<IK47ObjectConfiguration*>(this)->Release(); }
    ComPtr<IUnknown> inner_;
};

class ComRootTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_counters = Counters{};
        base_locks_ = g_K47PTZModule.GetLockCount();
    }
    LONG ExtraLocks() const { return g_K47PTZModule.GetLockCount() - base_locks_; }
    LONG base_locks_ = 0;
};

}  // namespace

TEST_F(ComRootTest, QueryInterfaceFollowsTheIdentityRules) {
    ComPtr<IK47Terminate> terminate;
    ASSERT_HR_OK(K47CreateObject<CTestObject>(nullptr, IID_IK47Terminate,
                                              reinterpret_cast<void**>(terminate.GetAddressOf())));
    ComPtr<IK47EventSink> sink;
    ASSERT_HR_OK(terminate.As(&sink));
    ComPtr<IUnknown> viaTerminate, viaSink;
    ASSERT_HR_OK(terminate.As(&viaTerminate));
    ASSERT_HR_OK(sink.As(&viaSink));
    EXPECT_EQ(viaTerminate.Get(), viaSink.Get());  // one identity whatever the path

    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_HR(E_NOINTERFACE, terminate->QueryInterface(IID_IK47PTZCamera, &out));
    EXPECT_EQ(out, nullptr);  // a failed query clears the result
    EXPECT_HR(E_POINTER, terminate->QueryInterface(IID_IK47EventSink, nullptr));
}

TEST_F(ComRootTest, ReferencesKeepTheObjectAndOneModuleLockAlive) {
    ComPtr<IK47Terminate> terminate;
    ASSERT_HR_OK(K47CreateObject<CTestObject>(nullptr, IID_IK47Terminate,
                                              reinterpret_cast<void**>(terminate.GetAddressOf())));
    EXPECT_EQ(ExtraLocks(), 1);
    EXPECT_EQ(terminate->AddRef(), 2u);
    EXPECT_EQ(terminate->Release(), 1u);
    EXPECT_EQ(g_counters.finalReleases, 0);
    terminate.Reset();
    EXPECT_EQ(g_counters.finalReleases, 1);
    EXPECT_EQ(g_counters.destroyed, 1);
    EXPECT_EQ(ExtraLocks(), 0);
}

TEST_F(ComRootTest, CreationFailuresDestroyTheObjectAndReportTheirResult) {
    void* out = reinterpret_cast<void*>(0x1);
    g_counters.throwInConstructor = true;
    EXPECT_HR(E_OUTOFMEMORY, K47CreateObject<CTestObject>(nullptr, IID_IK47Terminate, &out));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(ExtraLocks(), 0);

    g_counters = Counters{};
    g_counters.finalConstructResult = E_ACCESSDENIED;
    EXPECT_HR(E_ACCESSDENIED, K47CreateObject<CTestObject>(nullptr, IID_IK47Terminate, &out));
    EXPECT_EQ(g_counters.constructed, 1);
    EXPECT_EQ(g_counters.destroyed, 1);
    EXPECT_EQ(g_counters.finalReleases, 1);  // final release runs before every destruction
    EXPECT_EQ(ExtraLocks(), 0);

    g_counters = Counters{};
    EXPECT_HR(E_NOINTERFACE, K47CreateObject<CTestObject>(nullptr, IID_IK47PTZCamera, &out));
    EXPECT_EQ(g_counters.destroyed, 1);
    EXPECT_EQ(ExtraLocks(), 0);
}

TEST_F(ComRootTest, AggregationRulesOfTheCreationFunction) {
    ComPtr<IUnknown> outer;
    COuter* outerObject = nullptr;
    ASSERT_HR_OK(K47CreateInstance<COuter>(outer.GetAddressOf(), &outerObject));
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_HR(CLASS_E_NOAGGREGATION,
              K47CreateObject<CTestObject>(outer.Get(), IID_IK47Terminate, &out));
    EXPECT_EQ(out, nullptr);
    EXPECT_HR(E_POINTER, K47CreateObject<CTestObject>(nullptr, IID_IK47Terminate, nullptr));
}

TEST_F(ComRootTest, AggregatedObjectDelegatesIdentityAndCountsToTheOuterObject) {
    ComPtr<IUnknown> outer;
    COuter* outerObject = nullptr;
    ASSERT_HR_OK(K47CreateInstance<COuter>(outer.GetAddressOf(), &outerObject));
    EXPECT_EQ(g_counters.constructed, 1);
    EXPECT_EQ(ExtraLocks(), 2);  // the outer object and the aggregated one

    // The inner interface is reached through the outer object and belongs to its identity.
    ComPtr<IK47Terminate> terminate;
    ASSERT_HR_OK(outer.As(&terminate));
    ComPtr<IUnknown> identity;
    ASSERT_HR_OK(terminate.As(&identity));
    EXPECT_EQ(identity.Get(), outer.Get());
    // ... and back from the inner interface to the outer's own interface.
    ComPtr<IK47ObjectConfiguration> configuration;
    ASSERT_HR_OK(terminate.As(&configuration));
    EXPECT_EQ(static_cast<IK47ObjectConfiguration*>(outerObject), configuration.Get());

    // References taken through the inner interface count on the outer object.
    ULONG before = outerObject->OuterCount();
    terminate->AddRef();
    EXPECT_EQ(outerObject->OuterCount(), before + 1);
    terminate->Release();
    EXPECT_EQ(outerObject->OuterCount(), before);

    // Releasing everything ends both; the inner's final release runs once.
    terminate.Reset();
    identity.Reset();
    configuration.Reset();
    outer.Reset();
    EXPECT_EQ(g_counters.finalReleases, 1);
    EXPECT_EQ(g_counters.destroyed, 1);
    EXPECT_EQ(ExtraLocks(), 0);
}
