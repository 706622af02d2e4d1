// Read-only streams over response bodies (see the header).
#include "webservice/SoapStreams.h"

#include <algorithm>
#include <new>

HRESULT STDMETHODCALLTYPE CK47ByteReadStreamBase::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream) ||
        IsEqualIID(riid, IID_IStream)) {
        *ppv = static_cast<IStream*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE CK47ByteReadStreamBase::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    if (pv == nullptr && cb != 0)
        return E_POINTER;
    std::string_view bytes = Bytes();
    size_t available = m_position < bytes.size() ? bytes.size() - m_position : 0;
    size_t count = std::min<size_t>(cb, available);
    if (count != 0)
        std::memcpy(pv, bytes.data() + m_position, count);
    m_position += count;
    if (pcbRead != nullptr)
        *pcbRead = ULONG(count);
    return count < cb ? S_FALSE : S_OK;
}

HRESULT STDMETHODCALLTYPE CK47ByteReadStreamBase::Seek(LARGE_INTEGER move, DWORD origin,
                                                       ULARGE_INTEGER* position) {
    // Only the question "where am I" is answered; readers use it to learn the position.
    if (origin != STREAM_SEEK_CUR || move.QuadPart != 0)
        return E_NOTIMPL;
    if (position != nullptr)
        position->QuadPart = m_position;
    return S_OK;
}

HRESULT CK47MemoryStream::Create(std::string_view bytes, IStream** stream) {
    if (stream == nullptr)
        return E_POINTER;
    *stream = nullptr;
    try {
        *stream = new CK47MemoryStream(std::string(bytes));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

ULONG STDMETHODCALLTYPE CK47MemoryStream::Release() {
    ULONG count = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 0)
        delete this;
    return count;
}
