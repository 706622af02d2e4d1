// Registry conformance: value round trips of every type through the A and W forms, the buffer
// protocol, keys and deletion, enumeration, access rights, the merged HKEY_CLASSES_ROOT view and
// where its writes go, hive files and locations, and concurrent writers (threads and processes).
#include <gtest/gtest.h>
#include <spawn.h>
#include <sqlite3.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "k47/registry.h"
#include "registry_sandbox.h"
#include "windows.h"

extern char** environ;

namespace {

using Bytes = std::vector<BYTE>;

// Owns an open key.
class Key {
  public:
    Key() = default;
    explicit Key(HKEY h) : h_(h) {}
    ~Key() {
        if (h_ != nullptr)
            RegCloseKey(h_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return h_; }
    PHKEY out() { return &h_; }

  private:
    HKEY h_ = nullptr;
};

LSTATUS Create(HKEY root, const char* path, Key* key, DWORD* disposition = nullptr,
               REGSAM sam = KEY_ALL_ACCESS) {
    return RegCreateKeyExA(root, path, 0, nullptr, 0, sam, nullptr, key->out(), disposition);
}

LSTATUS Open(HKEY root, const char* path, Key* key, REGSAM sam = KEY_READ) {
    return RegOpenKeyExA(root, path, 0, sam, key->out());
}

template <class T>
Bytes AsBytes(const T* data, size_t count) {
    const auto* p = reinterpret_cast<const BYTE*>(data);
    return Bytes(p, p + count * sizeof(T));
}

LSTATUS SetW(HKEY key, const char16_t* name, DWORD type, const Bytes& data) {
    return RegSetValueExW(key, name, 0, type, data.empty() ? nullptr : data.data(),
                          static_cast<DWORD>(data.size()));
}

// Reads a value with the W form; fails the test on error.
Bytes GetW(HKEY key, const char16_t* name, DWORD* type = nullptr) {
    DWORD size = 0;
    DWORD t = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, name, nullptr, &t, nullptr, &size));
    Bytes out(size);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, name, nullptr, &t, out.data(), &size));
    out.resize(size);
    if (type != nullptr)
        *type = t;
    return out;
}

std::string GetStringA(HKEY key, const char* name) {
    char buf[256] = {};
    DWORD size = sizeof(buf);
    DWORD type = 0;
    LSTATUS rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    if (rc != ERROR_SUCCESS)
        return "<error " + std::to_string(rc) + ">";
    return std::string(buf, size > 0 ? size - 1 : 0);
}

void SetStringA(HKEY key, const char* name, const std::string& value) {
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)));
}

std::vector<std::string> SubkeyNames(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD cch = sizeof(name);
        LSTATUS rc = RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        EXPECT_EQ(ERROR_SUCCESS, rc);
        if (rc != ERROR_SUCCESS)
            break;
        EXPECT_EQ(std::strlen(name), cch);
        names.emplace_back(name, cch);
    }
    return names;
}

// Value name -> UTF-8 text (strings) through RegEnumValueA.
std::vector<std::pair<std::string, std::string>> ValueStrings(HKEY key) {
    std::vector<std::pair<std::string, std::string>> out;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD cch = sizeof(name);
        BYTE data[256];
        DWORD size = sizeof(data);
        DWORD type = 0;
        LSTATUS rc = RegEnumValueA(key, i, name, &cch, nullptr, &type, data, &size);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        EXPECT_EQ(ERROR_SUCCESS, rc);
        if (rc != ERROR_SUCCESS)
            break;
        out.emplace_back(std::string(name, cch),
                         std::string(reinterpret_cast<char*>(data), size > 0 ? size - 1 : 0));
    }
    return out;
}

// Runs one SQL query returning a single integer against a hive file.
int64_t QueryFile(const std::string& file, const char* sql) {
    sqlite3* db = nullptr;
    int64_t result = -1;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            result = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
}

std::string JournalMode(const std::string& file) {
    sqlite3* db = nullptr;
    std::string mode;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            mode = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return mode;
}

class RegistryTest : public ::testing::Test {
  protected:
    k47::test::RegistrySandbox sandbox_;
};

TEST_F(RegistryTest, EveryValueTypeRoundTripsThroughTheFile) {
    const DWORD dword = 0xA1B2C3D4u;
    const ULONGLONG qword = 0x0102030405060708ull;
    const char16_t multi[] = u"one\0two\0";  // two strings and the closing empty one
    struct Case {
        const char16_t* name;
        DWORD type;
        Bytes data;
    } cases[] = {
        {u"sz", REG_SZ, AsBytes(u"h\u00e9llo", 6)},
        {u"sz-no-nul", REG_SZ, AsBytes(u"abc", 3)},
        {u"expand", REG_EXPAND_SZ, AsBytes(u"%HOME%/x", 9)},
        {u"multi", REG_MULTI_SZ, AsBytes(multi, sizeof(multi) / sizeof(char16_t))},
        {u"dword", REG_DWORD, AsBytes(&dword, 1)},
        {u"qword", REG_QWORD, AsBytes(&qword, 1)},
        {u"binary", REG_BINARY, Bytes{0x00, 0xFF, 0x00, 0x7F, 0x80}},
        {u"empty-binary", REG_BINARY, Bytes{}},
        {u"none", REG_NONE, Bytes{1, 2, 3}},
        {u"", REG_SZ, AsBytes(u"default", 8)},
    };
    {
        Key key;
        ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, "Software\\Types", &key));
        for (const auto& c : cases)
            ASSERT_EQ(ERROR_SUCCESS, SetW(key.get(), c.name, c.type, c.data));
    }
    // Read back after a reset: the values must come from the file, not from memory.
    k47::ResetRegistryForTests();
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_CURRENT_USER, "Software\\Types", &key));
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "value of type " << c.type << " size " << c.data.size());
        DWORD type = 0;
        EXPECT_EQ(c.data, GetW(key.get(), c.name, &type));
        EXPECT_EQ(c.type, type);
    }
    // The default value is reachable by a null name as well as by "".
    DWORD type = 0;
    EXPECT_EQ(AsBytes(u"default", 8), GetW(key.get(), nullptr, &type));
}

TEST_F(RegistryTest, AnsiFormsConvertStringsAndKeepOtherTypes) {
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, "Software\\Ansi", &key));
    const std::string text =
        "Gr\xC3\xBC\xC3\x9F"
        "e";  // "Grüße" in UTF-8, 7 bytes
    SetStringA(key.get(), "text", text);
    // Stored as UTF-16 with its NUL: 5 characters + NUL.
    DWORD type = 0;
    EXPECT_EQ(AsBytes(u"Gr\u00fc\u00dfe", 6), GetW(key.get(), u"text", &type));
    EXPECT_EQ(DWORD{REG_SZ}, type);
    EXPECT_EQ(text, GetStringA(key.get(), "text"));
    DWORD size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), "text", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(text.size() + 1, size);

    // Multi-strings keep their embedded NULs through both conversions.
    const char multi_a[] = "a\0bc\0";  // 6 bytes with the closing NUL
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key.get(), "multi", 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE*>(multi_a), sizeof(multi_a)));
    const char16_t multi_w[] = u"a\0bc\0";
    EXPECT_EQ(AsBytes(multi_w, 6), GetW(key.get(), u"multi"));
    BYTE back[16] = {};
    size = sizeof(back);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), "multi", nullptr, &type, back, &size));
    EXPECT_EQ(Bytes(multi_a, multi_a + sizeof(multi_a)), Bytes(back, back + size));

    // A wide value read through the A form, and a DWORD unchanged through either.
    ASSERT_EQ(ERROR_SUCCESS, SetW(key.get(), u"wide", REG_EXPAND_SZ, AsBytes(u"\u00e9t\u00e9", 4)));
    EXPECT_EQ("\xC3\xA9t\xC3\xA9", GetStringA(key.get(), "wide"));
    const DWORD dword = 7;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), "n", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&dword), sizeof(dword)));
    EXPECT_EQ(AsBytes(&dword, 1), GetW(key.get(), u"n"));
}

TEST_F(RegistryTest, QueryBufferProtocol) {
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, "Software\\Sizes", &key));
    const Bytes data{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(ERROR_SUCCESS, SetW(key.get(), u"Blob", REG_BINARY, data));

    struct Case {
        const char* what;
        bool with_buffer;
        DWORD buffer_size;
        LSTATUS expected;
        DWORD expected_size;
    } cases[] = {
        {"size query", false, 0, ERROR_SUCCESS, 10},
        {"exact buffer", true, 10, ERROR_SUCCESS, 10},
        {"larger buffer", true, 64, ERROR_SUCCESS, 10},
        {"one byte short", true, 9, ERROR_MORE_DATA, 10},
        {"empty buffer", true, 0, ERROR_MORE_DATA, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes buf(64, 0xEE);
        DWORD size = c.buffer_size;
        DWORD type = 0;
        EXPECT_EQ(c.expected, RegQueryValueExA(key.get(), "blob", nullptr, &type,
                                               c.with_buffer ? buf.data() : nullptr, &size));
        EXPECT_EQ(c.expected_size, size);
        EXPECT_EQ(DWORD{REG_BINARY}, type);  // the type is reported even with ERROR_MORE_DATA
        if (c.expected == ERROR_SUCCESS && c.with_buffer) {
            EXPECT_EQ(data, Bytes(buf.begin(), buf.begin() + size));
        }
    }
    BYTE one = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegQueryValueExA(key.get(), "blob", nullptr, nullptr, &one, nullptr));
    DWORD size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegQueryValueExA(key.get(), "absent", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegQueryValueExA(key.get(), nullptr, nullptr, nullptr, nullptr, &size))
        << "a key has no default value until one is set";
}

TEST_F(RegistryTest, KeysCreateOpenAndDelete) {
    DWORD disposition = 0;
    {
        Key key;
        ASSERT_EQ(ERROR_SUCCESS,
                  Create(HKEY_LOCAL_MACHINE, "Software\\Vendor\\App", &key, &disposition));
        EXPECT_EQ(DWORD{REG_CREATED_NEW_KEY}, disposition);
    }
    {
        Key key;
        ASSERT_EQ(ERROR_SUCCESS,
                  Create(HKEY_LOCAL_MACHINE, "software\\VENDOR\\app", &key, &disposition));
        EXPECT_EQ(DWORD{REG_OPENED_EXISTING_KEY}, disposition) << "names are case-insensitive";
    }
    {
        Key key;
        EXPECT_EQ(ERROR_SUCCESS, Open(HKEY_LOCAL_MACHINE, "Software\\Vendor", &key))
            << "intermediate keys are created";
        Key sub;
        EXPECT_EQ(ERROR_SUCCESS, Open(key.get(), "APP", &sub));
        Key missing;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(key.get(), "Other", &missing));
        EXPECT_EQ(nullptr, missing.get());
        Key bad;
        EXPECT_EQ(ERROR_BAD_PATHNAME, Open(HKEY_LOCAL_MACHINE, "\\Software", &bad));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(HKEY_CURRENT_USER, "Software\\Vendor", &bad))
            << "the hives are separate";
    }
    // RegDeleteKey refuses a key with subkeys and removes a leaf.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Vendor"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Vendor\\Nope"));
    {
        Key app;
        ASSERT_EQ(ERROR_SUCCESS,
                  Open(HKEY_LOCAL_MACHINE, "Software\\Vendor\\App", &app, KEY_ALL_ACCESS));
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Vendor\\App"));
        // The open handle now names a deleted key.
        const DWORD one = 1;
        EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(app.get(), "v", 0, REG_DWORD,
                                                    reinterpret_cast<const BYTE*>(&one), 4));
    }
    Key gone;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(HKEY_LOCAL_MACHINE, "Software\\Vendor\\App", &gone));

    // Values: delete, delete again.
    Key vendor;
    ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_LOCAL_MACHINE, "Software\\Vendor", &vendor, KEY_ALL_ACCESS));
    SetStringA(vendor.get(), "Name", "x");
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(vendor.get(), "NAME"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(vendor.get(), "Name"));

    // Closed and made-up handles.
    HKEY raw = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &raw));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(raw));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(raw));
    DWORD size = 0;
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExA(raw, "x", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE)) << "closing a root is harmless";
}

TEST_F(RegistryTest, DeleteTreeRemovesSubtreesAndContents) {
    // Root\{A\{A1\deep..., A2}, B} with values at every level.
    std::string deep = "Root\\A\\A1";
    for (int i = 0; i < 40; ++i)
        deep += "\\d" + std::to_string(i);
    for (const std::string& path : {deep, std::string("Root\\A\\A2"), std::string("Root\\B")}) {
        Key key;
        ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, path.c_str(), &key));
        SetStringA(key.get(), "v", path);
    }
    Key root;
    ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_CURRENT_USER, "Root", &root, KEY_ALL_ACCESS));
    SetStringA(root.get(), "top", "1");
    const int64_t keys_before = QueryFile(sandbox_.user_db(), "SELECT count(*) FROM key");
    ASSERT_EQ(1 + 1 + 2 + 40 + 2, keys_before);  // hive root, Root, A, A1, d0..d39, A2, B

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(root.get(), "a"));
    EXPECT_EQ((std::vector<std::string>{"B"}), SubkeyNames(root.get()));
    EXPECT_EQ("1", GetStringA(root.get(), "top")) << "the parent's values stay";
    // No orphaned rows: only the hive root, Root and B remain, with Root's and B's values.
    EXPECT_EQ(3, QueryFile(sandbox_.user_db(), "SELECT count(*) FROM key"));
    EXPECT_EQ(2, QueryFile(sandbox_.user_db(), "SELECT count(*) FROM value"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteTreeA(root.get(), "A"));

    // A null subkey empties the key itself but keeps it.
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(root.get(), nullptr));
    EXPECT_TRUE(SubkeyNames(root.get()).empty());
    EXPECT_TRUE(ValueStrings(root.get()).empty());
    Key again;
    DWORD disposition = 0;
    EXPECT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, "Root", &again, &disposition));
    EXPECT_EQ(DWORD{REG_OPENED_EXISTING_KEY}, disposition);
    EXPECT_EQ(2, QueryFile(sandbox_.user_db(), "SELECT count(*) FROM key"));
}

TEST_F(RegistryTest, EnumerationOrderBuffersAndEnd) {
    Key parent;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, "Enum", &parent));
    for (const char* name : {"delta", "Alpha", "charlie", "Bravo"}) {
        Key k;
        ASSERT_EQ(ERROR_SUCCESS, Create(parent.get(), name, &k));
    }
    EXPECT_EQ((std::vector<std::string>{"Alpha", "Bravo", "charlie", "delta"}),
              SubkeyNames(parent.get()));

    char name[8];
    DWORD cch = 5;  // "Alpha" needs 6 with its NUL
    EXPECT_EQ(ERROR_MORE_DATA,
              RegEnumKeyExA(parent.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    char16_t wname[8];
    cch = 8;
    FILETIME written{};
    ASSERT_EQ(ERROR_SUCCESS,
              RegEnumKeyExW(parent.get(), 2, wname, &cch, nullptr, nullptr, nullptr, &written));
    EXPECT_EQ(std::u16string(u"charlie"), std::u16string(wname, cch));
    // The last-write time is now (FILETIME: 100 ns since 1601), within a generous minute.
    const int64_t ft = (static_cast<int64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    const int64_t now = 116444736000000000LL + static_cast<int64_t>(time(nullptr)) * 10000000LL;
    EXPECT_LT(std::llabs(ft - now), 60LL * 10000000LL);
    cch = 8;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS,
              RegEnumKeyExW(parent.get(), 4, wname, &cch, nullptr, nullptr, nullptr, nullptr));

    SetStringA(parent.get(), "zeta", "z");
    SetStringA(parent.get(), "Eta", "e");
    SetStringA(parent.get(), "", "default");
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{
                  {"", "default"}, {"Eta", "e"}, {"zeta", "z"}}),
              ValueStrings(parent.get()));
    BYTE data[2];
    DWORD size = sizeof(data);
    char vname[16];
    cch = sizeof(vname);
    EXPECT_EQ(ERROR_MORE_DATA,
              RegEnumValueA(parent.get(), 0, vname, &cch, nullptr, nullptr, data, &size));
    EXPECT_EQ(8u, size);  // "default" and its NUL
}

TEST_F(RegistryTest, AccessRightsOfHandles) {
    {
        Key key;
        ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, "Rights", &key));
        SetStringA(key.get(), "v", "1");
    }
    const DWORD one = 1;
    struct Case {
        REGSAM sam;
        LSTATUS query;
        LSTATUS set;
        LSTATUS enumerate;
        LSTATUS create;
    } cases[] = {
        {KEY_READ, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_ACCESS_DENIED},
        {KEY_WRITE, ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_SUCCESS},
        {KEY_ALL_ACCESS, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS},
        {0x80000000u /* GENERIC_READ */, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_SUCCESS,
         ERROR_ACCESS_DENIED},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "sam 0x" << std::hex << c.sam);
        Key key;
        ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_CURRENT_USER, "Rights", &key, c.sam));
        DWORD size = 0;
        EXPECT_EQ(c.query, RegQueryValueExA(key.get(), "v", nullptr, nullptr, nullptr, &size));
        EXPECT_EQ(c.set, RegSetValueExA(key.get(), "w", 0, REG_DWORD,
                                        reinterpret_cast<const BYTE*>(&one), 4));
        char name[16];
        DWORD cch = sizeof(name);
        LSTATUS enum_rc =
            RegEnumKeyExA(key.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(c.enumerate, enum_rc == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : enum_rc);
        Key sub;
        std::string sub_name = "sub" + std::to_string(n++);
        EXPECT_EQ(c.create, Create(key.get(), sub_name.c_str(), &sub));
    }
}

// The merged view: keys from both hives, values of both with the user's winning, subkeys united
// (each name once, in the user's spelling), at every level.
TEST_F(RegistryTest, ClassesRootMergesUserOverMachine) {
    {
        Key m;
        ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, "Software\\Classes\\Shared", &m));
        SetStringA(m.get(), "", "machine default");
        SetStringA(m.get(), "both", "machine");
        SetStringA(m.get(), "m", "machine only");
        for (const char* sub : {"A", "C", "C\\Deep"}) {
            Key k;
            ASSERT_EQ(ERROR_SUCCESS, Create(m.get(), sub, &k));
        }
        Key c;
        ASSERT_EQ(ERROR_SUCCESS, Open(m.get(), "C", &c, KEY_ALL_ACCESS));
        SetStringA(c.get(), "from", "machine");
        Key only;
        ASSERT_EQ(ERROR_SUCCESS,
                  Create(HKEY_LOCAL_MACHINE, "Software\\Classes\\MachineOnly", &only));
    }
    {
        Key u;
        ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, "Software\\Classes\\Shared", &u));
        SetStringA(u.get(), "both", "user");
        SetStringA(u.get(), "u", "user only");
        for (const char* sub : {"B", "c"}) {
            Key k;
            ASSERT_EQ(ERROR_SUCCESS, Create(u.get(), sub, &k));
        }
        Key only;
        ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, "Software\\Classes\\UserOnly", &only));
    }
    Key shared;
    ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_CLASSES_ROOT, "Shared", &shared));
    EXPECT_EQ("user", GetStringA(shared.get(), "both"));
    EXPECT_EQ("machine only", GetStringA(shared.get(), "m"));
    EXPECT_EQ("user only", GetStringA(shared.get(), "u"));
    EXPECT_EQ("machine default", GetStringA(shared.get(), nullptr));
    EXPECT_EQ((std::vector<std::string>{"A", "B", "c"}), SubkeyNames(shared.get()));
    EXPECT_EQ(
        (std::vector<std::pair<std::string, std::string>>{
            {"", "machine default"}, {"both", "user"}, {"m", "machine only"}, {"u", "user only"}}),
        ValueStrings(shared.get()));
    // One level down the merge goes on: C exists in both, its subkey and value only in the
    // machine's.
    Key c;
    ASSERT_EQ(ERROR_SUCCESS, Open(shared.get(), "C", &c));
    EXPECT_EQ("machine", GetStringA(c.get(), "from"));
    EXPECT_EQ((std::vector<std::string>{"Deep"}), SubkeyNames(c.get()));

    const std::vector<std::string> top = SubkeyNames(HKEY_CLASSES_ROOT);
    EXPECT_EQ((std::vector<std::string>{"MachineOnly", "Shared", "UserOnly"}), top);
}

TEST_F(RegistryTest, ClassesRootWritesGoWhereTheRulesSay) {
    auto exists = [](HKEY root, const char* path) {
        Key k;
        return Open(root, path, &k) == ERROR_SUCCESS;
    };
    {
        Key k;
        ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, "Software\\Classes\\UserKey", &k));
        Key both_u, both_m;
        ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, "Software\\Classes\\BothKey", &both_u));
        ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, "Software\\Classes\\BothKey", &both_m));
    }
    // Switch off: new keys go to the machine hive...
    {
        Key k;
        DWORD disposition = 0;
        ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CLASSES_ROOT, "NewKey\\Sub", &k, &disposition));
        EXPECT_EQ(DWORD{REG_CREATED_NEW_KEY}, disposition);
        SetStringA(k.get(), "v", "1");
        EXPECT_TRUE(exists(HKEY_LOCAL_MACHINE, "Software\\Classes\\NewKey\\Sub"));
        EXPECT_FALSE(exists(HKEY_CURRENT_USER, "Software\\Classes\\NewKey"));
    }
    // ...values of a key only the user hive has go there, of a key both have to the machine's.
    {
        Key u;
        ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_CLASSES_ROOT, "UserKey", &u, KEY_ALL_ACCESS));
        SetStringA(u.get(), "v", "to user");
        Key b;
        ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_CLASSES_ROOT, "BothKey", &b, KEY_ALL_ACCESS));
        SetStringA(b.get(), "v", "to machine");
        Key hu, hm;
        ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_CURRENT_USER, "Software\\Classes\\UserKey", &hu));
        EXPECT_EQ("to user", GetStringA(hu.get(), "v"));
        EXPECT_FALSE(exists(HKEY_LOCAL_MACHINE, "Software\\Classes\\UserKey"));
        ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_LOCAL_MACHINE, "Software\\Classes\\BothKey", &hm));
        EXPECT_EQ("to machine", GetStringA(hm.get(), "v"));
    }
    // Switch on: everything goes to the user hive, even values of a machine-only key.
    k47::SetPerUserRegistration(true);
    EXPECT_TRUE(k47::GetPerUserRegistration());
    {
        Key k;
        DWORD disposition = 0;
        ASSERT_EQ(ERROR_SUCCESS,
                  Create(HKEY_CLASSES_ROOT, "CLSID\\{X}\\InprocServer32", &k, &disposition));
        EXPECT_EQ(DWORD{REG_CREATED_NEW_KEY}, disposition);
        SetStringA(k.get(), "", "/x.so");
        EXPECT_TRUE(exists(HKEY_CURRENT_USER, "Software\\Classes\\CLSID\\{X}\\InprocServer32"));
        EXPECT_FALSE(exists(HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID"));

        Key mk;
        ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_CLASSES_ROOT, "NewKey\\Sub", &mk, KEY_ALL_ACCESS));
        SetStringA(mk.get(), "v", "user copy");
        EXPECT_EQ("user copy", GetStringA(mk.get(), "v"));
        Key hm;
        ASSERT_EQ(ERROR_SUCCESS, Open(HKEY_LOCAL_MACHINE, "Software\\Classes\\NewKey\\Sub", &hm));
        EXPECT_EQ("1", GetStringA(hm.get(), "v")) << "the machine hive is untouched";
        // Deleting removes the user's copy only; the machine's shows through again.
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CLASSES_ROOT, "NewKey"));
        EXPECT_EQ("1", GetStringA(mk.get(), "v"));
    }
    k47::SetPerUserRegistration(false);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CLASSES_ROOT, "NewKey"));
    EXPECT_FALSE(exists(HKEY_CLASSES_ROOT, "NewKey"));
}

TEST_F(RegistryTest, HiveFilesAndLocations) {
    EXPECT_EQ(sandbox_.machine_db(), k47::MachineHivePath());
    EXPECT_EQ(sandbox_.user_db(), k47::UserHivePath());
    // Reads of missing hives are empty and create nothing.
    Key k;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(HKEY_LOCAL_MACHINE, "Software", &k));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(HKEY_CLASSES_ROOT, "CLSID", &k));
    EXPECT_TRUE(SubkeyNames(HKEY_CLASSES_ROOT).empty());
    EXPECT_FALSE(std::filesystem::exists(sandbox_.machine_db()));
    EXPECT_FALSE(std::filesystem::exists(sandbox_.user_db()));
    // The first write creates the file in WAL mode; the machine hive's three files are readable
    // by everyone, and stay after the last connection closes.
    Key m, u;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, "Software", &m));
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, "Software", &u));
    EXPECT_EQ("wal", JournalMode(sandbox_.machine_db()));
    EXPECT_EQ("wal", JournalMode(sandbox_.user_db()));
    k47::ResetRegistryForTests();
    for (const char* suffix : {"", "-wal", "-shm"}) {
        struct stat st {};
        std::string file = sandbox_.machine_db() + suffix;
        ASSERT_EQ(0, stat(file.c_str(), &st)) << file;
        EXPECT_EQ(0644u, st.st_mode & 0777) << file;
    }

    // Without K47_REGISTRY_DIR: the system location and the XDG data folder (only resolved here,
    // nothing is written).
    const std::string dir = sandbox_.dir();
    unsetenv("K47_REGISTRY_DIR");
    const char* old_xdg = getenv("XDG_DATA_HOME");
    std::string saved_xdg = old_xdg != nullptr ? old_xdg : "";
    setenv("XDG_DATA_HOME", "/srv/data", 1);
    k47::ResetRegistryForTests();
    EXPECT_EQ("/var/lib/k47/registry/machine.db", k47::MachineHivePath());
    EXPECT_EQ("/srv/data/k47/registry.db", k47::UserHivePath());
    setenv("XDG_DATA_HOME", "relative/ignored", 1);
    k47::ResetRegistryForTests();
    if (const char* home = getenv("HOME"); home != nullptr && home[0] == '/') {
        EXPECT_EQ(std::string(home) + "/.local/share/k47/registry.db", k47::UserHivePath());
    }
    if (old_xdg != nullptr)
        setenv("XDG_DATA_HOME", saved_xdg.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
    setenv("K47_REGISTRY_DIR", dir.c_str(), 1);
    k47::ResetRegistryForTests();
    EXPECT_EQ(dir + "/user.db", k47::UserHivePath());
}

// Runs `check` in a forked child that has dropped to uid/gid 65534 (nobody) with a fresh registry
// state, and returns its exit status (the value check returned, or -1 if it did not exit).
int RunAsNobody(int (*check)()) {
    pid_t pid = fork();
    if (pid == 0) {
        int code = 100;
        if (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0) {
            k47::ResetRegistryForTests();  // the parent's connections are not this process's
            code = check();
        }
        _exit(code);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// What a user who cannot write the machine hive sees: every read works, every write is refused.
// The exit status has one bit per failed expectation.
int ReadMachineHiveAsOtherUser() {
    int failed = 0;
    Key k;
    if (Open(HKEY_LOCAL_MACHINE, "Software\\Shared", &k) != ERROR_SUCCESS ||
        GetStringA(k.get(), "v") != "machine value")
        failed |= 1;
    Key c;
    if (Open(HKEY_CLASSES_ROOT, "CLSID\\{X}\\InprocServer32", &c) != ERROR_SUCCESS ||
        GetStringA(c.get(), "") != "/lib/x.so")
        failed |= 2;
    Key w;
    if (Open(HKEY_LOCAL_MACHINE, "Software\\Shared", &w, KEY_ALL_ACCESS) != ERROR_SUCCESS) {
        failed |= 4;
    } else {
        const BYTE data[] = "x";
        if (RegSetValueExA(w.get(), "v", 0, REG_SZ, data, sizeof(data)) != ERROR_ACCESS_DENIED)
            failed |= 8;
    }
    Key n;
    if (Create(HKEY_LOCAL_MACHINE, "Software\\New", &n) != ERROR_ACCESS_DENIED)
        failed |= 16;
    return failed;
}

// The machine hive is written by root and read by everyone, including while root's connection
// is open, after it closed, and when the file was made in rollback mode by an older build and
// converted by its next writer.
TEST_F(RegistryTest, MachineHiveIsReadableByOtherUsers) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to another user";
    ASSERT_EQ(0, chmod(sandbox_.dir().c_str(), 0755));
    enum class Setup { kWriterOpen, kAllClosed, kConvertedFromRollback };
    for (Setup setup : {Setup::kWriterOpen, Setup::kAllClosed, Setup::kConvertedFromRollback}) {
        SCOPED_TRACE(static_cast<int>(setup));
        k47::ResetRegistryForTests();
        for (const char* suffix : {"", "-wal", "-shm", "-journal"})
            std::filesystem::remove(sandbox_.machine_db() + suffix);
        if (setup == Setup::kConvertedFromRollback) {
            sqlite3* db = nullptr;
            ASSERT_EQ(SQLITE_OK, sqlite3_open(sandbox_.machine_db().c_str(), &db));
            ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "PRAGMA journal_mode=DELETE; CREATE TABLE t(x)",
                                              nullptr, nullptr, nullptr));
            sqlite3_close(db);
            ASSERT_EQ("delete", JournalMode(sandbox_.machine_db()));
        }
        {
            Key k;
            ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, "Software\\Shared", &k));
            SetStringA(k.get(), "v", "machine value");
            Key c;
            ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CLASSES_ROOT, "CLSID\\{X}\\InprocServer32", &c));
            SetStringA(c.get(), "", "/lib/x.so");
        }
        EXPECT_EQ("wal", JournalMode(sandbox_.machine_db()));
        if (setup != Setup::kWriterOpen)
            k47::ResetRegistryForTests();
        EXPECT_EQ(0, RunAsNobody(&ReadMachineHiveAsOtherUser));
    }
}

// Several threads register at once through their own handles; all of it lands.
TEST_F(RegistryTest, ConcurrentThreadsAllWritesLand) {
    constexpr int kThreads = 4;
    constexpr int kKeys = 24;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kKeys; ++i) {
                HKEY root = (i % 2 == 0) ? HKEY_CLASSES_ROOT : HKEY_CURRENT_USER;
                std::string path = "Threads\\t" + std::to_string(t) + "\\k" + std::to_string(i);
                Key key;
                if (Create(root, path.c_str(), &key) != ERROR_SUCCESS)
                    ++failures[t];
                const DWORD v = static_cast<DWORD>(t * 1000 + i);
                if (RegSetValueExA(key.get(), "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v),
                                   4) != ERROR_SUCCESS)
                    ++failures[t];
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(std::vector<int>(kThreads, 0), failures);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kKeys; ++i) {
            HKEY root = (i % 2 == 0) ? HKEY_CLASSES_ROOT : HKEY_CURRENT_USER;
            std::string path = "Threads\\t" + std::to_string(t) + "\\k" + std::to_string(i);
            Key key;
            ASSERT_EQ(ERROR_SUCCESS, Open(root, path.c_str(), &key)) << path;
            DWORD v = 0;
            DWORD size = sizeof(v);
            ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), "n", nullptr, nullptr,
                                                      reinterpret_cast<BYTE*>(&v), &size));
            EXPECT_EQ(static_cast<DWORD>(t * 1000 + i), v);
        }
    }
}

// Real processes starting together on a folder with no hive files yet: every write lands and
// none of them sees a busy database.
TEST_F(RegistryTest, ConcurrentProcessesAllWritesLand) {
    constexpr int kWriters = 3;
    constexpr int kKeys = 100;
    int go[2];
    ASSERT_EQ(0, pipe(go));
    std::vector<pid_t> pids;
    for (int w = 0; w < kWriters; ++w) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, go[0], STDIN_FILENO);
        posix_spawn_file_actions_addclose(&actions, go[1]);
        std::string id = std::to_string(w);
        std::string count = std::to_string(kKeys);
        char* argv[] = {const_cast<char*>(K47_REGISTRY_WRITER_PATH), id.data(), count.data(),
                        nullptr};
        pid_t pid = 0;
        int rc = posix_spawn(&pid, K47_REGISTRY_WRITER_PATH, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(0, rc);
        pids.push_back(pid);
    }
    close(go[0]);
    close(go[1]);  // all writers start now
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;
    }
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kKeys; ++i) {
            HKEY root = (i % 2 == 0) ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
            std::string path = "Stress\\w" + std::to_string(w) + "\\k" + std::to_string(i);
            Key key;
            ASSERT_EQ(ERROR_SUCCESS, Open(root, path.c_str(), &key)) << path;
            DWORD v = 0;
            DWORD size = sizeof(v);
            ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), "n", nullptr, nullptr,
                                                      reinterpret_cast<BYTE*>(&v), &size));
            EXPECT_EQ(static_cast<DWORD>(i), v);
        }
    }
    // Exactly the keys written: hive root + Stress + one per writer + its keys, in each hive.
    const int64_t expected = 2 + kWriters + kWriters * kKeys / 2;
    EXPECT_EQ(expected, QueryFile(sandbox_.machine_db(), "SELECT count(*) FROM key"));
    EXPECT_EQ(expected, QueryFile(sandbox_.user_db(), "SELECT count(*) FROM key"));
}

}  // namespace
