// The ATL helpers the library uses: CComBSTR (an owned BSTR), CComVariant (an owned VARIANT) and
// the text conversions CW2A/CA2W (through the thread's ANSI code page, which is UTF-8 here).
#pragma once

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "objbase.h"
#include "k47/registry.h"

class CComBSTR {
  public:
    BSTR m_str = nullptr;

    CComBSTR() noexcept = default;
    CComBSTR(LPCOLESTR psz) : m_str(SysAllocString(psz)) {
        if (psz != nullptr && m_str == nullptr)
            throw std::bad_alloc();
    }
    CComBSTR(int nSize, LPCOLESTR sz) : m_str(SysAllocStringLen(sz, (UINT)nSize)) {
        if (m_str == nullptr)
            throw std::bad_alloc();
    }
    CComBSTR(const CComBSTR& src) : m_str(src.Copy()) {
        if (src.m_str != nullptr && m_str == nullptr)
            throw std::bad_alloc();
    }
    CComBSTR(CComBSTR&& src) noexcept : m_str(std::exchange(src.m_str, nullptr)) {}
    ~CComBSTR() { SysFreeString(m_str); }

    CComBSTR& operator=(const CComBSTR& src) {
        if (m_str != src.m_str) {
            BSTR copy = src.Copy();
            if (src.m_str != nullptr && copy == nullptr)
                throw std::bad_alloc();
            SysFreeString(m_str);
            m_str = copy;
        }
        return *this;
    }
    CComBSTR& operator=(CComBSTR&& src) noexcept {
        if (this != std::addressof(src)) {
            SysFreeString(m_str);
            m_str = std::exchange(src.m_str, nullptr);
        }
        return *this;
    }

    operator BSTR() const noexcept { return m_str; }
    BSTR* operator&() noexcept { return &m_str; }
    unsigned int Length() const noexcept { return SysStringLen(m_str); }
    unsigned int ByteLength() const noexcept { return SysStringByteLen(m_str); }
    // A copy with the same byte length (embedded NULs included), or null for a null string.
    BSTR Copy() const noexcept {
        if (m_str == nullptr)
            return nullptr;
        return SysAllocStringByteLen(reinterpret_cast<const char*>(m_str), SysStringByteLen(m_str));
    }
    HRESULT CopyTo(BSTR* pbstr) const noexcept {
        if (pbstr == nullptr)
            return E_POINTER;
        *pbstr = Copy();
        return (*pbstr == nullptr && m_str != nullptr) ? E_OUTOFMEMORY : S_OK;
    }
    void Attach(BSTR src) noexcept {
        if (m_str != src) {
            SysFreeString(m_str);
            m_str = src;
        }
    }
    [[nodiscard]] BSTR Detach() noexcept { return std::exchange(m_str, nullptr); }
    void Empty() noexcept {
        SysFreeString(m_str);
        m_str = nullptr;
    }
    bool operator!() const noexcept { return m_str == nullptr; }
};

class CComVariant : public tagVARIANT {
  public:
    CComVariant() noexcept { VariantInit(this); }
    CComVariant(LONG v) noexcept {
        VariantInit(this);
        vt = VT_I4;
        lVal = v;
    }
    CComVariant(LPCOLESTR s) {
        VariantInit(this);
        vt = VT_BSTR;
        bstrVal = SysAllocString(s);
        if (s != nullptr && bstrVal == nullptr)
            throw std::bad_alloc();
    }
    CComVariant(const CComVariant& src) {
        VariantInit(this);
        HRESULT hr = VariantCopy(this, &src);
        if (FAILED(hr))
            throw std::bad_alloc();
    }
    CComVariant& operator=(const CComVariant& src) {
        if (this != &src) {
            HRESULT hr = VariantCopy(this, &src);
            if (FAILED(hr))
                throw std::bad_alloc();
        }
        return *this;
    }
    ~CComVariant() { VariantClear(this); }
    HRESULT Clear() noexcept { return VariantClear(this); }
    HRESULT ChangeType(VARTYPE vtNew, const VARIANT* pSrc = nullptr) noexcept {
        return VariantChangeType(this, pSrc != nullptr ? pSrc : this, 0, vtNew);
    }
};

// Text conversions through the thread's ANSI code page (UTF-8). They throw std::bad_alloc when
// memory runs out, as ATL's do.
class CW2A {
  public:
    explicit CW2A(LPCWSTR psz, UINT codePage = CP_THREAD_ACP) {
        if (psz == nullptr)
            return;
        int n = WideCharToMultiByte(codePage, 0, psz, -1, nullptr, 0, nullptr, nullptr);
        text_.resize(n > 0 ? (size_t)n : 1);
        if (n > 0)
            WideCharToMultiByte(codePage, 0, psz, -1, text_.data(), n, nullptr, nullptr);
        null_ = false;
    }
    operator LPSTR() noexcept { return null_ ? nullptr : text_.data(); }

  private:
    std::string text_;
    bool null_ = true;
};

class CA2W {
  public:
    explicit CA2W(LPCSTR psz, UINT codePage = CP_THREAD_ACP) {
        if (psz == nullptr)
            return;
        int n = MultiByteToWideChar(codePage, 0, psz, -1, nullptr, 0);
        text_.resize(n > 0 ? (size_t)n : 1);
        if (n > 0)
            MultiByteToWideChar(codePage, 0, psz, -1, text_.data(), n);
        null_ = false;
    }
    operator LPWSTR() noexcept { return null_ ? nullptr : text_.data(); }

  private:
    std::u16string text_;
    bool null_ = true;
};

// Per-user registration: when on, registration writes the classes under the current user only.
inline HRESULT AtlSetPerUserRegistration(bool enable) noexcept {
    k47::SetPerUserRegistration(enable);
    return S_OK;
}
inline HRESULT AtlGetPerUserRegistration(bool* enabled) noexcept {
    if (enabled == nullptr)
        return E_POINTER;
    *enabled = k47::GetPerUserRegistration();
    return S_OK;
}
