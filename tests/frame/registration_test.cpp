// The module's identifiers and its registration, both compared with their published literal text
// (never with the tables the code reads them from): every IID, CLSID, the LIBID and the AppID; the
// exact entries of the AppID script, the eight class scripts (with the Bosch differences), the type
// library and the proxy/stub entries, per machine and per user; and their removal, which never
// touches the CLSID and AppID roots. The command and function codes are pinned beside them.
#include <gtest/gtest.h>
#include <atlbase.h>

#include <map>
#include <optional>
#include <string>

#include "frame/ClassTable.h"
#include "frame/K47PTZ.h"
#include "frame/ProxyStub.h"
#include "frame/Registration.h"
#include "tests/support/TestUtil.h"

namespace {

// The codes travel as numbers between separately built hosts, drivers and clients.
static_assert(PTZCMD_SETPRESET == 3 && PTZCMD_CLEARPRESET == 5 && PTZCMD_GOTOPRESET == 7);
static_assert(PTZCMD_AUTOFOCUS == 43 && PTZCMD_AUTOIRIS == 45 && PTZCMD_AUTOAGC == 47);
static_assert(PTZCMD_BACKLIGHT == 49 && PTZCMD_WHITEBAL == 51);
static_assert(PTZMENUCMD_CLOSE == 0 && PTZMENUCMD_OPEN == 1 && PTZMENUCMD_UP == 2 &&
              PTZMENUCMD_DOWN == 3 && PTZMENUCMD_LEFT == 4 && PTZMENUCMD_RIGHT == 5 &&
              PTZMENUCMD_SELECT == 6 && PTZMENUCMD_SELECT2 == 7);
static_assert(PTZFUNC_MENUCLOSE == 1 && PTZFUNC_MENUOPEN == 2 && PTZFUNC_MENUSELECT == 4 &&
              PTZFUNC_MENUNAVIGATE == 8 && PTZFUNC_CLEARPRESET == 16 && PTZFUNC_MENUSELECT2 == 32 &&
              PTZFUNC_ABSPOSITION == 64 && PTZFUNC_ABSQUERY == 128 && PTZFUNC_END == 0x7FFFFFFF);

constexpr char kAppId[] = "{FC8B09AA-DFD8-4C92-9A26-A92ED12CEBBC}";
constexpr char kLibId[] = "{01ECA602-2790-4026-A417-7950D5043CF8}";
constexpr char kProxyStubClsid[] = "{D6327D6E-0894-4DF5-A3D3-3688A3B10BC2}";

struct ClassLiteral {
    const CLSID* clsid;
    const char* text;
    const char* viProgId;
    const char* description;
};
// In the order of the module's class table, which registration walks.
const ClassLiteral kClasses[] = {
    {&CLSID_Bosch, "{0BD6D15E-D8C0-44EA-810C-D633A52D4A88}", "K47PTZ.Bosch", "Bosch Class"},
    {&CLSID_K47Panasonic, "{0A67475A-D833-47C9-8A19-BC09F86B1B39}", "K47PTZ.K47Panasonic",
     "K47Panasonic Class"},
    {&CLSID_K47PelcoD, "{CBBA05DC-7DFA-478C-B569-25ADF5B824B3}", "K47PTZ.K47PelcoD",
     "K47PelcoD Class"},
    {&CLSID_PTZ3PWrapper, "{784D8A80-47D4-45A8-A010-C491E8485A4A}", "K47PTZ.PTZ3PWrapper",
     "PTZ3PWrapper Class"},
    {&CLSID_PTZCamera, "{ADED08CA-6263-4B0B-AC97-86098318047B}", "K47PTZ.PTZCamera",
     "PTZCamera Class"},
    {&CLSID_PTZCameraStub, "{9B4F52D0-AAC9-464D-9B0F-FAEDAD06935E}", "K47PTZ.PTZCameraStub",
     "PTZCameraStub Class"},
    {&CLSID_PTZClientLocal, "{D450E5C3-F7F6-4A8C-B7E7-0401DEED670F}", "K47PTZ.PTZClientLocal",
     "PTZClientLocal Class"},
    {&CLSID_PTZClientRemote, "{93C79A77-86F6-41AC-9952-572F8FC2D929}", "K47PTZ.PTZClientRemote",
     "PTZClientRemote Class"},
};

struct InterfaceLiteral {
    const IID* iid;
    const char* text;
    const char* name;
};
// Every interface with marshalling code, in the order of the proxy/stub table.
const InterfaceLiteral kInterfaces[] = {
    {&IID_IK47PTZCamera, "{D6327D6E-0894-4DF5-A3D3-3688A3B10BC2}", "IK47PTZCamera"},
    {&IID_IK47PTZProtocol, "{21143A8C-6C14-48A4-8A78-E0AB196BBF39}", "IK47PTZProtocol"},
    {&IID_IK47ObjectConfiguration, "{860E1D68-12F0-4A29-9F96-9F8BAE689DFE}",
     "IK47ObjectConfiguration"},
    {&IID_IK47PTZClient, "{00D8C87C-7F67-4A9E-AC1D-C330B5EC99F9}", "IK47PTZClient"},
    {&IID_IK47Terminate, "{06CC21DC-3909-4AE5-9067-94666FE9A459}", "IK47Terminate"},
    {&IID_IK47EventSink, "{4F5C1A60-762A-45FF-BCBB-F017AD250B0B}", "IK47EventSink"},
    {&IID_IK47ObjectServer, "{1DA4E665-07E6-431B-894E-631B83142A52}", "IK47ObjectServer"},
    {&IID_IK47VariableStore, "{D88FD93A-62E1-48AA-8B02-5BAD7D6E1070}", "IK47VariableStore"},
    {&IID_IK47Variable, "{7E1A3F52-6B0C-4D8E-9A41-2C5D0E8F6B13}", "IK47Variable"},
    {&IID_IK47PortService, "{3B8E6D21-95C4-4F7A-B0E3-8D1F2A6C4E57}", "IK47PortService"},
    {&IID_IK47LineStatus, "{845B973E-AC68-4170-AB24-C4F2CC8D8A60}", "IK47LineStatus"},
    {&IID_IK47CameraStatus, "{84AB784F-B80C-4763-8E8A-A36C629EEAB5}", "IK47CameraStatus"},
};

std::string Guid(const GUID& guid) {
    OLECHAR text[40];
    StringFromGUID2(guid, text, 40);
    return std::string(static_cast<LPSTR>(CW2A(text)));
}

// The REG_SZ value `name` (null = default) of key `path` under `root`, or nothing.
std::optional<std::string> Value(HKEY root, const std::string& path, const char* name = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    char data[1024];
    DWORD size = sizeof(data);
    DWORD type = 0;
    LSTATUS status =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return std::nullopt;
    return std::string(data, size > 0 && data[size - 1] == '\0' ? size - 1 : size);
}

bool KeyExists(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::string ModulePath() {
    char path[4096];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    return std::string(path, n);
}

void ExpectClassEntries(HKEY root, const ClassLiteral& info, const std::string& module) {
    SCOPED_TRACE(info.description);
    const std::string clsid = info.text;
    const std::string vi = info.viProgId;
    const std::string progId = vi + ".1";
    const bool bosch = vi == "K47PTZ.Bosch";

    EXPECT_EQ(Value(root, progId), info.description);
    EXPECT_EQ(Value(root, progId + "\\CLSID"), clsid);
    EXPECT_EQ(Value(root, vi), info.description);
    EXPECT_EQ(Value(root, vi + "\\CurVer"), progId);
    if (bosch) {
        EXPECT_FALSE(KeyExists(root, vi + "\\CLSID"));
    } else {
        EXPECT_EQ(Value(root, vi + "\\CLSID"), clsid);
    }
    const std::string key = "CLSID\\" + clsid;
    EXPECT_EQ(Value(root, key), info.description);
    EXPECT_EQ(Value(root, key + "\\ProgID"), progId);
    EXPECT_EQ(Value(root, key + "\\VersionIndependentProgID"), vi);
    EXPECT_EQ(Value(root, key + "\\InprocServer32"), module);
    EXPECT_EQ(Value(root, key + "\\InprocServer32", "ThreadingModel"), "Both");
    EXPECT_EQ(Value(root, key + "\\TypeLib"), kLibId);
    if (bosch) {
        EXPECT_FALSE(Value(root, key, "AppID").has_value());
        EXPECT_EQ(Value(root, key, "Version"), "1.0");
    } else {
        EXPECT_EQ(Value(root, key, "AppID"), kAppId);
        EXPECT_FALSE(Value(root, key, "Version").has_value());
    }
}

class RegistrationTest : public ::testing::Test {
  protected:
    void TearDown() override { k47::SetPerUserRegistration(false); }
    k47test::ScopedRegistryFolder registry_;
};

}  // namespace

TEST(Identifiers, EveryIdentifierHasItsPublishedValue) {
    for (const auto& c : kClasses)
        EXPECT_EQ(Guid(*c.clsid), c.text) << c.description;
    for (const auto& i : kInterfaces)
        EXPECT_EQ(Guid(*i.iid), i.text) << i.name;
    // The identifier a smart pointer asks for is the same.
    EXPECT_EQ(Guid(__uuidof(IK47EventSink)), "{4F5C1A60-762A-45FF-BCBB-F017AD250B0B}");
    EXPECT_EQ(Guid(__uuidof(IK47PTZCamera)), "{D6327D6E-0894-4DF5-A3D3-3688A3B10BC2}");
    EXPECT_EQ(Guid(LIBID_K47PTZLib), kLibId);
    EXPECT_EQ(Guid(APPID_K47PTZ), kAppId);
    EXPECT_EQ(Guid(CLSID_K47PTZProxyStub), kProxyStubClsid);

    // The class table and the marshalling table list the same, in the published order.
    ASSERT_EQ(kK47ClassCount, std::size(kClasses));
    for (size_t i = 0; i < kK47ClassCount; ++i)
        EXPECT_EQ(Guid(*kK47ClassTable[i].clsid), kClasses[i].text) << i;
    ASSERT_EQ(kK47MarshalledInterfaceCount, std::size(kInterfaces));
    for (size_t i = 0; i < kK47MarshalledInterfaceCount; ++i)
        EXPECT_EQ(Guid(*kK47MarshalledInterfaces[i].iid), kInterfaces[i].text) << i;
}

TEST_F(RegistrationTest, WritesEveryEntryForTheMachine) {
    const std::string module = ModulePath();
    ASSERT_HR_OK(K47RegisterServer(nullptr));

    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, "AppID\\{FC8B09AA-DFD8-4C92-9A26-A92ED12CEBBC}"), "K47PTZ");
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, "AppID\\K47PTZ.DLL", "AppID"), kAppId);
    for (const auto& c : kClasses)
        ExpectClassEntries(HKEY_CLASSES_ROOT, c, module);

    const std::string lib =
        "Software\\Classes\\TypeLib\\{01ECA602-2790-4026-A417-7950D5043CF8}\\1.0";
    EXPECT_TRUE(Value(HKEY_LOCAL_MACHINE, lib).has_value());
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, lib + "\\409\\win64"), module);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, lib));

    for (const auto& i : kInterfaces) {
        const std::string itf = std::string("Interface\\") + i.text;
        EXPECT_EQ(Value(HKEY_CLASSES_ROOT, itf), i.name);
        EXPECT_EQ(Value(HKEY_CLASSES_ROOT, itf + "\\ProxyStubClsid32"), kProxyStubClsid);
    }
    EXPECT_EQ(
        Value(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kProxyStubClsid + "\\InprocServer32"),
        module);

    // Registration is written to the machine's classes, not the user's.
    const std::string camera = "Software\\Classes\\CLSID\\{ADED08CA-6263-4B0B-AC97-86098318047B}";
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, camera));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, camera));
}

TEST_F(RegistrationTest, PerUserRegistrationWritesTheTypeLibraryUnderTheUserOnly) {
    k47::SetPerUserRegistration(true);
    ASSERT_HR_OK(K47RegisterServer(nullptr));
    const std::string lib =
        "Software\\Classes\\TypeLib\\{01ECA602-2790-4026-A417-7950D5043CF8}\\1.0";
    const std::string camera = "Software\\Classes\\CLSID\\{ADED08CA-6263-4B0B-AC97-86098318047B}";
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, lib));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, lib));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, camera));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, camera));
    for (const auto& c : kClasses)
        ExpectClassEntries(HKEY_CLASSES_ROOT, c, ModulePath());

    ASSERT_HR_OK(K47UnregisterServer(nullptr));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, lib));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "CLSID\\{ADED08CA-6263-4B0B-AC97-86098318047B}"));
}

TEST_F(RegistrationTest, UnregistrationRemovesEverythingButTheSharedRoots) {
    // Another module's entries under the shared roots must survive.
    HKEY other = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-555555555555}", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &other, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(other);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "AppID\\Other.DLL", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &other, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(other);

    ASSERT_HR_OK(K47RegisterServer(nullptr));
    ASSERT_HR_OK(K47UnregisterServer(nullptr));
    for (const auto& c : kClasses) {
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + c.text)) << c.text;
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, c.viProgId)) << c.viProgId;
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::string(c.viProgId) + ".1")) << c.viProgId;
    }
    for (const auto& i : kInterfaces)
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::string("Interface\\") + i.text)) << i.name;
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::string("AppID\\") + kAppId));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "AppID\\K47PTZ.DLL"));
    EXPECT_FALSE(
        KeyExists(HKEY_LOCAL_MACHINE, std::string("Software\\Classes\\TypeLib\\") + kLibId));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kProxyStubClsid));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-555555555555}"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "AppID\\Other.DLL"));
    // Unregistering twice finds nothing to remove and still succeeds.
    EXPECT_HR_OK(K47UnregisterServer(nullptr));
}
