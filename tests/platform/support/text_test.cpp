// Text conversion (MultiByteToWideChar / WideCharToMultiByte and the k47 helpers), GUID text, and
// the error texts and names (FormatMessageA, k47::ErrorName, k47::DescribeHresult).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "k47/errors.h"
#include "k47/strings.h"
#include "objbase.h"
#include "windows.h"

namespace {

std::u16string Widen(const std::string& utf8, DWORD flags = 0, DWORD* error = nullptr) {
    int n =
        MultiByteToWideChar(CP_UTF8, flags, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (error != nullptr)
        *error = n == 0 ? GetLastError() : 0;
    if (n == 0)
        return u"<fail>";
    std::u16string out(static_cast<size_t>(n), u'?');
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, flags, utf8.data(), static_cast<int>(utf8.size()),
                                  out.data(), n),
              n);
    return out;
}

std::string Narrow(const std::u16string& text, DWORD flags = 0, DWORD* error = nullptr) {
    int n = WideCharToMultiByte(CP_UTF8, flags, text.data(), static_cast<int>(text.size()), nullptr,
                                0, nullptr, nullptr);
    if (error != nullptr)
        *error = n == 0 ? GetLastError() : 0;
    if (n == 0)
        return "<fail>";
    std::string out(static_cast<size_t>(n), '?');
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, flags, text.data(), static_cast<int>(text.size()),
                                  out.data(), n, nullptr, nullptr),
              n);
    return out;
}

TEST(TextConversion, Utf8ToUtf16WithReplacementAndStrictMode) {
    struct Case {
        const char* name;
        std::string utf8;
        std::u16string lenient;  // without the flag: U+FFFD per maximal ill-formed subpart
        bool valid;              // with MB_ERR_INVALID_CHARS
    };
    const Case cases[] = {
        {"ascii", "Camera 1", u"Camera 1", true},
        {"two-byte",
         "Gr\xC3\xBC\xC3\x9F"
         "e",
         u"Grüße", true},
        {"three-byte", "\xE2\x82\xAC", u"€", true},
        {"surrogate pair", "\xF0\x9F\x98\x80", u"\U0001F600", true},
        {"max code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF", true},
        {"embedded NUL", std::string("a\0b", 3), std::u16string(u"a\0b", 3), true},
        {"lone continuation", "a\x80z", u"a\uFFFDz", false},
        {"truncated 3-byte", "\xE2\x82", u"\uFFFD", false},
        {"truncated then ascii", "\xE2\x82z", u"\uFFFDz", false},
        {"overlong 2-byte", "\xC0\xAF", u"\uFFFD\uFFFD", false},
        {"overlong 3-byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD", false},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},
        {"F5 lead", "\xF5", u"\uFFFD", false},
        {"FF byte", "x\xFF", u"x\uFFFD", false},
        {"truncated 4-byte", "\xF0\x9F\x98", u"\uFFFD", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Widen(c.utf8), c.lenient);
        EXPECT_EQ(k47::Utf8ToUtf16(c.utf8), c.lenient);
        DWORD error = 0;
        std::u16string strict = Widen(c.utf8, MB_ERR_INVALID_CHARS, &error);
        if (c.valid) {
            EXPECT_EQ(strict, c.lenient);
        } else {
            EXPECT_EQ(strict, u"<fail>");
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
        }
    }
}

TEST(TextConversion, Utf16ToUtf8WithReplacementAndStrictMode) {
    struct Case {
        const char* name;
        std::u16string utf16;
        std::string lenient;
        bool valid;
    };
    const Case cases[] = {
        {"ascii", u"abc", "abc", true},
        {"bmp", u"\u00E9\u20AC", "\xC3\xA9\xE2\x82\xAC", true},
        {"pair", u"\U0001F600", "\xF0\x9F\x98\x80", true},
        {"lone high", std::u16string{0xD83D, u'x'}, "\xEF\xBF\xBDx", false},
        {"lone low", std::u16string{u'x', 0xDE00}, "x\xEF\xBF\xBD", false},
        {"high at end", std::u16string{0xD83D}, "\xEF\xBF\xBD", false},
        {"reversed pair", std::u16string{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD", false},
        {"embedded NUL", std::u16string(u"a\0b", 3), std::string("a\0b", 3), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Narrow(c.utf16), c.lenient);
        EXPECT_EQ(k47::Utf16ToUtf8(c.utf16), c.lenient);
        DWORD error = 0;
        std::string strict = Narrow(c.utf16, WC_ERR_INVALID_CHARS, &error);
        if (c.valid) {
            EXPECT_EQ(strict, c.lenient);
        } else {
            EXPECT_EQ(strict, "<fail>");
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
        }
    }
    // Round trip of every code point class through both directions.
    std::u16string all;
    for (char32_t cp : {0x1u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFDu, 0xFFFFu,
                        0x10000u, 0x10FFFFu}) {
        if (cp >= 0x10000) {
            all.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            all.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            all.push_back(static_cast<char16_t>(cp));
        }
    }
    EXPECT_EQ(k47::Utf8ToUtf16(k47::Utf16ToUtf8(all)), all);
}

TEST(GuidText, FormatAndParse) {
    const GUID g = {0x2933BF86, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
    const char16_t* kText = u"{2933BF86-7B36-11D2-B20E-00C04F983E60}";

    OLECHAR buffer[39];
    EXPECT_EQ(StringFromGUID2(g, buffer, 39), 39);
    EXPECT_EQ(std::u16string(buffer), kText);
    EXPECT_EQ(StringFromGUID2(g, buffer, 38), 0) << "no room for the NUL";
    EXPECT_EQ(k47::GuidToString(g), "{2933BF86-7B36-11D2-B20E-00C04F983E60}");

    LPOLESTR allocated = nullptr;
    ASSERT_EQ(StringFromCLSID(g, &allocated), S_OK);
    EXPECT_EQ(std::u16string(allocated), kText);
    CoTaskMemFree(allocated);

    struct Case {
        const char* text;
        bool ok;
    };
    const Case cases[] = {
        {"{2933BF86-7B36-11D2-B20E-00C04F983E60}", true},
        {"{2933bf86-7b36-11d2-b20e-00c04f983e60}", true},
        {"{2933bF86-7b36-11D2-b20E-00C04f983E60}", true},
        {"2933BF86-7B36-11D2-B20E-00C04F983E60", false},     // no braces
        {"{2933BF86-7B36-11D2-B20E-00C04F983E60", false},    // no closing brace
        {"{2933BF86-7B36-11D2-B20E-00C04F983E6}", false},    // short
        {"{2933BF86-7B36-11D2-B20E-00C04F983E600}", false},  // long
        {"{2933BF86-7B36-11D2-B20E00C04F983E60-}", false},   // dash misplaced
        {"{2933BF86_7B36-11D2-B20E-00C04F983E60}", false},
        {"{2933BF8G-7B36-11D2-B20E-00C04F983E60}", false},  // not hex
        {"{ 933BF86-7B36-11D2-B20E-00C04F983E60}", false},
        {"", false},
        {"K47PTZ.PTZCamera.1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::u16string wide = k47::Utf8ToUtf16(c.text);
        CLSID clsid = {1, 2, 3, {4}};
        HRESULT hr = CLSIDFromString(wide.c_str(), &clsid);
        IID iid = {1, 2, 3, {4}};
        HRESULT hr_iid = IIDFromString(wide.c_str(), &iid);
        GUID parsed = {1, 2, 3, {4}};
        bool ok = k47::GuidFromString(c.text, &parsed);
        EXPECT_EQ(ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(hr_iid, S_OK);
            EXPECT_EQ(clsid, g);
            EXPECT_EQ(iid, g);
            EXPECT_EQ(parsed, g);
        } else {
            EXPECT_EQ(hr, CO_E_CLASSSTRING);
            EXPECT_EQ(hr_iid, E_INVALIDARG);
            EXPECT_EQ(parsed, (GUID{1, 2, 3, {4}})) << "output untouched on failure";
        }
    }
    // Round trip of varied values through the text form.
    for (uint32_t seed = 1; seed < 200; seed += 7) {
        GUID r = {seed * 2654435761u,
                  static_cast<uint16_t>(seed * 40503u),
                  static_cast<uint16_t>(~seed),
                  {static_cast<uint8_t>(seed), 0, 0xFF, static_cast<uint8_t>(seed >> 1), 0x80, 1, 2,
                   static_cast<uint8_t>(seed * 3)}};
        GUID back;
        ASSERT_TRUE(k47::GuidFromString(k47::GuidToString(r), &back));
        EXPECT_EQ(back, r);
    }
    CLSID null_in;
    EXPECT_EQ(CLSIDFromString(nullptr, &null_in), S_OK);
    EXPECT_EQ(null_in, GUID_NULL);
    EXPECT_EQ(CLSIDFromString(kText, nullptr), E_INVALIDARG);
}

std::string FormatSystem(DWORD id, DWORD* error = nullptr) {
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             id, 0, buffer, sizeof buffer, nullptr);
    if (error != nullptr)
        *error = n == 0 ? GetLastError() : 0;
    return n == 0 ? std::string("<none>") : std::string(buffer, n);
}

// Every code that winerror.h defines has its name and a text: read the header itself, so a code
// added there without a table entry (or with a different value) is caught.
TEST(ErrorText, EveryWinerrorCodeHasNameAndText) {
    const char* source = std::getenv("K47_SOURCE_DIR");
    std::filesystem::path root =
        source != nullptr ? std::filesystem::path(source)
                          : std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "..";
    std::string path = (root / "platform" / "include" / "winerror.h").string();
    std::ifstream in(path);
    ASSERT_TRUE(in) << path;
    std::stringstream content;
    content << in.rdbuf();
    std::string text = content.str();

    // Lines of the form "#define NAME 87L" or "#define NAME ((HRESULT)0x80070057L)".
    const char* const kPrefixes[] = {"ERROR_", "WSA",      "E_",       "S_",
                                     "CO_E_",  "CLASS_E_", "REGDB_E_", "MK_E_",
                                     "RPC_E_", "DISP_E_",  "TYPE_E_",  "SELFREG_E_"};
    int checked = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string directive, name, value_text;
        if (!(words >> directive >> name >> value_text) || directive != "#define")
            continue;
        bool known = false;
        for (const char* prefix : kPrefixes)
            known = known || name.rfind(prefix, 0) == 0;
        if (!known || name == "WSABASEERR" || name == "NO_ERROR" ||
            name.find('(') != std::string::npos)
            continue;
        for (const char* noise : {"((HRESULT)", "(", ")", "L"}) {
            for (size_t at; (at = value_text.find(noise)) != std::string::npos;)
                value_text.erase(at, std::strlen(noise));
        }
        ASSERT_FALSE(value_text.empty()) << line;
        uint32_t value = static_cast<uint32_t>(std::stoul(value_text, nullptr, 0));
        SCOPED_TRACE(name);
        ++checked;
        bool is_hresult = (value & 0x80000000u) != 0 || name == "S_OK" || name == "S_FALSE";
        const char* got =
            is_hresult ? k47::ErrorName(static_cast<HRESULT>(value)) : k47::Win32ErrorName(value);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got, name);
        std::string message = FormatSystem(value);
        EXPECT_NE(message, "<none>");
        EXPECT_GE(message.size(), 4u);
        EXPECT_EQ(message.substr(message.size() - 2), "\r\n");
    }
    EXPECT_GE(checked, 150) << "the header pattern no longer matches the definitions";
}

}  // namespace
