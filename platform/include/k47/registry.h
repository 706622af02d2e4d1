// Linux-only additions to the registry (not part of the Windows API): where the hives live, the
// process-wide per-user registration switch and a reset hook for tests.
//
// The machine hive (HKEY_LOCAL_MACHINE) is /var/lib/k47/registry/machine.db and the per-user hive
// (HKEY_CURRENT_USER) ${XDG_DATA_HOME:-$HOME/.local/share}/k47/registry.db; when the environment
// variable K47_REGISTRY_DIR names a folder, both live there as machine.db and user.db. The
// locations are read once, when the registry is first used (again after ResetRegistryForTests).
//
// Thread safety: every function here may be called from any thread.
#pragma once

#include <string>

namespace k47 {

// When on, writes through HKEY_CLASSES_ROOT go to HKEY_CURRENT_USER\Software\Classes instead of
// the machine hive (what a per-user registration of a module needs). Off by default.
void SetPerUserRegistration(bool enable) noexcept;
bool GetPerUserRegistration() noexcept;

// The files the hives are stored in (resolving the locations if that has not happened yet).
std::string MachineHivePath();
std::string UserHivePath();

// Closes both hives, invalidates every open key handle (further use gives ERROR_INVALID_HANDLE),
// turns the per-user switch off and forgets the locations, so that the next registry call reads
// K47_REGISTRY_DIR afresh. For tests that give each case a folder of its own.
void ResetRegistryForTests();

}  // namespace k47
