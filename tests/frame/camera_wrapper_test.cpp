// The camera wrapper's protocol binding through the host's object server: one driver per
// protocol shared by its cameras, the literal query text, the fallback by object name, blind
// aggregation of the camera object, rebinding and termination.
#include <gtest/gtest.h>
#include <atlbase.h>
#include <wrl/client.h>

#include <regex>

#include "camera/PTZCamera.h"
#include "frame/K47PTZ.h"
#include "tests/support/FakeHost.h"
#include "tests/support/RecordingDriver.h"
#include "tests/support/TestUtil.h"

using k47test::CFakeHost;
using k47test::CRecordingDriver;
using k47test::DriverCall;
using k47test::FakeCameraRecord;
using k47test::XmlElement;
using Microsoft::WRL::ComPtr;

namespace {

class CameraWrapperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host_ = CFakeHost::Create(&host_object_);
        ASSERT_TRUE(host_);
        driver_ = CRecordingDriver::Create(&driver_object_);
        ASSERT_TRUE(driver_);
        record_ = std::make_shared<FakeCameraRecord>();
        driver_object_->SetCameraFactory(k47test::FakeCameraFactory(record_));
    }

    ComPtr<IUnknown> NewWrapper() {
        ComPtr<IUnknown> wrapper;
        EXPECT_HR_OK(K47CreateObject<CPTZCameraWrapper>(
            nullptr, IID_IUnknown, reinterpret_cast<void**>(wrapper.GetAddressOf())));
        return wrapper;
    }

    HRESULT Initialize(IUnknown* wrapper, const std::string& xml, const char16_t* name,
                       IUnknown* owner) {
        ComPtr<IK47ObjectConfiguration> configuration;
        HRESULT hr = wrapper->QueryInterface(
            IID_IK47ObjectConfiguration, reinterpret_cast<void**>(configuration.GetAddressOf()));
        if (FAILED(hr))
            return hr;
        CComBSTR bstrName(name);
        return configuration->Initialize(XmlElement(xml).Get(), owner,
                                         reinterpret_cast<ULONG_PTR>(bstrName.m_str));
    }

    static bool HasCamera(IUnknown* wrapper) {
        ComPtr<IK47PTZCamera> camera;
        return SUCCEEDED(wrapper->QueryInterface(IID_IK47PTZCamera,
                                                 reinterpret_cast<void**>(camera.GetAddressOf())));
    }

    CFakeHost* host_object_ = nullptr;
    ComPtr<IUnknown> host_;
    CRecordingDriver* driver_object_ = nullptr;
    ComPtr<IK47PTZProtocol> driver_;
    std::shared_ptr<FakeCameraRecord> record_;
};

}  // namespace

TEST_F(CameraWrapperTest, CamerasOfOneProtocolAreBoundToTheSameDriver) {
    host_object_->AddPath(u"PTZProtocols/Protocol[@Name = \"Line1\"]", driver_.Get());
    ComPtr<IUnknown> first = NewWrapper(), second = NewWrapper();
    ASSERT_HR_OK(
        Initialize(first.Get(), R"(<Camera Protocol="Line1" Address="1"/>)", u"Cam1", host_.Get()));
    ASSERT_HR_OK(Initialize(second.Get(), R"(<Camera Protocol="Line1" Address="2"/>)", u"Cam2",
                            host_.Get()));

    auto adds = driver_object_->Calls(DriverCall::Kind::AddCamera);
    ASSERT_EQ(adds.size(), 2u);
    EXPECT_EQ(adds[0].name, u"Cam1");
    EXPECT_EQ(adds[1].name, u"Cam2");
    auto lookups = host_object_->LookupCalls();
    ASSERT_EQ(lookups.size(), 2u);
    EXPECT_FALSE(lookups[0].hasName);  // a lookup by path alone
    EXPECT_EQ(lookups[0].path, u"PTZProtocols/Protocol[@Name = \"Line1\"]");

    // Each wrapper now answers the camera interface, and its camera belongs to its identity.
    ComPtr<IK47PTZCamera> camera;
    ASSERT_HR_OK(second.As(&camera));
    INT_PTR address = 0;
    EXPECT_HR_OK(camera->GetAddress(&address));
    EXPECT_EQ(address, 2);
    ComPtr<IUnknown> identity;
    ASSERT_HR_OK(camera.As(&identity));
    EXPECT_EQ(identity.Get(), second.Get());
    ComPtr<IK47Terminate> terminate;
    ASSERT_HR_OK(camera.As(&terminate));  // the wrapper's own interface, reached from the camera's
}

TEST_F(CameraWrapperTest, QueryTextIsNotEscapedAndAFailedLookupFallsBackToTheObjectName) {
    // A double quote in the protocol name makes a malformed query that this host does not know;
    // the wrapper then asks for the object name of the camera and looks that up.
    host_object_->AddObjectName(u"Cam7", u"Cameras/Cam7");
    host_object_->AddName(u"Cameras/Cam7", driver_.Get());
    ComPtr<IUnknown> wrapper = NewWrapper();
    k47test::LogCapture log;
    ASSERT_HR_OK(Initialize(wrapper.Get(), R"(<Camera Protocol='Li"ne' Address="7"/>)", u"Cam7",
                            host_.Get()));

    auto lookups = host_object_->LookupCalls();
    ASSERT_EQ(lookups.size(), 2u);
    EXPECT_EQ(lookups[0].path, u"PTZProtocols/Protocol[@Name = \"Li\"ne\"]");
    EXPECT_TRUE(lookups[1].hasName);
    EXPECT_EQ(lookups[1].name, u"Cameras/Cam7");
    EXPECT_FALSE(lookups[1].hasPath);
    EXPECT_EQ(host_object_->ObjectNameCalls(), std::vector<std::u16string>{u"Cam7"});
    EXPECT_TRUE(HasCamera(wrapper.Get()));
    EXPECT_TRUE(log.Lines().empty());  // the fallback is silent
}

TEST_F(CameraWrapperTest, MissingProtocolWithAFruitlessFallbackLeavesTheWrapperUnbound) {
    ComPtr<IUnknown> wrapper = NewWrapper();
    k47test::LogCapture log;
    EXPECT_HR_OK(Initialize(wrapper.Get(), R"(<Camera Address="3"/>)", u"Cam3", host_.Get()));
    EXPECT_FALSE(HasCamera(wrapper.Get()));
    EXPECT_EQ(host_object_->ObjectNameCalls(), std::vector<std::u16string>{u"Cam3"});
    EXPECT_EQ(driver_object_->Count(DriverCall::Kind::AddCamera), 0u);
    EXPECT_TRUE(log.Lines().empty());
    ComPtr<IK47Terminate> terminate;
    ASSERT_HR_OK(wrapper.As(&terminate));
    EXPECT_HR_OK(terminate->Terminate(TRUE));
}

TEST_F(CameraWrapperTest, ReconfigureTerminatesTheOldCameraBeforeMakingTheNewOne) {
    host_object_->AddPath(u"PTZProtocols/Protocol[@Name = \"P\"]", driver_.Get());
    int aliveAtSecondCreation = -1;
    auto fake = k47test::FakeCameraFactory(record_);
    driver_object_->SetCameraFactory([&](BSTR name, IXMLDOMElement* element, IUnknown* outer,
                                         IUnknown* driver, IUnknown** inner) {
        {
            std::lock_guard<std::mutex> guard(record_->lock);
            if (record_->created == 1)
                aliveAtSecondCreation = record_->alive;
        }
        return fake(name, element, outer, driver, inner);
    });
    ComPtr<IUnknown> wrapper = NewWrapper();
    ASSERT_HR_OK(
        Initialize(wrapper.Get(), R"(<Camera Protocol="P" Address="1"/>)", u"Cam", host_.Get()));
    ComPtr<IK47ObjectConfiguration> configuration;
    ASSERT_HR_OK(wrapper.As(&configuration));
    ASSERT_HR_OK(
        configuration->Reconfigure(XmlElement(R"(<Camera Protocol="P" Address="9"/>)").Get()));
    EXPECT_EQ(aliveAtSecondCreation, 0);
    EXPECT_EQ(record_->created, 2);
    EXPECT_EQ(record_->alive, 1);
    ComPtr<IK47PTZCamera> camera;
    ASSERT_HR_OK(wrapper.As(&camera));
    INT_PTR address = 0;
    camera->GetAddress(&address);
    EXPECT_EQ(address, 9);
    camera.Reset();
    configuration.Reset();
    wrapper.Reset();
    EXPECT_EQ(record_->alive, 0);  // the wrapper's end ends its camera
}

TEST_F(CameraWrapperTest, TerminateReachesTheCameraAndKeepsTheBinding) {
    host_object_->AddPath(u"PTZProtocols/Protocol[@Name = \"P\"]", driver_.Get());
    ComPtr<IUnknown> wrapper = NewWrapper();
    ASSERT_HR_OK(
        Initialize(wrapper.Get(), R"(<Camera Protocol="P" Address="1"/>)", u"Cam", host_.Get()));
    ComPtr<IK47Terminate> terminate;
    ASSERT_HR_OK(wrapper.As(&terminate));
    EXPECT_HR_OK(terminate->Terminate(FALSE));
    EXPECT_HR_OK(terminate->Terminate(FALSE));
    EXPECT_EQ(record_->terminated, 2);
}

TEST_F(CameraWrapperTest, AFailingAddCameraIsLoggedReturnedAndLeavesTheWrapperUnbound) {
    host_object_->AddPath(u"PTZProtocols/Protocol[@Name = \"P\"]", driver_.Get());
    driver_object_->SetResult(DriverCall::Kind::AddCamera, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    ComPtr<IUnknown> wrapper = NewWrapper();
    k47test::LogCapture log;
    EXPECT_HR(
        HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
        Initialize(wrapper.Get(), R"(<Camera Protocol="P" Address="1"/>)", u"Cam", host_.Get()));
    EXPECT_FALSE(HasCamera(wrapper.Get()));
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "HRESULT 0x80070005 (Access is denied.) raised at PTZCamera line 54 - handler "
              "PTZCamera line 56");
}

TEST_F(CameraWrapperTest, AnOwnerWithoutObjectServerFailsThroughTheCatchAllHandler) {
    ComPtr<IUnknown> wrapper = NewWrapper();
    k47test::LogCapture log;
    EXPECT_HR(E_FAIL,
              Initialize(wrapper.Get(), R"(<Camera Protocol="P"/>)", u"Cam", driver_.Get()));
    EXPECT_FALSE(HasCamera(wrapper.Get()));
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "PTZCamera: the owner of camera configuration gives no object server");
    EXPECT_TRUE(std::regex_match(lines[1],
                                 std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}: thread \d+ )"
                                            R"(Unhandled Exception - handler PTZCamera line 58)")))
        << lines[1];
}

TEST_F(CameraWrapperTest, AWrapperCreatedAggregatedHandsItsOuterObjectToTheDriver) {
    host_object_->AddPath(u"PTZProtocols/Protocol[@Name = \"P\"]", driver_.Get());
    // The host object plays the outer object here; only identity matters.
    ComPtr<IUnknown> inner;
    ASSERT_HR_OK(K47CreateObject<CPTZCameraWrapper>(
        host_.Get(), IID_IUnknown, reinterpret_cast<void**>(inner.GetAddressOf())));
    ComPtr<IK47ObjectConfiguration> configuration;
    ASSERT_HR_OK(inner.As(&configuration));  // the inner unknown answers the wrapper's interfaces
    IUnknown* seenOuter = nullptr;
    auto fake = k47test::FakeCameraFactory(record_);
    driver_object_->SetCameraFactory([&](BSTR name, IXMLDOMElement* element, IUnknown* outer,
                                         IUnknown* driver, IUnknown** innerCamera) {
        seenOuter = outer;
        return fake(name, element, outer, driver, innerCamera);
    });
    CComBSTR name(u"Cam");
    ASSERT_HR_OK(configuration->Initialize(XmlElement(R"(<Camera Protocol="P"/>)").Get(),
                                           host_.Get(), reinterpret_cast<ULONG_PTR>(name.m_str)));
    EXPECT_EQ(seenOuter, host_.Get());
    configuration.Reset();
    inner.Reset();
}

// The driver stores the camera into the wrapper before it sets the camera up; the camera's set-up
// hands its sink to the host's preset variable, and a host holds a sink by asking its identity
// (the wrapper) for the interface. A camera stored only afterwards could not be reached then, and
// the preset variable would never steer it.
TEST_F(CameraWrapperTest, TheCameraIsReachedThroughTheWrapperWhileItSetsUp) {
    k47test::RegisterLibraryClasses();
    driver_object_->SetCameraFactory([&](BSTR name, IXMLDOMElement* element, IUnknown* outer,
                                         IUnknown* driver, IUnknown** camera) {
        return k47test::CreateRealCamera(name, element, outer, driver, host_.Get(), nullptr,
                                         camera);
    });
    host_object_->AddPath(u"PTZProtocols/Protocol[@Name = \"P\"]", driver_.Get());
    ComPtr<IUnknown> wrapper = NewWrapper();
    ASSERT_HR_OK(
        Initialize(wrapper.Get(), R"(<Camera Protocol="P" Address="2"/>)", u"Gate", host_.Get()));
    k47test::CFakeVariable* preset = host_object_->Variable(u"PTZPreset.Gate");
    ASSERT_NE(preset, nullptr);
    ASSERT_EQ(preset->SinkCount(), 1u);

    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = 4;
    ASSERT_HR_OK(preset->SetValue(value));
    auto commands = driver_object_->Calls(DriverCall::Kind::Command);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].address, 2);
    EXPECT_EQ(commands[0].command, PTZCMD_GOTOPRESET);
    EXPECT_EQ(commands[0].arg, 4);

    ComPtr<IK47Terminate> terminate;
    ASSERT_HR_OK(wrapper.As(&terminate));
    EXPECT_HR_OK(terminate->Terminate(TRUE));
}
