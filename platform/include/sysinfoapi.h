// System time and tick counts.
#pragma once
#include "winnt.h"

EXTERN_C void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
EXTERN_C DWORD WINAPI GetTickCount(void);
EXTERN_C ULONGLONG WINAPI GetTickCount64(void);
