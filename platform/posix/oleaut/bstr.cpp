// BSTR with the Windows layout: [32-bit byte length][UTF-16 data][one NUL WCHAR]; the BSTR
// points at the data. One allocator pair (CoTaskMemAlloc/CoTaskMemFree) owns the blocks, so a
// BSTR can be handed across module boundaries and freed anywhere. Thread-safe (no shared state).
#include <cstdint>
#include <cstring>

#include "objbase.h"

namespace {

// The largest byte length whose block size (prefix + data + terminator) still fits 32 bits, as
// on Windows where larger requests fail.
constexpr uint64_t kMaxBstrBytes = 0xFFFFFFFFull - sizeof(uint32_t) - sizeof(OLECHAR);

BSTR AllocateBytes(const void* data, UINT bytes) {
    if (bytes > kMaxBstrBytes)
        return nullptr;
    auto* block = static_cast<unsigned char*>(
        CoTaskMemAlloc(sizeof(uint32_t) + size_t{bytes} + sizeof(OLECHAR)));
    if (block == nullptr)
        return nullptr;
    uint32_t prefix = bytes;
    std::memcpy(block, &prefix, sizeof prefix);
    unsigned char* text = block + sizeof(uint32_t);
    if (data != nullptr && bytes != 0)
        std::memcpy(text, data, bytes);
    // The terminator follows the data even for an odd byte length.
    text[bytes] = 0;
    text[bytes + 1] = 0;
    return reinterpret_cast<BSTR>(text);
}

void* BlockOf(BSTR bstr) {
    return reinterpret_cast<unsigned char*>(bstr) - sizeof(uint32_t);
}

}  // namespace

EXTERN_C BSTR STDAPICALLTYPE SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr)
        return nullptr;
    size_t n = 0;
    while (psz[n] != 0)
        ++n;
    if (n > kMaxBstrBytes / 2)
        return nullptr;
    return AllocateBytes(psz, static_cast<UINT>(n * 2));
}

EXTERN_C BSTR STDAPICALLTYPE SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    if (uint64_t{ui} * 2 > kMaxBstrBytes)
        return nullptr;
    return AllocateBytes(strIn, ui * 2);
}

EXTERN_C BSTR STDAPICALLTYPE SysAllocStringByteLen(LPCSTR psz, UINT len) {
    return AllocateBytes(psz, len);
}

EXTERN_C INT STDAPICALLTYPE SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (pbstr == nullptr)
        return FALSE;
    // Copy first: psz may point into the string being replaced.
    BSTR copy = SysAllocString(psz);
    if (copy == nullptr && psz != nullptr)
        return FALSE;
    SysFreeString(*pbstr);
    *pbstr = copy;
    return TRUE;
}

EXTERN_C void STDAPICALLTYPE SysFreeString(BSTR bstrString) {
    if (bstrString != nullptr)
        CoTaskMemFree(BlockOf(bstrString));
}

EXTERN_C UINT STDAPICALLTYPE SysStringByteLen(BSTR bstr) {
    if (bstr == nullptr)
        return 0;
    uint32_t prefix;
    std::memcpy(&prefix, BlockOf(bstr), sizeof prefix);
    return prefix;
}

EXTERN_C UINT STDAPICALLTYPE SysStringLen(BSTR pbstr) {
    return SysStringByteLen(pbstr) / 2;
}
