// A private registry for one test: a fresh temporary folder that K47_REGISTRY_DIR points at, with
// the process-wide registry state reset, so nothing reaches /var/lib or the real home. On
// destruction the state is reset again, the previous K47_REGISTRY_DIR comes back and the folder
// is removed. Header-only, so that the platform tests (which do not link the shared test
// support) use the same class as the library and system tests.
// Threading: one at a time per process (the registry state and the environment are process-wide).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "k47/registry.h"

namespace k47test {

class ScopedRegistryFolder {
  public:
    ScopedRegistryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "k47reg-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = buffer.data();
        if (const char* previous = std::getenv("K47_REGISTRY_DIR")) {
            previous_ = previous;
            had_previous_ = true;
        }
        setenv("K47_REGISTRY_DIR", path_.c_str(), 1);
        k47::ResetRegistryForTests();
    }
    ~ScopedRegistryFolder() {
        k47::ResetRegistryForTests();
        if (had_previous_) {
            setenv("K47_REGISTRY_DIR", previous_.c_str(), 1);
        } else {
            unsetenv("K47_REGISTRY_DIR");
        }
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScopedRegistryFolder(const ScopedRegistryFolder&) = delete;
    ScopedRegistryFolder& operator=(const ScopedRegistryFolder&) = delete;

    const std::string& Path() const { return path_; }
    // The hive files, for tests that read what was stored.
    std::string MachineDb() const { return path_ + "/machine.db"; }
    std::string UserDb() const { return path_ + "/user.db"; }

  private:
    std::string path_;
    std::string previous_;
    bool had_previous_ = false;
};

}  // namespace k47test
