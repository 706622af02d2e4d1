// Shared test helpers.
#include "tests/support/TestUtil.h"

#include <objbase.h>
#include <k47/errors.h>
#include <k47/registry.h>
#include <k47/xmldoc.h>

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <filesystem>
#include <thread>

#include "frame/ClassTable.h"
#include "frame/K47PTZModule.h"

namespace k47test {

std::string HrText(HRESULT hr) {
    return k47::DescribeHresult(hr);
}

::testing::AssertionResult HrEquals(const char* expectedExpr, const char* actualExpr,
                                    HRESULT expected, HRESULT actual) {
    if (expected == actual)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actualExpr << " is " << HrText(actual) << ", expected "
                                         << expectedExpr << " = " << HrText(expected);
}

namespace {

std::string MakeTempFolder(const char* prefix) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return std::string(buffer.data());
}

}  // namespace

TempFolder::TempFolder() : path_(MakeTempFolder("k47test-")) {}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

LogCapture::LogCapture() {
    previous_ = g_ErrorHandling.SetSink(
        [this](CGlobalErrorHandlingEnvironment::Channel channel, std::string_view line) {
            std::lock_guard<std::mutex> guard(lock_);
            if (channel == CGlobalErrorHandlingEnvironment::Channel::Log) {
                lines_.emplace_back(line);
            } else {
                debug_lines_.emplace_back(line);
            }
        });
}

LogCapture::~LogCapture() {
    g_ErrorHandling.SetSink(std::move(previous_));
}

std::vector<std::string> LogCapture::Lines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

std::vector<std::string> LogCapture::DebugLines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return debug_lines_;
}

bool LogCapture::Contains(const std::string& text) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& line : lines_)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.clear();
    debug_lines_.clear();
}

Microsoft::WRL::ComPtr<IXMLDOMElement> XmlElement(const std::string& xml) {
    k47::XmlError error;
    k47::XmlDocument document = k47::XmlDocument::LoadString(xml, &error);
    EXPECT_TRUE(document) << error.message << " in " << xml;
    Microsoft::WRL::ComPtr<IXMLDOMElement> element;
    if (document) {
        EXPECT_HR_OK(document.GetElement(document.DocumentElement(), element.GetAddressOf()));
    }
    return element;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int RunCommand(const std::string& command, std::string* output) {
    std::string full = command + " 2>&1";
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char buffer[512];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr)
        output->append(buffer);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string BinaryDir() {
    const char* dir = std::getenv("K47_BINARY_DIR");
    return dir != nullptr ? dir : K47_TEST_BINARY_DIR;
}

std::string SourceDir() {
    const char* dir = std::getenv("K47_SOURCE_DIR");
    return dir != nullptr ? dir : K47_TEST_SOURCE_DIR;
}

void RegisterLibraryClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        CoInitializeEx(nullptr,
                       COINIT_MULTITHREADED);  // this thread stays in the MTA for the process
        for (size_t i = 0; i < kK47ClassCount; ++i) {
            IUnknown* factory = nullptr;
            if (FAILED(DllGetClassObject(*kK47ClassTable[i].clsid, IID_IUnknown,
                                         reinterpret_cast<void**>(&factory))))
                continue;  // a class not in this build
            DWORD cookie = 0;
            CoRegisterClassObject(*kK47ClassTable[i].clsid, factory, CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie);
            factory->Release();
        }
    });
}

int RegisterModuleWithTool(std::string* output) {
    return RunCommand(BinaryDir() + "/bin/k47regsvr " + BinaryDir() + "/lib/libK47PTZ.so", output);
}

}  // namespace k47test
