// The plug-in driver wrapper with a recording supplied driver: arguments and results passed
// through unchanged, the camera creation sequence with its failures, exceptions from the driver
// turned into HRESULTs with their log lines; and the example plug-in module registered, created by
// ProgID and speaking Pelco-D on a pty behind the wrapper.
#include <gtest/gtest.h>
#include <atlbase.h>

#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>

#include "drivers/PTZ3PWrapper.h"
#include "tests/drivers/DriverTestUtil.h"
#include "tests/support/FakeHost.h"

namespace {

using namespace k47test;
using Microsoft::WRL::ComPtr;

// A supplied driver that records every call with its arguments, answers with scripted results,
// and throws on request.
class CRecordingPlugIn : public CK47ComObjectRoot, public IPTZ3PDriver {
  public:
    enum class Throw { kNo, kRuntimeError, kHresultError };
    struct Call {
        std::string name;
        INT_PTR address = 0;
        SHORT pan = 0, tilt = 0, zoom = 0, focus = 0, iris = 0;
        int command = 0;
        INT_PTR arg = 0;
        IXMLDOMElement* element = nullptr;
        void* first = nullptr;
        void* second = nullptr;
        bool operator==(const Call&) const = default;
        friend std::ostream& operator<<(std::ostream& os, const Call& c) {
            return os << c.name << "(" << c.address << ", " << c.pan << ", " << c.tilt << ", "
                      << c.zoom << ", " << c.focus << ", " << c.iris << ", " << c.command << ", "
                      << c.arg << ", " << c.element << ", " << c.first << ", " << c.second << ")";
        }
    };

    static std::span<const K47InterfaceEntry> GetInterfaceTable() {
        static constexpr K47InterfaceEntry kTable[] = {K47Entry<CRecordingPlugIn, IPTZ3PDriver>()};
        static_assert(K47ValidTable(kTable));
        return kTable;
    }

    void Script(const std::string& name, HRESULT result, Throw mode = Throw::kNo) {
        std::lock_guard<std::mutex> guard(lock_);
        results_[name] = {result, mode};
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }

    HRESULT STDMETHODCALLTYPE Reconfigure(IXMLDOMElement* pElement) override {
        Call call{"Reconfigure"};
        call.element = pElement;
        return Record(call);
    }
    HRESULT STDMETHODCALLTYPE Terminate() override { return Record(Call{"Terminate"}); }
    HRESULT STDMETHODCALLTYPE AddCamera(INT_PTR address, IXMLDOMElement* pElement) override {
        Call call{"AddCamera", address};
        call.element = pElement;
        return Record(call);
    }
    HRESULT STDMETHODCALLTYPE MoveRelative(INT_PTR address, SHORT pan, SHORT tilt, SHORT zoom,
                                           SHORT focus, SHORT iris) override {
        return Record(Call{"MoveRelative", address, pan, tilt, zoom, focus, iris});
    }
    HRESULT STDMETHODCALLTYPE Command(INT_PTR address, PTZCOMMAND cmd, INT_PTR arg) override {
        Call call{"Command", address};
        call.command = static_cast<int>(cmd);
        call.arg = arg;
        return Record(call);
    }
    HRESULT STDMETHODCALLTYPE MenuCommand(INT_PTR address, PTZMENUCOMMAND cmd) override {
        Call call{"MenuCommand", address};
        call.command = static_cast<int>(cmd);
        return Record(call);
    }
    HRESULT STDMETHODCALLTYPE QueryFunctions(INT_PTR address, PTZFUNCTION* pFunc,
                                             ULONG* pPresetCount) override {
        Call call{"QueryFunctions", address};
        call.first = pFunc;
        call.second = pPresetCount;
        if (pFunc != nullptr)
            *pFunc = static_cast<PTZFUNCTION>(0x55);
        if (pPresetCount != nullptr)
            *pPresetCount = 4242;
        return Record(call);
    }

  protected:
    CRecordingPlugIn() = default;
    ~CRecordingPlugIn() = default;

  private:
    HRESULT Record(const Call& call) {
        std::pair<HRESULT, Throw> script{S_OK, Throw::kNo};
        {
            std::lock_guard<std::mutex> guard(lock_);
            calls_.push_back(call);
            auto found = results_.find(call.name);
            if (found != results_.end())
                script = found->second;
        }
        if (script.second == Throw::kRuntimeError)
            throw std::runtime_error("supplied driver failed");
        if (script.second == Throw::kHresultError)
            throw CHresultError(__FILE__, __LINE__, script.first);
        return script.first;
    }

    std::mutex lock_;
    std::vector<Call> calls_;
    std::map<std::string, std::pair<HRESULT, Throw>> results_;
};

// The references held on an object now.
ULONG References(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

class PlugInWrapperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterLibraryClasses();
        host_ = CFakeHost::Create(&host_object_);
        ports_ = CFakePortService::Create(&ports_object_);
        ASSERT_HR_OK(
            K47CreateInstance<CRecordingPlugIn>(plug_in_identity_.GetAddressOf(), &plug_in_));
        ASSERT_HR_OK(plug_in_identity_.As(&plug_in_driver_));
        ASSERT_HR_OK(CoCreateInstance(CLSID_PTZ3PWrapper, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IK47ObjectConfiguration,
                                      reinterpret_cast<void**>(configuration_.GetAddressOf())));
        ASSERT_HR_OK(configuration_.As(&protocol_));
        element_ = XmlElement("<Protocol Name=\"P\" Driver=\"Some.Driver\"/>");
    }
    HRESULT Initialize() {
        PTZ3PInitData record{ports_.Get(), plug_in_driver_.Get()};
        return configuration_->Initialize(element_.Get(), host_.Get(),
                                          reinterpret_cast<ULONG_PTR>(&record));
    }

    CFakeHost* host_object_ = nullptr;
    ComPtr<IUnknown> host_;
    CFakePortService* ports_object_ = nullptr;
    ComPtr<IK47PortService> ports_;
    CRecordingPlugIn* plug_in_ = nullptr;
    ComPtr<IUnknown> plug_in_identity_;
    ComPtr<IPTZ3PDriver> plug_in_driver_;
    ComPtr<IK47ObjectConfiguration> configuration_;
    ComPtr<IK47PTZProtocol> protocol_;
    ComPtr<IXMLDOMElement> element_;
    LogCapture log_;
};

// A null record or a record without driver is refused; before a driver is known every call is
// E_UNEXPECTED; MakeDefault is never implemented.
TEST_F(PlugInWrapperTest, IncompleteInitDataIsRefused) {
    EXPECT_HR(E_INVALIDARG, configuration_->Initialize(element_.Get(), host_.Get(), 0));
    PTZ3PInitData noDriver{ports_.Get(), nullptr};
    EXPECT_HR(E_INVALIDARG, configuration_->Initialize(element_.Get(), host_.Get(),
                                                       reinterpret_cast<ULONG_PTR>(&noDriver)));
    EXPECT_HR(E_UNEXPECTED, configuration_->Reconfigure(element_.Get()));
    EXPECT_HR(E_UNEXPECTED, protocol_->MoveRelative(1, 0, 0, 0, 0, 0));
    ComPtr<IUnknown> camera;
    CComBSTR name(u"C");
    EXPECT_HR(E_UNEXPECTED, protocol_->AddCamera(name, XmlElement("<Camera Address=\"1\"/>").Get(),
                                                 nullptr, camera.GetAddressOf()));
    EXPECT_FALSE(camera);
    EXPECT_HR(E_NOTIMPL, configuration_->MakeDefault(element_.Get()));
    EXPECT_TRUE(plug_in_->Calls().empty());
    EXPECT_EQ(References(plug_in_driver_.Get()), 2u)
        << "a refused record keeps nothing (the test holds two)";
}

// Every argument reaches the driver as given, and every result (success codes other than S_OK and
// failures alike) comes back unchanged.
TEST_F(PlugInWrapperTest, CallsPassThroughUnchanged) {
    plug_in_->Script("Reconfigure", 2);
    EXPECT_HR(2, Initialize()) << "Initialize ends with the driver's Reconfigure";
    PTZFUNCTION functions = static_cast<PTZFUNCTION>(0);
    ULONG presets = 0;
    auto other = XmlElement("<Protocol Name=\"Q\"/>");
    struct Case {
        const char* name;
        HRESULT result;
        std::function<HRESULT()> call;
        CRecordingPlugIn::Call expected;
    };
    const INT_PTR kMax = std::numeric_limits<INT_PTR>::max();
    const INT_PTR kMin = std::numeric_limits<INT_PTR>::min();
    const Case cases[] = {
        {"MoveRelative",
         S_FALSE,
         [&] { return protocol_->MoveRelative(-5, -32768, 32767, 0, 1, -1); },
         {"MoveRelative", -5, -32768, 32767, 0, 1, -1}},
        {"Command",
         E_ACCESSDENIED,
         [&] { return protocol_->Command(kMax, static_cast<PTZCOMMAND>(0x7FFFFFFF), kMin); },
         {"Command", kMax, 0, 0, 0, 0, 0, 0x7FFFFFFF, kMin}},
        {"MenuCommand",
         static_cast<HRESULT>(0x80041234),
         [&] { return protocol_->MenuCommand(0, static_cast<PTZMENUCOMMAND>(42)); },
         {"MenuCommand", 0, 0, 0, 0, 0, 0, 42}},
        {"QueryFunctions",
         7,
         [&] { return protocol_->QueryFunctions(9, &functions, &presets); },
         {"QueryFunctions", 9, 0, 0, 0, 0, 0, 0, 0, nullptr, &functions, &presets}},
        {"Reconfigure",
         E_FAIL,
         [&] { return configuration_->Reconfigure(other.Get()); },
         {"Reconfigure", 0, 0, 0, 0, 0, 0, 0, 0, other.Get()}},
        {"Terminate",
         5,
         [&] {
             ComPtr<IK47Terminate> terminate;
             EXPECT_HR_OK(configuration_.As(&terminate));
             return terminate->Terminate(TRUE);
         },
         {"Terminate"}},
    };
    for (const Case& c : cases) {
        plug_in_->Script(c.name, c.result);
        size_t before = plug_in_->Calls().size();
        EXPECT_HR(c.result, c.call()) << c.name;
        std::vector<CRecordingPlugIn::Call> calls = plug_in_->Calls();
        ASSERT_EQ(calls.size(), before + 1) << c.name << ": one call each";
        EXPECT_EQ(calls.back(), c.expected) << c.name;
    }
    EXPECT_EQ(functions, 0x55);
    EXPECT_EQ(presets, 4242u);
    EXPECT_EQ(plug_in_->Calls()[0].element, element_.Get()) << "Initialize hands on its element";
    EXPECT_TRUE(log_.Lines().empty()) << "results are not failures of the wrapper";
}

// A failing step returns its HRESULT; the camera stays in *ppCamera for the caller.
TEST_F(PlugInWrapperTest, AddCameraFailuresKeepTheCamera) {
    ASSERT_HR_OK(Initialize());
    CComBSTR name(u"Door");

    ComPtr<IUnknown> refused;
    EXPECT_HR(
        HRESULT_FROM_WIN32(ERROR_NOT_FOUND),
        protocol_->AddCamera(name, XmlElement("<Camera/>").Get(), nullptr, refused.GetAddressOf()))
        << "a camera element without address";
    EXPECT_TRUE(refused) << "the camera is kept";
    EXPECT_EQ(plug_in_->Calls().back().name, "Reconfigure") << "the driver is not told";

    plug_in_->Script("AddCamera", E_ACCESSDENIED);
    ComPtr<IUnknown> declined;
    EXPECT_HR(E_ACCESSDENIED,
              protocol_->AddCamera(name, XmlElement("<Camera Address=\"4\"/>").Get(), nullptr,
                                   declined.GetAddressOf()));
    ASSERT_TRUE(declined);
    ComPtr<IK47PTZCamera> control;
    ASSERT_HR_OK(declined.As(&control));
    INT_PTR address = 0;
    EXPECT_HR_OK(control->GetAddress(&address));
    EXPECT_EQ(address, 4);

    plug_in_->Script("AddCamera", E_ACCESSDENIED, CRecordingPlugIn::Throw::kHresultError);
    ComPtr<IUnknown> thrown;
    log_.Clear();
    EXPECT_HR(E_ACCESSDENIED,
              protocol_->AddCamera(name, XmlElement("<Camera Address=\"5\"/>").Get(), nullptr,
                                   thrown.GetAddressOf()));
    EXPECT_TRUE(thrown);
    ASSERT_EQ(log_.Lines().size(), 1u);
    EXPECT_GT(HandlerLine(log_.Lines()[0], "PTZ3PWrapper"), 0) << log_.Lines()[0];

    EXPECT_HR(E_POINTER, protocol_->AddCamera(name, XmlElement("<Camera Address=\"6\"/>").Get(),
                                              nullptr, nullptr));
    for (ComPtr<IUnknown>* camera : {&refused, &declined, &thrown}) {
        ComPtr<IK47Terminate> terminate;
        if (SUCCEEDED(camera->As(&terminate)))
            terminate->Terminate(TRUE);
    }
}

// An exception escaping the driver becomes its HRESULT (E_FAIL for one outside the runtime
// library's classes) with the handler's log line, for every call that reaches the driver.
TEST_F(PlugInWrapperTest, ThrowingDriverBecomesItsHresult) {
    ASSERT_HR_OK(Initialize());
    PTZFUNCTION functions;
    ULONG presets;
    ComPtr<IK47Terminate> terminate;
    ASSERT_HR_OK(configuration_.As(&terminate));
    const std::pair<const char*, std::function<HRESULT()>> calls[] = {
        {"Reconfigure", [&] { return configuration_->Reconfigure(element_.Get()); }},
        {"Terminate", [&] { return terminate->Terminate(FALSE); }},
        {"MoveRelative", [&] { return protocol_->MoveRelative(1, 1, 1, 1, 1, 1); }},
        {"Command", [&] { return protocol_->Command(1, PTZCMD_GOTOPRESET, 1); }},
        {"MenuCommand", [&] { return protocol_->MenuCommand(1, PTZMENUCMD_OPEN); }},
        {"QueryFunctions", [&] { return protocol_->QueryFunctions(1, &functions, &presets); }},
    };
    for (const auto& [name, call] : calls) {
        plug_in_->Script(name, E_ACCESSDENIED, CRecordingPlugIn::Throw::kHresultError);
        log_.Clear();
        EXPECT_HR(E_ACCESSDENIED, call()) << name;
        ASSERT_EQ(log_.Lines().size(), 1u) << name;
        EXPECT_GT(HandlerLine(log_.Lines()[0], "PTZ3PWrapper"), 0) << log_.Lines()[0];
        EXPECT_NE(log_.Lines()[0].find("raised at plugin_wrapper_test"), std::string::npos)
            << log_.Lines()[0];

        plug_in_->Script(name, S_OK, CRecordingPlugIn::Throw::kRuntimeError);
        log_.Clear();
        EXPECT_HR(E_FAIL, call()) << name;
        ASSERT_EQ(log_.Lines().size(), 1u) << name;
        EXPECT_NE(log_.Lines()[0].find("Unhandled Exception - handler PTZ3PWrapper line "),
                  std::string::npos)
            << log_.Lines()[0];
        plug_in_->Script(name, S_OK);
    }
}

// The example module: registered with its own DllRegisterServer, created by ProgID, wrapped, and
// speaking Pelco-D on its port; every call is logged by the module.
TEST(ExamplePlugIn, RegisteredByProgIdAndSpeaksPelcoD) {
    RegisterLibraryClasses();
    ScopedRegistryFolder registry;
    HMODULE module = LoadLibraryA(K47_EXAMPLE_DRIVER_PATH);
    ASSERT_NE(module, nullptr);
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto entry = [&](const char* name) {
        return reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    };
    ASSERT_NE(entry("DllRegisterServer"), nullptr);
    ASSERT_HR_OK(entry("DllRegisterServer")());
    CLSID clsid{};
    ASSERT_HR_OK(CLSIDFromProgID(u"K47Example.PelcoDriver", &clsid));
    const CLSID expected = {
        0x6E1B2C47, 0x3D58, 0x4A9F, {0xB0, 0xC2, 0x7F, 0x4E, 0x91, 0xA3, 0xD5, 0xC8}};
    EXPECT_TRUE(IsEqualCLSID(clsid, expected));

    FarEnd line(k47::sim::Protocol::kPelcoD);
    LogCapture log;
    {
        ComPtr<IPTZ3PDriver> plugIn;
        ASSERT_HR_OK(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPTZ3PDriver,
                                      reinterpret_cast<void**>(plugIn.GetAddressOf())));
        EXPECT_HR(S_FALSE, entry("DllCanUnloadNow")()) << "a driver is alive";
        ComPtr<IK47ObjectConfiguration> wrapper;
        ASSERT_HR_OK(CoCreateInstance(CLSID_PTZ3PWrapper, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IK47ObjectConfiguration,
                                      reinterpret_cast<void**>(wrapper.GetAddressOf())));
        PTZ3PInitData record{nullptr, plugIn.Get()};
        auto element = XmlElement(
            "<Protocol Name=\"X\" ProgID=\"K47PTZ.PTZ3PWrapper\" "
            "Driver=\"K47Example.PelcoDriver\" " +
            LineAttributes(line.Path()) + "/>");
        ASSERT_HR_OK(
            wrapper->Initialize(element.Get(), nullptr, reinterpret_cast<ULONG_PTR>(&record)));
        ComPtr<IK47PTZProtocol> protocol;
        ASSERT_HR_OK(wrapper.As(&protocol));
        ComPtr<IUnknown> camera = AddCamera(protocol.Get(), "Address=\"5\"");
        ASSERT_HR_OK(protocol->MoveRelative(5, 100, 0, 0, 0, 0));
        EXPECT_EQ(Hex(line.NextBytes()), "ff 05 00 02 3f 00 46");
        ASSERT_HR_OK(protocol->Command(5, PTZCMD_GOTOPRESET, 12));
        EXPECT_EQ(Hex(line.NextBytes()), "ff 05 00 07 00 0c 18");
        ASSERT_HR_OK(protocol->MenuCommand(5, PTZMENUCMD_UP));
        EXPECT_EQ(Hex(line.NextBytes(2)), "ff 05 00 08 00 3f 4c ff 05 00 00 00 00 05");
        EXPECT_HR(E_INVALIDARG, protocol->MenuCommand(5, PTZMENUCMD_SELECT));
        PTZFUNCTION functions;
        ULONG presets;
        ASSERT_HR_OK(protocol->QueryFunctions(5, &functions, &presets));
        EXPECT_EQ(functions, 0x1A);
        ComPtr<IK47Terminate> terminate;
        ASSERT_HR_OK(wrapper.As(&terminate));
        ASSERT_HR_OK(terminate->Terminate(TRUE));
        HANDLE again = CreateFileA(line.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(again, INVALID_HANDLE_VALUE) << "Terminate closed the module's port";
        if (again != INVALID_HANDLE_VALUE)
            CloseHandle(again);
        ComPtr<IK47Terminate> cameraTerminate;
        if (SUCCEEDED(camera.As(&cameraTerminate)))
            cameraTerminate->Terminate(TRUE);
    }
    const std::vector<std::string> expectedLines = {
        "K47Example.PelcoDriver: Reconfigure(" + line.Path() + ") = 0x00000000",
        "K47Example.PelcoDriver: AddCamera(5) = 0x00000000",
        "K47Example.PelcoDriver: MoveRelative(5, 100, 0, 0, 0, 0) = 0x00000000",
        "K47Example.PelcoDriver: Command(5, 7, 12) = 0x00000000",
        "K47Example.PelcoDriver: MenuCommand(5, 2) = 0x00000000",
        "K47Example.PelcoDriver: MenuCommand(5, 6) = 0x80070057",
        "K47Example.PelcoDriver: QueryFunctions(5) = 0x00000000",
        "K47Example.PelcoDriver: Terminate() = 0x00000000",
    };
    EXPECT_EQ(log.Lines(), expectedLines);
    EXPECT_HR_OK(entry("DllCanUnloadNow")()) << "every driver released";
    ASSERT_HR_OK(entry("DllUnregisterServer")());
    EXPECT_TRUE(FAILED(CLSIDFromProgID(u"K47Example.PelcoDriver", &clsid)));
    FreeLibrary(module);
}

}  // namespace
