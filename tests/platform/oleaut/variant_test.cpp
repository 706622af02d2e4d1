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
