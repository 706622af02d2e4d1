// Loading modules. LoadLibraryA loads a shared object once per process (further loads count
// references) and calls its exported DllMain with DLL_PROCESS_ATTACH on the first load; a FALSE
// from DllMain fails the load with ERROR_DLL_INIT_FAILED.
#pragma once
#include "winnt.h"

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
#define MAX_PATH 260

typedef INT_PTR(WINAPI* FARPROC)();

EXTERN_C HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
EXTERN_C BOOL WINAPI FreeLibrary(HMODULE hLibModule);
EXTERN_C FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
EXTERN_C DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
EXTERN_C BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);
