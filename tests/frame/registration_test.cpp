// Registration: the exact entries of the AppID script, the eight class scripts (with the Bosch
// differences), the type library and the proxy/stub entries, per machine and per user; and their
// removal, which never touches the CLSID and AppID roots.
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

void ExpectClassEntries(HKEY root, const K47ClassInfo& info, const std::string& module) {
    SCOPED_TRACE(info.name);
    const std::string clsid = Guid(*info.clsid);
    const std::string vi = info.viProgId;
    const std::string progId = vi + ".1";
    const std::string description = std::string(info.name) + " Class";
    const bool bosch = IsEqualCLSID(*info.clsid, CLSID_Bosch);

    EXPECT_EQ(Value(root, progId), description);
    EXPECT_EQ(Value(root, progId + "\\CLSID"), clsid);
    EXPECT_EQ(Value(root, vi), description);
    EXPECT_EQ(Value(root, vi + "\\CurVer"), progId);
    if (bosch) {
        EXPECT_FALSE(KeyExists(root, vi + "\\CLSID"));
    } else {
        EXPECT_EQ(Value(root, vi + "\\CLSID"), clsid);
    }
    const std::string key = "CLSID\\" + clsid;
    EXPECT_EQ(Value(root, key), description);
    EXPECT_EQ(Value(root, key + "\\ProgID"), progId);
    EXPECT_EQ(Value(root, key + "\\VersionIndependentProgID"), vi);
    EXPECT_EQ(Value(root, key + "\\InprocServer32"), module);
    EXPECT_EQ(Value(root, key + "\\InprocServer32", "ThreadingModel"), "Both");
    EXPECT_EQ(Value(root, key + "\\TypeLib"), Guid(LIBID_K47PTZLib));
    if (bosch) {
        EXPECT_FALSE(Value(root, key, "AppID").has_value());
        EXPECT_EQ(Value(root, key, "Version"), "1.0");
    } else {
        EXPECT_EQ(Value(root, key, "AppID"), Guid(APPID_K47PTZ));
        EXPECT_FALSE(Value(root, key, "Version").has_value());
    }
}

class RegistrationTest : public ::testing::Test {
  protected:
    void TearDown() override { k47::SetPerUserRegistration(false); }
    k47test::ScopedRegistryFolder registry_;
};

}  // namespace

TEST_F(RegistrationTest, WritesEveryEntryForTheMachine) {
    const std::string module = ModulePath();
    ASSERT_HR_OK(K47RegisterServer(nullptr));

    const std::string appId = Guid(APPID_K47PTZ);
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, "AppID\\" + appId), "K47PTZ");
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, "AppID\\K47PTZ.DLL", "AppID"), appId);
    for (size_t i = 0; i < kK47ClassCount; ++i)
        ExpectClassEntries(HKEY_CLASSES_ROOT, kK47ClassTable[i], module);

    const std::string lib = "Software\\Classes\\TypeLib\\" + Guid(LIBID_K47PTZLib) + "\\1.0";
    EXPECT_TRUE(Value(HKEY_LOCAL_MACHINE, lib).has_value());
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, lib + "\\409\\win64"), module);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, lib));

    for (size_t i = 0; i < kK47MarshalledInterfaceCount; ++i) {
        const std::string itf = "Interface\\" + Guid(*kK47MarshalledInterfaces[i].iid);
        EXPECT_EQ(Value(HKEY_CLASSES_ROOT, itf), kK47MarshalledInterfaces[i].name);
        EXPECT_EQ(Value(HKEY_CLASSES_ROOT, itf + "\\ProxyStubClsid32"),
                  Guid(CLSID_K47PTZProxyStub));
    }
    EXPECT_EQ(
        Value(HKEY_CLASSES_ROOT, "CLSID\\" + Guid(CLSID_K47PTZProxyStub) + "\\InprocServer32"),
        module);

    // Registration is written to the machine's classes, not the user's.
    EXPECT_FALSE(
        KeyExists(HKEY_CURRENT_USER, "Software\\Classes\\CLSID\\" + Guid(CLSID_PTZCamera)));
    EXPECT_TRUE(
        KeyExists(HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID\\" + Guid(CLSID_PTZCamera)));
}

TEST_F(RegistrationTest, PerUserRegistrationWritesTheTypeLibraryUnderTheUserOnly) {
    k47::SetPerUserRegistration(true);
    ASSERT_HR_OK(K47RegisterServer(nullptr));
    const std::string lib = "Software\\Classes\\TypeLib\\" + Guid(LIBID_K47PTZLib) + "\\1.0";
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, lib));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, lib));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software\\Classes\\CLSID\\" + Guid(CLSID_PTZCamera)));
    EXPECT_FALSE(
        KeyExists(HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID\\" + Guid(CLSID_PTZCamera)));
    for (size_t i = 0; i < kK47ClassCount; ++i)
        ExpectClassEntries(HKEY_CLASSES_ROOT, kK47ClassTable[i], ModulePath());

    ASSERT_HR_OK(K47UnregisterServer(nullptr));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, lib));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + Guid(CLSID_PTZCamera)));
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
    for (size_t i = 0; i < kK47ClassCount; ++i) {
        const K47ClassInfo& info = kK47ClassTable[i];
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + Guid(*info.clsid))) << info.name;
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, info.viProgId)) << info.name;
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::string(info.viProgId) + ".1")) << info.name;
    }
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "AppID\\" + Guid(APPID_K47PTZ)));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "AppID\\K47PTZ.DLL"));
    EXPECT_FALSE(
        KeyExists(HKEY_LOCAL_MACHINE, "Software\\Classes\\TypeLib\\" + Guid(LIBID_K47PTZLib)));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "Interface\\" + Guid(IID_IK47PTZCamera)));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + Guid(CLSID_K47PTZProxyStub)));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-555555555555}"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "AppID\\Other.DLL"));
    // Unregistering twice finds nothing to remove and still succeeds.
    EXPECT_HR_OK(K47UnregisterServer(nullptr));
}
