// VariantChangeType and friends: the VT_BSTR -> VT_I4 table (blanks, signs, parentheses,
// banker's rounding, thousands separators, exponent, &H/&O, the int32 overflow edges,
// non-numbers), the other sources, conversion to text, in-place conversion, the destination left
// alone on failure, and ownership in VariantCopy/VariantClear.
#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "k47/errors.h"
#include "k47/strings.h"
#include "objbase.h"

namespace {

std::string Hr(HRESULT hr) {
    return k47::DescribeHresult(hr);
}

struct OwnedVariant : VARIANT {
    OwnedVariant() { VariantInit(this); }
    ~OwnedVariant() { VariantClear(this); }
    OwnedVariant(const OwnedVariant&) = delete;
    OwnedVariant& operator=(const OwnedVariant&) = delete;
};

// Converts text (a real BSTR) to VT_I4 with flags 0; returns the HRESULT and the value.
HRESULT TextToI4(const std::u16string& text, LONG* value) {
    OwnedVariant src, dst;
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    HRESULT hr = VariantChangeType(&dst, &src, 0, VT_I4);
    if (SUCCEEDED(hr)) {
        EXPECT_EQ(dst.vt, VT_I4);
        *value = dst.lVal;
    } else {
        EXPECT_EQ(dst.vt, VT_EMPTY) << "destination untouched on failure";
    }
    return hr;
}

TEST(VariantChangeType, TextToI4Table) {
    struct Case {
        std::u16string text;
        HRESULT hr;
        LONG value;
    };
    const Case cases[] = {
        {u"123", S_OK, 123},
        {u"0", S_OK, 0},
        {u"-0", S_OK, 0},
        {u"000042", S_OK, 42},
        // blanks
        {u"  123  ", S_OK, 123},
        {u"\t123", S_OK, 123},
        {u"\r\n 7 \n", S_OK, 7},
        // signs and parentheses
        {u"+5", S_OK, 5},
        {u"-5", S_OK, -5},
        {u"5-", S_OK, -5},
        {u"5+", S_OK, 5},
        {u"(5)", S_OK, -5},
        {u"( 5 )", S_OK, -5},
        {u"- 5", S_OK, -5},
        {u"--5", DISP_E_TYPEMISMATCH, 0},
        {u"-5-", DISP_E_TYPEMISMATCH, 0},
        {u"+-5", DISP_E_TYPEMISMATCH, 0},
        {u"(5", DISP_E_TYPEMISMATCH, 0},
        {u"5)", DISP_E_TYPEMISMATCH, 0},
        {u"(-5)", DISP_E_TYPEMISMATCH, 0},
        // decimals, rounded half to even
        {u"5.6", S_OK, 6},
        {u"5.4", S_OK, 5},
        {u"2.5", S_OK, 2},
        {u"3.5", S_OK, 4},
        {u"-2.5", S_OK, -2},
        {u"-3.5", S_OK, -4},
        {u"0.5", S_OK, 0},
        {u"1.5", S_OK, 2},
        {u"2.50000000000000000001", S_OK, 3},  // exact decimal: just above the tie
        {u"2.49999999999999999999", S_OK, 2},
        {u".5", S_OK, 0},
        {u".51", S_OK, 1},
        {u"5.", S_OK, 5},
        {u"-0.4", S_OK, 0},
        {u".", DISP_E_TYPEMISMATCH, 0},
        {u"1.2.3", DISP_E_TYPEMISMATCH, 0},
        // thousands separators (accepted anywhere after the first digit, en-US)
        {u"1,000", S_OK, 1000},
        {u"1,234,567", S_OK, 1234567},
        {u"1,2", S_OK, 12},
        {u"1,,0", S_OK, 10},
        {u",5", DISP_E_TYPEMISMATCH, 0},
        {u"1.2,3", DISP_E_TYPEMISMATCH, 0},
        // exponent
        {u"1e3", S_OK, 1000},
        {u"1.5E2", S_OK, 150},
        {u"25e-1", S_OK, 2},
        {u"35E-1", S_OK, 4},
        {u"1e+2", S_OK, 100},
        {u"1e", DISP_E_TYPEMISMATCH, 0},
        {u"1e+", DISP_E_TYPEMISMATCH, 0},
        {u"e5", DISP_E_TYPEMISMATCH, 0},
        {u"1e10", DISP_E_OVERFLOW, 0},
        {u"1e-99999999999", S_OK, 0},
        {u"1e99999999999", DISP_E_OVERFLOW, 0},
        // &H and &O: 32-bit patterns read as signed
        {u"&H10", S_OK, 16},
        {u"&hff", S_OK, 255},
        {u"&O17", S_OK, 15},
        {u"&o777", S_OK, 511},
        {u"  &H7FFFFFFF ", S_OK, 2147483647},
        {u"&HFFFFFFFF", S_OK, -1},
        {u"&H80000000", S_OK, INT32_MIN},
        {u"&O37777777777", S_OK, -1},
        {u"&H100000000", DISP_E_OVERFLOW, 0},
        {u"&O40000000000", DISP_E_OVERFLOW, 0},
        {u"&H", DISP_E_TYPEMISMATCH, 0},
        {u"&HG", DISP_E_TYPEMISMATCH, 0},
        {u"&O8", DISP_E_TYPEMISMATCH, 0},
        {u"&X10", DISP_E_TYPEMISMATCH, 0},
        {u"-&H10", DISP_E_TYPEMISMATCH, 0},
        {u"0x10", DISP_E_TYPEMISMATCH, 0},
        // int32 edges
        {u"2147483647", S_OK, 2147483647},
        {u"2147483648", DISP_E_OVERFLOW, 0},
        {u"-2147483648", S_OK, INT32_MIN},
        {u"-2147483649", DISP_E_OVERFLOW, 0},
        {u"2147483647.4", S_OK, 2147483647},
        {u"2147483647.5", DISP_E_OVERFLOW, 0},
        {u"-2147483648.5", S_OK, INT32_MIN},  // ties to even: -2147483648
        {u"-2147483648.51", DISP_E_OVERFLOW, 0},
        {u"2,147,483,647", S_OK, 2147483647},
        {u"99999999999999999999999999999", DISP_E_OVERFLOW, 0},
        // currency symbol
        {u"$5", S_OK, 5},
        {u"-$5", S_OK, -5},
        {u"($5)", S_OK, -5},
        {u"5$", S_OK, 5},
        {u"$$5", DISP_E_TYPEMISMATCH, 0},
        // not numbers
        {u"", DISP_E_TYPEMISMATCH, 0},
        {u"   ", DISP_E_TYPEMISMATCH, 0},
        {u"abc", DISP_E_TYPEMISMATCH, 0},
        {u"12abc", DISP_E_TYPEMISMATCH, 0},
        {u"1 2", DISP_E_TYPEMISMATCH, 0},
        {u"True", DISP_E_TYPEMISMATCH, 0},
        {u"\uFF11", DISP_E_TYPEMISMATCH, 0},  // full-width digit
        {u"-", DISP_E_TYPEMISMATCH, 0},
        {u"()", DISP_E_TYPEMISMATCH, 0},
        // the string ends at its first NUL, as for any OLECHAR* consumer
        {std::u16string(u"12\0abc", 6), S_OK, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(k47::Utf16ToUtf8(c.text));
        LONG value = 0x5A5A5A5A;
        HRESULT hr = TextToI4(c.text, &value);
        EXPECT_EQ(hr, c.hr) << Hr(hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(value, c.value);
        }
    }
}

TEST(VariantChangeType, NullBstrBehavesAsEmptyText) {
    OwnedVariant src, dst;
    src.vt = VT_BSTR;
    src.bstrVal = nullptr;
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(dst.vt, VT_BSTR);
    EXPECT_EQ(dst.bstrVal, nullptr) << "a copy of a null BSTR stays null";
}

TEST(VariantChangeType, OtherSourcesToI4) {
    struct Case {
        const char* name;
        VARIANT src;
        HRESULT hr;
        LONG value;
    };
    auto v = [](VARTYPE vt, auto setter) {
        VARIANT x;
        VariantInit(&x);
        x.vt = vt;
        setter(x);
        return x;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"EMPTY", v(VT_EMPTY, [](VARIANT&) {}), S_OK, 0},
        {"NULL", v(VT_NULL, [](VARIANT&) {}), DISP_E_TYPEMISMATCH, 0},
        {"I1 -1", v(VT_I1, [](VARIANT& x) { x.cVal = static_cast<CHAR>(-1); }), S_OK, -1},
        {"UI1 255", v(VT_UI1, [](VARIANT& x) { x.bVal = 255; }), S_OK, 255},
        {"I2 -32768", v(VT_I2, [](VARIANT& x) { x.iVal = -32768; }), S_OK, -32768},
        {"UI2 65535", v(VT_UI2, [](VARIANT& x) { x.uiVal = 65535; }), S_OK, 65535},
        {"INT -7", v(VT_INT, [](VARIANT& x) { x.intVal = -7; }), S_OK, -7},
        {"UI4 0x7FFFFFFF", v(VT_UI4, [](VARIANT& x) { x.ulVal = 0x7FFFFFFF; }), S_OK, 0x7FFFFFFF},
        {"UI4 0x80000000", v(VT_UI4, [](VARIANT& x) { x.ulVal = 0x80000000u; }), DISP_E_OVERFLOW,
         0},
        {"UINT 0xFFFFFFFF", v(VT_UINT, [](VARIANT& x) { x.uintVal = 0xFFFFFFFFu; }),
         DISP_E_OVERFLOW, 0},
        {"I8 -2^31", v(VT_I8, [](VARIANT& x) { x.llVal = INT32_MIN; }), S_OK, INT32_MIN},
        {"I8 2^31", v(VT_I8, [](VARIANT& x) { x.llVal = 0x80000000LL; }), DISP_E_OVERFLOW, 0},
        {"I8 -2^31-1", v(VT_I8, [](VARIANT& x) { x.llVal = -2147483649LL; }), DISP_E_OVERFLOW, 0},
        {"UI8 max", v(VT_UI8, [](VARIANT& x) { x.ullVal = UINT64_MAX; }), DISP_E_OVERFLOW, 0},
        {"R8 2.5", v(VT_R8, [](VARIANT& x) { x.dblVal = 2.5; }), S_OK, 2},
        {"R8 3.5", v(VT_R8, [](VARIANT& x) { x.dblVal = 3.5; }), S_OK, 4},
        {"R8 -2.5", v(VT_R8, [](VARIANT& x) { x.dblVal = -2.5; }), S_OK, -2},
        {"R8 -1.6", v(VT_R8, [](VARIANT& x) { x.dblVal = -1.6; }), S_OK, -2},
        {"R8 2147483647.49", v(VT_R8, [](VARIANT& x) { x.dblVal = 2147483647.49; }), S_OK,
         INT32_MAX},
        {"R8 2147483647.5", v(VT_R8, [](VARIANT& x) { x.dblVal = 2147483647.5; }), DISP_E_OVERFLOW,
         0},
        {"R8 -2147483648.5", v(VT_R8, [](VARIANT& x) { x.dblVal = -2147483648.5; }), S_OK,
         INT32_MIN},
        {"R8 NaN", v(VT_R8, [&](VARIANT& x) { x.dblVal = nan; }), DISP_E_OVERFLOW, 0},
        {"R8 +Inf", v(VT_R8, [&](VARIANT& x) { x.dblVal = inf; }), DISP_E_OVERFLOW, 0},
        {"R8 1e300", v(VT_R8, [](VARIANT& x) { x.dblVal = 1e300; }), DISP_E_OVERFLOW, 0},
        {"R4 0.5", v(VT_R4, [](VARIANT& x) { x.fltVal = 0.5f; }), S_OK, 0},
        {"R4 1.5", v(VT_R4, [](VARIANT& x) { x.fltVal = 1.5f; }), S_OK, 2},
        {"BOOL true", v(VT_BOOL, [](VARIANT& x) { x.boolVal = VARIANT_TRUE; }), S_OK, -1},
        {"BOOL false", v(VT_BOOL, [](VARIANT& x) { x.boolVal = VARIANT_FALSE; }), S_OK, 0},
        {"CY 2.5", v(VT_CY, [](VARIANT& x) { x.cyVal.int64 = 25000; }), S_OK, 2},
        {"CY 3.5", v(VT_CY, [](VARIANT& x) { x.cyVal.int64 = 35000; }), S_OK, 4},
        {"CY -2.5001", v(VT_CY, [](VARIANT& x) { x.cyVal.int64 = -25001; }), S_OK, -3},
        {"CY 1.4999", v(VT_CY, [](VARIANT& x) { x.cyVal.int64 = 14999; }), S_OK, 1},
        {"CY too big", v(VT_CY, [](VARIANT& x) { x.cyVal.int64 = 21474836480000LL; }),
         DISP_E_OVERFLOW, 0},
        {"DATE 36526.5", v(VT_DATE, [](VARIANT& x) { x.date = 36526.5; }), S_OK, 36526},
        {"DATE 36527.75", v(VT_DATE, [](VARIANT& x) { x.date = 36527.75; }), S_OK, 36528},
        {"ERROR", v(VT_ERROR, [](VARIANT& x) { x.scode = E_FAIL; }), DISP_E_TYPEMISMATCH, 0},
        {"UNKNOWN null", v(VT_UNKNOWN, [](VARIANT& x) { x.punkVal = nullptr; }),
         DISP_E_TYPEMISMATCH, 0},
        {"bad vt 15", v(15, [](VARIANT&) {}), DISP_E_BADVARTYPE, 0},
        {"bad vt DECIMAL", v(VT_DECIMAL, [](VARIANT&) {}), DISP_E_BADVARTYPE, 0},
        {"bad vt ARRAY|I4", v(VT_ARRAY | VT_I4, [](VARIANT&) {}), DISP_E_BADVARTYPE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OwnedVariant dst;
        dst.vt = VT_I2;
        dst.iVal = 77;
        HRESULT hr = VariantChangeType(&dst, &c.src, 0, VT_I4);
        EXPECT_EQ(hr, c.hr) << Hr(hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(dst.vt, VT_I4);
            EXPECT_EQ(dst.lVal, c.value);
        } else {
            EXPECT_EQ(dst.vt, VT_I2) << "destination untouched on failure";
            EXPECT_EQ(dst.iVal, 77);
        }
    }
}

TEST(VariantChangeType, ToText) {
    struct Case {
        const char* name;
        VARIANT src;
        USHORT flags;
        const char16_t* text;
    };
    auto v = [](VARTYPE vt, auto setter) {
        VARIANT x;
        VariantInit(&x);
        x.vt = vt;
        setter(x);
        return x;
    };
    const Case cases[] = {
        {"I4", v(VT_I4, [](VARIANT& x) { x.lVal = -2147483647 - 1; }), 0, u"-2147483648"},
        {"UI8", v(VT_UI8, [](VARIANT& x) { x.ullVal = UINT64_MAX; }), 0, u"18446744073709551615"},
        {"I1", v(VT_I1, [](VARIANT& x) { x.cVal = static_cast<CHAR>(-128); }), 0, u"-128"},
        {"EMPTY", v(VT_EMPTY, [](VARIANT&) {}), 0, u""},
        {"R8 1.5", v(VT_R8, [](VARIANT& x) { x.dblVal = 1.5; }), 0, u"1.5"},
        {"R8 0.1", v(VT_R8, [](VARIANT& x) { x.dblVal = 0.1; }), 0, u"0.1"},
        {"R8 1/3", v(VT_R8, [](VARIANT& x) { x.dblVal = 1.0 / 3.0; }), 0, u"0.333333333333333"},
        {"R8 1e20", v(VT_R8, [](VARIANT& x) { x.dblVal = 1e20; }), 0, u"1E+20"},
        {"R8 -0", v(VT_R8, [](VARIANT& x) { x.dblVal = -0.0; }), 0, u"0"},
        {"R4 0.1", v(VT_R4, [](VARIANT& x) { x.fltVal = 0.1f; }), 0, u"0.1"},
        {"CY 1.5", v(VT_CY, [](VARIANT& x) { x.cyVal.int64 = 15000; }), 0, u"1.5"},
        {"CY -0.0001", v(VT_CY, [](VARIANT& x) { x.cyVal.int64 = -1; }), 0, u"-0.0001"},
        {"CY 12", v(VT_CY, [](VARIANT& x) { x.cyVal.int64 = 120000; }), 0, u"12"},
        {"BOOL numeric", v(VT_BOOL, [](VARIANT& x) { x.boolVal = VARIANT_TRUE; }), 0, u"-1"},
        {"BOOL alpha", v(VT_BOOL, [](VARIANT& x) { x.boolVal = VARIANT_FALSE; }), VARIANT_ALPHABOOL,
         u"False"},
        {"DATE 0", v(VT_DATE, [](VARIANT& x) { x.date = 0.0; }), 0, u"12:00:00 AM"},
        {"DATE 2000-01-01", v(VT_DATE, [](VARIANT& x) { x.date = 36526.0; }), 0, u"1/1/2000"},
        {"DATE 2000-01-01 15:00", v(VT_DATE, [](VARIANT& x) { x.date = 36526.625; }), 0,
         u"1/1/2000 3:00:00 PM"},
        {"DATE time only", v(VT_DATE, [](VARIANT& x) { x.date = 0.5; }), 0, u"12:00:00 PM"},
        {"DATE negative", v(VT_DATE, [](VARIANT& x) { x.date = -1.25; }), 0,
         u"12/29/1899 6:00:00 AM"},
        {"DATE 1900-03-01", v(VT_DATE, [](VARIANT& x) { x.date = 61.0; }), 0, u"3/1/1900"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OwnedVariant dst;
        HRESULT hr = VariantChangeType(&dst, &c.src, c.flags, VT_BSTR);
        ASSERT_EQ(hr, S_OK) << Hr(hr);
        ASSERT_EQ(dst.vt, VT_BSTR);
        EXPECT_EQ(std::u16string(dst.bstrVal, SysStringLen(dst.bstrVal)), c.text);
    }
    OwnedVariant null_src, dst;
    null_src.vt = VT_NULL;
    EXPECT_EQ(VariantChangeType(&dst, &null_src, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeType, OtherTargets) {
    struct Case {
        const char16_t* text;
        VARTYPE vt;
        HRESULT hr;
        double value;  // compared after reading the target field as a number
    };
    const Case cases[] = {
        {u"127", VT_I1, S_OK, 127},
        {u"128", VT_I1, DISP_E_OVERFLOW, 0},
        {u"-128", VT_I1, S_OK, -128},
        {u"255", VT_UI1, S_OK, 255},
        {u"256", VT_UI1, DISP_E_OVERFLOW, 0},
        {u"-1", VT_UI1, DISP_E_OVERFLOW, 0},
        {u"-0.5", VT_UI1, S_OK, 0},
        {u"32767", VT_I2, S_OK, 32767},
        {u"32768", VT_I2, DISP_E_OVERFLOW, 0},
        {u"65535", VT_UI2, S_OK, 65535},
        {u"4294967295", VT_UI4, S_OK, 4294967295.0},
        {u"4294967296", VT_UINT, DISP_E_OVERFLOW, 0},
        {u"9223372036854775807", VT_I8, S_OK, 9223372036854775807.0},
        {u"9223372036854775808", VT_I8, DISP_E_OVERFLOW, 0},
        {u"18446744073709551615", VT_UI8, S_OK, 18446744073709551615.0},
        {u"18446744073709551616", VT_UI8, DISP_E_OVERFLOW, 0},
        {u"1.25e2", VT_R8, S_OK, 125.0},
        {u"-0.1", VT_R8, S_OK, -0.1},
        {u"1e400", VT_R8, DISP_E_OVERFLOW, 0},
        {u"1e-400", VT_R8, S_OK, 0.0},
        {u"1e39", VT_R4, DISP_E_OVERFLOW, 0},
        {u"0.25", VT_R4, S_OK, 0.25},
        {u"1.23456", VT_CY, S_OK, 1.2346},
        {u"0.00005", VT_CY, S_OK, 0.0},  // half to even at the 4th decimal
        {u"0.00015", VT_CY, S_OK, 0.0002},
        {u"True", VT_BOOL, S_OK, -1},
        {u" false ", VT_BOOL, S_OK, 0},
        {u"0", VT_BOOL, S_OK, 0},
        {u"0.1", VT_BOOL, S_OK, -1},
        {u"yes", VT_BOOL, DISP_E_TYPEMISMATCH, 0},
        {u"1/1/2000", VT_DATE, DISP_E_TYPEMISMATCH, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(k47::Utf16ToUtf8(c.text));
        OwnedVariant src, dst;
        src.vt = VT_BSTR;
        src.bstrVal = SysAllocString(c.text);
        HRESULT hr = VariantChangeType(&dst, &src, 0, c.vt);
        ASSERT_EQ(hr, c.hr) << Hr(hr);
        if (hr != S_OK) {
            EXPECT_EQ(dst.vt, VT_EMPTY);
            continue;
        }
        ASSERT_EQ(dst.vt, c.vt);
        double got = 0;
        switch (c.vt) {
            case VT_I1:
                got = static_cast<int8_t>(dst.cVal);
                break;
            case VT_UI1:
                got = dst.bVal;
                break;
            case VT_I2:
                got = dst.iVal;
                break;
            case VT_UI2:
                got = dst.uiVal;
                break;
            case VT_UI4:
                got = dst.ulVal;
                break;
            case VT_I8:
                got = static_cast<double>(dst.llVal);
                break;
            case VT_UI8:
                got = static_cast<double>(dst.ullVal);
                break;
            case VT_R8:
                got = dst.dblVal;
                break;
            case VT_R4:
                got = dst.fltVal;
                break;
            case VT_CY:
                got = static_cast<double>(dst.cyVal.int64) / 10000.0;
                break;
            case VT_BOOL:
                got = dst.boolVal;
                break;
            default:
                FAIL();
        }
        EXPECT_DOUBLE_EQ(got, c.value);
    }
    // Exact 64-bit values (a double comparison above cannot tell neighbours apart).
    OwnedVariant src, dst;
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocString(u"-9223372036854775808");
    ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_I8), S_OK);
    EXPECT_EQ(dst.llVal, INT64_MIN);
    SysReAllocString(&src.bstrVal, u"18446744073709551614");
    ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_UI8), S_OK);
    EXPECT_EQ(dst.ullVal, UINT64_MAX - 1);
}

TEST(VariantChangeType, InPlaceAndFailureLeaveNoLeak) {
    // In place: the source BSTR is consumed and freed (LeakSanitizer checks).
    OwnedVariant v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u" 1,024 ");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 1024);

    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(std::u16string(v.bstrVal), u"1024");

    // Failure in place keeps the original string intact and owned.
    SysReAllocString(&v.bstrVal, u"12x");
    BSTR before = v.bstrVal;
    EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(v.vt, VT_BSTR);
    EXPECT_EQ(v.bstrVal, before);
    EXPECT_EQ(std::u16string(v.bstrVal), u"12x");

    // The Ex form gives the same results whatever the locale (en-US rules).
    OwnedVariant src, dst;
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocString(u"1.500,5");  // German style: not a number in en-US
    EXPECT_EQ(VariantChangeTypeEx(&dst, &src, 0x0407, 0, VT_I4), DISP_E_TYPEMISMATCH);
    SysReAllocString(&src.bstrVal, u"1,500.5");
    ASSERT_EQ(VariantChangeTypeEx(&dst, &src, 0x0407, 0, VT_I4), S_OK);
    EXPECT_EQ(dst.lVal, 1500);

    EXPECT_EQ(VariantChangeType(nullptr, &src, 0, VT_I4), E_INVALIDARG);
    EXPECT_EQ(VariantChangeType(&dst, nullptr, 0, VT_I4), E_INVALIDARG);
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4 | VT_BYREF), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_DECIMAL), DISP_E_BADVARTYPE);
}

TEST(VariantChangeType, ByRefSourcesAreDereferenced) {
    LONG l = 41;
    double d = 2.5;
    BSTR text = SysAllocString(u"&H20");
    VARIANT inner;
    VariantInit(&inner);
    inner.vt = VT_I2;
    inner.iVal = -3;

    VARIANT ref;
    VariantInit(&ref);
    struct Case {
        VARTYPE vt;
        void* pointer;
        LONG expected;
    };
    const Case cases[] = {
        {VT_I4 | VT_BYREF, &l, 41},
        {VT_R8 | VT_BYREF, &d, 2},
        {VT_BSTR | VT_BYREF, &text, 32},
        {VT_VARIANT | VT_BYREF, &inner, -3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.vt);
        ref.vt = c.vt;
        ref.byref = c.pointer;
        OwnedVariant dst;
        ASSERT_EQ(VariantChangeType(&dst, &ref, 0, VT_I4), S_OK);
        EXPECT_EQ(dst.lVal, c.expected);
    }
    // The referenced BSTR still belongs to its owner; copying to VT_BSTR makes a new one.
    ref.vt = VT_BSTR | VT_BYREF;
    ref.pbstrVal = &text;
    OwnedVariant copy;
    ASSERT_EQ(VariantChangeType(&copy, &ref, 0, VT_BSTR), S_OK);
    EXPECT_NE(copy.bstrVal, text);
    EXPECT_EQ(std::u16string(copy.bstrVal), u"&H20");
    SysFreeString(text);
}

// A counting IUnknown to check AddRef/Release balance in VariantCopy and VariantClear.
class CountingUnknown : public IUnknown {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid != IID_IUnknown)
            return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    std::atomic<ULONG> refs{1};
};

TEST(Variant, CopyAndClearOwnership) {
    // BSTR: a deep copy keeping the byte length (odd lengths and embedded NULs).
    OwnedVariant a, b;
    a.vt = VT_BSTR;
    a.bstrVal = SysAllocStringByteLen("a\0b\0c", 5);
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    ASSERT_EQ(b.vt, VT_BSTR);
    EXPECT_NE(b.bstrVal, a.bstrVal);
    EXPECT_EQ(SysStringByteLen(b.bstrVal), 5u);
    EXPECT_EQ(std::memcmp(b.bstrVal, "a\0b\0c", 5), 0);
    // Copying over a destination that holds a BSTR frees it first (LeakSanitizer checks).
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    EXPECT_EQ(VariantCopy(&a, &a), S_OK) << "self-copy is a no-op";
    EXPECT_EQ(SysStringByteLen(a.bstrVal), 5u);

    CountingUnknown unk;
    {
        OwnedVariant u1, u2;
        u1.vt = VT_UNKNOWN;
        u1.punkVal = &unk;
        unk.AddRef();
        EXPECT_EQ(unk.refs, 2u);
        ASSERT_EQ(VariantCopy(&u2, &u1), S_OK);
        EXPECT_EQ(unk.refs, 3u);
        ASSERT_EQ(VariantClear(&u2), S_OK);
        EXPECT_EQ(u2.vt, VT_EMPTY);
        EXPECT_EQ(unk.refs, 2u);
        // Converting an interface to VT_I4 fails and must not touch the count.
        OwnedVariant n;
        EXPECT_EQ(VariantChangeType(&n, &u1, 0, VT_I4), DISP_E_TYPEMISMATCH);
        EXPECT_EQ(unk.refs, 2u);
        OwnedVariant same;
        ASSERT_EQ(VariantChangeType(&same, &u1, 0, VT_UNKNOWN), S_OK);
        EXPECT_EQ(unk.refs, 3u);
    }
    EXPECT_EQ(unk.refs, 1u) << "every reference taken was released";

    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 0x0FFF;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(bad.vt, 0x0FFF);
    OwnedVariant dst;
    EXPECT_EQ(VariantCopy(&dst, &bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

}  // namespace
