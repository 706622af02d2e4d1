// VariantInit, VariantClear, VariantCopy and VariantChangeType(Ex). Conversions follow the
// Automation rules with en-US conventions whatever the LCID (the system relies on
// locale-independent results): integers round half to even, values that do not fit give
// DISP_E_OVERFLOW, values that cannot be coerced DISP_E_TYPEMISMATCH, and the destination is
// left untouched on failure. Supported types: EMPTY, NULL, I1, I2, I4, I8, UI1, UI2, UI4, UI8,
// INT, UINT, R4, R8, CY, DATE, BSTR, BOOL, ERROR, UNKNOWN, DISPATCH and VT_BYREF to them.
// Not supported: DECIMAL, arrays, text to VT_DATE (DISP_E_BADVARTYPE or DISP_E_TYPEMISMATCH).
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "objbase.h"
#include "oleaut/variant_number.h"

using k47::oleaut::ParsedNumber;
using k47::oleaut::ParseStatus;

namespace {

using Int128 = __int128;

bool IsIntegerType(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_I8:
        case VT_INT:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UI8:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

bool IsScalarType(VARTYPE vt) {
    if (IsIntegerType(vt))
        return true;
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_ERROR:
        case VT_BOOL:
        case VT_UNKNOWN:
            return true;
        default:
            return false;
    }
}

// The types a VARIANT may hold here: a scalar, or VT_BYREF to a scalar (not EMPTY/NULL) or to a
// VARIANT.
bool IsValidVariantType(VARTYPE vt) {
    if (vt & VT_BYREF) {
        VARTYPE base = vt & ~VT_BYREF;
        return base == VT_VARIANT || (IsScalarType(base) && base != VT_EMPTY && base != VT_NULL);
    }
    return IsScalarType(vt);
}

void IntegerRange(VARTYPE vt, Int128* lo, Int128* hi) {
    switch (vt) {
        case VT_I1:
            *lo = INT8_MIN;
            *hi = INT8_MAX;
            break;
        case VT_UI1:
            *lo = 0;
            *hi = UINT8_MAX;
            break;
        case VT_I2:
            *lo = INT16_MIN;
            *hi = INT16_MAX;
            break;
        case VT_UI2:
            *lo = 0;
            *hi = UINT16_MAX;
            break;
        case VT_I4:
        case VT_INT:
            *lo = INT32_MIN;
            *hi = INT32_MAX;
            break;
        case VT_UI4:
        case VT_UINT:
            *lo = 0;
            *hi = UINT32_MAX;
            break;
        case VT_I8:
            *lo = INT64_MIN;
            *hi = INT64_MAX;
            break;
        default:
            *lo = 0;
            *hi = UINT64_MAX;
            break;  // VT_UI8
    }
}

void StoreInteger(VARIANT* v, VARTYPE vt, Int128 value) {
    v->vt = vt;
    switch (vt) {
        case VT_I1:
            v->cVal = static_cast<CHAR>(static_cast<int8_t>(value));
            break;
        case VT_UI1:
            v->bVal = static_cast<BYTE>(value);
            break;
        case VT_I2:
            v->iVal = static_cast<SHORT>(value);
            break;
        case VT_UI2:
            v->uiVal = static_cast<USHORT>(value);
            break;
        case VT_I4:
            v->lVal = static_cast<LONG>(value);
            break;
        case VT_INT:
            v->intVal = static_cast<INT>(value);
            break;
        case VT_UI4:
            v->ulVal = static_cast<ULONG>(value);
            break;
        case VT_UINT:
            v->uintVal = static_cast<UINT>(value);
            break;
        case VT_I8:
            v->llVal = static_cast<LONGLONG>(value);
            break;
        default:
            v->ullVal = static_cast<ULONGLONG>(value);
            break;
    }
}

Int128 LoadInteger(const VARIANT& v) {
    switch (v.vt) {
        case VT_I1:
            return static_cast<int8_t>(v.cVal);
        case VT_UI1:
            return v.bVal;
        case VT_I2:
            return v.iVal;
        case VT_UI2:
            return v.uiVal;
        case VT_I4:
            return v.lVal;
        case VT_INT:
            return v.intVal;
        case VT_UI4:
            return v.ulVal;
        case VT_UINT:
            return v.uintVal;
        case VT_I8:
            return v.llVal;
        default:
            return v.ullVal;
    }
}

// A number from any numeric source, kept exact until the target type is known.
struct Number {
    enum class Kind { kInteger, kReal, kCurrency, kDecimal } kind = Kind::kInteger;
    Int128 integer = 0;  // kInteger; kCurrency in 1/10000 units
    double real = 0.0;   // kReal
    ParsedNumber decimal;
};

// Integer division by 10000 rounding half to even (currency to integer).
Int128 RoundCurrency(Int128 units) {
    Int128 q = units / 10000, r = units % 10000;
    Int128 ar = r < 0 ? -r : r;
    if (ar > 5000 || (ar == 5000 && (q & 1) != 0))
        q += r < 0 ? -1 : 1;
    return q;
}

bool RealToInteger(double d, Int128* out) {
    if (!std::isfinite(d))
        return false;
    double r = std::nearbyint(d);  // the default rounding mode rounds half to even
    if (std::fabs(r) >= 1.0e30)
        return false;
    *out = static_cast<Int128>(r);
    return true;
}

HRESULT NumberToInteger(const Number& n, VARTYPE vt, VARIANT* out) {
    Int128 value = 0;
    switch (n.kind) {
        case Number::Kind::kInteger:
            value = n.integer;
            break;
        case Number::Kind::kCurrency:
            value = RoundCurrency(n.integer);
            break;
        case Number::Kind::kReal:
            if (!RealToInteger(n.real, &value))
                return DISP_E_OVERFLOW;
            break;
        case Number::Kind::kDecimal:
            if (!k47::oleaut::RoundToInteger(n.decimal, &value))
                return DISP_E_OVERFLOW;
            break;
    }
    Int128 lo, hi;
    IntegerRange(vt, &lo, &hi);
    if (value < lo || value > hi)
        return DISP_E_OVERFLOW;
    StoreInteger(out, vt, value);
    return S_OK;
}

HRESULT NumberToDouble(const Number& n, double* out) {
    switch (n.kind) {
        case Number::Kind::kInteger:
            *out = static_cast<double>(n.integer);
            return S_OK;
        case Number::Kind::kCurrency:
            *out = static_cast<double>(n.integer) / 10000.0;
            return S_OK;
        case Number::Kind::kReal:
            *out = n.real;
            return S_OK;
        case Number::Kind::kDecimal:
            return k47::oleaut::ToDouble(n.decimal, out) ? S_OK : DISP_E_OVERFLOW;
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT NumberToCurrency(const Number& n, VARIANT* out) {
    Int128 units = 0;
    switch (n.kind) {
        case Number::Kind::kInteger:
            units = n.integer * 10000;
            break;
        case Number::Kind::kCurrency:
            units = n.integer;
            break;
        case Number::Kind::kReal:
            if (!RealToInteger(n.real * 10000.0, &units))
                return DISP_E_OVERFLOW;
            break;
        case Number::Kind::kDecimal:
            if (!k47::oleaut::RoundToIntegerScaled(n.decimal, 4, &units))
                return DISP_E_OVERFLOW;
            break;
    }
    if (units < INT64_MIN || units > INT64_MAX)
        return DISP_E_OVERFLOW;
    out->vt = VT_CY;
    out->cyVal.int64 = static_cast<LONGLONG>(units);
    return S_OK;
}

bool NumberIsZero(const Number& n) {
    switch (n.kind) {
        case Number::Kind::kReal:
            return n.real == 0.0;
        case Number::Kind::kDecimal:
            return !n.decimal.is_bits ? n.decimal.digits.empty() : n.decimal.bits == 0;
        default:
            return n.integer == 0;
    }
}

// Reads a numeric (or numeric-text) source into a Number.
HRESULT SourceToNumber(const VARIANT& src, Number* n) {
    if (IsIntegerType(src.vt)) {
        n->kind = Number::Kind::kInteger;
        n->integer = LoadInteger(src);
        return S_OK;
    }
    switch (src.vt) {
        case VT_EMPTY:
            n->kind = Number::Kind::kInteger;
            n->integer = 0;
            return S_OK;
        case VT_BOOL:
            n->kind = Number::Kind::kInteger;
            n->integer = src.boolVal != 0 ? -1 : 0;
            return S_OK;
        case VT_R4:
            n->kind = Number::Kind::kReal;
            n->real = src.fltVal;
            return S_OK;
        case VT_R8:
            n->kind = Number::Kind::kReal;
            n->real = src.dblVal;
            return S_OK;
        case VT_DATE:
            n->kind = Number::Kind::kReal;
            n->real = src.date;
            return S_OK;
        case VT_CY:
            n->kind = Number::Kind::kCurrency;
            n->integer = src.cyVal.int64;
            return S_OK;
        case VT_BSTR: {
            n->kind = Number::Kind::kDecimal;
            switch (k47::oleaut::ParseNumber(src.bstrVal, &n->decimal)) {
                case ParseStatus::kOk:
                    return S_OK;
                case ParseStatus::kOverflow:
                    return DISP_E_OVERFLOW;
                case ParseStatus::kMismatch:
                    return DISP_E_TYPEMISMATCH;
            }
            return DISP_E_TYPEMISMATCH;
        }
        default:
            return DISP_E_TYPEMISMATCH;  // NULL, ERROR, UNKNOWN, DISPATCH
    }
}

// --- Text forms -----------------------------------------------------------------------------

std::string RealText(double d, int precision) {
    if (d == 0.0)
        return "0";  // no "-0"
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, precision);
    if (ec != std::errc())
        return "0";
    std::string s(buf, end);
    for (char& c : s)
        if (c == 'e')
            c = 'E';
    return s;
}

std::string IntegerText(Int128 v) {
    bool neg = v < 0;
    unsigned __int128 m =
        neg ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    std::string s;
    do {
        s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m != 0);
    return neg ? "-" + s : s;
}

std::string CurrencyText(LONGLONG units) {
    Int128 u = units;
    bool neg = u < 0;
    if (neg)
        u = -u;
    std::string s = IntegerText(u / 10000);
    int frac = static_cast<int>(u % 10000);
    if (frac != 0) {
        char f[8];
        std::snprintf(f, sizeof f, ".%04d", frac);
        std::string fs = f;
        while (fs.back() == '0')
            fs.pop_back();
        s += fs;
    }
    return neg ? "-" + s : s;
}

// Civil date from days since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

// en-US short date and long time: "M/D/YYYY", "h:mm:ss AM", or both; day 0 (1899-12-30) shows the
// time only. DATE counts days from 1899-12-30; the fraction is the time of day even for
// negative dates.
HRESULT DateText(DATE date, std::string* out) {
    if (!std::isfinite(date) || date < -657435.0 || date >= 2958466.0)
        return E_INVALIDARG;
    double whole = std::trunc(date);
    auto day = static_cast<int64_t>(whole);
    auto seconds = static_cast<int64_t>(std::llround(std::fabs(date - whole) * 86400.0));
    if (seconds >= 86400) {
        seconds -= 86400;
        ++day;
    }
    char buf[64];
    std::string text;
    if (day != 0) {
        int64_t y;
        unsigned m, d;
        CivilFromDays(day - 25569, &y, &m, &d);
        std::snprintf(buf, sizeof buf, "%u/%u/%lld", m, d, static_cast<long long>(y));
        text = buf;
    }
    if (seconds != 0 || day == 0) {
        int h = static_cast<int>(seconds / 3600), mi = static_cast<int>(seconds / 60 % 60),
            s = static_cast<int>(seconds % 60);
        std::snprintf(buf, sizeof buf, "%d:%02d:%02d %s", h % 12 == 0 ? 12 : h % 12, mi, s,
                      h < 12 ? "AM" : "PM");
        if (!text.empty())
            text += ' ';
        text += buf;
    }
    *out = std::move(text);
    return S_OK;
}

HRESULT ToText(const VARIANT& src, USHORT flags, std::string* out) {
    if (IsIntegerType(src.vt)) {
        *out = IntegerText(LoadInteger(src));
        return S_OK;
    }
    switch (src.vt) {
        case VT_EMPTY:
            out->clear();
            return S_OK;
        case VT_BOOL:
            if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
                *out = src.boolVal != 0 ? "True" : "False";
            else
                *out = src.boolVal != 0 ? "-1" : "0";
            return S_OK;
        case VT_R4:
            *out = RealText(src.fltVal, 7);
            return S_OK;
        case VT_R8:
            *out = RealText(src.dblVal, 15);
            return S_OK;
        case VT_CY:
            *out = CurrencyText(src.cyVal.int64);
            return S_OK;
        case VT_DATE:
            return DateText(src.date, out);
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

BSTR AllocUtf8(const std::string& ascii) {
    // Every text form above is ASCII.
    std::u16string wide(ascii.begin(), ascii.end());
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

// --- Conversion -----------------------------------------------------------------------------

// Converts a by-value source (already dereferenced) into `out`, which starts VT_EMPTY and owns
// whatever it holds on success.
HRESULT Convert(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT* out) {
    if (vt == VT_EMPTY)
        return S_OK;
    if (src.vt == vt)
        return VariantCopy(out, &src);
    if (src.vt == VT_NULL)
        return DISP_E_TYPEMISMATCH;
    if (vt == VT_NULL || vt == VT_ERROR || vt == VT_UNKNOWN || vt == VT_DISPATCH)
        return DISP_E_TYPEMISMATCH;

    if (vt == VT_BSTR) {
        std::string text;
        HRESULT hr = ToText(src, flags, &text);
        if (FAILED(hr))
            return hr;
        BSTR b = AllocUtf8(text);
        if (b == nullptr)
            return E_OUTOFMEMORY;
        out->vt = VT_BSTR;
        out->bstrVal = b;
        return S_OK;
    }
    if (vt == VT_BOOL && src.vt == VT_BSTR) {
        if (k47::oleaut::EqualsWordIgnoringCase(src.bstrVal, "True")) {
            out->vt = VT_BOOL;
            out->boolVal = VARIANT_TRUE;
            return S_OK;
        }
        if (k47::oleaut::EqualsWordIgnoringCase(src.bstrVal, "False")) {
            out->vt = VT_BOOL;
            out->boolVal = VARIANT_FALSE;
            return S_OK;
        }
    }
    if (vt == VT_DATE && src.vt == VT_BSTR)
        return DISP_E_TYPEMISMATCH;  // date parsing: not supported

    Number n;
    HRESULT hr = SourceToNumber(src, &n);
    if (FAILED(hr))
        return hr;
    if (IsIntegerType(vt))
        return NumberToInteger(n, vt, out);
    switch (vt) {
        case VT_BOOL:
            out->vt = VT_BOOL;
            out->boolVal = NumberIsZero(n) ? VARIANT_FALSE : VARIANT_TRUE;
            return S_OK;
        case VT_CY:
            return NumberToCurrency(n, out);
        case VT_R8:
        case VT_R4:
        case VT_DATE: {
            double d;
            hr = NumberToDouble(n, &d);
            if (FAILED(hr))
                return hr;
            if (vt == VT_R4) {
                if (std::fabs(d) > FLT_MAX && !std::isnan(d))
                    return DISP_E_OVERFLOW;
                out->vt = VT_R4;
                out->fltVal = static_cast<float>(d);
            } else if (vt == VT_DATE) {
                if (!(d >= -657435.0 && d < 2958466.0))
                    return DISP_E_OVERFLOW;
                out->vt = VT_DATE;
                out->date = d;
            } else {
                out->vt = VT_R8;
                out->dblVal = d;
            }
            return S_OK;
        }
        default:
            return DISP_E_BADVARTYPE;
    }
}

// A by-value view of a VT_BYREF source (nothing is copied or owned).
bool Dereference(const VARIANT& src, VARIANT* view) {
    VariantInit(view);
    if (!(src.vt & VT_BYREF)) {
        *view = src;
        return true;
    }
    VARTYPE base = src.vt & ~VT_BYREF;
    if (src.byref == nullptr)
        return false;
    if (base == VT_VARIANT) {
        const VARIANT* inner = src.pvarVal;
        if (inner->vt & VT_BYREF)
            return false;  // one level only, as on Windows
        *view = *inner;
        return true;
    }
    view->vt = base;
    const void* p = src.byref;
    switch (base) {
        case VT_I1:
        case VT_UI1:
            std::memcpy(&view->bVal, p, 1);
            break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            std::memcpy(&view->iVal, p, 2);
            break;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            std::memcpy(&view->lVal, p, 4);
            break;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
        case VT_CY:
            std::memcpy(&view->llVal, p, 8);
            break;
        case VT_BSTR:
            view->bstrVal = *src.pbstrVal;
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            view->punkVal = *src.ppunkVal;
            break;
        default:
            return false;
    }
    return true;
}

}  // namespace

EXTERN_C void STDAPICALLTYPE VariantInit(VARIANTARG* pvarg) {
    if (pvarg == nullptr)
        return;
    std::memset(pvarg, 0, sizeof *pvarg);
    pvarg->vt = VT_EMPTY;
}

EXTERN_C HRESULT STDAPICALLTYPE VariantClear(VARIANTARG* pvarg) {
    if (pvarg == nullptr)
        return E_INVALIDARG;
    if (!IsValidVariantType(pvarg->vt))
        return DISP_E_BADVARTYPE;
    switch (pvarg->vt) {
        case VT_BSTR:
            SysFreeString(pvarg->bstrVal);
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            // IDispatch derives from IUnknown, so Release goes through the same slot.
            if (pvarg->punkVal != nullptr)
                pvarg->punkVal->Release();
            break;
        default:
            break;
    }
    pvarg->vt = VT_EMPTY;
    pvarg->llVal = 0;
    return S_OK;
}

EXTERN_C HRESULT STDAPICALLTYPE VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (pvargDest == nullptr || pvargSrc == nullptr)
        return E_INVALIDARG;
    if (!IsValidVariantType(pvargSrc->vt))
        return DISP_E_BADVARTYPE;
    if (pvargDest == pvargSrc)
        return S_OK;
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr))
        return hr;
    VARIANT copy = *pvargSrc;
    if (copy.vt == VT_BSTR && copy.bstrVal != nullptr) {
        // Byte length, not character length: odd lengths and embedded NULs survive.
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                             SysStringByteLen(pvargSrc->bstrVal));
        if (copy.bstrVal == nullptr)
            return E_OUTOFMEMORY;
    } else if ((copy.vt == VT_UNKNOWN || copy.vt == VT_DISPATCH) && copy.punkVal != nullptr) {
        copy.punkVal->AddRef();
    }
    *pvargDest = copy;
    return S_OK;
}

EXTERN_C HRESULT STDAPICALLTYPE VariantChangeTypeEx(VARIANTARG* pvargDest,
                                                    const VARIANTARG* pvarSrc, LCID lcid,
                                                    USHORT wFlags, VARTYPE vt) {
    (void)lcid;  // en-US rules for every locale
    if (pvargDest == nullptr || pvarSrc == nullptr)
        return E_INVALIDARG;
    if (!IsValidVariantType(pvarSrc->vt))
        return DISP_E_BADVARTYPE;
    if ((vt & (VT_BYREF | VT_ARRAY)) != 0 || !IsScalarType(vt))
        return DISP_E_BADVARTYPE;
    VARIANT source;
    if (!Dereference(*pvarSrc, &source))
        return DISP_E_TYPEMISMATCH;
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = Convert(source, wFlags, vt, &result);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    // Only now may the destination change; it can be the source itself (in-place conversion),
    // whose contents `result` no longer needs.
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *pvargDest = result;
    return S_OK;
}

EXTERN_C HRESULT STDAPICALLTYPE VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                                  USHORT wFlags, VARTYPE vt) {
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}
