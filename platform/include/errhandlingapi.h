// Per-thread last error.
#pragma once
#include "winnt.h"

EXTERN_C DWORD WINAPI GetLastError(void);
EXTERN_C void WINAPI SetLastError(DWORD dwErrCode);
