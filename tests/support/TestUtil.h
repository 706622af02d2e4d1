// Test helpers shared by every layer's tests: HRESULT assertions that print symbolic names, a
// private registry folder per test, a capture of K47Global's log lines, and waiting for a
// condition without sleeping blindly.
#pragma once

#include <windows.h>
#include <msxml6.h>
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/K47Global.h"
#include "tests/support/ScopedRegistryFolder.h"

namespace k47test {

::testing::AssertionResult HrEquals(const char* expectedExpr, const char* actualExpr,
                                    HRESULT expected, HRESULT actual);
std::string HrText(HRESULT hr);

// A fresh temporary folder, removed with its contents on destruction.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// Captures every line written through g_ErrorHandling while it lives (and restores the previous
// sink after). Thread-safe.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const;       // log channel
    std::vector<std::string> DebugLines() const;  // debug channel
    // True when some log line contains `text`.
    bool Contains(const std::string& text) const;
    void Clear();

  private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
    std::vector<std::string> debug_lines_;
    CGlobalErrorHandlingEnvironment::Sink previous_;
};

// The root element of an XML text (the test fails if the text does not parse).
Microsoft::WRL::ComPtr<IXMLDOMElement> XmlElement(const std::string& xml);

// Polls `condition` every few milliseconds until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Runs a shell command and returns its exit status (-1 if it did not exit) and its output
// (standard output and standard error together).
int RunCommand(const std::string& command, std::string* output);
// The build folder (K47_BINARY_DIR, set by ctest), where bin/ and lib/ are.
std::string BinaryDir();

// Registers the library module with k47regsvr into the registry folder in force; the tool's
// exit status, its output in *output.
int RegisterModuleWithTool(std::string* output);
// The source folder (K47_SOURCE_DIR, set by ctest).
std::string SourceDir();

// Makes every class of the library's class table creatable with CoCreateInstance in this process
// (registered class objects), for tests that link the library directly. Joins the MTA.
void RegisterLibraryClasses();

}  // namespace k47test

#define EXPECT_HR(expected, actual) EXPECT_PRED_FORMAT2(::k47test::HrEquals, expected, actual)
#define ASSERT_HR(expected, actual) ASSERT_PRED_FORMAT2(::k47test::HrEquals, expected, actual)
#define EXPECT_HR_OK(actual) EXPECT_HR(S_OK, actual)
#define ASSERT_HR_OK(actual) ASSERT_HR(S_OK, actual)
