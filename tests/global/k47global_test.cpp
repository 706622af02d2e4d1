// The runtime library: exception descriptions and HRESULTs, the handler log lines in their exact
// form, sinks and the debug switch, lines from many threads at once, dates, file parts, and
// attribute access on real configuration XML (present, absent, malformed, out of range).
#include <gtest/gtest.h>
#include <winsock2.h>
#include <k47/xmldoc.h>
#include <wrl/client.h>

#include <atomic>
#include <climits>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/K47Global.h"

using Microsoft::WRL::ComPtr;
using Channel = CGlobalErrorHandlingEnvironment::Channel;

namespace {

// Collects the lines written while it lives; restores the previous sink afterwards.
class Lines {
  public:
    Lines() {
        previous_ = g_ErrorHandling.SetSink([this](Channel channel, std::string_view line) {
            std::lock_guard<std::mutex> guard(lock_);
            (channel == Channel::Log ? log_ : debug_).emplace_back(line);
        });
    }
    ~Lines() {
        g_ErrorHandling.SetSink(previous_);
        g_ErrorHandling.EnableDebug(true);
    }
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> guard(lock_);
        return log_;
    }
    std::vector<std::string> Debug() {
        std::lock_guard<std::mutex> guard(lock_);
        return debug_;
    }

  private:
    std::mutex lock_;
    std::vector<std::string> log_, debug_;
    CGlobalErrorHandlingEnvironment::Sink previous_;
};

// An element of a parsed document (kept alive by the element itself).
ComPtr<IXMLDOMElement> Element(const std::string& xml) {
    k47::XmlDocument document = k47::XmlDocument::LoadString(xml);
    EXPECT_TRUE(document) << xml;
    ComPtr<IXMLDOMElement> element;
    if (document) {
        EXPECT_EQ(document.GetElement(document.DocumentElement(), element.GetAddressOf()), S_OK);
    }
    return element;
}

// The HRESULT a getter throws, or S_OK when it does not throw.
template <class Call>
HRESULT Thrown(Call&& call, std::string* description = nullptr) {
    try {
        call();
    } catch (const CExceptionBase& e) {
        if (description != nullptr)
            *description = e.GetDescription();
        return e.GetHresult();
    }
    return S_OK;
}

const HRESULT kMissing = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
const HRESULT kMalformed = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

}  // namespace

TEST(Exceptions, DescriptionsNameTheErrorItsTextAndWhereItWasRaised) {
    CHresultError plain("/src/drivers/PelcoD.cpp", 77, E_INVALIDARG);
    EXPECT_EQ(plain.GetHresult(), E_INVALIDARG);
    EXPECT_STREQ(plain.GetDescription(),
                 "HRESULT 0x80070057 (The parameter is incorrect.) raised at PelcoD line 77");
    EXPECT_EQ(plain.GetLine(), 77);

    CHresultError detailed("camera/PTZCamera1.cpp", 5, E_ACCESSDENIED, "port 47100 in use");
    EXPECT_STREQ(detailed.GetDescription(),
                 "HRESULT 0x80070005 (Access is denied.): port 47100 in use raised at PTZCamera1 "
                 "line 5");

    CWin32Error win32("SerialPTZ.cpp", 9, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(win32.GetHresult(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(win32.GetError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_STREQ(win32.GetDescription(),
                 "Win32 error 2 (The system cannot find the file specified.) raised at SerialPTZ "
                 "line 9");

    // The thread's last error is taken; an error of 0 must not read as success.
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(CWin32Error("x.cpp", 1).GetHresult(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    SetLastError(0);
    EXPECT_EQ(CWin32Error("x.cpp", 1).GetHresult(), E_FAIL);

    WSASetLastError(WSAECONNREFUSED);
    CWSAError socket("ZEvtSyncSocket2.cpp", 3);
    EXPECT_EQ(socket.GetHresult(), HRESULT_FROM_WIN32(WSAECONNREFUSED));
    EXPECT_EQ(std::string(socket.GetDescription()).rfind("Winsock error 10061 (", 0), 0u)
        << socket.GetDescription();

    // A code without a text still gives a description.
    CHresultError unknown("a.cpp", 1, static_cast<HRESULT>(0xA0001234));
    EXPECT_STREQ(unknown.GetDescription(), "HRESULT 0xA0001234 (unknown error) raised at a line 1");
}

TEST(Handlers, TheTwoHandlersWriteTheirLinesAndReturnTheirHresults) {
    Lines lines;
    HRESULT hr = K47Guard("/x/camera/PTZCamera1.cpp", 193, 195, []() -> HRESULT {
        throw CHresultError("/x/camera/PTZCamera1.cpp", 40, E_NOTIMPL);
    });
    EXPECT_EQ(hr, E_NOTIMPL);
    hr = K47Guard("/x/camera/PTZCamera1.cpp", 193, 195,
                  []() -> HRESULT { throw std::runtime_error("not ours"); });
    EXPECT_EQ(hr, E_FAIL);
    hr = K47Guard("/x/camera/PTZCamera1.cpp", 193, 195, []() -> HRESULT { return S_FALSE; });
    EXPECT_EQ(hr, S_FALSE);

    auto log = lines.Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0],
              "HRESULT 0x80004001 (Not implemented) raised at PTZCamera1 line 40 - handler "
              "PTZCamera1 line 193");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        log[1], match,
        std::regex(
            R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}): thread (\d+) Unhandled Exception - handler PTZCamera1 line 195)")))
        << log[1];
    EXPECT_EQ(std::stoul(match[2]), GetCurrentThreadId());

    K47LogStdException(std::logic_error("bad state"), "thread.h", 111);
    EXPECT_EQ(lines.Log().back(), "Caught standard exception: bad state - handler thread line 111");
}

TEST(Logging, LinesGoToTheSinkOncePerCallAndDebugCanBeSwitchedOff) {
    Lines lines;
    g_ErrorHandling.WriteLog("camera %s moved %d\n", "Gate", 3);
    g_ErrorHandling.WriteLog("no newline");
    g_ErrorHandling.WriteDebug("%02x %02x \n", 0xFF, 0x01);
    g_ErrorHandling.EnableDebug(false);
    g_ErrorHandling.WriteDebug("hidden");
    g_ErrorHandling.EnableDebug(true);
    // Longer than the first formatting buffer: written whole.
    std::string long_text(3000, 'x');
    g_ErrorHandling.WriteLog("%s|", long_text.c_str());

    auto log = lines.Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "camera Gate moved 3");
    EXPECT_EQ(log[1], "no newline");
    EXPECT_EQ(log[2], long_text + "|");
    EXPECT_EQ(lines.Debug(), std::vector<std::string>{"ff 01 "});
}

// Lines of different threads never interleave and none is lost.
TEST(Logging, ConcurrentWritersLoseAndMixNothing) {
    Lines lines;
    constexpr int kThreads = 8, kEach = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kEach; ++i)
                g_ErrorHandling.WriteLog("writer %d line %d %s\n", t, i,
                                         std::string(60, 'a' + t).c_str());
        });
    for (auto& writer : writers)
        writer.join();
    auto log = lines.Log();
    ASSERT_EQ(log.size(), static_cast<size_t>(kThreads * kEach));
    std::map<int, int> next;
    for (const std::string& line : log) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "writer %d line %d", &t, &i), 2) << line;
        EXPECT_EQ(line.substr(line.size() - 60), std::string(60, 'a' + t)) << line;
        EXPECT_EQ(i, next[t]++) << "one writer's lines keep their order";
    }
}

TEST(Logging, DatesAndFileParts) {
    FILETIME epoch{};
    // 1970-01-01 00:00:00.000 UTC is 116444736000000000 units of 100 ns after 1601.
    const int64_t unix0 = 116444736000000000LL;
    auto at = [](int64_t ticks) {
        FILETIME time;
        time.dwLowDateTime = static_cast<DWORD>(ticks);
        time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
        return time;
    };
    EXPECT_EQ(g_ErrorHandling.GetDateAndTimeString(at(unix0)), "1970-01-01 00:00:00.000");
    // 2024-02-29 23:59:59.999 (a leap day, the last millisecond).
    EXPECT_EQ(g_ErrorHandling.GetDateAndTimeString(at(unix0 + 1709251199999LL * 10000)),
              "2024-02-29 23:59:59.999");
    EXPECT_EQ(g_ErrorHandling.GetDateAndTimeString(epoch), "1601-01-01 00:00:00.000");

    EXPECT_EQ(CGlobalErrorHandlingEnvironment::GetFilePart("/a/b/drivers/PelcoD.cpp"), "PelcoD");
    EXPECT_EQ(CGlobalErrorHandlingEnvironment::GetFilePart("C:\\src\\SerialPTZ.cpp"), "SerialPTZ");
    EXPECT_EQ(CGlobalErrorHandlingEnvironment::GetFilePart("common/thread.h"), "thread");
    EXPECT_EQ(CGlobalErrorHandlingEnvironment::GetFilePart("Makefile"), "Makefile");
    EXPECT_EQ(CGlobalErrorHandlingEnvironment::GetFilePart(".hidden"), ".hidden");
    EXPECT_EQ(CGlobalErrorHandlingEnvironment::GetFilePart(nullptr), "");
}

TEST(XMLAttribute, IntegersStrictlyDecimalWithinTheirType) {
    auto element = Element(
        "<Protocol Port=\"1\" Baud=\" 9600 \" Neg=\"-12\" Plus=\"+7\" Hex=\"0x10\" Frac=\"1.5\" "
        "Empty=\"\" Blank=\"  \" Sign=\"-\" Big=\"2147483648\" Small=\"-2147483648\" "
        "Huge=\"9223372036854775807\" Over=\"9223372036854775808\" Trail=\"12a\"/>");
    ASSERT_TRUE(element);
    CXMLAttribute attributes(element.Get());
    EXPECT_EQ(attributes.GetXMLAttributeInt("Port"), 1);
    EXPECT_EQ(attributes.GetXMLAttributeInt("Baud"), 9600);
    EXPECT_EQ(attributes.GetXMLAttributeInt("Neg", 0), -12);
    EXPECT_EQ(attributes.GetXMLAttributeInt("Plus"), 7);
    EXPECT_EQ(attributes.GetXMLAttributeInt("Small"), INT_MIN);
    EXPECT_EQ(attributes.GetXMLAttributeLongLong("Big", 0), 2147483648LL);
    EXPECT_EQ(attributes.GetXMLAttributeLongLong("Huge", 0), LLONG_MAX);
    EXPECT_EQ(attributes.GetXMLAttributeInt("Absent", 42), 42);
    EXPECT_EQ(attributes.GetXMLAttributeLongLong("Absent", -5), -5);

    std::string description;
    EXPECT_EQ(Thrown([&] { attributes.GetXMLAttributeInt("Absent"); }, &description), kMissing);
    EXPECT_NE(description.find("attribute \"Absent\" is missing"), std::string::npos)
        << description;
    for (const char* bad : {"Hex", "Frac", "Empty", "Blank", "Sign", "Big", "Trail"}) {
        // A default does not hide a malformed value.
        EXPECT_EQ(Thrown([&] { attributes.GetXMLAttributeInt(bad, 3); }, &description), kMalformed)
            << bad;
        EXPECT_NE(description.find(std::string("attribute \"") + bad + "\" is not an integer"),
                  std::string::npos)
            << description;
    }
    EXPECT_EQ(Thrown([&] { attributes.GetXMLAttributeLongLong("Over", 0); }), kMalformed);
}

TEST(XMLAttribute, TextInUtf8AndUtf16AndTheElementsLifetime) {
    std::optional<CXMLAttribute> copy;
    {
        auto element = Element(
            "<Camera Name=\"Caf\xC3\xA9 \xE2\x86\x92 \xF0\x9F\x93\xB7\" Empty=\"\" "
            "Amp=\"a&amp;b\"/>");
        ASSERT_TRUE(element);
        CXMLAttribute attributes(element.Get());
        EXPECT_EQ(attributes.GetXMLAttributeString("Name"),
                  "Caf\xC3\xA9 \xE2\x86\x92 \xF0\x9F\x93\xB7");
        EXPECT_EQ(attributes.GetXMLAttributeStringW("Name"), u"Caf\u00E9 \u2192 \U0001F4F7");
        EXPECT_EQ(attributes.GetXMLAttributeString("Empty"), "");  // present, though empty
        EXPECT_EQ(attributes.GetXMLAttributeString("Empty", "default"), "");
        EXPECT_EQ(attributes.GetXMLAttributeString("Absent", "default"), "default");
        EXPECT_EQ(attributes.GetXMLAttributeString("Absent", nullptr), "");
        EXPECT_EQ(attributes.GetXMLAttributeString("Amp"), "a&b");
        EXPECT_EQ(Thrown([&] { attributes.GetXMLAttributeString("Absent"); }), kMissing);
        EXPECT_EQ(Thrown([&] { attributes.GetXMLAttributeStringW("Absent"); }), kMissing);
        std::string value = "unchanged";
        EXPECT_FALSE(attributes.TryGetText("Absent", &value));
        EXPECT_EQ(value, "unchanged");
        EXPECT_TRUE(attributes.TryGetText("Amp", &value));
        EXPECT_EQ(value, "a&b");
        copy.emplace(attributes);
    }
    // The copy holds its own reference: the element outlives the original and its document.
    EXPECT_EQ(copy->GetXMLAttributeString("Amp"), "a&b");
    copy.reset();

    CXMLAttribute none(nullptr);
    EXPECT_EQ(Thrown([&] { none.GetXMLAttributeInt("Port", 1); }), E_POINTER);
}
