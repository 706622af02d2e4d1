// How each kind of method argument crosses between processes, chosen from the parameter's type:
//   scalar by value (SHORT, USHORT, LONG, ULONG, INT_PTR, ULONG_PTR, BOOL, DWORD, enumerations)
//                         [in]: its bytes
//   pointer to a scalar   [out]: a presence byte in the request (so that a null pointer reaches
//                         the object as null), the value in the reply
//   BSTR                  [in]: a 32-bit byte length (0xFFFFFFFF: null, so null and "" differ)
//                         and the UTF-16 bytes
//   BSTR*                 [out]: presence, then a BSTR in the reply (the caller frees it)
//   I** (I an interface)  [out]: presence, then an object reference made by the channel
//   VARIANT               [in], VARIANT* [out]: the type and its value; strings as BSTR;
//                         interfaces, arrays and references do not cross (DISP_E_BADVARTYPE)
//   anything else         (an interface pointer [in] such as IXMLDOMElement*, a raw pointer to a
//                         record) cannot cross: the whole method answers E_NOTIMPL.
// Each kind gives the proxy side WriteIn / Clear / ReadOut and the stub side a Local (the
// argument's storage during the call, released by its destructor), ReadIn, Pass and WriteOut.
//
// Threading: stateless; every function works on the message and argument it is given.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <k47/rpc.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace k47ps {

template <class T>
concept Scalar = std::is_integral_v<T> || std::is_enum_v<T>;

template <class T>
concept Interface = std::is_base_of_v<IUnknown, T>;

inline void WritePresence(k47::RpcMessage& m, const void* p) {
    m.WriteValue(static_cast<uint8_t>(p != nullptr ? 1 : 0));
}

inline bool ReadPresence(k47::RpcMessage& m, bool* present) {
    uint8_t flag = 0;
    if (!m.ReadValue(&flag) || flag > 1)
        return false;
    *present = flag == 1;
    return true;
}

constexpr uint32_t kNullBstr = 0xFFFFFFFFu;

inline void WriteBstr(k47::RpcMessage& m, BSTR text) {
    if (text == nullptr) {
        m.WriteValue(kNullBstr);
        return;
    }
    uint32_t bytes = SysStringByteLen(text);
    m.WriteValue(bytes);
    m.Write(text, bytes);
}

// S_OK with *text a new BSTR (or null); RPC_E_INVALID_DATA; E_OUTOFMEMORY.
inline HRESULT ReadBstr(k47::RpcMessage& m, BSTR* text) {
    *text = nullptr;
    uint32_t bytes = 0;
    if (!m.ReadValue(&bytes))
        return RPC_E_INVALID_DATA;
    if (bytes == kNullBstr)
        return S_OK;
    if (bytes > m.remaining())
        return RPC_E_INVALID_DATA;
    BSTR made = SysAllocStringByteLen(nullptr, bytes);
    if (made == nullptr)
        return E_OUTOFMEMORY;
    m.Read(made, bytes);
    *text = made;
    return S_OK;
}

// The VARIANT types whose value is all in the union's first 8 bytes.
inline bool PlainVariantType(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
        case VT_R4:
        case VT_R8:
        case VT_BOOL:
        case VT_ERROR:
        case VT_CY:
        case VT_DATE:
            return true;
        default:
            return false;
    }
}

// DISP_E_BADVARTYPE (nothing written) for a type that cannot cross.
inline HRESULT WriteVariant(k47::RpcMessage& m, const VARIANT& v) {
    if (v.vt == VT_BSTR) {
        m.WriteValue(v.vt);
        WriteBstr(m, v.bstrVal);
        return S_OK;
    }
    if (!PlainVariantType(v.vt))
        return DISP_E_BADVARTYPE;
    m.WriteValue(v.vt);
    m.WriteValue(v.ullVal);
    return S_OK;
}

// Into an empty VARIANT.
inline HRESULT ReadVariant(k47::RpcMessage& m, VARIANT* v) {
    VariantInit(v);
    VARTYPE vt = VT_EMPTY;
    if (!m.ReadValue(&vt))
        return RPC_E_INVALID_DATA;
    if (vt == VT_BSTR) {
        BSTR text = nullptr;
        HRESULT hr = ReadBstr(m, &text);
        if (FAILED(hr))
            return hr;
        v->vt = VT_BSTR;
        v->bstrVal = text;
        return S_OK;
    }
    ULONGLONG bits = 0;
    if (!PlainVariantType(vt) || !m.ReadValue(&bits))
        return RPC_E_INVALID_DATA;
    v->vt = vt;
    v->ullVal = bits;
    return S_OK;
}

// The kinds. Arg<T> for a parameter type T; kCrosses false means the method cannot cross.
template <class T>
struct Arg {
    static constexpr bool kCrosses = false;
    struct Local {};
    static void WriteIn(k47::RpcMessage&, T) {}
    static void Clear(T) {}
    static HRESULT ReadOut(k47::RpcMessage&, T, IK47RpcChannel*) { return E_NOTIMPL; }
    static bool ReadIn(k47::RpcMessage&, Local&) { return false; }
    static T Pass(Local&) { return T{}; }
    static HRESULT WriteOut(k47::RpcMessage&, Local&, IK47RpcChannel*, HRESULT) {
        return E_NOTIMPL;
    }
};

template <Scalar T>
struct Arg<T> {
    static constexpr bool kCrosses = true;
    struct Local {
        T value{};
    };
    static void WriteIn(k47::RpcMessage& m, T value) { m.WriteValue(value); }
    static void Clear(T) {}
    static HRESULT ReadOut(k47::RpcMessage&, T, IK47RpcChannel*) { return S_OK; }
    static bool ReadIn(k47::RpcMessage& m, Local& l) { return m.ReadValue(&l.value); }
    static T Pass(Local& l) { return l.value; }
    static HRESULT WriteOut(k47::RpcMessage&, Local&, IK47RpcChannel*, HRESULT) { return S_OK; }
};

template <Scalar T>
requires(!std::is_same_v<T, OLECHAR>) struct Arg<T*> {
    static constexpr bool kCrosses = true;
    struct Local {
        bool present = false;
        T value{};
    };
    static void WriteIn(k47::RpcMessage& m, T* p) { WritePresence(m, p); }
    static void Clear(T*) {}
    static HRESULT ReadOut(k47::RpcMessage& m, T* p, IK47RpcChannel*) {
        if (p == nullptr)
            return S_OK;
        return m.ReadValue(p) ? S_OK : RPC_E_INVALID_DATA;
    }
    static bool ReadIn(k47::RpcMessage& m, Local& l) { return ReadPresence(m, &l.present); }
    static T* Pass(Local& l) { return l.present ? &l.value : nullptr; }
    static HRESULT WriteOut(k47::RpcMessage& m, Local& l, IK47RpcChannel*, HRESULT) {
        if (l.present)
            m.WriteValue(l.value);
        return S_OK;
    }
};

template <>
struct Arg<BSTR> {
    static constexpr bool kCrosses = true;
    struct Local {
        BSTR text = nullptr;
        Local() = default;
        Local(const Local&) = delete;
        Local& operator=(const Local&) = delete;
        ~Local() { SysFreeString(text); }
    };
    static void WriteIn(k47::RpcMessage& m, BSTR text) { WriteBstr(m, text); }
    static void Clear(BSTR) {}
    static HRESULT ReadOut(k47::RpcMessage&, BSTR, IK47RpcChannel*) { return S_OK; }
    static bool ReadIn(k47::RpcMessage& m, Local& l) { return SUCCEEDED(ReadBstr(m, &l.text)); }
    static BSTR Pass(Local& l) { return l.text; }
    static HRESULT WriteOut(k47::RpcMessage&, Local&, IK47RpcChannel*, HRESULT) { return S_OK; }
};

template <>
struct Arg<BSTR*> {
    static constexpr bool kCrosses = true;
    struct Local {
        bool present = false;
        BSTR text = nullptr;
        Local() = default;
        Local(const Local&) = delete;
        Local& operator=(const Local&) = delete;
        ~Local() { SysFreeString(text); }
    };
    static void WriteIn(k47::RpcMessage& m, BSTR* p) { WritePresence(m, p); }
    static void Clear(BSTR* p) {
        if (p != nullptr)
            *p = nullptr;
    }
    static HRESULT ReadOut(k47::RpcMessage& m, BSTR* p, IK47RpcChannel*) {
        if (p == nullptr)
            return S_OK;
        return ReadBstr(m, p);
    }
    static bool ReadIn(k47::RpcMessage& m, Local& l) { return ReadPresence(m, &l.present); }
    static BSTR* Pass(Local& l) { return l.present ? &l.text : nullptr; }
    // A failed call's [out] string is not trusted: null crosses.
    static HRESULT WriteOut(k47::RpcMessage& m, Local& l, IK47RpcChannel*, HRESULT result) {
        if (l.present)
            WriteBstr(m, SUCCEEDED(result) ? l.text : nullptr);
        return S_OK;
    }
};

template <Interface I>
struct Arg<I**> {
    static constexpr bool kCrosses = true;
    struct Local {
        bool present = false;
        I* object = nullptr;
        Local() = default;
        Local(const Local&) = delete;
        Local& operator=(const Local&) = delete;
        ~Local() {
            if (object != nullptr)
                object->Release();
        }
    };
    static void WriteIn(k47::RpcMessage& m, I** p) { WritePresence(m, p); }
    static void Clear(I** p) {
        if (p != nullptr)
            *p = nullptr;
    }
    static HRESULT ReadOut(k47::RpcMessage& m, I** p, IK47RpcChannel* channel) {
        if (p == nullptr)
            return S_OK;
        return channel->UnmarshalInterface(&m, __uuidof(I), reinterpret_cast<void**>(p));
    }
    static bool ReadIn(k47::RpcMessage& m, Local& l) { return ReadPresence(m, &l.present); }
    static I** Pass(Local& l) { return l.present ? &l.object : nullptr; }
    // A failed call's [out] pointer is not trusted: null crosses.
    static HRESULT WriteOut(k47::RpcMessage& m, Local& l, IK47RpcChannel* channel, HRESULT result) {
        if (!l.present)
            return S_OK;
        HRESULT hr =
            channel->MarshalInterface(&m, __uuidof(I), SUCCEEDED(result) ? l.object : nullptr);
        if (FAILED(hr))
            channel->MarshalInterface(&m, __uuidof(I), nullptr);  // keep the reply readable
        return hr;
    }
};

template <>
struct Arg<VARIANT> {
    static constexpr bool kCrosses = true;
    struct Local {
        VARIANT value;
        Local() { VariantInit(&value); }
        Local(const Local&) = delete;
        Local& operator=(const Local&) = delete;
        ~Local() { VariantClear(&value); }
    };
    // The proxy checks the type before anything is sent (see ProxyStubTable.h).
    static bool Crosses(const VARIANT& v) { return v.vt == VT_BSTR || PlainVariantType(v.vt); }
    static void WriteIn(k47::RpcMessage& m, VARIANT v) { (void)WriteVariant(m, v); }
    static void Clear(VARIANT) {}
    static HRESULT ReadOut(k47::RpcMessage&, VARIANT, IK47RpcChannel*) { return S_OK; }
    static bool ReadIn(k47::RpcMessage& m, Local& l) { return SUCCEEDED(ReadVariant(m, &l.value)); }
    static VARIANT Pass(Local& l) { return l.value; }
    static HRESULT WriteOut(k47::RpcMessage&, Local&, IK47RpcChannel*, HRESULT) { return S_OK; }
};

template <>
struct Arg<VARIANT*> {
    static constexpr bool kCrosses = true;
    struct Local {
        bool present = false;
        VARIANT value;
        Local() { VariantInit(&value); }
        Local(const Local&) = delete;
        Local& operator=(const Local&) = delete;
        ~Local() { VariantClear(&value); }
    };
    static void WriteIn(k47::RpcMessage& m, VARIANT* p) { WritePresence(m, p); }
    static void Clear(VARIANT* p) {
        if (p != nullptr)
            VariantInit(p);
    }
    static HRESULT ReadOut(k47::RpcMessage& m, VARIANT* p, IK47RpcChannel*) {
        if (p == nullptr)
            return S_OK;
        return ReadVariant(m, p);
    }
    static bool ReadIn(k47::RpcMessage& m, Local& l) { return ReadPresence(m, &l.present); }
    static VARIANT* Pass(Local& l) { return l.present ? &l.value : nullptr; }
    // A value of a type that cannot cross becomes VT_EMPTY and the call's result
    // DISP_E_BADVARTYPE.
    static HRESULT WriteOut(k47::RpcMessage& m, Local& l, IK47RpcChannel*, HRESULT result) {
        if (!l.present)
            return S_OK;
        VARIANT empty;
        VariantInit(&empty);
        if (FAILED(result))
            return WriteVariant(m, empty);
        HRESULT hr = WriteVariant(m, l.value);
        if (FAILED(hr))
            (void)WriteVariant(m, empty);
        return hr;
    }
};

// Whether an [in] argument's value can cross (only a VARIANT's type can say no at run time).
template <class T>
bool ValueCrosses(const T&) {
    return true;
}
inline bool ValueCrosses(const VARIANT& v) {
    return Arg<VARIANT>::Crosses(v);
}

}  // namespace k47ps
