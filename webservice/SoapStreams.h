// The byte streams between the control-service proxy and its transports:
//   CWriteStreamOnCString      — the append-only byte string the proxy writes the envelope into;
//   CReadStreamOnSocket<T>     — a read-only IStream over the body of the HTTP client's last
//                                response, embedded in the socket transport (not ref-counted:
//                                it lives as long as the transport and is used during one parse);
//   CK47MemoryStream           — a heap, ref-counted, read-only IStream owning a copy of bytes
//                                (the HTTPS request object's response stream).
// Reads continue where the previous one stopped and report 0 bytes at the end; seeking (other
// than asking for the position) and writing are not supported.
//
// Threading: a stream is read by one thread at a time; CK47MemoryStream's count is atomic.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstring>
#include <string>
#include <string_view>

class CWriteStreamOnCString {
  public:
    HRESULT WriteStream(const char* data, int size, DWORD* written) {
        if (data == nullptr || size < 0)
            return E_INVALIDARG;
        try {
            m_text.append(data, size_t(size));
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        if (written != nullptr)
            *written = DWORD(size);
        return S_OK;
    }
    HRESULT WriteStream(std::string_view text) {
        return WriteStream(text.data(), int(text.size()), nullptr);
    }
    void Cleanup() { m_text.clear(); }
    const std::string& Text() const { return m_text; }

  private:
    std::string m_text;
};

// Shared read-only IStream behaviour over a byte range given by the derived class.
class CK47ByteReadStreamBase : public IStream {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override {
        return STG_E_ACCESSDENIED;
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* position) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

  protected:
    CK47ByteReadStreamBase() = default;
    ~CK47ByteReadStreamBase() = default;
    virtual std::string_view Bytes() const = 0;
    size_t m_position = 0;
};

// Over the body of an HTTP client's last response. Attach fails for an empty body.
template <class TClient>
class CReadStreamOnSocket final : public CK47ByteReadStreamBase {
  public:
    bool Init(TClient* client) {
        m_client = nullptr;
        m_position = 0;
        if (client == nullptr || client->GetBodyLength() == 0)
            return false;
        m_client = client;
        return true;
    }
    void Detach() {
        m_client = nullptr;
        m_position = 0;
    }
    bool IsAttached() const { return m_client != nullptr; }
    // The transport owns the stream: the count is kept for form only.
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

  private:
    std::string_view Bytes() const override {
        if (m_client == nullptr)
            return {};
        return {reinterpret_cast<const char*>(m_client->GetBody()), m_client->GetBodyLength()};
    }
    TClient* m_client = nullptr;
};

class CK47MemoryStream final : public CK47ByteReadStreamBase {
  public:
    // A new stream holding a copy of `bytes`, with one reference for the caller.
    static HRESULT Create(std::string_view bytes, IStream** stream);
    ULONG STDMETHODCALLTYPE AddRef() override {
        return m_refs.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    ULONG STDMETHODCALLTYPE Release() override;

  private:
    explicit CK47MemoryStream(std::string bytes) : m_bytes(std::move(bytes)) {}
    ~CK47MemoryStream() = default;
    std::string_view Bytes() const override { return m_bytes; }
    std::atomic<ULONG> m_refs{1};
    std::string m_bytes;
};
