// IUnknown and IClassFactory. The vtable layout is the COM layout: the three IUnknown slots first,
// no virtual destructor, so that objects are compatible with callers that index the vtable.
#pragma once

#include "guiddef.h"
#include "winerror.h"

#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define STDAPI EXTERN_C HRESULT STDAPICALLTYPE
#define STDAPI_(type) EXTERN_C type STDAPICALLTYPE
#define PURE = 0

#if defined(__GNUC__)
// COM interfaces intentionally have virtual functions and no virtual destructor.
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

MIDL_INTERFACE("00000000-0000-0000-C000-000000000046")
IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

    template <class Q>
    HRESULT STDMETHODCALLTYPE QueryInterface(Q * *pp) {
        return QueryInterface(K47UuidOfType<Q>(), reinterpret_cast<void**>(pp));
    }
};
__CRT_UUID_DECL(IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                0x46)
inline constexpr IID IID_IUnknown = K47UuidOf<IUnknown>::value;
typedef IUnknown* LPUNKNOWN;

MIDL_INTERFACE("00000001-0000-0000-C000-000000000046")
IClassFactory : public IUnknown {
  public:
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown * pUnkOuter, REFIID riid,
                                                     void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};
__CRT_UUID_DECL(IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                0x46)
inline constexpr IID IID_IClassFactory = K47UuidOf<IClassFactory>::value;
typedef IClassFactory* LPCLASSFACTORY;
