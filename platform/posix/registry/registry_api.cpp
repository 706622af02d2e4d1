// Linux implementation file of the platform layer: may include Linux system headers.
// The Reg* entry points: argument checks, A/W conversion, buffer protocol (ERROR_MORE_DATA with
// the needed size), mapping of internal failures to Win32 error codes.
//
// Strings are stored as UTF-16 (what the W forms write); the A forms convert to and from UTF-8,
// the ANSI code page of this platform. Volatile keys (REG_OPTION_VOLATILE) are stored like any
// other key. Key class strings are not kept.
#include <cstring>
#include <new>

#include "registry/registry_view.h"
#include "support/boundary.h"
#include "support/utf_bridge.h"
#include "windows.h"

namespace k47::registry {
namespace {

// The support boundary, with the registry's own failures carrying their code.
template <class F>
LSTATUS Boundary(F&& body) noexcept {
    return support::Boundary(ERROR_OUTOFMEMORY, ERROR_INTERNAL_ERROR, [&]() -> LSTATUS {
        try {
            body();
            return ERROR_SUCCESS;
        } catch (const RegistryError& e) {
            return e.code;
        }
    });
}

bool IsStringType(DWORD type) noexcept {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::string NameA(LPCSTR name) {
    return name != nullptr ? std::string(name) : std::string();
}
std::string NameW(LPCWSTR name) {
    return k47::support::Utf16ToUtf8(name);
}

// The stored UTF-16 bytes of a string value as the ANSI (UTF-8) bytes an A form returns.
std::vector<BYTE> StoredToAnsi(const StoredValue& value) {
    if (!IsStringType(value.type))
        return value.data;
    std::u16string wide(value.data.size() / 2, u'\0');
    if (!wide.empty())
        std::memcpy(wide.data(), value.data.data(), wide.size() * 2);
    std::string narrow = k47::support::Utf16ToUtf8(wide);
    return std::vector<BYTE>(narrow.begin(), narrow.end());
}

// Copies data out under the Windows buffer protocol: a null buffer asks for the size; a buffer
// that is too small gives ERROR_MORE_DATA with the size needed.
LSTATUS CopyOut(const std::vector<BYTE>& data, LPBYTE out, LPDWORD size) {
    if (out != nullptr && size == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (size == nullptr)
        return ERROR_SUCCESS;
    DWORD needed = static_cast<DWORD>(data.size());
    if (out == nullptr) {
        *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed > 0)
        std::memcpy(out, data.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

LSTATUS Query(HKEY key, const std::string& name, LPDWORD type, LPBYTE data, LPDWORD size,
              bool ansi) {
    if (data != nullptr && size == nullptr)
        return ERROR_INVALID_PARAMETER;
    StoredValue value;
    LSTATUS rc = Boundary([&] {
        RequireAccess(key, KEY_QUERY_VALUE);
        value = QueryValue(key, name);
    });
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type != nullptr)
        *type = value.type;
    if (ansi && IsStringType(value.type)) {
        std::vector<BYTE> converted;
        rc = Boundary([&] { converted = StoredToAnsi(value); });
        if (rc != ERROR_SUCCESS)
            return rc;
        return CopyOut(converted, data, size);
    }
    return CopyOut(value.data, data, size);
}

LSTATUS Set(HKEY key, const std::string& name, DWORD type, const BYTE* data, DWORD size,
            bool ansi) {
    if (data == nullptr && size != 0)
        return ERROR_NOACCESS;
    return Boundary([&] {
        RequireAccess(key, KEY_SET_VALUE);
        if (ansi && IsStringType(type)) {
            std::u16string wide =
                k47::support::Utf8ToUtf16({reinterpret_cast<const char*>(data), size});
            SetValue(key, name, type, reinterpret_cast<const BYTE*>(wide.data()),
                     wide.size() * sizeof(char16_t));
        } else {
            SetValue(key, name, type, data, size);
        }
    });
}

LSTATUS Create(HKEY key, const std::string& sub, DWORD options, REGSAM sam, PHKEY result,
               LPDWORD disposition) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (options & ~static_cast<DWORD>(REG_OPTION_VOLATILE))
        return ERROR_INVALID_PARAMETER;
    return Boundary([&] { *result = CreateKey(key, ParsePath(sub), sam, disposition); });
}

LSTATUS Open(HKEY key, const std::string& sub, REGSAM sam, PHKEY result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    return Boundary([&] { *result = OpenKey(key, ParsePath(sub), sam); });
}

LSTATUS DeleteTreeImpl(HKEY key, const char* sub) {
    return Boundary([&] {
        if (sub == nullptr) {
            DeleteTree(key, nullptr);
        } else {
            KeyPath path = ParsePath(sub);
            DeleteTree(key, &path);
        }
    });
}

// Copies a name into a character buffer: *count is the buffer size in characters with the NUL on
// entry and the length without it on success.
template <class Char>
LSTATUS CopyName(std::basic_string_view<Char> name, Char* out, LPDWORD count) {
    if (out == nullptr || count == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (*count <= name.size())
        return ERROR_MORE_DATA;
    std::memcpy(out, name.data(), name.size() * sizeof(Char));
    out[name.size()] = Char{0};
    *count = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

void FillLastWrite(int64_t filetime, PFILETIME out) {
    if (out == nullptr)
        return;
    out->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(filetime) & 0xFFFFFFFFu);
    out->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(filetime) >> 32);
}

template <class Char>
void ClearClass(Char* cls, LPDWORD cls_count) {
    if (cls_count == nullptr)
        return;
    if (cls != nullptr && *cls_count > 0)
        cls[0] = Char{0};
    *cls_count = 0;
}

}  // namespace
}  // namespace k47::registry

using namespace k47::registry;

EXTERN_C LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD dwOptions,
                                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES,
                                        PHKEY phkResult, LPDWORD lpdwDisposition) {
    return Create(hKey, NameA(lpSubKey), dwOptions, samDesired, phkResult, lpdwDisposition);
}

EXTERN_C LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD dwOptions,
                                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES,
                                        PHKEY phkResult, LPDWORD lpdwDisposition) {
    std::string sub;
    LSTATUS rc = Boundary([&] { sub = NameW(lpSubKey); });
    if (rc != ERROR_SUCCESS)
        return rc;
    return Create(hKey, sub, dwOptions, samDesired, phkResult, lpdwDisposition);
}

EXTERN_C LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired,
                                      PHKEY phkResult) {
    return Open(hKey, NameA(lpSubKey), samDesired, phkResult);
}

EXTERN_C LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired,
                                      PHKEY phkResult) {
    std::string sub;
    LSTATUS rc = Boundary([&] { sub = NameW(lpSubKey); });
    if (rc != ERROR_SUCCESS)
        return rc;
    return Open(hKey, sub, samDesired, phkResult);
}

EXTERN_C LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType,
                                       const BYTE* lpData, DWORD cbData) {
    return Set(hKey, NameA(lpValueName), dwType, lpData, cbData, true);
}

EXTERN_C LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType,
                                       const BYTE* lpData, DWORD cbData) {
    std::string name;
    LSTATUS rc = Boundary([&] { name = NameW(lpValueName); });
    if (rc != ERROR_SUCCESS)
        return rc;
    return Set(hKey, name, dwType, lpData, cbData, false);
}

EXTERN_C LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType,
                                         LPBYTE lpData, LPDWORD lpcbData) {
    return Query(hKey, NameA(lpValueName), lpType, lpData, lpcbData, true);
}

EXTERN_C LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType,
                                         LPBYTE lpData, LPDWORD lpcbData) {
    std::string name;
    LSTATUS rc = Boundary([&] { name = NameW(lpValueName); });
    if (rc != ERROR_SUCCESS)
        return rc;
    return Query(hKey, name, lpType, lpData, lpcbData, false);
}

EXTERN_C LSTATUS WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    return DeleteTreeImpl(hKey, lpSubKey);
}

EXTERN_C LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    std::string sub;
    LSTATUS rc = Boundary([&] { sub = NameW(lpSubKey); });
    if (rc != ERROR_SUCCESS)
        return rc;
    return DeleteTreeImpl(hKey, lpSubKey != nullptr ? sub.c_str() : nullptr);
}

EXTERN_C LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    return Boundary([&] { DeleteKey(hKey, ParsePath(lpSubKey)); });
}

EXTERN_C LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (lpSubKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    return Boundary([&] { DeleteKey(hKey, ParsePath(NameW(lpSubKey))); });
}

EXTERN_C LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return Boundary([&] {
        RequireAccess(hKey, KEY_SET_VALUE);
        DeleteValue(hKey, NameA(lpValueName));
    });
}

EXTERN_C LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return Boundary([&] {
        RequireAccess(hKey, KEY_SET_VALUE);
        DeleteValue(hKey, NameW(lpValueName));
    });
}

EXTERN_C LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                      LPDWORD, LPSTR lpClass, LPDWORD lpcchClass,
                                      PFILETIME lpftLastWriteTime) {
    std::vector<SubkeyInfo> keys;
    LSTATUS rc = Boundary([&] {
        RequireAccess(hKey, KEY_ENUMERATE_SUB_KEYS);
        keys = Subkeys(hKey);
    });
    if (rc != ERROR_SUCCESS)
        return rc;
    if (dwIndex >= keys.size())
        return ERROR_NO_MORE_ITEMS;
    rc = CopyName<char>(keys[dwIndex].name, lpName, lpcchName);
    if (rc != ERROR_SUCCESS)
        return rc;
    ClearClass(lpClass, lpcchClass);
    FillLastWrite(keys[dwIndex].last_write, lpftLastWriteTime);
    return ERROR_SUCCESS;
}

EXTERN_C LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                      LPDWORD, LPWSTR lpClass, LPDWORD lpcchClass,
                                      PFILETIME lpftLastWriteTime) {
    std::vector<SubkeyInfo> keys;
    std::u16string name;
    LSTATUS rc = Boundary([&] {
        RequireAccess(hKey, KEY_ENUMERATE_SUB_KEYS);
        keys = Subkeys(hKey);
        if (dwIndex < keys.size())
            name = k47::support::Utf8ToUtf16(keys[dwIndex].name);
    });
    if (rc != ERROR_SUCCESS)
        return rc;
    if (dwIndex >= keys.size())
        return ERROR_NO_MORE_ITEMS;
    rc = CopyName<char16_t>(name, lpName, lpcchName);
    if (rc != ERROR_SUCCESS)
        return rc;
    ClearClass(lpClass, lpcchClass);
    FillLastWrite(keys[dwIndex].last_write, lpftLastWriteTime);
    return ERROR_SUCCESS;
}

EXTERN_C LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                                      LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                                      LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::vector<NamedValue> values;
    std::vector<BYTE> data;
    LSTATUS rc = Boundary([&] {
        RequireAccess(hKey, KEY_QUERY_VALUE);
        values = Values(hKey);
        if (dwIndex < values.size())
            data = StoredToAnsi(values[dwIndex].value);
    });
    if (rc != ERROR_SUCCESS)
        return rc;
    if (dwIndex >= values.size())
        return ERROR_NO_MORE_ITEMS;
    rc = CopyName<char>(values[dwIndex].name, lpValueName, lpcchValueName);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (lpType != nullptr)
        *lpType = values[dwIndex].value.type;
    return CopyOut(data, lpData, lpcbData);
}

EXTERN_C LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    return Boundary([&] { CloseKey(hKey); });
}
