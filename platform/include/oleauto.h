// Automation types: BSTR (Windows layout: 32-bit byte length before the UTF-16 text, a NUL after)
// and VARIANT with the types the system uses, and their functions.
#pragma once

#include "unknwn.h"

struct IDispatch;

typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;

typedef double DATE;
typedef union tagCY {
    struct {
        uint32_t Lo;
        int32_t Hi;
    };
    LONGLONG int64;
} CY;

enum VARENUM {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0xfff
};

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

typedef struct tagVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        BYTE* pbVal;
        LONG* plVal;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        struct tagVARIANT* pvarVal;
        void* byref;
    };
} VARIANT, *LPVARIANT, VARIANTARG;

#define V_VT(X) ((X)->vt)
#define V_I4(X) ((X)->lVal)
#define V_BSTR(X) ((X)->bstrVal)
#define V_UNKNOWN(X) ((X)->punkVal)
#define V_BOOL(X) ((X)->boolVal)

// VariantChangeType flags.
#define VARIANT_NOVALUEPROP 0x1
#define VARIANT_ALPHABOOL 0x2
#define VARIANT_NOUSEROVERRIDE 0x4
#define VARIANT_LOCALBOOL 0x10

EXTERN_C BSTR STDAPICALLTYPE SysAllocString(const OLECHAR* psz);
EXTERN_C BSTR STDAPICALLTYPE SysAllocStringLen(const OLECHAR* strIn, UINT ui);
EXTERN_C BSTR STDAPICALLTYPE SysAllocStringByteLen(LPCSTR psz, UINT len);
EXTERN_C INT STDAPICALLTYPE SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
EXTERN_C void STDAPICALLTYPE SysFreeString(BSTR bstrString);
EXTERN_C UINT STDAPICALLTYPE SysStringLen(BSTR pbstr);
EXTERN_C UINT STDAPICALLTYPE SysStringByteLen(BSTR bstr);

EXTERN_C void STDAPICALLTYPE VariantInit(VARIANTARG* pvarg);
EXTERN_C HRESULT STDAPICALLTYPE VariantClear(VARIANTARG* pvarg);
EXTERN_C HRESULT STDAPICALLTYPE VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
EXTERN_C HRESULT STDAPICALLTYPE VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                                  USHORT wFlags, VARTYPE vt);
EXTERN_C HRESULT STDAPICALLTYPE VariantChangeTypeEx(VARIANTARG* pvargDest,
                                                    const VARIANTARG* pvarSrc, LCID lcid,
                                                    USHORT wFlags, VARTYPE vt);
