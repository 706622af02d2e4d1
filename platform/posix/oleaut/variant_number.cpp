// The VT_BSTR number parser and exact decimal rounding; see variant_number.h.
#include "oleaut/variant_number.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace k47::oleaut {
namespace {

// Exponents beyond this cannot change any outcome (every target overflows or rounds to 0) and
// clamping keeps the arithmetic in range.
constexpr int64_t kExponentClamp = 1'000'000'000;

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
}
bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

int DigitValue(char16_t c, int base) {
    int v = -1;
    if (c >= u'0' && c <= u'9')
        v = c - u'0';
    if (c >= u'a' && c <= u'f')
        v = c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        v = c - u'A' + 10;
    return v >= 0 && v < base ? v : -1;
}

ParseStatus ParseBits(const char16_t* s, size_t pos, ParsedNumber* out) {
    int base = (s[pos + 1] == u'H' || s[pos + 1] == u'h')   ? 16
               : (s[pos + 1] == u'O' || s[pos + 1] == u'o') ? 8
                                                            : 0;
    if (base == 0)
        return ParseStatus::kMismatch;
    pos += 2;
    uint64_t value = 0;
    bool any = false, overflow = false;
    for (int d; (d = DigitValue(s[pos], base)) >= 0; ++pos) {
        any = true;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (value > 0xFFFFFFFFull) {
            overflow = true;
            value = 0;
        }
    }
    while (IsBlank(s[pos]))
        ++pos;
    if (!any || s[pos] != 0)
        return ParseStatus::kMismatch;
    if (overflow)
        return ParseStatus::kOverflow;
    out->is_bits = true;
    out->bits = static_cast<uint32_t>(value);
    out->negative = static_cast<int32_t>(out->bits) < 0;
    return ParseStatus::kOk;
}

}  // namespace

ParseStatus ParseNumber(const char16_t* text, ParsedNumber* out) {
    *out = ParsedNumber{};
    const char16_t* s = text != nullptr ? text : u"";
    size_t pos = 0;
    bool sign = false, negative = false, paren = false, closed = false, currency = false;

    // Leading white space, sign, opening parenthesis and currency symbol, in any order.
    for (;; ++pos) {
        char16_t c = s[pos];
        if (IsBlank(c))
            continue;
        if ((c == u'+' || c == u'-') && !sign && !paren) {
            sign = true;
            negative = c == u'-';
        } else if (c == u'(' && !paren && !sign) {
            paren = true;
        } else if (c == u'$' && !currency) {
            currency = true;
        } else {
            break;
        }
    }
    if (s[pos] == u'&') {
        if (sign || paren || currency)
            return ParseStatus::kMismatch;
        return ParseBits(s, pos, out);
    }

    std::string digits;
    int64_t fraction_digits = 0;
    bool any_digit = false;
    for (;; ++pos) {
        if (IsDigit(s[pos])) {
            any_digit = true;
            digits.push_back(static_cast<char>(s[pos]));
        } else if (s[pos] != u',' || !any_digit) {
            break;  // a thousands separator counts only after the first digit
        }
    }
    if (s[pos] == u'.') {
        for (++pos; IsDigit(s[pos]); ++pos) {
            any_digit = true;
            digits.push_back(static_cast<char>(s[pos]));
            ++fraction_digits;
        }
    }
    if (!any_digit)
        return ParseStatus::kMismatch;

    int64_t exponent = 0;
    if (s[pos] == u'e' || s[pos] == u'E') {
        size_t p = pos + 1;
        bool exp_negative = false;
        if (s[p] == u'+' || s[p] == u'-')
            exp_negative = s[p++] == u'-';
        if (IsDigit(s[p])) {
            for (; IsDigit(s[p]); ++p)
                if (exponent < kExponentClamp)
                    exponent = exponent * 10 + (s[p] - u'0');
            if (exp_negative)
                exponent = -exponent;
            pos = p;
        }
        // An 'e' without digits is left unconsumed and then fails as trailing text.
    }

    // Trailing white space, sign, closing parenthesis and currency symbol.
    for (;; ++pos) {
        char16_t c = s[pos];
        if (IsBlank(c))
            continue;
        if ((c == u'+' || c == u'-') && !sign && !paren) {
            sign = true;
            negative = c == u'-';
        } else if (c == u')' && paren && !closed) {
            closed = true;
        } else if (c == u'$' && !currency) {
            currency = true;
        } else {
            break;
        }
    }
    if (s[pos] != 0 || paren != closed)
        return ParseStatus::kMismatch;

    size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) {
        digits.clear();
        exponent = 0;
        negative = false;
    } else {
        size_t last = digits.find_last_not_of('0');
        exponent += static_cast<int64_t>(digits.size() - 1 - last) - fraction_digits;
        digits = digits.substr(first, last - first + 1);
    }
    out->negative = negative || paren;
    if (digits.empty())
        out->negative = false;
    out->digits = std::move(digits);
    out->exponent = exponent;
    return ParseStatus::kOk;
}

bool RoundToIntegerScaled(const ParsedNumber& number, int scale, __int128* out) {
    if (number.is_bits) {
        __int128 v = static_cast<int32_t>(number.bits);
        for (int i = 0; i < scale; ++i)
            v *= 10;
        *out = v;
        return true;
    }
    const std::string& d = number.digits;
    if (d.empty()) {
        *out = 0;
        return true;
    }
    const int64_t n = static_cast<int64_t>(d.size());
    const int64_t exponent = number.exponent + scale;
    const int64_t int_len = n + exponent;  // digits before the decimal point
    if (int_len > 20)
        return false;  // at least 10^20 > 2^64
    unsigned __int128 v = 0;
    for (int64_t i = 0; i < int_len; ++i)
        v = v * 10 + (i < n ? static_cast<unsigned>(d[i] - '0') : 0u);
    // First digit after the decimal point, and whether anything non-zero follows it (digits
    // has no trailing zeros, so that is "is there a digit after it").
    int first = (int_len >= 0 && int_len < n) ? d[int_len] - '0' : 0;
    bool sticky = n - 1 > int_len;
    if (int_len < 0)
        first = 0;
    if (first > 5 || (first == 5 && (sticky || (v & 1) != 0)))
        ++v;
    if (v > (static_cast<unsigned __int128>(1) << 64))
        return false;
    *out = number.negative ? -static_cast<__int128>(v) : static_cast<__int128>(v);
    return true;
}

bool RoundToInteger(const ParsedNumber& number, __int128* out) {
    return RoundToIntegerScaled(number, 0, out);
}

bool ToDouble(const ParsedNumber& number, double* out) {
    if (number.is_bits) {
        *out = static_cast<int32_t>(number.bits);
        return true;
    }
    if (number.digits.empty()) {
        *out = 0.0;
        return true;
    }
    const int64_t magnitude = static_cast<int64_t>(number.digits.size()) + number.exponent;
    if (magnitude > 310)
        return false;
    if (magnitude < -400) {
        *out = number.negative ? -0.0 : 0.0;
        return true;
    }
    std::string text = number.digits + "e" + std::to_string(number.exponent);
    double value = 0.0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) {
        if (magnitude > 0)
            return false;
        value = 0.0;  // underflow
    } else if (ec != std::errc()) {
        return false;
    }
    if (!std::isfinite(value))
        return false;
    *out = number.negative ? -value : value;
    return true;
}

bool EqualsWordIgnoringCase(const char16_t* text, const char* word) {
    if (text == nullptr)
        return false;
    size_t pos = 0;
    while (IsBlank(text[pos]))
        ++pos;
    size_t i = 0;
    for (; word[i] != 0; ++i, ++pos) {
        char16_t c = text[pos];
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
        char w = word[i];
        if (w >= 'A' && w <= 'Z')
            w = static_cast<char>(w - 'A' + 'a');
        if (c != static_cast<char16_t>(w))
            return false;
    }
    while (IsBlank(text[pos]))
        ++pos;
    return text[pos] == 0;
}

}  // namespace k47::oleaut
