// k47regsvr against the built module, in a private registry folder: registration makes the
// classes creatable by ProgID through the registry (the module is loaded by path), and
// unregistration makes them unknown again.
#include <gtest/gtest.h>
#include <objbase.h>
#include <wrl/client.h>
#include <k47/registry.h>

#include <string>

#include "frame/K47PTZ.h"
#include "tests/support/TestUtil.h"

using Microsoft::WRL::ComPtr;

using k47test::BinaryDir;
using k47test::RunCommand;

TEST(K47RegSvr, RegisterCreateByProgIdUnregister) {
    k47test::ScopedRegistryFolder registry;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const std::string tool = BinaryDir() + "/bin/k47regsvr";
    const std::string module = BinaryDir() + "/lib/libK47PTZ.so";

    // Classes registered in this process (other tests of this binary may have done so) would
    // answer before the registry; ctest runs each test in a process of its own.
    void* probe = nullptr;
    const bool registeredInProcess = SUCCEEDED(
        CoGetClassObject(CLSID_PTZCamera, CLSCTX_INPROC_SERVER, nullptr, IID_IUnknown, &probe));
    if (probe != nullptr)
        static_cast<IUnknown*>(probe)->Release();

    std::string output;
    ASSERT_EQ(RunCommand(tool + " " + module, &output), 0) << output;
    EXPECT_NE(output.find("Registered"), std::string::npos) << output;
    k47::ResetRegistryForTests();  // read what the other process wrote

    CLSID clsid{};
    ASSERT_HR_OK(CLSIDFromProgID(u"K47PTZ.PTZCamera", &clsid));
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_PTZCamera));
    ComPtr<IK47ObjectConfiguration> camera;
    ASSERT_HR_OK(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IK47ObjectConfiguration,
                                  reinterpret_cast<void**>(camera.GetAddressOf())));
    EXPECT_HR(E_NOTIMPL, camera->MakeDefault(nullptr));
    camera.Reset();

    output.clear();
    ASSERT_EQ(RunCommand(tool + " -u " + module, &output), 0) << output;
    k47::ResetRegistryForTests();
    void* object = nullptr;
    if (!registeredInProcess) {
        EXPECT_HR(REGDB_E_CLASSNOTREG,
                  CoCreateInstance(CLSID_PTZCamera, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   &object));
    }
    EXPECT_HR(CO_E_CLASSSTRING, CLSIDFromProgID(u"K47PTZ.PTZCamera", &clsid));
    CoUninitialize();
}

TEST(K47RegSvr, ReportsFailuresInWordsWithTheirExitStatus) {
    k47test::ScopedRegistryFolder registry;
    const std::string tool = BinaryDir() + "/bin/k47regsvr";
    std::string output;
    EXPECT_EQ(RunCommand(tool + " /nonexistent/libnothing.so", &output), 7);
    EXPECT_NE(
        output.find("cannot load the module /nonexistent/libnothing.so: there is no such file"),
        std::string::npos)
        << output;
    output.clear();
    // A shared object that is no component module.
    EXPECT_EQ(RunCommand(tool + " " + BinaryDir() + "/lib/libK47Global.so", &output), 7);
    EXPECT_NE(output.find("is no component module"), std::string::npos) << output;
    output.clear();
    EXPECT_EQ(RunCommand(tool, &output), 2) << output;
}
