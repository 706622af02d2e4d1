// MultiByteToWideChar / WideCharToMultiByte and the k47 UTF-8 helpers. Every ANSI code page
// (CP_ACP, CP_OEMCP, CP_THREAD_ACP) is UTF-8 here, so all accepted code pages convert the same
// way; the rules for flags, lengths, buffer sizes and errors are those of the Windows calls.
#include <climits>
#include <cstring>
#include <string>

#include "k47/strings.h"
#include "support/utf_codec.h"
#include "windows.h"

namespace {

bool IsUtf8CodePage(UINT cp) {
    return cp == CP_ACP || cp == CP_OEMCP || cp == CP_THREAD_ACP || cp == CP_UTF8;
}

// Counts or writes units into a caller buffer; remembers overflow instead of writing past it.
template <typename T>
struct BoundedWriter {
    T* buffer;
    size_t capacity;  // 0 = size query
    size_t count = 0;
    bool overflow = false;
    void operator()(T unit) {
        if (capacity != 0) {
            if (count < capacity)
                buffer[count] = unit;
            else
                overflow = true;
        }
        ++count;
    }
};

}  // namespace

EXTERN_C int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                        int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
    if (!IsUtf8CodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
        cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr) ||
        (cchWideChar > 0 &&
         static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // CP_UTF8 takes only MB_ERR_INVALID_CHARS; the ANSI pages also take the composition flags,
    // which change nothing for UTF-8 text.
    const DWORD allowed =
        CodePage == CP_UTF8
            ? MB_ERR_INVALID_CHARS
            : (MB_ERR_INVALID_CHARS | MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS);
    if ((dwFlags & ~allowed) != 0 || ((dwFlags & MB_PRECOMPOSED) && (dwFlags & MB_COMPOSITE))) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    // -1: the text and its terminating NUL.
    size_t n =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    BoundedWriter<WCHAR> out{lpWideCharStr, static_cast<size_t>(cchWideChar)};
    if (!k47::support::Utf8ToUtf16Units(lpMultiByteStr, n, (dwFlags & MB_ERR_INVALID_CHARS) != 0,
                                        out)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (out.overflow) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (out.count > INT_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return static_cast<int>(out.count);
}

EXTERN_C int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                        int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                        LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    if (!IsUtf8CodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
        cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr) ||
        (cbMultiByte > 0 &&
         static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // For CP_UTF8 Windows requires both default-char pointers to be null.
    if (CodePage == CP_UTF8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD allowed = CodePage == CP_UTF8
                              ? WC_ERR_INVALID_CHARS
                              : (WC_ERR_INVALID_CHARS | WC_COMPOSITECHECK | WC_NO_BEST_FIT_CHARS);
    if ((dwFlags & ~allowed) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t n = 0;
    if (cchWideChar == -1) {
        while (lpWideCharStr[n] != 0)
            ++n;
        ++n;
    } else {
        n = static_cast<size_t>(cchWideChar);
    }
    BoundedWriter<char> out{lpMultiByteStr, static_cast<size_t>(cbMultiByte)};
    bool replaced = false;
    bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
    bool ok;
    if (lpDefaultChar != nullptr) {
        // An ANSI page with a caller's default character: it stands in for unpaired surrogates,
        // the only UTF-16 input that UTF-8 cannot represent.
        ok = true;
        for (size_t i = 0; i < n && ok; ++i) {
            size_t len = 1;
            char16_t u = lpWideCharStr[i];
            bool lone = false;
            if (u >= 0xD800 && u <= 0xDBFF) {
                if (i + 1 < n && lpWideCharStr[i + 1] >= 0xDC00 && lpWideCharStr[i + 1] <= 0xDFFF)
                    len = 2;
                else
                    lone = true;
            } else if (u >= 0xDC00 && u <= 0xDFFF) {
                lone = true;
            }
            if (lone) {
                if (strict) {
                    ok = false;
                    break;
                }
                replaced = true;
                out(*lpDefaultChar);
            } else {
                k47::support::Utf16ToUtf8Bytes(lpWideCharStr + i, len, false, out);
            }
            i += len - 1;
        }
    } else {
        ok = k47::support::Utf16ToUtf8Bytes(lpWideCharStr, n, strict, out, &replaced);
    }
    if (!ok) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (out.overflow) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (out.count > INT_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (lpUsedDefaultChar != nullptr)
        *lpUsedDefaultChar = replaced ? TRUE : FALSE;
    return static_cast<int>(out.count);
}

namespace k47 {

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string result;
    result.reserve(text.size());
    support::Utf8ToUtf16Units(text.data(), text.size(), false,
                              [&](char16_t u) { result.push_back(u); });
    return result;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string result;
    result.reserve(text.size());
    support::Utf16ToUtf8Bytes(text.data(), text.size(), false,
                              [&](char c) { result.push_back(c); });
    return result;
}

UniqueBstr UniqueBstr::FromUtf16(std::u16string_view text) noexcept {
    if (text.size() > 0x3FFFFFFF)
        return UniqueBstr();
    return UniqueBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

UniqueBstr UniqueBstr::FromUtf8(std::string_view text) {
    return FromUtf16(Utf8ToUtf16(text));
}

}  // namespace k47
