// A camera bound end to end for tests: a fake host whose object server knows protocol "P" as a
// recording driver, and camera wrappers created through CoCreateInstance and initialised from an
// element, so every call goes wrapper → camera object → driver.
#pragma once

#include <gtest/gtest.h>
#include <atlbase.h>
#include <wrl/client.h>

#include <string>

#include "frame/K47PTZ.h"
#include "tests/support/FakeHost.h"
#include "tests/support/RecordingDriver.h"
#include "tests/support/TestUtil.h"

class CameraFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        k47test::RegisterLibraryClasses();
        host_ = k47test::CFakeHost::Create(&host_object_);
        ports_ = k47test::CFakePortService::Create(&ports_object_);
        driver_ = k47test::CRecordingDriver::Create(&driver_object_);
        ASSERT_TRUE(host_ && ports_ && driver_);
        ports_object_->SetEnabled(false);
        driver_object_->SetOwner(host_.Get());
        driver_object_->SetPortService(ports_.Get());
        host_object_->AddPath(u"PTZProtocols/Protocol[@Name = \"P\"]", driver_.Get());
    }

    void TearDown() override {
        for (auto& wrapper : wrappers_) {
            Microsoft::WRL::ComPtr<IK47Terminate> terminate;
            if (SUCCEEDED(wrapper.As(&terminate)))
                terminate->Terminate(TRUE);
        }
        wrappers_.clear();
    }

    // A bound camera named `name` from a camera element (attributes as XML text).
    Microsoft::WRL::ComPtr<IK47PTZCamera> AddCamera(const std::u16string& name,
                                                    const std::string& attributes) {
        Microsoft::WRL::ComPtr<IUnknown> wrapper;
        EXPECT_HR_OK(CoCreateInstance(CLSID_PTZCamera, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                      reinterpret_cast<void**>(wrapper.GetAddressOf())));
        Microsoft::WRL::ComPtr<IK47ObjectConfiguration> configuration;
        EXPECT_HR_OK(wrapper.As(&configuration));
        CComBSTR bstrName(name.c_str());
        std::string xml = "<Camera Protocol=\"P\" " + attributes + "/>";
        EXPECT_HR_OK(configuration->Initialize(k47test::XmlElement(xml).Get(), host_.Get(),
                                               reinterpret_cast<ULONG_PTR>(bstrName.m_str)));
        wrappers_.push_back(wrapper);
        // The camera advised its preset variable while the driver was still setting it up; the
        // host took the sink through the wrapper's identity, which must already lead to it.
        k47test::CFakeVariable* preset = host_object_->Variable(u"PTZPreset." + name);
        if (preset != nullptr) {  // null when a test gives the host no variable store
            EXPECT_EQ(preset->SinkCount(), 1u);
        }
        Microsoft::WRL::ComPtr<IK47PTZCamera> camera;
        EXPECT_HR_OK(wrapper.As(&camera));
        return camera;
    }

    k47test::CFakeHost* host_object_ = nullptr;
    Microsoft::WRL::ComPtr<IUnknown> host_;
    k47test::CFakePortService* ports_object_ = nullptr;
    Microsoft::WRL::ComPtr<IK47PortService> ports_;
    k47test::CRecordingDriver* driver_object_ = nullptr;
    Microsoft::WRL::ComPtr<IK47PTZProtocol> driver_;
    std::vector<Microsoft::WRL::ComPtr<IUnknown>> wrappers_;
};

// Seconds between two points of the steady clock.
inline double Seconds(std::chrono::steady_clock::time_point from,
                      std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}
