// A fresh registry folder for one test: creates a temporary folder, points K47_REGISTRY_DIR at it
// and resets the process-wide registry state, so nothing reaches /var/lib or the real home; on
// destruction resets again and removes the folder. One at a time per process (the registry state
// and the environment are process-wide).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "k47/registry.h"

namespace k47::test {

class RegistrySandbox {
  public:
    RegistrySandbox() {
        char pattern[] = "/tmp/k47-registry-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        dir_ = made;
        setenv("K47_REGISTRY_DIR", dir_.c_str(), 1);
        k47::ResetRegistryForTests();
    }
    ~RegistrySandbox() {
        k47::ResetRegistryForTests();
        unsetenv("K47_REGISTRY_DIR");
        std::error_code ec;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ec);
    }
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;

    const std::string& dir() const { return dir_; }
    std::string machine_db() const { return dir_ + "/machine.db"; }
    std::string user_db() const { return dir_ + "/user.db"; }

  private:
    std::string dir_;
};

}  // namespace k47::test
