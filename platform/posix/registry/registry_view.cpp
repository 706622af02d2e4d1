// Linux implementation file of the platform layer: may include Linux system headers.
// Process-wide registry state: hive locations, open key handles, the merged classes view.
#include "registry/registry_view.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "k47/registry.h"

namespace k47::registry {
namespace {

enum class Root { kMachine, kUser, kClasses };

struct OpenKeyState {
    Root root;
    KeyPath path;  // relative to the root (for kClasses: to Software\Classes)
    REGSAM access;
};

constexpr size_t kMaxKeyNameLength = 255;
constexpr uintptr_t kFirstHandle = 0x1000;
constexpr uintptr_t kHandleStep = 4;

const KeyPath& ClassesPrefix() {
    static const KeyPath prefix{"Software", "Classes"};
    return prefix;
}

KeyPath Join(const KeyPath& a, const KeyPath& b) {
    KeyPath out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

std::string HomeFolder() {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    passwd pw{};
    passwd* result = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr)
        return result->pw_dir;
    return "/tmp";
}

class RegistryState {
  public:
    static RegistryState& Instance() {
        static RegistryState state;
        return state;
    }

    std::mutex& mutex() noexcept { return mu_; }

    // Both require the lock.
    Hive& machine() {
        Resolve();
        return *machine_;
    }
    Hive& user() {
        Resolve();
        return *user_;
    }

    std::atomic<bool> per_user{false};

    HKEY Add(OpenKeyState state) {
        uintptr_t id = next_;
        next_ += kHandleStep;
        handles_.emplace(id, std::move(state));
        return reinterpret_cast<HKEY>(id);
    }
    bool Remove(HKEY key) { return handles_.erase(reinterpret_cast<uintptr_t>(key)) == 1; }
    const OpenKeyState* Find(HKEY key) const {
        auto it = handles_.find(reinterpret_cast<uintptr_t>(key));
        return it == handles_.end() ? nullptr : &it->second;
    }

    void Reset() {
        handles_.clear();
        machine_.reset();
        user_.reset();
        per_user = false;
    }

  private:
    void Resolve() {
        if (machine_ && user_)
            return;
        std::string machine_path;
        std::string user_path;
        unsigned user_mode = 0700;
        const char* dir = getenv("K47_REGISTRY_DIR");
        if (dir != nullptr && dir[0] != '\0') {
            std::string base(dir);
            while (base.size() > 1 && base.back() == '/')
                base.pop_back();
            machine_path = base + "/machine.db";
            user_path = base + "/user.db";
            user_mode = 0755;  // one folder shared with the machine hive
        } else {
            machine_path = "/var/lib/k47/registry/machine.db";
            const char* data = getenv("XDG_DATA_HOME");
            // The XDG spec ignores a relative XDG_DATA_HOME.
            std::string base = (data != nullptr && data[0] == '/') ? std::string(data)
                                                                   : HomeFolder() + "/.local/share";
            user_path = base + "/k47/registry.db";
        }
        // Users who cannot write the machine hive's folder still read it (see registry_hive.h).
        machine_ = std::make_unique<Hive>(machine_path, Hive::Sharing::kShared, 0755);
        user_ = std::make_unique<Hive>(user_path, Hive::Sharing::kPrivate, user_mode);
    }

    RegistryState() = default;

    std::mutex mu_;
    std::unique_ptr<Hive> machine_;
    std::unique_ptr<Hive> user_;
    std::unordered_map<uintptr_t, OpenKeyState> handles_;
    uintptr_t next_ = kFirstHandle;
};

using Lock = std::lock_guard<std::mutex>;

RegistryState& State() {
    return RegistryState::Instance();
}

// Resolves a handle to (root, path, access); requires the lock.
OpenKeyState Resolve(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE)
        return {Root::kMachine, {}, KEY_ALL_ACCESS};
    if (key == HKEY_CURRENT_USER)
        return {Root::kUser, {}, KEY_ALL_ACCESS};
    if (key == HKEY_CLASSES_ROOT)
        return {Root::kClasses, {}, KEY_ALL_ACCESS};
    const OpenKeyState* state = State().Find(key);
    if (state == nullptr)
        throw RegistryError{ERROR_INVALID_HANDLE};
    return *state;
}

bool ExistsIn(Hive& hive, const KeyPath& path) {
    Hive::Transaction txn(hive, Hive::Transaction::Mode::kRead);
    return hive.Find(txn, path).has_value();
}

// Whether the key exists in the view of root; the roots themselves always exist.
bool Exists(Root root, const KeyPath& path) {
    if (path.empty())
        return true;
    switch (root) {
        case Root::kMachine:
            return ExistsIn(State().machine(), path);
        case Root::kUser:
            return ExistsIn(State().user(), path);
        case Root::kClasses:
            return ExistsIn(State().user(), Join(ClassesPrefix(), path)) ||
                   ExistsIn(State().machine(), Join(ClassesPrefix(), path));
    }
    return false;
}

// Where a value write or a deletion of path under root goes: the hive and the full path in it.
struct Target {
    Hive* hive;
    KeyPath path;
};

Target WriteTarget(Root root, const KeyPath& path) {
    switch (root) {
        case Root::kMachine:
            return {&State().machine(), path};
        case Root::kUser:
            return {&State().user(), path};
        case Root::kClasses:
            break;
    }
    KeyPath full = Join(ClassesPrefix(), path);
    if (State().per_user)
        return {&State().user(), full};
    bool in_user = ExistsIn(State().user(), full);
    if (in_user && !ExistsIn(State().machine(), full))
        return {&State().user(), full};
    return {&State().machine(), full};
}

// Where a new key under root goes.
Target CreateTarget(Root root, const KeyPath& path) {
    if (root == Root::kClasses) {
        KeyPath full = Join(ClassesPrefix(), path);
        return {State().per_user ? &State().user() : &State().machine(), full};
    }
    return WriteTarget(root, path);
}

// The views a read consults, the winning one first.
std::vector<Target> ReadSources(Root root, const KeyPath& path) {
    switch (root) {
        case Root::kMachine:
            return {{&State().machine(), path}};
        case Root::kUser:
            return {{&State().user(), path}};
        case Root::kClasses:
            break;
    }
    KeyPath full = Join(ClassesPrefix(), path);
    return {{&State().user(), full}, {&State().machine(), full}};
}

}  // namespace

KeyPath ParsePath(std::string_view path) {
    KeyPath out;
    if (!path.empty() && path.front() == '\\')
        throw RegistryError{ERROR_BAD_PATHNAME};
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > start) {
            if (end - start > kMaxKeyNameLength)
                throw RegistryError{ERROR_INVALID_PARAMETER};
            out.emplace_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return out;
}

REGSAM NormalizeAccess(REGSAM sam) noexcept {
    constexpr REGSAM kGenericRead = 0x80000000u;
    constexpr REGSAM kGenericWrite = 0x40000000u;
    constexpr REGSAM kGenericExecute = 0x20000000u;
    constexpr REGSAM kGenericAll = 0x10000000u;
    constexpr REGSAM kMaximumAllowed = 0x02000000u;
    if (sam & (kGenericAll | kMaximumAllowed))
        return KEY_ALL_ACCESS;
    REGSAM out = sam & KEY_ALL_ACCESS;
    if (sam & (kGenericRead | kGenericExecute))
        out |= KEY_READ;
    if (sam & kGenericWrite)
        out |= KEY_WRITE;
    return out;
}

void RequireAccess(HKEY key, REGSAM needed) {
    Lock lock(State().mutex());
    if ((Resolve(key).access & needed) != needed)
        throw RegistryError{ERROR_ACCESS_DENIED};
}

HKEY CreateKey(HKEY parent, const KeyPath& sub, REGSAM access, DWORD* disposition) {
    Lock lock(State().mutex());
    OpenKeyState base = Resolve(parent);
    KeyPath path = Join(base.path, sub);
    bool created = false;
    if (!Exists(base.root, path)) {
        if (!Exists(base.root, base.path))
            throw RegistryError{ERROR_KEY_DELETED};
        if ((base.access & KEY_CREATE_SUB_KEY) == 0)
            throw RegistryError{ERROR_ACCESS_DENIED};
        Target target = CreateTarget(base.root, path);
        Hive::Transaction txn(*target.hive, Hive::Transaction::Mode::kWrite);
        target.hive->Create(txn, target.path, &created);
        txn.Commit();
    }
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return State().Add({base.root, std::move(path), NormalizeAccess(access)});
}

HKEY OpenKey(HKEY parent, const KeyPath& sub, REGSAM access) {
    Lock lock(State().mutex());
    OpenKeyState base = Resolve(parent);
    KeyPath path = Join(base.path, sub);
    if (!Exists(base.root, path))
        throw RegistryError{ERROR_FILE_NOT_FOUND};
    return State().Add({base.root, std::move(path), NormalizeAccess(access)});
}

void CloseKey(HKEY key) {
    Lock lock(State().mutex());
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT)
        return;
    if (!State().Remove(key))
        throw RegistryError{ERROR_INVALID_HANDLE};
}

StoredValue QueryValue(HKEY key, std::string_view name) {
    Lock lock(State().mutex());
    OpenKeyState state = Resolve(key);
    bool key_found = state.path.empty();
    for (const Target& source : ReadSources(state.root, state.path)) {
        Hive::Transaction txn(*source.hive, Hive::Transaction::Mode::kRead);
        auto id = source.hive->Find(txn, source.path);
        if (!id)
            continue;
        key_found = true;
        if (auto value = source.hive->GetValue(txn, *id, name))
            return std::move(*value);
    }
    throw RegistryError{key_found ? static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)
                                  : static_cast<LSTATUS>(ERROR_KEY_DELETED)};
}

void SetValue(HKEY key, std::string_view name, DWORD type, const BYTE* data, size_t size) {
    Lock lock(State().mutex());
    OpenKeyState state = Resolve(key);
    Target target = WriteTarget(state.root, state.path);
    // A key seen through the classes view may live only in the other hive: the write then creates
    // it in the target hive. Checked before the write transaction, which would create the file.
    bool in_target = ExistsIn(*target.hive, target.path);
    if (!in_target && !Exists(state.root, state.path))
        throw RegistryError{ERROR_KEY_DELETED};
    Hive::Transaction txn(*target.hive, Hive::Transaction::Mode::kWrite);
    auto id = target.hive->Find(txn, target.path);
    if (!id) {
        if (in_target)
            throw RegistryError{ERROR_KEY_DELETED};  // removed meanwhile
        id = target.hive->Create(txn, target.path, nullptr);
    }
    target.hive->SetValue(txn, *id, name, type, data, size);
    txn.Commit();
}

void DeleteValue(HKEY key, std::string_view name) {
    Lock lock(State().mutex());
    OpenKeyState state = Resolve(key);
    Target target = WriteTarget(state.root, state.path);
    if (!ExistsIn(*target.hive, target.path)) {
        throw RegistryError{Exists(state.root, state.path)
                                ? static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)
                                : static_cast<LSTATUS>(ERROR_KEY_DELETED)};
    }
    Hive::Transaction txn(*target.hive, Hive::Transaction::Mode::kWrite);
    auto id = target.hive->Find(txn, target.path);
    if (!id)
        throw RegistryError{ERROR_KEY_DELETED};
    if (!target.hive->DeleteValue(txn, *id, name))
        throw RegistryError{ERROR_FILE_NOT_FOUND};
    txn.Commit();
}

void DeleteTree(HKEY key, const KeyPath* sub) {
    Lock lock(State().mutex());
    OpenKeyState state = Resolve(key);
    bool whole_key = sub != nullptr && !sub->empty();
    KeyPath path = whole_key ? Join(state.path, *sub) : state.path;
    if (path.empty())
        throw RegistryError{ERROR_ACCESS_DENIED};  // a whole hive
    Target target = WriteTarget(state.root, path);
    if (!ExistsIn(*target.hive, target.path)) {
        // Emptying a key that the target hive does not hold leaves nothing to do.
        if (!whole_key && Exists(state.root, path))
            return;
        throw RegistryError{whole_key ? static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)
                                      : static_cast<LSTATUS>(ERROR_KEY_DELETED)};
    }
    Hive::Transaction txn(*target.hive, Hive::Transaction::Mode::kWrite);
    auto id = target.hive->Find(txn, target.path);
    if (!id)
        throw RegistryError{ERROR_FILE_NOT_FOUND};
    if (whole_key)
        target.hive->DeleteKey(txn, *id);
    else
        target.hive->DeleteContents(txn, *id);
    txn.Commit();
}

void DeleteKey(HKEY key, const KeyPath& sub) {
    Lock lock(State().mutex());
    OpenKeyState state = Resolve(key);
    KeyPath path = Join(state.path, sub);
    if (path.empty())
        throw RegistryError{ERROR_ACCESS_DENIED};
    Target target = WriteTarget(state.root, path);
    if (!ExistsIn(*target.hive, target.path))
        throw RegistryError{ERROR_FILE_NOT_FOUND};
    Hive::Transaction txn(*target.hive, Hive::Transaction::Mode::kWrite);
    auto id = target.hive->Find(txn, target.path);
    if (!id)
        throw RegistryError{ERROR_FILE_NOT_FOUND};
    if (target.hive->HasSubkeys(txn, *id))
        throw RegistryError{ERROR_ACCESS_DENIED};
    target.hive->DeleteKey(txn, *id);
    txn.Commit();
}

std::vector<SubkeyInfo> Subkeys(HKEY key) {
    Lock lock(State().mutex());
    OpenKeyState state = Resolve(key);
    std::vector<SubkeyInfo> merged;
    bool key_found = state.path.empty();
    for (const Target& source : ReadSources(state.root, state.path)) {
        Hive::Transaction txn(*source.hive, Hive::Transaction::Mode::kRead);
        auto id = source.hive->Find(txn, source.path);
        if (!id)
            continue;
        key_found = true;
        std::vector<SubkeyInfo> own = source.hive->Subkeys(txn, *id);
        if (merged.empty()) {
            merged = std::move(own);
            continue;
        }
        // Merge two sorted lists; a name already present (from the winning hive) stays.
        std::vector<SubkeyInfo> out;
        out.reserve(merged.size() + own.size());
        size_t i = 0;
        size_t j = 0;
        while (i < merged.size() || j < own.size()) {
            if (j == own.size() || (i < merged.size() && NameLess(merged[i].name, own[j].name))) {
                out.push_back(std::move(merged[i++]));
            } else if (i == merged.size() || NameLess(own[j].name, merged[i].name)) {
                out.push_back(std::move(own[j++]));
            } else {
                out.push_back(std::move(merged[i++]));
                ++j;
            }
        }
        merged = std::move(out);
    }
    if (!key_found)
        throw RegistryError{ERROR_KEY_DELETED};
    return merged;
}

std::vector<NamedValue> Values(HKEY key) {
    Lock lock(State().mutex());
    OpenKeyState state = Resolve(key);
    std::vector<NamedValue> merged;
    bool key_found = state.path.empty();
    for (const Target& source : ReadSources(state.root, state.path)) {
        Hive::Transaction txn(*source.hive, Hive::Transaction::Mode::kRead);
        auto id = source.hive->Find(txn, source.path);
        if (!id)
            continue;
        key_found = true;
        for (auto& value : source.hive->Values(txn, *id)) {
            bool shadowed = false;
            for (const auto& existing : merged)
                shadowed = shadowed || NamesEqual(existing.name, value.name);
            if (!shadowed)
                merged.push_back(std::move(value));
        }
    }
    if (!key_found)
        throw RegistryError{ERROR_KEY_DELETED};
    std::stable_sort(merged.begin(), merged.end(), [](const NamedValue& a, const NamedValue& b) {
        return NameLess(a.name, b.name);
    });
    return merged;
}

}  // namespace k47::registry

namespace k47 {

void SetPerUserRegistration(bool enable) noexcept {
    registry::State().per_user = enable;
}

bool GetPerUserRegistration() noexcept {
    return registry::State().per_user;
}

std::string MachineHivePath() {
    std::lock_guard<std::mutex> lock(registry::State().mutex());
    return registry::State().machine().path();
}

std::string UserHivePath() {
    std::lock_guard<std::mutex> lock(registry::State().mutex());
    return registry::State().user().path();
}

void ResetRegistryForTests() {
    std::lock_guard<std::mutex> lock(registry::State().mutex());
    registry::State().Reset();
}

}  // namespace k47
