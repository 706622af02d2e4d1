// The registry as the Reg* calls see it: open key handles, the three roots and the merged view of
// HKEY_CLASSES_ROOT over the two hives. Paths are lists of key names; values and names are the
// stored form (UTF-8 names, raw value bytes: strings as UTF-16).
//
// HKEY_CLASSES_ROOT merges HKCU\Software\Classes over HKLM\Software\Classes key by key, at every
// level: a key exists when either hive has it; its values are those of both, the user's winning
// for a name present in both; its subkeys are the union of both (sorted, each name once). Keys are
// created in the machine hive, or in the user hive while the per-user switch is on. Values are
// written, and keys and values deleted, in the user hive when the switch is on or when the key
// exists only in the user hive, else in the machine hive.
//
// Threading: every function takes the process-wide registry lock itself. Failures are thrown as
// RegistryError (a Win32 error code).
#pragma once

#include <vector>

#include "registry/registry_hive.h"
#include "winreg.h"

namespace k47::registry {

// Splits "a\b\c"; a leading separator is ERROR_BAD_PATHNAME, empty parts are skipped.
KeyPath ParsePath(std::string_view path);

// What a handle grants, after mapping generic rights to key rights.
REGSAM NormalizeAccess(REGSAM sam) noexcept;

HKEY CreateKey(HKEY parent, const KeyPath& sub, REGSAM access, DWORD* disposition);
HKEY OpenKey(HKEY parent, const KeyPath& sub, REGSAM access);
void CloseKey(HKEY key);

// Throws ERROR_FILE_NOT_FOUND when the value does not exist.
StoredValue QueryValue(HKEY key, std::string_view name);
void SetValue(HKEY key, std::string_view name, DWORD type, const BYTE* data, size_t size);
void DeleteValue(HKEY key, std::string_view name);
// sub == nullptr: the key's subkeys and values; else the subkey and everything below it.
void DeleteTree(HKEY key, const KeyPath* sub);
// Fails with ERROR_ACCESS_DENIED when the key has subkeys.
void DeleteKey(HKEY key, const KeyPath& sub);

std::vector<SubkeyInfo> Subkeys(HKEY key);
std::vector<NamedValue> Values(HKEY key);

// Throws ERROR_ACCESS_DENIED unless the handle was opened with every right in `needed`.
void RequireAccess(HKEY key, REGSAM needed);

}  // namespace k47::registry
