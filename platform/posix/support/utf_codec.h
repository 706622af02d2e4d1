// Internal: the UTF-8 and UTF-16 codecs behind MultiByteToWideChar, WideCharToMultiByte and the
// k47 string helpers. Pure functions, no state; safe from any thread.
//
// Ill-formed input follows the Unicode "maximal subpart" practice: an ill-formed UTF-8 sequence
// is replaced by one U+FFFD per maximal prefix of a well-formed sequence (so "\xE2\x82" is one
// replacement, "\xC0\xAF" two), and every unpaired UTF-16 surrogate by one U+FFFD. In strict
// mode the first ill-formed sequence stops the conversion instead.
#pragma once

#include <cstddef>
#include <cstdint>

namespace k47::support {

inline constexpr char32_t kReplacementChar = 0xFFFD;

// Decodes one code point starting at s[i] (i < n); advances i past it. Returns false for an
// ill-formed sequence (then i is past its maximal subpart and *cp is U+FFFD).
inline bool DecodeUtf8At(const unsigned char* s, size_t n, size_t& i, char32_t* cp) {
    unsigned char b0 = s[i++];
    if (b0 < 0x80) {
        *cp = b0;
        return true;
    }
    int more;
    char32_t value;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        more = 1;
        value = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        more = 2;
        value = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;  // no overlong forms
        if (b0 == 0xED)
            hi = 0x9F;  // no encoded surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        more = 3;
        value = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;
        if (b0 == 0xF4)
            hi = 0x8F;  // nothing above U+10FFFF
    } else {
        *cp = kReplacementChar;
        return false;
    }
    for (int k = 0; k < more; ++k) {
        if (i >= n) {
            *cp = kReplacementChar;
            return false;
        }
        unsigned char b = s[i];
        unsigned char min = k == 0 ? lo : 0x80, max = k == 0 ? hi : 0xBF;
        if (b < min || b > max) {
            *cp = kReplacementChar;  // the offending byte starts the next sequence
            return false;
        }
        value = (value << 6) | (b & 0x3F);
        ++i;
    }
    *cp = value;
    return true;
}

// Calls out(char16_t) for each UTF-16 unit of s[0..n). Returns false in strict mode at the first
// ill-formed sequence.
template <typename Out>
bool Utf8ToUtf16Units(const char* text, size_t n, bool strict, Out&& out) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < n) {
        char32_t cp;
        if (!DecodeUtf8At(s, n, i, &cp) && strict)
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out(static_cast<char16_t>(cp));
        }
    }
    return true;
}

// Calls out(char) for each UTF-8 byte of s[0..n). Returns false in strict mode at the first
// unpaired surrogate. *replaced (if given) is set when a surrogate was replaced.
template <typename Out>
bool Utf16ToUtf8Bytes(const char16_t* s, size_t n, bool strict, Out&& out,
                      bool* replaced = nullptr) {
    for (size_t i = 0; i < n; ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            if (cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
                ++i;
            } else {
                if (strict)
                    return false;
                if (replaced != nullptr)
                    *replaced = true;
                cp = kReplacementChar;
            }
        }
        if (cp < 0x80) {
            out(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out(static_cast<char>(0xC0 | (cp >> 6)));
            out(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out(static_cast<char>(0xE0 | (cp >> 12)));
            out(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out(static_cast<char>(0xF0 | (cp >> 18)));
            out(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return true;
}

}  // namespace k47::support
