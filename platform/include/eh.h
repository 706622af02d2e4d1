// Structured-exception translation. On Linux a processor fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL)
// cannot be turned into a C++ exception that unwinds safely, so an installed translator is never
// called: the platform logs the fault with the thread id and the translator's presence, and the
// process ends with the fault's default action (a core dump), which is what a field log needs.
#pragma once
#include "winnt.h"

struct _EXCEPTION_POINTERS;
typedef struct _EXCEPTION_POINTERS EXCEPTION_POINTERS;
typedef void(__cdecl* _se_translator_function)(unsigned int, struct _EXCEPTION_POINTERS*);

EXTERN_C _se_translator_function __cdecl _set_se_translator(_se_translator_function fn);
