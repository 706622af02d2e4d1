// The camera object on its own: configuration, the preset variable and its conversion rules,
// reconfiguration with a new address, a missing address, Terminate and the final release.
#include <gtest/gtest.h>
#include <atlbase.h>
#include <wrl/client.h>

#include <chrono>
#include <thread>

#include "camera/PTZCamera1.h"
#include "tests/support/FakeHost.h"
#include "tests/support/RecordingDriver.h"
#include "tests/support/TestUtil.h"

using k47test::CFakeHost;
using k47test::CFakePortService;
using k47test::CFakeVariable;
using k47test::CRecordingDriver;
using k47test::DriverCall;
using Microsoft::WRL::ComPtr;

namespace {

class CameraObjectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        host_ = CFakeHost::Create(&host_object_);
        driver_ = CRecordingDriver::Create(&driver_object_);
        ports_ = CFakePortService::Create(&ports_object_);
        ASSERT_TRUE(host_ && driver_ && ports_);
        ports_object_->SetEnabled(false);
        ASSERT_HR_OK(K47CreateInstance<CPTZCamera>(camera_.GetAddressOf(), &camera_object_));
    }
    void TearDown() override {
        if (camera_)
            Terminate();
        camera_.Reset();
        CoUninitialize();
    }

    HRESULT Initialize(const std::string& xml, const char16_t* name, bool withStore = true) {
        ComPtr<IK47VariableStore> store;
        if (withStore)
            host_.As(&store);
        CComBSTR bstrName(name);
        CameraInitData record{bstrName, store.Get(), ports_.Get()};
        return Configuration()->Initialize(k47test::XmlElement(xml).Get(), driver_.Get(),
                                           reinterpret_cast<ULONG_PTR>(&record));
    }
    ComPtr<IK47ObjectConfiguration> Configuration() {
        ComPtr<IK47ObjectConfiguration> configuration;
        EXPECT_HR_OK(camera_.As(&configuration));
        return configuration;
    }
    ComPtr<IK47PTZCamera> Camera() {
        ComPtr<IK47PTZCamera> camera;
        EXPECT_HR_OK(camera_.As(&camera));
        return camera;
    }
    HRESULT Terminate() {
        ComPtr<IK47Terminate> terminate;
        EXPECT_HR_OK(camera_.As(&terminate));
        return terminate->Terminate(FALSE);
    }
    CFakeVariable* Preset(const std::u16string& name) { return host_object_->Variable(name); }
    // Writes a value into the preset variable as the host would; returns the camera's answer.
    HRESULT WritePreset(CFakeVariable* variable, const VARIANT& value) {
        size_t before = variable->SinkResults().size();
        EXPECT_HR_OK(variable->SetValue(value));
        auto results = variable->SinkResults();
        EXPECT_EQ(results.size(), before + 1);
        return results.empty() ? E_UNEXPECTED : results.back();
    }

    CFakeHost* host_object_ = nullptr;
    ComPtr<IUnknown> host_;
    CRecordingDriver* driver_object_ = nullptr;
    ComPtr<IK47PTZProtocol> driver_;
    CFakePortService* ports_object_ = nullptr;
    ComPtr<IK47PortService> ports_;
    CPTZCamera* camera_object_ = nullptr;
    ComPtr<IUnknown> camera_;
};

VARIANT I4(LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

}  // namespace

TEST_F(CameraObjectTest, PresetVariableIsPublishedZeroedAndAdvised) {
    ASSERT_HR_OK(Initialize(R"(<Camera Address="4"/>)", u"Gate"));
    EXPECT_EQ(host_object_->VariableNames(), std::vector<std::u16string>{u"PTZPreset.Gate"});
    CFakeVariable* variable = Preset(u"PTZPreset.Gate");
    ASSERT_NE(variable, nullptr);
    EXPECT_EQ(variable->History(),
              std::vector<std::string>{"I4:0"});  // zeroed before it is advised
    EXPECT_EQ(variable->SinkCount(), 1u);
    EXPECT_TRUE(camera_object_->IsRunning());

    ASSERT_HR_OK(Terminate());
    EXPECT_EQ(variable->SinkCount(), 0u);
    EXPECT_EQ(variable->Unadvised().size(), 1u);
    EXPECT_FALSE(camera_object_->IsRunning());
    ASSERT_HR_OK(Terminate());  // a second Terminate finds nothing to do
    EXPECT_EQ(variable->Unadvised().size(), 1u);
}

TEST_F(CameraObjectTest, WritingThePresetVariableSendsTheCameraToThePreset) {
    ASSERT_HR_OK(Initialize(R"(<Camera Address="6"/>)", u"Cam"));
    CFakeVariable* variable = Preset(u"PTZPreset.Cam");
    ASSERT_NE(variable, nullptr);

    EXPECT_HR_OK(WritePreset(variable, I4(0)));   // nothing for 0
    EXPECT_HR_OK(WritePreset(variable, I4(-3)));  // ... nor for a negative number
    EXPECT_EQ(driver_object_->Count(DriverCall::Kind::Command), 0u);

    EXPECT_HR_OK(WritePreset(variable, I4(12)));
    CComVariant text(u" 4 ");  // text converts by the platform's rules
    EXPECT_HR_OK(WritePreset(variable, text));
    CComVariant junk(u"abc");
    EXPECT_HR(DISP_E_TYPEMISMATCH, WritePreset(variable, junk));
    CComVariant huge(u"3000000000");
    EXPECT_HR(DISP_E_OVERFLOW, WritePreset(variable, huge));

    auto commands = driver_object_->Calls(DriverCall::Kind::Command);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].command, PTZCMD_GOTOPRESET);
    EXPECT_EQ(commands[0].arg, 12);
    EXPECT_EQ(commands[0].address, 6);
    EXPECT_EQ(commands[1].arg, 4);

    // The driver's answer to the preset move is what the host gets back.
    driver_object_->SetResult(DriverCall::Kind::Command, S_FALSE);
    EXPECT_HR(S_FALSE, WritePreset(variable, I4(2)));
}

TEST_F(CameraObjectTest, ReconfigureAppliesANewAddress) {
    ASSERT_HR_OK(Initialize(R"(<Camera Address="4"/>)", u"Cam"));
    ComPtr<IK47PTZCamera> camera = Camera();
    ASSERT_HR_OK(camera->MoveRelative(10, 0, 0, 0, 0));
    ASSERT_HR_OK(
        Configuration()->Reconfigure(k47test::XmlElement(R"(<Camera Address="17"/>)").Get()));
    INT_PTR address = 0;
    ASSERT_HR_OK(camera->GetAddress(&address));
    EXPECT_EQ(address, 17);
    ASSERT_HR_OK(camera->Command(PTZCMD_SETPRESET, 1));
    auto calls = driver_object_->Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].address, 4);
    EXPECT_EQ(calls[1].address, 17);
    EXPECT_TRUE(camera_object_->IsRunning());
}

TEST_F(CameraObjectTest, AMissingAddressFailsReconfigureAndLeavesTheWorkerStopped) {
    k47test::LogCapture log;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), Initialize(R"(<Camera UDPPort="0"/>)", u"Cam"));
    EXPECT_FALSE(camera_object_->IsRunning());
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "HRESULT 0x80070490 (Element not found.): attribute \"Address\" is missing raised at "
              "XMLAttribute line 16 - handler PTZCamera1 line 193");

    // A malformed address is refused the same way; a good one restarts the worker.
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INVALID_DATA),
              Configuration()->Reconfigure(k47test::XmlElement(R"(<Camera Address="x1"/>)").Get()));
    EXPECT_FALSE(camera_object_->IsRunning());
    EXPECT_HR_OK(
        Configuration()->Reconfigure(k47test::XmlElement(R"(<Camera Address="1"/>)").Get()));
    EXPECT_TRUE(camera_object_->IsRunning());
    EXPECT_HR(E_NOTIMPL, Configuration()->MakeDefault(nullptr));
}

TEST_F(CameraObjectTest, AMotionOfAStoppedWorkerIsNeverStopped) {
    // Without a worker nobody serves the motion timer: the driver sees nothing after EndMotion.
    {
        k47test::LogCapture log;
        EXPECT_HR(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), Initialize(R"(<Camera/>)", u"Cam"));
    }
    ASSERT_HR_OK(Camera()->EndMotion());
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    EXPECT_EQ(driver_object_->StopCount(), 0u);
}

TEST_F(CameraObjectTest, FinalReleaseTerminatesTheCamera) {
    // No variable store, so nothing holds the camera but the test.
    ASSERT_HR_OK(Initialize(R"(<Camera Address="4"/>)", u"Cam", /*withStore=*/false));
    ASSERT_HR_OK(Camera()->EndMotion());  // the first stop would be due in 0.4 s
    camera_.Reset();                      // the last reference: the worker is stopped with it
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    EXPECT_EQ(driver_object_->StopCount(), 0u);
}
