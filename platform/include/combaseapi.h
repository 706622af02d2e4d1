// The COM runtime: apartments, class objects, creation, ProgIDs, GUID text, task memory, the
// free-threaded and the standard marshaler. Only the multithreaded apartment exists. In-process
// classes are found first among the class objects registered in this process, then through the
// registry's CLSID\{...}\InprocServer32 path (loaded once; its DllMain is called on load). Local
// servers (CLSCTX_LOCAL_SERVER) are other processes of the same user, reached through a socket
// per class (see k47/localserver.h); interfaces cross through the proxies and stubs that
// HKCR\Interface\{IID}\ProxyStubClsid32 names (see k47/rpc.h).
#pragma once

#include "objidl.h"

typedef enum tagCLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10,
    CLSCTX_NO_CODE_DOWNLOAD = 0x400,
    CLSCTX_ALL =
        CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
    CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER
} CLSCTX;

typedef enum tagCOINIT {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

typedef enum tagREGCLS {
    REGCLS_SINGLEUSE = 0,
    REGCLS_MULTIPLEUSE = 1,
    REGCLS_MULTI_SEPARATE = 2,
    REGCLS_SUSPENDED = 4,
    REGCLS_SURROGATE = 8
} REGCLS;

typedef struct _COSERVERINFO COSERVERINFO;

EXTERN_C HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
EXTERN_C HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved);
EXTERN_C void STDAPICALLTYPE CoUninitialize(void);

EXTERN_C HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext,
                                                 COSERVERINFO* pServerInfo, REFIID riid,
                                                 LPVOID* ppv);
EXTERN_C HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter,
                                                 DWORD dwClsContext, REFIID riid, LPVOID* ppv);
EXTERN_C HRESULT STDAPICALLTYPE CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk,
                                                      DWORD dwClsContext, DWORD flags,
                                                      LPDWORD lpdwRegister);
EXTERN_C HRESULT STDAPICALLTYPE CoRevokeClassObject(DWORD dwRegister);
EXTERN_C void STDAPICALLTYPE CoFreeUnusedLibraries(void);

EXTERN_C HRESULT STDAPICALLTYPE CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
EXTERN_C HRESULT STDAPICALLTYPE ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);
EXTERN_C HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
EXTERN_C HRESULT STDAPICALLTYPE IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
EXTERN_C HRESULT STDAPICALLTYPE StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
EXTERN_C int STDAPICALLTYPE StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);

EXTERN_C LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T cb);
EXTERN_C LPVOID STDAPICALLTYPE CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
EXTERN_C void STDAPICALLTYPE CoTaskMemFree(LPVOID pv);

EXTERN_C HRESULT STDAPICALLTYPE CoCreateFreeThreadedMarshaler(LPUNKNOWN punkOuter,
                                                              LPUNKNOWN* ppunkMarshal);
EXTERN_C HRESULT STDAPICALLTYPE CoGetStandardMarshal(REFIID riid, LPUNKNOWN pUnk,
                                                     DWORD dwDestContext, LPVOID pvDestContext,
                                                     DWORD mshlflags, LPMARSHAL* ppMarshal);

// Signatures of the entry points an in-process server module exports.
typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)(void);
