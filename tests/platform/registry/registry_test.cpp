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
#include "tests/support/ScopedRegistryFolder.h"
#include "windows.h"

extern char** environ;

namespace {

// Owns an open key.
class Key {
  public:
    Key() = default;
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

class RegistryTest : public ::testing::Test {
  protected:
    k47test::ScopedRegistryFolder sandbox_;
};

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
    const int64_t keys_before = QueryFile(sandbox_.UserDb(), "SELECT count(*) FROM key");
    ASSERT_EQ(1 + 1 + 2 + 40 + 2, keys_before);  // hive root, Root, A, A1, d0..d39, A2, B

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(root.get(), "a"));
    EXPECT_EQ((std::vector<std::string>{"B"}), SubkeyNames(root.get()));
    EXPECT_EQ("1", GetStringA(root.get(), "top")) << "the parent's values stay";
    // No orphaned rows: only the hive root, Root and B remain, with Root's and B's values.
    EXPECT_EQ(3, QueryFile(sandbox_.UserDb(), "SELECT count(*) FROM key"));
    EXPECT_EQ(2, QueryFile(sandbox_.UserDb(), "SELECT count(*) FROM value"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteTreeA(root.get(), "A"));

    // A null subkey empties the key itself but keeps it.
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(root.get(), nullptr));
    EXPECT_TRUE(SubkeyNames(root.get()).empty());
    EXPECT_TRUE(ValueStrings(root.get()).empty());
    Key again;
    DWORD disposition = 0;
    EXPECT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, "Root", &again, &disposition));
    EXPECT_EQ(DWORD{REG_OPENED_EXISTING_KEY}, disposition);
    EXPECT_EQ(2, QueryFile(sandbox_.UserDb(), "SELECT count(*) FROM key"));
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
    EXPECT_EQ(expected, QueryFile(sandbox_.MachineDb(), "SELECT count(*) FROM key"));
    EXPECT_EQ(expected, QueryFile(sandbox_.UserDb(), "SELECT count(*) FROM key"));
}

}  // namespace
