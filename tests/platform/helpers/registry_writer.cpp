// Helper process of the registry tests: waits until its standard input reaches end of file (so
// that all writers start together), then writes `count` keys with one value each, alternating
// between the machine and the per-user hive, one transaction per call.
// Usage: k47_registry_writer <writer-id> <count>   (K47_REGISTRY_DIR names the folder)
// Exit status 0 when every call succeeded; otherwise the first failure is printed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "windows.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <writer-id> <count>\n", argv[0]);
        return 2;
    }
    const std::string id = argv[1];
    const int count = std::atoi(argv[2]);
    char buf[64];
    while (read(STDIN_FILENO, buf, sizeof(buf)) > 0) {
    }
    for (int i = 0; i < count; ++i) {
        HKEY root = (i % 2 == 0) ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        std::string path = "Stress\\w" + id + "\\k" + std::to_string(i);
        HKEY key = nullptr;
        LSTATUS rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                     &key, nullptr);
        if (rc != ERROR_SUCCESS) {
            std::fprintf(stderr, "writer %s: RegCreateKeyExA(%s) = %d\n", id.c_str(), path.c_str(),
                         rc);
            return 1;
        }
        DWORD value = static_cast<DWORD>(i);
        rc = RegSetValueExA(key, "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof(value));
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) {
            std::fprintf(stderr, "writer %s: RegSetValueExA(%s) = %d\n", id.c_str(), path.c_str(),
                         rc);
            return 1;
        }
    }
    return 0;
}
