// UTF-8 <-> UTF-16 for the registry, loader and COM runtime, through the platform's own
// MultiByteToWideChar/WideCharToMultiByte (CP_UTF8). Lengths are explicit, so embedded NULs are
// kept. Thread-safe; throws std::bad_alloc only.
#pragma once

#include <string>
#include <string_view>

#include "winnls.h"

namespace k47::support {

inline std::string Utf16ToUtf8(std::u16string_view text) {
    if (text.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

inline std::u16string Utf8ToUtf16(std::string_view text) {
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// A NUL-terminated wide string, or empty for null.
inline std::string Utf16ToUtf8(const char16_t* text) {
    return text != nullptr ? Utf16ToUtf8(std::u16string_view(text)) : std::string();
}

}  // namespace k47::support
