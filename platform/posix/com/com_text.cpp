// GUID text (StringFromGUID2, StringFromCLSID, CLSIDFromString, IIDFromString) and the task
// memory allocator (CoTaskMemAlloc/Realloc/Free, over malloc). Thread-safe, no state.
#include <cstdlib>
#include <cstring>
#include <string>

#include "k47/strings.h"
#include "objbase.h"

namespace {

constexpr int kGuidChars = 38;  // "{8-4-4-4-12}" without the NUL

template <typename Char>
void FormatGuid(const GUID& g, Char* out) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    int pos = 0;
    auto put_hex = [&](uint64_t value, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
            out[pos++] = static_cast<Char>(kHex[(value >> shift) & 0xF]);
    };
    out[pos++] = '{';
    put_hex(g.Data1, 8);
    out[pos++] = '-';
    put_hex(g.Data2, 4);
    out[pos++] = '-';
    put_hex(g.Data3, 4);
    out[pos++] = '-';
    put_hex(g.Data4[0], 2);
    put_hex(g.Data4[1], 2);
    out[pos++] = '-';
    for (int i = 2; i < 8; ++i)
        put_hex(g.Data4[i], 2);
    out[pos++] = '}';
    out[pos] = 0;
}

int HexValue(char32_t c) {
    if (c >= '0' && c <= '9')
        return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<int>(c - 'A' + 10);
    return -1;
}

// Exactly "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", hex digits in either case.
template <typename Char>
bool ParseGuid(const Char* s, size_t n, GUID* out) {
    if (n != kGuidChars || s[0] != '{' || s[kGuidChars - 1] != '}')
        return false;
    unsigned char bytes[16];
    int count = 0;
    for (size_t i = 1; i + 1 < n;) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (s[i] != '-')
                return false;
            ++i;
            continue;
        }
        int hi = HexValue(static_cast<char32_t>(s[i])),
            lo = HexValue(static_cast<char32_t>(s[i + 1]));
        if (hi < 0 || lo < 0 || count == 16)
            return false;
        bytes[count++] = static_cast<unsigned char>(hi << 4 | lo);
        i += 2;
    }
    if (count != 16)
        return false;
    GUID g;
    g.Data1 =
        uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
    g.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    g.Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    std::memcpy(g.Data4, bytes + 8, 8);
    *out = g;
    return true;
}

size_t Length(LPCOLESTR s) {
    size_t n = 0;
    while (s[n] != 0 && n <= kGuidChars)
        ++n;  // longer than a GUID is wrong anyway
    return n;
}

HRESULT ParseOle(LPCOLESTR lpsz, GUID* out, HRESULT bad) {
    if (out == nullptr)
        return E_INVALIDARG;
    if (lpsz == nullptr) {
        // Windows maps a null string to GUID_NULL.
        *out = GUID_NULL;
        return S_OK;
    }
    if (!ParseGuid(lpsz, Length(lpsz), out))
        return bad;
    return S_OK;
}

}  // namespace

EXTERN_C int STDAPICALLTYPE StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (lpsz == nullptr || cchMax < kGuidChars + 1)
        return 0;
    FormatGuid(rguid, lpsz);
    return kGuidChars + 1;
}

EXTERN_C HRESULT STDAPICALLTYPE StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
    if (lplpsz == nullptr)
        return E_INVALIDARG;
    auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc((kGuidChars + 1) * sizeof(OLECHAR)));
    *lplpsz = text;
    if (text == nullptr)
        return E_OUTOFMEMORY;
    FormatGuid(rclsid, text);
    return S_OK;
}

// Not the ProgID fallback of Windows: only the braced GUID form is accepted here.
EXTERN_C HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    return ParseOle(lpsz, pclsid, CO_E_CLASSSTRING);
}

// The documented failure of IIDFromString for a malformed string is E_INVALIDARG.
EXTERN_C HRESULT STDAPICALLTYPE IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    return ParseOle(lpsz, lpiid, E_INVALIDARG);
}

// Task memory is malloc memory; a zero-byte request still yields a distinct pointer, as on
// Windows.
EXTERN_C LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T cb) {
    return std::malloc(cb == 0 ? 1 : cb);
}

EXTERN_C LPVOID STDAPICALLTYPE CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    if (pv != nullptr && cb == 0) {
        // Windows frees the block and returns null.
        std::free(pv);
        return nullptr;
    }
    return std::realloc(pv, cb == 0 ? 1 : cb);
}

EXTERN_C void STDAPICALLTYPE CoTaskMemFree(LPVOID pv) {
    std::free(pv);
}

namespace k47 {

std::string GuidToString(const GUID& guid) {
    char text[kGuidChars + 1];
    FormatGuid(guid, text);
    return std::string(text, kGuidChars);
}

bool GuidFromString(std::string_view text, GUID* guid) {
    if (guid == nullptr)
        return false;
    return ParseGuid(text.data(), text.size(), guid);
}

}  // namespace k47
