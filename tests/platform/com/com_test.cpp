// COM runtime conformance: apartment counting, activation through the registry and a real
// in-process server module (by CLSID, by ProgID with CurVer), activation errors, and the
// free-threaded marshaler's in-process marshaling. Every test has its own registry folder and its
// own copy of the test module.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ScopedRegistryFolder.h"
#include "testmodule/test_thing.h"
#include "windows.h"
#include "wrl/client.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr const char* kClsidText = "{6B1C4E1A-33D0-4E55-9C7B-2F2A4B0D9E10}";
// A class the test module does not serve.
DEFINE_GUID(CLSID_Stranger, 0x6B1C4E1A, 0x33D0, 0x4E55, 0x9C, 0x7B, 0x2F, 0x2A, 0x4B, 0x0D, 0x9E,
            0x11);
constexpr const char* kStrangerText = "{6B1C4E1A-33D0-4E55-9C7B-2F2A4B0D9E11}";
void* const kSentinel = reinterpret_cast<void*>(0x1234);

// Test-side objects count their references so that tests can check every AddRef is balanced.
class CountedThing final : public ITestThing {
  public:
    explicit CountedThing(LONG value) : value_(value) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == __uuidof(ITestThing)) {
            *ppv = static_cast<ITestThing*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }  // owned by the test
    STDMETHODIMP SetValue(LONG v) override {
        value_ = v;
        return S_OK;
    }
    STDMETHODIMP GetValue(LONG* v) override {
        *v = value_;
        return S_OK;
    }
    std::atomic<ULONG> refs{0};

  private:
    LONG value_;
};

// A controlling object offered for aggregation; counts the references taken on it.
class Outer final : public IUnknown {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    std::atomic<ULONG> refs{0};
};

// An in-memory IStream: enough for marshaling.
class MemoryStream final : public IStream {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream) {
            *ppv = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* read) override {
        ULONG n = static_cast<ULONG>(std::min<size_t>(cb, data.size() - pos));
        std::memcpy(pv, data.data() + pos, n);
        pos += n;
        if (read != nullptr)
            *read = n;
        return n == cb ? S_OK : S_FALSE;
    }
    STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* written) override {
        const auto* p = static_cast<const BYTE*>(pv);
        data.insert(data.end(), p, p + cb);
        if (written != nullptr)
            *written = cb;
        return S_OK;
    }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* now) override {
        if (origin != STREAM_SEEK_SET)
            return STG_E_INVALIDFUNCTION;
        pos = static_cast<size_t>(move.QuadPart);
        if (now != nullptr)
            now->QuadPart = pos;
        return S_OK;
    }
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }
    void Rewind() { pos = 0; }
    std::vector<BYTE> data;
    size_t pos = 0;
};

void SetDefault(const std::string& path, const std::string& value, const char* name = nullptr) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)));
    RegCloseKey(key);
}

// Registers a CLSID the way the library's registration scripts do.
void RegisterClass(const std::string& clsid, const std::string& module) {
    SetDefault("CLSID\\" + clsid, "TestThing Class");
    SetDefault("CLSID\\" + clsid + "\\InprocServer32", module);
    SetDefault("CLSID\\" + clsid + "\\InprocServer32", "Both", "ThreadingModel");
    SetDefault("CLSID\\" + clsid + "\\ProgID", "K47Test.TestThing.1");
    SetDefault("K47Test.TestThing.1", "TestThing Class");
    SetDefault("K47Test.TestThing.1\\CLSID", clsid);
    SetDefault("K47Test.TestThing", "TestThing Class");
    SetDefault("K47Test.TestThing\\CurVer", "K47Test.TestThing.1");
}

class ComTest : public ::testing::Test {
  protected:
    // Class objects registered for CLSCTX_LOCAL_SERVER bind a socket: in the test's folder.
    void SetUp() override {
        setenv("K47_RUNTIME_DIR", (sandbox_.Path() + "/run").c_str(), 1);
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    }
    void TearDown() override {
        CoUninitialize();
        unsetenv("K47_RUNTIME_DIR");
    }

    // A fresh copy of a module in this test's folder: its own statics, its own counters.
    std::string CopyOf(const char* module, const char* name) {
        std::string path = sandbox_.Path() + "/" + name;
        std::filesystem::copy_file(module, path);
        return path;
    }

    static TestModuleCounters Counters(const std::string& path) {
        TestModuleCounters counters{};
        HMODULE module = LoadLibraryA(path.c_str());
        EXPECT_NE(nullptr, module);
        if (module == nullptr)
            return counters;
        auto proc = reinterpret_cast<TestModuleCountersProc>(
            reinterpret_cast<void*>(GetProcAddress(module, "TestModule_Counters")));
        EXPECT_NE(nullptr, proc);
        if (proc != nullptr)
            proc(&counters);
        FreeLibrary(module);
        return counters;
    }

    k47test::ScopedRegistryFolder sandbox_;
};

// Runs f on a new thread that starts with no COM state of its own.
template <class F>
void OnFreshThread(F f) {
    std::thread(f).join();
}

TEST(ComApartment, CountsCallsPerThreadAndRejectsAModelChange) {
    constexpr DWORD MTA = COINIT_MULTITHREADED;
    constexpr DWORD STA = COINIT_APARTMENTTHREADED;
    struct Step {
        bool init;  // else CoUninitialize
        DWORD model;
        HRESULT expected;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"same model counts", {{true, MTA, S_OK}, {true, MTA, S_FALSE}, {true, MTA, S_FALSE}}},
        {"MTA then STA", {{true, MTA, S_OK}, {true, STA, RPC_E_CHANGED_MODE}}},
        {"STA then MTA",
         {{true, STA, S_OK}, {true, MTA, RPC_E_CHANGED_MODE}, {true, STA, S_FALSE}}},
        // Only the last CoUninitialize leaves; then any model may be chosen.
        {"balanced calls leave",
         {{true, MTA, S_OK},
          {true, MTA, S_FALSE},
          {false, 0, S_OK},
          {true, STA, RPC_E_CHANGED_MODE},
          {false, 0, S_OK},
          {true, STA, S_OK}}},
        // The refused call is not counted: one CoUninitialize balances the one S_OK.
        {"refused call not counted",
         {{true, STA, S_OK}, {true, MTA, RPC_E_CHANGED_MODE}, {false, 0, S_OK}, {true, MTA, S_OK}}},
        {"extra flags are fine",
         {{true, MTA | COINIT_DISABLE_OLE1DDE, S_OK}, {true, MTA, S_FALSE}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        OnFreshThread([&c] {
            int balance = 0;
            for (size_t i = 0; i < c.steps.size(); ++i) {
                SCOPED_TRACE(testing::Message() << "step " << i);
                const Step& s = c.steps[i];
                if (s.init) {
                    HRESULT hr = CoInitializeEx(nullptr, s.model);
                    EXPECT_EQ(s.expected, hr);
                    if (SUCCEEDED(hr))
                        ++balance;
                } else {
                    CoUninitialize();
                    --balance;
                }
            }
            while (balance-- > 0)
                CoUninitialize();
        });
    }
    OnFreshThread([] {
        int reserved = 0;
        EXPECT_EQ(E_INVALIDARG, CoInitializeEx(&reserved, COINIT_MULTITHREADED));
        EXPECT_EQ(E_INVALIDARG, CoInitializeEx(nullptr, 0x100));
        EXPECT_EQ(S_OK, CoInitialize(nullptr)) << "the refused calls left no state";
        EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        CoUninitialize();
    });
}

TEST_F(ComTest, CreatesThroughTheRegistryByClsidAndProgId) {
    const std::string module = CopyOf(K47_TEST_MODULE_PATH, "thing.so");
    RegisterClass(kClsidText, module);

    ComPtr<ITestThing> a;
    ASSERT_EQ(S_OK,
              CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITestThing),
                               reinterpret_cast<void**>(a.GetAddressOf())));
    ASSERT_EQ(S_OK, a->SetValue(41));
    ComPtr<ITestThing> b;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_ALL, __uuidof(ITestThing),
                                     reinterpret_cast<void**>(b.GetAddressOf())));
    LONG v = 0;
    ASSERT_EQ(S_OK, b->GetValue(&v));
    EXPECT_EQ(0, v) << "two creations are two objects";

    TestModuleCounters c = Counters(module);
    EXPECT_EQ(1, c.process_attach) << "the module is loaded once for all activations";
    EXPECT_EQ(2, c.live_objects);
    EXPECT_EQ(module, std::string(c.attach_path));
    a.Reset();
    b.Reset();
    EXPECT_EQ(0, Counters(module).live_objects);

    struct ProgIdCase {
        const char16_t* progid;
        HRESULT expected;
    } progids[] = {
        {u"K47Test.TestThing.1", S_OK},         {u"K47Test.TestThing", S_OK},  // through CurVer
        {u"k47test.testthing", S_OK},  // names are case-insensitive
        {u"K47Test.Unknown", CO_E_CLASSSTRING}, {u"", CO_E_CLASSSTRING},
        {u"CLSID", CO_E_CLASSSTRING},  // a key, but not a ProgID
    };
    for (const auto& p : progids) {
        SCOPED_TRACE(testing::Message() << "ProgID #" << (&p - progids));
        CLSID clsid = GUID_NULL;
        EXPECT_EQ(p.expected, CLSIDFromProgID(p.progid, &clsid));
        EXPECT_EQ(p.expected == S_OK ? CLSID_TestThing : GUID_NULL, clsid);
    }
    // CurVer is followed once: a ProgID whose CurVer names another CurVer-only ProgID fails.
    SetDefault("K47Test.Chain\\CurVer", "K47Test.TestThing");
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"K47Test.Chain", &clsid));
    // A CLSID value that is no GUID.
    SetDefault("K47Test.Broken\\CLSID", "not-a-guid");
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"K47Test.Broken", &clsid));
    EXPECT_EQ(E_INVALIDARG, CLSIDFromProgID(nullptr, &clsid));

    LPOLESTR progid = nullptr;
    ASSERT_EQ(S_OK, ProgIDFromCLSID(CLSID_TestThing, &progid));
    EXPECT_EQ(std::u16string(u"K47Test.TestThing.1"), std::u16string(progid));
    CoTaskMemFree(progid);
    progid = reinterpret_cast<LPOLESTR>(kSentinel);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, ProgIDFromCLSID(CLSID_Stranger, &progid));
    EXPECT_EQ(nullptr, progid);

    // Created by the ProgID's CLSID, as a script would.
    ASSERT_EQ(S_OK, CLSIDFromProgID(u"K47Test.TestThing", &clsid));
    ComPtr<IUnknown> by_progid;
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(by_progid.GetAddressOf())));
}

TEST_F(ComTest, ActivationErrors) {
    const std::string good = CopyOf(K47_TEST_MODULE_PATH, "good.so");
    const std::string failing = CopyOf(K47_FAILING_MODULE_PATH, "failing.so");
    const std::string plain = CopyOf(K47_PLAIN_MODULE_PATH, "plain.so");
    struct Case {
        const char* what;
        std::string server;  // InprocServer32 default value; "-" = no InprocServer32 key
        bool registered;     // any CLSID key at all
        const GUID* clsid;
        DWORD context;
        bool aggregate;
        REFIID riid;
        HRESULT expected;
    } cases[] = {
        {"not registered", "", false, &CLSID_Stranger, CLSCTX_INPROC_SERVER, false, IID_IUnknown,
         REGDB_E_CLASSNOTREG},
        {"no InprocServer32", "-", true, &CLSID_Stranger, CLSCTX_INPROC_SERVER, false, IID_IUnknown,
         REGDB_E_CLASSNOTREG},
        {"empty server path", "", true, &CLSID_Stranger, CLSCTX_INPROC_SERVER, false, IID_IUnknown,
         REGDB_E_CLASSNOTREG},
        {"missing module file", sandbox_.Path() + "/gone.so", true, &CLSID_Stranger,
         CLSCTX_INPROC_SERVER, false, IID_IUnknown, CO_E_DLLNOTFOUND},
        {"DllMain fails", failing, true, &CLSID_Stranger, CLSCTX_INPROC_SERVER, false, IID_IUnknown,
         CO_E_ERRORINDLL},
        {"no DllGetClassObject", plain, true, &CLSID_Stranger, CLSCTX_INPROC_SERVER, false,
         IID_IUnknown, CO_E_ERRORINDLL},
        {"module does not serve the class", good, true, &CLSID_Stranger, CLSCTX_INPROC_SERVER,
         false, IID_IUnknown, CLASS_E_CLASSNOTAVAILABLE},
        {"interface the class lacks", good, true, &CLSID_TestThing, CLSCTX_INPROC_SERVER, false,
         IID_IMarshal, E_NOINTERFACE},
        {"aggregated, not IUnknown", good, true, &CLSID_TestThing, CLSCTX_INPROC_SERVER, true,
         __uuidof(ITestThing), CLASS_E_NOAGGREGATION},
        {"local server only", good, true, &CLSID_TestThing, CLSCTX_LOCAL_SERVER, false,
         IID_IUnknown, REGDB_E_CLASSNOTREG},
        {"remote server only", good, true, &CLSID_TestThing, CLSCTX_REMOTE_SERVER, false,
         IID_IUnknown, REGDB_E_CLASSNOTREG},
        {"no server context", good, true, &CLSID_TestThing, 0, false, IID_IUnknown, E_INVALIDARG},
    };
    Outer outer;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string key =
            std::string("CLSID\\") + (c.clsid == &CLSID_Stranger ? kStrangerText : kClsidText);
        RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());  // the previous case's registration
        if (c.registered) {
            SetDefault(key, "Test");
            if (c.server != "-")
                SetDefault(key + "\\InprocServer32", c.server);
        }
        void* ppv = kSentinel;
        EXPECT_EQ(c.expected, CoCreateInstance(*c.clsid, c.aggregate ? &outer : nullptr, c.context,
                                               c.riid, &ppv));
        EXPECT_EQ(nullptr, ppv);
        ppv = kSentinel;
        if (!c.aggregate && c.riid == IID_IUnknown) {
            HRESULT hr = CoGetClassObject(*c.clsid, c.context, nullptr, IID_IClassFactory, &ppv);
            EXPECT_EQ(c.expected, hr);
            EXPECT_EQ(nullptr, ppv);
        }
    }
    EXPECT_EQ(E_POINTER, CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IUnknown, nullptr));
    EXPECT_EQ(E_POINTER, CoGetClassObject(CLSID_TestThing, CLSCTX_INPROC_SERVER, nullptr,
                                          IID_IClassFactory, nullptr));
    EXPECT_EQ(0u, outer.refs.load()) << "a failed aggregation must not keep the outer object";
    EXPECT_EQ(0, Counters(good).live_objects);
}

TEST_F(ComTest, FreeThreadedMarshalerPassesThePointerWithinTheProcess) {
    ComPtr<IUnknown> ftm;
    ASSERT_EQ(S_OK, CoCreateFreeThreadedMarshaler(nullptr, ftm.GetAddressOf()));
    ComPtr<IMarshal> marshal;
    ASSERT_EQ(S_OK, ftm.As(&marshal));
    CountedThing thing(5);
    IUnknown* unk = &thing;

    CLSID cid = GUID_NULL;
    ASSERT_EQ(S_OK, marshal->GetUnmarshalClass(__uuidof(ITestThing), unk, MSHCTX_INPROC, nullptr,
                                               MSHLFLAGS_NORMAL, &cid));
    const CLSID kFreeMarshaler = {0x0000033A, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    EXPECT_EQ(kFreeMarshaler, cid);
    DWORD size = 0;
    ASSERT_EQ(S_OK, marshal->GetMarshalSizeMax(__uuidof(ITestThing), unk, MSHCTX_INPROC, nullptr,
                                               MSHLFLAGS_NORMAL, &size));

    struct Case {
        DWORD flags;
        ULONG refs_held;  // by the marshaled data
        int unmarshals;
    } cases[] = {
        {MSHLFLAGS_NORMAL, 1, 1},
        {MSHLFLAGS_TABLESTRONG, 1, 2},
        {MSHLFLAGS_TABLEWEAK, 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << c.flags);
        MemoryStream stream;
        ASSERT_EQ(S_OK, marshal->MarshalInterface(&stream, __uuidof(ITestThing), unk, MSHCTX_INPROC,
                                                  nullptr, c.flags));
        EXPECT_LE(stream.data.size(), size);
        EXPECT_EQ(c.refs_held, thing.refs.load());
        for (int i = 0; i < c.unmarshals; ++i) {
            stream.Rewind();
            // Unmarshaled on another thread: the same pointer comes out.
            ITestThing* got = nullptr;
            HRESULT hr = std::async(std::launch::async, [&] {
                             return marshal->UnmarshalInterface(&stream, __uuidof(ITestThing),
                                                                reinterpret_cast<void**>(&got));
                         }).get();
            ASSERT_EQ(S_OK, hr);
            EXPECT_EQ(static_cast<ITestThing*>(&thing), got);
            got->Release();
        }
        // A normal marshal's reference went to its unmarshal; table marshals release on demand.
        EXPECT_EQ(c.flags == MSHLFLAGS_NORMAL ? 0u : c.refs_held, thing.refs.load());
        if (c.flags != MSHLFLAGS_NORMAL) {
            stream.Rewind();
            EXPECT_EQ(S_OK, marshal->ReleaseMarshalData(&stream));
        }
        EXPECT_EQ(0u, thing.refs.load());
    }

    // Normal marshal released without unmarshaling gives its reference back.
    MemoryStream stream;
    ASSERT_EQ(S_OK, marshal->MarshalInterface(&stream, IID_IUnknown, unk, MSHCTX_CROSSCTX, nullptr,
                                              MSHLFLAGS_NORMAL));
    EXPECT_EQ(1u, thing.refs.load());
    stream.Rewind();
    EXPECT_EQ(S_OK, marshal->ReleaseMarshalData(&stream));
    EXPECT_EQ(0u, thing.refs.load());

    // Truncated or foreign data is refused.
    MemoryStream junk;
    junk.data = {1, 2, 3};
    void* out = kSentinel;
    EXPECT_EQ(RPC_E_INVALID_DATA, marshal->UnmarshalInterface(&junk, IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    // Other processes of this machine go to the standard marshaler, which marshals only inside a
    // cross-process call (the connection comes as the destination context); other machines are
    // not served.
    EXPECT_EQ(S_OK, marshal->GetUnmarshalClass(IID_IUnknown, unk, MSHCTX_LOCAL, nullptr, 0, &cid));
    EXPECT_EQ(CLSID_StdMarshal, cid);
    EXPECT_EQ(S_OK,
              marshal->GetMarshalSizeMax(IID_IUnknown, unk, MSHCTX_NOSHAREDMEM, nullptr, 0, &size));
    EXPECT_EQ(32u, size);
    MemoryStream unused;
    EXPECT_EQ(E_NOTIMPL, marshal->MarshalInterface(&unused, IID_IUnknown, unk, MSHCTX_LOCAL,
                                                   nullptr, MSHLFLAGS_NORMAL));
    EXPECT_EQ(E_NOTIMPL, marshal->GetUnmarshalClass(IID_IUnknown, unk, MSHCTX_DIFFERENTMACHINE,
                                                    nullptr, 0, &cid));
    EXPECT_TRUE(unused.data.empty());
    EXPECT_EQ(0u, thing.refs.load());
    EXPECT_EQ(E_NOINTERFACE, marshal->MarshalInterface(&unused, IID_IMarshal, unk, MSHCTX_INPROC,
                                                       nullptr, MSHLFLAGS_NORMAL));
}

}  // namespace
