// One registry hive in an SQLite file: keys (a tree under root row 1, names case-insensitive by
// the NOCASE collation, which folds ASCII) and their typed values.
//
// A file that does not exist reads as empty; the first write creates its folders, the file and
// the schema. Every operation runs inside a Transaction: reads in a deferred one, writes in
// BEGIN IMMEDIATE so that a writer never has to upgrade a read lock (in WAL mode that upgrade can
// fail with SQLITE_BUSY_SNAPSHOT without calling the busy handler). Several processes may write at
// once: a busy handler with a 5 s limit queues them.
//
// Both hives are in WAL mode with synchronous=NORMAL: a commit appends to the -wal file without
// syncing (only checkpoints sync), so a crash or power cut may lose the newest commits but never
// corrupts the file. Registering a module is some 300 one-statement transactions; with a rollback
// journal and synchronous=FULL each cost several fsyncs (about 9 s in all), under WAL it is a few
// milliseconds. A shared hive (the machine's) must stay readable by users who cannot write its
// folder: a WAL reader needs the -wal and -shm files to exist already, so every connection sets
// SQLITE_FCNTL_PERSIST_WAL (the last one to close keeps both files) and the three files are kept
// at mode 0644.
//
// Threading: a Hive is not thread-safe; the registry serialises all use under one process-wide
// lock. Errors are thrown as RegistryError carrying a Win32 error code.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winerror.h"

namespace k47::registry {

// A Win32 error raised inside the registry and returned at the API boundary.
struct RegistryError {
    LSTATUS code;
};

using KeyPath = std::vector<std::string>;

struct StoredValue {
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct NamedValue {
    std::string name;
    StoredValue value;
};

// What the busy handler of a connection keeps between its calls.
struct BusyState {
    std::chrono::steady_clock::time_point since;
    unsigned seed = 1;
};

struct SubkeyInfo {
    std::string name;
    int64_t last_write = 0;  // FILETIME: 100 ns units since 1601-01-01
};

// ASCII case folding, the same the NOCASE collation applies.
bool NamesEqual(std::string_view a, std::string_view b) noexcept;
bool NameLess(std::string_view a, std::string_view b) noexcept;

class Hive {
  public:
    // kShared: other users read the file (the machine hive); kPrivate: only its owner does.
    enum class Sharing { kPrivate, kShared };

    Hive(std::string path, Sharing sharing, unsigned folder_mode);
    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    const std::string& path() const noexcept { return path_; }

    class Transaction;

    // Key id of path (the empty path is the root), or nothing.
    std::optional<int64_t> Find(Transaction& txn, const KeyPath& path);
    // Creates the missing keys of path; sets *created when the last one was new.
    int64_t Create(Transaction& txn, const KeyPath& path, bool* created);
    std::optional<StoredValue> GetValue(Transaction& txn, int64_t key, std::string_view name);
    void SetValue(Transaction& txn, int64_t key, std::string_view name, DWORD type,
                  const BYTE* data, size_t size);
    bool DeleteValue(Transaction& txn, int64_t key, std::string_view name);
    // Sorted by name (case-insensitively).
    std::vector<SubkeyInfo> Subkeys(Transaction& txn, int64_t key);
    std::vector<NamedValue> Values(Transaction& txn, int64_t key);
    bool HasSubkeys(Transaction& txn, int64_t key);
    // Removes the key, its subtree and their values (the root only loses its contents).
    void DeleteKey(Transaction& txn, int64_t key);
    // Removes the subkeys and values of key, keeping the key.
    void DeleteContents(Transaction& txn, int64_t key);

  private:
    friend class Transaction;
    sqlite3_stmt* Prepare(const char* sql);
    bool OpenExisting();    // false when the file does not exist
    void OpenForWriting();  // creates folders, file, schema
    void Configure(sqlite3* db);
    void SwitchToWal();
    void ShareFiles() noexcept;
    void Close() noexcept;
    void Exec(const char* sql);
    bool SchemaPresent();
    void Touch(Transaction& txn, int64_t key);

    std::string path_;
    Sharing sharing_;
    unsigned folder_mode_;
    sqlite3* db_ = nullptr;
    long owner_pid_ = 0;  // a connection must not be used in a forked child
    bool schema_ready_ = false;
    bool wal_checked_ = false;  // this connection has seen the file in WAL mode
    BusyState busy_;
    std::map<const char*, sqlite3_stmt*> statements_;
};

// An open transaction on a hive: rolled back unless committed. A read transaction on a hive whose
// file does not exist is empty(): nothing may be looked up through it.
class Hive::Transaction {
  public:
    enum class Mode { kRead, kWrite };
    Transaction(Hive& hive, Mode mode);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool empty() const noexcept { return !open_; }
    void Commit();

  private:
    Hive& hive_;
    bool open_ = false;
};

}  // namespace k47::registry
