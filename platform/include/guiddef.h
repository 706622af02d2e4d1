// GUID, IID and CLSID with the Windows layout, and the compile-time IID lookup that __uuidof(T)
// gives on Windows. Interfaces are tied to their IID with __CRT_UUID_DECL (the MinGW-w64 form), so
// library code can write __uuidof(IFoo) as it would with the Windows SDK.
#pragma once

#include "winnt.h"

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

typedef GUID IID;
typedef GUID CLSID;
typedef GUID* LPGUID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline constexpr bool IsEqualGUID(REFGUID a, REFGUID b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return true;
}
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
inline constexpr bool operator==(REFGUID a, REFGUID b) {
    return IsEqualGUID(a, b);
}
inline constexpr bool operator!=(REFGUID a, REFGUID b) {
    return !IsEqualGUID(a, b);
}

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
#define IID_NULL GUID_NULL
#define CLSID_NULL GUID_NULL

// Defines a GUID constant: DEFINE_GUID(IID_IFoo, 0x..., 0x..., 0x..., b0, ..., b7).
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

template <typename T>
struct K47UuidOf;  // specialised by __CRT_UUID_DECL

template <typename T>
constexpr const GUID& K47UuidOfType() {
    return K47UuidOf<T>::value;
}

#define __CRT_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)             \
    template <>                                                                      \
    struct K47UuidOf<type> {                                                         \
        static constexpr GUID value = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}; \
    };                                                                               \
    template <>                                                                      \
    struct K47UuidOf<type*> : K47UuidOf<type> {};

#define __uuidof(type) K47UuidOfType<std::remove_cv_t<std::remove_reference_t<__typeof__(type)>>>()

// Interfaces are plain structs whose only members are pure virtual functions (COM vtable layout).
#define MIDL_INTERFACE(x) struct
#define DECLSPEC_NOVTABLE
#define DECLSPEC_UUID(x)

#include <type_traits>
