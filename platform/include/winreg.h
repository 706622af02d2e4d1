// The registry: HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_CLASSES_ROOT (the merged view of
// the user's classes over the machine's). Stored in SQLite files: the machine hive and a per-user
// hive, both in one folder when the environment variable K47_REGISTRY_DIR names one.
// Results are Win32 error codes (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ...).
#pragma once
#include "winnt.h"

typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define DELETE_ACCESS 0x00010000L
#define READ_CONTROL 0x00020000L
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

EXTERN_C LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                        DWORD dwOptions, REGSAM samDesired,
                                        const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                        PHKEY phkResult, LPDWORD lpdwDisposition);
EXTERN_C LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                        DWORD dwOptions, REGSAM samDesired,
                                        const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                        PHKEY phkResult, LPDWORD lpdwDisposition);
EXTERN_C LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                      REGSAM samDesired, PHKEY phkResult);
EXTERN_C LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions,
                                      REGSAM samDesired, PHKEY phkResult);
EXTERN_C LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                       const BYTE* lpData, DWORD cbData);
EXTERN_C LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                       const BYTE* lpData, DWORD cbData);
EXTERN_C LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                         LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
EXTERN_C LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                         LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
EXTERN_C LSTATUS WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
EXTERN_C LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
EXTERN_C LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
EXTERN_C LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
EXTERN_C LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
EXTERN_C LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
EXTERN_C LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                      LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                      PFILETIME lpftLastWriteTime);
EXTERN_C LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                      LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                      PFILETIME lpftLastWriteTime);
EXTERN_C LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                                      LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                      LPBYTE lpData, LPDWORD lpcbData);
EXTERN_C LSTATUS WINAPI RegCloseKey(HKEY hKey);
