// Module loading: reference counting with DllMain attach/detach, module handles that
// GetModuleFileNameA understands, GetProcAddress limited to the module's own exports, and the
// errors of failed loads. Each test loads its own copy of a module (a copy is a different object
// to the dynamic loader), so counts start from zero whatever else the process has loaded.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "testmodule/test_thing.h"
#include "windows.h"

namespace {

class LoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/k47-loader-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::string CopyOf(const char* module, const std::string& name) {
        std::string path = dir_ + "/" + name;
        std::filesystem::copy_file(module, path);
        return path;
    }

    static TestModuleCounters Counters(HMODULE module) {
        TestModuleCounters counters{};
        auto proc = reinterpret_cast<TestModuleCountersProc>(
            reinterpret_cast<void*>(GetProcAddress(module, "TestModule_Counters")));
        EXPECT_NE(nullptr, proc);
        if (proc != nullptr)
            proc(&counters);
        return counters;
    }

    std::string dir_;
};

TEST_F(LoaderTest, LoadsOncePerModuleAndCountsReferences) {
    const std::string path = CopyOf(K47_TEST_MODULE_PATH, "counted.so");
    HMODULE first = LoadLibraryA(path.c_str());
    ASSERT_NE(nullptr, first);
    // Another spelling of the same file is the same module.
    HMODULE second = LoadLibraryA((dir_ + "/./counted.so").c_str());
    EXPECT_EQ(first, second);
    TestModuleCounters c = Counters(first);
    EXPECT_EQ(1, c.process_attach);
    EXPECT_EQ(0, c.process_detach);
    // DllMain got the module's handle, and that handle names the file.
    EXPECT_EQ(static_cast<void*>(first), c.attach_instance);
    EXPECT_EQ(path, std::string(c.attach_path));

    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(0, Counters(first).process_detach) << "one reference is left";
    EXPECT_TRUE(FreeLibrary(first));
    // The code stays mapped (never dlclosed), so the counters can still be read.
    EXPECT_EQ(1, Counters(first).process_detach);
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(first));
    EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError());

    // Loading again after the last release attaches again.
    HMODULE again = LoadLibraryA(path.c_str());
    ASSERT_EQ(first, again);
    EXPECT_EQ(2, Counters(again).process_attach);
    EXPECT_TRUE(FreeLibrary(again));
}

TEST_F(LoaderTest, ConcurrentLoadsAttachExactlyOnce) {
    const std::string path = CopyOf(K47_TEST_MODULE_PATH, "raced.so");
    constexpr int kThreads = 8;
    std::promise<void> start;
    std::shared_future<void> go = start.get_future().share();
    std::vector<std::future<HMODULE>> results;
    for (int i = 0; i < kThreads; ++i) {
        results.push_back(std::async(std::launch::async, [&path, go] {
            go.wait();
            return LoadLibraryA(path.c_str());
        }));
    }
    start.set_value();
    std::vector<HMODULE> modules;
    for (auto& r : results)
        modules.push_back(r.get());
    for (HMODULE m : modules)
        EXPECT_EQ(modules[0], m);
    ASSERT_NE(nullptr, modules[0]);
    EXPECT_EQ(1, Counters(modules[0]).process_attach);
    for (HMODULE m : modules)
        EXPECT_TRUE(FreeLibrary(m));
    TestModuleCounters c = Counters(modules[0]);
    EXPECT_EQ(1, c.process_attach);
    EXPECT_EQ(1, c.process_detach);
}

TEST_F(LoaderTest, FailedLoadsReportTheirCause) {
    const std::string failing = CopyOf(K47_FAILING_MODULE_PATH, "failing.so");
    const std::string bogus = dir_ + "/bogus.so";
    std::ofstream(bogus) << "this is not an ELF object\n";
    struct Case {
        std::string path;
        DWORD error;
    } cases[] = {
        {failing, ERROR_DLL_INIT_FAILED},
        {failing, ERROR_DLL_INIT_FAILED},  // DllMain is asked again, and fails again
        {dir_ + "/missing.so", ERROR_MOD_NOT_FOUND},
        {"libk47-no-such-library.so", ERROR_MOD_NOT_FOUND},
        {bogus, ERROR_BAD_FORMAT},
        {"", ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        SetLastError(0);
        EXPECT_EQ(nullptr, LoadLibraryA(c.path.c_str()));
        EXPECT_EQ(c.error, GetLastError());
    }
    // The module whose DllMain failed was unloaded again.
    EXPECT_EQ(nullptr, dlopen(failing.c_str(), RTLD_NOW | RTLD_NOLOAD));
}

}  // namespace
