// The library's proxies and stubs over a real connection (the test process serves its fakes
// through the local-server socket): every argument kind in both directions (scalars and
// enumerations at their limits, BSTR null / empty / with an embedded NUL, [out] scalars, strings,
// interfaces and VARIANTs, null [out] pointers reaching the object), placeholders and methods that
// cannot cross, failures coming back, and no proxy or stub left once everything is released.
#include <gtest/gtest.h>
#include <k47/localserver.h>
#include <k47/rpc.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "frame/K47PTZ.h"
#include "frame/ProxyStub.h"
#include "tests/support/FakeHost.h"
#include "tests/support/LocalServerSupport.h"
#include "tests/support/RecordingDriver.h"
#include "tests/support/TestUtil.h"

using k47test::CameraCall;
using Microsoft::WRL::ComPtr;

namespace {

// {5E0B6C1D-1A77-4C39-9A7E-3B2D1C0F4E61}: the class the fake host is offered as.
DEFINE_GUID(CLSID_TestHost, 0x5E0B6C1D, 0x1A77, 0x4C39, 0x9A, 0x7E, 0x3B, 0x2D, 0x1C, 0x0F, 0x4E,
            0x61);

// A client object of the test's own that records what Connect and MoveRelative receive.
class CEchoClient : public CK47ComObjectRoot, public IK47PTZClient {
  public:
    static std::span<const K47InterfaceEntry> GetInterfaceTable() {
        static constexpr K47InterfaceEntry kTable[] = {K47Entry<CEchoClient, IK47PTZClient>()};
        return kTable;
    }
    HRESULT STDMETHODCALLTYPE Connect(BSTR address, BSTR camera) override {
        addressNull = address == nullptr;
        this->address = k47test::BstrText(address);
        this->camera = k47test::BstrText(camera);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE MoveRelative(SHORT pan, SHORT, SHORT, SHORT, SHORT iris) override {
        last = {pan, iris};
        return pan < 0 ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Command(PTZCOMMAND, INT_PTR) override { return E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE EndMotion() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE MenuCommand(PTZMENUCOMMAND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE QueryFunctions(PTZFUNCTION* pFunc, ULONG* pPresetCount) override {
        if (pFunc == nullptr || pPresetCount == nullptr)
            return E_POINTER;
        *pFunc = PTZFUNC_END;
        *pPresetCount = 0xFFFFFFFFu;
        return S_OK;
    }

    bool addressNull = false;
    std::u16string address, camera;
    std::pair<SHORT, SHORT> last{};

  protected:
    CEchoClient() = default;
    ~CEchoClient() = default;
};

class ProxyStubTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host_ = k47test::CFakeHost::Create(&host_object_);
        camera_identity_ = k47test::CRecordingCamera::Create(&camera_);
        host_object_->AddName(u"cam/PTZ", camera_identity_.Get());
        ASSERT_HR_OK(servers_.Publish(CLSID_TestHost, host_.Get()));
        ASSERT_HR_OK(CoCreateInstance(CLSID_TestHost, nullptr, CLSCTX_LOCAL_SERVER,
                                      IID_IK47ObjectServer,
                                      reinterpret_cast<void**>(server_.GetAddressOf())));
        EXPECT_EQ(1u, k47::LocalServerConnectionCount()) << "the calls go through the socket";
    }
    void TearDown() override {
        server_.Reset();
        servers_.Revoke();
    }

    ComPtr<IK47PTZCamera> RemoteCamera() {
        ComPtr<IUnknown> found;
        BSTR name = SysAllocString(OLESTR("cam"));
        BSTR path = SysAllocString(OLESTR("PTZ"));
        EXPECT_HR_OK(server_->LookupObject(name, path, found.GetAddressOf()));
        SysFreeString(name);
        SysFreeString(path);
        ComPtr<IK47PTZCamera> camera;
        if (found) {
            EXPECT_HR_OK(found.As(&camera));
        }
        return camera;
    }

    k47test::ScopedRegistryFolder registry_;
    k47test::ScopedLocalServers servers_;
    ComPtr<IUnknown> host_;
    k47test::CFakeHost* host_object_ = nullptr;
    ComPtr<IUnknown> camera_identity_;
    k47test::CRecordingCamera* camera_ = nullptr;
    ComPtr<IK47ObjectServer> server_;
};

TEST(ProxyStubTables, EveryMethodSitsInItsSlot) {
    // Guards the tables against a method listed out of order or an interface that grew.
    EXPECT_TRUE(K47ProxyStubTablesMatchInterfaces());
    ComPtr<IK47PSFactory> factory;
    EXPECT_HR_OK(K47ProxyStubGetClassObject(CLSID_K47PTZProxyStub, IID_IK47PSFactory,
                                            reinterpret_cast<void**>(factory.GetAddressOf())));
    void* out = reinterpret_cast<void*>(1);
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE,
              K47ProxyStubGetClassObject(CLSID_PTZCamera, IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    ComPtr<IK47RpcStub> stub;
    EXPECT_HR(E_NOINTERFACE,
              factory->CreateStub(IID_IClassFactory, factory.Get(), stub.GetAddressOf()));
}

TEST_F(ProxyStubTest, StringsAndInterfacesCross) {
    struct Case {
        const char* label;
        const OLECHAR* name;  // null: a null BSTR
        UINT nameLength;
        const OLECHAR* path;
        UINT pathLength;
        bool found;
    } cases[] = {
        {"name and path", u"cam", 3, u"PTZ", 3, true},
        {"null name, empty path", nullptr, 0, u"", 0, false},
        {"empty name, null path", u"", 0, nullptr, 0, false},
        {"embedded NUL", u"ca\0m", 4, u"PTZ", 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        BSTR name = c.name != nullptr ? SysAllocStringLen(c.name, c.nameLength) : nullptr;
        BSTR path = c.path != nullptr ? SysAllocStringLen(c.path, c.pathLength) : nullptr;
        IUnknown* found = reinterpret_cast<IUnknown*>(1);
        HRESULT hr = server_->LookupObject(name, path, &found);
        SysFreeString(name);
        SysFreeString(path);
        EXPECT_HR(c.found ? S_OK : HRESULT_FROM_WIN32(ERROR_NOT_FOUND), hr);
        EXPECT_EQ(c.found, found != nullptr) << "a failed call's [out] pointer comes back null";
        if (found != nullptr)
            found->Release();
        auto call = host_object_->LookupCalls().back();
        EXPECT_EQ(c.name != nullptr, call.hasName);
        EXPECT_EQ(std::u16string(c.name != nullptr ? c.name : u"", c.nameLength), call.name);
        EXPECT_EQ(c.path != nullptr, call.hasPath);
        EXPECT_EQ(std::u16string(c.path != nullptr ? c.path : u"", c.pathLength), call.path);
    }
    EXPECT_HR(E_POINTER, server_->LookupObject(nullptr, nullptr, nullptr))
        << "null [out] reaches the object";

    host_object_->AddObjectName(u"cam", u"Pelco\u00e9");
    BSTR name = SysAllocString(OLESTR("cam"));
    BSTR result = reinterpret_cast<BSTR>(1);
    EXPECT_HR_OK(server_->GetObjectName(name, &result));
    EXPECT_EQ(u"Pelco\u00e9", k47test::BstrText(result));
    SysFreeString(result);
    BSTR other = SysAllocString(OLESTR("nobody"));
    result = reinterpret_cast<BSTR>(1);
    EXPECT_FALSE(SUCCEEDED(server_->GetObjectName(other, &result)));
    EXPECT_EQ(nullptr, result);
    SysFreeString(other);
    SysFreeString(name);

    // Placeholders fail here without crossing; the status check comes back as the host says.
    EXPECT_HR(E_NOTIMPL, server_->Reserved1());
    EXPECT_HR(E_NOTIMPL, server_->Reserved15());
    for (HRESULT status : {S_OK, S_FALSE, E_UNEXPECTED}) {
        host_object_->SetStatus(status);
        EXPECT_HR(status, server_->StatusCheck());
    }
    EXPECT_EQ(3, host_object_->StatusChecks());
}

TEST_F(ProxyStubTest, VariantsAndReturnedInterfacesCross) {
    ComPtr<IK47VariableStore> store;
    ASSERT_HR_OK(server_.As(&store)) << "QueryInterface across";
    BSTR name = SysAllocString(OLESTR("PTZPreset.cam"));
    ComPtr<IK47Variable> variable;
    ASSERT_HR_OK(store->GetVariable(name, variable.GetAddressOf()));
    SysFreeString(name);
    k47test::CFakeVariable* fake = host_object_->Variable(u"PTZPreset.cam");
    ASSERT_NE(nullptr, fake);

    VARIANT values[5];
    for (VARIANT& v : values)
        VariantInit(&v);
    values[0].vt = VT_I4;
    values[0].lVal = -7;
    values[1].vt = VT_BSTR;
    values[1].bstrVal = SysAllocString(OLESTR("seven"));
    values[2].vt = VT_R8;
    values[2].dblVal = 2.5;
    values[3].vt = VT_BOOL;
    values[3].boolVal = VARIANT_TRUE;
    values[4].vt = VT_EMPTY;
    for (VARIANT& v : values) {
        SCOPED_TRACE(v.vt);
        ASSERT_HR_OK(variable->SetValue(v));
        VARIANT back;
        back.vt = VT_I2;  // an [out] VARIANT is overwritten, not cleared
        ASSERT_HR_OK(variable->GetValue(&back));
        EXPECT_EQ(v.vt, back.vt);
        if (v.vt == VT_BSTR) {
            EXPECT_EQ(u"seven", k47test::BstrText(back.bstrVal));
        } else {
            EXPECT_EQ(v.ullVal, back.ullVal);
        }
        VariantClear(&back);
    }
    EXPECT_EQ((std::vector<std::string>{"I4:-7", "BSTR:seven", "VT5", "VT11", "EMPTY"}),
              fake->History());
    VariantClear(&values[1]);

    // An interface inside a VARIANT does not cross: refused before anything is sent.
    VARIANT unknown;
    VariantInit(&unknown);
    unknown.vt = VT_UNKNOWN;
    unknown.punkVal = camera_identity_.Get();
    EXPECT_HR(DISP_E_BADVARTYPE, variable->SetValue(unknown));
    EXPECT_EQ(5u, fake->History().size());
    // Advise would need the sink to cross the other way.
    DWORD cookie = 0;
    EXPECT_HR(E_NOTIMPL, variable->Advise(nullptr, &cookie));
    EXPECT_EQ(0u, fake->SinkCount());
    EXPECT_HR(E_INVALIDARG, variable->Unadvise(77));
    EXPECT_EQ(std::vector<DWORD>{77}, fake->Unadvised());
}

TEST_F(ProxyStubTest, PortServiceDriverAndClientCross) {
    k47test::CFakePortService* ports = nullptr;
    ComPtr<IK47PortService> portService = k47test::CFakePortService::Create(&ports);
    ports->SetPorts({40000, 40001}, E_OUTOFMEMORY);
    k47test::CRecordingDriver* driver = nullptr;
    ComPtr<IK47PTZProtocol> protocol = k47test::CRecordingDriver::Create(&driver);
    driver->SetFunctions(PTZFUNC_CLEARPRESET, 16);
    ComPtr<IUnknown> clientIdentity;
    CEchoClient* client = nullptr;
    ASSERT_HR_OK(K47CreateInstance<CEchoClient>(clientIdentity.GetAddressOf(), &client));
    host_object_->AddName(u"ports", portService.Get());
    host_object_->AddName(u"driver", protocol.Get());
    host_object_->AddName(u"client", clientIdentity.Get());

    auto lookup = [&](const OLECHAR* what, REFIID iid, void** out) {
        ComPtr<IUnknown> found;
        BSTR name = SysAllocString(what);
        HRESULT hr = server_->LookupObject(name, nullptr, found.GetAddressOf());
        SysFreeString(name);
        return SUCCEEDED(hr) ? found->QueryInterface(iid, out) : hr;
    };
    ComPtr<IK47PortService> remotePorts;
    ASSERT_HR_OK(lookup(u"ports", IID_IK47PortService,
                        reinterpret_cast<void**>(remotePorts.GetAddressOf())));
    USHORT port = 0;
    EXPECT_HR_OK(remotePorts->AllocatePort(&port));
    EXPECT_EQ(40000, port);
    EXPECT_HR_OK(remotePorts->AllocatePort(&port));
    EXPECT_EQ(40001, port);
    EXPECT_HR(E_OUTOFMEMORY, remotePorts->AllocatePort(&port));
    EXPECT_HR_OK(remotePorts->ReleasePort(40000));
    EXPECT_EQ(std::vector<USHORT>{40000}, ports->Released());
    ports->SetEnabled(true);
    EXPECT_EQ(1, remotePorts->IsEnabled()) << "IsEnabled's value comes back as it is";
    ports->SetEnabled(false);
    EXPECT_EQ(0, remotePorts->IsEnabled());

    ComPtr<IK47PTZProtocol> remoteDriver;
    ASSERT_HR_OK(lookup(u"driver", IID_IK47PTZProtocol,
                        reinterpret_cast<void**>(remoteDriver.GetAddressOf())));
    const INT_PTR address = static_cast<INT_PTR>(-0x7FFFFFFFFFFFLL);
    EXPECT_HR_OK(remoteDriver->MoveRelative(address, 1, 2, 3, 4, 5));
    PTZFUNCTION functions = PTZFUNCTION(0);
    ULONG presets = 0;
    EXPECT_HR_OK(remoteDriver->QueryFunctions(address, &functions, &presets));
    EXPECT_EQ(PTZFUNC_CLEARPRESET, functions);
    EXPECT_EQ(16u, presets);
    // An XML element and an outer object cannot cross.
    IUnknown* camera = reinterpret_cast<IUnknown*>(1);
    EXPECT_HR(E_NOTIMPL, remoteDriver->AddCamera(nullptr, nullptr, nullptr, &camera));
    auto moves = driver->Calls(k47test::DriverCall::Kind::Move);
    ASSERT_EQ(1u, moves.size());
    EXPECT_EQ(address, moves[0].address);
    EXPECT_EQ(5, moves[0].iris);
    EXPECT_EQ(0u, driver->Count(k47test::DriverCall::Kind::AddCamera));
    ComPtr<IK47ObjectConfiguration> configuration;
    EXPECT_HR(E_NOINTERFACE, remoteDriver.As(&configuration)) << "the recording driver has none";

    ComPtr<IK47PTZClient> remoteClient;
    ASSERT_HR_OK(lookup(u"client", IID_IK47PTZClient,
                        reinterpret_cast<void**>(remoteClient.GetAddressOf())));
    BSTR cameraName = SysAllocString(OLESTR("Eingang Süd"));
    EXPECT_HR_OK(remoteClient->Connect(nullptr, cameraName));
    SysFreeString(cameraName);
    EXPECT_TRUE(client->addressNull);
    EXPECT_EQ(u"Eingang Süd", client->camera);
    EXPECT_HR(S_FALSE, remoteClient->MoveRelative(-3, 0, 0, 0, 9))
        << "S_FALSE is not a failure to hide";
    EXPECT_EQ((std::pair<SHORT, SHORT>{-3, 9}), client->last);
    EXPECT_HR(E_ACCESSDENIED, remoteClient->Command(PTZCMD_GOTOPRESET, 1));
    EXPECT_HR_OK(remoteClient->QueryFunctions(&functions, &presets));
    EXPECT_EQ(PTZFUNC_END, functions);
    EXPECT_EQ(0xFFFFFFFFu, presets);
}

TEST_F(ProxyStubTest, NothingIsLeftAfterTheLastRelease) {
    {
        ComPtr<IK47PTZCamera> camera = RemoteCamera();
        ASSERT_TRUE(camera);
        EXPECT_FALSE(K47ProxyStubCanUnloadNow()) << "proxies and stubs are alive";
        EXPECT_HR_OK(camera->EndMotion());
    }
    server_.Reset();
    servers_.Revoke();
    EXPECT_TRUE(k47test::WaitUntil([] { return k47::LocalServerConnectionCount() == 0; },
                                   std::chrono::seconds(10)));
    EXPECT_TRUE(K47ProxyStubCanUnloadNow());
    // Only the test's and the host's references are left on the camera: the stubs let go.
    camera_identity_->AddRef();
    EXPECT_EQ(2u, camera_identity_->Release());
}

}  // namespace
