// Internal: the text-to-number parser behind VariantChangeType from VT_BSTR, with the rules of
// VarParseNumFromStr under NUMPRS_STD and en-US conventions ('.' decimal point, ',' thousands
// separator, '$' currency), and exact decimal rounding to the integer types. Pure functions; safe
// from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace k47::oleaut {

// A parsed number. Decimal form: value = (negative ? -1 : 1) * digits * 10^exponent, with
// `digits` holding the significant decimal digits (no leading or trailing zeros; empty = 0).
// &H / &O form: `is_bits` and a 32-bit pattern, read as a signed 32-bit value.
struct ParsedNumber {
    bool negative = false;
    std::string digits;
    int64_t exponent = 0;
    bool is_bits = false;
    uint32_t bits = 0;
};

enum class ParseStatus { kOk, kMismatch, kOverflow };

// Parses a NUL-terminated UTF-16 string (null is read as ""); the whole string must be a number:
// leading and trailing white space, one sign (leading or trailing) or parentheses for a negative
// value, '$', thousands separators after the first digit, a decimal point, an exponent (e/E with
// an optional sign), or &H / &O followed by hexadecimal / octal digits (at most 32 bits).
ParseStatus ParseNumber(const char16_t* text, ParsedNumber* out);

// Rounds half to even to an integer. False when the magnitude exceeds 2^64 (the caller then
// reports an overflow); *out is valid otherwise.
bool RoundToInteger(const ParsedNumber& number, __int128* out);
// Scales by 10^digits before rounding (used for VT_CY, which counts 1/10000 units).
bool RoundToIntegerScaled(const ParsedNumber& number, int digits, __int128* out);
// The nearest double; false when the value is too large for a double.
bool ToDouble(const ParsedNumber& number, double* out);

// Case-insensitive comparison of a NUL-terminated UTF-16 string, after trimming white space,
// with an ASCII word ("True").
bool EqualsWordIgnoringCase(const char16_t* text, const char* word);

}  // namespace k47::oleaut
