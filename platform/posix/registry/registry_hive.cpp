// Linux implementation file of the platform layer: may include Linux system headers.
// The SQLite store of one registry hive.
#include "registry/registry_hive.h"

#include <errno.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace k47::registry {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr int64_t kRootId = 1;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS key("
    " id INTEGER PRIMARY KEY,"
    " parent INTEGER REFERENCES key(id) ON DELETE CASCADE,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " last_write INTEGER NOT NULL DEFAULT 0,"
    " UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS value("
    " key INTEGER NOT NULL REFERENCES key(id) ON DELETE CASCADE,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, name)) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO key(id, parent, name, last_write) VALUES(1, NULL, '', 0);";

unsigned char FoldAscii(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

LSTATUS MapSqlite(sqlite3* db, int rc) noexcept {
    switch (rc & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_CANTOPEN: {
            int err = db != nullptr ? sqlite3_system_errno(db) : 0;
            return (err == EACCES || err == EPERM || err == EROFS) ? ERROR_ACCESS_DENIED
                                                                   : ERROR_CANTOPEN;
        }
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return ERROR_REGISTRY_CORRUPT;
        case SQLITE_NOMEM:
            return ERROR_OUTOFMEMORY;
        case SQLITE_IOERR:
        case SQLITE_FULL:
            return ERROR_REGISTRY_IO_FAILED;
        default:
            return ERROR_BADDB;
    }
}

[[noreturn]] void Throw(sqlite3* db, int rc) {
    throw RegistryError{MapSqlite(db, rc)};
}

int64_t NowFiletime() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    constexpr int64_t kUnixEpochAsFiletime = 116444736000000000LL;
    return kUnixEpochAsFiletime + static_cast<int64_t>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100;
}

// mkdir -p for the folders above a file.
void CreateParentFolders(const std::string& file, unsigned mode) {
    for (size_t pos = file.find('/', 1); pos != std::string::npos; pos = file.find('/', pos + 1)) {
        std::string dir = file.substr(0, pos);
        if (mkdir(dir.c_str(), mode) == 0) {
            chmod(dir.c_str(), mode);  // the mode asked for, whatever the umask
        } else if (errno != EEXIST) {
            int err = errno;
            throw RegistryError{(err == EACCES || err == EPERM || err == EROFS)
                                    ? static_cast<LSTATUS>(ERROR_ACCESS_DENIED)
                                    : static_cast<LSTATUS>(ERROR_CANTWRITE)};
        }
    }
}

// Resets a cached statement when it goes out of use, so it holds no read lock.
class StatementUse {
  public:
    explicit StatementUse(sqlite3_stmt* stmt) noexcept : stmt_(stmt) {}
    ~StatementUse() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;
    sqlite3_stmt* get() const noexcept { return stmt_; }

  private:
    sqlite3_stmt* stmt_;
};

void BindText(sqlite3* db, sqlite3_stmt* stmt, int index, std::string_view text) {
    int rc = sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()),
                               SQLITE_TRANSIENT);
    if (rc != SQLITE_OK)
        Throw(db, rc);
}

void BindInt(sqlite3* db, sqlite3_stmt* stmt, int index, int64_t v) {
    int rc = sqlite3_bind_int64(stmt, index, v);
    if (rc != SQLITE_OK)
        Throw(db, rc);
}

// Steps a statement; true while it yields rows.
bool Step(sqlite3* db, sqlite3_stmt* stmt) {
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    Throw(db, rc);
}

std::string ColumnText(sqlite3_stmt* stmt, int col) {
    const auto* p = sqlite3_column_text(stmt, col);
    int n = sqlite3_column_bytes(stmt, col);
    return p != nullptr ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n))
                        : std::string();
}

StoredValue ColumnValue(sqlite3_stmt* stmt, int type_col, int data_col) {
    StoredValue v;
    v.type = static_cast<DWORD>(sqlite3_column_int64(stmt, type_col));
    const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(stmt, data_col));
    int n = sqlite3_column_bytes(stmt, data_col);
    if (p != nullptr && n > 0)
        v.data.assign(p, p + n);
    return v;
}

// Busy handler: the same 5 s limit as sqlite3_busy_timeout(5000), but polling every 0.25 to
// 1.25 ms. SQLite's own handler backs off to 100 ms sleeps, and a waiter that sleeps that long
// against other processes committing back to back (each commit holding the lock through its
// fsyncs) can miss every gap and give up with SQLITE_BUSY; the jitter keeps waiters from
// polling in step with the holder.
int BusyHandler(void* arg, int count) {
    auto* state = static_cast<BusyState*>(arg);
    auto now = std::chrono::steady_clock::now();
    if (count == 0)
        state->since = now;
    if (now - state->since >= std::chrono::milliseconds(kBusyTimeoutMs))
        return 0;
    usleep(250 + static_cast<useconds_t>(rand_r(&state->seed) % 1000));
    return 1;
}

}  // namespace

bool NamesEqual(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(static_cast<unsigned char>(a[i])) !=
            FoldAscii(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool NameLess(std::string_view a, std::string_view b) noexcept {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = FoldAscii(static_cast<unsigned char>(a[i]));
        unsigned char y = FoldAscii(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

Hive::Hive(std::string path, Sharing sharing, unsigned folder_mode)
    : path_(std::move(path)), sharing_(sharing), folder_mode_(folder_mode) {}

Hive::~Hive() {
    Close();
}

void Hive::Close() noexcept {
    if (db_ != nullptr && owner_pid_ == static_cast<long>(getpid())) {
        for (auto& [sql, stmt] : statements_)
            sqlite3_finalize(stmt);
        sqlite3_close_v2(db_);
    }
    // In a forked child the parent's connection is abandoned, not closed: SQLite forbids using a
    // connection across fork(), and closing it could disturb the parent's locks.
    statements_.clear();
    db_ = nullptr;
    schema_ready_ = false;
    wal_checked_ = false;
}

sqlite3_stmt* Hive::Prepare(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end())
        return it->second;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        Throw(db_, rc);
    }
    statements_.emplace(sql, stmt);
    return stmt;
}

void Hive::Exec(const char* sql) {
    char* msg = nullptr;
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &msg);
    sqlite3_free(msg);
    if (rc != SQLITE_OK)
        Throw(db_, rc);
}

void Hive::Configure(sqlite3* db) {
    db_ = db;
    owner_pid_ = static_cast<long>(getpid());
    wal_checked_ = false;
    busy_.seed = static_cast<unsigned>(getpid()) * 2654435761u;
    sqlite3_busy_handler(db_, BusyHandler, &busy_);
    if (sharing_ == Sharing::kShared) {
        // Without it the last connection to close deletes -wal and -shm, and a reader that
        // cannot create them in the folder can no longer open the hive.
        int persist = 1;
        sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    }
    Exec("PRAGMA foreign_keys=ON");
}

bool Hive::OpenExisting() {
    if (db_ != nullptr && owner_pid_ != static_cast<long>(getpid()))
        Close();
    if (db_ != nullptr)
        return true;
    if (access(path_.c_str(), F_OK) != 0)
        return false;
    // Read-write when permitted; SQLite falls back to read-only on a file we cannot write (the
    // machine hive as seen by an ordinary user), and writes then fail with ERROR_ACCESS_DENIED.
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        LSTATUS code = MapSqlite(db, rc);
        sqlite3_close_v2(db);
        if ((rc & 0xff) == SQLITE_CANTOPEN && access(path_.c_str(), F_OK) != 0)
            return false;
        throw RegistryError{code};
    }
    Configure(db);
    return true;
}

void Hive::OpenForWriting() {
    if (!OpenExisting()) {
        CreateParentFolders(path_, folder_mode_);
        sqlite3* db = nullptr;
        int rc = sqlite3_open_v2(path_.c_str(), &db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            LSTATUS code = MapSqlite(db, rc);
            sqlite3_close_v2(db);
            throw RegistryError{code};
        }
        Configure(db);
    }
    if (!wal_checked_) {
        SwitchToWal();
        ShareFiles();
    }
}

// The mode is kept in the file, so after the first writer this only reads it back; a hive made
// in rollback mode (by an older build) is converted by its next writer.
void Hive::SwitchToWal() {
    std::string mode;
    auto read_mode = [](void* out, int, char** values, char**) {
        if (values[0] != nullptr)
            *static_cast<std::string*>(out) = values[0];
        return 0;
    };
    int rc = sqlite3_exec(db_, "PRAGMA journal_mode", read_mode, &mode, nullptr);
    if (rc != SQLITE_OK)
        Throw(db_, rc);
    // Switching needs an exclusive lock for a moment: when another process holds a lock, the
    // pragma fails with SQLITE_BUSY or answers the old mode. Retry within the busy time-out.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    while (mode != "wal") {
        mode.clear();
        rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", read_mode, &mode, nullptr);
        if (rc == SQLITE_OK && mode == "wal")
            break;
        if (rc != SQLITE_OK && (rc & 0xff) != SQLITE_BUSY)
            Throw(db_, rc);
        if (std::chrono::steady_clock::now() >= deadline) {
            if (rc != SQLITE_OK)
                Throw(db_, rc);
            // Still usable with its rollback journal, which needs every sync to stay intact.
            Exec("PRAGMA synchronous=FULL");
            return;
        }
        sqlite3_sleep(10);
    }
    // Under WAL, NORMAL cannot corrupt the file; a power cut may only lose the newest commits.
    Exec("PRAGMA synchronous=NORMAL");
    wal_checked_ = true;
}

// SQLite creates -wal and -shm with the database file's mode, and the file itself as 0644
// whatever the umask; this repairs a shared hive whose files were made by other means.
void Hive::ShareFiles() noexcept {
    if (sharing_ != Sharing::kShared)
        return;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::string file = path_ + suffix;
        struct stat st {};
        if (stat(file.c_str(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 0777) != 0644)
            chmod(file.c_str(), 0644);
    }
}

bool Hive::SchemaPresent() {
    if (schema_ready_)
        return true;
    sqlite3_stmt* stmt =
        Prepare("SELECT count(*) FROM sqlite_master WHERE type='table' AND name='value'");
    StatementUse use(stmt);
    schema_ready_ = Step(db_, stmt) && sqlite3_column_int(stmt, 0) == 1;
    return schema_ready_;
}

Hive::Transaction::Transaction(Hive& hive, Mode mode) : hive_(hive) {
    if (mode == Mode::kRead) {
        if (!hive_.OpenExisting() || !hive_.SchemaPresent())
            return;
        hive_.Exec("BEGIN");
        open_ = true;
        return;
    }
    hive_.OpenForWriting();
    hive_.Exec("BEGIN IMMEDIATE");
    open_ = true;
    if (!hive_.schema_ready_) {
        try {
            hive_.Exec(kSchema);
        } catch (...) {
            sqlite3_exec(hive_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
            open_ = false;
            throw;
        }
    }
}

Hive::Transaction::~Transaction() {
    if (open_)
        sqlite3_exec(hive_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Hive::Transaction::Commit() {
    if (!open_)
        return;
    hive_.Exec("COMMIT");
    open_ = false;
    hive_.schema_ready_ = true;
}

std::optional<int64_t> Hive::Find(Transaction& txn, const KeyPath& path) {
    if (txn.empty())
        return std::nullopt;
    sqlite3_stmt* stmt = Prepare("SELECT id FROM key WHERE parent=?1 AND name=?2");
    int64_t id = kRootId;
    for (const auto& name : path) {
        StatementUse use(stmt);
        BindInt(db_, stmt, 1, id);
        BindText(db_, stmt, 2, name);
        if (!Step(db_, stmt))
            return std::nullopt;
        id = sqlite3_column_int64(stmt, 0);
    }
    return id;
}

int64_t Hive::Create(Transaction& txn, const KeyPath& path, bool* created) {
    if (txn.empty())
        throw RegistryError{ERROR_INTERNAL_ERROR};
    sqlite3_stmt* find = Prepare("SELECT id FROM key WHERE parent=?1 AND name=?2");
    sqlite3_stmt* insert = Prepare("INSERT INTO key(parent, name, last_write) VALUES(?1, ?2, ?3)");
    int64_t id = kRootId;
    bool made = false;
    for (const auto& name : path) {
        {
            StatementUse use(find);
            BindInt(db_, find, 1, id);
            BindText(db_, find, 2, name);
            if (Step(db_, find)) {
                id = sqlite3_column_int64(find, 0);
                made = false;
                continue;
            }
        }
        StatementUse use(insert);
        BindInt(db_, insert, 1, id);
        BindText(db_, insert, 2, name);
        BindInt(db_, insert, 3, NowFiletime());
        Step(db_, insert);
        id = sqlite3_last_insert_rowid(db_);
        made = true;
    }
    if (created != nullptr)
        *created = made;
    return id;
}

std::optional<StoredValue> Hive::GetValue(Transaction& txn, int64_t key, std::string_view name) {
    if (txn.empty())
        return std::nullopt;
    sqlite3_stmt* stmt = Prepare("SELECT type, data FROM value WHERE key=?1 AND name=?2");
    StatementUse use(stmt);
    BindInt(db_, stmt, 1, key);
    BindText(db_, stmt, 2, name);
    if (!Step(db_, stmt))
        return std::nullopt;
    return ColumnValue(stmt, 0, 1);
}

void Hive::Touch(Transaction&, int64_t key) {
    sqlite3_stmt* stmt = Prepare("UPDATE key SET last_write=?2 WHERE id=?1");
    StatementUse use(stmt);
    BindInt(db_, stmt, 1, key);
    BindInt(db_, stmt, 2, NowFiletime());
    Step(db_, stmt);
}

void Hive::SetValue(Transaction& txn, int64_t key, std::string_view name, DWORD type,
                    const BYTE* data, size_t size) {
    if (txn.empty())
        throw RegistryError{ERROR_INTERNAL_ERROR};
    sqlite3_stmt* stmt = Prepare(
        "INSERT INTO value(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
        "ON CONFLICT(key, name) DO UPDATE SET type=excluded.type, data=excluded.data");
    StatementUse use(stmt);
    BindInt(db_, stmt, 1, key);
    BindText(db_, stmt, 2, name);
    BindInt(db_, stmt, 3, type);
    // A null pointer would bind SQL NULL; an empty value is a zero-length blob.
    static const BYTE kEmpty = 0;
    int rc = sqlite3_bind_blob(stmt, 4, size > 0 ? data : &kEmpty, static_cast<int>(size),
                               SQLITE_TRANSIENT);
    if (rc != SQLITE_OK)
        Throw(db_, rc);
    Step(db_, stmt);
    Touch(txn, key);
}

bool Hive::DeleteValue(Transaction& txn, int64_t key, std::string_view name) {
    if (txn.empty())
        return false;
    sqlite3_stmt* stmt = Prepare("DELETE FROM value WHERE key=?1 AND name=?2");
    {
        StatementUse use(stmt);
        BindInt(db_, stmt, 1, key);
        BindText(db_, stmt, 2, name);
        Step(db_, stmt);
    }
    if (sqlite3_changes(db_) == 0)
        return false;
    Touch(txn, key);
    return true;
}

std::vector<SubkeyInfo> Hive::Subkeys(Transaction& txn, int64_t key) {
    std::vector<SubkeyInfo> out;
    if (txn.empty())
        return out;
    sqlite3_stmt* stmt = Prepare("SELECT name, last_write FROM key WHERE parent=?1 ORDER BY name");
    StatementUse use(stmt);
    BindInt(db_, stmt, 1, key);
    while (Step(db_, stmt))
        out.push_back({ColumnText(stmt, 0), sqlite3_column_int64(stmt, 1)});
    return out;
}

std::vector<NamedValue> Hive::Values(Transaction& txn, int64_t key) {
    std::vector<NamedValue> out;
    if (txn.empty())
        return out;
    sqlite3_stmt* stmt = Prepare("SELECT name, type, data FROM value WHERE key=?1 ORDER BY name");
    StatementUse use(stmt);
    BindInt(db_, stmt, 1, key);
    while (Step(db_, stmt))
        out.push_back({ColumnText(stmt, 0), ColumnValue(stmt, 1, 2)});
    return out;
}

bool Hive::HasSubkeys(Transaction& txn, int64_t key) {
    if (txn.empty())
        return false;
    sqlite3_stmt* stmt = Prepare("SELECT 1 FROM key WHERE parent=?1 LIMIT 1");
    StatementUse use(stmt);
    BindInt(db_, stmt, 1, key);
    return Step(db_, stmt);
}

// The subtree is collected with a recursive query rather than left to ON DELETE CASCADE, whose
// recursion is bounded by SQLite's trigger depth.
void Hive::DeleteContents(Transaction& txn, int64_t key) {
    if (txn.empty())
        throw RegistryError{ERROR_INTERNAL_ERROR};
    sqlite3_stmt* values = Prepare(
        "WITH RECURSIVE sub(id) AS (SELECT id FROM key WHERE parent=?1 "
        " UNION ALL SELECT key.id FROM key JOIN sub ON key.parent=sub.id) "
        "DELETE FROM value WHERE key IN (SELECT id FROM sub) OR key=?1");
    sqlite3_stmt* keys = Prepare(
        "WITH RECURSIVE sub(id) AS (SELECT id FROM key WHERE parent=?1 "
        " UNION ALL SELECT key.id FROM key JOIN sub ON key.parent=sub.id) "
        "DELETE FROM key WHERE id IN (SELECT id FROM sub)");
    for (sqlite3_stmt* stmt : {values, keys}) {
        StatementUse use(stmt);
        BindInt(db_, stmt, 1, key);
        Step(db_, stmt);
    }
    Touch(txn, key);
}

void Hive::DeleteKey(Transaction& txn, int64_t key) {
    DeleteContents(txn, key);
    if (key == kRootId)
        return;
    sqlite3_stmt* stmt = Prepare("DELETE FROM key WHERE id=?1");
    StatementUse use(stmt);
    BindInt(db_, stmt, 1, key);
    Step(db_, stmt);
}

}  // namespace k47::registry
