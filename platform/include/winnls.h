// Thread locale and code-page conversion. The ANSI code page of every locale is UTF-8 here
// (CP_ACP, CP_THREAD_ACP and CP_UTF8 convert the same way).
#pragma once
#include "winnt.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_COMPOSITECHECK 0x00000200
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080

EXTERN_C BOOL WINAPI SetThreadLocale(LCID Locale);
EXTERN_C LCID WINAPI GetThreadLocale(void);
EXTERN_C LCID WINAPI GetUserDefaultLCID(void);
EXTERN_C LCID WINAPI GetSystemDefaultLCID(void);
EXTERN_C int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                        int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);
EXTERN_C int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                        int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                        LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);
