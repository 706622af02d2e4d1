// Linux-only text helpers of the platform layer: UTF-8 <-> UTF-16 conversion, GUID text and an
// owned BSTR. Not part of the Windows API (namespace k47). All functions are thread-safe and keep
// no state. Conversions never fail: ill-formed input is replaced by U+FFFD, one per maximal
// ill-formed subsequence (UTF-8) or per unpaired surrogate (UTF-16), as MultiByteToWideChar and
// WideCharToMultiByte do without their *_ERR_INVALID_CHARS flags.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "../oleauto.h"

namespace k47 {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string GuidToString(const GUID& guid);
// Parses the braced form in either case; false (and *guid unchanged) for anything else.
bool GuidFromString(std::string_view text, GUID* guid);

// An owned BSTR for platform code: freed with SysFreeString on destruction. Move-only.
class UniqueBstr {
  public:
    UniqueBstr() noexcept = default;
    explicit UniqueBstr(BSTR adopt) noexcept : str_(adopt) {}
    // Allocates a copy of `text` (embedded NULs kept). Null on allocation failure.
    static UniqueBstr FromUtf16(std::u16string_view text) noexcept;
    static UniqueBstr FromUtf8(std::string_view text);
    UniqueBstr(UniqueBstr&& other) noexcept : str_(std::exchange(other.str_, nullptr)) {}
    UniqueBstr& operator=(UniqueBstr&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.str_, nullptr));
        return *this;
    }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    ~UniqueBstr() { SysFreeString(str_); }

    BSTR get() const noexcept { return str_; }
    [[nodiscard]] BSTR release() noexcept { return std::exchange(str_, nullptr); }
    void reset(BSTR adopt = nullptr) noexcept {
        if (adopt != str_)
            SysFreeString(std::exchange(str_, adopt));
    }
    // For out-parameters: frees the current string, then hands out the slot.
    BSTR* receive() noexcept {
        reset();
        return &str_;
    }
    std::u16string_view view() const noexcept { return {str_ ? str_ : u"", SysStringLen(str_)}; }
    std::string utf8() const { return Utf16ToUtf8(view()); }

  private:
    BSTR str_ = nullptr;
};

}  // namespace k47
